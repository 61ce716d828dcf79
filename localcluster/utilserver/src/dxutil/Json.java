package dxutil;

import java.math.BigDecimal;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * A small JSON reader and writer, enough for the service's request and answer bodies.
 *
 * <p>Reading maps objects to {@link LinkedHashMap} (member order kept), arrays to {@link List},
 * strings to {@link String}, numbers to {@link BigDecimal}, true/false to {@link Boolean} and null
 * to {@code null}. Malformed text throws {@link JsonException} (an IllegalArgumentException) with
 * the offset of the fault. When an object names a member twice, the FIRST occurrence wins: a
 * client builds a request by putting "path" in front of the caller's members, so a "path" among
 * those members must not override it.
 */
public final class Json {
    /** Nesting deeper than this is refused instead of exhausting the stack. */
    public static final int MAX_DEPTH = 64;

    private final String text;
    private int pos;
    private int depth;

    private Json(String text) {
        this.text = text;
    }

    /** Parses one JSON value; only white space may follow it. */
    public static Object parse(String text) {
        Json reader = new Json(text);
        reader.skipBlanks();
        Object value = reader.readValue();
        reader.skipBlanks();
        if (reader.pos != text.length()) throw reader.fault("unexpected text after the JSON value");
        return value;
    }

    /** Parses text that must be one JSON object. */
    @SuppressWarnings("unchecked")
    public static Map<String, Object> parseObject(String text) {
        Object value = parse(text);
        if (!(value instanceof Map)) throw new JsonException("the request body must be a JSON object");
        return (Map<String, Object>) value;
    }

    private Object readValue() {
        if (pos >= text.length()) throw fault("unexpected end of the JSON text");
        char c = text.charAt(pos);
        switch (c) {
            case '{':
                return readObject();
            case '[':
                return readArray();
            case '"':
                return readString();
            case 't':
                return readWord("true", Boolean.TRUE);
            case 'f':
                return readWord("false", Boolean.FALSE);
            case 'n':
                return readWord("null", null);
            default:
                if (c == '-' || (c >= '0' && c <= '9')) return readNumber();
                throw fault("unexpected character '" + c + "'");
        }
    }

    private void enter() {
        if (++depth > MAX_DEPTH) throw fault("JSON nesting deeper than " + MAX_DEPTH);
    }

    private Map<String, Object> readObject() {
        enter();
        Map<String, Object> members = new LinkedHashMap<>();
        pos++; // '{'
        skipBlanks();
        if (peek() == '}') {
            pos++;
            depth--;
            return members;
        }
        while (true) {
            skipBlanks();
            if (peek() != '"') throw fault("expected a member name");
            String name = readString();
            skipBlanks();
            expect(':');
            skipBlanks();
            Object value = readValue();
            members.putIfAbsent(name, value);
            skipBlanks();
            char c = next("',' or '}'");
            if (c == '}') break;
            if (c != ',') throw fault("expected ',' or '}'", pos - 1);
        }
        depth--;
        return members;
    }

    private List<Object> readArray() {
        enter();
        List<Object> items = new ArrayList<>();
        pos++; // '['
        skipBlanks();
        if (peek() == ']') {
            pos++;
            depth--;
            return items;
        }
        while (true) {
            skipBlanks();
            items.add(readValue());
            skipBlanks();
            char c = next("',' or ']'");
            if (c == ']') break;
            if (c != ',') throw fault("expected ',' or ']'", pos - 1);
        }
        depth--;
        return items;
    }

    private String readString() {
        pos++; // opening quote
        StringBuilder out = new StringBuilder();
        while (true) {
            char c = next("closing '\"'");
            if (c == '"') return out.toString();
            if (c < 0x20) throw fault("control character in a string", pos - 1);
            if (c != '\\') {
                out.append(c);
                continue;
            }
            char e = next("escape character");
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out.append(e);
                    break;
                case 'b':
                    out.append('\b');
                    break;
                case 'f':
                    out.append('\f');
                    break;
                case 'n':
                    out.append('\n');
                    break;
                case 'r':
                    out.append('\r');
                    break;
                case 't':
                    out.append('\t');
                    break;
                case 'u':
                    out.append(readHex4());
                    break;
                default:
                    throw fault("invalid escape '\\" + e + "'", pos - 1);
            }
        }
    }

    private char readHex4() {
        if (pos + 4 > text.length()) throw fault("truncated \\u escape");
        int value = 0;
        for (int i = 0; i < 4; i++) {
            int digit = Character.digit(text.charAt(pos + i), 16);
            if (digit < 0) throw fault("invalid \\u escape", pos + i);
            value = value * 16 + digit;
        }
        pos += 4;
        return (char) value;
    }

    private Object readWord(String word, Object value) {
        if (!text.startsWith(word, pos)) throw fault("invalid literal");
        pos += word.length();
        return value;
    }

    private BigDecimal readNumber() {
        int start = pos;
        if (peek() == '-') pos++;
        if (peek() == '0') {
            pos++;
        } else if (!digits()) {
            throw fault("invalid number", start);
        }
        if (peek() == '.') {
            pos++;
            if (!digits()) throw fault("invalid number", start);
        }
        if (peek() == 'e' || peek() == 'E') {
            pos++;
            if (peek() == '+' || peek() == '-') pos++;
            if (!digits()) throw fault("invalid number", start);
        }
        return new BigDecimal(text.substring(start, pos));
    }

    private boolean digits() {
        int start = pos;
        while (pos < text.length() && text.charAt(pos) >= '0' && text.charAt(pos) <= '9') pos++;
        return pos > start;
    }

    private void skipBlanks() {
        while (pos < text.length()) {
            char c = text.charAt(pos);
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
            pos++;
        }
    }

    private char peek() {
        return pos < text.length() ? text.charAt(pos) : '\0';
    }

    private char next(String expected) {
        if (pos >= text.length()) throw fault("unexpected end of the JSON text, expected " + expected);
        return text.charAt(pos++);
    }

    private void expect(char c) {
        if (peek() != c) throw fault("expected '" + c + "'");
        pos++;
    }

    private JsonException fault(String what) {
        return fault(what, pos);
    }

    private JsonException fault(String what, int at) {
        return new JsonException("Invalid JSON at offset " + at + ": " + what);
    }

    /** Renders a value made of maps, lists, strings, numbers, booleans and nulls. */
    public static String write(Object value) {
        StringBuilder out = new StringBuilder();
        write(value, out);
        return out.toString();
    }

    private static void write(Object value, StringBuilder out) {
        if (value == null) {
            out.append("null");
        } else if (value instanceof String) {
            quote((String) value, out);
        } else if (value instanceof Boolean || value instanceof Integer || value instanceof Long) {
            out.append(value);
        } else if (value instanceof BigDecimal) {
            out.append(((BigDecimal) value).toString());
        } else if (value instanceof Map) {
            out.append('{');
            boolean first = true;
            for (Map.Entry<?, ?> member : ((Map<?, ?>) value).entrySet()) {
                if (!first) out.append(',');
                first = false;
                quote(String.valueOf(member.getKey()), out);
                out.append(':');
                write(member.getValue(), out);
            }
            out.append('}');
        } else if (value instanceof List) {
            out.append('[');
            boolean first = true;
            for (Object item : (List<?>) value) {
                if (!first) out.append(',');
                first = false;
                write(item, out);
            }
            out.append(']');
        } else {
            throw new IllegalArgumentException("cannot write " + value.getClass().getName() + " as JSON");
        }
    }

    private static void quote(String s, StringBuilder out) {
        out.append('"');
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            switch (c) {
                case '"':
                    out.append("\\\"");
                    break;
                case '\\':
                    out.append("\\\\");
                    break;
                case '\n':
                    out.append("\\n");
                    break;
                case '\r':
                    out.append("\\r");
                    break;
                case '\t':
                    out.append("\\t");
                    break;
                default:
                    if (c < 0x20 || c == 0x7f || Character.isSurrogate(c) && !validSurrogateAt(s, i)) {
                        out.append(String.format("\\u%04x", (int) c));
                    } else {
                        out.append(c);
                    }
            }
        }
        out.append('"');
    }

    // A lone surrogate can not be encoded as UTF-8; escaping it keeps the answer well-formed.
    private static boolean validSurrogateAt(String s, int i) {
        char c = s.charAt(i);
        if (Character.isHighSurrogate(c)) return i + 1 < s.length() && Character.isLowSurrogate(s.charAt(i + 1));
        return i > 0 && Character.isHighSurrogate(s.charAt(i - 1));
    }
}
