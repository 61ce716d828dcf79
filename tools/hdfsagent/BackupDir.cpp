#include "BackupDir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace tool {

namespace {

// The content of a backed-up root that is a file rather than a directory, inside `data`.
const char kRootFileName[] = "@root";
// How many earlier backups a chain may have; a longer one is a loop or a damaged header.
const size_t kMaxChainLength = 1000;

std::string ErrnoText(const std::string& what, const std::string& path, int error) {
    return what + " " + path + ": " + strerror(error);
}

bool IsLeftover(const std::string& name) {
    return name == kDataDirName || name == kManifestPartialName;
}

bool IsSymbolicLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string RelativeToData(const std::string& entryPath) {
    return entryPath == "." ? kRootFileName : entryPath;
}

}  // namespace

// ---- destination ----------------------------------------------------------------------------

bool CBackupDestination::Open(const std::string& path, std::string& warning, std::string& error) {
    m_sPath = path;
    m_oDir.Reset(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!m_oDir.IsOpen()) {
        const int saved = errno;
        if (IsSymbolicLink(path))
            error = path + " is a symbolic link; give the directory itself";
        else if (saved == ENOTDIR)
            error = path + " is not a directory";
        else
            error = ErrnoText("cannot open", path, saved);
        return false;
    }
    // On the open directory itself: no name another user could swap, and the lock ends with
    // this process however it ends.
    if (flock(m_oDir.Get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK
                    ? path +
                          " is in use by another backup; wait for it to end or back up into "
                          "another directory"
                    : ErrnoText("cannot lock", path, errno);
        m_oDir.Reset(-1);
        return false;
    }
    struct stat st;
    if (fstat(m_oDir.Get(), &st) != 0) {
        error = ErrnoText("cannot read", path, errno);
        m_oDir.Reset(-1);
        return false;
    }
    warning.clear();
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        warning = path + " can be written by other users (owner uid " + std::to_string(st.st_uid) +
                  ", mode " + mode +
                  "): they could change the backup; back up into a directory only you can write";
    }
    return true;
}

bool CBackupDestination::Create(const std::string& path, std::string& warning, std::string& error) {
    std::error_code ec;
    if (!IsSymbolicLink(path))
        fs::create_directories(path, ec);
    if (ec) {
        error = "cannot create " + path + ": " + ec.message();
        return false;
    }
    return Open(path, warning, error);
}

bool CBackupDestination::Check(bool& leftovers, std::string& error) const {
    leftovers = false;
    // A new open file description: the directory's own stays unread for everything else.
    const int fd = openat(m_oDir.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        error = ErrnoText("cannot read", m_sPath, errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    std::string other;
    bool manifest = false;
    errno = 0;
    while (struct dirent* item = readdir(dir)) {
        const std::string name = item->d_name;
        if (name == "." || name == "..")
            continue;
        if (name == kManifestName)
            manifest = true;
        else if (IsLeftover(name))
            leftovers = true;
        else if (other.empty())
            other = name;
    }
    const int readError = errno;
    closedir(dir);
    if (readError != 0) {
        error = ErrnoText("cannot read", m_sPath, readError);
        return false;
    }
    if (manifest) {
        error = m_sPath + " already holds a backup; back up into a new directory";
        return false;
    }
    if (!other.empty()) {
        error = m_sPath + " is not empty (it holds " + other + "); back up into a new directory";
        return false;
    }
    return true;
}

bool CBackupDestination::RemoveLeftovers(std::string& error) {
    for (const char* name : {kDataDirName, kManifestPartialName}) {
        if (!RemoveTreeAt(m_oDir.Get(), name)) {
            error = ErrnoText("cannot clean", m_sPath + "/" + name, errno);
            return false;
        }
    }
    return true;
}

bool CBackupDestination::MakeDataDirectory(std::string& error) {
    const std::string shown = m_sPath + "/" + kDataDirName;
    if (mkdirat(m_oDir.Get(), kDataDirName, 0755) != 0) {
        error = ErrnoText("cannot create", shown, errno);
        return false;
    }
    m_oData.Reset(
        openat(m_oDir.Get(), kDataDirName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!m_oData.IsOpen()) {
        error = ErrnoText("cannot open", shown, errno);
        return false;
    }
    return true;
}

std::string CBackupDestination::DataLocation(const std::string& entryPath) {
    return std::string(kDataDirName) + "/" + RelativeToData(entryPath);
}

std::string CBackupDestination::Shown(const std::string& entryPath) const {
    return m_sPath + "/" + DataLocation(entryPath);
}

bool CBackupDestination::MakeDirectory(const std::string& entryPath, std::string& error) const {
    if (MakeDirectoryBeneath(m_oData.Get(), RelativeToData(entryPath), 0755))
        return true;
    error = ErrnoText("cannot create", Shown(entryPath), errno);
    return false;
}

int CBackupDestination::CreateFile(const std::string& entryPath, std::string& error) const {
    const int fd =
        OpenBeneath(m_oData.Get(), RelativeToData(entryPath), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        error = ErrnoText("cannot create", Shown(entryPath), errno);
    return fd;
}

void CBackupDestination::RemoveFile(const std::string& entryPath) const {
    RemoveFileBeneath(m_oData.Get(), RelativeToData(entryPath));
}

// ---- chain ----------------------------------------------------------------------------------

void CBackupChain::Add(const std::string& dir, const std::string& prefix) {
    std::unique_ptr<Member> member(new Member);
    member->prefix = prefix;
    CFd backup(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (backup.IsOpen())
        member->data.Reset(
            openat(backup.Get(), kDataDirName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!member->data.IsOpen()) {
        const int saved = errno;
        const std::string shown = dir + "/" + kDataDirName;
        member->error = IsSymbolicLink(shown) ? "cannot open " + shown + ": a symbolic link"
                                              : ErrnoText("cannot open", shown, saved);
    }
    m_vMembers.push_back(std::move(member));
}

bool CBackupChain::Open(const std::string& dir, std::string& error) {
    m_sDir = dir;
    m_vMembers.clear();
    ManifestHeader header;
    {
        CManifestReader reader;
        if (!reader.Open(dir, error))
            return false;
        header = reader.Header();
    }
    Add(dir, kDataDirName);
    // `previous` is relative to the backup whose header names it.
    fs::path base;
    std::string previous = header.previous;
    while (!previous.empty() && fs::path(previous).is_relative() &&
           m_vMembers.size() <= kMaxChainLength) {
        base = (base / previous).lexically_normal();
        const std::string prefix = (base / kDataDirName).lexically_normal().string();
        for (const std::unique_ptr<Member>& member : m_vMembers)
            if (member->prefix == prefix)
                return true;  // a loop
        const std::string earlier = dir + "/" + base.string();
        Add(earlier, prefix);
        CManifestReader reader;
        std::string ignored;
        if (!reader.Open(earlier, ignored))
            break;
        previous = reader.Header().previous;
    }
    return true;
}

const CBackupChain::Member* CBackupChain::Find(const std::string& data,
                                               std::string& relative) const {
    for (const std::unique_ptr<Member>& member : m_vMembers) {
        const std::string& prefix = member->prefix;
        if (data.size() > prefix.size() + 1 && data.compare(0, prefix.size(), prefix) == 0 &&
            data[prefix.size()] == '/') {
            relative = data.substr(prefix.size() + 1);
            return member.get();
        }
    }
    return nullptr;
}

bool CBackupChain::Holds(const std::string& data, std::string& why) const {
    std::string relative;
    if (Find(data, relative) != nullptr && IsRelativeBeneath(relative))
        return true;
    why = "content location \"" + data +
          "\" lies outside the data directories of this backup and of the backups it builds on";
    return false;
}

int CBackupChain::OpenCopy(const std::string& data, std::string& why) const {
    if (!Holds(data, why))
        return -1;
    std::string relative;
    const Member* member = Find(data, relative);
    if (!member->data.IsOpen()) {
        why = member->error;
        return -1;
    }
    return OpenRegularBeneath(member->data.Get(), relative, why);
}

}  // namespace tool
