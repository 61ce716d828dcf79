// Kerberos ticket set-up: CHadoopConnection::InitKerberosCache (configuration reads, kinit as
// the connection user in a child, the owner check, klist for the expiry) against the same kinit
// and klist run from one shell script as that user. The ratio of the two is the library's cost.
//
// Set-up (once per process): a throwaway realm started with localcluster/kdc/start-kdc.sh in a
// temporary directory (stopped at exit), a keytab the user "nobody" owns, a Hadoop configuration
// for Kerberos, and the libhdfs stand-in (the program re-executes itself once with
// LD_LIBRARY_PATH naming it). Needs root, as the library does to act as another user.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopFS.h"
#include "host/Process.h"
#include "host/ShellQuote.h"
#include "support/BenchSupport.h"

namespace fs = std::filesystem;

namespace {

const uid_t kNobody = 65534;

void Write(const std::string& path, const std::string& content, fs::perms mode) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    fs::permissions(path, mode);
}

std::string Run(const std::string& command) {
    std::string out, err;
    if (DxProcess::system(command, &out, &err) != 0)
        throw std::runtime_error(command + " failed: " + err);
    return out;
}

// The libhdfs stand-in is found by the dynamic loader only through the start-up environment.
void ReexecWithLibhdfs() {
    const std::string dir = std::string(HDFSAGENT_BINARY_DIR) + "/localcluster/libhdfs";
    const char* current = getenv("LD_LIBRARY_PATH");
    if (current != nullptr && dir == current)
        return;
    setenv("LD_LIBRARY_PATH", dir.c_str(), 1);
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string arg; std::getline(in, arg, '\0');)
        args.push_back(arg);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    perror("execv");
    _exit(127);
}

class KerberosBench {
  public:
    KerberosBench() {
        if (geteuid() != 0)
            throw std::runtime_error("needs root (kinit runs as nobody)");
        char templ[] = "/tmp/hdfsagent-krbbench-XXXXXX";
        if (mkdtemp(templ) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_sRoot = templ;
        fs::permissions(m_sRoot, fs::perms::all | fs::perms::sticky_bit);
        const std::string realm = m_sRoot + "/realm";
        Run("sh " + ShellQuote(std::string(LOCALCLUSTER_KDC_DIR) + "/start-kdc.sh") + " " +
            ShellQuote(realm) + " BENCH.HDFSAGENT.TEST 10h");
        m_sRealm = realm;
        ExportRealm(realm + "/env");

        // The cache directory comes from the Kerberos library's default cache name.
        std::ostringstream text;
        text << std::ifstream(getenv("KRB5_CONFIG")).rdbuf();
        std::string conf = text.str();
        conf.insert(conf.find("[libdefaults]\n") + 14,
                    " default_ccache_name = " + m_sRoot + "/krb5cc_%{uid}\n");
        Write(m_sRoot + "/krb5.conf", conf, fs::perms(0644));
        setenv("KRB5_CONFIG", (m_sRoot + "/krb5.conf").c_str(), 1);

        m_sKeytab = m_sRoot + "/nobody.keytab";
        fs::copy_file(realm + "/keytabs/nobody.keytab", m_sKeytab);
        if (chown(m_sKeytab.c_str(), kNobody, static_cast<gid_t>(-1)) != 0)
            throw std::runtime_error("chown keytab failed");

        const std::string hadoopConf = m_sRoot + "/hadoop-conf";
        fs::create_directories(m_sRoot + "/namespace");
        Write(hadoopConf + "/core-site.xml",
              "<configuration>"
              "<property><name>fs.defaultFS</name><value>hdfs://localhost:8020</value></property>"
              "<property><name>hadoop.security.authentication</name><value>kerberos</value>"
              "</property><property><name>hadoop.user.keytab.file</name><value>" +
                  m_sKeytab +
                  "</value></property><property><name>localcluster.namespace.root</name><value>" +
                  m_sRoot + "/namespace</value></property></configuration>\n",
              fs::perms(0644));
        Write(hadoopConf + "/hdfs-site.xml", "<configuration></configuration>\n", fs::perms(0644));
        setenv("HADOOP_CONF_DIR", hadoopConf.c_str(), 1);
        setenv("HDFSAGENT_SETTINGS", (m_sRoot + "/settings.ini").c_str(), 1);
        setenv("HDFSAGENT_LOG_DIR", m_sRoot.c_str(), 1);
        unsetenv("KRB5CCNAME");

        CEkError err = CHadoopFS::Init();
        if (err.Failed())
            throw std::runtime_error("Init: " + err.AsString());
        m_pFS.reset(new CHadoopFS("default", "nobody"));
        if (!m_pFS->m_pConnection->m_bGood)
            throw std::runtime_error("Kerberos connection failed: " + m_pFS->GetLastErrorString());

        const std::string cache = m_pFS->m_pConnection->m_sKerberosCachePath;
        m_sScript = m_sRoot + "/kinit-klist.sh";
        Write(m_sScript,
              "#!/bin/sh\nkinit nobody -kt " + m_sKeytab + " -c " + cache +
                  " || exit 1\nLC_ALL=C klist -c " + cache + " | awk 'NR==5 {print $3 \" \" $4}'\n",
              fs::perms(0755));
        m_oIdentity.uid = kNobody;
        m_oIdentity.gid = 65534;
        m_oIdentity.userName = "nobody";
        m_oOptions.identity = &m_oIdentity;
    }
    ~KerberosBench() {
        m_pFS.reset();
        if (!m_sRealm.empty())
            DxProcess::system("sh " +
                                  ShellQuote(std::string(LOCALCLUSTER_KDC_DIR) + "/stop-kdc.sh") +
                                  " " + ShellQuote(m_sRealm),
                              nullptr, nullptr);
        std::error_code ec;
        fs::remove_all(m_sRoot, ec);
    }

    CHadoopFS::CHadoopConnection& Connection() { return *m_pFS->m_pConnection; }
    int RunScript() {
        std::string out, err;
        return DxProcess::system(m_sScript, &out, &err, m_oOptions);
    }

  private:
    static void ExportRealm(const std::string& envFile) {
        std::ifstream in(envFile);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("export ", 0) == 0)
                line.erase(0, 7);
            size_t equals = line.find('=');
            if (equals == std::string::npos)
                continue;
            std::string value = line.substr(equals + 1);
            if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"'))
                value = value.substr(1, value.size() - 2);
            setenv(line.substr(0, equals).c_str(), value.c_str(), 1);
        }
    }

    std::string m_sRoot;
    std::string m_sRealm;
    std::string m_sKeytab;
    std::string m_sScript;
    std::unique_ptr<CHadoopFS> m_pFS;
    DxProcessIdentity m_oIdentity;
    DxRunOptions m_oOptions;
};

KerberosBench& Bench() {
    static KerberosBench s_bench;
    return s_bench;
}

void BM_InitKerberosCache(benchmark::State& state) {
    CHadoopFS::CHadoopConnection& connection = Bench().Connection();
    for (auto _ : state) {
        CEkError err = connection.InitKerberosCache();
        if (err.Failed())
            state.SkipWithError(err.AsString().c_str());
    }
}
BENCHMARK(BM_InitKerberosCache)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_KinitKlistShellScript(benchmark::State& state) {
    KerberosBench& bench = Bench();
    for (auto _ : state) {
        if (bench.RunScript() != 0)
            state.SkipWithError("kinit/klist script failed");
    }
}
BENCHMARK(BM_KinitKlistShellScript)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    ReexecWithLibhdfs();
    return benchsupport::RunBenchmarks(argc, argv, "KerberosInitBench", [] { Bench(); });
}
