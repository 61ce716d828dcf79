#include "support/HadoopDiscovery.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "host/Settings.h"

namespace testsupport {
namespace discovery {

namespace {

// The system's copy of `program`, whatever PATH the test has set; "" when there is none.
std::string SystemProgram(const std::string& program) {
    for (const char* dir : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"}) {
        std::string candidate = dir + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

}  // namespace

ToolDir::ToolDir(const std::vector<std::string>& programs) {
    for (const std::string& program : programs) {
        std::string target = SystemProgram(program);
        if (!target.empty())
            Link(program, target);
    }
}

void ToolDir::Link(const std::string& name, const std::string& target) const {
    std::string link = m_dir / name;
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0)
        throw std::runtime_error("symlink failed: " + link);
}

void ToolDir::AddLocate(const std::string& database) {
    Link("locate", std::string(LOCALCLUSTER_BIN_DIR) + "/locate");
    m_env.emplace_back("LOCATE_DB", database);
}

std::vector<std::string> ShellTools() {
    return {"sh",   "which", "grep",  "awk",     "mawk",     "sed",      "sort",
            "uniq", "cat",   "sleep", "dirname", "readlink", "basename", "plocate",
            "env",  "tr",    "cut",   "head",    "ls"};
}

void BuildLocateDatabase(const std::string& tree, const std::string& database) {
    std::string command = SystemProgram("updatedb") +
                          " -l no --prunepaths '' --prunefs '' --prunenames '' -U '" + tree +
                          "' -o '" + database + "'";
    if (Shell(command) != 0)
        throw std::runtime_error("updatedb failed: " + command);
}

std::string RealPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (!realpath(path.c_str(), buffer))
        throw std::runtime_error("realpath failed: " + path);
    return buffer;
}

std::string RealJdkHome() {
    std::string java = RealPath("/usr/bin/java");
    return java.substr(0, java.size() - std::strlen("/bin/java"));
}

std::string RealJdkLibDir() {
    return RealJdkHome() + "/lib/server";
}

std::string SavedLibPath() {
    std::string value;
    DXPlatformInfo::getString("FileSystemAgent", "HDP_LIB_PATH", value);
    return value;
}

}  // namespace discovery
}  // namespace testsupport
