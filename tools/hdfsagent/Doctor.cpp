// hdfsagent doctor: runs the library's set-up and reports what it found, one finding a line.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Cluster.h"
#include "Commands.h"
#include "Reporter.h"
#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopInstance.h"
#include "host/Settings.h"

namespace tool {

namespace {

struct Finding {
    std::string check;
    std::string value;
    std::string status;  // "ok", "warning", "failed"
};

class CDoctor {
  public:
    CDoctor(const ConnectOptions& connect, bool json) : m_oConnect(connect), m_bJson(json) {}
    int Run();

  private:
    void Add(const std::string& check, const std::string& value, const std::string& status = "ok") {
        m_vFindings.push_back({check, value, status});
        if (status == "failed")
            m_bFailed = true;
    }
    void ReadInstanceMessage();
    void ReportLibrary(const char* name, const std::string& link, const std::string& fromMessage);
    void ReportClasspath();
    void ReportAuthentication(CHadoopFS& fs);
    void ReportCapacity(CHadoopFS& fs);
    void ReportEncryptionZones(CHadoopFS& fs);
    void ReportCluster();
    void ReportAclRead();
    void Print() const;

    const ConnectOptions& m_oConnect;
    bool m_bJson;
    bool m_bFailed = false;
    std::vector<Finding> m_vFindings;
    CCluster m_oCluster;
    std::string m_sSavedLibPath;  // HDP_LIB_PATH before the set-up
    std::string m_sMessageHdfsDir;
    std::string m_sMessageJvmDir;
};

std::string ReadLinkTarget(const std::string& link) {
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0)
        return "";
    target[n] = '\0';
    return target;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// The two library directories of the instance's configuration message, when it names them (the
// library reads the same file; this only tells where its answer came from).
void ReadMessageDirectories(unsigned long instanceId, std::string& hdfsDir, std::string& jvmDir) {
    const std::string path =
        DXPI_Base::getHomeDirectory() + "/instances/" + std::to_string(instanceId) + ".json";
    std::ifstream in(path);
    if (!in)
        return;
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json message = nlohmann::json::parse(text.str(), nullptr, false);
    if (message.is_discarded() || !message.is_object() || !message.contains("entries") ||
        !message["entries"].is_array())
        return;
    for (const nlohmann::json& entry : message["entries"]) {
        if (!entry.is_object() || entry.value("selector", nlohmann::json(0)) != 1)
            continue;
        const nlohmann::json hdfs = entry.value("hadoopNativeLibPath", nlohmann::json(""));
        const nlohmann::json jvm = entry.value("jvmLibPath", nlohmann::json(""));
        hdfsDir = hdfs.is_string() ? hdfs.get<std::string>() : "";
        jvmDir = jvm.is_string() ? jvm.get<std::string>() : "";
        return;
    }
}

std::string TrimSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

void CDoctor::ReportLibrary(const char* name, const std::string& link,
                            const std::string& fromMessage) {
    const std::string target = ReadLinkTarget(link);
    if (target.empty()) {
        Add(std::string(name) + " directory", "no link " + link, "failed");
        return;
    }
    const std::string dir = DirectoryOf(target);
    std::string source = "detected on this machine";
    if (!m_sSavedLibPath.empty())
        source = "setting HDP_LIB_PATH";
    else if (!fromMessage.empty() && TrimSlash(fromMessage) == TrimSlash(dir))
        source = "server message (instance " + std::to_string(m_oConnect.instanceId) + ")";
    const bool present = access(target.c_str(), R_OK) == 0;
    Add(std::string(name) + " directory",
        dir + "  (" + source + ")" + (present ? "" : ", but " + target + " is missing"),
        present ? "ok" : "warning");
}

void CDoctor::ReportClasspath() {
    const char* classpath = getenv("CLASSPATH");
    const std::string cp = classpath != nullptr ? classpath : "";
    size_t entries = 0;
    for (size_t pos = 0; pos < cp.size();) {
        size_t end = cp.find(':', pos);
        if (end == std::string::npos)
            end = cp.size();
        if (end > pos)
            ++entries;
        pos = end + 1;
    }
    Add("CLASSPATH", std::to_string(cp.size()) + " bytes, " + std::to_string(entries) + " entries",
        entries > 0 ? "ok" : "warning");
}

void CDoctor::ReportAuthentication(CHadoopFS& fs) {
    const CHadoopFS::CHadoopConnection& connection = *fs.m_pConnection;
    const char* auth = connection.m_eAuthType == 1   ? "kerberos"
                       : connection.m_eAuthType == 0 ? "simple"
                                                     : "unknown";
    Add("authentication", std::string(auth) + ", user " + connection.m_sUser);
    if (connection.m_eAuthType == 1) {
        const std::string expiry = connection.m_oCacheExpiryTime.AsLocalDateTimeString();
        Add("ticket cache",
            connection.m_sKerberosCachePath + (expiry.empty() ? "" : ", expires " + expiry));
    }
}

// A real libhdfs does not contact the name node before the first call that needs it, so a
// connection object proves nothing: the capacity is the first real question, and the cluster
// is out of reach when it gets no answer.
void CDoctor::ReportCapacity(CHadoopFS& fs) {
    unsigned long long total = 0, used = 0, free = 0;
    errno = 0;
    if (fs.GetSpaceUsage(&total, &used, &free) == 0) {
        Add("capacity", HumanBytes(static_cast<double>(total)) + ", " +
                            HumanBytes(static_cast<double>(used)) + " used, " +
                            HumanBytes(static_cast<double>(free)) + " free");
    } else {
        const int code = errno;
        std::string why = fs.GetLastErrorString();
        if (why.empty())
            why = code != 0 ? strerror(code) : "libhdfs gave no reason";
        Add("capacity", "cannot be read, the name node is out of reach (" + why + ")", "failed");
    }
}

void CDoctor::ReportEncryptionZones(CHadoopFS& fs) {
    std::string error;
    if (m_oCluster.LoadZones(error)) {
        std::string zones;
        for (const std::string& zone : fs.m_oCryptoUtil.GetEncryptionZones())
            zones += (zones.empty() ? "" : ", ") + zone;
        Add("encryption zones", zones.empty() ? "none" : zones);
    } else {
        Add("encryption zones", error, "warning");
    }
}

void CDoctor::ReportCluster() {
    CHadoopFS& fs = m_oCluster.Fs();
    const std::string base =
        g_sBaseDirectory.empty() ? DXPI_Base::getHomeDirectory() : g_sBaseDirectory;
    ReportLibrary("libhdfs", base + "/libhdfs.so", m_sMessageHdfsDir);
    ReportLibrary("libjvm", base + "/libjvm.so", m_sMessageJvmDir);

    ReportClasspath();
    ReportAuthentication(fs);
    Add("default file system", fs.GetHadoopPathPrefix());

    ReportCapacity(fs);
    ReportEncryptionZones(fs);

    std::string error;
    if (!m_oCluster.StartRest(error)) {
        Add("REST service", error, "failed");
        return;
    }
    Add("REST service", "hello answered on port " + m_oCluster.Rest()->GetPort());
    ReportAclRead();
}

// A hello shows the service runs; reading the ACL of the tree's root shows it can reach the
// cluster, which every backup with ACLs needs.
void CDoctor::ReportAclRead() {
    nlohmann::json acl;
    nlohmann::json xattrs;
    std::string error;
    if (m_oCluster.GetAcl("/", acl, xattrs, error) == RestResult::kOk)
        Add("ACL read", "getacl of / answered (" +
                            std::to_string(acl.value("entries", nlohmann::json::array()).size()) +
                            " ACL entries)");
    else
        Add("ACL read", "getacl of / failed: " + error + " (--no-acl backs up without ACLs)",
            "failed");
}

void CDoctor::Print() const {
    if (m_bJson) {
        nlohmann::ordered_json event;
        event["event"] = "doctor";
        event["ok"] = !m_bFailed;
        event["findings"] = nlohmann::ordered_json::array();
        for (const Finding& finding : m_vFindings)
            event["findings"].push_back(
                {{"check", finding.check}, {"value", finding.value}, {"status", finding.status}});
        printf("%s\n",
               event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return;
    }
    size_t width = 0;
    for (const Finding& finding : m_vFindings)
        width = std::max(width, finding.check.size());
    for (const Finding& finding : m_vFindings) {
        const char* mark =
            finding.status == "ok" ? "  " : (finding.status == "warning" ? "! " : "x ");
        printf("%s%-*s  %s\n", mark, static_cast<int>(width), finding.check.c_str(),
               finding.value.c_str());
    }
    printf("%s\n", m_bFailed ? "doctor: FAILED" : "doctor: ok");
}

int CDoctor::Run() {
    const std::string home = DXPI_Base::getHomeDirectory();
    Add("product home", home + "  (settings " + DXPlatformInfo::GetSettingsFilePath() + ")");
    DXPlatformInfo::getString("FileSystemAgent", "HDP_LIB_PATH", m_sSavedLibPath);
    ReadMessageDirectories(m_oConnect.instanceId, m_sMessageHdfsDir, m_sMessageJvmDir);

    CHadoopInstance probe;
    std::string install;
    CEkError err = probe.DetectHadoopInstallPath(install);
    if (err.Succeeded())
        Add("Hadoop installation", install);
    else
        Add("Hadoop installation", ErrorText(err), "warning");

    std::string error;
    if (!m_oCluster.Connect(m_oConnect, error)) {
        Add("connection", error, "failed");
        Print();
        return kExitFatal;
    }
    ReportCluster();
    Print();
    return m_bFailed ? kExitFatal : kExitOk;
}

}  // namespace

int RunDoctor(const ConnectOptions& connect, bool json) {
    CDoctor doctor(connect, json);
    return doctor.Run();
}

}  // namespace tool
