// Local files: a descriptor owner that closes, reads/writes that finish what they start, and
// opening below a directory descriptor without following any symbolic link.
//
// The tool runs as root on machines other users share, and its backup directories may lie where
// they can write. Every file and directory inside a backup is therefore reached from a directory
// descriptor, one component at a time or in one openat2 call that refuses links, so a link
// planted anywhere below the descriptor is never followed and nothing outside it is reached.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tool {

class CFd {
  public:
    explicit CFd(int fd = -1) : m_nFd(fd) {}
    ~CFd();
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;

    int Get() const { return m_nFd; }
    bool IsOpen() const { return m_nFd >= 0; }
    void Reset(int fd);
    // Gives up ownership: the descriptor is returned and no longer closed here.
    int Release();
    // Closes now; false with errno when close reports an error (a delayed write error).
    bool Close();

  private:
    int m_nFd;
};

// True for "a/b/c": a relative path of components other than "", "." and "..", without NUL.
bool IsRelativeBeneath(const std::string& relative);
// Opens `relative` ("a/b/c": components without "", "." or "..") below the directory `dirFd`
// without following a symbolic link in any component. `flags` as for openat (O_NOFOLLOW and
// O_CLOEXEC are added); -1 with errno on failure: ELOOP (or ENOTDIR) for a link, EINVAL for a
// path that is not relative or leaves the directory. Thread-safe.
int OpenBeneath(int dirFd, const std::string& relative, int flags, mode_t mode = 0);
// Opens `relative` below `dirFd` (as OpenBeneath) for reading and requires a regular file: a
// FIFO, device or socket is refused without blocking on it or reading it. -1 on failure with
// the reason in `why` ("not a regular file", or the errno text).
int OpenRegularBeneath(int dirFd, const std::string& relative, std::string& why);
// Makes the directory `relative` below `dirFd` (its parent must exist), following no link.
// False with errno (EEXIST when something is there already).
bool MakeDirectoryBeneath(int dirFd, const std::string& relative, mode_t mode);
// Removes the file `relative` below `dirFd` (a link is removed, not followed). False with errno.
bool RemoveFileBeneath(int dirFd, const std::string& relative);
// Removes `name` in `dirFd` and, when it is a directory, everything below it, following no link
// (each directory is opened with O_NOFOLLOW from its parent's descriptor). False with errno.
bool RemoveTreeAt(int dirFd, const std::string& name);
// Makes OpenBeneath walk component by component as on kernels without openat2 (for tests).
void UseComponentWalkForTesting(bool on);

// Hands a file that is being written to the disk piece by piece while it grows, so that the
// final sync has little left to do, and drops each piece from the page cache once it is on disk,
// so that writing a large tree neither floods memory with dirty pages nor evicts everything
// else. Files smaller than one piece are left to the one sync at the end. Disabled, it does
// nothing. Not thread-safe: one per file being written.
class CWriteBehind {
  public:
    static const uint64_t kPieceBytes = 8u << 20;

    CWriteBehind(int fd, bool enabled) : m_nFd(enabled ? fd : -1) {}
    // Notes that the file now holds `written` bytes; starts writing back what a full piece
    // holds and waits for (and drops) the piece before it.
    void Wrote(uint64_t written);

  private:
    int m_nFd;
    uint64_t m_nWrittenBack = 0;
    uint64_t m_nDroppedUpTo = 0;
};

// Writes all `length` bytes (EINTR and short writes continued); false with errno.
bool WriteAll(int fd, const void* data, size_t length);
// read() with EINTR retried.
ssize_t ReadSome(int fd, void* buffer, size_t length);

}  // namespace tool
