// DxNamedMutex: a lock shared by every holder of the same name, in this process and in others.
//
// Implemented with flock() on "<lock dir>/<name>.lock" (lock dir: $HDFSAGENT_LOCK_DIR, else
// <product home>/locks, created on demand, else /tmp). Each object opens its own file
// description (O_CLOEXEC), so two objects of one process exclude each other too. lock() blocks
// until held; destroying the object releases the lock. Calling lock() again on an object that
// holds the lock changes nothing. A "/" in the name becomes "_" in the file name, so no name
// leads out of the lock directory.
#pragma once

#include <string>

#include "host/Error.h"
#include "host/Export.h"

class HDFSAGENT_API DxNamedMutex {
  public:
    explicit DxNamedMutex(const char* name);
    ~DxNamedMutex();
    DxNamedMutex(const DxNamedMutex&) = delete;
    DxNamedMutex& operator=(const DxNamedMutex&) = delete;

    // Blocks until held. Fails (and holds nothing) when the lock file cannot be opened.
    CEkError lock();
    void unlock();
    bool IsLocked() const { return m_bLocked; }

  private:
    std::string m_sName;
    int m_hFile = -1;
    bool m_bLocked = false;
};
