#include "support/HadoopConnectionSupport.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "hadoop/HadoopFS.h"
#include "host/Log.h"
#include "host/ShellQuote.h"

namespace testsupport {

CEkError StartWithLibhdfs(const std::string& variant, std::map<std::string, std::string> startup) {
    std::string dir = LOCALCLUSTER_LIBHDFS_DIR;
    if (!variant.empty())
        dir += "/" + variant;
    startup["LD_LIBRARY_PATH"] = dir;
    startup.emplace("KRB5CCNAME", "");
    ReexecWithEnvironment(startup);
    const char* inherited = getenv("KRB5CCNAME");
    if (inherited != nullptr && *inherited == '\0')
        unsetenv("KRB5CCNAME");
    return CHadoopFS::Init();
}

// ---------------------------------------------------------------------------------------------

LogCapture::LogCapture(int level) : m_dir("conn-log") {
    m_env.emplace_back("HDFSAGENT_LOG_DIR", m_dir.path());
    m_env.emplace_back("HDFSAGENT_DEBUGLEVEL", std::to_string(level));
    m_env.push_back(ScopedEnv::unset("HDFSAGENT_LOG_STDERR"));
    g_ptrLogWriter->Reconfigure();
}

LogCapture::~LogCapture() {
    m_env.clear();
    g_ptrLogWriter->Reconfigure();
}

std::string LogCapture::Text() const {
    std::ifstream in(m_dir / "hdfsagent.log");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool LogCapture::Contains(const std::string& text) const {
    return Text().find(text) != std::string::npos;
}

int LogCapture::Count(const std::string& text) const {
    std::istringstream lines(Text());
    std::string line;
    int count = 0;
    while (std::getline(lines, line))
        if (line.find(text) != std::string::npos)
            ++count;
    return count;
}

// ---------------------------------------------------------------------------------------------

ProductHome::ProductHome() : m_dir("conn-home") {
    m_env.emplace_back("HDFSAGENT_HOME", m_dir.path());
    m_env.emplace_back("HDFSAGENT_SETTINGS", m_dir / "settings.ini");
    WriteFile(m_dir / "settings.ini", "");
}

void ProductHome::SetSetting(const std::string& section, const std::string& key,
                             const std::string& value) {
    m_settings[section][key] = value;
    std::string text;
    for (const auto& [name, keys] : m_settings) {
        text += "[" + name + "]\n";
        for (const auto& [k, v] : keys)
            text += k + "=" + v + "\n";
    }
    WriteFile(m_dir / "settings.ini", text);
}

// ---------------------------------------------------------------------------------------------

ProgramRecorder::ProgramRecorder(const std::vector<std::string>& programs)
    : m_dir("conn-recorder") {
    chmod(m_dir.path().c_str(), 01777);
    const char* path = getenv("PATH");
    const std::string original = path ? path : "/usr/bin:/bin";
    for (const std::string& program : programs) {
        const std::string record = m_dir / (program + ".calls");
        WriteFile(record, "", 0666);
        WriteScript(m_dir / program, "echo \"$(id -u) ${LC_ALL:--} $*\" >> " + ShellQuote(record) +
                                         "\n" + "PATH=" + ShellQuote(original) + " exec " +
                                         program + " \"$@\"\n");
    }
    m_env.emplace_back("PATH", m_dir.path() + ":" + original);
}

std::vector<std::string> ProgramRecorder::Calls(const std::string& program) const {
    std::ifstream in(m_dir / (program + ".calls"));
    std::vector<std::string> calls;
    std::string line;
    while (std::getline(in, line))
        calls.push_back(line);
    return calls;
}

// ---------------------------------------------------------------------------------------------

KerberosSandbox::KerberosSandbox(const Kdc& kdc) : m_kdc(kdc), m_dir("conn-krb") {
    // A shared cache directory as /tmp is: everyone may create, nobody may remove others' files.
    chmod(m_dir.path().c_str(), 01777);
    std::string conf = ReadFile(kdc.krb5Config());
    const std::string section = "[libdefaults]\n";
    size_t at = conf.find(section);
    if (at == std::string::npos)
        throw std::runtime_error("no [libdefaults] in krb5.conf");
    conf.insert(at + section.size(), " default_ccache_name = " + m_dir.path() + "/krb5cc_%{uid}\n");
    WriteFile(m_dir / "krb5.conf", conf, 0644);
    m_env.emplace_back("KRB5_CONFIG", m_dir / "krb5.conf");
}

std::string KerberosSandbox::cachePath(uid_t uid) const {
    return m_dir / ("dx_krb5cc_" + std::to_string(uid));
}

std::string KerberosSandbox::Keytab(const std::vector<std::string>& principals, uid_t owner,
                                    const std::string& name) {
    // ktutil cannot write to every name (quotes); it writes a plain one that is then renamed.
    const std::string written = m_dir / "ktutil-output.keytab";
    const std::string keytab = m_dir / name;
    unlink(written.c_str());
    std::string script;
    for (const std::string& principal : principals)
        script += "rkt " + (principal.empty() ? m_kdc.keytab() : m_kdc.keytabFor(principal)) + "\n";
    script += "wkt " + written + "\n";
    std::string output;
    if (Shell("printf '%s' " + ShellQuote(script) + " | ktutil 2>&1", &output) != 0 ||
        access(written.c_str(), F_OK) != 0)
        throw std::runtime_error("ktutil failed: " + output);
    if (rename(written.c_str(), keytab.c_str()) != 0 ||
        chown(keytab.c_str(), owner, static_cast<gid_t>(-1)) != 0 ||
        chmod(keytab.c_str(), 0600) != 0)
        throw std::runtime_error("cannot hand " + keytab + " to its user");
    return keytab;
}

long OwnerOf(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<long>(st.st_uid);
}

}  // namespace testsupport
