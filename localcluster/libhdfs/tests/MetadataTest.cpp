// Namespace changes, capacity, block sizes and block locations.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "LocalHdfsTestSupport.h"

using namespace localhdfs_test;

using Metadata = ConnectedTest;

namespace {

mode_t Mode(const std::string& path) {
    struct stat st = {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

bool BackingExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The host lists as nested vectors; NULL result -> no outer vector.
std::vector<std::vector<std::string>> Hosts(hdfsFS fs, const char* path, tOffset start,
                                            tOffset length, bool* isNull = nullptr) {
    std::vector<std::vector<std::string>> result;
    char*** hosts = hdfsGetHosts(fs, path, start, length);
    if (isNull)
        *isNull = hosts == nullptr;
    if (!hosts)
        return result;
    for (size_t b = 0; hosts[b]; ++b) {
        result.emplace_back();
        for (size_t h = 0; hosts[b][h]; ++h)
            result.back().push_back(hosts[b][h]);
    }
    hdfsFreeHosts(hosts);
    return result;
}

}  // namespace

TEST_F(Metadata, ExistsIsZeroOrMinusOneWithEnoent) {
    cluster.MakeFile("/f", "x");
    EXPECT_EQ(hdfsExists(fs, "/f"), 0);
    EXPECT_FAILS_WITH(hdfsExists(fs, "/missing"), -1, ENOENT);
    EXPECT_FAILS_WITH(hdfsExists(fs, "/f/below"), -1, ENOENT);
    EXPECT_FAILS_WITH(hdfsExists(fs, nullptr), -1, EINVAL);
}

TEST_F(Metadata, CreateDirectoryMakesParentsOwnedByTheUser) {
    EXPECT_EQ(hdfsCreateDirectory(fs, "/a/b/c"), 0);
    for (const char* dir : {"/a", "/a/b", "/a/b/c"}) {
        FileInfoPtr info = PathInfo(fs, dir);
        ASSERT_NE(info, nullptr) << dir;
        EXPECT_EQ(info->mKind, kObjectKindDirectory);
        EXPECT_STREQ(info->mOwner, "tester") << dir;
        EXPECT_EQ(info->mPermissions, 0755) << dir;
    }
    EXPECT_EQ(hdfsCreateDirectory(fs, "/a/b"), 0);  // an existing directory is success
}

TEST_F(Metadata, CreateDirectoryOverOrBelowAFileFails) {
    cluster.MakeFile("/f", "x");
    EXPECT_FAILS_WITH(hdfsCreateDirectory(fs, "/f"), -1, EEXIST);
    EXPECT_FAILS_WITH(hdfsCreateDirectory(fs, "/f/sub"), -1, ENOTDIR);
}

TEST_F(Metadata, DeleteOfMissingPathIsEioNotEnoent) {
    EXPECT_FAILS_WITH(hdfsDelete(fs, "/missing", 1), -1, EIO);
}

TEST_F(Metadata, DeleteOfNonEmptyDirectoryNeedsRecursive) {
    cluster.MakeFile("/d/f", "x");
    cluster.MakeDir("/empty");
    EXPECT_FAILS_WITH(hdfsDelete(fs, "/d", 0), -1, EINTERNAL);
    EXPECT_TRUE(BackingExists(cluster.backing("/d/f")));
    EXPECT_EQ(hdfsDelete(fs, "/empty", 0), 0);
    EXPECT_EQ(hdfsDelete(fs, "/d", 1), 0);
    EXPECT_FALSE(BackingExists(cluster.backing("/d")));
}

TEST_F(Metadata, DeleteOfRootIsRefusedAndKeepsTheNamespace) {
    cluster.MakeFile("/f", "x");
    EXPECT_FAILS_WITH(hdfsDelete(fs, "/", 1), -1, EIO);
    EXPECT_TRUE(BackingExists(cluster.backing("/f")));
}

TEST_F(Metadata, RenameMovesIntoDirectoriesAndReportsFalseAsEio) {
    cluster.MakeFile("/f", "data");
    cluster.MakeDir("/dir");
    EXPECT_EQ(hdfsRename(fs, "/f", "/g"), 0);
    EXPECT_EQ(hdfsRename(fs, "/g", "/dir"), 0);
    EXPECT_EQ(GetFile(fs, "/dir/g"), "data");
    EXPECT_FAILS_WITH(hdfsRename(fs, "/missing", "/x"), -1, EIO);
    EXPECT_FAILS_WITH(hdfsRename(fs, "/dir", "/dir/inside"), -1, EIO);
}

TEST_F(Metadata, CopyCopiesFilesAndTreesAsTheDestinationUser) {
    cluster.MakeFile("/src/a", "aaa");
    cluster.MakeFile("/src/sub/b", "bb");
    EXPECT_EQ(hdfsCopy(fs, "/src/a", fs, "/copy-a"), 0);
    EXPECT_EQ(GetFile(fs, "/copy-a"), "aaa");
    EXPECT_STREQ(PathInfo(fs, "/copy-a")->mOwner, "tester");
    EXPECT_EQ(hdfsCopy(fs, "/src", fs, "/tree"), 0);
    EXPECT_EQ(GetFile(fs, "/tree/sub/b"), "bb");
    cluster.MakeDir("/into");
    EXPECT_EQ(hdfsCopy(fs, "/src/a", fs, "/into"), 0);  // into an existing directory
    EXPECT_EQ(GetFile(fs, "/into/a"), "aaa");
    EXPECT_EQ(hdfsCopy(fs, "/src/sub/b", fs, "/copy-a"), 0);  // overwrites
    EXPECT_EQ(GetFile(fs, "/copy-a"), "bb");
    EXPECT_EQ(GetFile(fs, "/src/a"), "aaa");
}

TEST_F(Metadata, CopyFailures) {
    cluster.MakeFile("/src/a", "a");
    EXPECT_FAILS_WITH(hdfsCopy(fs, "/missing", fs, "/x"), -1, ENOENT);
    EXPECT_FAILS_WITH(hdfsCopy(fs, "/src", fs, "/src/inner"), -1, EINTERNAL);
}

TEST_F(Metadata, CopyAcrossFileSystemsAndMove) {
    testsupport::TempDir local("localhdfs-copy");
    hdfsFS localFs = hdfsConnect(nullptr, 0);
    ASSERT_NE(localFs, nullptr);
    cluster.MakeFile("/a", "payload");
    EXPECT_EQ(hdfsCopy(fs, "/a", localFs, (local / "a").c_str()), 0);
    EXPECT_EQ(testsupport::ReadFile(local / "a"), "payload");
    EXPECT_EQ(hdfsMove(localFs, (local / "a").c_str(), fs, "/moved"), 0);
    EXPECT_EQ(GetFile(fs, "/moved"), "payload");
    EXPECT_FALSE(BackingExists(local / "a"));
    hdfsDisconnect(localFs);
}

TEST_F(Metadata, ChownWithNeitherNameSucceedsWithoutLookingAtThePath) {
    EXPECT_EQ(hdfsChown(fs, "/missing", nullptr, nullptr), 0);
}

TEST_F(Metadata, ChownChangesTheGivenNamesOnly) {
    cluster.MakeFile("/f", "x");
    EXPECT_EQ(hdfsChown(fs, "/f", "hbase", nullptr), 0);
    EXPECT_STREQ(PathInfo(fs, "/f")->mOwner, "hbase");
    EXPECT_STREQ(PathInfo(fs, "/f")->mGroup, "root");
    EXPECT_EQ(hdfsChown(fs, "/f", nullptr, "hadoop"), 0);
    EXPECT_STREQ(PathInfo(fs, "/f")->mOwner, "hbase");
    EXPECT_STREQ(PathInfo(fs, "/f")->mGroup, "hadoop");
    EXPECT_EQ(GetXattr(cluster.backing("/f"), "user.hdfs.owner"), "hbase");
    EXPECT_FAILS_WITH(hdfsChown(fs, "/missing", "hbase", nullptr), -1, ENOENT);
}

TEST_F(Metadata, ChmodSetsTheModeBits) {
    cluster.MakeDir("/d");
    EXPECT_EQ(hdfsChmod(fs, "/d", 01750), 0);
    EXPECT_EQ(Mode(cluster.backing("/d")), 01750u);
    EXPECT_EQ(PathInfo(fs, "/d")->mPermissions, 01750);
    EXPECT_FAILS_WITH(hdfsChmod(fs, "/missing", 0644), -1, ENOENT);
}

TEST_F(Metadata, UtimeMinusOneLeavesThatTimeUnchanged) {
    cluster.MakeFile("/f", "x");
    EXPECT_EQ(hdfsUtime(fs, "/f", 1000000000, 1100000000), 0);
    EXPECT_EQ(hdfsUtime(fs, "/f", -1, 1200000000), 0);
    EXPECT_EQ(PathInfo(fs, "/f")->mLastMod, 1000000000);
    EXPECT_EQ(PathInfo(fs, "/f")->mLastAccess, 1200000000);
    EXPECT_EQ(hdfsUtime(fs, "/f", 1300000000, -1), 0);
    EXPECT_EQ(PathInfo(fs, "/f")->mLastMod, 1300000000);
    EXPECT_EQ(PathInfo(fs, "/f")->mLastAccess, 1200000000);
}

TEST_F(Metadata, UsedIsEveryFilesSizeTimesItsReplication) {
    cluster.MakeFile("/a", "0123456789");  // default replication 3
    cluster.MakeFile("/d/b", "01234");
    SetXattr(cluster.backing("/d/b"), "user.hdfs.replication", "2");
    EXPECT_EQ(hdfsGetUsed(fs), 10 * 3 + 5 * 2);
    EXPECT_GT(hdfsGetCapacity(fs), 0);  // the backing file system's size
}

TEST_F(Metadata, CapacityFromConfigurationWhenGiven) {
    cluster.WriteCoreSite({{"localcluster.capacity", "10g"}});
    hdfsFS configured = cluster.Connect();
    EXPECT_EQ(hdfsGetCapacity(configured), 10LL << 30);
    hdfsDisconnect(configured);
}

TEST_F(Metadata, DefaultBlockSizeFromConfigurationWithSuffixes) {
    EXPECT_EQ(hdfsGetDefaultBlockSize(fs), 134217728);
    cluster.WriteHdfsSite({{"dfs.blocksize", " 64M "}});
    hdfsFS configured = cluster.Connect();
    EXPECT_EQ(hdfsGetDefaultBlockSize(configured), 67108864);
    EXPECT_EQ(hdfsGetDefaultBlockSizeAtPath(configured, "/not/there/yet"), 67108864);
    EXPECT_FAILS_WITH(hdfsGetDefaultBlockSizeAtPath(configured, nullptr), -1, EINVAL);
    hdfsDisconnect(configured);

    cluster.WriteHdfsSite({{"dfs.blocksize", "lots"}});
    EXPECT_FAILS_WITH(cluster.Connect(), nullptr, EINTERNAL);
}

TEST_F(Metadata, HostsListOneEntryPerReplicaForEachBlockInRange) {
    cluster.MakeFile("/f", "0123456789");  // blocks [0,4) [4,8) [8,10)
    SetXattr(cluster.backing("/f"), "user.hdfs.blocksize", "4");
    SetXattr(cluster.backing("/f"), "user.hdfs.replication", "2");
    const std::vector<std::string> replicas = {"dn1.localcluster", "dn2.localcluster"};
    using Blocks = std::vector<std::vector<std::string>>;
    EXPECT_EQ(Hosts(fs, "/f", 0, 10), Blocks(3, replicas));
    EXPECT_EQ(Hosts(fs, "/f", 3, 2), Blocks(2, replicas));
    EXPECT_EQ(Hosts(fs, "/f", 5, 0), Blocks(1, replicas));
    EXPECT_EQ(Hosts(fs, "/f", 8, 1000), Blocks(1, replicas));
}

TEST_F(Metadata, HostsOfEmptyRangeIsArrayWithImmediateNull) {
    cluster.MakeFile("/f", "0123");
    cluster.MakeFile("/empty", "");
    bool isNull = true;
    EXPECT_TRUE(Hosts(fs, "/f", 4, 10, &isNull).empty());
    EXPECT_FALSE(isNull);
    EXPECT_TRUE(Hosts(fs, "/empty", 0, 10, &isNull).empty());
    EXPECT_FALSE(isNull);
}

TEST_F(Metadata, HostsFailures) {
    cluster.MakeDir("/d");
    cluster.MakeFile("/f", "x");
    EXPECT_FAILS_WITH(hdfsGetHosts(fs, "/missing", 0, 1), nullptr, ENOENT);
    EXPECT_FAILS_WITH(hdfsGetHosts(fs, "/d", 0, 1), nullptr, ENOENT);
    EXPECT_FAILS_WITH(hdfsGetHosts(fs, "/f", -1, 1), nullptr, EINVAL);
}

TEST_F(Metadata, HostsUseConfiguredDataNodeNames) {
    cluster.WriteHdfsSite({{"localcluster.datanode.hosts", "a.example, b.example, c.example"}});
    hdfsFS configured = cluster.Connect();
    cluster.MakeFile("/f", "x");
    SetXattr(cluster.backing("/f"), "user.hdfs.replication", "2");
    EXPECT_EQ(Hosts(configured, "/f", 0, 1),
              (std::vector<std::vector<std::string>>{{"a.example", "b.example"}}));
    hdfsDisconnect(configured);
}
