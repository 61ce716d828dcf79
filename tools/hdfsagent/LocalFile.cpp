#include "LocalFile.h"

#include <errno.h>
#include <unistd.h>

namespace tool {

CFd::~CFd() {
    if (m_nFd >= 0)
        close(m_nFd);
}

void CFd::Reset(int fd) {
    if (m_nFd >= 0)
        close(m_nFd);
    m_nFd = fd;
}

bool CFd::Close() {
    if (m_nFd < 0)
        return true;
    const int rc = close(m_nFd);
    m_nFd = -1;
    return rc == 0;
}

bool WriteAll(int fd, const void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = write(fd, p, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

ssize_t ReadSome(int fd, void* buffer, size_t length) {
    ssize_t n;
    do {
        n = read(fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace tool
