#include "Launch.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Paths.h"
#include "host/Settings.h"

namespace tool {

namespace {

// Marks the re-executed process, so that a loader path that still lacks the home (an
// unreadable home, say) cannot make the tool exec itself forever.
const char kReexecMarker[] = "HDFSAGENT_TOOL_REEXEC";

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

bool LoaderPathHolds(const std::string& dir) {
    const char* value = getenv("LD_LIBRARY_PATH");
    if (value == nullptr)
        return false;
    const std::string wanted = RealPath(dir);
    std::string list = value;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(':', pos);
        if (end == std::string::npos)
            end = list.size();
        const std::string entry = list.substr(pos, end - pos);
        if (!entry.empty() && (entry == dir || RealPath(entry) == wanted))
            return true;
        pos = end + 1;
    }
    return false;
}

}  // namespace

void EnsureLoaderPath(char** argv) {
    const bool reexecuted = getenv(kReexecMarker) != nullptr;
    unsetenv(kReexecMarker);
    const std::string home = DXPI_Base::getHomeDirectory();
    setenv("HDFSAGENT_HOME", home.c_str(), 1);
    if (LoaderPathHolds(home) || reexecuted)
        return;

    const char* old = getenv("LD_LIBRARY_PATH");
    const std::string path = home + (old != nullptr && *old != '\0' ? ":" + std::string(old) : "");
    setenv("LD_LIBRARY_PATH", path.c_str(), 1);
    setenv(kReexecMarker, "1", 1);
    const std::string self = ExecutablePath();
    execv(self.empty() ? "/proc/self/exe" : self.c_str(), argv);
    fprintf(stderr,
            "hdfsagent: cannot re-execute %s with the product home on LD_LIBRARY_PATH: %s\n",
            self.c_str(), strerror(errno));
    unsetenv(kReexecMarker);
}

}  // namespace tool
