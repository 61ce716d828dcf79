// Namespace changes (mkdir, delete, rename, copy, chown, chmod, utime) and the capacity and
// block-size queries.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "Errors.h"
#include "Operations.h"

namespace localhdfs {

namespace {

// A Java call that returned false: the real library reports EIO.
int FailFalse(const std::string& operation, const std::string& path) {
    return Fail(EIO, "java.io.IOException: " + operation + " " + path + " returned false");
}

bool Lookup(const ResolvedPath& entry, struct stat& st) {
    return lstat(entry.backing.c_str(), &st) == 0;
}

bool DirectoryIsEmpty(const std::string& backing, int& error) {
    std::error_code ec;
    std::filesystem::directory_iterator it(backing, ec);
    error = ec.value();
    return !ec && it == std::filesystem::directory_iterator();
}

// Copies one file's bytes into a new file of the destination instance, created (or replaced) as
// hdfsOpenFile(O_WRONLY) creates files.
bool CopyFileContent(const ResolvedPath& src, const Instance& dstInstance,
                     const ResolvedPath& dst) {
    const int in = open(src.backing.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        FailSystem(errno, "open", src.path);
        return false;
    }
    const int out = CreateFileForWrite(dstInstance, dst, 0, 0);
    bool ok = out >= 0;
    char buffer[65536];
    while (ok) {
        const ssize_t got = read(in, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ok = FailSystem(errno, "read", src.path) == 0;
        } else if (const int error = WriteFully(out, buffer, static_cast<size_t>(got))) {
            ok = FailSystem(error, "write", dst.path) == 0;
        }
    }
    close(in);
    if (out >= 0) {
        if (close(out) != 0 && ok)
            ok = FailSystem(errno, "close", dst.path) == 0;
        ReleaseLease(dst.backing);
    }
    return ok;
}

// Hadoop's FileUtil.copy with overwrite: directories recursively, files replaced.
bool CopyTree(const Instance& srcInstance, const ResolvedPath& src, const Instance& dstInstance,
              const ResolvedPath& dst) {
    struct stat st;
    if (stat(src.backing.c_str(), &st) != 0) {
        FailNotFound(src.path);
        return false;
    }
    if (!S_ISDIR(st.st_mode))
        return CopyFileContent(src, dstInstance, dst);
    if (!MakeDirectories(dstInstance, dst))
        return false;
    std::error_code ec;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(src.backing, ec), end; !ec && it != end;
         it.increment(ec))
        names.push_back(it->path().filename().string());
    if (ec) {
        FailSystem(ec.value(), "listStatus", src.path);
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!CopyTree(srcInstance, Child(srcInstance, src, name), dstInstance,
                      Child(dstInstance, dst, name)))
            return false;
    }
    return true;
}

bool RemoveTree(const ResolvedPath& entry) {
    std::error_code ec;
    std::filesystem::remove_all(entry.backing, ec);
    if (ec) {
        FailSystem(ec.value(), "delete", entry.path);
        return false;
    }
    return true;
}

uid_t UserId(const char* name, bool& found) {
    struct passwd pwd;
    struct passwd* result = nullptr;
    char buffer[4096];
    found = getpwnam_r(name, &pwd, buffer, sizeof buffer, &result) == 0 && result;
    return found ? result->pw_uid : static_cast<uid_t>(-1);
}

gid_t GroupId(const char* name, bool& found) {
    struct group grp;
    struct group* result = nullptr;
    std::vector<char> buffer(16384);
    found = getgrnam_r(name, &grp, buffer.data(), buffer.size(), &result) == 0 && result;
    return found ? result->gr_gid : static_cast<gid_t>(-1);
}

// The local file system changes the real IDs, so the names must be local users and groups.
int ChownLocal(const ResolvedPath& entry, const char* owner, const char* group) {
    bool found = true;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    if (owner && *owner && (uid = UserId(owner, found), !found))
        return FailInternal("chown: invalid user: " + std::string(owner));
    if (group && *group && (gid = GroupId(group, found), !found))
        return FailInternal("chown: invalid group: " + std::string(group));
    if (chown(entry.backing.c_str(), uid, gid) != 0)
        return FailSystem(errno, "setOwner", entry.path);
    return 0;
}

// Resolves and checks existence for the calls that change an existing path.
bool ResolveExisting(const Instance& instance, const char* path, ResolvedPath& entry) {
    struct stat st;
    if (!Resolve(instance, path, entry))
        return false;
    if (stat(entry.backing.c_str(), &st) != 0) {
        FailNotFound(entry.path);
        return false;
    }
    return true;
}

}  // namespace

bool MakeDirectories(const Instance& instance, const ResolvedPath& directory) {
    std::vector<ResolvedPath> chain;  // from the directory up to (not including) the root
    for (ResolvedPath p = directory; !IsRoot(p); p = ParentOf(instance, p))
        chain.push_back(p);
    std::reverse(chain.begin(), chain.end());
    for (size_t i = 0; i < chain.size(); ++i) {
        const ResolvedPath& entry = chain[i];
        struct stat st;
        if (stat(entry.backing.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode))
                continue;
            if (i + 1 == chain.size()) {
                Fail(EEXIST,
                     "org.apache.hadoop.fs.FileAlreadyExistsException: Path is not a "
                     "directory: " +
                         entry.path);
            } else {
                Fail(ENOTDIR, "org.apache.hadoop.fs.ParentNotDirectoryException: " + entry.path +
                                  " (is not a directory)");
            }
            return false;
        }
        if (mkdir(entry.backing.c_str(), 0700) != 0) {
            if (errno == EEXIST)
                continue;  // created by someone else meanwhile
            FailSystem(errno, "mkdirs", entry.path);
            return false;
        }
        InitializeNewEntry(instance, entry, true);
    }
    return true;
}

bool MakeParentDirectories(const Instance& instance, const ResolvedPath& entry) {
    const ResolvedPath parent = ParentOf(instance, entry);
    struct stat st;
    if (stat(parent.backing.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        Fail(ENOTDIR, "org.apache.hadoop.fs.ParentNotDirectoryException: " + parent.path +
                          " (is not a directory)");
        return false;
    }
    return MakeDirectories(instance, parent);
}

int Exists(hdfsFS fs, const char* path) {
    InstancePtr instance = OpenInstance(fs);
    ResolvedPath entry;
    if (!instance || !Resolve(*instance, path, entry))
        return -1;
    struct stat st;
    if (stat(entry.backing.c_str(), &st) == 0)
        return 0;
    if (errno == ENOENT || errno == ENOTDIR)
        return FailNotFound(entry.path);
    return FailSystem(errno, "exists", entry.path);
}

int CreateDirectory(hdfsFS fs, const char* path) {
    InstancePtr instance = OpenInstance(fs);
    ResolvedPath entry;
    if (!instance || !Resolve(*instance, path, entry))
        return -1;
    return MakeDirectories(*instance, entry) ? 0 : -1;
}

int Delete(hdfsFS fs, const char* path, int recursive) {
    InstancePtr instance = OpenInstance(fs);
    ResolvedPath entry;
    if (!instance || !Resolve(*instance, path, entry))
        return -1;
    struct stat st;
    if (IsRoot(entry) || !Lookup(entry, st))
        return FailFalse("delete", entry.path);
    if (S_ISDIR(st.st_mode)) {
        int error = 0;
        const bool empty = DirectoryIsEmpty(entry.backing, error);
        if (error != 0)
            return FailSystem(error, "delete", entry.path);
        if (!empty && !recursive)
            return Fail(EINTERNAL, "org.apache.hadoop.fs.PathIsNotEmptyDirectoryException: `" +
                                       entry.path + " is non empty': Directory is not empty");
    }
    return RemoveTree(entry) ? 0 : -1;
}

int Rename(hdfsFS fs, const char* from, const char* to) {
    InstancePtr instance = OpenInstance(fs);
    ResolvedPath src;
    ResolvedPath dst;
    if (!instance || !Resolve(*instance, from, src) || !Resolve(*instance, to, dst))
        return -1;
    struct stat srcStat;
    struct stat dstStat;
    if (IsRoot(src) || !Lookup(src, srcStat))
        return FailFalse("rename", src.path);
    if (src.path == dst.path)
        return 0;
    if (Lookup(dst, dstStat)) {
        if (!S_ISDIR(dstStat.st_mode))
            return FailFalse("rename", src.path);
        dst = Child(*instance, dst, src.path.substr(src.path.rfind('/') + 1));
        if (Lookup(dst, dstStat))
            return FailFalse("rename", src.path);
    }
    struct stat parentStat;
    const ResolvedPath parent = ParentOf(*instance, dst);
    if (IsSameOrBelow(dst, src) || stat(parent.backing.c_str(), &parentStat) != 0 ||
        !S_ISDIR(parentStat.st_mode))
        return FailFalse("rename", src.path);
    if (rename(src.backing.c_str(), dst.backing.c_str()) != 0)
        return FailSystem(errno, "rename", src.path);
    return 0;
}

int Copy(hdfsFS srcFS, const char* src, hdfsFS dstFS, const char* dst, bool deleteSource) {
    InstancePtr srcInstance = OpenInstance(srcFS);
    if (!srcInstance)
        return -1;
    InstancePtr dstInstance = OpenInstance(dstFS);
    ResolvedPath from;
    ResolvedPath to;
    if (!dstInstance || !Resolve(*srcInstance, src, from) || !Resolve(*dstInstance, dst, to))
        return -1;
    struct stat st;
    if (stat(from.backing.c_str(), &st) != 0)
        return FailNotFound(from.path);

    // Into an existing directory: below it, under the source's name.
    struct stat dstStat;
    if (stat(to.backing.c_str(), &dstStat) == 0 && S_ISDIR(dstStat.st_mode) && !IsRoot(from)) {
        to = Child(*dstInstance, to, from.path.substr(from.path.rfind('/') + 1));
        if (stat(to.backing.c_str(), &dstStat) == 0 && S_ISDIR(dstStat.st_mode) &&
            !S_ISDIR(st.st_mode))
            return FailInternal("Target " + to.uri + " is a directory");
    }
    const bool sameStore =
        srcInstance->local == dstInstance->local && srcInstance->root == dstInstance->root;
    if (sameStore && IsSameOrBelow(to, from))
        return FailInternal("Cannot copy " + from.uri + " to itself or its subdirectory " + to.uri);
    if (!CopyTree(*srcInstance, from, *dstInstance, to))
        return -1;
    if (deleteSource && !RemoveTree(from))
        return -1;
    return 0;
}

int Chown(hdfsFS fs, const char* path, const char* owner, const char* group) {
    if (!owner && !group)
        return 0;  // nothing to change: no call to the name node at all
    InstancePtr instance = OpenInstance(fs);
    ResolvedPath entry;
    if (!instance || !ResolveExisting(*instance, path, entry))
        return -1;
    if (instance->local)
        return ChownLocal(entry, owner, group);
    const int error = SetOwnership(entry.backing, owner, group);
    return error == 0 ? 0 : FailSystem(error, "setOwner", entry.path);
}

int Chmod(hdfsFS fs, const char* path, short mode) {
    InstancePtr instance = OpenInstance(fs);
    ResolvedPath entry;
    if (!instance || !ResolveExisting(*instance, path, entry))
        return -1;
    if (chmod(entry.backing.c_str(), static_cast<mode_t>(mode) & 07777) != 0)
        return FailSystem(errno, "setPermission", entry.path);
    return 0;
}

int Utime(hdfsFS fs, const char* path, tTime mtime, tTime atime) {
    InstancePtr instance = OpenInstance(fs);
    ResolvedPath entry;
    if (!instance || !ResolveExisting(*instance, path, entry))
        return -1;
    struct timespec times[2];
    times[0].tv_sec = atime == -1 ? 0 : atime;
    times[0].tv_nsec = atime == -1 ? UTIME_OMIT : 0;
    times[1].tv_sec = mtime == -1 ? 0 : mtime;
    times[1].tv_nsec = mtime == -1 ? UTIME_OMIT : 0;
    if (utimensat(AT_FDCWD, entry.backing.c_str(), times, 0) != 0)
        return FailSystem(errno, "setTimes", entry.path);
    return 0;
}

tOffset GetCapacity(hdfsFS fs) {
    InstancePtr instance = OpenInstance(fs);
    if (!instance)
        return -1;
    int64_t capacity = -1;
    std::string error;
    if (!instance->local && !instance->conf.GetLongBytes(kCapacityKey, capacity, error))
        return Fail(EINTERNAL, error);
    if (capacity >= 0)
        return capacity;
    struct statvfs vfs;
    const std::string where = instance->local ? "/" : instance->root;
    if (statvfs(where.c_str(), &vfs) != 0)
        return FailSystem(errno, "getStatus", where);
    return static_cast<tOffset>(vfs.f_blocks) * static_cast<tOffset>(vfs.f_frsize);
}

// Raw bytes used: each file's size times its replication (what the data nodes store).
tOffset GetUsed(hdfsFS fs) {
    InstancePtr instance = OpenInstance(fs);
    if (!instance)
        return -1;
    if (instance->local) {
        struct statvfs vfs;
        if (statvfs("/", &vfs) != 0)
            return FailSystem(errno, "getStatus", "/");
        return static_cast<tOffset>(vfs.f_blocks - vfs.f_bfree) *
               static_cast<tOffset>(vfs.f_frsize);
    }
    tOffset used = 0;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(instance->root, ec), end;
         !ec && it != end; it.increment(ec)) {
        struct stat st;
        const std::string backing = it->path().string();
        if (lstat(backing.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            used += st.st_size * ReplicationOf(*instance, backing, st);
    }
    if (ec)
        return FailSystem(ec.value(), "getStatus", "/");
    return used;
}

tOffset GetDefaultBlockSize(hdfsFS fs, const char* path) {
    // Hadoop answers this from the client's configuration.
    InstancePtr instance = OpenInstance(fs, NameNodeUse::NotNeeded);
    if (!instance)
        return -1;
    ResolvedPath entry;  // the path need not exist; it only has to be valid
    if (path && !Resolve(*instance, path, entry))
        return -1;
    return instance->defaultBlockSize;
}

}  // namespace localhdfs
