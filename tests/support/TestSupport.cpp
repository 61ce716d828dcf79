#include "support/TestSupport.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir(const std::string& prefix) {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed: " + templ);
    m_path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave read-only directories behind; make everything writable before removal.
    for (auto it = fs::recursive_directory_iterator(m_path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            chmod(it->path().c_str(), 0700);
    }
    fs::remove_all(m_path, ec);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : m_name(name) {
    const char* old = getenv(name.c_str());
    m_hadValue = old != nullptr;
    if (old)
        m_oldValue = old;
    setenv(name.c_str(), value.c_str(), 1);
    m_active = true;
}

ScopedEnv ScopedEnv::unset(const std::string& name) {
    ScopedEnv env;
    env.m_name = name;
    const char* old = getenv(name.c_str());
    env.m_hadValue = old != nullptr;
    if (old)
        env.m_oldValue = old;
    unsetenv(name.c_str());
    env.m_active = true;
    return env;
}

ScopedEnv::ScopedEnv(ScopedEnv&& other) noexcept
    : m_name(std::move(other.m_name)),
      m_hadValue(other.m_hadValue),
      m_oldValue(std::move(other.m_oldValue)),
      m_active(other.m_active) {
    other.m_active = false;
}

ScopedEnv::~ScopedEnv() {
    if (!m_active)
        return;
    if (m_hadValue)
        setenv(m_name.c_str(), m_oldValue.c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

static std::vector<std::string> ReadCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> args;
    std::string arg;
    while (std::getline(in, arg, '\0'))
        args.push_back(arg);
    return args;
}

void ReexecWithEnvironment(const std::map<std::string, std::string>& vars) {
    bool satisfied = true;
    for (const auto& [name, value] : vars) {
        const char* current = getenv(name.c_str());
        if (!current || value != current)
            satisfied = false;
    }
    if (satisfied)
        return;

    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (!info)
        throw std::logic_error("ReexecWithEnvironment must be called inside a test");
    std::string filter =
        std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();

    std::vector<std::string> args = ReadCommandLine();
    std::vector<std::string> kept;
    kept.push_back(args.empty() ? "/proc/self/exe" : args[0]);
    for (size_t i = 1; i < args.size(); ++i)
        if (args[i].rfind("--gtest_filter=", 0) != 0)
            kept.push_back(args[i]);
    kept.push_back(filter);

    for (const auto& [name, value] : vars)
        setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (auto& a : kept)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    fflush(nullptr);
    execv("/proc/self/exe", argv.data());
    perror("execv /proc/self/exe");
    _exit(127);
}

void WriteFile(const std::string& path, const std::string& content, int mode) {
    fs::path p(path);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out)
            throw std::runtime_error("cannot write " + path);
        out << content;
    }
    chmod(path.c_str(), mode);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteScript(const std::string& path, const std::string& body) {
    WriteFile(path, "#!/bin/sh\n" + body, 0755);
}

int Shell(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        out.append(buf, n);
    int status = pclose(pipe);
    if (output)
        *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int CountZombieChildren() {
    int count = 0;
    pid_t self = getpid();
    DIR* dir = opendir("/proc");
    if (!dir)
        return -1;
    while (dirent* entry = readdir(dir)) {
        if (!isdigit(static_cast<unsigned char>(entry->d_name[0])))
            continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // pid (comm) state ppid ...: comm may hold blanks, so parse after the last ')'.
        auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 1));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == self && state == 'Z')
            ++count;
    }
    closedir(dir);
    return count;
}

}  // namespace testsupport
