// CHadoopFS: the file-system operations, each a thin POSIX-style wrapper over the function table.
#include "hadoop/HadoopFS.h"

#include <cerrno>
#include <memory>
#include <new>

#include "hadoop/HadoopBinding.h"
#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopFile.h"
#include "host/Log.h"
#include "host/Path.h"

namespace {

int Fail(int error) {
    errno = error;
    return -1;
}

bool IsBadPath(const char* path) {
    return path == nullptr || *path == '\0';
}

const char* OrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// Runs an operation that may allocate; nothing throws across the library's interface.
template <typename Operation>
int NoThrow(Operation operation) {
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        return Fail(ENOMEM);
    } catch (const std::exception&) {
        return Fail(EIO);
    }
}

// A record from hdfsGetPathInfo, released with hdfsFreeFileInfo.
struct FileInfoRelease {
    void operator()(hdfsFileInfo* info) const { func_table.hdfsFreeFileInfo(info, 1); }
};
typedef std::unique_ptr<hdfsFileInfo, FileInfoRelease> FileInfoHolder;

// A block host list from hdfsGetHosts, released with hdfsFreeHosts (never called with null).
struct HostsRelease {
    void operator()(char*** hosts) const { func_table.hdfsFreeHosts(hosts); }
};
typedef std::unique_ptr<char**, HostsRelease> HostsHolder;

// What a null listing means. libhdfs returns null both for an empty directory and for a failed
// listing: errno 0 (or ENOENT/ESRCH from older releases) on a path that exists is an empty
// directory; anything else is a failure that must not pass for an empty listing.
int ResolveNullListing(hdfs_internal* fs, const char* path, int listError) {
    if (listError != 0 && listError != ENOENT && listError != ESRCH)
        return Fail(listError);
    FileInfoHolder info(func_table.hdfsGetPathInfo(fs, path));
    if (!info)
        return -1;  // the path is missing: the lookup's errno stays
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CHadoopFileInfoArray

CHadoopFileInfoArray::CHadoopFileInfoArray(hdfsFileInfo* info, int count)
    : m_pInfo(info), m_nCount(count) {}

CHadoopFileInfoArray::~CHadoopFileInfoArray() {
    if (gbLibraryInitialized && m_pInfo != nullptr)
        func_table.hdfsFreeFileInfo(m_pInfo, m_nCount);
}

// ---------------------------------------------------------------------------------------------
// Construction

CHadoopFS::CHadoopFS() : m_pConnection(new CHadoopConnection(this)) {}

CHadoopFS::CHadoopFS(const std::string& nameNode, std::string user)
    : m_pConnection(new CHadoopConnection(this, nameNode, std::move(user))) {}

CHadoopFS::~CHadoopFS() {
    // The links belong to the process's set-up; each object removes them when it goes.
    if (!g_sBaseDirectory.empty()) {
        unlink_utf(g_sBaseDirectory + "/libhdfs.so");
        unlink_utf(g_sBaseDirectory + "/libjvm.so");
    }
}

bool CHadoopFS::Good() {
    return m_pConnection && m_pConnection->GetHDFS() != nullptr;
}

const std::string& CHadoopFS::GetLastErrorString() const {
    if (m_pConnection && !m_pConnection->m_sLastError.empty())
        return m_pConnection->m_sLastError;
    return m_sErrorText;
}

const std::string& CHadoopFS::GetHadoopPathPrefix() {
    return m_pConnection ? m_pConnection->m_sPathPrefix : m_sErrorText;
}

HdfsHandlePtr CHadoopFS::ConnectedHandle() {
    HdfsHandlePtr handle;
    if (m_pConnection)
        handle = m_pConnection->GetHDFSHandle();
    if (!handle)
        errno = ENOTCONN;
    return handle;
}

template <typename Operation>
int CHadoopFS::RunConnected(bool argumentsValid, Operation operation) {
    return NoThrow([&] {
        if (!argumentsValid)
            return Fail(EINVAL);
        HdfsHandlePtr fs = ConnectedHandle();
        if (!fs)
            return -1;
        return operation(fs);
    });
}

template <typename Operation>
int CHadoopFS::RunConnectedReadOnly(bool argumentsValid, Operation operation) {
    return RunConnected(argumentsValid, [&](const HdfsHandlePtr& fs) {
        const int result = operation(fs);
        if (result != -1 || errno != EINTERNAL)
            return result;
        HdfsHandlePtr renewed = m_pConnection->ReconnectAfterKerberosFailure(fs);
        if (!renewed) {
            errno = EINTERNAL;
            return result;
        }
        return operation(renewed);
    });
}

// ---------------------------------------------------------------------------------------------
// File information

int CHadoopFS::GetFileInfo(const char* path, hdfsFileInfo** info) {
    if (info == nullptr)
        return Fail(EINVAL);
    *info = nullptr;
    return RunConnectedReadOnly(!IsBadPath(path), [&](const HdfsHandlePtr& fs) {
        *info = func_table.hdfsGetPathInfo(fs.get(), path);
        return *info != nullptr ? 0 : -1;
    });
}

int CHadoopFS::GetFileInfo(const char* path, struct stat* st) {
    if (st == nullptr)
        return Fail(EINVAL);
    hdfsFileInfo* record = nullptr;
    if (GetFileInfo(path, &record) != 0)
        return -1;
    FileInfoHolder info(record);
    *st = {};
    ConvertToStatStructure(*info, st);
    return 0;
}

void CHadoopFS::ConvertToStatStructure(hdfsFileInfo& info, struct stat* st) {
    const bool isDirectory = info.mKind == kObjectKindDirectory;
    const int permissions = info.mPermissions;
    st->st_dev = static_cast<dev_t>(-1);
    st->st_ino = static_cast<ino_t>(-1);
    st->st_mtime = info.mLastMod;
    st->st_atime = info.mLastAccess;
    st->st_ctime = info.mLastMod;
    st->st_size = info.mSize;
    st->st_blksize = info.mBlockSize;
    st->st_mode = permissions | (isDirectory ? S_IFDIR : S_IFREG);
    DXLOG(4, "%s - '%s', mode-O%o, permissions-O%o, size-%llu, user-%s group-%s",
          isDirectory ? "Directory" : "File", OrEmpty(info.mName), st->st_mode,
          static_cast<unsigned int>(permissions), static_cast<unsigned long long>(info.mSize),
          OrEmpty(info.mOwner), OrEmpty(info.mGroup));
}

namespace {

// 1 when the path's kind is `kind`, 0 when it is not, -1 when it cannot be looked up.
int HasKind(CHadoopFS& fs, const char* path, tObjectKind kind) {
    hdfsFileInfo* record = nullptr;
    if (fs.GetFileInfo(path, &record) != 0)
        return -1;
    FileInfoHolder info(record);
    return info->mKind == kind ? 1 : 0;
}

}  // namespace

int CHadoopFS::IsDirectory(const char* path) {
    return HasKind(*this, path, kObjectKindDirectory);
}

int CHadoopFS::IsRegular(const char* path) {
    return HasKind(*this, path, kObjectKindFile);
}

int CHadoopFS::Exists(const char* path) {
    return RunConnectedReadOnly(!IsBadPath(path), [&](const HdfsHandlePtr& fs) {
        return func_table.hdfsExists(fs.get(), utfToMbe(path).c_str());
    });
}

int CHadoopFS::ListDirectory(const char* path, boost::shared_ptr<CHadoopFileInfoArray>& entries,
                             int& count) {
    return RunConnectedReadOnly(!IsBadPath(path), [&](const HdfsHandlePtr& fs) {
        int listed = 0;
        errno = 0;
        hdfsFileInfo* array = func_table.hdfsListDirectory(fs.get(), path, &listed);
        if (array == nullptr) {
            if (ResolveNullListing(fs.get(), path, errno) != 0)
                return -1;
            entries.reset();
            count = 0;
            return 0;
        }
        // The array is released even when the owner cannot be allocated.
        std::unique_ptr<CHadoopFileInfoArray> owner;
        try {
            owner.reset(new CHadoopFileInfoArray(array, listed));
        } catch (...) {
            func_table.hdfsFreeFileInfo(array, listed);
            throw;
        }
        entries.reset(owner.release());
        count = listed;
        return 0;
    });
}

int CHadoopFS::ListDirectory(const char* path, hdfsFileInfo** entries, int& count) {
    const bool valid = entries != nullptr && !IsBadPath(path);
    return RunConnected(valid, [&](const HdfsHandlePtr& fs) {
        int listed = 0;
        errno = 0;
        *entries = func_table.hdfsListDirectory(fs.get(), utfToMbe(path).c_str(), &listed);
        if (*entries == nullptr) {
            if (ResolveNullListing(fs.get(), path, errno) != 0)
                return -1;
            count = 0;
            return 0;
        }
        count = listed;
        return 0;
    });
}

void CHadoopFS::FreeFileInfo(hdfsFileInfo* info, int count) {
    if (gbLibraryInitialized && info != nullptr)
        func_table.hdfsFreeFileInfo(info, count);
}

// ---------------------------------------------------------------------------------------------
// Changes

int CHadoopFS::Open(const char* path, int flags, boost::shared_ptr<CHadoopFile>& file,
                    int bufferSize, short replication, int blockSize) {
    return RunConnected(!IsBadPath(path), [&](const HdfsHandlePtr& fs) {
        // The file converts the name itself, exactly once, and shares ownership of the handle.
        file.reset(new CHadoopFile(fs, path, flags, bufferSize, replication, blockSize));
        if (file->IsOpen())
            return 0;
        const int error = errno;
        file.reset();
        return Fail(error);
    });
}

int CHadoopFS::CreateDirectory(const char* path) {
    return RunConnected(!IsBadPath(path), [&](const HdfsHandlePtr& fs) {
        return func_table.hdfsCreateDirectory(fs.get(), utfToMbe(path).c_str());
    });
}

int CHadoopFS::Chmod(const char* path, short mode) {
    return RunConnected(!IsBadPath(path), [&](const HdfsHandlePtr& fs) {
        return func_table.hdfsChmod(fs.get(), utfToMbe(path).c_str(), mode);
    });
}

int CHadoopFS::Chown(const char* path, const char* owner, const char* group) {
    return RunConnected(!IsBadPath(path), [&](const HdfsHandlePtr& fs) {
        return func_table.hdfsChown(fs.get(), path, owner, group);
    });
}

int CHadoopFS::Chown(const char* path, uid_t uid, gid_t gid) {
    return RunConnected(!IsBadPath(path), [&](const HdfsHandlePtr&) {
        std::string user, group;
        if (GetUserName(uid, user).Failed() || GetGroupName(gid, group).Failed())
            return Fail(EINVAL);
        return Chown(path, user.c_str(), group.c_str());
    });
}

int CHadoopFS::Utime(const char* path, const utimbuf* times) {
    const bool valid = !IsBadPath(path) && times != nullptr;
    return RunConnected(valid, [&](const HdfsHandlePtr& fs) {
        return func_table.hdfsUtime(fs.get(), utfToMbe(path).c_str(), times->modtime,
                                    times->actime);
    });
}

int CHadoopFS::RemoveFile(const char* path, int recursive) {
    return RunConnected(!IsBadPath(path), [&](const HdfsHandlePtr& fs) {
        return func_table.hdfsDelete(fs.get(), utfToMbe(path).c_str(), recursive);
    });
}

int CHadoopFS::Rename(const char* from, const char* to) {
    return RunConnected(!IsBadPath(from) && !IsBadPath(to), [&](const HdfsHandlePtr& fs) {
        if (func_table.hdfsRename == nullptr)
            return Fail(ENOTSUP);
        return func_table.hdfsRename(fs.get(), utfToMbe(from).c_str(), utfToMbe(to).c_str());
    });
}

int CHadoopFS::CopyFile(const char* source, const char* destination) {
    if (!gbLibraryInitialized)
        return Fail(EFAULT);
    // libhdfs must never see a null handle.
    const bool valid = !IsBadPath(source) && !IsBadPath(destination);
    return RunConnected(valid, [&](const HdfsHandlePtr& fs) {
        return func_table.hdfsCopy(fs.get(), utfToMbe(source).c_str(), fs.get(),
                                   utfToMbe(destination).c_str());
    });
}

// ---------------------------------------------------------------------------------------------
// Capacity and layout

int CHadoopFS::GetSpaceUsage(unsigned long long* total, unsigned long long* used,
                             unsigned long long* free) {
    const bool valid = total != nullptr && used != nullptr && free != nullptr;
    return RunConnected(valid, [&](const HdfsHandlePtr& fs) {
        const tOffset capacity = func_table.hdfsGetCapacity(fs.get());
        const int capacityError = errno;
        const tOffset usedBytes = func_table.hdfsGetUsed(fs.get());
        *total = static_cast<unsigned long long>(capacity);
        *used = static_cast<unsigned long long>(usedBytes);
        if (capacity == -1)
            return Fail(capacityError);  // the first failure's errno, not the second call's
        if (usedBytes == -1)
            return -1;
        *free = *total - *used;
        return 0;
    });
}

namespace {

int StoreBlockSize(tOffset blockSize, unsigned long long* size) {
    *size = static_cast<unsigned long long>(blockSize);
    return blockSize == -1 ? -1 : 0;
}

}  // namespace

int CHadoopFS::GetBlockSize(unsigned long long* size) {
    return RunConnected(size != nullptr, [&](const HdfsHandlePtr& fs) {
        return StoreBlockSize(func_table.hdfsGetDefaultBlockSize(fs.get()), size);
    });
}

int CHadoopFS::GetBlockSizeAtPath(const char* path, unsigned long long* size) {
    const bool valid = size != nullptr && !IsBadPath(path);
    return RunConnected(valid, [&](const HdfsHandlePtr& fs) {
        if (func_table.hdfsGetDefaultBlockSizeAtPath == nullptr)
            return Fail(ENOTSUP);
        return StoreBlockSize(func_table.hdfsGetDefaultBlockSizeAtPath(fs.get(), path), size);
    });
}

int CHadoopFS::GetBlockMap(const char* path, long start, long length,
                           std::list<std::string>& hosts) {
    const bool valid = !IsBadPath(path) && start >= 0 && length >= 0;
    return RunConnected(valid, [&](const HdfsHandlePtr& fs) {
        // Without the library's own release function the list could only leak.
        if (func_table.hdfsFreeHosts == nullptr)
            return Fail(ENOTSUP);
        HostsHolder blocks(func_table.hdfsGetHosts(fs.get(), path, start, length));
        if (!blocks)
            return -1;
        if (blocks.get()[0] == nullptr)
            return Fail(ENXIO);
        // Collected aside, so `hosts` only changes when every name was copied.
        std::list<std::string> found;
        for (char*** block = blocks.get(); *block != nullptr; ++block) {
            for (char** host = *block; *host != nullptr; ++host)
                found.emplace_back(*host);
        }
        hosts.splice(hosts.end(), found);
        return 0;
    });
}
