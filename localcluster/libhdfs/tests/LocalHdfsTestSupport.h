// Test helpers for the libhdfs stand-in: a throwaway cluster (namespace root + configuration
// directory, HADOOP_CONF_DIR pointing at it), RAII owners for what the library hands out, and a
// Kerberos ticket cache written directly with libkrb5 (no KDC needed to test the cache check).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hadoop/LibHdfs.h"
#include "support/TestSupport.h"

// Expects `call` to give `failed` and to leave `error` in errno (cleared just before the call).
#define EXPECT_FAILS_WITH(call, failed, error) \
    do {                                       \
        errno = 0;                             \
        EXPECT_EQ((call), (failed));           \
        EXPECT_EQ(errno, (error));             \
    } while (0)

namespace localhdfs_test {

using Properties = std::map<std::string, std::string>;

// core-site.xml always holds fs.defaultFS = hdfs://localhost:8020,
// hadoop.security.authentication = simple and localcluster.namespace.root; `core` overrides or
// adds to them. hdfs-site.xml holds `hdfs`.
class Cluster {
  public:
    explicit Cluster(const Properties& core = {}, const Properties& hdfs = {});

    const std::string& root() const { return m_root; }
    const std::string& confDir() const { return m_confDir; }
    std::string backing(const std::string& hdfsPath) const { return m_root + hdfsPath; }
    void WriteCoreSite(const Properties& core);
    void WriteHdfsSite(const Properties& hdfs);

    // A forced new builder connection to "default" as `user`.
    hdfsFS Connect(const char* user = "tester") const;

    // Backing-store helpers (bypass the library).
    void MakeFile(const std::string& hdfsPath, const std::string& content) const;
    void MakeDir(const std::string& hdfsPath) const;

  private:
    testsupport::TempDir m_dir;
    std::string m_root;
    std::string m_confDir;
    testsupport::ScopedEnv m_confEnv;
};

std::string SiteXml(const Properties& properties);

struct FileInfoDeleter {
    int count = 1;
    void operator()(hdfsFileInfo* info) const { hdfsFreeFileInfo(info, count); }
};
using FileInfoPtr = std::unique_ptr<hdfsFileInfo, FileInfoDeleter>;

FileInfoPtr PathInfo(hdfsFS fs, const char* path);

// The whole listing as (name, record) pairs; empty for an empty directory.
struct Listing {
    hdfsFileInfo* infos = nullptr;
    int count = 0;
    ~Listing() { hdfsFreeFileInfo(infos, count); }
};

// Writes a whole file through the library (O_WRONLY), asserting success.
void PutFile(hdfsFS fs, const char* path, const std::string& content);
// Reads a whole file through the library, asserting success.
std::string GetFile(hdfsFS fs, const char* path);

std::string GetXattr(const std::string& path, const char* name);
void SetXattr(const std::string& path, const char* name, const std::string& value);

// Writes a FILE: ticket cache for `client` holding one ticket for `server` that ends at `endtime`.
void WriteTicketCache(const std::string& path, const std::string& client, const std::string& server,
                      time_t endtime);

}  // namespace localhdfs_test

namespace localhdfs_test {

// A cluster and a connection as "tester" for every test of a suite.
class ConnectedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs = cluster.Connect("tester");
        ASSERT_NE(fs, nullptr) << "errno " << errno;
    }
    void TearDown() override {
        if (fs)
            hdfsDisconnect(fs);
    }

    Cluster cluster;
    hdfsFS fs = nullptr;
};

}  // namespace localhdfs_test
