#include "host/NamedMutex.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "host/Log.h"
#include "host/Path.h"
#include "host/Settings.h"

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string LockDirectory() {
    const char* configured = getenv("HDFSAGENT_LOCK_DIR");
    if (configured && *configured)
        return configured;
    std::string home = DXPI_Base::getHomeDirectory();
    if (IsDirectory(home)) {
        std::string locks = FXPath::Append(home, "locks");
        if (mkdir(locks.c_str(), 0755) == 0 || IsDirectory(locks))
            return locks;
    }
    return "/tmp";
}

// Lock names become file names: anything that could leave the directory is replaced.
std::string FileNameFor(const std::string& name) {
    std::string safe = name.empty() ? std::string("unnamed") : name;
    for (char& c : safe)
        if (c == '/' || c == '\0')
            c = '_';
    if (safe == "." || safe == "..")
        safe = "_" + safe;
    return safe + ".lock";
}

}  // namespace

DxNamedMutex::DxNamedMutex(const char* name) : m_sName(name ? name : "") {}

DxNamedMutex::~DxNamedMutex() {
    unlock();
}

CEkError DxNamedMutex::lock() {
    if (m_bLocked)
        return CEkError();  // already held through this object
    std::string path = FXPath::Append(LockDirectory(), FileNameFor(m_sName));
    // A fresh open file description per object: flock excludes descriptions, not processes.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    // flock needs no write access: a lock file created by another user still serves.
    if (fd < 0 && errno == EACCES)
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        CEkError err =
            FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot open lock file %s", path.c_str());
        DXLOG(-1, "%s", err.AsString().c_str());
        return err;
    }
    while (flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR)
            continue;
        CEkError err = FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot lock %s", path.c_str());
        close(fd);
        DXLOG(-1, "%s", err.AsString().c_str());
        return err;
    }
    m_hFile = fd;
    m_bLocked = true;
    return CEkError();
}

void DxNamedMutex::unlock() {
    if (m_hFile >= 0) {
        flock(m_hFile, LOCK_UN);
        close(m_hFile);
    }
    m_hFile = -1;
    m_bLocked = false;
}
