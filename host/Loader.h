// CEkLibrary: run-time loading of shared libraries (dlopen/dlsym).
//
// A loaded library is never unloaded (the library's function table keeps pointers into it):
// the destructor, and a second Load, only forget the handle. Errors carry the dlerror() text.
#pragma once

#include <string>

#include "host/Error.h"
#include "host/Export.h"

class HDFSAGENT_API CEkLibrary {
  public:
    CEkLibrary() = default;
    ~CEkLibrary() = default;
    CEkLibrary(const CEkLibrary&) = delete;
    CEkLibrary& operator=(const CEkLibrary&) = delete;

    // dlopen(path, RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL)). Fails with ENOENT and the
    // dlerror text (message "dlopen(<path>) failed: <dlerror>").
    CEkError Load(const std::string& path, bool global);
    // dlsym; `out` is null on failure (ENOENT, "dlsym(<name>) failed: <dlerror>").
    CEkError GetAddress(const std::string& name, void*& out);
    template <typename T>
    CEkError GetAddress(const std::string& name, T*& out) {
        void* p = nullptr;
        CEkError err = GetAddress(name, p);
        out = reinterpret_cast<T*>(p);
        return err;
    }

  private:
    void* m_hLibrary = nullptr;
};
