#include "LocalFile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "host/File.h"

namespace tool {

namespace {

// Cleared for good once the kernel answers openat2 with ENOSYS (older than 5.6), or by tests.
std::atomic<bool> g_bUseOpenat2{true};

// The components of a relative path, or false for anything that could leave the directory or
// name it twice ("", absolute, "." or ".." components, a trailing "/", a NUL).
bool SplitRelative(const std::string& relative, std::vector<std::string>& components) {
    if (relative.empty() || relative[0] == '/' || relative.find('\0') != std::string::npos)
        return false;
    size_t pos = 0;
    while (pos <= relative.size()) {
        size_t end = relative.find('/', pos);
        if (end == std::string::npos)
            end = relative.size();
        std::string component = relative.substr(pos, end - pos);
        if (component.empty() || component == "." || component == "..")
            return false;
        components.push_back(std::move(component));
        pos = end + 1;
    }
    return true;
}

int OpenWithOpenat2(int dirFd, const std::string& relative, int flags, mode_t mode) {
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd;
    do {
        fd = syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how);
    } while (fd < 0 && (errno == EINTR || errno == EAGAIN));
    return static_cast<int>(fd);
}

int OpenByComponents(int dirFd, const std::vector<std::string>& components, int flags,
                     mode_t mode) {
    CFd current;
    int at = dirFd;
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        const int next =
            openat(at, components[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return -1;
        current.Reset(next);
        at = next;
    }
    return openat(at, components.back().c_str(), flags, mode);
}

}  // namespace

bool IsRelativeBeneath(const std::string& relative) {
    std::vector<std::string> components;
    return SplitRelative(relative, components);
}

void UseComponentWalkForTesting(bool on) {
    g_bUseOpenat2 = !on;
}

int OpenBeneath(int dirFd, const std::string& relative, int flags, mode_t mode) {
    std::vector<std::string> components;
    if (!SplitRelative(relative, components)) {
        errno = EINVAL;
        return -1;
    }
    flags |= O_NOFOLLOW | O_CLOEXEC;
    if (g_bUseOpenat2) {
        const int fd = OpenWithOpenat2(dirFd, relative, flags, mode);
        if (fd >= 0 || errno != ENOSYS)
            return fd;
        g_bUseOpenat2 = false;
    }
    return OpenByComponents(dirFd, components, flags, mode);
}

int OpenRegularBeneath(int dirFd, const std::string& relative, std::string& why) {
    // Non-blocking, so that opening a FIFO returns at once instead of waiting for a writer.
    CFd fd(OpenBeneath(dirFd, relative, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (!fd.IsOpen() || fstat(fd.Get(), &st) != 0) {
        why = errno == ELOOP ? "a symbolic link is in its path" : strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return -1;
    }
    const int fileFlags = fcntl(fd.Get(), F_GETFL);
    if (fileFlags < 0 || fcntl(fd.Get(), F_SETFL, fileFlags & ~O_NONBLOCK) != 0) {
        why = strerror(errno);
        return -1;
    }
    const int result = fd.Get();
    fd.Release();
    return result;
}

namespace {

// Runs `action(parentFd, name)` on the last component of `relative` below `dirFd`.
template <typename Action>
bool AtParent(int dirFd, const std::string& relative, Action action) {
    std::vector<std::string> components;
    if (!SplitRelative(relative, components)) {
        errno = EINVAL;
        return false;
    }
    const size_t slash = relative.rfind('/');
    if (slash == std::string::npos)
        return action(dirFd, components.back().c_str());
    CFd parent(OpenBeneath(dirFd, relative.substr(0, slash), O_RDONLY | O_DIRECTORY));
    return parent.IsOpen() && action(parent.Get(), components.back().c_str());
}

}  // namespace

bool MakeDirectoryBeneath(int dirFd, const std::string& relative, mode_t mode) {
    return AtParent(dirFd, relative, [mode](int parent, const char* name) {
        return mkdirat(parent, name, mode) == 0;
    });
}

bool RemoveFileBeneath(int dirFd, const std::string& relative) {
    return AtParent(dirFd, relative,
                    [](int parent, const char* name) { return unlinkat(parent, name, 0) == 0; });
}

bool RemoveTreeAt(int dirFd, const std::string& name) {
    if (unlinkat(dirFd, name.c_str(), 0) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM)
        return false;
    const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    bool ok = true;
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* item = readdir(dir)) {
        const std::string child = item->d_name;
        if (child != "." && child != "..")
            names.push_back(child);
    }
    int saved = errno;
    for (const std::string& child : names) {
        if (ok && !RemoveTreeAt(dirfd(dir), child)) {
            ok = false;
            saved = errno;
        }
    }
    closedir(dir);
    if (!ok || saved != 0) {
        errno = saved;
        return false;
    }
    return unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0;
}

CFd::~CFd() {
    if (m_nFd >= 0)
        close(m_nFd);
}

void CFd::Reset(int fd) {
    if (m_nFd >= 0)
        close(m_nFd);
    m_nFd = fd;
}

int CFd::Release() {
    const int fd = m_nFd;
    m_nFd = -1;
    return fd;
}

bool CFd::Close() {
    if (m_nFd < 0)
        return true;
    const int rc = close(m_nFd);
    m_nFd = -1;
    return rc == 0;
}

void CWriteBehind::Wrote(uint64_t written) {
    if (m_nFd < 0 || written - m_nWrittenBack < kPieceBytes)
        return;
    // The piece before the one about to start is on disk by now (or soon): wait for it and drop
    // it from the page cache.
    if (m_nWrittenBack > m_nDroppedUpTo) {
        sync_file_range(
            m_nFd, static_cast<off64_t>(m_nDroppedUpTo),
            static_cast<off64_t>(m_nWrittenBack - m_nDroppedUpTo),
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        posix_fadvise(m_nFd, static_cast<off_t>(m_nDroppedUpTo),
                      static_cast<off_t>(m_nWrittenBack - m_nDroppedUpTo), POSIX_FADV_DONTNEED);
        m_nDroppedUpTo = m_nWrittenBack;
    }
    sync_file_range(m_nFd, static_cast<off64_t>(m_nWrittenBack),
                    static_cast<off64_t>(written - m_nWrittenBack), SYNC_FILE_RANGE_WRITE);
    m_nWrittenBack = written;
}

bool WriteAll(int fd, const void* data, size_t length) {
    return CEkFile::WriteAll(fd, data, length);
}

ssize_t ReadSome(int fd, void* buffer, size_t length) {
    ssize_t n;
    do {
        n = read(fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace tool
