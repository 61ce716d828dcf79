#include "support/RealClusterLibrary.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

#include "hadoop/HadoopCtx.h"
#include "host/Settings.h"

namespace testsupport {

namespace {

const char kHomeVariable[] = "HDFSAGENT_REALCLUSTER_TEST_HOME";
// Any id: the link specification comes from the settings, so no instance message is read.
const unsigned long kInstanceId = 1;

std::string MakeHome() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/rc-home.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

}  // namespace

RealClusterLibrary::RealClusterLibrary(const RealCluster& cluster,
                                       const std::map<std::string, std::string>& startup) {
    const char* inherited = getenv(kHomeVariable);
    std::string home = inherited != nullptr ? inherited : MakeHome();
    std::map<std::string, std::string> vars = startup;
    vars[kHomeVariable] = home;
    vars["HDFSAGENT_HOME"] = home;
    vars["LD_LIBRARY_PATH"] = home;
    vars.emplace("KRB5CCNAME", "");
    // The JVM inside libhdfs reads its realm profile from a system property, not from
    // KRB5_CONFIG: an edge node's set-up names it in LIBHDFS_OPTS.
    if (cluster.kerberos())
        vars.emplace("LIBHDFS_OPTS", "-Djava.security.krb5.conf=" + cluster.krb5Config());
    ReexecWithEnvironment(vars);
    const char* cache = getenv("KRB5CCNAME");
    if (cache != nullptr && *cache == '\0')
        unsetenv("KRB5CCNAME");
    m_home = home;
    m_env.emplace_back("HDFSAGENT_SETTINGS", home + "/settings.ini");
    m_env.emplace_back("HDFSAGENT_LOG_DIR", home + "/log");
    m_env.push_back(ScopedEnv::unset("HDFSAGENT_LOCK_DIR"));
    for (const auto& [name, value] : cluster.Environment())
        m_env.emplace_back(name, value);
    if (cluster.kerberos())
        UsePrivateTicketCaches(cluster);
    SetSetting("FileSystemAgent", "HDP_LIB_PATH", cluster.libPathSetting());
}

RealClusterLibrary::~RealClusterLibrary() {
    std::error_code ignored;
    std::filesystem::remove_all(m_home, ignored);
}

void RealClusterLibrary::UsePrivateTicketCaches(const RealCluster& cluster) {
    std::string conf = ReadFile(cluster.krb5Config());
    const std::string section = "[libdefaults]\n";
    size_t at = conf.find(section);
    if (at == std::string::npos)
        throw std::runtime_error("no [libdefaults] in " + cluster.krb5Config());
    conf.insert(at + section.size(), " default_ccache_name = " + m_home + "/krb5cc_%{uid}\n");
    WriteFile(m_home + "/krb5.conf", conf);
    m_env.emplace_back("KRB5_CONFIG", m_home + "/krb5.conf");
}

void RealClusterLibrary::SetSetting(const std::string& section, const std::string& key,
                                    const std::string& value) {
    CEkError err = DXPlatformInfo::setString(section, key, value);
    if (err.Failed())
        throw std::runtime_error("cannot write setting " + key + ": " + err.AsString());
}

CEkError RealClusterLibrary::Connect(const std::string& nameNode, const std::string& user,
                                     CHadoopFSPtr* fs) {
    return CHadoopCtx::GetInstance()->CreateHadoopFSInstance(kInstanceId, nameNode, user, fs, "");
}

}  // namespace testsupport
