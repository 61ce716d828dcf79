package hdfsagent.realcluster;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import org.apache.hadoop.conf.Configuration;
import org.apache.hadoop.fs.FSDataInputStream;
import org.apache.hadoop.fs.FSDataOutputStream;
import org.apache.hadoop.fs.FileSystem;
import org.apache.hadoop.hdfs.MiniDFSCluster;
import org.apache.hadoop.security.UserGroupInformation;

/**
 * Starts one NameNode and one DataNode in this JVM on 127.0.0.1 and keeps them running until
 * told to stop.
 *
 * <pre>
 * ClusterLauncher --base DIR --conf-dir DIR [--block-size BYTES] [--superuser-group GROUP]
 *                 [--group-mapping user=group;...] [--parent PID]
 *                 [--kerberos --realm REALM --keytab FILE]
 * </pre>
 *
 * Once a file written through the cluster reads back, it writes the client configuration
 * (core-site.xml, hdfs-site.xml) into the configuration directory and then "uri" and "ready" into
 * the base directory. It stops the cluster at end-of-file on its standard input (the parent holds
 * the other end) or, with --parent, when that process is gone; SIGTERM stops it too.
 */
public final class ClusterLauncher {
    private static final int PROBE_ATTEMPTS = 120;
    private static final long PROBE_PAUSE_MS = 500;
    private static final long PARENT_POLL_MS = 500;

    private final Map<String, String> options = new LinkedHashMap<>();
    private boolean kerberos;

    public static void main(String[] args) throws Exception {
        ClusterLauncher launcher = new ClusterLauncher();
        try {
            launcher.parse(args);
        } catch (IllegalArgumentException e) {
            System.err.println("ClusterLauncher: " + e.getMessage());
            System.exit(2);
        }
        launcher.run();
    }

    private void parse(String[] args) {
        for (int i = 0; i < args.length; ++i) {
            String arg = args[i];
            if (arg.equals("--kerberos")) {
                kerberos = true;
            } else if (arg.startsWith("--") && i + 1 < args.length) {
                options.put(arg.substring(2), args[++i]);
            } else {
                throw new IllegalArgumentException("unexpected argument " + arg);
            }
        }
        require("base");
        require("conf-dir");
        if (kerberos) {
            require("realm");
            require("keytab");
        }
    }

    private String require(String name) {
        String value = options.get(name);
        if (value == null || value.isEmpty()) {
            throw new IllegalArgumentException("--" + name + " is required");
        }
        return value;
    }

    private String servicePrincipal() {
        return "hdfs/localhost@" + options.get("realm");
    }

    private String httpPrincipal() {
        return "HTTP/localhost@" + options.get("realm");
    }

    /** Settings that servers and clients must agree on. */
    private void putShared(Configuration conf) {
        String blockSize = options.getOrDefault("block-size", "1048576");
        conf.set("dfs.blocksize", blockSize);
        conf.set("dfs.replication", "1");
        conf.set("dfs.client.use.datanode.hostname", "false");
        if (kerberos) {
            conf.set("hadoop.security.authentication", "kerberos");
            conf.set("dfs.namenode.kerberos.principal", servicePrincipal());
            conf.set("dfs.datanode.kerberos.principal", servicePrincipal());
            conf.set("dfs.block.access.token.enable", "true");
            conf.set("dfs.data.transfer.protection", "authentication");
        }
    }

    private Configuration serverConfiguration() {
        Configuration conf = new Configuration();
        putShared(conf);
        String blockSize = options.getOrDefault("block-size", "1048576");
        conf.set("dfs.namenode.fs-limits.min-block-size", blockSize);
        conf.set("dfs.permissions.enabled", "true");
        conf.set("dfs.namenode.acls.enabled", "true");
        conf.set("dfs.namenode.xattrs.enabled", "true");
        conf.set("fs.permissions.umask-mode", "022");
        conf.set("dfs.permissions.superusergroup", options.getOrDefault("superuser-group", "root"));
        String mapping = options.get("group-mapping");
        if (mapping != null && !mapping.isEmpty()) {
            conf.set("hadoop.user.group.static.mapping.overrides", mapping);
        }
        conf.set("dfs.namenode.accesstime.precision", "3600000");
        conf.set("dfs.datanode.hostname", "127.0.0.1");
        conf.set("dfs.namenode.safemode.extension", "0");
        conf.set("dfs.heartbeat.interval", "1");
        conf.set("dfs.namenode.rpc-address", "127.0.0.1:0");
        conf.set("dfs.namenode.http-address", "127.0.0.1:0");
        conf.set("dfs.datanode.address", "127.0.0.1:0");
        conf.set("dfs.datanode.http.address", "127.0.0.1:0");
        conf.set("dfs.datanode.ipc.address", "127.0.0.1:0");
        conf.set(MiniDFSCluster.HDFS_MINIDFS_BASEDIR, options.get("base") + "/data");
        if (kerberos) {
            String keytab = options.get("keytab");
            conf.set("dfs.namenode.keytab.file", keytab);
            conf.set("dfs.datanode.keytab.file", keytab);
            conf.set("dfs.web.authentication.kerberos.principal", httpPrincipal());
            conf.set("dfs.web.authentication.kerberos.keytab", keytab);
            conf.set("dfs.namenode.kerberos.internal.spnego.principal", httpPrincipal());
            conf.set("dfs.datanode.kerberos.internal.spnego.principal", httpPrincipal());
            conf.set("ignore.secure.ports.for.testing", "true");
            conf.set("dfs.http.policy", "HTTP_ONLY");
        }
        return conf;
    }

    private void run() throws Exception {
        Configuration conf = serverConfiguration();
        if (kerberos) {
            UserGroupInformation.setConfiguration(conf);
            UserGroupInformation.loginUserFromKeytab(servicePrincipal(), options.get("keytab"));
        }
        MiniDFSCluster cluster = new MiniDFSCluster.Builder(conf)
                                         .numDataNodes(1)
                                         .nameNodePort(0)
                                         .format(true)
                                         .build();
        CountDownLatch stop = new CountDownLatch(1);
        Runtime.getRuntime().addShutdownHook(new Thread(() -> shutDown(cluster, stop)));
        cluster.waitActive();
        String uri = "hdfs://127.0.0.1:" + cluster.getNameNodePort();
        probe(cluster.getFileSystem());
        writeClientConfiguration(uri);
        writeAtomically(Paths.get(options.get("base"), "uri"), uri + "\n");
        writeAtomically(Paths.get(options.get("base"), "ready"), "ready\n");
        System.out.println("ClusterLauncher: ready at " + uri);
        System.out.flush();
        waitForStop();
        shutDown(cluster, stop);
        System.exit(0);
    }

    private static synchronized void shutDown(MiniDFSCluster cluster, CountDownLatch stop) {
        if (stop.getCount() == 0) {
            return;
        }
        stop.countDown();
        cluster.shutdown(true);
    }

    /**
     * waitActive() can return before the DataNode takes a block: write and read a small file
     * until that works.
     */
    private static void probe(FileSystem fs) throws Exception {
        org.apache.hadoop.fs.Path path = new org.apache.hadoop.fs.Path("/.ready-probe");
        byte[] data = "probe".getBytes(StandardCharsets.UTF_8);
        Exception last = null;
        for (int attempt = 0; attempt < PROBE_ATTEMPTS; ++attempt) {
            try {
                try (FSDataOutputStream out = fs.create(path, true)) {
                    out.write(data);
                }
                byte[] back = new byte[data.length];
                try (FSDataInputStream in = fs.open(path)) {
                    in.readFully(back);
                }
                if (Arrays.equals(data, back)) {
                    fs.delete(path, false);
                    return;
                }
            } catch (IOException e) {
                last = e;
            }
            Thread.sleep(PROBE_PAUSE_MS);
        }
        throw new IOException("the cluster does not store a file", last);
    }

    private void writeClientConfiguration(String uri) throws IOException {
        Configuration core = new Configuration(false);
        core.set("fs.defaultFS", uri);
        core.set("hadoop.security.authentication", kerberos ? "kerberos" : "simple");
        core.set("dfs.checksum.combine.mode", "COMPOSITE_CRC");
        Configuration hdfs = new Configuration(false);
        putShared(hdfs);
        hdfs.set("dfs.checksum.combine.mode", "COMPOSITE_CRC");
        Path dir = Paths.get(options.get("conf-dir"));
        Files.createDirectories(dir);
        writeConfiguration(core, dir.resolve("core-site.xml"));
        writeConfiguration(hdfs, dir.resolve("hdfs-site.xml"));
    }

    private static void writeConfiguration(Configuration conf, Path file) throws IOException {
        Path temp = file.resolveSibling(file.getFileName() + ".tmp");
        try (OutputStream out = Files.newOutputStream(temp)) {
            conf.writeXml(out);
        }
        Files.move(temp, file, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
    }

    private static void writeAtomically(Path file, String content) throws IOException {
        Path temp = file.resolveSibling(file.getFileName() + ".tmp");
        Files.write(temp, content.getBytes(StandardCharsets.UTF_8));
        Files.move(temp, file, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
    }

    /** Returns when the parent is gone: end-of-file on stdin, or the watched process ended. */
    private void waitForStop() throws Exception {
        String parent = options.get("parent");
        if (parent != null) {
            long pid = Long.parseLong(parent);
            while (ProcessHandle.of(pid).map(ProcessHandle::isAlive).orElse(false)) {
                Thread.sleep(PARENT_POLL_MS);
            }
            return;
        }
        InputStream in = System.in;
        byte[] buffer = new byte[256];
        while (in.read(buffer) >= 0) {
            // Input is ignored; only its end matters.
        }
    }
}
