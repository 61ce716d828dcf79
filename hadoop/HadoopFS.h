// The HDFS file-system object.
//
// libhdfs is not linked: CHadoopFS::Init loads "libhdfs.so" at run time and binds its entry
// points once per process; every HDFS call of the library goes through that binding.
//
// CHadoopFS is one connected cluster: its connection (CHadoopConnection, with Kerberos state),
// the POSIX-style file-system operations (0 or a value on success, -1 with errno on failure, as
// libhdfs reports them), the user/group identity caches and the encryption-zone list.
//
// Results of the file-system operations, beyond libhdfs's own:
//   errno 107 (ENOTCONN)  the connection has no handle;
//   errno 14  (EFAULT)    the library is not initialised (CopyFile, GetConfString, GetConfInt);
//   errno 22  (EINVAL)    a null or empty path, a null output pointer, a negative range;
//   errno 95  (ENOTSUP)   the libhdfs loaded lacks the optional entry point the call needs;
//   errno 12  (ENOMEM)    memory ran out (nothing throws across the interface).
// Each operation holds a reference to the connection's libhdfs handle for the duration of the
// call, so a concurrent reconnect never disconnects a handle in use.
//
// Thread-safety: the operations take no lock of their own; one object may be used from several
// threads (the connection serialises its reconnects, the identity caches have their own locks).
// The encryption-zone list (m_oCryptoUtil) is used by one thread at a time.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <utime.h>

#include <boost/shared_ptr.hpp>
#include <list>
#include <map>
#include <string>

#include "hadoop/HadoopCryptoUtil.h"
#include "hadoop/HadoopFile.h"
#include "hadoop/HdfsTypes.h"
#include "host/Error.h"
#include "host/Export.h"
#include "host/Lock.h"

class CHadoopFileInfoArray;

// The product's base directory as last written by CreateLibraryLinks; empty until then. Each
// CHadoopFS destructor removes "<base>/libhdfs.so" and "<base>/libjvm.so" when it is not empty.
HDFSAGENT_API extern std::string g_sBaseDirectory;

// Records the product's base directory in g_sBaseDirectory and (re)creates the links
// "<base>/libhdfs.so" -> "<libhdfs dir>/libhdfs.so" and "<base>/libjvm.so" -> "<libjvm
// dir>/libjvm.so". `spec` is "<libhdfs dir>:<libjvm dir>", split at its LAST colon; without a
// colon both directories are the whole string. Existing entries at the link paths are removed
// first; a link that appears in between (EEXIST) counts as success. Targets are not checked.
// Fails with the symlink errno and "symlink(<target>, <link>) failed". Not thread-safe: callers
// serialise (the context does so under its named mutex).
HDFSAGENT_API CEkError CreateLibraryLinks(const std::string& spec);

// ---------------------------------------------------------------------------------------------
// One directory listing from hdfsListDirectory, released with hdfsFreeFileInfo on destruction
// (when the library is initialised; otherwise nothing is released). Not copied: handed out as
// boost::shared_ptr<CHadoopFileInfoArray>.
class HDFSAGENT_API CHadoopFileInfoArray {
  public:
    CHadoopFileInfoArray(hdfsFileInfo* info, int count);
    ~CHadoopFileInfoArray();
    CHadoopFileInfoArray(const CHadoopFileInfoArray&) = delete;
    CHadoopFileInfoArray& operator=(const CHadoopFileInfoArray&) = delete;

    hdfsFileInfo* GetInfo() const { return m_pInfo; }
    int GetCount() const { return m_nCount; }
    const hdfsFileInfo& operator[](int index) const { return m_pInfo[index]; }

    hdfsFileInfo* m_pInfo;
    int m_nCount;
};

// 0 simple, 1 Kerberos, 2 unknown (no value found, or the library not initialised).
typedef int32_t AuthType_t;

class HDFSAGENT_API CHadoopFS {
  public:
    // One libhdfs connection with its Kerberos state; defined in hadoop/HadoopConnection.h.
    class CHadoopConnection;

    // A user's numeric identity.
    struct ID {
        uid_t uid;  // pw_uid
        gid_t gid;  // pw_gid (primary group)
    };

    // Connection with name node "default" and user "hdfs", connected at once. A failed
    // connection does not fail construction: test Good() (or the connection's m_bGood).
    CHadoopFS();
    CHadoopFS(const std::string& nameNode, std::string user);
    // Removes the two library links of g_sBaseDirectory (when set), then disconnects (files
    // still open keep their handle until they are closed).
    ~CHadoopFS();
    CHadoopFS(const CHadoopFS&) = delete;
    CHadoopFS& operator=(const CHadoopFS&) = delete;

    // Loads "libhdfs.so" (bare name: the dynamic loader's search path) and fills func_table.
    // Before that, a KRB5_CONFIG of the process is passed on to libhdfs's JVM in LIBHDFS_OPTS
    // (see HadoopKerberos::JvmOptionsWithKrb5Config), so that it uses the same realm as kinit.
    // Success at once when already initialised. A missing library or required entry point
    // returns the loader's error (with the dlerror text) and leaves the flag clear; the next
    // call starts again from the load. Not thread-safe: callers serialise.
    static CEkError Init();

    // True when the connection has a handle (this may reconnect an expired Kerberos connection).
    bool Good();
    // The connection's last user-facing failure text when there is one, else m_sErrorText.
    const std::string& GetLastErrorString() const;
    // "hdfs://host:port" of a non-default name node, or the configured default file system.
    const std::string& GetHadoopPathPrefix();

    // --- File information ---
    // One record (release with FreeFileInfo(info, 1)); *info null on failure.
    int GetFileInfo(const char* path, hdfsFileInfo** info);
    // The record converted to a zeroed `struct stat`; st_uid/st_gid are not mapped.
    int GetFileInfo(const char* path, struct stat* st);
    void ConvertToStatStructure(hdfsFileInfo& info, struct stat* st);
    // 1, 0, or -1 on failure.
    int IsDirectory(const char* path);
    int IsRegular(const char* path);
    // hdfsExists's result: 0 when the path exists, -1 (ENOENT) when not.
    int Exists(const char* path);
    // Lists a directory. An empty directory gives 0 with count 0 and no array; a missing path
    // -1 with the lookup's errno; a listing that fails for an existing path -1 with libhdfs's
    // errno (never a silent empty listing). `entries` is left untouched on failure.
    int ListDirectory(const char* path, boost::shared_ptr<CHadoopFileInfoArray>& entries,
                      int& count);
    // The same; the caller releases *entries with FreeFileInfo(*entries, count).
    int ListDirectory(const char* path, hdfsFileInfo** entries, int& count);
    // hdfsFreeFileInfo when the library is initialised, nothing otherwise.
    void FreeFileInfo(hdfsFileInfo* info, int count);

    // --- Changes ---
    // Opens through a CHadoopFile that shares ownership of the connection's handle; `file` is
    // empty and -1 returned (hdfsOpenFile's errno) when the open fails. The numbers are passed
    // to hdfsOpenFile unchanged.
    int Open(const char* path, int flags, boost::shared_ptr<CHadoopFile>& file, int bufferSize,
             short replication, int blockSize);
    int CreateDirectory(const char* path);
    int Chmod(const char* path, short mode);
    int Chown(const char* path, const char* owner, const char* group);
    // Owner and group by numeric IDs; an ID without a local name fails with EINVAL.
    int Chown(const char* path, uid_t uid, gid_t gid);
    int Utime(const char* path, const utimbuf* times);
    int RemoveFile(const char* path, int recursive);
    // Both paths in this cluster. EFAULT when the library is not initialised.
    int CopyFile(const char* source, const char* destination);
    // Renames within this cluster (hdfsRename: a missing destination parent or an existing
    // destination fails). -1 with ENOTSUP when the loaded libhdfs lacks the entry point.
    int Rename(const char* from, const char* to);

    // --- Capacity and layout ---
    // *total and *used always stored; *free only when neither call failed.
    int GetSpaceUsage(unsigned long long* total, unsigned long long* used,
                      unsigned long long* free);
    int GetBlockSize(unsigned long long* size);
    // ENOTSUP when the loaded libhdfs lacks hdfsGetDefaultBlockSizeAtPath.
    int GetBlockSizeAtPath(const char* path, unsigned long long* size);
    // Appends the host names of every block of [start, start+length) to `hosts`, block by block
    // (a host holding several blocks appears once per block); `hosts` is unchanged on failure.
    // -1 with libhdfs's errno when it fails; ENXIO when the range covers no block; ENOTSUP when
    // hdfsFreeHosts is absent (the list could not be released with the library's allocator).
    int GetBlockMap(const char* path, long start, long length, std::list<std::string>& hosts);

    // --- Hadoop configuration (hadoop/HadoopConfig.cpp) ---
    // 0 on success (value may still be empty), -1 with errno, libhdfs's result, or the exit
    // status of the configuration command when libhdfs lacks hdfsConfGetStr.
    int GetConfString(const char* key, std::string& value);
    // value is also the default: an absent key returns 0 and leaves it as it was.
    // -1 with ENOTSUP when libhdfs lacks hdfsConfGetInt.
    int GetConfInt(const char* key, int& value);

    // --- Identity mapping (hadoop/HadoopIdentity.cpp) ---
    // Local user and group databases (reentrant calls), answers cached for the object's life.
    // The output is written only on success. Not found: ENOENT with the message below.
    // "Failed to get ID for user '%s'"
    CEkError GetID(const std::string& name, ID& id);
    // A Kerberos principal "user/instance@REALM" maps to "user"; "user@REALM" maps to the local
    // user named by the whole text when there is one, else to "user". Cached under the short name.
    CEkError GetUserID(const std::string& name, uid_t& uid);
    // "Failed to get ID for group '%s'"
    CEkError GetGroupID(const std::string& name, gid_t& gid);
    // "Failed to get name for user ID '%d'"; several cached names for one ID: the first by bytes.
    CEkError GetUserName(uid_t uid, std::string& name);
    // "Failed to get name for group ID '%d'"
    CEkError GetGroupName(gid_t gid, std::string& name);

  private:
    friend class CHadoopFSTestPeer;  // tests seed and inspect the identity caches

    std::map<std::string, ID> m_mapIDs GUARDED_BY(m_oIDsLock);
    FXMutex m_oIDsLock;
    std::map<std::string, unsigned int> m_mapUserIDs GUARDED_BY(m_oUserIDsLock);
    std::map<std::string, unsigned int> m_mapGroupIDs GUARDED_BY(m_oGroupIDsLock);
    FXMutex m_oUserIDsLock;
    FXMutex m_oGroupIDsLock;

  public:
    // The connection; created by the constructor, never replaced. Other parts of the library
    // read its Kerberos cache path through it.
    boost::shared_ptr<CHadoopConnection> m_pConnection;
    // Encryption zones of this cluster.
    CHadoopCryptoUtil m_oCryptoUtil;

  private:
    std::string m_sErrorText;

    // The connection's handle (after its refresh check), held for the duration of one
    // operation so that a concurrent reconnect cannot disconnect it underneath the call; empty
    // with errno ENOTCONN when there is none.
    HdfsHandlePtr ConnectedHandle();

    // The prologue every connected operation shares: invalid arguments fail with EINVAL, a
    // missing connection with ENOTCONN; otherwise `operation` runs with the held handle. Nothing
    // it throws leaves: ENOMEM for an allocation failure, EIO for any other exception.
    template <typename Operation>
    int RunConnected(bool argumentsValid, Operation operation);
    // RunConnected for an operation that changes nothing: when it fails with libhdfs's internal
    // error on a Kerberos connection (a ticket that ran out while the call authenticated), the
    // connection obtains new tickets and the operation runs once more on the new handle.
    template <typename Operation>
    int RunConnectedReadOnly(bool argumentsValid, Operation operation);
};

typedef boost::shared_ptr<CHadoopFS> CHadoopFSPtr;
