package webserver;

import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import dxutil.AclJson;
import dxutil.Json;
import dxutil.NamespaceStore;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.BindException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.ByteBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * The REST utility service: reads and writes ACLs and extended attributes of HDFS paths for the
 * library, which cannot reach them through libhdfs.
 *
 * <p>Command line: java -Ddxutil.config.file=DIR -cp dxhdfsutil.jar:dxhdfsutil-nodep.jar
 * webserver.UtilServer PORT. DIR holds dxhadooputil.properties (see {@link ServiceConfig}) and
 * dxhadooplog4j.properties (see {@link ServiceLog}); the property may also name the
 * dxhadooputil.properties file itself. Listens on 127.0.0.1:PORT (and [::1]:PORT when it can).
 *
 * <p>Resources, under /REST/hadoop/ and /REST/hbase/ (bodies are JSON, see {@link AclJson}):
 * <ul>
 *   <li>GET (or POST) hello.json: {"status":"OK","service":"dxhdfsutil","application":APP,"version":"1"}
 *   <li>POST getacl {"path":P}: 200 with {"AclStatus":{…},"XAttrs":[…]}
 *   <li>POST getaclbatch {"paths":[P1,P2,…]} (1 to 1000 paths): 200 with {"answers":[A1,A2,…]}, one
 *       answer per path in the order asked: {"status":200,"AclStatus":{…},"XAttrs":[…]} or, for a
 *       path that cannot be read, {"status":S,"RemoteException":{…}} with the status and error
 *       that getacl would give for it alone; one bad path does not spoil the others
 *   <li>POST setacl {"path":P,"AclStatus":{…},"XAttrs":[…]}: applies what is given, answers 200
 *       with the resulting state in the getacl shape
 * </ul>
 * Errors are WebHDFS-style {"RemoteException":{"exception":E,"javaClassName":C,"message":M}}:
 * 400 bad JSON or request, 403 a path outside the namespace or a file the service may not touch,
 * 404 a missing path or an unknown resource, 405 a wrong method, 413 a body over 4 MiB, 500 a
 * storage or configuration failure, 503 while the service is told to be unavailable.
 *
 * Every request must carry the secret of the environment variable HDFSAGENT_RESTUTIL_SECRET in
 * the header X-Hdfsagent-Secret; without it the answer is 401 and nothing is done.
 *
 * <p>The service ends when its standard input reaches end-of-file: the library keeps the write
 * end of a pipe, so the service cannot outlive it. -Ddxutil.watchStdin=false turns that off for a
 * service run on its own.
 *
 * <p>Exit status: 2 for a bad command line or a missing secret, 1 when the port can not be bound.
 */
public final class UtilServer {
    private static final int MAX_BODY = 4 << 20;
    private static final Set<String> APPLICATIONS = Set.of("hadoop", "hbase");
    private static final Set<String> RESOURCES = Set.of("hello.json", "getacl", "getaclbatch", "setacl");
    /** Paths one getaclbatch request may name: bounds the work and the answer of one request. */
    static final int MAX_BATCH_PATHS = 1000;
    private static final String DEFAULT_CONFIG_DIR = "/etc/Rezod/";
    static final String PROPERTIES = "dxhadooputil.properties";
    static final String LOG4J_PROPERTIES = "dxhadooplog4j.properties";

    static final String SECRET_ENVIRONMENT = "HDFSAGENT_RESTUTIL_SECRET";
    static final String SECRET_HEADER = "X-Hdfsagent-Secret";
    static final String WATCH_STDIN_PROPERTY = "dxutil.watchStdin";

    private final ServiceConfig.Source config;
    private final byte[] secret;
    private final Map<Path, NamespaceStore> stores = new ConcurrentHashMap<>();
    private final Map<List<String>, AttributeBackend> hadoopBackends = new ConcurrentHashMap<>();

    private UtilServer(ServiceConfig.Source config, byte[] secret) {
        this.config = config;
        this.secret = secret;
    }

    public static void main(String[] args) throws Exception {
        // Answers are small and sent in pieces; with Nagle's algorithm a keep-alive client would
        // wait for the delayed acknowledgement of each request.
        System.setProperty("sun.net.httpserver.nodelay", "true");
        if (args.length != 1) usage("expected exactly one argument, the port");
        int port = parsePort(args[0]);
        byte[] secret = secretFromEnvironment();
        if (!"false".equals(System.getProperty(WATCH_STDIN_PROPERTY))) ParentWatch.start();
        String location = System.getProperty("dxutil.config.file", DEFAULT_CONFIG_DIR);
        Path properties = propertiesFile(location);
        Path log4j = properties.resolveSibling(LOG4J_PROPERTIES);
        ServiceLog.configure(readOrEmpty(log4j));
        new UtilServer(new ServiceConfig.Source(properties), secret).start(port);
    }

    /** The secret every request must carry; a service without one would serve anybody. */
    private static byte[] secretFromEnvironment() {
        String secret = System.getenv(SECRET_ENVIRONMENT);
        if (secret == null || secret.isEmpty()) {
            System.err.println("dxhdfsutil: no secret given in the environment variable " + SECRET_ENVIRONMENT);
            System.exit(2);
        }
        return secret.getBytes(StandardCharsets.UTF_8);
    }

    private static void usage(String problem) {
        System.err.println("dxhdfsutil: " + problem);
        System.err.println("usage: java -Ddxutil.config.file=DIR -cp dxhdfsutil.jar:dxhdfsutil-nodep.jar "
                + "webserver.UtilServer PORT");
        System.exit(2);
    }

    private static int parsePort(String text) {
        try {
            int port = Integer.parseInt(text);
            if (port >= 1 && port <= 65535) return port;
        } catch (NumberFormatException e) {
            // reported below
        }
        usage("invalid port \"" + text + "\"");
        return 0;
    }

    private static Path propertiesFile(String location) {
        Path path = Path.of(location);
        if (location.endsWith("/") || Files.isDirectory(path)) return path.resolve(PROPERTIES);
        return path;
    }

    private static PropertyFile readOrEmpty(Path file) {
        try {
            return PropertyFile.read(file);
        } catch (IOException e) {
            System.err.println("dxhdfsutil: cannot read " + file + ": " + e.getMessage());
            return PropertyFile.empty();
        }
    }

    private void start(int port) throws InterruptedException {
        ServiceConfig settings = config.current();
        ServiceLog.info("starting on port " + port + " with " + settings.file
                + (Files.exists(settings.file) ? "" : " (missing: built-in defaults)"));
        if (settings.startDelayMs > 0) {
            ServiceLog.info("waiting " + settings.startDelayMs + " ms before listening (dxutil.test.startDelayMs)");
            Thread.sleep(settings.startDelayMs);
        }
        ExecutorService pool = Executors.newFixedThreadPool(settings.threads, namedThreads());
        try {
            listen(InetAddress.getByName("127.0.0.1"), port, pool);
        } catch (IOException e) {
            String why = e instanceof BindException ? "port " + port + " is in use" : e.toString();
            ServiceLog.error("cannot listen on 127.0.0.1:" + port + ": " + why);
            System.err.println("dxhdfsutil: cannot listen on 127.0.0.1:" + port + ": " + why);
            System.exit(1);
        }
        // Clients ask for "localhost", which may resolve to ::1 first.
        try {
            listen(InetAddress.getByName("::1"), port, pool);
        } catch (IOException e) {
            ServiceLog.debug("not listening on [::1]:" + port + ": " + e);
        }
        ServiceLog.info("listening on 127.0.0.1:" + port + " with " + settings.threads + " request threads");
    }

    private void listen(InetAddress address, int port, ExecutorService pool) throws IOException {
        HttpServer server = HttpServer.create(new InetSocketAddress(address, port), 128);
        server.createContext("/", this::handle);
        server.setExecutor(pool);
        server.start();
    }

    private static java.util.concurrent.ThreadFactory namedThreads() {
        AtomicInteger count = new AtomicInteger();
        return task -> {
            Thread thread = new Thread(task, "request-" + count.incrementAndGet());
            thread.setDaemon(true);
            return thread;
        };
    }

    /** A failure that already knows its answer. */
    private static final class Failure extends Exception {
        private static final long serialVersionUID = 1L;
        final int status;
        final String exception;
        final String javaClassName;

        Failure(int status, String exception, String javaClassName, String message) {
            super(message);
            this.status = status;
            this.exception = exception;
            this.javaClassName = javaClassName;
        }
    }

    private void handle(HttpExchange exchange) {
        long started = System.nanoTime();
        ServiceConfig settings = config.current();
        int status = 0;
        try {
            status = answer(exchange, settings);
        } finally {
            exchange.close();
            logRequest(exchange, status, started);
        }
    }

    /** Answers one exchange; returns the status sent, 0 when the connection was dropped. */
    private int answer(HttpExchange exchange, ServiceConfig settings) {
        String[] route = route(exchange.getRequestURI().getPath());
        try {
            authenticate(exchange);
            if (settings.faultsApplyTo(route == null ? "" : route[1])) {
                if (injectFault(exchange, settings)) return 0;
            }
            if (route == null) {
                throw new Failure(404, "FileNotFoundException", "java.io.FileNotFoundException",
                        "No such resource: " + exchange.getRequestURI().getPath()
                                + " (known: /REST/hadoop/ and /REST/hbase/ with hello.json, getacl, getaclbatch, setacl)");
            }
            Object answer = serve(route[0], route[1], exchange, settings);
            return send(exchange, 200, answer);
        } catch (Failure f) {
            return sendError(exchange, f.status, f.exception, f.javaClassName, f.getMessage());
        } catch (Throwable t) {
            Failure f = failureOf(t);
            return sendError(exchange, f.status, f.exception, f.javaClassName, f.getMessage());
        }
    }

    /** Refuses a request without the right secret; compared in constant time. */
    private void authenticate(HttpExchange exchange) throws Failure {
        String given = exchange.getRequestHeaders().getFirst(SECRET_HEADER);
        byte[] bytes = given == null ? new byte[0] : given.getBytes(StandardCharsets.UTF_8);
        if (!MessageDigest.isEqual(secret, bytes)) {
            throw new Failure(401, "AuthenticationException",
                    "org.apache.hadoop.security.authentication.client.AuthenticationException",
                    given == null ? "The request carries no " + SECRET_HEADER + " header"
                                  : "The " + SECRET_HEADER + " header is wrong");
        }
    }

    private static boolean injectFault(HttpExchange exchange, ServiceConfig settings) throws Failure, InterruptedException {
        if (settings.hangMs > 0) Thread.sleep(settings.hangMs);
        if (settings.closeConnection) return true;
        if (settings.unavailable) {
            throw new Failure(503, "ServiceUnavailableException", "java.io.IOException",
                    "The service is unavailable (dxutil.test.unavailable)");
        }
        if (settings.injectedStatus != 0) {
            throw new Failure(settings.injectedStatus, "InjectedFailure", "java.io.IOException",
                    "Injected failure (dxutil.test.status=" + settings.injectedStatus + ")");
        }
        return false;
    }

    /** {application, resource} for /REST/APP/RESOURCE, null for anything else. */
    private static String[] route(String path) {
        String[] parts = path.split("/", -1);
        if (parts.length != 4 || !parts[0].isEmpty() || !parts[1].equals("REST")) return null;
        if (!APPLICATIONS.contains(parts[2]) || !RESOURCES.contains(parts[3])) return null;
        return new String[] {parts[2], parts[3]};
    }

    private Object serve(String application, String resource, HttpExchange exchange, ServiceConfig settings)
            throws Failure, IOException {
        String method = exchange.getRequestMethod();
        switch (resource) {
            case "hello.json": {
                requireMethod(exchange, method, "GET", "POST");
                Map<String, Object> hello = new LinkedHashMap<>();
                hello.put("status", "OK");
                hello.put("service", "dxhdfsutil");
                hello.put("application", application);
                hello.put("version", "1");
                return hello;
            }
            case "getacl": {
                requireMethod(exchange, method, "POST");
                Map<String, Object> request = Json.parseObject(body(exchange));
                String path = AclJson.getRequestPath(request);
                return AclJson.toJson(backend(settings, application).read(path));
            }
            case "getaclbatch": {
                requireMethod(exchange, method, "POST");
                Map<String, Object> request = Json.parseObject(body(exchange));
                List<String> paths = AclJson.batchRequestPaths(request, MAX_BATCH_PATHS);
                return readBatch(backend(settings, application), paths);
            }
            default: { // setacl
                requireMethod(exchange, method, "POST");
                Map<String, Object> request = Json.parseObject(body(exchange));
                String path = AclJson.setRequestPath(request);
                return AclJson.toJson(backend(settings, application).apply(path, AclJson.change(request)));
            }
        }
    }

    /** The answers of a getaclbatch request; a path that fails gets its own error answer. */
    private static Map<String, Object> readBatch(AttributeBackend backend, List<String> paths) {
        List<Object> answers = new ArrayList<>(paths.size());
        for (String path : paths) answers.add(readOne(backend, path));
        Map<String, Object> answer = new LinkedHashMap<>();
        answer.put("answers", answers);
        return answer;
    }

    private static Map<String, Object> readOne(AttributeBackend backend, String path) {
        Map<String, Object> answer = new LinkedHashMap<>();
        try {
            Map<String, Object> state = AclJson.toJson(backend.read(path));
            answer.put("status", 200);
            answer.putAll(state);
        } catch (Exception e) {
            Failure f = failureOf(e);
            answer.put("status", f.status);
            answer.put("RemoteException", remoteException(f.exception, f.javaClassName, f.getMessage()));
        }
        return answer;
    }

    private static void requireMethod(HttpExchange exchange, String method, String... allowed) throws Failure {
        for (String a : allowed) {
            if (a.equals(method)) return;
        }
        exchange.getResponseHeaders().set("Allow", String.join(", ", allowed));
        throw new Failure(405, "UnsupportedOperationException", "java.lang.UnsupportedOperationException",
                "Method " + method + " is not allowed for " + exchange.getRequestURI().getPath()
                        + " (allowed: " + String.join(", ", allowed) + ")");
    }

    private static String body(HttpExchange exchange) throws Failure, IOException {
        byte[] bytes;
        try (InputStream in = exchange.getRequestBody()) {
            bytes = in.readNBytes(MAX_BODY + 1);
        }
        if (bytes.length > MAX_BODY) {
            throw new Failure(413, "IllegalArgumentException", "java.lang.IllegalArgumentException",
                    "The request body is larger than " + MAX_BODY + " bytes");
        }
        try {
            return StandardCharsets.UTF_8.newDecoder()
                    .onMalformedInput(CodingErrorAction.REPORT)
                    .onUnmappableCharacter(CodingErrorAction.REPORT)
                    .decode(ByteBuffer.wrap(bytes))
                    .toString();
        } catch (CharacterCodingException e) {
            throw new IllegalArgumentException("The request body is not valid UTF-8");
        }
    }

    private AttributeBackend backend(ServiceConfig settings, String application) throws IOException {
        if (settings.backend(application).equals("localcluster")) {
            NamespaceStore store = store(settings, application);
            return new AttributeBackend() {
                @Override
                public dxutil.AttributeState read(String path) throws IOException {
                    return store.read(path);
                }

                @Override
                public dxutil.AttributeState apply(String path, dxutil.AttributeChange change) throws IOException {
                    return store.apply(path, change);
                }
            };
        }
        List<String> key = List.of(settings.hadoopConfig(application), settings.hadoopUser(application),
                settings.ticketCache());
        AttributeBackend backend = hadoopBackends.get(key);
        if (backend != null) return backend;
        synchronized (hadoopBackends) {
            backend = hadoopBackends.get(key);
            if (backend == null) {
                backend = loadHadoopBackend(key.get(0), key.get(1), key.get(2));
                hadoopBackends.put(key, backend);
            }
            return backend;
        }
    }

    /**
     * The Hadoop backend, loaded by name: its classes need the installation's Hadoop client jars,
     * which a service for the stand-in does not have.
     */
    private static AttributeBackend loadHadoopBackend(String configDir, String user, String ticketCache)
            throws IOException {
        if (configDir.isEmpty()) throw new IOException("util.hadoop.config is not set");
        try {
            Class<?> type = Class.forName("webserver.HadoopBackend");
            java.lang.reflect.Method create = type.getDeclaredMethod("create", String.class, String.class, String.class);
            create.setAccessible(true);
            return (AttributeBackend) create.invoke(null, configDir, user, ticketCache);
        } catch (java.lang.reflect.InvocationTargetException e) {
            Throwable cause = e.getCause();
            if (cause instanceof IOException) throw (IOException) cause;
            throw new IOException("the Hadoop backend cannot start: " + cause, cause);
        } catch (ReflectiveOperationException | LinkageError e) {
            throw new IOException("the Hadoop client classes are not on the class path (" + e + "); "
                    + "the service needs the installation's Hadoop client jars", e);
        }
    }

    private NamespaceStore store(ServiceConfig settings, String application) throws IOException {
        Path root;
        try {
            root = settings.namespaceRoot(application).toRealPath();
        } catch (NoSuchFileException e) {
            throw new IOException("the namespace root " + e.getFile() + " does not exist");
        }
        NamespaceStore store = stores.get(root);
        if (store != null) return store;
        NamespaceStore created = new NamespaceStore(root);
        store = stores.putIfAbsent(root, created);
        return store != null ? store : created;
    }

    /** True when `t` is of the named class or a subclass (for Hadoop classes we do not link). */
    private static boolean isA(Throwable t, String className) {
        for (Class<?> c = t.getClass(); c != null; c = c.getSuperclass()) {
            if (c.getName().equals(className)) return true;
        }
        return false;
    }

    /** The answer a failure gets: WebHDFS's status and exception for its kind. */
    private static Failure failureOf(Throwable t) {
        if (t instanceof Failure) return (Failure) t;
        if (isA(t, "org.apache.hadoop.security.AccessControlException")) {
            return new Failure(403, "AccessControlException", "org.apache.hadoop.security.AccessControlException",
                    t.getMessage());
        }
        if (isA(t, "org.apache.hadoop.hdfs.protocol.AclException")) {
            return new Failure(400, "AclException", "org.apache.hadoop.hdfs.protocol.AclException", t.getMessage());
        }
        if (t instanceof IllegalArgumentException) {
            return new Failure(400, "IllegalArgumentException", "java.lang.IllegalArgumentException", t.getMessage());
        }
        if (t instanceof FileNotFoundException) {
            return new Failure(404, "FileNotFoundException", "java.io.FileNotFoundException", t.getMessage());
        }
        if (t instanceof AccessDeniedException) {
            return new Failure(403, "AccessControlException", "org.apache.hadoop.security.AccessControlException",
                    t.getMessage());
        }
        if (t instanceof IOException) {
            return new Failure(500, "IOException", "java.io.IOException", t.getMessage());
        }
        ServiceLog.error("unexpected failure: " + stackTrace(t));
        return new Failure(500, t.getClass().getSimpleName(), t.getClass().getName(), String.valueOf(t.getMessage()));
    }

    private static Map<String, Object> remoteException(String exception, String javaClassName, String message) {
        Map<String, Object> remote = new LinkedHashMap<>();
        remote.put("exception", exception);
        remote.put("javaClassName", javaClassName);
        remote.put("message", message);
        return remote;
    }

    private static int sendError(HttpExchange exchange, int status, String exception, String javaClassName, String message) {
        Map<String, Object> answer = new LinkedHashMap<>();
        answer.put("RemoteException", remoteException(exception, javaClassName, message));
        ServiceLog.debug("answering " + status + ": " + message);
        return send(exchange, status, answer);
    }

    private static int send(HttpExchange exchange, int status, Object answer) {
        byte[] bytes = Json.write(answer).getBytes(StandardCharsets.UTF_8);
        try {
            exchange.getResponseHeaders().set("Content-Type", "application/json; charset=utf-8");
            exchange.sendResponseHeaders(status, bytes.length);
            try (OutputStream out = exchange.getResponseBody()) {
                out.write(bytes);
            }
        } catch (IOException e) {
            ServiceLog.debug("the client went away before the answer: " + e.getMessage());
        }
        return status;
    }

    private static void logRequest(HttpExchange exchange, int status, long started) {
        // Formatting costs more than a small request itself: only for a line that is written.
        if (status < 500 && !ServiceLog.isDebug()) return;
        String line = String.format("%s %s -> %s (%.1f ms)", exchange.getRequestMethod(), exchange.getRequestURI(),
                status == 0 ? "connection closed" : String.valueOf(status), (System.nanoTime() - started) / 1e6);
        if (status >= 500) {
            ServiceLog.warn(line);
        } else {
            ServiceLog.debug(line);
        }
    }

    private static String stackTrace(Throwable t) {
        java.io.StringWriter text = new java.io.StringWriter();
        t.printStackTrace(new java.io.PrintWriter(text));
        return text.toString();
    }
}
