// File information records: hdfsGetPathInfo, hdfsListDirectory, their release, and the encryption
// flag kept behind the owner string.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "Errors.h"
#include "Operations.h"

namespace localhdfs {

namespace {

// The real library allocates the owner string with a private trailer: after the terminating NUL,
// padded to 8 bytes, an int of flags (bit 0: the file lies in an encryption zone).
constexpr int kEncryptedFlag = 1;

size_t TrailerOffset(const char* owner) {
    return (strlen(owner) + 1 + 7) & ~static_cast<size_t>(7);
}

char* AllocateOwner(const std::string& owner, bool encrypted) {
    const size_t offset = (owner.size() + 1 + 7) & ~static_cast<size_t>(7);
    char* text = static_cast<char*>(calloc(1, offset + sizeof(int)));
    if (!text)
        return nullptr;
    memcpy(text, owner.c_str(), owner.size() + 1);
    const int flags = encrypted ? kEncryptedFlag : 0;
    memcpy(text + offset, &flags, sizeof flags);
    return text;
}

// Zone roots from $HADOOP_CONF_DIR/encryption-zones ("<zone root>\t<key name>" per line).
std::vector<std::string> EncryptionZones(const Instance& instance) {
    std::vector<std::string> zones;
    if (instance.local || instance.conf.Directory().empty())
        return zones;
    std::ifstream in(instance.conf.Directory() + "/encryption-zones");
    std::string line;
    while (std::getline(in, line)) {
        std::string zone = line.substr(0, line.find('\t'));
        while (zone.size() > 1 && zone.back() == '/')
            zone.pop_back();
        if (!zone.empty() && zone[0] == '/')
            zones.push_back(zone);
    }
    return zones;
}

bool InZone(const std::string& path, const std::vector<std::string>& zones) {
    for (const std::string& zone : zones)
        if (zone == "/" || path == zone || path.rfind(zone + "/", 0) == 0)
            return true;
    return false;
}

void ReleaseStrings(hdfsFileInfo& info) {
    free(info.mName);
    free(info.mOwner);
    free(info.mGroup);
    info.mName = info.mOwner = info.mGroup = nullptr;
}

// Fills one record; throws std::bad_alloc (leaving nothing allocated) when memory runs out.
void Fill(const Instance& instance, const ResolvedPath& entry, const struct stat& st,
          const std::vector<std::string>& zones, IdNames& names, hdfsFileInfo& info) {
    const bool directory = S_ISDIR(st.st_mode);
    const Attributes attributes = AttributesOf(instance, entry.backing, st, names);
    info.mKind = directory ? kObjectKindDirectory : kObjectKindFile;
    info.mLastMod = st.st_mtime;
    info.mLastAccess = st.st_atime;
    info.mSize = directory ? 0 : st.st_size;
    info.mReplication = static_cast<short>(attributes.replication);
    info.mBlockSize = attributes.blockSize;
    info.mPermissions = static_cast<short>(st.st_mode & 07777);
    info.mName = strdup(entry.uri.c_str());
    info.mOwner = AllocateOwner(attributes.owner, InZone(entry.path, zones));
    info.mGroup = strdup(attributes.group.c_str());
    if (!info.mName || !info.mOwner || !info.mGroup) {
        ReleaseStrings(info);
        throw std::bad_alloc();
    }
}

// stat of an existing path; a missing one (or one below a file) is "not found".
bool StatExisting(const ResolvedPath& entry, struct stat& st) {
    if (stat(entry.backing.c_str(), &st) == 0)
        return true;
    if (errno == ENOENT || errno == ENOTDIR)
        FailNotFound(entry.path);
    else
        FailSystem(errno, "getFileInfo", entry.path);
    return false;
}

// The names in a directory, without "." and ".."; 0 or the errno of a failed read.
int ReadNames(DIR* dir, std::vector<std::string>& names) {
    for (;;) {
        errno = 0;
        const struct dirent* entry = readdir(dir);
        if (!entry)
            return errno;
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
}

struct ArrayDeleter {
    int count = 0;
    void operator()(hdfsFileInfo* infos) const { FreeFileInfo(infos, count); }
};

}  // namespace

hdfsFileInfo* GetPathInfo(hdfsFS fs, const char* path) {
    InstancePtr instance = OpenInstance(fs);
    ResolvedPath entry;
    struct stat st;
    if (!instance || !Resolve(*instance, path, entry) || !StatExisting(entry, st))
        return nullptr;
    auto* info = static_cast<hdfsFileInfo*>(calloc(1, sizeof(hdfsFileInfo)));
    if (!info)
        throw std::bad_alloc();
    try {
        IdNames names;
        Fill(*instance, entry, st, EncryptionZones(*instance), names, *info);
    } catch (...) {
        free(info);
        throw;
    }
    return info;
}

hdfsFileInfo* ListDirectory(hdfsFS fs, const char* path, int* numEntries) {
    InstancePtr instance = OpenInstance(fs);
    ResolvedPath directory;
    struct stat st;
    if (!instance || !Resolve(*instance, path, directory) || !StatExisting(directory, st))
        return nullptr;
    if (!numEntries) {
        FailInvalid("numEntries is null");
        return nullptr;
    }

    // A plain file lists as itself (Hadoop's listStatus).
    std::vector<std::pair<ResolvedPath, struct stat>> entries;
    if (!S_ISDIR(st.st_mode)) {
        entries.emplace_back(directory, st);
    } else {
        std::vector<std::string> names;
        std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.backing.c_str()), closedir);
        const int error = dir ? ReadNames(dir.get(), names) : errno;
        if (error != 0) {
            FailSystem(error, "listStatus", directory.path);
            return nullptr;
        }
        std::sort(names.begin(), names.end());  // the name node lists in byte order
        for (const std::string& name : names) {
            struct stat childStat;
            // An entry that vanished (or a dangling link) since the directory was read is skipped.
            if (fstatat(dirfd(dir.get()), name.c_str(), &childStat, 0) == 0)
                entries.emplace_back(Child(*instance, directory, name), childStat);
        }
    }

    if (entries.empty()) {
        *numEntries = 0;
        return nullptr;  // an empty directory: NULL with errno 0
    }
    auto* raw = static_cast<hdfsFileInfo*>(calloc(entries.size(), sizeof(hdfsFileInfo)));
    if (!raw)
        throw std::bad_alloc();
    std::unique_ptr<hdfsFileInfo, ArrayDeleter> infos(
        raw, ArrayDeleter{static_cast<int>(entries.size())});
    const std::vector<std::string> zones = EncryptionZones(*instance);
    IdNames names;
    for (size_t i = 0; i < entries.size(); ++i)
        Fill(*instance, entries[i].first, entries[i].second, zones, names, infos.get()[i]);
    *numEntries = static_cast<int>(entries.size());
    return infos.release();
}

void FreeFileInfo(hdfsFileInfo* infos, int numEntries) {
    if (!infos)
        return;
    for (int i = 0; i < numEntries; ++i)
        ReleaseStrings(infos[i]);
    free(infos);
}

int FileIsEncrypted(const hdfsFileInfo* info) {
    if (!info || !info->mOwner)
        return 0;
    int flags = 0;
    memcpy(&flags, info->mOwner + TrailerOffset(info->mOwner), sizeof flags);
    return (flags & kEncryptedFlag) ? 1 : 0;
}

}  // namespace localhdfs
