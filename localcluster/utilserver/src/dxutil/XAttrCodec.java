package dxutil;

import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.util.Base64;

/**
 * Extended attribute values as JSON text, in the WebHDFS manner.
 *
 * <p>Reading a value (as Hadoop's XAttrCodec does): "0x…" or "0X…" is hexadecimal, "0s…" or "0S…"
 * is base64, a text enclosed in double quotes is that text, anything else is the text itself; text
 * becomes its UTF-8 bytes.
 *
 * <p>Writing a value: bytes that are valid UTF-8 and would read back as themselves are written as
 * plain text; everything else (binary data, or text that starts with "0x", "0s" or a double quote)
 * is written as "0s" followed by base64. Reading what was written gives the same bytes.
 */
public final class XAttrCodec {
    private XAttrCodec() {}

    public static byte[] decode(String value) {
        if (value.length() >= 2) {
            String prefix = value.substring(0, 2);
            if (prefix.equalsIgnoreCase("0x")) return decodeHex(value.substring(2));
            if (prefix.equalsIgnoreCase("0s")) return decodeBase64(value.substring(2));
            if (value.startsWith("\"") && value.endsWith("\"")) {
                return utf8(value.substring(1, value.length() - 1));
            }
        }
        return utf8(value);
    }

    public static String encode(byte[] value) {
        String text = strictUtf8Text(value);
        if (text != null && !looksEncoded(text)) return text;
        return "0s" + Base64.getEncoder().encodeToString(value);
    }

    /** The UTF-8 bytes of a text; a lone surrogate is refused instead of becoming '?'. */
    public static byte[] utf8(String text) {
        try {
            ByteBuffer bytes = StandardCharsets.UTF_8.newEncoder()
                    .onMalformedInput(CodingErrorAction.REPORT)
                    .onUnmappableCharacter(CodingErrorAction.REPORT)
                    .encode(CharBuffer.wrap(text));
            byte[] out = new byte[bytes.remaining()];
            bytes.get(out);
            return out;
        } catch (CharacterCodingException e) {
            throw new IllegalArgumentException("text is not valid Unicode (lone surrogate)");
        }
    }

    private static boolean looksEncoded(String text) {
        if (text.startsWith("\"")) return true;
        if (text.length() < 2) return false;
        String prefix = text.substring(0, 2);
        return prefix.equalsIgnoreCase("0x") || prefix.equalsIgnoreCase("0s");
    }

    private static String strictUtf8Text(byte[] value) {
        try {
            return StandardCharsets.UTF_8.newDecoder()
                    .onMalformedInput(CodingErrorAction.REPORT)
                    .onUnmappableCharacter(CodingErrorAction.REPORT)
                    .decode(ByteBuffer.wrap(value))
                    .toString();
        } catch (CharacterCodingException e) {
            return null;
        }
    }

    private static byte[] decodeHex(String hex) {
        if (hex.length() % 2 != 0) throw new IllegalArgumentException("hexadecimal XAttr value of odd length");
        byte[] out = new byte[hex.length() / 2];
        for (int i = 0; i < out.length; i++) {
            int high = Character.digit(hex.charAt(2 * i), 16);
            int low = Character.digit(hex.charAt(2 * i + 1), 16);
            if (high < 0 || low < 0) throw new IllegalArgumentException("invalid hexadecimal XAttr value");
            out[i] = (byte) (high * 16 + low);
        }
        return out;
    }

    private static byte[] decodeBase64(String text) {
        try {
            return Base64.getDecoder().decode(text);
        } catch (IllegalArgumentException e) {
            throw new IllegalArgumentException("invalid base64 XAttr value: " + e.getMessage());
        }
    }
}
