package dxutil;

import java.io.FileNotFoundException;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.UserDefinedFileAttributeView;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;
import java.util.SortedMap;
import java.util.TreeMap;

/**
 * ACLs, owners, groups, permissions and extended attributes of HDFS paths, kept with the backing
 * files of a local namespace root the way the localcluster libhdfs stand-in keeps them:
 * HDFS path /a/b is the file ROOT/a/b; Linux user extended attributes on it hold the ACL entries
 * ("user.hdfs.acl", entries joined with ","), the owner and group names ("user.hdfs.owner",
 * "user.hdfs.group"; absent: the file's uid and gid names) and each HDFS extended attribute N
 * ("user.hdfs.x.N", raw bytes); the permission is the file's mode bits.
 *
 * <p>Errors: an invalid path or attribute name throws IllegalArgumentException; a missing path
 * FileNotFoundException ("File does not exist: PATH"); a path that leaves the root, or a file the
 * service may not touch, AccessDeniedException; any other storage failure IOException. Messages
 * name the HDFS path, not the backing file.
 *
 * <p>Thread-safe: operations on one backing file are serialised (striped locks), so a reader never
 * sees half of a change made through this store.
 */
public final class NamespaceStore {
    // Names inside the "user." namespace, which UserDefinedFileAttributeView adds itself.
    private static final String ACL = "hdfs.acl";
    private static final String OWNER = "hdfs.owner";
    private static final String GROUP = "hdfs.group";
    private static final String XATTR = "hdfs.x.";
    private static final String OWN_PREFIX = "hdfs.";

    /** HDFS's default limit on the bytes of an extended attribute's name and value together. */
    public static final int MAX_XATTR_SIZE = 16384;
    // Linux limits a whole attribute name ("user.hdfs.x." + HDFS name) to 255 bytes.
    private static final int MAX_HDFS_XATTR_NAME = 255 - "user.".length() - XATTR.length();
    private static final Set<String> XATTR_NAMESPACES = Set.of("user", "trusted", "security", "system", "raw");

    private final Path root;
    private final Charset fileNameCharset;
    private final Object[] stripes = new Object[256];

    public NamespaceStore(Path root) throws IOException {
        if (!Files.isDirectory(root)) throw new IOException("namespace root " + root + " is not a directory");
        this.root = root.toRealPath();
        this.fileNameCharset = fileNameCharset();
        for (int i = 0; i < stripes.length; i++) stripes[i] = new Object();
    }

    public Path root() {
        return root;
    }

    public AttributeState read(String hdfsPath) throws IOException {
        try {
            Path file = resolve(hdfsPath);
            synchronized (stripe(file)) {
                return readState(file);
            }
        } catch (IOException e) {
            throw translate(hdfsPath, e);
        }
    }

    /** Applies a change (attributes first, mode bits last) and returns the resulting state. */
    public AttributeState apply(String hdfsPath, AttributeChange change) throws IOException {
        try {
            Path file = resolve(hdfsPath);
            synchronized (stripe(file)) {
                // Writing an extended attribute needs write access to the file: set the
                // attributes before a new mode can take that access away.
                withOwnerAccess(file, mode(file), () -> {
                    writeAttributes(file, change);
                    return null;
                });
                applyMode(file, change);
                return readState(file);
            }
        } catch (IOException e) {
            throw translate(hdfsPath, e);
        }
    }

    /**
     * Checks an HDFS extended attribute name ("user.color", "trusted.x", …) and returns it with
     * its namespace in lower case, as HDFS does.
     */
    public static String normalizeXAttrName(String name) {
        int dot = name.indexOf('.');
        String namespace = dot > 0 ? name.substring(0, dot).toLowerCase(Locale.ROOT) : "";
        if (!XATTR_NAMESPACES.contains(namespace) || dot == name.length() - 1) {
            throw new IllegalArgumentException("An XAttr name must be prefixed with user/trusted/security/system/raw, "
                    + "followed by a '.': \"" + name + "\"");
        }
        if (name.indexOf('\0') >= 0) throw new IllegalArgumentException("XAttr name holds a NUL character");
        String normalized = namespace + name.substring(dot);
        if (XAttrCodec.utf8(normalized).length > MAX_HDFS_XATTR_NAME) {
            throw new IllegalArgumentException("XAttr name is longer than " + MAX_HDFS_XATTR_NAME + " bytes: \"" + name + "\"");
        }
        return normalized;
    }

    /** Refuses a name and value that together exceed HDFS's size limit. */
    public static void checkXAttrSize(String name, byte[] value) {
        int size = XAttrCodec.utf8(name).length + value.length;
        if (size > MAX_XATTR_SIZE) {
            throw new IllegalArgumentException("XAttr is too big, maximum combined size of name and value is "
                    + MAX_XATTR_SIZE + ", but the total size is " + size);
        }
    }

    private Path resolve(String hdfsPath) throws IOException {
        if (hdfsPath.isEmpty() || hdfsPath.charAt(0) != '/') {
            throw new IllegalArgumentException("Invalid path name: \"" + hdfsPath + "\" is not an absolute path");
        }
        if (hdfsPath.indexOf('\0') >= 0) throw new IllegalArgumentException("Invalid path name: NUL character");
        if (!fileNameCharset.newEncoder().canEncode(hdfsPath)) {
            throw new IllegalArgumentException("Invalid path name: \"" + hdfsPath + "\" can not be written in the "
                    + "service's file name encoding " + fileNameCharset + " (run the service in a UTF-8 locale)");
        }
        Path backing = root;
        for (String component : hdfsPath.split("/")) {
            if (component.isEmpty()) continue;
            if (component.equals(".") || component.equals("..")) {
                throw new IllegalArgumentException("Invalid path name: \"" + hdfsPath + "\" has a '.' or '..' component");
            }
            backing = backing.resolve(component);
        }
        Path real;
        try {
            real = backing.toRealPath();
        } catch (NoSuchFileException e) {
            throw new FileNotFoundException("File does not exist: " + hdfsPath);
        } catch (FileSystemException e) {
            if ("Not a directory".equals(e.getReason())) throw new FileNotFoundException("File does not exist: " + hdfsPath);
            throw e;
        }
        // A symbolic link inside the namespace must not lead the service to files outside it.
        if (!real.startsWith(root)) {
            throw new AccessDeniedException(hdfsPath, null, "Permission denied: resolves outside the namespace root");
        }
        return real;
    }

    private AttributeState readState(Path file) throws IOException {
        PosixFileAttributes attributes = Files.readAttributes(file, PosixFileAttributes.class);
        int mode = mode(file);
        Map<String, byte[]> own = withOwnerAccess(file, mode, () -> readOwnAttributes(file));
        List<String> acl = own.containsKey(ACL) ? AclEntries.split(text(own.get(ACL))) : List.of();
        String owner = own.containsKey(OWNER) ? text(own.get(OWNER)) : attributes.owner().getName();
        String group = own.containsKey(GROUP) ? text(own.get(GROUP)) : attributes.group().getName();
        SortedMap<String, byte[]> xattrs = new TreeMap<>();
        for (Map.Entry<String, byte[]> attribute : own.entrySet()) {
            if (attribute.getKey().startsWith(XATTR)) {
                xattrs.put(attribute.getKey().substring(XATTR.length()), attribute.getValue());
            }
        }
        return new AttributeState(acl, owner, group, mode, xattrs);
    }

    private static Map<String, byte[]> readOwnAttributes(Path file) throws IOException {
        UserDefinedFileAttributeView view = view(file);
        Map<String, byte[]> own = new HashMap<>();
        for (String name : view.list()) {
            if (!name.startsWith(OWN_PREFIX)) continue;
            ByteBuffer value = ByteBuffer.allocate(view.size(name));
            view.read(name, value);
            own.put(name, java.util.Arrays.copyOf(value.array(), value.position()));
        }
        return own;
    }

    private static void writeAttributes(Path file, AttributeChange change) throws IOException {
        UserDefinedFileAttributeView view = view(file);
        Set<String> present = new HashSet<>(view.list());
        for (Map.Entry<String, byte[]> xattr : change.xattrs().entrySet()) {
            set(view, present, XATTR + xattr.getKey(), xattr.getValue());
        }
        if (change.aclEntries() != null) {
            List<String> entries = change.aclEntries();
            set(view, present, ACL, entries.isEmpty() ? null : XAttrCodec.utf8(AclEntries.join(entries)));
        }
        if (change.owner() != null) set(view, present, OWNER, XAttrCodec.utf8(change.owner()));
        if (change.group() != null) set(view, present, GROUP, XAttrCodec.utf8(change.group()));
    }

    private static void set(UserDefinedFileAttributeView view, Set<String> present, String name, byte[] value)
            throws IOException {
        if (value != null) {
            view.write(name, ByteBuffer.wrap(value));
            present.add(name);
        } else if (present.remove(name)) {
            view.delete(name);
        }
    }

    private static void applyMode(Path file, AttributeChange change) throws IOException {
        if (change.permission() == null && change.stickyBit() == null) return;
        int current = mode(file);
        int wanted = change.permission() != null ? change.permission() : current;
        if (change.stickyBit() != null) wanted = change.stickyBit() ? wanted | 01000 : wanted & ~01000;
        if (wanted != current) setMode(file, wanted);
    }

    private interface StorageAction<T> {
        T run() throws IOException;
    }

    /**
     * Runs an action on a file's extended attributes. Linux lets only a reader (writer) of the
     * file read (write) its user attributes, but HDFS permissions never lock out the service: when
     * the mode bits deny the owner, they are widened for the action and put back after it.
     */
    private static <T> T withOwnerAccess(Path file, int mode, StorageAction<T> action) throws IOException {
        try {
            return action.run();
        } catch (IOException denied) {
            if (!isPermissionDenied(denied) || (mode & 0600) == 0600) throw denied;
            try {
                setMode(file, mode | 0600);
            } catch (IOException notOwner) {
                throw denied;
            }
            try {
                return action.run();
            } finally {
                setMode(file, mode);
            }
        }
    }

    private static boolean isPermissionDenied(IOException e) {
        if (e instanceof AccessDeniedException) return true;
        // The JDK reports extended attribute errors as plain FileSystemExceptions.
        return e instanceof FileSystemException
                && String.valueOf(((FileSystemException) e).getReason()).endsWith("Permission denied");
    }

    private static IOException translate(String hdfsPath, IOException e) {
        if (e instanceof FileNotFoundException) return e;
        if (e instanceof NoSuchFileException) return new FileNotFoundException("File does not exist: " + hdfsPath);
        if (e instanceof FileSystemException) {
            FileSystemException fse = (FileSystemException) e;
            if (fse.getFile() != null && fse.getFile().equals(hdfsPath)) return e;
            if (isPermissionDenied(e)) return new AccessDeniedException(hdfsPath, null, "Permission denied");
            String reason = fse.getReason() != null ? fse.getReason() : e.getClass().getSimpleName();
            return new IOException(hdfsPath + ": " + reason, e);
        }
        return e;
    }

    private static int mode(Path file) throws IOException {
        return (Integer) Files.getAttribute(file, "unix:mode") & 07777;
    }

    private static void setMode(Path file, int mode) throws IOException {
        Files.setAttribute(file, "unix:mode", mode & 07777);
    }

    private static UserDefinedFileAttributeView view(Path file) throws IOException {
        UserDefinedFileAttributeView view = Files.getFileAttributeView(file, UserDefinedFileAttributeView.class);
        if (view == null) throw new IOException("the file system of the namespace root has no user extended attributes");
        return view;
    }

    private static String text(byte[] bytes) {
        return new String(bytes, StandardCharsets.UTF_8);
    }

    private Object stripe(Path file) {
        return stripes[Math.floorMod(file.hashCode(), stripes.length)];
    }

    // The JDK turns path names into bytes with the locale's encoding (sun.jnu.encoding); a name it
    // can not encode would silently become '?' and could name another file.
    private static Charset fileNameCharset() {
        try {
            return Charset.forName(System.getProperty("sun.jnu.encoding", "UTF-8"));
        } catch (RuntimeException e) {
            return StandardCharsets.US_ASCII;
        }
    }
}
