// Connections and open files of the stand-in.
//
// An Instance plays the Java FileSystem object: one namespace (a backing directory, or the local
// file system), the URI its paths are qualified with, the user it acts as, its configuration.
// Every connect returns a new hdfsFS handle (the real library returns a new JNI global reference);
// several handles may share one Instance, exactly when the real library would hand out its cached
// FileSystem: no user name, no ticket cache, no forced new instance. Disconnecting closes the
// Instance, and then every handle on it and every file opened through it fails with EINTERNAL
// ("Filesystem closed"), as in Hadoop.
//
// Handles are validated against a registry before use: a stale or foreign pointer fails with EBADF
// instead of being dereferenced.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Config.h"
#include "hadoop/LibHdfs.h"

namespace localhdfs {

struct Instance {
    std::string uri;               // "hdfs://localhost:8020", "hdfs://nameservice1" or "file:"
    std::string scheme;            // "hdfs" or "file"
    std::string authority;         // "localhost:8020"; empty for the local file system
    std::string root;              // backing directory; empty for the local file system
    bool local = false;            // the local file system (name node NULL or a file: URI)
    std::string user;              // the user the connection acts as (owner of what it creates)
    std::string workingDirectory;  // where relative paths start: /user/<user>, or the cwd if local
    Config conf;
    int64_t defaultBlockSize = kDefaultBlockSize;
    int defaultReplication = kDefaultReplication;
    mode_t umask = 022;
    std::string cacheKey;  // non-empty for a shared (cached) instance
    // Why the name node cannot be reached; empty when it answers. Like the real client, connecting
    // does not contact the name node: the first call that needs it fails with this text.
    std::string unreachable;
    std::atomic<bool> closed{false};
};

using InstancePtr = std::shared_ptr<Instance>;

}  // namespace localhdfs

struct hdfs_internal {
    localhdfs::InstancePtr instance;
};

struct hdfsFile_internal {
    localhdfs::InstancePtr instance;
    int fd = -1;
    bool writer = false;
    bool streamClosed = false;  // writer finished by the disconnect of its file system
    std::string path;           // the HDFS path ("/a/b")
    std::string backing;        // the backing file
};

struct hdfsBuilder {
    bool forceNewInstance = false;
    const char* nameNode = nullptr;
    tPort port = 0;
    const char* userName = nullptr;
    const char* kerbTicketCachePath = nullptr;
    // hdfsBuilderConfSetStr pairs, in call order (pointers only, as the real builder keeps them).
    std::vector<std::pair<const char*, const char*>> conf;
};

namespace localhdfs {

// ---- file-system handles
hdfsFS RegisterFileSystem(const InstancePtr& instance);
// Whether a call needs the name node (most do) or is answered from the configuration alone.
enum class NameNodeUse { Needed, NotNeeded };
// The instance behind a live handle that has not been closed; otherwise records the failure
// (EBADF for an unknown handle, EINTERNAL "Filesystem closed", EINTERNAL with the connection
// failure when the call needs a name node that cannot be reached) and returns null.
InstancePtr OpenInstance(hdfsFS fs, NameNodeUse use = NameNodeUse::Needed);
// Unregisters and frees the handle; closes its instance (and the instance's writers). Returns
// false (failure recorded) for an unknown handle.
bool ReleaseFileSystem(hdfsFS fs);
// The same for a handle that may have been released already; records nothing.
void DiscardFileSystem(hdfsFS fs);

// The cached instance for `key` that is still open, or null.
InstancePtr FindSharedInstance(const std::string& key);
void AddSharedInstance(const InstancePtr& instance);

// ---- file handles
hdfsFile RegisterFile(std::unique_ptr<hdfsFile_internal> file);
// True for a live file handle; otherwise records EBADF.
bool ValidFile(hdfsFile file);
// Unregisters and frees a live handle: closes its descriptor and returns its write lease.
void DiscardFile(hdfsFile file);

// ---- write leases: one writer per file, as the name node grants
bool AcquireLease(const std::string& backing);
void ReleaseLease(const std::string& backing);

}  // namespace localhdfs
