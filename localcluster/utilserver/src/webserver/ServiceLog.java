package webserver;

import java.io.FileOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.time.LocalDateTime;
import java.time.format.DateTimeFormatter;
import java.util.Locale;

/**
 * The service's log, configured from its log4j property file: the level is the first word of
 * "log4j.rootLogger" (DEBUG, INFO, WARN, ERROR, OFF; "INFO, R" by default) and the lines go to
 * the file named by "log4j.appender.NAME.File", NAME being the appender the root logger names
 * (R in the template). Without a file, or when it can not be opened, lines go to standard error.
 * Thread-safe.
 */
final class ServiceLog {
    enum Level { DEBUG, INFO, WARN, ERROR, OFF }

    private static final DateTimeFormatter TIME = DateTimeFormatter.ofPattern("yyyy-MM-dd HH:mm:ss,SSS");
    private static volatile Level threshold = Level.INFO;
    private static volatile PrintStream out = System.err;

    private ServiceLog() {}

    static void configure(PropertyFile log4j) {
        String[] root = log4j.get("log4j.rootLogger", "INFO, R").split(",");
        threshold = parseLevel(root[0].trim());
        String appender = root.length > 1 ? root[1].trim() : "R";
        String file = log4j.get("log4j.appender." + appender + ".File", "").trim();
        if (file.isEmpty()) return;
        try {
            out = new PrintStream(new FileOutputStream(Path.of(file).toFile(), true), true, StandardCharsets.UTF_8);
        } catch (IOException | RuntimeException e) {
            warn("cannot open the log file " + file + " (" + e.getMessage() + "); logging to standard error");
        }
    }

    static boolean isDebug() {
        return threshold == Level.DEBUG;
    }

    static void debug(String message) {
        write(Level.DEBUG, message);
    }

    static void info(String message) {
        write(Level.INFO, message);
    }

    static void warn(String message) {
        write(Level.WARN, message);
    }

    static void error(String message) {
        write(Level.ERROR, message);
    }

    private static void write(Level level, String message) {
        if (level.compareTo(threshold) < 0) return;
        String line = String.format("%s %-5s [%s] dxhdfsutil - %s",
                LocalDateTime.now().format(TIME), level, Thread.currentThread().getName(), message);
        PrintStream target = out;
        synchronized (target) {
            target.println(line);
        }
    }

    private static Level parseLevel(String text) {
        String upper = text.toUpperCase(Locale.ROOT);
        if (upper.equals("TRACE") || upper.equals("ALL")) return Level.DEBUG;
        if (upper.equals("FATAL")) return Level.ERROR;
        try {
            return Level.valueOf(upper);
        } catch (IllegalArgumentException e) {
            return Level.INFO;
        }
    }
}
