#include "DemoSetup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "Tool.h"
#include "host/Process.h"
#include "host/ShellQuote.h"
#include "host/Xml.h"

namespace fs = std::filesystem;

namespace tool {

namespace {

const char* const kPrograms[] = {"hadoop", "hdfs", "hbase", "hdp-select"};
// 2024-03-01 12:00:00 UTC: the sample's times lie in the past, whole seconds.
const time_t kSampleTime = 1709294400;
const size_t kLargeFileBytes = 48u << 20;

void Check(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error(what + ": " + strerror(errno));
}

void MakeDirectories(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        throw std::runtime_error("cannot create " + path + ": " + ec.message());
}

void WriteText(const std::string& path, const std::string& content, mode_t mode = 0644) {
    MakeDirectories(fs::path(path).parent_path().string());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
    Check(chmod(path.c_str(), mode) == 0, "chmod " + path);
}

void Link(const std::string& target, const std::string& link) {
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link, ec);
    if (ec)
        throw std::runtime_error("cannot link " + link + " to " + target + ": " + ec.message());
}

std::string SiteFile(const std::vector<std::pair<std::string, std::string>>& properties) {
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n";
    for (const auto& [key, value] : properties)
        xml << "  <property>\n    <name>" << FXXmlEscape(key) << "</name>\n    <value>"
            << FXXmlEscape(value) << "</value>\n  </property>\n";
    xml << "</configuration>\n";
    return xml.str();
}

// The JDK of the first `java` on PATH, its links resolved.
std::string FindJavaHome() {
    const char* path = getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/java";
        if (dir.empty() || access(candidate.c_str(), X_OK) != 0)
            continue;
        std::error_code ec;
        const fs::path real = fs::canonical(candidate, ec);
        if (!ec && real.parent_path().filename() == "bin")
            return real.parent_path().parent_path().string();
    }
    return "/usr/lib/jvm/default-java";
}

// Deterministic bytes that do not compress away: xorshift64.
std::string PseudoRandom(size_t size, uint64_t seed) {
    std::string data(size, '\0');
    uint64_t x = seed | 1;
    for (size_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        for (size_t k = 0; k < 8 && i + k < size; ++k)
            data[i + k] = static_cast<char>(x >> (8 * k));
    }
    return data;
}

void SetXattr(const std::string& path, const std::string& name, const std::string& value) {
    Check(setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0,
          "setxattr " + name + " on " + path);
}

void SetTimes(const std::string& path, time_t mtime) {
    struct timespec times[2];
    times[0].tv_sec = mtime + 90;  // access after modification
    times[0].tv_nsec = 0;
    times[1].tv_sec = mtime;
    times[1].tv_nsec = 0;
    Check(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0, "utimensat " + path);
}

// One path of the sample namespace and its metadata (the stand-in keeps owners, ACLs and
// extended attributes in user xattrs of the backing file).
struct SamplePath {
    std::string path;  // below /demo/src; ends with "/" for a directory
    std::string content;
    mode_t mode;
    std::string owner;
    std::string group;
    std::string acl;
    std::vector<std::pair<std::string, std::string>> xattrs;  // HDFS names
};

std::vector<SamplePath> SampleTree(const std::string& user) {
    std::vector<SamplePath> sample = {
        {"", "", 0755, user, "supergroup", "", {}},
        {"README.txt", "Sample data of the hdfsagent demo.\n", 0644, user, "supergroup", "", {}},
        {"empty.dat", "", 0644, user, "supergroup", "", {}},
        {"logs/", "", 0755, "hdfs", "hadoop", "", {}},
        {"logs/2024-03-01.log", "12:00 started\n12:05 stopped\n", 0640, "hdfs", "hadoop", "", {}},
        {"data/", "", 0750, "alice", "analysts", "", {}},
        {"data/part-00000", PseudoRandom(1u << 20, 1), 0640, "alice", "analysts", "", {}},
        {"data/part-00001", PseudoRandom(700000, 2), 0640, "alice", "analysts", "", {}},
        {"data/large.bin", PseudoRandom(kLargeFileBytes, 3), 0644, "alice", "analysts", "", {}},
        {"nested/a/b/c/", "", 0755, user, "supergroup", "", {}},
        {"nested/a/b/c/deep.txt", "five levels down\n", 0600, "bob", "bob", "", {}},
        {"shared/", "", 01777, "hdfs", "supergroup", "", {}},
        {"shared/notes.txt", "anyone may add notes here\n", 0666, "bob", "analysts", "", {}},
        {"reports/", "", 0770, "alice", "analysts", "default:user:bob:r-x,default:group::r-x", {}},
        {"reports/q1.csv",
         "quarter,revenue\nq1,42\n",
         0660,
         "alice",
         "analysts",
         "user:bob:r--,group::r--,mask::rw-",
         {{"user.color", "blue"},
          {"user.origin", "demo"},
          {"trusted.blob", std::string("\x00\x01\x02\xff", 4)}}},
        {"secure/", "", 0700, "alice", "analysts", "", {}},
        {"secure/secret.txt", "in an encryption zone\n", 0600, "alice", "analysts", "", {}},
    };
    return sample;
}

}  // namespace

CDemoSetup::~CDemoSetup() {
    Cleanup();
}

void CDemoSetup::Cleanup() {
    // A kept world keeps its KDC too; the demo says how to stop it.
    if (!m_sStopKdc.empty() && !m_bKeep) {
        std::string out;
        std::string err;
        (void)DxProcess::system(KdcStopCommand(), &out, &err, 30);
        m_sStopKdc.clear();
    }
    if (!m_bKeep && !m_sRoot.empty()) {
        std::error_code ec;
        fs::remove_all(m_sRoot, ec);
        m_sRoot.clear();
    }
}

std::string CDemoSetup::KdcStopCommand() const {
    return m_sStopKdc.empty() ? "" : "sh " + ShellQuote(m_sStopKdc) + " " + ShellQuote(m_sKdcDir);
}

bool CDemoSetup::Create(const LocalclusterPieces& pieces, bool kerberos, std::string& error) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/hdfsagent-demo-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        error = "cannot create a temporary directory " + pattern + ": " + strerror(errno);
        return false;
    }
    std::error_code ec;
    m_sRoot = fs::canonical(pattern, ec).string();
    m_sUser = DefaultUser();
    try {
        if (kerberos && !StartKdc(pieces, error))
            return false;
        return WriteInstallation(pieces, kerberos, error) && WriteHome(pieces, error) &&
               WriteSample(error);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

bool CDemoSetup::StartKdc(const LocalclusterPieces& pieces, std::string& error) {
    m_sKdcDir = m_sRoot + "/kdc";
    MakeDirectories(m_sKdcDir);
    DxRunOptions options;
    options.timeoutMs = 60 * 1000;
    if (m_sUser != "nobody" && m_sUser != "root" && m_sUser != "hdfs")
        options.environment["KDC_EXTRA_PRINCIPALS"] = m_sUser;
    std::string out;
    std::string err;
    const int status = DxProcess::system(
        "sh " + ShellQuote(pieces.kdcDir + "/start-kdc.sh") + " " + ShellQuote(m_sKdcDir), &out,
        &err, options);
    if (status != 0) {
        error = "the throwaway Kerberos realm did not start: " + err;
        return false;
    }
    m_sStopKdc = pieces.kdcDir + "/stop-kdc.sh";
    m_sKeytab = m_sKdcDir + "/test.keytab";
    m_sKrb5Config = m_sKdcDir + "/krb5.conf";
    return true;
}

bool CDemoSetup::WriteInstallation(const LocalclusterPieces& pieces, bool kerberos,
                                   std::string& error) {
    const std::string install = InstallDir();
    for (const char* program : kPrograms)
        WriteText(install + "/bin/" + program,
                  "#!/bin/sh\nLOCALCLUSTER_HOME=" + ShellQuote(install) + " exec " +
                      ShellQuote(pieces.binDir + "/" + program) + " \"$@\"\n",
                  0755);
    MakeDirectories(install + "/lib/native");
    Link(pieces.libhdfs, install + "/lib/native/libhdfs.so");
    for (const char* jar : {"share/hadoop/common/hadoop-common-3.3.6.jar",
                            "share/hadoop/common/lib/commons-lang3-3.12.0.jar",
                            "share/hadoop/hdfs/hadoop-hdfs-3.3.6.jar"})
        WriteText(install + "/" + jar, "");

    std::vector<std::pair<std::string, std::string>> core = {
        {"fs.defaultFS", "hdfs://localhost:8020"},
        {"hadoop.security.authentication", kerberos ? "kerberos" : "simple"},
        {"localcluster.namespace.root", NamespaceRoot()},
    };
    if (kerberos)
        core.push_back({"hadoop.user.keytab.file", m_sKeytab});
    WriteText(ConfDir() + "/core-site.xml", SiteFile(core));
    WriteText(ConfDir() + "/hdfs-site.xml", SiteFile({{"dfs.replication", "3"}}));
    WriteText(ConfDir() + "/hadoop-env.sh", "export JAVA_HOME=" + FindJavaHome() + "\n" +
                                                "export HADOOP_LOG_DIR=" + m_sRoot + "/log\n");
    WriteText(ConfDir() + "/encryption-zones",
              "/demo/src/secure\tdemo-key\n/demo/restored/secure\tdemo-key\n");
    WriteText(install + "/etc/hbase/hbase-site.xml", SiteFile({}));
    MakeDirectories(NamespaceRoot());
    MakeDirectories(BackupDir());

    const char* path = getenv("PATH");
    m_mapEnv = {
        {"HDFSAGENT_HOME", Home()},
        {"LD_LIBRARY_PATH", Home()},
        {"PATH", install + "/bin:" + (path != nullptr ? path : "/usr/bin:/bin")},
        {"HADOOP_CONF_DIR", ConfDir()},
        {"HBASE_CONF_DIR", install + "/etc/hbase"},
        // The REST service is asked every 250 ms whether it is up, instead of every 10 s.
        {"HDFSAGENT_RESTUTIL_RETRY_MS", "250"},
        // Nothing of a real installation or a caller's experiment leaks into the demo.
        {"HDFSAGENT_SETTINGS", ""},
        {"HDFSAGENT_LOG_DIR", ""},
        {"HDFSAGENT_LOCK_DIR", ""},
        {"HADOOP_USER_NAME", ""},
        // The library's ticket cache of the user goes into the demo's tree, not /tmp.
        {"KRB5CCNAME", kerberos ? m_sKdcDir + "/dx_krb5cc_" + std::to_string(getuid()) : ""},
        {"LOCALHDFS_FAULTS", ""},
        {"LOCALHDFS_SHORT_READS", ""},
        {"KRB5_CONFIG", kerberos ? m_sKrb5Config : ""},
    };
    (void)error;
    return true;
}

bool CDemoSetup::WriteHome(const LocalclusterPieces& pieces, std::string& error) {
    const std::string home = Home();
    MakeDirectories(home + "/dxjars");
    for (const char* file : {"dxhdfsutil.jar", "dxhdfsutil-nodep.jar", "dxhadooputil.properties",
                             "dxhadooplog4j.properties"})
        Link(pieces.dxjarsDir + "/" + file, home + "/dxjars/" + file);
    Link(pieces.templatesDir + "/dxhadoopnativelog4j.properties",
         home + "/dxjars/dxhadoopnativelog4j.properties");
    // The server names the libhdfs directory; the library detects the JVM's itself.
    WriteText(home + "/instances/1.json",
              "{\"entries\":[{\"selector\":1,\"configField2\":\"demo\",\"configField4\":"
              "\"localcluster\",\"hadoopNativeLibPath\":\"" +
                  InstallDir() + "/lib/native\",\"jvmLibPath\":\"\"}]}\n");
    // A JVM on a busy machine may need more than the default two minutes' worth of 250 ms probes.
    WriteText(home + "/settings.ini", "[FileSystemAgent]\nnHadoopRestUtilWaitTime=600\n");
    (void)error;
    return true;
}

bool CDemoSetup::WriteSample(std::string& error) {
    const std::string base = NamespaceRoot() + "/demo/src";
    MakeDirectories(NamespaceRoot() + "/demo");
    const std::vector<SamplePath> sample = SampleTree(m_sUser);
    std::vector<std::string> created;
    for (const SamplePath& item : sample) {
        const bool directory = item.path.empty() || item.path.back() == '/';
        std::string path = base + "/" + item.path;
        if (directory) {
            if (!item.path.empty())
                path.pop_back();
            MakeDirectories(path);
        } else {
            WriteText(path, item.content, item.mode);
        }
        created.push_back(path);
    }
    // Metadata after all content, times last and children before parents: creating an entry
    // changes its directory's times.
    for (const SamplePath& item : sample) {
        std::string path = base + "/" + item.path;
        if (!item.path.empty() && item.path.back() == '/')
            path.pop_back();
        if (item.path.empty())
            path = base;
        SetXattr(path, "user.hdfs.owner", item.owner);
        SetXattr(path, "user.hdfs.group", item.group);
        if (!item.acl.empty())
            SetXattr(path, "user.hdfs.acl", item.acl);
        for (const auto& [name, value] : item.xattrs)
            SetXattr(path, "user.hdfs.x." + name, value);
        Check(chmod(path.c_str(), item.mode) == 0, "chmod " + path);
    }
    time_t when = kSampleTime;
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
        SetTimes(*it, when);
        when += 3600;
    }
    // The intermediate directories of nested/a/b/c were made on the way.
    for (const char* dir : {"nested/a/b", "nested/a", "nested"})
        SetTimes(base + "/" + dir, when += 60);
    SetTimes(base, when + 60);
    (void)error;
    return true;
}

bool CDemoSetup::ChangeSample(std::string& error) {
    try {
        const std::string base = NamespaceRoot() + "/demo/src";
        const std::string changed = base + "/data/part-00001";
        WriteText(changed, PseudoRandom(900000, 4), 0640);
        WriteText(base + "/logs/2024-03-02.log", "09:00 started again\n", 0640);
        SetXattr(base + "/logs/2024-03-02.log", "user.hdfs.owner", "hdfs");
        SetXattr(base + "/logs/2024-03-02.log", "user.hdfs.group", "hadoop");
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

}  // namespace tool
