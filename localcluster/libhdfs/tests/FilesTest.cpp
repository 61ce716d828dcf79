// Open flags, reads, writes, positions, close.
#include <gtest/gtest.h>

#include "LocalHdfsTestSupport.h"

using namespace localhdfs_test;

using Files = ConnectedTest;

TEST_F(Files, WriteOnlyCreatesParentsAndTruncatesAnExistingFile) {
    PutFile(fs, "/new/dir/f", "first version");
    EXPECT_EQ(GetFile(fs, "/new/dir/f"), "first version");
    PutFile(fs, "/new/dir/f", "2nd");
    EXPECT_EQ(GetFile(fs, "/new/dir/f"), "2nd");
    EXPECT_EQ(PathInfo(fs, "/new/dir/f")->mPermissions, 0644);
}

TEST_F(Files, CreateAndExclusiveFlagsAreNotEnforced) {
    cluster.MakeFile("/f", "old content");
    hdfsFile file = hdfsOpenFile(fs, "/f", O_WRONLY | O_CREAT | O_EXCL, 0, 0, 0);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(hdfsCloseFile(fs, file), 0);
    EXPECT_EQ(GetFile(fs, "/f"), "");
}

TEST_F(Files, AppendNeedsAnExistingFile) {
    EXPECT_FAILS_WITH(hdfsOpenFile(fs, "/missing", O_WRONLY | O_APPEND, 0, 0, 0), nullptr, ENOENT);
    cluster.MakeFile("/log", "one,");
    hdfsFile file = hdfsOpenFile(fs, "/log", O_WRONLY | O_APPEND, 0, 0, 0);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(hdfsTell(fs, file), 4);
    EXPECT_EQ(hdfsWrite(fs, file, "two", 3), 3);
    EXPECT_EQ(hdfsTell(fs, file), 7);
    EXPECT_EQ(hdfsCloseFile(fs, file), 0);
    EXPECT_EQ(GetFile(fs, "/log"), "one,two");
}

TEST_F(Files, ReadWriteModeIsEnotsupAndOtherModesEinval) {
    cluster.MakeFile("/f", "x");
    EXPECT_FAILS_WITH(hdfsOpenFile(fs, "/f", O_RDWR, 0, 0, 0), nullptr, ENOTSUP);
    EXPECT_FAILS_WITH(hdfsOpenFile(fs, "/f", O_ACCMODE, 0, 0, 0), nullptr, EINVAL);
}

TEST_F(Files, OpenFailuresOfTheNamespace) {
    cluster.MakeDir("/dir");
    cluster.MakeFile("/file", "x");
    EXPECT_FAILS_WITH(hdfsOpenFile(fs, "/missing", O_RDONLY, 0, 0, 0), nullptr, ENOENT);
    EXPECT_FAILS_WITH(hdfsOpenFile(fs, "/dir", O_RDONLY, 0, 0, 0), nullptr, ENOENT);
    EXPECT_FAILS_WITH(hdfsOpenFile(fs, "/dir", O_WRONLY, 0, 0, 0), nullptr, EEXIST);
    EXPECT_FAILS_WITH(hdfsOpenFile(fs, "/file/below", O_WRONLY, 0, 0, 0), nullptr, ENOTDIR);
}

TEST_F(Files, CreateParametersAreStoredAndCheckedAsTheNameNodeDoes) {
    hdfsFile file = hdfsOpenFile(fs, "/tuned", O_WRONLY, 4096, 2, 4194304);
    ASSERT_NE(file, nullptr);
    hdfsCloseFile(fs, file);
    EXPECT_EQ(GetXattr(cluster.backing("/tuned"), "user.hdfs.replication"), "2");
    EXPECT_EQ(GetXattr(cluster.backing("/tuned"), "user.hdfs.blocksize"), "4194304");
    EXPECT_FAILS_WITH(hdfsOpenFile(fs, "/small", O_WRONLY, 0, 0, 4096), nullptr,
                      EINTERNAL);  // < 1 MiB minimum
    EXPECT_FAILS_WITH(hdfsOpenFile(fs, "/odd", O_WRONLY, 0, 0, 1048577), nullptr,
                      EINTERNAL);  // not 512-aligned
}

TEST_F(Files, ReadsPreadsSeekAndTell) {
    cluster.MakeFile("/f", "0123456789");
    hdfsFile file = hdfsOpenFile(fs, "/f", O_RDONLY, 0, 0, 0);
    ASSERT_NE(file, nullptr);
    char buffer[16] = {};
    EXPECT_EQ(hdfsRead(fs, file, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(hdfsPread(fs, file, 7, buffer, 16), 3);
    EXPECT_EQ(std::string(buffer, 3), "789");
    EXPECT_EQ(hdfsTell(fs, file), 4);  // pread leaves the position alone
    EXPECT_EQ(hdfsSeek(fs, file, 8), 0);
    EXPECT_EQ(hdfsRead(fs, file, buffer, 16), 2);
    EXPECT_EQ(hdfsRead(fs, file, buffer, 16), 0);  // end of file
    EXPECT_EQ(hdfsPread(fs, file, 10, buffer, 16), 0);
    EXPECT_EQ(hdfsRead(fs, file, buffer, 0), 0);
    EXPECT_FAILS_WITH(hdfsSeek(fs, file, 11), -1, EINTERNAL);
    EXPECT_FAILS_WITH(hdfsSeek(fs, file, -1), -1, EINTERNAL);
    EXPECT_FAILS_WITH(hdfsRead(fs, file, buffer, -1), -1, EINVAL);
    EXPECT_EQ(hdfsCloseFile(fs, file), 0);
}

TEST_F(Files, ShortReadsWhenAsked) {
    cluster.MakeFile("/f", "0123456789");
    testsupport::ScopedEnv shortReads("LOCALHDFS_SHORT_READS", "3");
    hdfsFile file = hdfsOpenFile(fs, "/f", O_RDONLY, 0, 0, 0);
    ASSERT_NE(file, nullptr);
    char buffer[16];
    EXPECT_EQ(hdfsRead(fs, file, buffer, 10), 3);
    EXPECT_EQ(hdfsPread(fs, file, 0, buffer, 10), 3);
    EXPECT_EQ(hdfsCloseFile(fs, file), 0);
    EXPECT_EQ(GetFile(fs, "/f"), "0123456789");  // a loop still gets everything
}

TEST_F(Files, InjectedEintrReadIsTransient) {
    cluster.MakeFile("/f", "abc");
    testsupport::ScopedEnv fault("LOCALHDFS_FAULTS", "hdfsRead=4:1");
    hdfsFile file = hdfsOpenFile(fs, "/f", O_RDONLY, 0, 0, 0);
    ASSERT_NE(file, nullptr);
    char buffer[8];
    EXPECT_FAILS_WITH(hdfsRead(fs, file, buffer, 8), -1, EINTR);
    EXPECT_EQ(hdfsRead(fs, file, buffer, 8), 3);
    EXPECT_EQ(hdfsCloseFile(fs, file), 0);
}

TEST_F(Files, WriteIsAllOrNothing) {
    hdfsFile file = hdfsOpenFile(fs, "/f", O_WRONLY, 0, 0, 0);
    ASSERT_NE(file, nullptr);
    const std::string big(1 << 20, 'x');
    EXPECT_EQ(hdfsWrite(fs, file, big.data(), static_cast<tSize>(big.size())),
              static_cast<tSize>(big.size()));
    EXPECT_EQ(hdfsWrite(fs, file, "", 0), 0);
    EXPECT_FAILS_WITH(hdfsWrite(fs, file, "x", -1), -1, EINVAL);
    EXPECT_EQ(hdfsFlush(fs, file), 0);
    EXPECT_EQ(hdfsHSync(fs, file), 0);
    EXPECT_EQ(hdfsCloseFile(fs, file), 0);
    EXPECT_EQ(PathInfo(fs, "/f")->mSize, 1 << 20);
}

TEST_F(Files, OperationsOfTheWrongStreamKind) {
    cluster.MakeFile("/in", "abc");
    hdfsFile reader = hdfsOpenFile(fs, "/in", O_RDONLY, 0, 0, 0);
    hdfsFile writer = hdfsOpenFile(fs, "/out", O_WRONLY, 0, 0, 0);
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(writer, nullptr);
    char buffer[4];
    EXPECT_FAILS_WITH(hdfsWrite(fs, reader, "x", 1), -1, EINVAL);
    EXPECT_FAILS_WITH(hdfsRead(fs, writer, buffer, 4), -1, EINVAL);
    EXPECT_FAILS_WITH(hdfsPread(fs, writer, 0, buffer, 4), -1, EINVAL);
    EXPECT_FAILS_WITH(hdfsSeek(fs, writer, 0), -1, EBADF);
    EXPECT_FAILS_WITH(hdfsFlush(fs, reader), -1, EBADF);
    EXPECT_EQ(hdfsCloseFile(fs, reader), 0);
    EXPECT_EQ(hdfsCloseFile(fs, writer), 0);
    EXPECT_FAILS_WITH(hdfsCloseFile(fs, nullptr), -1, EBADF);
}

TEST_F(Files, CloseReleasesTheHandleEvenWhenItFails) {
    hdfsFile file = hdfsOpenFile(fs, "/f", O_WRONLY, 0, 0, 0);
    ASSERT_NE(file, nullptr);
    {
        testsupport::ScopedEnv fault("LOCALHDFS_FAULTS", "hdfsCloseFile=116");
        EXPECT_FAILS_WITH(hdfsCloseFile(fs, file), -1, ESTALE);
    }
    char buffer[1];
    EXPECT_FAILS_WITH(hdfsTell(fs, file), -1, EBADF);
    EXPECT_FAILS_WITH(hdfsRead(fs, file, buffer, 1), -1, EBADF);
    EXPECT_FAILS_WITH(hdfsCloseFile(fs, file), -1, EBADF);
    PutFile(fs, "/f", "the lease went with the handle");
}

TEST_F(Files, SecondWriterOfAFileIsRefusedUntilTheFirstCloses) {
    hdfsFile first = hdfsOpenFile(fs, "/f", O_WRONLY, 0, 0, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_FAILS_WITH(hdfsOpenFile(fs, "/f", O_WRONLY, 0, 0, 0), nullptr, EINTERNAL);
    EXPECT_FAILS_WITH(hdfsOpenFile(fs, "/f", O_WRONLY | O_APPEND, 0, 0, 0), nullptr, EINTERNAL);
    hdfsFile reader = hdfsOpenFile(fs, "/f", O_RDONLY, 0, 0, 0);  // readers are welcome
    EXPECT_NE(reader, nullptr);
    hdfsCloseFile(fs, reader);
    EXPECT_EQ(hdfsCloseFile(fs, first), 0);
    hdfsFile second = hdfsOpenFile(fs, "/f", O_WRONLY | O_APPEND, 0, 0, 0);
    EXPECT_NE(second, nullptr);
    hdfsCloseFile(fs, second);
}
