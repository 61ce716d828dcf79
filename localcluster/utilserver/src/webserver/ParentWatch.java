package webserver;

import java.io.IOException;
import java.io.InputStream;

/**
 * Ends the service when its standard input reaches end-of-file. The process that starts the
 * service keeps the only write end of that pipe, so the end-of-file comes when that process
 * closes it or ends in any way, kill -9 included; nothing else is needed from it.
 */
final class ParentWatch {
    private ParentWatch() {}

    static void start() {
        Thread watch = new Thread(ParentWatch::waitForEndOfInput, "parent-watch");
        watch.setDaemon(true);
        watch.start();
    }

    private static void waitForEndOfInput() {
        InputStream in = System.in;
        byte[] buffer = new byte[256];
        try {
            while (in.read(buffer) >= 0) {
                // Whatever arrives is ignored; only the end matters.
            }
            ServiceLog.info("standard input ended: the starting process is gone, stopping");
        } catch (IOException e) {
            ServiceLog.info("standard input failed (" + e.getMessage() + "): stopping");
        }
        // halt, not exit: no request thread or shutdown hook may keep the service alive.
        Runtime.getRuntime().halt(0);
    }
}
