#include "host/Loader.h"

#include <dlfcn.h>
#include <errno.h>

namespace {

std::string LastDlError() {
    const char* text = dlerror();
    return text ? text : "unknown error";
}

}  // namespace

CEkError CEkLibrary::Load(const std::string& path, bool global) {
    m_hLibrary = nullptr;
    dlerror();  // clear a stale message
    void* handle = dlopen(path.c_str(), RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
    if (!handle)
        return CEkError::Failure(ENOENT, FX_LOCATION,
                                 "dlopen(" + path + ") failed: " + LastDlError());
    m_hLibrary = handle;
    return CEkError();
}

CEkError CEkLibrary::GetAddress(const std::string& name, void*& out) {
    out = nullptr;
    if (!m_hLibrary)
        return CEkError::Failure(ENOENT, FX_LOCATION,
                                 "dlsym(" + name + ") failed: no library loaded");
    dlerror();
    void* address = dlsym(m_hLibrary, name.c_str());
    if (!address) {
        const char* text = dlerror();
        return CEkError::Failure(
            ENOENT, FX_LOCATION,
            "dlsym(" + name + ") failed: " + (text ? text : "the symbol has a null address"));
    }
    out = address;
    return CEkError();
}
