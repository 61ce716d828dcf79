#include "support/RealCluster.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "host/ShellQuote.h"

namespace testsupport {

namespace {

// Reads the `export NAME='value'` lines that start-cluster.sh writes.
std::map<std::string, std::string> ReadEnvFile(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("no real-cluster environment file " + path +
                                 " (is the test missing FIXTURES_REQUIRED realcluster_...?)");
    std::map<std::string, std::string> vars;
    const std::string prefix = "export ";
    for (std::string line; std::getline(in, line);) {
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

std::string EnvironmentPrefix(const std::map<std::string, std::string>& vars) {
    std::string text = "env";
    for (const auto& [name, value] : vars)
        text += value.empty() ? " -u " + ShellQuote(name) : " " + ShellQuote(name + "=" + value);
    return text;
}

std::string QuotedArguments(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args)
        text += " " + ShellQuote(arg);
    return text;
}

}  // namespace

RealCluster RealCluster::Plain() {
    return RealCluster(REALCLUSTER_PLAIN_DIR);
}

RealCluster RealCluster::Kerberos() {
    return RealCluster(REALCLUSTER_KERBEROS_DIR);
}

RealCluster::RealCluster(const std::string& dir) : m_dir(dir), m_vars(ReadEnvFile(dir + "/env")) {}

const std::string& RealCluster::Var(const std::string& name) const {
    auto it = m_vars.find(name);
    if (it == m_vars.end())
        throw std::runtime_error(m_dir + "/env does not set " + name);
    return it->second;
}

std::string RealCluster::libhdfsDir() const {
    const std::string& lib = libhdfs();
    return lib.substr(0, lib.rfind('/'));
}

std::string RealCluster::keytabFor(const std::string& principal) const {
    std::string name = principal;
    for (char& c : name)
        if (c == '/')
            c = '_';
    return Var("REALCLUSTER_DIR") + "/kdc/keytabs/" + name + ".keytab";
}

int RealCluster::shortLifeSeconds() const {
    // MIT duration as start-cluster.sh writes it: "<n>s".
    return std::stoi(Var("REALCLUSTER_SHORT_LIFE"));
}

std::map<std::string, std::string> RealCluster::Environment() const {
    const char* path = getenv("PATH");
    std::map<std::string, std::string> vars = {
        {"PATH", binDir() + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
        {"HADOOP_CONF_DIR", confDir()},
        {"JAVA_HOME", javaHome()},
    };
    if (kerberos())
        vars["KRB5_CONFIG"] = krb5Config();
    return vars;
}

int RealCluster::Hadoop(const std::vector<std::string>& args, std::string* output,
                        const std::map<std::string, std::string>& extra, bool withStderr) const {
    std::map<std::string, std::string> vars = Environment();
    for (const auto& [name, value] : extra)
        vars[name] = value;
    std::string command = EnvironmentPrefix(vars) + " " + ShellQuote(binDir() + "/hadoop") +
                          QuotedArguments(args) + (withStderr ? " 2>&1" : " 2>/dev/null");
    return Shell(command, output);
}

std::string RealCluster::ListTree(const std::string& root, const std::vector<std::string>& options,
                                  const std::map<std::string, std::string>& extra) const {
    std::vector<std::string> args = {"hdfsagent.realcluster.TreeLister"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(uri() + root);
    std::map<std::string, std::string> env = Environment();
    for (const auto& [name, value] : extra)
        env[name] = value;
    // The lister lives beside the client jars, outside the client class path.
    std::string classpath = confDir() + ":" + hadoopHome() +
                            "/share/hadoop/client/*:" + hadoopHome() +
                            "/share/hadoop/realcluster/*";
    std::string realmOption =
        kerberos() ? " " + ShellQuote("-Djava.security.krb5.conf=" + krb5Config()) : "";
    std::string command = EnvironmentPrefix(env) + " " + ShellQuote(javaHome() + "/bin/java") +
                          realmOption + " -cp " + ShellQuote(classpath) + QuotedArguments(args) +
                          " 2>&1";
    std::string output;
    if (Shell(command, &output) != 0)
        throw std::runtime_error("TreeLister " + root + " failed: " + output);
    return output;
}

std::string RealCluster::TestRoot(const std::map<std::string, std::string>& extra) const {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "/tests/";
    name += info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "test";
    for (char& c : name)
        if (c == ':')
            c = '_';
    name += "." + std::to_string(getpid());
    std::string output;
    if (Hadoop({"fs", "-rm", "-r", "-f", "-skipTrash", name}, &output, extra, true) != 0 ||
        Hadoop({"fs", "-mkdir", "-p", name}, &output, extra, true) != 0)
        throw std::runtime_error("cannot make " + name + " in " + uri() + ": " + output);
    return name;
}

KerberosTicket::KerberosTicket(const RealCluster& cluster, const std::string& principal,
                               const std::string& keytab)
    : m_cache(m_dir.path() + "/ccache") {
    std::string output;
    std::string command = "KRB5_CONFIG=" + ShellQuote(cluster.krb5Config()) + " kinit -kt " +
                          ShellQuote(keytab) + " -c " + ShellQuote(m_cache) + " " +
                          ShellQuote(principal) + " 2>&1";
    if (Shell(command, &output) != 0)
        throw std::runtime_error("kinit " + principal + " failed: " + output);
}

}  // namespace testsupport
