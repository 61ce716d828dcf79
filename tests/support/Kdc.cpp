#include "support/Kdc.h"

#include <signal.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "host/ShellQuote.h"

namespace testsupport {

namespace {

std::string ScriptsDir() {
    return LOCALCLUSTER_KDC_DIR;
}

// Reads the `export NAME='value'` lines that start-kdc.sh writes.
std::map<std::string, std::string> ReadEnvFile(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("no KDC environment file " + path);
    std::map<std::string, std::string> vars;
    std::string line;
    while (std::getline(in, line)) {
        const std::string prefix = "export ";
        if (line.rfind(prefix, 0) != 0)
            continue;
        line.erase(0, prefix.size());
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
            value = value.substr(1, value.size() - 2);
        vars[line.substr(0, eq)] = value;
    }
    return vars;
}

bool IsRunningKdc(pid_t pid) {
    if (pid <= 0 || kill(pid, 0) != 0)
        return false;
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
    std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    return text.find("krb5kdc") != std::string::npos;
}

}  // namespace

Kdc Kdc::Fixture() {
    return Kdc(KDC_FIXTURE_DIR);
}

Kdc Kdc::ShortFixture() {
    return Kdc(KDC_SHORT_FIXTURE_DIR);
}

Kdc Kdc::Start(const std::string& dir, const std::string& realm, const std::string& maxLife) {
    std::string output;
    std::string command = "sh " + ShellQuote(ScriptsDir() + "/start-kdc.sh") + " " +
                          ShellQuote(dir) + " " + ShellQuote(realm) + " " + ShellQuote(maxLife) +
                          " 2>&1";
    if (Shell(command, &output) != 0)
        throw std::runtime_error("start-kdc.sh " + dir + " failed: " + output);
    return Kdc(dir, Owned{});
}

Kdc::Kdc(const std::string& dir) : m_dir(dir) {
    Attach();
}

Kdc::Kdc(const std::string& dir, Owned) : m_dir(dir), m_owned(true) {
    try {
        Attach();
    } catch (...) {
        Stop();
        throw;
    }
}

Kdc::~Kdc() {
    if (m_owned)
        Stop();
}

void Kdc::Attach() {
    m_vars = ReadEnvFile(m_dir + "/env");
    if (!IsRunningKdc(pid()))
        throw std::runtime_error("the KDC of " + m_dir + " (pid " + Var("KDC_PID") +
                                 ") is not running; does the test declare FIXTURES_REQUIRED?");
    for (const auto& [name, value] : m_vars)
        m_env.emplace_back(name, value);
}

void Kdc::Stop() {
    if (!m_owned)
        return;
    Shell("sh " + ShellQuote(ScriptsDir() + "/stop-kdc.sh") + " " + ShellQuote(m_dir) +
          " >/dev/null 2>&1");
}

const std::string& Kdc::Var(const std::string& name) const {
    auto it = m_vars.find(name);
    if (it == m_vars.end())
        throw std::runtime_error(name + " missing in " + m_dir + "/env");
    return it->second;
}

int Kdc::port() const {
    return std::stoi(Var("KDC_PORT"));
}

pid_t Kdc::pid() const {
    return static_cast<pid_t>(std::stol(Var("KDC_PID")));
}

std::string Kdc::keytabFor(const std::string& principal) const {
    std::string name = principal;
    for (char& c : name)
        if (c == '/')
            c = '_';
    return Var("KDC_KEYTAB_DIR") + "/" + name + ".keytab";
}

std::string Kdc::principal(const std::string& name) const {
    return name + "@" + realm();
}

std::string Kdc::hostPrincipal(const std::string& name) const {
    return name + "/" + hostname() + "@" + realm();
}

}  // namespace testsupport
