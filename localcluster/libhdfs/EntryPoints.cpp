// The exported C entry points. Each one runs its operation through Run (Errors.h): fault injection
// first, no exception across the C interface, errno set last.
//
// Built three times: the full library, LOCALHDFS_OLD_API (a libhdfs from before the builder: no
// builder, no configuration lookups, no block size at a path, no encryption flag, no last-exception
// texts) and LOCALHDFS_WITHOUT_CHMOD (a broken library lacking hdfsChmod).
#include <cstdlib>
#include <string>

#include "Errors.h"
#include "Operations.h"

#define LOCALHDFS_EXPORT extern "C" __attribute__((visibility("default")))

using localhdfs::ErrnoOnSuccess;
using localhdfs::Run;

namespace {

hdfsFS ConnectWith(const char* entryPoint, const char* nn, tPort port, const char* user) {
    localhdfs::ConnectRequest request;
    request.nameNode = nn;
    request.port = port;
    request.userName = user;
    return Run(entryPoint, static_cast<hdfsFS>(nullptr),
               [&] { return localhdfs::Connect(request); });
}

}  // namespace

// ---- connecting

#ifndef LOCALHDFS_OLD_API

LOCALHDFS_EXPORT struct hdfsBuilder* hdfsNewBuilder(void) {
    return Run("hdfsNewBuilder", static_cast<hdfsBuilder*>(nullptr),
               [] { return new hdfsBuilder(); });
}

LOCALHDFS_EXPORT void hdfsBuilderSetNameNode(struct hdfsBuilder* bld, const char* nn) {
    if (bld)
        bld->nameNode = nn;
}

LOCALHDFS_EXPORT void hdfsBuilderSetNameNodePort(struct hdfsBuilder* bld, tPort port) {
    if (bld)
        bld->port = port;
}

LOCALHDFS_EXPORT void hdfsBuilderSetUserName(struct hdfsBuilder* bld, const char* userName) {
    if (bld)
        bld->userName = userName;
}

LOCALHDFS_EXPORT void hdfsBuilderSetKerbTicketCachePath(struct hdfsBuilder* bld,
                                                        const char* kerbTicketCachePath) {
    if (bld)
        bld->kerbTicketCachePath = kerbTicketCachePath;
}

LOCALHDFS_EXPORT void hdfsBuilderSetForceNewInstance(struct hdfsBuilder* bld) {
    if (bld)
        bld->forceNewInstance = true;
}

LOCALHDFS_EXPORT int hdfsBuilderConfSetStr(struct hdfsBuilder* bld, const char* key,
                                           const char* val) {
    return Run("hdfsBuilderConfSetStr", -ENOMEM, [&] {
        if (!bld)
            return localhdfs::FailInvalid("null builder");
        bld->conf.emplace_back(key, val);
        return 0;
    });
}

LOCALHDFS_EXPORT void hdfsFreeBuilder(struct hdfsBuilder* bld) {
    delete bld;
}

// The builder is consumed on every path, including an injected failure.
LOCALHDFS_EXPORT hdfsFS hdfsBuilderConnect(struct hdfsBuilder* bld) {
    return Run(
        "hdfsBuilderConnect", static_cast<hdfsFS>(nullptr),
        [&]() -> hdfsFS {
            if (!bld) {
                localhdfs::FailInvalid("null builder");
                return nullptr;
            }
            localhdfs::ConnectRequest request;
            request.nameNode = bld->nameNode;
            request.port = bld->nameNode && std::string(bld->nameNode) == "default" ? 0 : bld->port;
            request.userName = bld->userName;
            request.ticketCachePath = bld->kerbTicketCachePath;
            request.forceNewInstance = bld->forceNewInstance;
            request.conf = bld->conf;
            return localhdfs::Connect(request);
        },
        [&] { delete bld; });
}

#endif  // LOCALHDFS_OLD_API

LOCALHDFS_EXPORT hdfsFS hdfsConnect(const char* nn, tPort port) {
    return ConnectWith("hdfsConnect", nn, port, nullptr);
}

LOCALHDFS_EXPORT hdfsFS hdfsConnectAsUser(const char* nn, tPort port, const char* user) {
    return ConnectWith("hdfsConnectAsUser", nn, port, user);
}

// The handle is invalid afterwards even when -1 is returned.
LOCALHDFS_EXPORT int hdfsDisconnect(hdfsFS fs) {
    return Run(
        "hdfsDisconnect", -1, [&] { return localhdfs::Disconnect(fs); },
        [&] { localhdfs::DiscardFileSystem(fs); });
}

// ---- file information

LOCALHDFS_EXPORT int hdfsExists(hdfsFS fs, const char* path) {
    return Run("hdfsExists", -1, [&] { return localhdfs::Exists(fs, path); });
}

LOCALHDFS_EXPORT hdfsFileInfo* hdfsGetPathInfo(hdfsFS fs, const char* path) {
    return Run(
        "hdfsGetPathInfo", static_cast<hdfsFileInfo*>(nullptr),
        [&] { return localhdfs::GetPathInfo(fs, path); }, ErrnoOnSuccess::Zero);
}

LOCALHDFS_EXPORT hdfsFileInfo* hdfsListDirectory(hdfsFS fs, const char* path, int* numEntries) {
    return Run(
        "hdfsListDirectory", static_cast<hdfsFileInfo*>(nullptr),
        [&] { return localhdfs::ListDirectory(fs, path, numEntries); }, ErrnoOnSuccess::Zero);
}

LOCALHDFS_EXPORT void hdfsFreeFileInfo(hdfsFileInfo* hdfsFileInfo, int numEntries) {
    localhdfs::FreeFileInfo(hdfsFileInfo, numEntries);
}

#ifndef LOCALHDFS_OLD_API
LOCALHDFS_EXPORT int hdfsFileIsEncrypted(hdfsFileInfo* hdfsFileInfo) {
    return localhdfs::FileIsEncrypted(hdfsFileInfo);
}
#endif

// ---- namespace changes

LOCALHDFS_EXPORT int hdfsCreateDirectory(hdfsFS fs, const char* path) {
    return Run("hdfsCreateDirectory", -1, [&] { return localhdfs::CreateDirectory(fs, path); });
}

LOCALHDFS_EXPORT int hdfsDelete(hdfsFS fs, const char* path, int recursive) {
    return Run("hdfsDelete", -1, [&] { return localhdfs::Delete(fs, path, recursive); });
}

LOCALHDFS_EXPORT int hdfsRename(hdfsFS fs, const char* oldPath, const char* newPath) {
    return Run("hdfsRename", -1, [&] { return localhdfs::Rename(fs, oldPath, newPath); });
}

LOCALHDFS_EXPORT int hdfsCopy(hdfsFS srcFS, const char* src, hdfsFS dstFS, const char* dst) {
    return Run("hdfsCopy", -1, [&] { return localhdfs::Copy(srcFS, src, dstFS, dst, false); });
}

LOCALHDFS_EXPORT int hdfsMove(hdfsFS srcFS, const char* src, hdfsFS dstFS, const char* dst) {
    return Run("hdfsMove", -1, [&] { return localhdfs::Copy(srcFS, src, dstFS, dst, true); });
}

LOCALHDFS_EXPORT int hdfsChown(hdfsFS fs, const char* path, const char* owner, const char* group) {
    return Run("hdfsChown", -1, [&] { return localhdfs::Chown(fs, path, owner, group); });
}

#ifndef LOCALHDFS_WITHOUT_CHMOD
LOCALHDFS_EXPORT int hdfsChmod(hdfsFS fs, const char* path, short mode) {
    return Run("hdfsChmod", -1, [&] { return localhdfs::Chmod(fs, path, mode); });
}
#endif

LOCALHDFS_EXPORT int hdfsUtime(hdfsFS fs, const char* path, tTime mtime, tTime atime) {
    return Run("hdfsUtime", -1, [&] { return localhdfs::Utime(fs, path, mtime, atime); });
}

// ---- capacity, block size, block locations

LOCALHDFS_EXPORT tOffset hdfsGetCapacity(hdfsFS fs) {
    return Run("hdfsGetCapacity", static_cast<tOffset>(-1),
               [&] { return localhdfs::GetCapacity(fs); });
}

LOCALHDFS_EXPORT tOffset hdfsGetUsed(hdfsFS fs) {
    return Run("hdfsGetUsed", static_cast<tOffset>(-1), [&] { return localhdfs::GetUsed(fs); });
}

LOCALHDFS_EXPORT tOffset hdfsGetDefaultBlockSize(hdfsFS fs) {
    return Run("hdfsGetDefaultBlockSize", static_cast<tOffset>(-1),
               [&] { return localhdfs::GetDefaultBlockSize(fs, nullptr); });
}

#ifndef LOCALHDFS_OLD_API
LOCALHDFS_EXPORT tOffset hdfsGetDefaultBlockSizeAtPath(hdfsFS fs, const char* path) {
    return Run("hdfsGetDefaultBlockSizeAtPath", static_cast<tOffset>(-1), [&]() -> tOffset {
        if (!path)
            return localhdfs::FailInvalid("path is null");
        return localhdfs::GetDefaultBlockSize(fs, path);
    });
}
#endif

LOCALHDFS_EXPORT char*** hdfsGetHosts(hdfsFS fs, const char* path, tOffset start, tOffset length) {
    return Run("hdfsGetHosts", static_cast<char***>(nullptr),
               [&] { return localhdfs::GetHosts(fs, path, start, length); });
}

LOCALHDFS_EXPORT void hdfsFreeHosts(char*** blockHosts) {
    localhdfs::FreeHosts(blockHosts);
}

// ---- files

LOCALHDFS_EXPORT hdfsFile hdfsOpenFile(hdfsFS fs, const char* path, int flags, int bufferSize,
                                       short replication, tSize blocksize) {
    (void)bufferSize;  // buffering is the JVM's business; nothing to size here
    return Run("hdfsOpenFile", static_cast<hdfsFile>(nullptr),
               [&] { return localhdfs::OpenFile(fs, path, flags, replication, blocksize); });
}

// The handle is released even when -1 is returned. The file system handle is not needed (as in
// the real library, which never looks at it here).
LOCALHDFS_EXPORT int hdfsCloseFile(hdfsFS fs, hdfsFile file) {
    (void)fs;
    return Run(
        "hdfsCloseFile", -1, [&] { return localhdfs::CloseFile(file); },
        [&] { localhdfs::DiscardFile(file); });
}

LOCALHDFS_EXPORT tSize hdfsRead(hdfsFS fs, hdfsFile file, void* buffer, tSize length) {
    (void)fs;
    return Run("hdfsRead", -1, [&] { return localhdfs::Read(file, buffer, length); });
}

LOCALHDFS_EXPORT tSize hdfsPread(hdfsFS fs, hdfsFile file, tOffset position, void* buffer,
                                 tSize length) {
    (void)fs;
    return Run("hdfsPread", -1, [&] { return localhdfs::Pread(file, position, buffer, length); });
}

LOCALHDFS_EXPORT tSize hdfsWrite(hdfsFS fs, hdfsFile file, const void* buffer, tSize length) {
    (void)fs;
    return Run("hdfsWrite", -1, [&] { return localhdfs::Write(file, buffer, length); });
}

LOCALHDFS_EXPORT int hdfsSeek(hdfsFS fs, hdfsFile file, tOffset desiredPos) {
    (void)fs;
    return Run("hdfsSeek", -1, [&] { return localhdfs::Seek(file, desiredPos); });
}

LOCALHDFS_EXPORT tOffset hdfsTell(hdfsFS fs, hdfsFile file) {
    (void)fs;
    return Run("hdfsTell", static_cast<tOffset>(-1), [&] { return localhdfs::Tell(file); });
}

LOCALHDFS_EXPORT int hdfsFlush(hdfsFS fs, hdfsFile file) {
    (void)fs;
    return Run("hdfsFlush", -1, [&] { return localhdfs::Flush(file, false); });
}

LOCALHDFS_EXPORT int hdfsHFlush(hdfsFS fs, hdfsFile file) {
    (void)fs;
    return Run("hdfsHFlush", -1, [&] { return localhdfs::Flush(file, false); });
}

LOCALHDFS_EXPORT int hdfsHSync(hdfsFS fs, hdfsFile file) {
    (void)fs;
    return Run("hdfsHSync", -1, [&] { return localhdfs::Flush(file, true); });
}

// ---- configuration lookup: 0 or a positive errno code

#ifndef LOCALHDFS_OLD_API

LOCALHDFS_EXPORT int hdfsConfGetStr(const char* key, char** val) {
    const int result = Run("hdfsConfGetStr", -1, [&] { return localhdfs::ConfGetStr(key, val); });
    return result == 0 ? 0 : errno;
}

LOCALHDFS_EXPORT int hdfsConfGetInt(const char* key, int32_t* val) {
    const int result = Run("hdfsConfGetInt", -1, [&] { return localhdfs::ConfGetInt(key, val); });
    return result == 0 ? 0 : errno;
}

LOCALHDFS_EXPORT void hdfsConfStrFree(char* val) {
    free(val);
}

// ---- diagnostics

LOCALHDFS_EXPORT char* hdfsGetLastExceptionRootCause(void) {
    return localhdfs::LastRootCause();
}

LOCALHDFS_EXPORT char* hdfsGetLastExceptionStackTrace(void) {
    return localhdfs::LastStackTrace();
}

#endif  // LOCALHDFS_OLD_API
