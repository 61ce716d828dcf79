#include "StandardError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/Settings.h"

namespace tool {

namespace {

FILE* g_pToolErr = nullptr;

// Closes a descriptor on every path that does not hand it on.
struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            close(fd);
    }
    int Release() {
        const int released = fd;
        fd = -1;
        return released;
    }
};

}  // namespace

FILE* ToolErr() {
    return g_pToolErr != nullptr ? g_pToolErr : stderr;
}

std::string ProductLogFile() {
    const std::string directory = DXPI_EventManager().getLogFilesDirectory();
    if (directory.empty())
        return std::string();
    // The product home exists by now; its log directory may not yet.
    mkdir(directory.c_str(), 0755);
    return directory + "/hdfsagent.log";
}

bool RouteStandardErrorToLog(const std::string& logFile, std::string& error) {
    if (g_pToolErr != nullptr)
        return true;
    FdCloser log{open(logFile.c_str(),
                      O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600)};
    if (log.fd < 0) {
        error = "cannot open the log file " + logFile + ": " + strerror(errno);
        return false;
    }
    fflush(stderr);
    FdCloser original{fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)};
    if (original.fd < 0) {
        error = std::string("cannot duplicate standard error: ") + strerror(errno);
        return false;
    }
    FILE* stream = fdopen(original.fd, "w");
    if (stream == nullptr) {
        error = std::string("cannot open a stream on standard error: ") + strerror(errno);
        return false;
    }
    original.Release();
    setvbuf(stream, nullptr, _IONBF, 0);
    // dup2 leaves fd 2 inheritable, so the programs the library starts write there too.
    if (dup2(log.fd, STDERR_FILENO) < 0) {
        error = std::string("cannot point standard error at the log: ") + strerror(errno);
        fclose(stream);
        return false;
    }
    g_pToolErr = stream;
    return true;
}

}  // namespace tool
