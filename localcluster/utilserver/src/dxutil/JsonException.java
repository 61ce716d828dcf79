package dxutil;

/** Malformed JSON text or a JSON value of the wrong shape; the service answers it with 400. */
public final class JsonException extends IllegalArgumentException {
    private static final long serialVersionUID = 1L;

    public JsonException(String message) {
        super(message);
    }
}
