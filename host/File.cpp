#include "host/File.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "host/Path.h"

namespace {

// A descriptor closed on scope exit.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const { return m_fd; }
    int Release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset() {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

  private:
    int m_fd;
};

// Reads everything from fd; false with errno on a read error.
bool ReadAll(int fd, std::string& content) {
    content.clear();
    char buffer[65536];
    while (true) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            return true;
        content.append(buffer, static_cast<size_t>(got));
    }
}

void SyncDirectory(const std::string& directory) {
    int fd = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

// Creates "<dir>/.<name>.tmp.XXXXXX" for `path`, fills it through `fill` (which returns false
// with errno set), gives it `mode`, flushes it to disk and renames it over `path`. The temporary
// file is removed on every failure.
template <typename Fill>
CEkError ReplaceFile(const std::string& path, mode_t mode, Fill fill) {
    std::string parent, name;
    CEkError err = FXPath::SplitParentPath(path, parent, name);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    std::string temp = FXPath::Append(parent, "." + name + ".tmp.XXXXXX");
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot create a temporary file for %s",
                                       path.c_str());
    UniqueFd file(fd);
    auto fail = [&](const char* what) {
        int saved = errno;
        file.Reset();
        unlink(temp.c_str());
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, saved, "cannot %s %s", what, temp.c_str());
    };
    if (!fill(file.Get()))
        return fail("write");
    if (fchmod(file.Get(), mode) != 0)
        return fail("set the mode of");
    if (fsync(file.Get()) != 0)
        return fail("flush");
    if (close(file.Release()) != 0)
        return fail("close");
    if (rename(temp.c_str(), path.c_str()) != 0) {
        int saved = errno;
        unlink(temp.c_str());
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, saved, "cannot rename %s to %s", temp.c_str(),
                                       path.c_str());
    }
    SyncDirectory(parent);
    return CEkError();
}

void MatchIn(const std::string& directory, const std::string& name, std::list<std::string>& list,
             bool recursive) {
    DIR* dir = opendir(directory.c_str());
    if (!dir)
        return;
    while (struct dirent* entry = readdir(dir)) {
        std::string entryName = entry->d_name;
        if (entryName == "." || entryName == "..")
            continue;
        std::string full = FXPath::Append(directory, entryName);
        struct stat st;
        if (lstat(full.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (recursive)
                MatchIn(full, name, list, recursive);
            continue;
        }
        if (entryName != name)
            continue;
        // A link counts when it leads to a regular file; links to directories are not followed.
        if (S_ISLNK(st.st_mode) && stat(full.c_str(), &st) != 0)
            continue;
        if (S_ISREG(st.st_mode))
            list.push_back(full);
    }
    closedir(dir);
}

}  // namespace

bool FXFile::DoesFileExist(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

CEkError FXFile::GetMatchingFiles(const std::string& directory, const std::string& name,
                                  std::list<std::string>& list, bool recursive) {
    DIR* top = opendir(directory.c_str());
    if (!top)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot read directory %s",
                                       directory.c_str());
    closedir(top);
    MatchIn(directory, name, list, recursive);
    return CEkError();
}

CEkError FXFile::GetFileTimes(const std::string& path, time_t* created, time_t* modified,
                              time_t* accessed) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot stat %s", path.c_str());
    if (created)
        *created = st.st_ctime;
    if (modified)
        *modified = st.st_mtime;
    if (accessed)
        *accessed = st.st_atime;
    return CEkError();
}

CEkFile::~CEkFile() {
    (void)Close();
}

CEkError CEkFile::Open(const std::string& path, const char* mode) {
    (void)Close();
    std::string fullMode = mode ? mode : "r";
    fullMode += "e";  // O_CLOEXEC
    m_pFile = fopen(path.c_str(), fullMode.c_str());
    if (!m_pFile)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot open %s", path.c_str());
    m_sPath = path;
    return CEkError();
}

CEkError CEkFile::Write(const void* data, uint32_t length) {
    if (!m_pFile)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EBADF, "file not open");
    if (length == 0)
        return CEkError();
    if (fwrite(data, 1, length, m_pFile) != length)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot write %s", m_sPath.c_str());
    return CEkError();
}

CEkError CEkFile::Read(void* data, uint32_t length, uint32_t& read) {
    read = 0;
    if (!m_pFile)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EBADF, "file not open");
    size_t got = fread(data, 1, length, m_pFile);
    read = static_cast<uint32_t>(got);
    if (got < length && ferror(m_pFile))
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot read %s", m_sPath.c_str());
    return CEkError();
}

CEkError CEkFile::Close() {
    if (!m_pFile)
        return CEkError();
    FILE* file = m_pFile;
    m_pFile = nullptr;
    if (fclose(file) != 0)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot close %s", m_sPath.c_str());
    return CEkError();
}

CEkError CEkFile::ReadWholeFile(const std::string& path, std::vector<char>& buffer, size_t& size) {
    std::string content;
    CEkError err = ReadWholeFile(path, content);
    if (err.Failed()) {
        buffer.clear();
        size = 0;
        return err.Push(FX_LOCATION);
    }
    buffer.assign(content.begin(), content.end());
    buffer.push_back('\0');
    size = content.size();
    return CEkError();
}

CEkError CEkFile::ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot open %s", path.c_str());
    if (!ReadAll(fd.Get(), content))
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot read %s", path.c_str());
    return CEkError();
}

CEkError CEkFile::Copy(const std::string& source, const std::string& target) {
    UniqueFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.Get() < 0)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot open %s", source.c_str());
    struct stat st;
    if (fstat(in.Get(), &st) != 0)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot stat %s", source.c_str());
    if (S_ISDIR(st.st_mode))
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EISDIR, "cannot copy %s", source.c_str());
    CEkError err = ReplaceFile(target, st.st_mode & 07777, [&](int out) {
        char buffer[65536];
        while (true) {
            ssize_t got = read(in.Get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return false;
            if (got == 0)
                return true;
            if (!WriteAll(out, buffer, static_cast<size_t>(got)))
                return false;
        }
    });
    if (err.Failed())
        return err.Push(FX_LOCATION, "cannot copy %s to %s", source.c_str(), target.c_str());
    return CEkError();
}

CEkError CEkFile::WriteAtomically(const std::string& path, const std::string& content, int mode) {
    mode_t fileMode = 0644;
    struct stat st;
    if (mode >= 0)
        fileMode = static_cast<mode_t>(mode) & 07777;
    else if (stat(path.c_str(), &st) == 0)
        fileMode = st.st_mode & 07777;
    CEkError err = ReplaceFile(
        path, fileMode, [&](int out) { return WriteAll(out, content.data(), content.size()); });
    if (err.Failed())
        return err.Push(FX_LOCATION);
    return CEkError();
}

bool CEkFile::WriteAll(int fd, const void* data, size_t length) {
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = write(fd, next, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        next += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}
