// HDFS paths and their backing files, and the HDFS attributes kept with the backing files.
//
//   HDFS path /a/b           <namespace root>/a/b
//   owner, group             xattrs user.hdfs.owner / user.hdfs.group, else the names of the
//                            backing file's uid/gid (the number when there is no such name)
//   permissions              the backing file's mode bits (07777)
//   replication, block size  xattrs user.hdfs.replication / user.hdfs.blocksize, else
//                            dfs.replication / dfs.blocksize; 0 and 0 for directories
// On the local file system (name node NULL) xattrs are not consulted: owners come from the IDs,
// replication is 1 and the block size 32 MiB, as Hadoop's local file system reports.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>

#include "Instance.h"

namespace localhdfs {

inline constexpr const char* kOwnerXattr = "user.hdfs.owner";
inline constexpr const char* kGroupXattr = "user.hdfs.group";
inline constexpr const char* kReplicationXattr = "user.hdfs.replication";
inline constexpr const char* kBlockSizeXattr = "user.hdfs.blocksize";

// What Hadoop's local file system reports for every file.
inline constexpr int kLocalReplication = 1;
inline constexpr int64_t kLocalBlockSize = 33554432;

struct ResolvedPath {
    std::string path;     // normalised absolute HDFS path: "/" or "/a/b"
    std::string backing;  // the backing file
    std::string uri;      // fully qualified name: "hdfs://host:port/a/b"
};

// Resolves a caller's path: absolute, relative to the working directory, or qualified with this
// instance's scheme and authority. NULL, empty, "." or ".." components and another file system's
// URI are refused with EINVAL (failure recorded, false returned).
bool Resolve(const Instance& instance, const char* path, ResolvedPath& out);
ResolvedPath Child(const Instance& instance, const ResolvedPath& parent, const std::string& name);
ResolvedPath ParentOf(const Instance& instance, const ResolvedPath& entry);
bool IsRoot(const ResolvedPath& entry);
// True when `entry` is `ancestor` or lies below it.
bool IsSameOrBelow(const ResolvedPath& entry, const ResolvedPath& ancestor);

// The HDFS attributes of one entry. Reading them costs one listxattr, plus one getxattr for each
// attribute the entry carries; names of IDs come from `names`, which remembers them for the
// duration of one call (a listing of thousands of files looks each ID up once).
struct IdNames {
    std::string User(uid_t uid);
    std::string Group(gid_t gid);

  private:
    std::map<uid_t, std::string> m_users;
    std::map<gid_t, std::string> m_groups;
};
struct Attributes {
    std::string owner;
    std::string group;
    int replication = 0;
    int64_t blockSize = 0;
};
Attributes AttributesOf(const Instance& instance, const std::string& backing, const struct stat& st,
                        IdNames& names);

std::string OwnerOf(const Instance& instance, const std::string& backing, const struct stat& st);
std::string GroupOf(const Instance& instance, const std::string& backing, const struct stat& st);
int ReplicationOf(const Instance& instance, const std::string& backing, const struct stat& st);
int64_t BlockSizeOf(const Instance& instance, const std::string& backing, const struct stat& st);

// Writes the owner and/or group xattrs (a null or empty name is left unchanged). Returns 0 or the
// system errno.
int SetOwnership(const std::string& backing, const char* owner, const char* group);
// Writes a decimal xattr. Returns 0 or the system errno.
int SetNumberXattr(const std::string& backing, const char* name, int64_t value);

// Gives an entry the connection just created its HDFS identity: owned by the connection's user,
// the group of its parent directory, mode (0777 for directories, 0666 for files) minus the
// configured umask.
void InitializeNewEntry(const Instance& instance, const ResolvedPath& entry, bool directory);

}  // namespace localhdfs
