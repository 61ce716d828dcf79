package webserver;

import dxutil.AclEntries;
import dxutil.AttributeChange;
import dxutil.AttributeState;
import java.io.File;
import java.io.IOException;
import java.security.AccessController;
import java.security.PrivilegedExceptionAction;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import javax.security.auth.Subject;
import javax.security.auth.kerberos.KerberosTicket;
import org.apache.hadoop.conf.Configuration;
import org.apache.hadoop.fs.FileStatus;
import org.apache.hadoop.fs.FileSystem;
import org.apache.hadoop.fs.permission.AclEntry;
import org.apache.hadoop.fs.permission.AclEntryScope;
import org.apache.hadoop.fs.permission.AclEntryType;
import org.apache.hadoop.fs.permission.AclStatus;
import org.apache.hadoop.fs.permission.FsAction;
import org.apache.hadoop.fs.permission.FsPermission;
import org.apache.hadoop.ipc.RemoteException;
import org.apache.hadoop.security.UserGroupInformation;

/**
 * ACLs and extended attributes of a real HDFS through org.apache.hadoop.fs.FileSystem, with the
 * installation's own client configuration and jars. Loaded by name only when selected, so the
 * stand-in backend runs without any Hadoop class on the class path.
 *
 * <p>Identity: with simple authentication the service acts as util.hadoop.user (a remote user,
 * as the agent's connection does); with Kerberos it logs in from the ticket cache named by
 * util.hadoop.security.kerberos.ticket.cache.path (the library renews that cache; a changed cache
 * file is logged in from again), or from the default cache when none is named.
 *
 * <p>HDFS reports the extended ACL entries without the owner, other and mask entries, whose bits
 * are the mode's (the group bits are the mask when there is an extended ACL). A setacl gives the
 * same shape back: the missing base entries are made from the mode being applied, so a getacl
 * answer sent back restores the same state.
 */
final class HadoopBackend implements AttributeBackend {
    private final Configuration conf;
    private final String user;
    private final String ticketCache;
    private Session session;
    /** How often, and how far apart, a login that found no ticket is tried (kinit takes milliseconds). */
    private static final int LOGIN_ATTEMPTS = 20;
    private static final long LOGIN_RETRY_MILLIS = 50;

    /**
     * One login and its file system, replaced when the ticket cache changes. A replaced session's
     * file system stays open until the last request that took it has finished with it.
     */
    private static final class Session {
        final UserGroupInformation ugi;
        final FileSystem fs;
        final long cacheStamp;
        int users; // requests running on it; guarded by the backend
        boolean replaced; // guarded by the backend

        Session(UserGroupInformation ugi, FileSystem fs, long cacheStamp) {
            this.ugi = ugi;
            this.fs = fs;
            this.cacheStamp = cacheStamp;
        }
    }

    private interface Action<T> {
        T run(FileSystem fs) throws IOException;
    }

    /** Called by name from {@link UtilServer}. */
    static AttributeBackend create(String configDir, String user, String ticketCache) throws IOException {
        Configuration conf = new Configuration();
        for (String name : List.of("core-site.xml", "hdfs-site.xml")) {
            File file = new File(configDir, name);
            if (file.isFile()) conf.addResource(new org.apache.hadoop.fs.Path(file.toURI()));
        }
        UserGroupInformation.setConfiguration(conf);
        return new HadoopBackend(conf, user, ticketCache);
    }

    private HadoopBackend(Configuration conf, String user, String ticketCache) {
        this.conf = conf;
        this.user = user;
        this.ticketCache = ticketCache;
        ServiceLog.info("Hadoop backend for " + FileSystem.getDefaultUri(conf) + " as "
                + (UserGroupInformation.isSecurityEnabled()
                        ? "the Kerberos identity of " + (ticketCache.isEmpty() ? "the default ticket cache" : ticketCache)
                        : (user.isEmpty() ? "the service's own user" : user)));
    }

    @Override
    public AttributeState read(String hdfsPath) throws IOException {
        org.apache.hadoop.fs.Path path = path(hdfsPath);
        return call(fs -> state(fs, path));
    }

    @Override
    public AttributeState apply(String hdfsPath, AttributeChange change) throws IOException {
        org.apache.hadoop.fs.Path path = path(hdfsPath);
        return call(fs -> {
            FileStatus status = fs.getFileStatus(path);
            int mode = status.getPermission().toShort() & 07777;
            int target = change.permission() != null ? change.permission() : mode;
            if (change.stickyBit() != null) target = change.stickyBit() ? target | 01000 : target & ~01000;
            // Attributes first: a mode applied later could take away the access they need.
            applyXAttrs(fs, path, change.xattrs());
            if (change.aclEntries() != null) {
                if (change.aclEntries().isEmpty()) {
                    fs.removeAcl(path);
                } else {
                    fs.setAcl(path, fullAcl(change.aclEntries(), target));
                }
            }
            if (change.aclEntries() != null || target != mode) fs.setPermission(path, new FsPermission((short) target));
            if (change.owner() != null || change.group() != null) fs.setOwner(path, change.owner(), change.group());
            return state(fs, path);
        });
    }

    private static AttributeState state(FileSystem fs, org.apache.hadoop.fs.Path path) throws IOException {
        FileStatus status = fs.getFileStatus(path);
        AclStatus acl = fs.getAclStatus(path);
        List<String> entries = new ArrayList<>();
        for (AclEntry entry : acl.getEntries()) entries.add(entry.toStringStable());
        Map<String, byte[]> xattrs = fs.getXAttrs(path);
        return new AttributeState(List.copyOf(entries), status.getOwner(), status.getGroup(),
                status.getPermission().toShort() & 07777, new TreeMap<>(xattrs == null ? Map.of() : xattrs));
    }

    private static void applyXAttrs(FileSystem fs, org.apache.hadoop.fs.Path path, Map<String, byte[]> xattrs)
            throws IOException {
        if (xattrs.isEmpty()) return;
        Map<String, byte[]> present = fs.getXAttrs(path);
        for (Map.Entry<String, byte[]> xattr : xattrs.entrySet()) {
            if (xattr.getValue() != null) {
                fs.setXAttr(path, xattr.getKey(), xattr.getValue());
            } else if (present != null && present.containsKey(xattr.getKey())) {
                fs.removeXAttr(path, xattr.getKey());
            }
        }
    }

    /**
     * The entries as HDFS reports them, completed with the base entries (owner, group, other)
     * and the mask from `mode` where they are missing, as setAcl requires a whole ACL.
     */
    private static List<AclEntry> fullAcl(List<String> entries, int mode) {
        List<AclEntry> acl = new ArrayList<>(AclEntry.parseAclSpec(AclEntries.join(entries), true));
        boolean named = false;
        boolean hasUser = false;
        boolean hasGroup = false;
        boolean hasOther = false;
        boolean hasMask = false;
        for (AclEntry entry : acl) {
            if (entry.getScope() != AclEntryScope.ACCESS) continue;
            boolean unnamed = entry.getName() == null;
            switch (entry.getType()) {
                case USER:
                    if (unnamed) hasUser = true; else named = true;
                    break;
                case GROUP:
                    if (unnamed) hasGroup = true; else named = true;
                    break;
                case OTHER:
                    hasOther = true;
                    break;
                case MASK:
                    hasMask = true;
                    break;
            }
        }
        if (!hasUser) acl.add(base(AclEntryType.USER, (mode >> 6) & 7));
        if (!hasGroup) acl.add(base(AclEntryType.GROUP, (mode >> 3) & 7));
        if (!hasOther) acl.add(base(AclEntryType.OTHER, mode & 7));
        if (named && !hasMask) acl.add(base(AclEntryType.MASK, (mode >> 3) & 7));
        return acl;
    }

    private static AclEntry base(AclEntryType type, int bits) {
        return new AclEntry.Builder().setScope(AclEntryScope.ACCESS).setType(type)
                .setPermission(FsAction.values()[bits]).build();
    }

    private static org.apache.hadoop.fs.Path path(String hdfsPath) {
        if (!hdfsPath.startsWith("/")) throw new IllegalArgumentException("Path must be absolute: \"" + hdfsPath + "\"");
        for (String part : hdfsPath.split("/")) {
            if (part.equals(".") || part.equals("..")) {
                throw new IllegalArgumentException("Path must not hold \".\" or \"..\": \"" + hdfsPath + "\"");
            }
        }
        return new org.apache.hadoop.fs.Path(hdfsPath);
    }

    /** Runs an action as the configured identity; remote failures come back as their own class. */
    private <T> T call(Action<T> action) throws IOException {
        Session current = take();
        try {
            return current.ugi.doAs((PrivilegedExceptionAction<T>) () -> action.run(current.fs));
        } catch (RemoteException e) {
            throw e.unwrapRemoteException();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IOException("interrupted", e);
        } catch (IOException e) {
            if (e.getCause() instanceof RemoteException) throw ((RemoteException) e.getCause()).unwrapRemoteException();
            throw e;
        } finally {
            giveBack(current);
        }
    }

    private synchronized Session take() throws IOException {
        Session current = session();
        current.users++;
        return current;
    }

    private synchronized void giveBack(Session used) {
        used.users--;
        if (used.replaced && used.users == 0) close(used);
    }

    private static void close(Session old) {
        try {
            old.fs.close();
        } catch (IOException e) {
            ServiceLog.warn("closing the file system of a replaced login failed: " + e);
        }
    }

    /**
     * The current session; a new login when the ticket cache file has changed. A login that found
     * no ticket-granting ticket (a cache read while kinit rewrites it) is not kept: the request
     * fails at once, and the next one logs in again.
     */
    private synchronized Session session() throws IOException {
        String cache = UserGroupInformation.isSecurityEnabled() ? watchedTicketCache() : "";
        long stamp = cache.isEmpty() ? 0 : new File(cache).lastModified();
        if (session != null && session.cacheStamp == stamp) return session;
        UserGroupInformation ugi;
        if (UserGroupInformation.isSecurityEnabled()) {
            ugi = cache.isEmpty() ? UserGroupInformation.getLoginUser() : loginFromTicketCache(cache);
        } else {
            ugi = user.isEmpty() ? UserGroupInformation.getCurrentUser() : UserGroupInformation.createRemoteUser(user);
        }
        FileSystem fs;
        try {
            fs = ugi.doAs((PrivilegedExceptionAction<FileSystem>) () -> FileSystem.newInstance(conf));
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IOException("interrupted", e);
        }
        if (session != null) {
            ServiceLog.info("ticket cache " + cache + " changed: logged in again");
            session.replaced = true;
            if (session.users == 0) close(session);
        }
        session = new Session(ugi, fs, stamp);
        return session;
    }

    /**
     * The ticket cache file whose changes bring a new login: the named one, else the default cache
     * when KRB5CCNAME names a file (the library exports its own cache there and renews it; a login
     * made once would run out with the first ticket). Empty when there is no such file.
     */
    private String watchedTicketCache() {
        if (!ticketCache.isEmpty()) return ticketCache;
        String name = System.getenv("KRB5CCNAME");
        if (name == null) return "";
        if (name.startsWith("FILE:")) name = name.substring("FILE:".length());
        return name.startsWith("/") ? name : "";
    }

    /**
     * A login from the ticket cache that holds a ticket-granting ticket. kinit rewrites the cache
     * in place, so a login may read it half written: it is tried again for a short while.
     */
    private static UserGroupInformation loginFromTicketCache(String cache) throws IOException {
        for (int attempt = 1; ; attempt++) {
            UserGroupInformation ugi = UserGroupInformation.getUGIFromTicketCache(cache, null);
            if (holdsTicketGrantingTicket(ugi)) return ugi;
            if (attempt == LOGIN_ATTEMPTS) {
                throw new IOException("no current Kerberos ticket-granting ticket in the ticket cache " + cache);
            }
            try {
                Thread.sleep(LOGIN_RETRY_MILLIS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new IOException("interrupted", e);
            }
        }
    }

    /** True when the login holds a current ticket-granting ticket. */
    @SuppressWarnings("removal") // Subject.getSubject: the way to reach a login's tickets on JDK 17
    private static boolean holdsTicketGrantingTicket(UserGroupInformation ugi) throws IOException {
        Subject subject;
        try {
            subject = ugi.doAs((PrivilegedExceptionAction<Subject>) () -> Subject.getSubject(AccessController.getContext()));
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IOException("interrupted", e);
        }
        if (subject == null) return false;
        for (KerberosTicket ticket : subject.getPrivateCredentials(KerberosTicket.class)) {
            if (ticket.getServer().getName().startsWith("krbtgt/") && ticket.isCurrent()) return true;
        }
        return false;
    }
}
