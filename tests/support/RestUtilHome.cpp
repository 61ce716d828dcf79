#include "support/RestUtilHome.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace testsupport {

RestUtilHome::RestUtilHome() : m_home("hdfsagent-restutil") {
    fs::create_directories(dxjars());
    fs::create_directories(configDir());
    fs::create_directories(logDir());
    for (const char* name : {"dxhdfsutil.jar", "dxhdfsutil-nodep.jar", "dxhadooputil.properties",
                             "dxhadooplog4j.properties"}) {
        fs::create_symlink(std::string(LOCALCLUSTER_UTILSERVER_DIR) + "/" + name,
                           dxjars() + "/" + name);
    }
    Settings("");
    m_env.emplace_back("HDFSAGENT_HOME", home());
    m_env.emplace_back("HDFSAGENT_SETTINGS", m_home / "settings.ini");
    m_env.emplace_back("HDFSAGENT_LOG_DIR", logDir());
    m_env.emplace_back("HDFSAGENT_RESTUTIL_RETRY_MS", "250");
}

void RestUtilHome::Settings(const std::string& text) const {
    // 60 attempts of 250 ms: room for a JVM starting on a loaded machine. A later line of the
    // test's own text wins.
    WriteFile(m_home / "settings.ini", "[FileSystemAgent]\nnHadoopRestUtilWaitTime=600\n" + text);
}

void RestUtilHome::ServiceProperties(const std::string& extraLines) const {
    WriteFile(serviceProperties(),
              ReadFile(std::string(LOCALCLUSTER_UTILSERVER_DIR) + "/dxhadooputil.properties") +
                  extraLines);
}

std::string PropertyValue(const std::string& file, const std::string& key) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            return line.substr(key.size() + 1);
    }
    return "";
}

bool ProcessExists(pid_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

std::vector<std::string> ProcessArguments(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> args;
    std::string arg;
    while (std::getline(in, arg, '\0'))
        args.push_back(arg);
    return args;
}

namespace {

bool IsZombie(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    const size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close, 3, ") Z") == 0;
}

}  // namespace

std::vector<pid_t> ProcessesWithArgument(const std::string& fragment) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        for (const std::string& arg : ProcessArguments(pid)) {
            if (arg.find(fragment) != std::string::npos && !IsZombie(pid)) {
                found.push_back(pid);
                break;
            }
        }
    }
    return found;
}

std::vector<pid_t> WaitUntilNoProcessWithArgument(const std::string& fragment, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<pid_t> alive = ProcessesWithArgument(fragment);
    while (!alive.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        alive = ProcessesWithArgument(fragment);
    }
    return alive;
}

}  // namespace testsupport
