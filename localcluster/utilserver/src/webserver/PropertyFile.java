package webserver;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.HashMap;
import java.util.Map;

/**
 * A property file of key=value lines, read the way the library writes and reads it: the key is
 * the text before the first "=" (blanks around it trimmed), the value everything after it
 * (verbatim, only a trailing carriage return dropped), the first line with a key wins. Blank
 * lines and lines starting with '#' or '!' are comments. There are no escapes: a value is a path
 * as the library wrote it.
 */
final class PropertyFile {
    private final Map<String, String> values;

    private PropertyFile(Map<String, String> values) {
        this.values = values;
    }

    static PropertyFile empty() {
        return new PropertyFile(Map.of());
    }

    /** Reads a file; a missing file reads as empty. */
    static PropertyFile read(Path file) throws IOException {
        Map<String, String> values = new HashMap<>();
        String text;
        try {
            text = Files.readString(file, StandardCharsets.UTF_8);
        } catch (NoSuchFileException e) {
            return empty();
        } catch (java.nio.charset.MalformedInputException e) {
            text = new String(Files.readAllBytes(file), StandardCharsets.ISO_8859_1);
        }
        for (String line : text.split("\n")) {
            if (line.endsWith("\r")) line = line.substring(0, line.length() - 1);
            String start = line.stripLeading();
            if (start.isEmpty() || start.startsWith("#") || start.startsWith("!")) continue;
            int eq = line.indexOf('=');
            if (eq < 0) continue;
            values.putIfAbsent(line.substring(0, eq).trim(), line.substring(eq + 1));
        }
        return new PropertyFile(values);
    }

    String get(String key, String fallback) {
        return values.getOrDefault(key, fallback);
    }

    boolean flag(String key) {
        String value = get(key, "").trim();
        return value.equalsIgnoreCase("true") || value.equals("1") || value.equalsIgnoreCase("yes");
    }

    /** A non-negative decimal number; absent or malformed gives the fallback. */
    long number(String key, long fallback) {
        String value = get(key, "").trim();
        if (value.isEmpty()) return fallback;
        try {
            long n = Long.parseLong(value);
            return n >= 0 ? n : fallback;
        } catch (NumberFormatException e) {
            ServiceLog.warn("ignoring " + key + "=" + value + ": not a number");
            return fallback;
        }
    }
}
