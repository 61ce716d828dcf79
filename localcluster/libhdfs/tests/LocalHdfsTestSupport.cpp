#include "LocalHdfsTestSupport.h"

#include <gtest/gtest.h>
#include <krb5.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <stdexcept>

namespace localhdfs_test {

std::string SiteXml(const Properties& properties) {
    std::string xml = "<?xml version=\"1.0\"?>\n<configuration>\n";
    for (const auto& [name, value] : properties)
        xml += "  <property>\n    <name>" + name + "</name>\n    <value>" + value +
               "</value>\n  </property>\n";
    return xml + "</configuration>\n";
}

Cluster::Cluster(const Properties& core, const Properties& hdfs)
    : m_dir("localhdfs-test"),
      m_root(m_dir / "namespace"),
      m_confDir(m_dir / "etc/hadoop"),
      m_confEnv("HADOOP_CONF_DIR", m_confDir) {
    mkdir(m_root.c_str(), 0755);
    WriteCoreSite(core);
    WriteHdfsSite(hdfs);
}

void Cluster::WriteCoreSite(const Properties& core) {
    Properties all = {{"fs.defaultFS", "hdfs://localhost:8020"},
                      {"hadoop.security.authentication", "simple"},
                      {"localcluster.namespace.root", m_root}};
    for (const auto& [name, value] : core)
        all[name] = value;
    testsupport::WriteFile(m_confDir + "/core-site.xml", SiteXml(all));
}

void Cluster::WriteHdfsSite(const Properties& hdfs) {
    testsupport::WriteFile(m_confDir + "/hdfs-site.xml", SiteXml(hdfs));
}

hdfsFS Cluster::Connect(const char* user) const {
    struct hdfsBuilder* builder = hdfsNewBuilder();
    if (!builder)
        throw std::runtime_error("hdfsNewBuilder failed");
    hdfsBuilderSetForceNewInstance(builder);
    hdfsBuilderSetNameNode(builder, "default");
    hdfsBuilderSetUserName(builder, user);
    return hdfsBuilderConnect(builder);
}

void Cluster::MakeFile(const std::string& hdfsPath, const std::string& content) const {
    testsupport::WriteFile(backing(hdfsPath), content);
}

void Cluster::MakeDir(const std::string& hdfsPath) const {
    testsupport::Shell("mkdir -p '" + backing(hdfsPath) + "'");
}

FileInfoPtr PathInfo(hdfsFS fs, const char* path) {
    return FileInfoPtr(hdfsGetPathInfo(fs, path), FileInfoDeleter{1});
}

void PutFile(hdfsFS fs, const char* path, const std::string& content) {
    hdfsFile file = hdfsOpenFile(fs, path, O_WRONLY, 0, 0, 0);
    ASSERT_NE(file, nullptr) << path << ": errno " << errno;
    ASSERT_EQ(hdfsWrite(fs, file, content.data(), static_cast<tSize>(content.size())),
              static_cast<tSize>(content.size()));
    ASSERT_EQ(hdfsCloseFile(fs, file), 0);
}

std::string GetFile(hdfsFS fs, const char* path) {
    std::string content;
    hdfsFile file = hdfsOpenFile(fs, path, O_RDONLY, 0, 0, 0);
    EXPECT_NE(file, nullptr) << path << ": errno " << errno;
    if (!file)
        return content;
    char buffer[4096];
    for (;;) {
        const tSize got = hdfsRead(fs, file, buffer, sizeof buffer);
        EXPECT_GE(got, 0) << "errno " << errno;
        if (got <= 0)
            break;
        content.append(buffer, static_cast<size_t>(got));
    }
    EXPECT_EQ(hdfsCloseFile(fs, file), 0);
    return content;
}

std::string GetXattr(const std::string& path, const char* name) {
    char buffer[1024];
    const ssize_t size = getxattr(path.c_str(), name, buffer, sizeof buffer);
    return size < 0 ? std::string() : std::string(buffer, static_cast<size_t>(size));
}

void SetXattr(const std::string& path, const char* name, const std::string& value) {
    if (setxattr(path.c_str(), name, value.data(), value.size(), 0) != 0)
        throw std::runtime_error("setxattr failed on " + path);
}

void WriteTicketCache(const std::string& path, const std::string& client, const std::string& server,
                      time_t endtime) {
    krb5_context context = nullptr;
    if (krb5_init_context(&context) != 0)
        throw std::runtime_error("krb5_init_context failed");
    krb5_ccache cache = nullptr;
    krb5_creds creds = {};
    krb5_error_code code = krb5_cc_resolve(context, ("FILE:" + path).c_str(), &cache);
    if (!code)
        code = krb5_parse_name(context, client.c_str(), &creds.client);
    if (!code)
        code = krb5_parse_name(context, server.c_str(), &creds.server);
    if (!code)
        code = krb5_cc_initialize(context, cache, creds.client);
    if (!code) {
        creds.times.authtime = creds.times.starttime = static_cast<krb5_timestamp>(endtime - 3600);
        creds.times.endtime = static_cast<krb5_timestamp>(endtime);
        char ticket[] = "ticket";
        creds.ticket.data = ticket;
        creds.ticket.length = sizeof ticket - 1;
        code = krb5_cc_store_cred(context, cache, &creds);
        creds.ticket.data = nullptr;
        creds.ticket.length = 0;
    }
    if (creds.client)
        krb5_free_principal(context, creds.client);
    if (creds.server)
        krb5_free_principal(context, creds.server);
    if (cache)
        krb5_cc_close(context, cache);
    krb5_free_context(context);
    if (code)
        throw std::runtime_error("cannot write ticket cache " + path);
}

}  // namespace localhdfs_test
