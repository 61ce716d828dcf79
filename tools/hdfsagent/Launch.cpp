#include "Launch.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "host/Settings.h"

namespace tool {

namespace fs = std::filesystem;

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

bool IsDirectory(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

bool IsFile(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
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

std::string ExecutablePath() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.string();
}

bool FindLocalcluster(LocalclusterPieces& pieces, std::string& error) {
    // An installed tool: <prefix>/bin/hdfsagent with <prefix>/share/hdfsagent beside it.
    const fs::path exe = ExecutablePath();
    const fs::path share = exe.parent_path().parent_path() / "share" / "hdfsagent";
    LocalclusterPieces installed;
    installed.binDir = (share / "localcluster" / "bin").string();
    installed.kdcDir = (share / "localcluster" / "kdc").string();
    installed.libhdfs = (share / "localcluster" / "libhdfs" / "libhdfs.so").string();
    installed.dxjarsDir = (share / "dxjars").string();
    installed.templatesDir = installed.dxjarsDir;

    // The build tree this program was built in.
    LocalclusterPieces built;
    built.binDir = HDFSAGENT_BUILD_LOCALCLUSTER_BIN;
    built.kdcDir = HDFSAGENT_BUILD_LOCALCLUSTER_KDC;
    built.libhdfs = std::string(HDFSAGENT_BUILD_LOCALCLUSTER_LIBHDFS) + "/libhdfs.so";
    built.dxjarsDir = HDFSAGENT_BUILD_DXJARS;
    built.templatesDir = HDFSAGENT_BUILD_TEMPLATES;

    for (const LocalclusterPieces* candidate : {&installed, &built}) {
        if (IsFile(candidate->binDir + "/hadoop") && IsDirectory(candidate->kdcDir) &&
            IsFile(candidate->libhdfs) && IsFile(candidate->dxjarsDir + "/dxhdfsutil.jar") &&
            IsFile(candidate->templatesDir + "/dxhadoopnativelog4j.properties")) {
            pieces = *candidate;
            return true;
        }
    }
    error =
        "cannot find the localcluster stand-ins (looked in " + share.string() + " and in " +
        std::string(HDFSAGENT_BUILD_DXJARS) +
        "/..); build them with `cmake --build <build dir>` or install them with `cmake --install "
        "<build dir> --component localcluster`";
    return false;
}

}  // namespace tool
