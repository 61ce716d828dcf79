// CHadoopFS::CHadoopConnection: one libhdfs connection of a file-system object with what it
// takes to make and keep it — the name node and user, the cluster's authentication type, the
// Kerberos ticket cache and its expiry, and the user-facing text of the last failure.
//
// Connecting (Connect):
//   - a name node "default" connects to the cluster's configured default file system (port 0);
//     any other value "hdfs://host:port" (scheme and port optional) connects to that host and
//     port, and m_sPathPrefix keeps "hdfs://host:port";
//   - the Kerberos ticket cache path is settled on every (re)connection
//   (DiscoverKerberosCachePath):
//     the library's own cache file "dx_krb5cc_<uid>" of the connection user, in the directory of
//     the Kerberos library's default cache (else /tmp, else the directory of a foreign inherited
//     KRB5CCNAME), exported as KRB5CCNAME;
//   - a libhdfs with the builder interface gets a private (force-new) instance; on a Kerberos
//     cluster tickets are first obtained from the keytab (InitKerberosCache) and the cache is
//     handed to libhdfs; an older libhdfs connects with hdfsConnectAsUser and is never refreshed.
//   One attempt only; failures return a CEkError and leave the text for the user in m_sLastError.
//
// Kerberos tickets (InitKerberosCache): the keytab comes from the setting "sHdfsKeytabFile"
// (section "FileSystemAgent") or the Hadoop key "hadoop.user.keytab.file"; the program from
// "hadoop.kerberos.kinit.command" (default "kinit"). kinit and "klist -k" run in a child process
// that takes the connection user's identity (supplementary groups, group and user ID set in the
// child only): the process's own IDs never change, so other threads are unaffected. Principals
// are tried in order: the user name, "<user>/<host name>", then each keytab principal naming the
// user; the first that works replaces m_sUser. The cache must end up owned by the user. Every
// piece of a command line that comes from a caller, a setting or the configuration is quoted for
// the shell. The expiry of the first ticket is read with "klist -c" in the C locale; while the
// marker file /tmp/donot_kinit exists no kinit runs and only the expiry is read.
//
// Handle ownership: the connection holds an HdfsHandlePtr (m_pHandle) and its raw view m_hFS.
// GetHDFSHandle() hands out a shared reference (files opened on the handle keep it alive);
// Disconnect drops the connection's own reference. When no file holds the handle any more it is
// disconnected at once and a failing hdfsDisconnect is returned as "disconnect failed" with its
// errno — but the handle is not kept: libhdfs invalidates a handle even when its close fails, so
// keeping it would hand out a dead handle. When files still hold it, the real disconnect happens
// when the last of them is closed, and Disconnect succeeds.
//
// Thread-safety: Connect, Disconnect, CheckAndRefreshConnection, GetHDFS and GetHDFSHandle of
// one connection are serialised by its own lock (a refresh inside GetHDFS reconnects under the
// same hold, through the *Locked bodies), so two threads never reconnect one connection at once.
// The handle (m_pHandle, m_hFS) is guarded by that lock, which clang's thread-safety analysis
// checks. The other fields are open to the rest of the library; read them only from the thread
// that owns the object or while no reconnect can run. The Kerberos cache directory is settled once
// per process under a lock.
#pragma once

#include <sys/types.h>

#include <list>
#include <string>

#include "hadoop/HadoopFS.h"
#include "host/Error.h"
#include "host/Export.h"
#include "host/Lock.h"
#include "host/TimeStamp.h"

struct DxRunOptions;
struct DxProcessIdentity;

class HDFSAGENT_API CHadoopFS::CHadoopConnection {
  public:
    // Name node "default", user "hdfs"; connects at once. A failed connection is logged and
    // leaves m_bGood false; the object is kept either way.
    explicit CHadoopConnection(CHadoopFS* fs);
    CHadoopConnection(CHadoopFS* fs, const std::string& nameNode, std::string user);
    // Disconnects (result ignored).
    ~CHadoopConnection();
    CHadoopConnection(const CHadoopConnection&) = delete;
    CHadoopConnection& operator=(const CHadoopConnection&) = delete;

    // (Re)connects. Errors: EFAULT(14) "not initialized"; Disconnect's error with "Disconnect
    // failed" pushed; the cache path's error; EINVAL for a name node port outside 0..65535;
    // 1627 when the default file system cannot be read ("DiscoverDefaultFSName failed" pushed);
    // ConnectUsingApi's errors; ECONNREFUSED(111) "connect failed" when libhdfs refuses (its errno
    // 255), else libhdfs's errno (EIO when it left none) with "connect failed". A connection whose
    // first connection failed but that holds a handle is left as it is (success).
    CEkError Connect() EXCLUDES(m_oConnectionLock);
    // The libhdfs part of connecting; fills m_pHandle/m_hFS (null when libhdfs returns none,
    // with libhdfs's errno left in errno). Errors: the builder cannot be created (errno, "failed to
    // create connection builder"); tickets cannot be obtained ("InitKerberosCache failed" pushed).
    CEkError ConnectUsingApi(int port) EXCLUDES(m_oConnectionLock);
    // 1 when "hadoop.security.authentication" is exactly "kerberos", 0 for any other value,
    // 2 when there is no value or the library is not initialised.
    AuthType_t DiscoverAuthType();
    // m_sPathPrefix from "fs.defaultFS", else "fs.default.name". 1627 when neither can be read or
    // the value is empty (m_sLastError set).
    CEkError DiscoverDefaultFSName();
    // Reconnects a Kerberos connection whose ticket cache has expired; success at once for any
    // other connection. Returns Connect's result when it reconnects.
    CEkError CheckAndRefreshConnection() EXCLUDES(m_oConnectionLock);
    // Drops the connection's handle (see "Handle ownership" above). EFAULT(14) "not initialized"
    // before the library is initialised. A connection whose first connection failed keeps its
    // handle (success).
    CEkError Disconnect() EXCLUDES(m_oConnectionLock);
    // After an operation on `failed` ended in libhdfs's internal error: on a Kerberos connection
    // whose handle still is `failed`, obtains new tickets and reconnects (a ticket may run out
    // while a call authenticates, however early it is renewed); when another thread has already
    // replaced that handle, its replacement. Empty for any other connection or when
    // reconnecting fails.
    HdfsHandlePtr ReconnectAfterKerberosFailure(const HdfsHandlePtr& failed)
        EXCLUDES(m_oConnectionLock);
    // Refreshes if needed; the raw handle, or null (no handle, or the refresh failed).
    hdfs_internal* GetHDFS() EXCLUDES(m_oConnectionLock);
    // The same refresh; a shared reference to the handle (empty when GetHDFS would return null).
    HdfsHandlePtr GetHDFSHandle() EXCLUDES(m_oConnectionLock);
    // True when the loaded libhdfs lacks any entry point of the builder interface.
    bool IsOldHadoopVersion();

    // --- Kerberos ticket cache path (HadoopKerberosCache.cpp) ---
    // Settles m_sKerberosCachePath and KRB5CCNAME from the start-up environment's KRB5CCNAME:
    // kept when it already names this user's own cache file, otherwise removed and replaced by
    // the user's cache file in the process's cache directory. An existing regular cache file owned
    // by another user is given to the connection user (a symbolic link or any other kind of file
    // is left alone and logged). Errors: EFAULT(14) "not initialized"; the default path's error
    // with "Failed to get default kerberos credential cache path" pushed; 1627 "failed to derive
    // Kerberos cache path" (m_sLastError set).
    CEkError DiscoverKerberosCachePath();
    // m_sKerberosCachePath = the process's cache directory + "/dx_krb5cc_<uid>", exported as
    // KRB5CCNAME. The directory is settled by the first call that does not fail: the parent of
    // the Kerberos library's default cache name when it exists as a path, else
    // `fallbackDirectory`; it never changes afterwards. Fails only when the Kerberos library loads
    // but lacks krb5_init_context (the loader's error, this location pushed).
    CEkError LoadDefaultKerberosCachePath(uid_t uid, const std::string& fallbackDirectory);

    // --- Kerberos tickets (HadoopKerberosTickets.cpp) ---
    // Obtains tickets into m_sKerberosCachePath and reads their expiry. Errors (m_sLastError set
    // where marked *): EFAULT(14) "not initialized"; 1627* keytab key unreadable or empty; the
    // user name's lookup error with "GetUserID(%s) failed" pushed*; EPERM "Failed to switch to
    // user %s(%d)" when this process may not take the user's identity; 1627* "Failed to
    // authenticate to Kerberos via kinit, ..."; errno "Failed to stat %s"; EINVAL "uid mismatch
    // %d != %d" (cache owner, user) when the cache does not belong to the user.
    CEkError InitKerberosCache();
    // One kinit attempt for `principal` as the connection user; on success m_sUser = principal.
    // 1627 with kinit's standard error text on failure.
    CEkError RunKinit(const std::string& principal);
    // The keytab's principals that name `user` as a whole word, sorted, without duplicates.
    // 1627 with the command's standard error text when it fails.
    CEkError GetPrincipalsFromKeyTab(const std::string& user, std::list<std::string>& principals);
    // m_oCacheExpiryTime from "klist -c" (C locale); zero when it cannot be read. Never fails.
    CEkError GetKerberoscacheExpiryTime();
    // Success when no expiry was read or it lies more than m_nRenewMarginSeconds after now;
    // ETIME(62) "Kerberos cache [%s] has expired [%s] >= [%s]" otherwise (an expiry equal to now
    // has expired).
    CEkError CheckCacheValidity();
    // How long before its expiry a ticket with `remainingLife` seconds left is renewed: half of a
    // short life, at most 60 s; 0 for a ticket already expired.
    static time_t RenewMarginSeconds(time_t remainingLife);

    // The marker whose existence turns kinit off: "/tmp/donot_kinit". Tests may point it
    // elsewhere with $HDFSAGENT_DONOT_KINIT_MARKER, so that they do not disturb each other.
    static std::string DoNotKinitMarker();

    std::string m_sNameNode;
    std::string m_sUser;
    AuthType_t m_eAuthType;
    std::string m_sKerberosCachePath;
    std::string m_sKinitCommand;
    std::string m_sKeytabFile;
    hdfs_internal* m_hFS GUARDED_BY(m_oConnectionLock);  // raw view of m_pHandle
    std::string m_sPathPrefix;
    std::string m_sLastError;
    CTimeStamp m_oCacheExpiryTime;
    time_t m_nRenewMarginSeconds = 0;  // set with m_oCacheExpiryTime from the ticket's life
    CHadoopFS* m_pFS;                  // owner, not owned
    bool m_bGood;
    HdfsHandlePtr m_pHandle GUARDED_BY(m_oConnectionLock);  // owning reference to m_hFS's handle

  private:
    friend class CHadoopConnectionTestPeer;  // tests read and set the handle under the lock

    // The constructors' first connection: a failure is logged naming `target` and leaves the
    // connection not good.
    void ConnectOnConstruction(const std::string& target);
    // The bodies of Connect, ConnectUsingApi, CheckAndRefreshConnection and Disconnect, for
    // callers that hold the connection's lock already.
    CEkError ConnectLocked() REQUIRES(m_oConnectionLock);
    CEkError ConnectUsingApiLocked(int port) REQUIRES(m_oConnectionLock);
    CEkError RefreshLocked() REQUIRES(m_oConnectionLock);
    CEkError DisconnectLocked() REQUIRES(m_oConnectionLock);
    CEkError ParseNameNode(int& port);
    CEkError ConnectFailure(int error);
    void SetHandle(hdfs_internal* fs) REQUIRES(m_oConnectionLock);
    // Run options for kinit and "klist -k": the connection user's identity (none for "root" or
    // when this process already is that user). `uid` receives the user ID the cache must have.
    CEkError KerberosRunOptions(DxRunOptions& options, DxProcessIdentity& identity, uid_t& uid);
    // Runs `command` (a kinit or klist run taking the run options) with KerberosRunOptions.
    template <typename Command>
    CEkError RunAsConnectionUser(Command command);
    CEkError RunKinit(const std::string& principal, const DxRunOptions& options);
    CEkError GetPrincipalsFromKeyTab(const std::string& user, std::list<std::string>& principals,
                                     const DxRunOptions& options);
    CEkError ObtainTickets(const DxRunOptions& options);
    CEkError CheckCacheOwner(uid_t uid);

    FXMutex m_oConnectionLock;
    // The port of a non-default name node, kept once m_sNameNode holds the bare host.
    int m_nNameNodePort = 0;
};
