package hdfsagent.realcluster;

import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.SplittableRandom;
import org.apache.hadoop.conf.Configuration;
import org.apache.hadoop.fs.FSDataOutputStream;
import org.apache.hadoop.fs.FileSystem;
import org.apache.hadoop.fs.Path;
import org.apache.hadoop.fs.permission.AclEntry;
import org.apache.hadoop.fs.permission.FsPermission;

/**
 * Writes a benchmark tree into HDFS through Hadoop's own client, in one JVM (FsShell would need
 * one per command to set attributes path by path):
 *
 * <pre>
 * TreeWriter [--block-size BYTES] [--decorate] ROOT DIRS FILES_PER_DIR BYTES
 * </pre>
 *
 * DIRS directories d0, d1, ... below ROOT hold FILES_PER_DIR files f0, f1, ... of BYTES bytes
 * each (DIRS 0: the files directly in ROOT). The content is pseudo-random and differs from file
 * to file. --block-size gives the files a block size of their own (HDFS keeps it per file).
 * --decorate gives every directory and file an ACL entry and two user extended attributes, as a
 * tree whose ACLs and attributes a backup must keep.
 */
public final class TreeWriter {
    private static final int BUFFER_BYTES = 4 << 20;

    private final FileSystem fs;
    private final long blockSize;
    private final boolean decorate;
    // Random bytes; each file starts reading them at an offset of its own.
    private final byte[] pattern = new byte[BUFFER_BYTES];
    private final List<AclEntry> acl =
            AclEntry.parseAclSpec("user:bench-reader:r-x,group:bench-group:r--", true);
    private long filesWritten;

    private TreeWriter(FileSystem fs, long blockSize, boolean decorate) {
        this.fs = fs;
        this.blockSize = blockSize;
        this.decorate = decorate;
        new SplittableRandom(1).nextBytes(pattern);
    }

    public static void main(String[] args) throws Exception {
        long blockSize = 0;
        boolean decorate = false;
        int i = 0;
        for (; i < args.length && args[i].startsWith("--"); ++i) {
            if (args[i].equals("--block-size") && i + 1 < args.length) {
                blockSize = Long.parseLong(args[++i]);
            } else if (args[i].equals("--decorate")) {
                decorate = true;
            } else {
                usage();
            }
        }
        if (args.length - i != 4) {
            usage();
        }
        Path root = new Path(args[i]);
        int dirs = Integer.parseInt(args[i + 1]);
        int perDir = Integer.parseInt(args[i + 2]);
        long bytes = Long.parseLong(args[i + 3]);
        FileSystem fs = root.getFileSystem(new Configuration());
        TreeWriter writer = new TreeWriter(fs, blockSize, decorate);
        writer.makeDirectory(root);
        if (dirs == 0) {
            writer.writeFiles(root, perDir, bytes);
        }
        for (int d = 0; d < dirs; ++d) {
            Path dir = new Path(root, "d" + d);
            writer.makeDirectory(dir);
            writer.writeFiles(dir, perDir, bytes);
        }
        fs.close();
    }

    private static void usage() {
        System.err.println(
                "usage: TreeWriter [--block-size BYTES] [--decorate] ROOT DIRS FILES_PER_DIR BYTES");
        System.exit(2);
    }

    private void makeDirectory(Path dir) throws Exception {
        if (!fs.mkdirs(dir)) {
            throw new IllegalStateException("cannot create " + dir);
        }
        decorate(dir);
    }

    private void writeFiles(Path dir, int count, long bytes) throws Exception {
        for (int f = 0; f < count; ++f) {
            Path file = new Path(dir, "f" + f);
            writeFile(file, bytes);
            decorate(file);
        }
    }

    private void writeFile(Path file, long bytes) throws Exception {
        FsPermission mode =
                FsPermission.getFileDefault().applyUMask(FsPermission.getUMask(fs.getConf()));
        long block = blockSize > 0 ? blockSize : fs.getDefaultBlockSize(file);
        int offset = (int) ((filesWritten++ * 7919L * 64) % BUFFER_BYTES);
        try (FSDataOutputStream out = fs.create(file, mode, false, 1 << 16,
                                                fs.getDefaultReplication(file), block, null)) {
            long left = bytes;
            while (left > 0) {
                int chunk = (int) Math.min(left, BUFFER_BYTES - offset);
                out.write(pattern, offset, chunk);
                left -= chunk;
                offset = 0;
            }
        }
    }

    private void decorate(Path path) throws Exception {
        if (!decorate) {
            return;
        }
        fs.modifyAclEntries(path, acl);
        fs.setXAttr(path, "user.bench.origin", "treewriter".getBytes(StandardCharsets.UTF_8));
        fs.setXAttr(path, "user.bench.path",
                    path.toUri().getPath().getBytes(StandardCharsets.UTF_8));
    }
}
