#include "Namespace.h"

#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Errors.h"

namespace localhdfs {

namespace {

constexpr int kDefaultNameNodePort = 8020;

std::string ReadXattr(const std::string& backing, const char* name) {
    char buffer[1024];
    const ssize_t size = getxattr(backing.c_str(), name, buffer, sizeof buffer);
    if (size <= 0)
        return std::string();
    return std::string(buffer, static_cast<size_t>(size));
}

bool ReadNumberXattr(const std::string& backing, const char* name, int64_t& value) {
    const std::string text = ReadXattr(backing, name);
    if (text.empty())
        return false;
    char* end = nullptr;
    const long long parsed = strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || parsed < 0)
        return false;
    value = parsed;
    return true;
}

std::string UserName(uid_t uid) {
    struct passwd pwd;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &pwd, buffer, sizeof buffer, &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    struct group grp;
    struct group* found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrgid_r(gid, &grp, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_name;
    return std::to_string(gid);
}

struct Authority {
    std::string host;
    int port = -1;
};

Authority ParseAuthority(const std::string& authority) {
    Authority result;
    const size_t colon = authority.rfind(':');
    if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
        result.host = authority.substr(0, colon);
        result.port = atoi(authority.c_str() + colon + 1);
    } else {
        result.host = authority;
    }
    return result;
}

// Hadoop's "Wrong FS" check: same scheme, same host (any case), same port once the default port
// is filled in.
bool SameFileSystem(const Instance& instance, const std::string& scheme,
                    const std::string& authority) {
    if (strcasecmp(scheme.c_str(), instance.scheme.c_str()) != 0)
        return false;
    if (authority.empty())
        return true;  // "hdfs:/a" means this file system's authority
    const Authority mine = ParseAuthority(instance.authority);
    const Authority theirs = ParseAuthority(authority);
    const int myPort = mine.port < 0 ? kDefaultNameNodePort : mine.port;
    const int theirPort = theirs.port < 0 ? kDefaultNameNodePort : theirs.port;
    return strcasecmp(mine.host.c_str(), theirs.host.c_str()) == 0 && myPort == theirPort;
}

// Splits "scheme://authority/path" or "scheme:/path"; false when `text` has no scheme.
bool SplitQualified(const std::string& text, std::string& scheme, std::string& authority,
                    std::string& path) {
    const size_t colon = text.find(':');
    const size_t slash = text.find('/');
    if (colon == std::string::npos || colon == 0 || (slash != std::string::npos && slash < colon))
        return false;
    scheme = text.substr(0, colon);
    std::string rest = text.substr(colon + 1);
    authority.clear();
    if (rest.rfind("//", 0) == 0) {
        const size_t end = rest.find('/', 2);
        authority = rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
        rest = end == std::string::npos ? "/" : rest.substr(end);
    }
    path = rest;
    return true;
}

ResolvedPath Make(const Instance& instance, const std::string& path) {
    ResolvedPath result;
    result.path = path;
    if (instance.local)
        result.backing = path;
    else
        result.backing = path == "/" ? instance.root : instance.root + path;
    result.uri = instance.uri + path;
    return result;
}

}  // namespace

bool Resolve(const Instance& instance, const char* path, ResolvedPath& out) {
    if (!path) {
        FailInvalid("path is null");
        return false;
    }
    std::string text = path;
    if (text.empty()) {
        FailInvalid("Can not create a Path from an empty string");
        return false;
    }
    std::string scheme;
    std::string authority;
    std::string rest;
    if (SplitQualified(text, scheme, authority, rest)) {
        if (!SameFileSystem(instance, scheme, authority)) {
            FailInvalid("Wrong FS: " + text + ", expected: " + instance.uri);
            return false;
        }
        text = rest;
    }
    if (text[0] != '/')
        text = instance.workingDirectory + "/" + text;

    std::string normalised;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string component = text.substr(start, end - start);
        start = end + 1;
        if (component.empty())
            continue;
        if (component == "." || component == "..") {
            FailInvalid("Invalid path name " + std::string(path));
            return false;
        }
        normalised += "/" + component;
    }
    out = Make(instance, normalised.empty() ? "/" : normalised);
    return true;
}

ResolvedPath Child(const Instance& instance, const ResolvedPath& parent, const std::string& name) {
    return Make(instance, (parent.path == "/" ? "" : parent.path) + "/" + name);
}

ResolvedPath ParentOf(const Instance& instance, const ResolvedPath& entry) {
    const size_t slash = entry.path.rfind('/');
    return Make(instance, slash == 0 ? "/" : entry.path.substr(0, slash));
}

bool IsRoot(const ResolvedPath& entry) {
    return entry.path == "/";
}

bool IsSameOrBelow(const ResolvedPath& entry, const ResolvedPath& ancestor) {
    if (ancestor.path == "/")
        return true;
    return entry.path == ancestor.path || entry.path.rfind(ancestor.path + "/", 0) == 0;
}

std::string IdNames::User(uid_t uid) {
    auto found = m_users.find(uid);
    if (found == m_users.end())
        found = m_users.emplace(uid, UserName(uid)).first;
    return found->second;
}

std::string IdNames::Group(gid_t gid) {
    auto found = m_groups.find(gid);
    if (found == m_groups.end())
        found = m_groups.emplace(gid, GroupName(gid)).first;
    return found->second;
}

namespace {

// Which of our attributes the backing file carries, from one listxattr. A file whose list cannot
// be read (or does not fit) is treated as carrying all of them, so each is asked for.
struct PresentXattrs {
    bool owner = true, group = true, replication = true, blockSize = true;
};

PresentXattrs ListHdfsXattrs(const std::string& backing) {
    char names[4096];
    const ssize_t size = listxattr(backing.c_str(), names, sizeof names);
    if (size < 0)
        return PresentXattrs();
    PresentXattrs present{false, false, false, false};
    for (const char* name = names; name < names + size; name += strlen(name) + 1) {
        present.owner = present.owner || strcmp(name, kOwnerXattr) == 0;
        present.group = present.group || strcmp(name, kGroupXattr) == 0;
        present.replication = present.replication || strcmp(name, kReplicationXattr) == 0;
        present.blockSize = present.blockSize || strcmp(name, kBlockSizeXattr) == 0;
    }
    return present;
}

// Each attribute from its xattr when `present` says to look (never on the local file system),
// else from the backing file or the configuration.
std::string OwnerFrom(const std::string& backing, bool present, const struct stat& st,
                      IdNames& names) {
    std::string owner = present ? ReadXattr(backing, kOwnerXattr) : std::string();
    return owner.empty() ? names.User(st.st_uid) : owner;
}

std::string GroupFrom(const std::string& backing, bool present, const struct stat& st,
                      IdNames& names) {
    std::string group = present ? ReadXattr(backing, kGroupXattr) : std::string();
    return group.empty() ? names.Group(st.st_gid) : group;
}

int ReplicationFrom(const Instance& instance, const std::string& backing, bool present,
                    const struct stat& st) {
    if (S_ISDIR(st.st_mode))
        return 0;
    if (instance.local)
        return kLocalReplication;
    int64_t value = 0;
    if (present && ReadNumberXattr(backing, kReplicationXattr, value) && value <= 32767)
        return static_cast<int>(value);
    return instance.defaultReplication;
}

int64_t BlockSizeFrom(const Instance& instance, const std::string& backing, bool present,
                      const struct stat& st) {
    if (S_ISDIR(st.st_mode))
        return 0;
    if (instance.local)
        return kLocalBlockSize;
    int64_t value = 0;
    if (present && ReadNumberXattr(backing, kBlockSizeXattr, value) && value > 0)
        return value;
    return instance.defaultBlockSize;
}

}  // namespace

Attributes AttributesOf(const Instance& instance, const std::string& backing, const struct stat& st,
                        IdNames& names) {
    const PresentXattrs present =
        instance.local ? PresentXattrs{false, false, false, false} : ListHdfsXattrs(backing);
    Attributes result;
    result.owner = OwnerFrom(backing, present.owner, st, names);
    result.group = GroupFrom(backing, present.group, st, names);
    result.replication = ReplicationFrom(instance, backing, present.replication, st);
    result.blockSize = BlockSizeFrom(instance, backing, present.blockSize, st);
    return result;
}

std::string OwnerOf(const Instance& instance, const std::string& backing, const struct stat& st) {
    IdNames names;
    return OwnerFrom(backing, !instance.local, st, names);
}

std::string GroupOf(const Instance& instance, const std::string& backing, const struct stat& st) {
    IdNames names;
    return GroupFrom(backing, !instance.local, st, names);
}

int ReplicationOf(const Instance& instance, const std::string& backing, const struct stat& st) {
    return ReplicationFrom(instance, backing, true, st);
}

int64_t BlockSizeOf(const Instance& instance, const std::string& backing, const struct stat& st) {
    return BlockSizeFrom(instance, backing, true, st);
}

int SetOwnership(const std::string& backing, const char* owner, const char* group) {
    if (owner && *owner && setxattr(backing.c_str(), kOwnerXattr, owner, strlen(owner), 0) != 0)
        return errno;
    if (group && *group && setxattr(backing.c_str(), kGroupXattr, group, strlen(group), 0) != 0)
        return errno;
    return 0;
}

int SetNumberXattr(const std::string& backing, const char* name, int64_t value) {
    const std::string text = std::to_string(value);
    return setxattr(backing.c_str(), name, text.data(), text.size(), 0) == 0 ? 0 : errno;
}

void InitializeNewEntry(const Instance& instance, const ResolvedPath& entry, bool directory) {
    chmod(entry.backing.c_str(), (directory ? 0777 : 0666) & ~instance.umask);
    if (instance.local)
        return;
    const ResolvedPath parent = ParentOf(instance, entry);
    struct stat st;
    const std::string group =
        stat(parent.backing.c_str(), &st) == 0 ? GroupOf(instance, parent.backing, st) : "";
    // A backing store without user xattrs keeps the IDs' names; that is all that is lost.
    SetOwnership(entry.backing, instance.user.c_str(), group.c_str());
}

}  // namespace localhdfs
