// File information records and listings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "LocalHdfsTestSupport.h"

using namespace localhdfs_test;

using FileInfo = ConnectedTest;

TEST_F(FileInfo, FileRecordCarriesEveryField) {
    hdfsFile file = hdfsOpenFile(fs, "/dir/data", O_WRONLY, 0, 2, 2097152);
    ASSERT_NE(file, nullptr) << errno;
    ASSERT_EQ(hdfsWrite(fs, file, "0123456789", 10), 10);
    ASSERT_EQ(hdfsCloseFile(fs, file), 0);
    struct timespec times[2] = {{1600000000, 0}, {1500000000, 0}};  // atime, mtime
    ASSERT_EQ(utimensat(AT_FDCWD, cluster.backing("/dir/data").c_str(), times, 0), 0);

    FileInfoPtr info = PathInfo(fs, "/dir/data");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->mKind, kObjectKindFile);
    EXPECT_STREQ(info->mName, "hdfs://localhost:8020/dir/data");
    EXPECT_EQ(info->mSize, 10);
    EXPECT_EQ(info->mReplication, 2);
    EXPECT_EQ(info->mBlockSize, 2097152);
    EXPECT_STREQ(info->mOwner, "tester");
    EXPECT_STREQ(info->mGroup, "root");  // the group of the parent, as HDFS gives it
    EXPECT_EQ(info->mPermissions, 0644);
    EXPECT_EQ(info->mLastMod, 1500000000);
    EXPECT_EQ(info->mLastAccess, 1600000000);
}

TEST_F(FileInfo, DirectoryRecordHasNoSizeReplicationOrBlockSize) {
    cluster.MakeFile("/dir/f", "abc");
    FileInfoPtr info = PathInfo(fs, "/dir");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->mKind, kObjectKindDirectory);
    EXPECT_EQ(info->mSize, 0);
    EXPECT_EQ(info->mReplication, 0);
    EXPECT_EQ(info->mBlockSize, 0);
    EXPECT_STREQ(PathInfo(fs, "/")->mName, "hdfs://localhost:8020/");
}

TEST_F(FileInfo, OwnerAndGroupFromXattrsElseFromTheIds) {
    cluster.MakeFile("/ids", "");
    cluster.MakeFile("/named", "");
    cluster.MakeFile("/unknown", "");
    SetXattr(cluster.backing("/named"), "user.hdfs.owner", "hbase");
    SetXattr(cluster.backing("/named"), "user.hdfs.group", "hadoop");
    ASSERT_EQ(chown(cluster.backing("/unknown").c_str(), 54321, 54322), 0);

    EXPECT_STREQ(PathInfo(fs, "/ids")->mOwner, "root");
    EXPECT_STREQ(PathInfo(fs, "/ids")->mGroup, "root");
    EXPECT_STREQ(PathInfo(fs, "/named")->mOwner, "hbase");
    EXPECT_STREQ(PathInfo(fs, "/named")->mGroup, "hadoop");
    EXPECT_STREQ(PathInfo(fs, "/unknown")->mOwner, "54321");
    EXPECT_STREQ(PathInfo(fs, "/unknown")->mGroup, "54322");
}

TEST_F(FileInfo, PermissionsIncludeTheStickyBit) {
    cluster.MakeDir("/tmp");
    ASSERT_EQ(chmod(cluster.backing("/tmp").c_str(), 01777), 0);
    EXPECT_EQ(PathInfo(fs, "/tmp")->mPermissions, 01777);
}

TEST_F(FileInfo, ReplicationAndBlockSizeFromXattrsElseConfiguration) {
    cluster.WriteHdfsSite({{"dfs.replication", "2"}, {"dfs.blocksize", "64m"}});
    hdfsFS configured = cluster.Connect();
    cluster.MakeFile("/plain", "x");
    cluster.MakeFile("/tuned", "x");
    SetXattr(cluster.backing("/tuned"), "user.hdfs.replication", "5");
    SetXattr(cluster.backing("/tuned"), "user.hdfs.blocksize", "1024");
    EXPECT_EQ(PathInfo(configured, "/plain")->mReplication, 2);
    EXPECT_EQ(PathInfo(configured, "/plain")->mBlockSize, 67108864);
    EXPECT_EQ(PathInfo(configured, "/tuned")->mReplication, 5);
    EXPECT_EQ(PathInfo(configured, "/tuned")->mBlockSize, 1024);
    EXPECT_EQ(PathInfo(fs, "/plain")->mReplication, 3);  // defaults without configuration
    EXPECT_EQ(PathInfo(fs, "/plain")->mBlockSize, 134217728);
    hdfsDisconnect(configured);
}

TEST_F(FileInfo, MissingPathIsEnoent) {
    cluster.MakeFile("/file", "x");
    for (const char* path : {"/missing", "/file/below"}) {
        errno = 0;
        EXPECT_EQ(hdfsGetPathInfo(fs, path), nullptr) << path;
        EXPECT_EQ(errno, ENOENT) << path;
    }
}

TEST_F(FileInfo, PathsResolveRelativeToTheUsersHomeAndQualifiedToThisFileSystem) {
    cluster.MakeFile("/user/tester/rel", "x");
    cluster.MakeFile("/a/b", "x");
    EXPECT_STREQ(PathInfo(fs, "rel")->mName, "hdfs://localhost:8020/user/tester/rel");
    EXPECT_STREQ(PathInfo(fs, "hdfs://LOCALHOST:8020//a///b/")->mName, "hdfs://localhost:8020/a/b");
    EXPECT_STREQ(PathInfo(fs, "hdfs:/a/b")->mName, "hdfs://localhost:8020/a/b");
    for (const char* bad : {"hdfs://other:8020/a/b", "/a/../b", "/a/./b", ""}) {
        errno = 0;
        EXPECT_EQ(hdfsGetPathInfo(fs, bad), nullptr) << bad;
        EXPECT_EQ(errno, EINVAL) << bad;
    }
}

TEST_F(FileInfo, ListingOfDirectoryIsSortedQualifiedAndClearsErrno) {
    cluster.MakeFile("/d/b", "bb");
    cluster.MakeFile("/d/a", "a");
    cluster.MakeDir("/d/C");
    Listing listing;
    errno = 99;
    listing.infos = hdfsListDirectory(fs, "/d", &listing.count);
    ASSERT_NE(listing.infos, nullptr);
    EXPECT_EQ(errno, 0);
    ASSERT_EQ(listing.count, 3);
    EXPECT_STREQ(listing.infos[0].mName, "hdfs://localhost:8020/d/C");
    EXPECT_EQ(listing.infos[0].mKind, kObjectKindDirectory);
    EXPECT_STREQ(listing.infos[1].mName, "hdfs://localhost:8020/d/a");
    EXPECT_STREQ(listing.infos[2].mName, "hdfs://localhost:8020/d/b");
    EXPECT_EQ(listing.infos[2].mSize, 2);
}

TEST_F(FileInfo, EmptyDirectoryListsAsNullWithErrnoZeroAndCountZero) {
    cluster.MakeDir("/empty");
    int count = -7;
    errno = 99;
    EXPECT_EQ(hdfsListDirectory(fs, "/empty", &count), nullptr);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(count, 0);
}

TEST_F(FileInfo, FailedListingSetsErrnoAndLeavesCountUntouched) {
    int count = -7;
    EXPECT_FAILS_WITH(hdfsListDirectory(fs, "/missing", &count), nullptr, ENOENT);
    EXPECT_EQ(count, -7);

    cluster.MakeDir("/denied");
    testsupport::ScopedEnv fault("LOCALHDFS_FAULTS", "hdfsListDirectory=13");
    EXPECT_FAILS_WITH(hdfsListDirectory(fs, "/denied", &count), nullptr, EACCES);
    EXPECT_EQ(count, -7);
}

TEST_F(FileInfo, ListingOfPlainFileIsThatFile) {
    cluster.MakeFile("/f", "abc");
    Listing listing;
    listing.infos = hdfsListDirectory(fs, "/f", &listing.count);
    ASSERT_EQ(listing.count, 1);
    EXPECT_STREQ(listing.infos[0].mName, "hdfs://localhost:8020/f");
}

TEST_F(FileInfo, FilesInsideEncryptionZonesReportEncrypted) {
    testsupport::WriteFile(cluster.confDir() + "/encryption-zones",
                           "/secure\tkey1\n/other/\tkey2\n");
    cluster.MakeFile("/secure/f", "x");
    cluster.MakeFile("/securex", "x");
    cluster.MakeFile("/other/deep/g", "x");
    cluster.MakeFile("/plain", "x");
    EXPECT_EQ(hdfsFileIsEncrypted(PathInfo(fs, "/secure/f").get()), 1);
    EXPECT_EQ(hdfsFileIsEncrypted(PathInfo(fs, "/secure").get()), 1);
    EXPECT_EQ(hdfsFileIsEncrypted(PathInfo(fs, "/other/deep/g").get()), 1);
    EXPECT_EQ(hdfsFileIsEncrypted(PathInfo(fs, "/securex").get()), 0);
    EXPECT_EQ(hdfsFileIsEncrypted(PathInfo(fs, "/plain").get()), 0);

    Listing listing;  // the flag travels with listing records too
    listing.infos = hdfsListDirectory(fs, "/secure", &listing.count);
    ASSERT_EQ(listing.count, 1);
    EXPECT_EQ(hdfsFileIsEncrypted(&listing.infos[0]), 1);
}

TEST_F(FileInfo, FreeingNothingIsSafe) {
    hdfsFreeFileInfo(nullptr, 0);
}
