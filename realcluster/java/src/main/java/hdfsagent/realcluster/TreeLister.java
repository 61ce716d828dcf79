package hdfsagent.realcluster;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import org.apache.hadoop.conf.Configuration;
import org.apache.hadoop.fs.FileChecksum;
import org.apache.hadoop.fs.FileStatus;
import org.apache.hadoop.fs.FileSystem;
import org.apache.hadoop.fs.Path;
import org.apache.hadoop.fs.permission.AclEntry;
import org.apache.hadoop.fs.permission.AclStatus;

/**
 * Prints one line per path of an HDFS tree, every attribute a backup must keep, so that two
 * trees compare with a plain text diff:
 *
 * <pre>
 * TreeLister [--no-times] [--no-atime] [--no-checksum] ROOT
 * RELATIVE-PATH TYPE MODE OWNER GROUP SIZE BLOCKSIZE REPLICATION MTIME ATIME acl=... xattr=... sum=...
 * </pre>
 *
 * Times are whole seconds (what libhdfs carries); the checksum is the block-size independent
 * COMPOSITE-CRC; extended attributes are hex-encoded. One JVM lists a whole tree, where FsShell
 * needs one per command.
 */
public final class TreeLister {
    private boolean times = true;
    private boolean accessTimes = true;
    private boolean checksums = true;
    private FileSystem fs;
    private final PrintStream out = new PrintStream(System.out, false, StandardCharsets.UTF_8);

    public static void main(String[] args) throws Exception {
        TreeLister lister = new TreeLister();
        String root = null;
        for (String arg : args) {
            if (arg.equals("--no-times")) {
                lister.times = false;
            } else if (arg.equals("--no-atime")) {
                lister.accessTimes = false;
            } else if (arg.equals("--no-checksum")) {
                lister.checksums = false;
            } else if (root == null) {
                root = arg;
            } else {
                System.err.println("usage: TreeLister [--no-times] [--no-atime] [--no-checksum] ROOT");
                System.exit(2);
            }
        }
        if (root == null) {
            System.err.println("usage: TreeLister [--no-times] [--no-atime] [--no-checksum] ROOT");
            System.exit(2);
        }
        Configuration conf = new Configuration();
        conf.set("dfs.checksum.combine.mode", "COMPOSITE_CRC");
        Path rootPath = new Path(root);
        lister.fs = rootPath.getFileSystem(conf);
        FileStatus status = lister.fs.getFileStatus(rootPath);
        String prefix = status.getPath().toUri().getPath();
        lister.walk(status, prefix);
        lister.out.flush();
    }

    private void walk(FileStatus status, String prefix) throws IOException {
        print(status, prefix);
        if (!status.isDirectory()) {
            return;
        }
        FileStatus[] children = fs.listStatus(status.getPath());
        Arrays.sort(children, (a, b) -> a.getPath().getName().compareTo(b.getPath().getName()));
        for (FileStatus child : children) {
            walk(child, prefix);
        }
    }

    private void print(FileStatus status, String prefix) throws IOException {
        String path = status.getPath().toUri().getPath();
        String relative = path.length() > prefix.length() ? path.substring(prefix.length()) : ".";
        StringBuilder line = new StringBuilder(relative);
        line.append(' ').append(status.isDirectory() ? 'd' : 'f');
        line.append(' ').append(String.format("%04o", status.getPermission().toShort() & 01777));
        line.append(' ').append(status.getOwner()).append(' ').append(status.getGroup());
        line.append(' ').append(status.isDirectory() ? 0 : status.getLen());
        line.append(' ').append(status.isDirectory() ? 0 : status.getBlockSize());
        line.append(' ').append(status.isDirectory() ? 0 : status.getReplication());
        if (times) {
            line.append(' ').append(status.getModificationTime() / 1000);
            if (accessTimes) {
                line.append(' ').append(status.isDirectory() ? 0 : status.getAccessTime() / 1000);
            }
        }
        line.append(" acl=").append(acl(status.getPath()));
        line.append(" xattr=").append(xattrs(status.getPath()));
        if (checksums && status.isFile()) {
            FileChecksum sum = fs.getFileChecksum(status.getPath());
            line.append(" sum=").append(sum == null ? "-" : sum.toString());
        }
        out.println(line);
    }

    private String acl(Path path) throws IOException {
        AclStatus acl = fs.getAclStatus(path);
        List<String> entries = new ArrayList<>();
        for (AclEntry entry : acl.getEntries()) {
            entries.add(entry.toStringStable());
        }
        entries.sort(null);
        return entries.isEmpty() ? "-" : String.join(",", entries);
    }

    private String xattrs(Path path) throws IOException {
        Map<String, byte[]> sorted = new TreeMap<>(fs.getXAttrs(path));
        if (sorted.isEmpty()) {
            return "-";
        }
        StringBuilder text = new StringBuilder();
        for (Map.Entry<String, byte[]> entry : sorted.entrySet()) {
            if (text.length() > 0) {
                text.append(',');
            }
            text.append(entry.getKey()).append('=');
            for (byte b : entry.getValue()) {
                text.append(String.format("%02x", b & 0xff));
            }
        }
        return text.toString();
    }
}
