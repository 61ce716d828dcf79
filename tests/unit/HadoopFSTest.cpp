// CHadoopFS without libhdfs: the stat conversion, operations before the library is initialised,
// a file handle that was never opened, the library links, and the encryption-zone listing parser.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "hadoop/HadoopBinding.h"
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
}  // namespace

// --- Stat conversion (the directory case against the stand-in: HadoopFSTest) -----------------

TEST(StatConversion, FileTimesSizesAndStickyBit) {
    hdfsFileInfo file = {};
    file.mKind = kObjectKindFile;
    file.mName = const_cast<char*>("hdfs://localhost:8020/x");
    file.mLastMod = 200;
    file.mLastAccess = 100;
    file.mSize = 12345;
    file.mBlockSize = 4096;
    file.mPermissions = 01644;
    struct stat st = {};
    CHadoopFS().ConvertToStatStructure(file, &st);
    EXPECT_EQ(0101644u, st.st_mode);
    EXPECT_EQ(static_cast<ino_t>(-1), st.st_ino);
    EXPECT_EQ(200, st.st_mtime);
    EXPECT_EQ(200, st.st_ctime);
    EXPECT_EQ(100, st.st_atime);
    EXPECT_EQ(12345, st.st_size);
    EXPECT_EQ(4096, st.st_blksize);
}

// --- Before the library is initialised, and a file handle that was never opened --------------

TEST(NotInitialised, CopyFileFailsAndReleasingListingsDoesNothing) {
    CHadoopFS fs;
    ASSERT_FALSE(gbLibraryInitialized);
    EXPECT_EQ(EFAULT, ErrnoOf([&] { return fs.CopyFile("/a", "/b"); }));
    // Without the library there is no release function; a record must not be touched.
    hdfsFileInfo* bogus = reinterpret_cast<hdfsFileInfo*>(0x10);
    { CHadoopFileInfoArray array(bogus, 3); }
    fs.FreeFileInfo(bogus, 3);
}

TEST(UnopenedFile, FailsAndKeepsItsNameAfterTheCallersBufferIsGone) {
    CHadoopFile file;
    EXPECT_FALSE(file.IsOpen());
    EXPECT_STREQ("", file.GetFilename());
    errno = 0;
    EXPECT_EQ(-1L, file.Tell());
    EXPECT_EQ(EIO, errno);
    char buffer[4];
    EXPECT_EQ(EIO, ErrnoOf([&] { return file.Read(buffer, 4); }));
    EXPECT_EQ(ENOTCONN, ErrnoOf([&] { return file.Close(); }));

    hdfs_internal* none = nullptr;
    std::string name = "/data/file";
    CHadoopFile named(none, name.c_str(), 0, 0, 0, 0);
    name.assign("overwritten");
    EXPECT_FALSE(named.IsOpen());
    EXPECT_STREQ("/data/file", named.GetFilename());
}

// --- Library links -----------------------------------------------------------------------------

class Links : public ::testing::Test {
  protected:
    void ExpectLinks(const std::string& hdfs, const std::string& jvm) {
        EXPECT_EQ(hdfs, LinkTarget(m_home / "libhdfs.so"));
        EXPECT_EQ(jvm, LinkTarget(m_home / "libjvm.so"));
    }
    TempDir m_home{"links-home"};
    ScopedEnv m_env{"HDFSAGENT_HOME", m_home.path()};
};

TEST_F(Links, SplitAtTheLastColonAndReplaceWhatIsThere) {
    ASSERT_TRUE(CreateLibraryLinks("/a:/b:/c").Succeeded());
    EXPECT_EQ(m_home.path(), g_sBaseDirectory);
    ExpectLinks("/a:/b/libhdfs.so", "/c/libjvm.so");
    // Without a colon both use the whole text; the links made above are replaced.
    ASSERT_TRUE(CreateLibraryLinks("/opt/lib").Succeeded());
    ExpectLinks("/opt/lib/libhdfs.so", "/opt/lib/libjvm.so");
    // So is a plain file.
    ASSERT_EQ(0, unlink((m_home / "libhdfs.so").c_str()));
    testsupport::WriteFile(m_home / "libhdfs.so", "a file");
    ASSERT_TRUE(CreateLibraryLinks("/new/hdfs:/new/jvm").Succeeded());
    ExpectLinks("/new/hdfs/libhdfs.so", "/new/jvm/libjvm.so");
}

TEST_F(Links, EntryThatCannotBeRemovedCountsAsPresentAndAMissingBaseFails) {
    // A directory survives the unlink, so symlink meets EEXIST: taken as a link someone else made.
    ASSERT_EQ(0, mkdir((m_home / "libhdfs.so").c_str(), 0755));
    EXPECT_TRUE(CreateLibraryLinks("/h:/j").Succeeded());
    EXPECT_EQ("/j/libjvm.so", LinkTarget(m_home / "libjvm.so"));

    ScopedEnv home("HDFSAGENT_HOME", m_home / "missing");
    CEkError err = CreateLibraryLinks("/h:/j");
    ExpectError(err, ENOENT,
                "symlink(/h/libhdfs.so, " + (m_home / "missing") +
                    "/libhdfs.so) failed: No such file or directory");
    EXPECT_EQ(m_home / "missing", g_sBaseDirectory);
}

// --- Encryption-zone listing -------------------------------------------------------------------

// The listing against the hdfs stand-in: HadoopCryptoUtilTest. Here the texts it does not print.
TEST(ZoneListing, RootIsTheTextBeforeTheLastDoubleBlankWithoutTrailingBlanks) {
    CHadoopCryptoUtil util;
    EXPECT_EQ(2u, util.AddZonesFromListing("/data/zone 2  key2\n/a               key1 \n\n"));
    EXPECT_EQ((std::set<std::string>{"/data/zone 2", "/a"}), util.GetEncryptionZones());
    CHadoopCryptoUtil none;
    EXPECT_EQ(0u, none.AddZonesFromListing("Zone  Key\n  /indented  key\n/nodoubleblank key\n"
                                           "RemoteException: denied\n/"));
    EXPECT_FALSE(none.IsPopulated());
}
