// Hadoop configuration lookup against the libhdfs stand-in: through hdfsConfGetStr/GetInt, and
// through `hadoop org.apache.hadoop.conf.Configuration` when libhdfs is too old to offer them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopFS.h"
#include "support/HadoopConnectionSupport.h"
#include "support/LocalInstall.h"
#include "support/TestSupport.h"

using testsupport::LocalInstall;
using testsupport::LogCapture;
using testsupport::ProductHome;
using testsupport::ScopedEnv;
using testsupport::TempDir;

TEST(ConfigLookupBeforeInit, BothCallsFailWithEFAULT) {
    CHadoopFS fs;  // cannot connect either: the library is not initialised
    std::string value = "stale";
    errno = 0;
    EXPECT_EQ(-1, fs.GetConfString("fs.defaultFS", value));
    EXPECT_EQ(EFAULT, errno);
    int number = 7;
    errno = 0;
    EXPECT_EQ(-1, fs.GetConfInt("dfs.replication", number));
    EXPECT_EQ(EFAULT, errno);
    EXPECT_EQ(7, number);
}

class ConfigLookup : public ::testing::Test {
  protected:
    void Start(const std::string& variant) {
        ASSERT_TRUE(testsupport::StartWithLibhdfs(variant).Succeeded());
        m_home.reset(new ProductHome());
        m_install.reset(new LocalInstall(
            {{"hadoop.user.keytab.file", "/etc/keytabs/a&b.keytab"}, {"dfs.replication", "2"}}));
        m_install->Activate();
        m_fs.reset(new CHadoopFS());
        ASSERT_TRUE(m_fs->m_pConnection->m_bGood);
    }
    std::unique_ptr<ProductHome> m_home;
    std::unique_ptr<LocalInstall> m_install;
    std::unique_ptr<CHadoopFS> m_fs;
};

TEST_F(ConfigLookup, LibhdfsAnswersAndTheResultIsLogged) {
    Start("");
    LogCapture log;
    std::string value;
    EXPECT_EQ(0, m_fs->GetConfString("fs.defaultFS", value));
    EXPECT_EQ("hdfs://localhost:8020", value);
    EXPECT_EQ(0, m_fs->GetConfString("hadoop.user.keytab.file", value));
    EXPECT_EQ("/etc/keytabs/a&b.keytab", value);
    EXPECT_TRUE(log.Contains("Reading Hadoop config fs.defaultFS"));
    EXPECT_TRUE(log.Contains("----- 0 hdfs://localhost:8020"));
}

TEST_F(ConfigLookup, UnknownKeyGivesZeroAndEmptyValueLoggedAsNA) {
    Start("");
    LogCapture log;
    std::string value = "stale";
    EXPECT_EQ(0, m_fs->GetConfString("no.such.key", value));
    EXPECT_EQ("", value);
    EXPECT_TRUE(log.Contains("----- 0 N/A"));
}

TEST_F(ConfigLookup, LibhdfsFailureIsPassedThrough) {
    Start("");
    ScopedEnv faults("LOCALHDFS_FAULTS", "hdfsConfGetStr=5");
    LogCapture log;
    std::string value = "stale";
    // libhdfs's configuration calls return the error code itself.
    EXPECT_EQ(EIO, m_fs->GetConfString("fs.defaultFS", value));
    EXPECT_EQ("", value);
    EXPECT_TRUE(log.Contains("----- 5 N/A"));
}

TEST_F(ConfigLookup, GetConfIntReadsNumbers) {
    Start("");
    int value = 0;
    EXPECT_EQ(0, m_fs->GetConfInt("dfs.replication", value));
    EXPECT_EQ(2, value);
}

TEST_F(ConfigLookup, GetConfIntKeepsTheCallersDefaultForAnAbsentKey) {
    Start("");
    int value = 77;
    EXPECT_EQ(0, m_fs->GetConfInt("no.such.key", value));
    EXPECT_EQ(77, value);
    value = -5;
    EXPECT_EQ(0, m_fs->GetConfInt("no.such.key", value));
    EXPECT_EQ(-5, value);
}

TEST_F(ConfigLookup, GetConfIntWithoutTheEntryPointIsENOTSUP) {
    Start("old");
    int value = 9;
    errno = 0;
    EXPECT_EQ(-1, m_fs->GetConfInt("dfs.replication", value));
    EXPECT_EQ(ENOTSUP, errno);
    EXPECT_EQ(9, value);
}

TEST_F(ConfigLookup, ConfigurationFallbackOnOneLineTakesTheNamedProperty) {
    // The real program prints the whole configuration on one line: the first <value> there
    // belongs to whatever property comes first.
    Start("old");
    m_install->SetConfFile("oneline-configuration");
    std::string value;
    EXPECT_EQ(0, m_fs->GetConfString("hadoop.user.keytab.file", value));
    EXPECT_EQ("/etc/keytabs/a&b.keytab", value);
    EXPECT_EQ(0, m_fs->GetConfString("fs.defaultFS", value));
    EXPECT_EQ("hdfs://localhost:8020", value);
    EXPECT_EQ(0, m_fs->GetConfString("dfs.replication", value));
    EXPECT_EQ("2", value);
}

TEST_F(ConfigLookup, CommandThatPrintsNothingIsLoggedWithGrepsStatus) {
    // grep, the end of the command's pipeline, exits 1 when it is given nothing.
    Start("old");
    m_install->SetConfFile("empty-configuration");
    LogCapture log;
    std::string value = "stale";
    EXPECT_EQ(1, m_fs->GetConfString("fs.defaultFS", value));
    EXPECT_EQ("", value);
    EXPECT_TRUE(log.Contains("Failed to run command("));
    EXPECT_TRUE(
        log.Contains("org.apache.hadoop.conf.Configuration | grep -F -e fs.defaultFS). "
                     "out , err "));
}

TEST_F(ConfigLookup, FailingCommandGivesItsExitStatus) {
    Start("old");
    m_install->SetConfFile("fail-configuration", "java.lang.OutOfMemoryError\n");
    LogCapture log;
    std::string value = "stale";
    EXPECT_EQ(1, m_fs->GetConfString("fs.defaultFS", value));
    EXPECT_EQ("", value);
    EXPECT_TRUE(log.Contains("err java.lang.OutOfMemoryError"));
}

TEST_F(ConfigLookup, KeyAbsentFromTheOutputFailsAsGrepDoes) {
    Start("old");
    std::string value = "stale";
    EXPECT_EQ(1, m_fs->GetConfString("no.such.key", value));
    EXPECT_EQ("", value);
}

TEST_F(ConfigLookup, ConfigurationKeyWithShellCharactersIsQuoted) {
    Start("old");
    TempDir dir;
    const std::string marker = dir / "injected";
    std::string value = "stale";
    m_fs->GetConfString(("fs.defaultFS; touch " + marker).c_str(), value);
    m_fs->GetConfString(("$(touch " + marker + ")").c_str(), value);
    EXPECT_NE(0, access(marker.c_str(), F_OK)) << "the key ran as a command";
    EXPECT_EQ("", value);
}
