// Local file descriptors: an owner that closes, and reads/writes that finish what they start.
#pragma once

#include <sys/types.h>

#include <cstddef>

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
    // Closes now; false with errno when close reports an error (a delayed write error).
    bool Close();

  private:
    int m_nFd;
};

// Writes all `length` bytes (EINTR and short writes continued); false with errno.
bool WriteAll(int fd, const void* data, size_t length);
// read() with EINTR retried.
ssize_t ReadSome(int fd, void* buffer, size_t length);

}  // namespace tool
