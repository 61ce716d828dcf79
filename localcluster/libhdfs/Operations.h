// The operations behind the C entry points. Each one records its failure with Fail() and returns
// the entry point's failure value; the entry point wrappers (EntryPoints.cpp) add fault injection,
// exception safety and errno.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Instance.h"
#include "Namespace.h"
#include "hadoop/LibHdfs.h"

namespace localhdfs {

// ---- connecting (Connect.cpp)
struct ConnectRequest {
    const char* nameNode = nullptr;  // NULL: local file system; "default": fs.defaultFS
    tPort port = 0;
    const char* userName = nullptr;
    const char* ticketCachePath = nullptr;
    bool forceNewInstance = false;
    std::vector<std::pair<const char*, const char*>> conf;  // builder overrides, first wins
};
hdfsFS Connect(const ConnectRequest& request);
int Disconnect(hdfsFS fs);

// ---- file information (FileInfo.cpp)
hdfsFileInfo* GetPathInfo(hdfsFS fs, const char* path);
hdfsFileInfo* ListDirectory(hdfsFS fs, const char* path, int* numEntries);
void FreeFileInfo(hdfsFileInfo* infos, int numEntries);
int FileIsEncrypted(const hdfsFileInfo* info);

// ---- namespace changes, capacity, block size (Metadata.cpp)
int Exists(hdfsFS fs, const char* path);
int CreateDirectory(hdfsFS fs, const char* path);
int Delete(hdfsFS fs, const char* path, int recursive);
int Rename(hdfsFS fs, const char* from, const char* to);
int Copy(hdfsFS srcFS, const char* src, hdfsFS dstFS, const char* dst, bool deleteSource);
int Chown(hdfsFS fs, const char* path, const char* owner, const char* group);
int Chmod(hdfsFS fs, const char* path, short mode);
int Utime(hdfsFS fs, const char* path, tTime mtime, tTime atime);
tOffset GetCapacity(hdfsFS fs);
tOffset GetUsed(hdfsFS fs);
tOffset GetDefaultBlockSize(hdfsFS fs, const char* path);
// mkdir -p with HDFS identities for what it creates; failure recorded, false returned.
bool MakeDirectories(const Instance& instance, const ResolvedPath& directory);
// The same for the parent of a file about to be created (a parent that is a file: ENOTDIR).
bool MakeParentDirectories(const Instance& instance, const ResolvedPath& entry);

// ---- files (Files.cpp)
// Creates the file, or replaces an existing one by a new file (HDFS create with overwrite):
// parents made, the name node's limits on replication and block size checked, the write lease
// taken. Returns the open descriptor (the caller releases the lease) or -1.
int CreateFileForWrite(const Instance& instance, const ResolvedPath& entry, short replication,
                       tSize blockSize);
// Writes every byte, across partial writes and EINTR. Returns 0 or the errno.
int WriteFully(int fd, const char* data, size_t size);
hdfsFile OpenFile(hdfsFS fs, const char* path, int flags, short replication, tSize blockSize);
int CloseFile(hdfsFile file);
tSize Read(hdfsFile file, void* buffer, tSize length);
tSize Pread(hdfsFile file, tOffset position, void* buffer, tSize length);
tSize Write(hdfsFile file, const void* buffer, tSize length);
int Seek(hdfsFile file, tOffset position);
tOffset Tell(hdfsFile file);
int Flush(hdfsFile file, bool sync);

// ---- block locations (Hosts.cpp)
char*** GetHosts(hdfsFS fs, const char* path, tOffset start, tOffset length);
void FreeHosts(char*** blockHosts);

// ---- configuration lookup (ConfLookup.cpp); 0 or -1 with the failure recorded
int ConfGetStr(const char* key, char** value);
int ConfGetInt(const char* key, int32_t* value);

}  // namespace localhdfs
