// CHadoopFS without libhdfs: the stat conversion, operations before the library is initialised,
// a file handle that was never opened, the library links, and the encryption-zone listing parser.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "hadoop/HadoopCryptoUtil.h"
#include "hadoop/HadoopFS.h"
#include "support/ErrorChecks.h"
#include "support/TestSupport.h"

using testsupport::ErrnoOf;
using testsupport::ExpectError;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

std::string LinkTarget(const std::string& link) {
    char buffer[4096];
    const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer);
    return length < 0 ? "(none)" : std::string(buffer, static_cast<size_t>(length));
}

hdfsFileInfo Record(tObjectKind kind, short permissions) {
    hdfsFileInfo info = {};
    info.mKind = kind;
    info.mName = const_cast<char*>("hdfs://localhost:8020/x");
    info.mLastMod = 200;
    info.mLastAccess = 100;
    info.mSize = 12345;
    info.mBlockSize = 4096;
    info.mPermissions = permissions;
    return info;
}

}  // namespace

// --- Stat conversion ---------------------------------------------------------------------------

TEST(StatConversion, DirectoryAndFileModes) {
    CHadoopFS fs;
    struct stat st = {};
    hdfsFileInfo directory = Record(kObjectKindDirectory, 0755);
    fs.ConvertToStatStructure(directory, &st);
    EXPECT_EQ(040755u, st.st_mode);
    EXPECT_EQ(static_cast<dev_t>(-1), st.st_dev);
    EXPECT_EQ(static_cast<ino_t>(-1), st.st_ino);
    EXPECT_EQ(200, st.st_mtime);
    EXPECT_EQ(200, st.st_ctime);
    EXPECT_EQ(100, st.st_atime);
    EXPECT_EQ(12345, st.st_size);
    EXPECT_EQ(4096, st.st_blksize);

    hdfsFileInfo file = Record(kObjectKindFile, 01644);  // sticky bit kept
    fs.ConvertToStatStructure(file, &st);
    EXPECT_EQ(0101644u, st.st_mode);
}

// --- Before the library is initialised ---------------------------------------------------------

TEST(NotInitialised, CopyFileFailsWithFault) {
    CHadoopFS fs;
    ASSERT_FALSE(gbLibraryInitialized);
    EXPECT_EQ(EFAULT, ErrnoOf([&] { return fs.CopyFile("/a", "/b"); }));
}

TEST(NotInitialised, ReleasingListingsDoesNothing) {
    // Without the library there is no release function; a record must not be touched.
    hdfsFileInfo* bogus = reinterpret_cast<hdfsFileInfo*>(0x10);
    { CHadoopFileInfoArray array(bogus, 3); }
    CHadoopFS fs;
    fs.FreeFileInfo(bogus, 3);
}

// --- A file handle that was never opened -------------------------------------------------------

TEST(UnopenedFile, DefaultConstructedHandle) {
    CHadoopFile file;
    EXPECT_FALSE(file.IsOpen());
    EXPECT_STREQ("", file.GetFilename());
    errno = 0;
    EXPECT_EQ(-1L, file.Tell());
    EXPECT_EQ(EIO, errno);
    char buffer[4];
    EXPECT_EQ(EIO, ErrnoOf([&] { return file.Read(buffer, 4); }));
    EXPECT_EQ(ENOTCONN, ErrnoOf([&] { return file.Close(); }));
}

TEST(UnopenedFile, KeepsItsNameAfterTheCallersBufferIsGone) {
    hdfs_internal* none = nullptr;
    std::string name = "/data/file";
    CHadoopFile file(none, name.c_str(), 0, 0, 0, 0);
    name.assign("overwritten");
    EXPECT_FALSE(file.IsOpen());
    EXPECT_STREQ("/data/file", file.GetFilename());
}

// --- Library links -----------------------------------------------------------------------------

class Links : public ::testing::Test {
  protected:
    TempDir m_home{"links-home"};
    ScopedEnv m_env{"HDFSAGENT_HOME", m_home.path()};
};

TEST_F(Links, SplitAtTheLastColon) {
    ASSERT_TRUE(CreateLibraryLinks("/a:/b:/c").Succeeded());
    EXPECT_EQ(m_home.path(), g_sBaseDirectory);
    EXPECT_EQ("/a:/b/libhdfs.so", LinkTarget(m_home / "libhdfs.so"));
    EXPECT_EQ("/c/libjvm.so", LinkTarget(m_home / "libjvm.so"));
}

TEST_F(Links, WithoutColonBothUseTheWholeText) {
    ASSERT_TRUE(CreateLibraryLinks("/opt/lib").Succeeded());
    EXPECT_EQ("/opt/lib/libhdfs.so", LinkTarget(m_home / "libhdfs.so"));
    EXPECT_EQ("/opt/lib/libjvm.so", LinkTarget(m_home / "libjvm.so"));
}

TEST_F(Links, ExistingFilesAndLinksAreReplaced) {
    testsupport::WriteFile(m_home / "libhdfs.so", "a file");
    ASSERT_EQ(0, symlink("/stale/libjvm.so", (m_home / "libjvm.so").c_str()));
    ASSERT_TRUE(CreateLibraryLinks("/new/hdfs:/new/jvm").Succeeded());
    EXPECT_EQ("/new/hdfs/libhdfs.so", LinkTarget(m_home / "libhdfs.so"));
    EXPECT_EQ("/new/jvm/libjvm.so", LinkTarget(m_home / "libjvm.so"));
}

TEST_F(Links, EntryThatCannotBeRemovedCountsAsPresent) {
    // A directory survives the unlink, so symlink meets EEXIST: taken as a link someone else made.
    ASSERT_EQ(0, mkdir((m_home / "libhdfs.so").c_str(), 0755));
    EXPECT_TRUE(CreateLibraryLinks("/h:/j").Succeeded());
    EXPECT_EQ("/j/libjvm.so", LinkTarget(m_home / "libjvm.so"));
}

TEST_F(Links, MissingBaseDirectoryFails) {
    ScopedEnv home("HDFSAGENT_HOME", m_home / "missing");
    CEkError err = CreateLibraryLinks("/h:/j");
    ExpectError(err, ENOENT,
                "symlink(/h/libhdfs.so, " + (m_home / "missing") +
                    "/libhdfs.so) failed: No such file or directory");
    EXPECT_EQ(m_home / "missing", g_sBaseDirectory);
}

// --- Encryption-zone listing -------------------------------------------------------------------

TEST(ZoneListing, RootIsTheTextBeforeTheLastDoubleBlank) {
    CHadoopCryptoUtil util;
    EXPECT_EQ(2u, util.AddZonesFromListing("/zone1  key1\n/data/zone 2  key2\n"));
    EXPECT_EQ((std::set<std::string>{"/data/zone 2", "/zone1"}), util.GetEncryptionZones());
}

// The listing pads the root column: a padded root used to keep its blanks and match no path.
TEST(ZoneListing, TrailingBlanksOfZoneRootsAreStripped) {
    CHadoopCryptoUtil util;
    util.AddZonesFromListing("/a               key1 \n/longer/zone/root  key2 \n\n");
    EXPECT_EQ((std::set<std::string>{"/a", "/longer/zone/root"}), util.GetEncryptionZones());
}

TEST(ZoneListing, OtherLinesAddNothing) {
    CHadoopCryptoUtil util;
    EXPECT_EQ(0u, util.AddZonesFromListing("Zone  Key\n\n  /indented  key\n/nodoubleblank key\n"
                                           "RemoteException: denied\n/"));
    EXPECT_TRUE(util.GetEncryptionZones().empty());
    EXPECT_FALSE(util.IsPopulated());
}
