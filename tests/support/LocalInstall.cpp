#include "support/LocalInstall.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "host/ShellQuote.h"
#include "host/Xml.h"

namespace fs = std::filesystem;

namespace testsupport {

namespace {

const char* const kPrograms[] = {"hadoop", "hdfs", "hbase", "hdp-select", "locate"};

std::string SiteFile(const std::map<std::string, std::string>& properties, bool hdfsKeys) {
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<?xml-stylesheet type=\"text/xsl\" href=\"configuration.xsl\"?>\n"
        << "<configuration>\n";
    for (const auto& [key, value] : properties) {
        if ((key.rfind("dfs.", 0) == 0) != hdfsKeys)
            continue;
        xml << "  <property>\n"
            << "    <name>" << FXXmlEscape(key) << "</name>\n"
            << "    <value>" << FXXmlEscape(value) << "</value>\n"
            << "  </property>\n";
    }
    xml << "</configuration>\n";
    return xml.str();
}

// The machine's JDK: the first `java` on PATH with its links resolved, less "/bin/java".
std::string FindJavaHome() {
    const char* path = getenv("PATH");
    std::istringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty())
            continue;
        std::string candidate = dir + "/java";
        if (access(candidate.c_str(), X_OK) != 0)
            continue;
        std::error_code ec;
        std::string real = fs::canonical(candidate, ec).string();
        const std::string suffix = "/bin/java";
        if (!ec && real.size() > suffix.size() &&
            real.compare(real.size() - suffix.size(), suffix.size(), suffix) == 0)
            return real.substr(0, real.size() - suffix.size());
    }
    return "/usr/lib/jvm/default-java";
}

}  // namespace

LocalInstall::LocalInstall(const std::map<std::string, std::string>& properties)
    : m_root("hdfsagent-install"), m_javaHome(FindJavaHome()) {
    for (const char* dir : {"etc/hadoop", "etc/hbase", "lib/native", "share/hadoop/common/lib",
                            "share/hadoop/hdfs/lib", "share/hbase/lib"})
        fs::create_directories(installDir() + "/" + dir);
    fs::create_directories(linkDir());
    fs::create_directories(namespaceRoot());
    fs::create_directory_symlink("etc/hadoop", installDir() + "/conf");

    for (const char* program : kPrograms) {
        std::string target = binDir() + "/" + program;
        WriteScript(target, "LOCALCLUSTER_HOME=" + ShellQuote(installDir()) + " exec " +
                                ShellQuote(std::string(LOCALCLUSTER_BIN_DIR) + "/" + program) +
                                " \"$@\"\n");
        fs::create_symlink(target, linkDir() + "/" + program);
    }
    for (const char* jar : {"share/hadoop/common/hadoop-common-3.3.6.jar",
                            "share/hadoop/common/lib/commons-lang3-3.12.0.jar",
                            "share/hadoop/hdfs/hadoop-hdfs-3.3.6.jar"})
        WriteFile(installDir() + "/" + jar, "");

    m_properties = {{"fs.defaultFS", "hdfs://localhost:8020"},
                    {"hadoop.security.authentication", "simple"},
                    {"localcluster.namespace.root", namespaceRoot()}};
    for (const auto& [key, value] : properties)
        m_properties[key] = value;
    WriteSiteFiles();
    WriteEnvScript(m_javaHome);
    WriteFile(hbaseConfDir() + "/hbase-site.xml", SiteFile({}, false));
}

LocalInstall::~LocalInstall() {
    Deactivate();
}

std::string LocalInstall::installDir() const {
    return root() + "/hadoop";
}
std::string LocalInstall::binDir() const {
    return installDir() + "/bin";
}
std::string LocalInstall::linkDir() const {
    return root() + "/usr/bin";
}
std::string LocalInstall::confDir() const {
    return installDir() + "/etc/hadoop";
}
std::string LocalInstall::hbaseConfDir() const {
    return installDir() + "/etc/hbase";
}
std::string LocalInstall::namespaceRoot() const {
    return root() + "/namespace";
}

void LocalInstall::SetProperty(const std::string& key, const std::string& value) {
    m_properties[key] = value;
    WriteSiteFiles();
}

void LocalInstall::RemoveProperty(const std::string& key) {
    m_properties.erase(key);
    WriteSiteFiles();
}

void LocalInstall::SetJavaHome(const std::string& javaHome) {
    WriteEnvScript(javaHome);
}

void LocalInstall::AddEncryptionZone(const std::string& zoneRoot, const std::string& keyName) {
    std::string path = confDir() + "/encryption-zones";
    std::string content = fs::exists(path) ? ReadFile(path) : "";
    WriteFile(path, content + zoneRoot + "\t" + keyName + "\n");
}

void LocalInstall::SetClasspath(const std::vector<std::string>& entries) {
    std::string line;
    for (size_t i = 0; i < entries.size(); ++i)
        line += (i ? ":" : "") + entries[i];
    WriteFile(confDir() + "/classpath", line + "\n");
}

void LocalInstall::SetConfFile(const std::string& name, const std::string& content) {
    WriteFile(confDir() + "/" + name, content);
}

void LocalInstall::RemoveConfFile(const std::string& name) {
    std::error_code ec;
    fs::remove(confDir() + "/" + name, ec);
}

void LocalInstall::AddNativeLibrary(const std::string& library, const std::string& folder) {
    std::string dir = installDir() + "/" + folder;
    fs::create_directories(dir);
    std::string link = dir + "/" + fs::path(library).filename().string();
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(library, link);
}

void LocalInstall::Activate(bool throughLinks) {
    Deactivate();
    const char* path = getenv("PATH");
    std::string first = throughLinks ? linkDir() : binDir();
    m_env.emplace_back("PATH", first + (path && *path ? ":" + std::string(path) : ""));
    m_env.emplace_back("HADOOP_CONF_DIR", confDir());
    m_env.emplace_back("HBASE_CONF_DIR", hbaseConfDir());
}

void LocalInstall::Deactivate() {
    // Restore in reverse order of setting.
    while (!m_env.empty())
        m_env.pop_back();
}

void LocalInstall::WriteSiteFiles() const {
    WriteFile(confDir() + "/core-site.xml", SiteFile(m_properties, false));
    WriteFile(confDir() + "/hdfs-site.xml", SiteFile(m_properties, true));
}

void LocalInstall::WriteEnvScript(const std::string& javaHome) const {
    std::string script = "# Hadoop environment of the localcluster test installation.\n";
    if (javaHome.empty())
        script += "# JAVA_HOME is taken from the environment.\n";
    else
        script += "export JAVA_HOME=" + javaHome + "\n";
    script += "export HADOOP_LOG_DIR=" + root() + "/log\n";
    WriteFile(confDir() + "/hadoop-env.sh", script);
}

}  // namespace testsupport
