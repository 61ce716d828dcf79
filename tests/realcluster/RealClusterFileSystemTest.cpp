// The library's file-system operations against a real HDFS (MiniDFSCluster) through the real
// Apache libhdfs: set-up with the real `hadoop classpath`, stat and listings, reads across
// blocks, writes, ownership, modes and times, block maps, rename/copy/delete, configuration
// lookups, and the error numbers a real NameNode's refusals map to.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include "hadoop/HadoopFS.h"
#include "support/ErrorChecks.h"
#include "support/RealCluster.h"
#include "support/RealClusterLibrary.h"
#include "support/TestSupport.h"

using ::testing::HasSubstr;
using testsupport::ErrnoOf;
using testsupport::RealCluster;
using testsupport::RealClusterLibrary;

namespace {

// Bytes whose value depends on the offset, so a read from the wrong place shows.
std::string Pattern(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131 + i / 4096) & 0xff);
    return data;
}

// One hdfsFileInfo record, released with the library's allocator.
class FileInfo {
  public:
    FileInfo(CHadoopFS& fs, const std::string& path) : m_fs(fs) {
        m_result = fs.GetFileInfo(path.c_str(), &m_info);
        m_errno = errno;
    }
    ~FileInfo() {
        if (m_info != nullptr)
            m_fs.FreeFileInfo(m_info, 1);
    }
    FileInfo(const FileInfo&) = delete;
    FileInfo& operator=(const FileInfo&) = delete;
    bool ok() const { return m_result == 0 && m_info != nullptr; }
    int error() const { return m_errno; }
    const hdfsFileInfo* operator->() const { return m_info; }

  private:
    CHadoopFS& m_fs;
    hdfsFileInfo* m_info = nullptr;
    int m_result = -1;
    int m_errno = 0;
};

class RealFileSystem : public ::testing::Test {
  protected:
    // Connects as root (the cluster's superuser) and makes the test's own directory.
    void Connect() {
        CEkError err = m_library.Connect(m_cluster.uri(), "root", &m_fs);
        ASSERT_TRUE(err.Succeeded()) << err.AsString();
        ASSERT_TRUE(m_fs);
        ASSERT_EQ(0, m_fs->CreateDirectory(m_root.c_str())) << errno;
    }
    std::string Path(const std::string& name) const { return m_root + "/" + name; }

    void WriteFile(const std::string& path, const std::string& data) {
        boost::shared_ptr<CHadoopFile> file;
        ASSERT_EQ(0, m_fs->Open(path.c_str(), O_WRONLY, file, 0, 0, 0)) << errno;
        size_t done = 0;
        while (done < data.size()) {
            unsigned int chunk =
                static_cast<unsigned int>(std::min<size_t>(data.size() - done, 300000));
            int written = file->Write(data.data() + done, chunk);
            ASSERT_GT(written, 0) << errno;
            done += static_cast<size_t>(written);
        }
        ASSERT_EQ(0, file->Close());
    }
    std::string ReadAll(CHadoopFile& file) {
        std::string data;
        char buffer[65536];
        for (int n; (n = file.Read(buffer, sizeof buffer)) > 0;)
            data.append(buffer, static_cast<size_t>(n));
        return data;
    }

    RealCluster m_cluster = RealCluster::Plain();
    RealClusterLibrary m_library{m_cluster};
    std::string m_root = "/tests/fs-" + std::to_string(getpid());
    CHadoopFSPtr m_fs;
};

TEST_F(RealFileSystem, SetUpWithTheRealClasspathConnectsAndStatsTheRoot) {
    Connect();
    const char* classpath = getenv("CLASSPATH");
    ASSERT_NE(nullptr, classpath);
    EXPECT_THAT(classpath, HasSubstr("/share/hadoop/client/hadoop-client-api-3.4.1.jar"));
    EXPECT_THAT(classpath, HasSubstr(m_cluster.confDir()));
    EXPECT_EQ(m_cluster.uri(), m_fs->GetHadoopPathPrefix());

    FileInfo root(*m_fs, "/");
    ASSERT_TRUE(root.ok()) << root.error();
    EXPECT_EQ(kObjectKindDirectory, root->mKind);
    EXPECT_EQ(m_cluster.uri() + "/", std::string(root->mName));
    EXPECT_EQ(std::string("root"), root->mOwner);
    EXPECT_EQ(1, m_fs->IsDirectory("/"));
    EXPECT_EQ(0, m_fs->IsRegular("/"));

    unsigned long long total = 0, used = 0, free = 0;
    ASSERT_EQ(0, m_fs->GetSpaceUsage(&total, &used, &free));
    EXPECT_GT(total, 0u);
    EXPECT_LE(used + free, total);
    unsigned long long blockSize = 0;
    ASSERT_EQ(0, m_fs->GetBlockSize(&blockSize));
    EXPECT_EQ(static_cast<unsigned long long>(m_cluster.blockSize()), blockSize);
}

TEST_F(RealFileSystem, DetectionFindsTheRealLibrariesThroughTheClientInstallation) {
    // No saved directories and an instance message without paths: the library finds the
    // installation from `hadoop` on PATH, libhdfs in its lib/native, libjvm from `hadoop envvars`.
    m_library.SetSetting("FileSystemAgent", "HDP_LIB_PATH", "");
    testsupport::WriteFile(m_library.home() + "/instances/1.json",
                           R"({"entries": [{"selector": 1, "configField2": "real"}]})");
    Connect();
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::canonical(m_cluster.libhdfs()), fs::canonical(m_library.home() + "/libhdfs.so"));
    EXPECT_EQ(fs::canonical(m_cluster.libjvmDir() + "/libjvm.so"),
              fs::canonical(m_library.home() + "/libjvm.so"));
    FileInfo root(*m_fs, "/");
    EXPECT_TRUE(root.ok()) << root.error();
}

TEST_F(RealFileSystem, ListingsTellEmptyFromMissingAndMapRefusals) {
    Connect();
    ASSERT_EQ(0, m_fs->CreateDirectory(Path("empty").c_str()));
    boost::shared_ptr<CHadoopFileInfoArray> entries;
    int count = -1;
    ASSERT_EQ(0, m_fs->ListDirectory(Path("empty").c_str(), entries, count));
    EXPECT_EQ(0, count);

    EXPECT_EQ(ENOENT, ErrnoOf([&] {
                  return m_fs->ListDirectory(Path("missing").c_str(), entries, count);
              }));
    EXPECT_EQ(ENOENT, FileInfo(*m_fs, Path("missing")).error());
    EXPECT_EQ(-1, m_fs->Exists(Path("missing").c_str()));

    // A directory only its owner may enter, read by a user that is not the superuser.
    ASSERT_EQ(0, m_fs->CreateDirectory(Path("private/inner").c_str()));
    ASSERT_EQ(0, m_fs->Chmod(Path("private").c_str(), 0700));
    CHadoopFS other(m_cluster.uri(), "nobody");
    ASSERT_TRUE(other.Good()) << other.GetLastErrorString();
    EXPECT_EQ(EACCES, ErrnoOf([&] {
                  return other.ListDirectory(Path("private").c_str(), entries, count);
              }));
    EXPECT_EQ(EACCES, FileInfo(other, Path("private/inner")).error());
    EXPECT_EQ(EACCES, ErrnoOf([&] { return other.CreateDirectory(Path("private/x").c_str()); }));
}

TEST_F(RealFileSystem, FilesSpanningBlocksReadBackWholeAtAnyOffsetAndMapToTheirBlocks) {
    Connect();
    const long block = m_cluster.blockSize();
    const std::string data = Pattern(static_cast<size_t>(block * 2 + block / 2));
    WriteFile(Path("big"), data);

    FileInfo info(*m_fs, Path("big"));
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(kObjectKindFile, info->mKind);
    EXPECT_EQ(static_cast<tOffset>(data.size()), info->mSize);
    EXPECT_EQ(block, info->mBlockSize);
    EXPECT_EQ(1, info->mReplication);

    boost::shared_ptr<CHadoopFile> file;
    ASSERT_EQ(0, m_fs->Open(Path("big").c_str(), O_RDONLY, file, 0, 0, 0)) << errno;
    EXPECT_EQ(data, ReadAll(*file));

    // Ranges that straddle the block boundaries, read without moving the position...
    for (long at : {block - 10, 2 * block - 1, static_cast<long>(data.size()) - 5}) {
        char buffer[20] = {};
        int n = file->Pread(buffer, sizeof buffer, at);
        ASSERT_GT(n, 0) << "at " << at;
        EXPECT_EQ(data.substr(static_cast<size_t>(at), static_cast<size_t>(n)),
                  std::string(buffer, static_cast<size_t>(n)))
            << "at " << at;
    }
    // ...and after a seek, from where the seek put it.
    ASSERT_EQ(0, file->Seek(block + 7));
    EXPECT_EQ(block + 7, file->Tell());
    EXPECT_EQ(data.substr(static_cast<size_t>(block + 7)), ReadAll(*file));
    ASSERT_EQ(0, file->Close());

    std::list<std::string> hosts;
    ASSERT_EQ(0, m_fs->GetBlockMap(Path("big").c_str(), 0, static_cast<long>(data.size()), hosts));
    EXPECT_EQ(3u, hosts.size());
    hosts.clear();
    ASSERT_EQ(0, m_fs->GetBlockMap(Path("big").c_str(), block + 1, 10, hosts));
    EXPECT_EQ(1u, hosts.size());
    unsigned long long atPath = 0;
    ASSERT_EQ(0, m_fs->GetBlockSizeAtPath(Path("big").c_str(), &atPath));
    EXPECT_EQ(static_cast<unsigned long long>(block), atPath);
}

TEST_F(RealFileSystem, OwnerModeAndTimesAreSetAsGiven) {
    Connect();
    WriteFile(Path("f"), "x");
    ASSERT_EQ(0, m_fs->Chmod(Path("f").c_str(), 0750));
    // alice has no local account; the NameNode takes any name.
    ASSERT_EQ(0, m_fs->Chown(Path("f").c_str(), "alice", "staff"));
    utimbuf times = {1600000123, 1700000456};
    ASSERT_EQ(0, m_fs->Utime(Path("f").c_str(), &times));

    FileInfo info(*m_fs, Path("f"));
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(0750, info->mPermissions);
    EXPECT_EQ(std::string("alice"), info->mOwner);
    EXPECT_EQ(std::string("staff"), info->mGroup);
    EXPECT_EQ(1700000456, info->mLastMod);
    EXPECT_EQ(1600000123, info->mLastAccess);

    // The sticky bit survives the way through libhdfs.
    ASSERT_EQ(0, m_fs->CreateDirectory(Path("shared").c_str()));
    ASSERT_EQ(0, m_fs->Chmod(Path("shared").c_str(), 01777));
    EXPECT_EQ(01777, FileInfo(*m_fs, Path("shared"))->mPermissions);
}

TEST_F(RealFileSystem, RenameCopyAndDeleteChangeTheTreeAndRefuseWhatHdfsRefuses) {
    Connect();
    WriteFile(Path("a"), "alpha");
    ASSERT_EQ(0, m_fs->CopyFile(Path("a").c_str(), Path("b").c_str()));
    ASSERT_EQ(0, m_fs->Rename(Path("a").c_str(), Path("c").c_str()));
    EXPECT_EQ(ENOENT, FileInfo(*m_fs, Path("a")).error());
    EXPECT_EQ(5, FileInfo(*m_fs, Path("b"))->mSize);
    EXPECT_EQ(5, FileInfo(*m_fs, Path("c"))->mSize);
    // HDFS renames neither onto an existing file nor into a missing directory.
    EXPECT_EQ(-1, m_fs->Rename(Path("b").c_str(), Path("c").c_str()));
    EXPECT_EQ(-1, m_fs->Rename(Path("b").c_str(), Path("nodir/b").c_str()));

    ASSERT_EQ(0, m_fs->CreateDirectory(Path("d/e").c_str()));
    WriteFile(Path("d/e/f"), "x");
    EXPECT_EQ(-1, m_fs->RemoveFile(Path("d").c_str(), 0));
    EXPECT_EQ(0, m_fs->Exists(Path("d/e/f").c_str()));
    ASSERT_EQ(0, m_fs->RemoveFile(Path("d").c_str(), 1));
    EXPECT_EQ(ENOENT, FileInfo(*m_fs, Path("d")).error());
}

TEST_F(RealFileSystem, ConfigurationAndZoneLookupsAnswerFromTheRealClient) {
    Connect();
    std::string value;
    ASSERT_EQ(0, m_fs->GetConfString("fs.defaultFS", value));
    EXPECT_EQ(m_cluster.uri(), value);
    ASSERT_EQ(0, m_fs->GetConfString("hadoop.security.authentication", value));
    EXPECT_EQ("simple", value);
    int replication = 0;
    ASSERT_EQ(0, m_fs->GetConfInt("dfs.replication", replication));
    EXPECT_EQ(1, replication);

    // The real `hdfs crypto -listZones` of a cluster without zones.
    CEkError err = m_fs->m_oCryptoUtil.PopulateEncryptionZones();
    EXPECT_TRUE(err.Succeeded()) << err.AsString();
    EXPECT_TRUE(m_fs->m_oCryptoUtil.GetEncryptionZones().empty());
}

}  // namespace
