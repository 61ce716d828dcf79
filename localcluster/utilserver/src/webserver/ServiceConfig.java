package webserver;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileTime;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.Set;
import javax.xml.parsers.DocumentBuilder;
import javax.xml.parsers.DocumentBuilderFactory;
import org.w3c.dom.Document;
import org.w3c.dom.Element;
import org.w3c.dom.NodeList;

/**
 * One reading of "dxhadooputil.properties": the keys the library writes and the test knobs.
 *
 * <p>Library keys: util.hadoop.user, util.hadoop.config (the Hadoop configuration directory),
 * util.hbase.user, util.hbase.config (the HBase configuration directory),
 * util.hadoop.security.kerberos.ticket.cache.path. The namespace root the ACLs live with is
 * "localcluster.namespace.root" of the Hadoop configuration (core-site.xml, then hdfs-site.xml,
 * the later file winning); for /REST/hbase/ the HBase configuration's hbase-site.xml may name
 * another one.
 *
 * <p>Test knobs (all optional; the service re-reads the file whenever it changes, so a test can
 * flip them on a running service):
 * <ul>
 *   <li>dxutil.test.unavailable=true: answer 503 with a JSON error;
 *   <li>dxutil.test.status=NNN: answer that status (400 to 599) with a JSON error;
 *   <li>dxutil.test.closeConnection=true: close the connection without an answer;
 *   <li>dxutil.test.hangMs=N: wait N milliseconds before handling a request;
 *   <li>dxutil.test.resources=a,b: apply the four knobs above only to these resources (hello.json,
 *       getacl, getaclbatch, setacl); default every request;
 *   <li>dxutil.test.startDelayMs=N: wait N milliseconds before listening (read at start only).
 * </ul>
 * Service setting: dxutil.server.threads (request threads, default 16; read at start only).
 */
final class ServiceConfig {
    static final String NAMESPACE_ROOT_KEY = "localcluster.namespace.root";

    final Path file;
    final PropertyFile properties;
    final boolean unavailable;
    final int injectedStatus;
    final boolean closeConnection;
    final long hangMs;
    final Set<String> faultResources;
    final long startDelayMs;
    final int threads;
    private final Map<String, Object> namespaceRoots = new HashMap<>();

    private ServiceConfig(Path file, PropertyFile properties) {
        this.file = file;
        this.properties = properties;
        unavailable = properties.flag("dxutil.test.unavailable");
        long status = properties.number("dxutil.test.status", 0);
        injectedStatus = status >= 400 && status <= 599 ? (int) status : 0;
        closeConnection = properties.flag("dxutil.test.closeConnection");
        hangMs = properties.number("dxutil.test.hangMs", 0);
        faultResources = Set.of(properties.get("dxutil.test.resources", "").replace(" ", "").split(",")).stream()
                .filter(s -> !s.isEmpty())
                .collect(java.util.stream.Collectors.toUnmodifiableSet());
        startDelayMs = properties.number("dxutil.test.startDelayMs", 0);
        threads = (int) Math.max(1, Math.min(256, properties.number("dxutil.server.threads", 16)));
    }

    static ServiceConfig read(Path file) throws IOException {
        return new ServiceConfig(file, PropertyFile.read(file));
    }

    boolean faultsApplyTo(String resource) {
        return faultResources.isEmpty() || faultResources.contains(resource);
    }

    /** The namespace root for an application ("hadoop" or "hbase"); found once per reading. */
    synchronized Path namespaceRoot(String application) throws IOException {
        Object root = namespaceRoots.get(application);
        if (root == null) {
            try {
                root = findNamespaceRoot(application);
            } catch (IOException e) {
                root = e;
            }
            namespaceRoots.put(application, root);
        }
        if (root instanceof IOException) throw (IOException) root;
        return (Path) root;
    }

    /**
     * "localcluster" when the configuration names a stand-in namespace root, else "hadoop";
     * util.backend (either word) decides instead when it is set.
     */
    String backend(String application) {
        String chosen = properties.get("util.backend", "").trim();
        if (chosen.equals("hadoop") || chosen.equals("localcluster")) return chosen;
        List<Path> files = new java.util.ArrayList<>();
        if (application.equals("hbase") && !hbaseConfig().isEmpty()) files.add(Path.of(hbaseConfig(), "hbase-site.xml"));
        String conf = properties.get("util.hadoop.config", "").trim();
        if (conf.isEmpty()) return "localcluster";  // its error names what is missing
        files.add(Path.of(conf, "core-site.xml"));
        files.add(Path.of(conf, "hdfs-site.xml"));
        for (Path file : files) {
            try {
                if (xmlValue(file, NAMESPACE_ROOT_KEY) != null) return "localcluster";
            } catch (IOException e) {
                return "localcluster";  // reports the unreadable file
            }
        }
        return "hadoop";
    }

    /** The client configuration directory, user and ticket cache the Hadoop backend uses. */
    String hadoopConfig(String application) {
        String hbase = hbaseConfig();
        return application.equals("hbase") && !hbase.isEmpty() ? hbase : properties.get("util.hadoop.config", "").trim();
    }

    String hadoopUser(String application) {
        String hbase = properties.get("util.hbase.user", "").trim();
        return application.equals("hbase") && !hbase.isEmpty() ? hbase : properties.get("util.hadoop.user", "").trim();
    }

    String ticketCache() {
        return properties.get("util.hadoop.security.kerberos.ticket.cache.path", "").trim();
    }

    private String hbaseConfig() {
        return properties.get("util.hbase.config", "").trim();
    }

    private Path findNamespaceRoot(String application) throws IOException {
        if (application.equals("hbase")) {
            String hbaseConf = properties.get("util.hbase.config", "").trim();
            if (!hbaseConf.isEmpty()) {
                String root = xmlValue(Path.of(hbaseConf, "hbase-site.xml"), NAMESPACE_ROOT_KEY);
                if (root != null && !root.isEmpty()) return Path.of(root);
            }
        }
        String conf = properties.get("util.hadoop.config", "").trim();
        if (conf.isEmpty()) throw new IOException("util.hadoop.config is not set in " + file);
        String root = null;
        for (String name : List.of("core-site.xml", "hdfs-site.xml")) {
            String value = xmlValue(Path.of(conf, name), NAMESPACE_ROOT_KEY);
            if (value != null) root = value;
        }
        if (root == null || root.isEmpty()) {
            throw new IOException(NAMESPACE_ROOT_KEY + " is not set in " + conf + "/core-site.xml or hdfs-site.xml");
        }
        return Path.of(root);
    }

    /** The value of a property in a Hadoop configuration XML file; null when absent. */
    private static String xmlValue(Path xml, String key) throws IOException {
        if (!Files.isRegularFile(xml)) return null;
        Document document;
        try {
            DocumentBuilderFactory factory = DocumentBuilderFactory.newInstance();
            factory.setFeature("http://apache.org/xml/features/disallow-doctype-decl", true);
            factory.setExpandEntityReferences(false);
            DocumentBuilder builder = factory.newDocumentBuilder();
            builder.setErrorHandler(new org.xml.sax.helpers.DefaultHandler());
            document = builder.parse(xml.toFile());
        } catch (Exception e) {
            throw new IOException("cannot read " + xml + ": " + e.getMessage());
        }
        String value = null;
        NodeList properties = document.getElementsByTagName("property");
        for (int i = 0; i < properties.getLength(); i++) {
            Element property = (Element) properties.item(i);
            if (key.equals(childText(property, "name"))) {
                String text = childText(property, "value");
                value = text == null ? "" : text;
            }
        }
        return value;
    }

    private static String childText(Element parent, String tag) {
        NodeList children = parent.getElementsByTagName(tag);
        return children.getLength() == 0 ? null : children.item(0).getTextContent().trim();
    }

    /** Hands out the current reading, reading the file again whenever it has changed. */
    static final class Source {
        private final Path file;
        private Object stamp;
        private ServiceConfig current;

        Source(Path file) throws IOException {
            this.file = file;
            this.stamp = stamp(file);
            this.current = read(file);
        }

        synchronized ServiceConfig current() {
            try {
                Object now = stamp(file);
                if (!Objects.equals(now, stamp)) {
                    current = read(file);
                    stamp = now;
                    ServiceLog.info("re-read " + file);
                }
            } catch (IOException e) {
                ServiceLog.warn("cannot re-read " + file + ": " + e.getMessage() + "; keeping the earlier settings");
            }
            return current;
        }

        private static Object stamp(Path file) throws IOException {
            try {
                BasicFileAttributes a = Files.readAttributes(file, BasicFileAttributes.class);
                return List.of(a.lastModifiedTime(), a.size(), String.valueOf(a.fileKey()));
            } catch (NoSuchFileException e) {
                return FileTime.fromMillis(0);
            }
        }
    }
}
