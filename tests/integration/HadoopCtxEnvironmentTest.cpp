// The environment half of the set-up: CLASSPATH from the stand-in `hadoop classpath` (sorted,
// deduplicated, globbed, prefixed; failures and empty output detected), and CheckAndSetHadoopEnv
// taking the link specification from "HDP_LIB_PATH" or from the instance registry.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "hadoop/HadoopCtx.h"
#include "hadoop/HadoopInstance.h"
#include "host/Settings.h"
#include "support/ErrorChecks.h"
#include "support/HadoopConnectionSupport.h"
#include "support/HadoopDiscovery.h"
#include "support/LocalInstall.h"
#include "support/TestSupport.h"

using testsupport::ExpectError;
using testsupport::LocalInstall;
using testsupport::LogCapture;
using testsupport::ProductHome;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;
using testsupport::discovery::SavedLibPath;
using testsupport::discovery::ShellTools;
using testsupport::discovery::ToolDir;

namespace {

const char kClasspathFailed[] =
    "Failed to set CLASSPATH environment, please check logs for more details";

std::string Classpath() {
    const char* value = getenv("CLASSPATH");
    return value == nullptr ? "<unset>" : value;
}

std::string LinkTarget(const std::string& link) {
    std::error_code ignored;
    return std::filesystem::read_symlink(link, ignored).string();
}

class Environment : public ::testing::Test {
  protected:
    void SetUp() override { m_install.Activate(); }

    ProductHome m_home;
    LogCapture m_log;
    LocalInstall m_install;
    TempDir m_scratch;
    // `sort` orders by the collation of the locale; the C locale makes the order bytewise.
    ScopedEnv m_locale{"LC_ALL", "C"};
    ScopedEnv m_classpath{"CLASSPATH", "unchanged"};
};

// ---------------------------------------------------------------------------------------------
// SetClasspath

TEST_F(Environment, EntriesAreSortedDeduplicatedAndJoinedBehindThePrefix) {
    m_install.SetClasspath({"b", "a", "b"});
    ASSERT_TRUE(SetClasspath("/d").Succeeded());
    EXPECT_EQ("/d:a:b", Classpath());
    EXPECT_TRUE(m_log.Contains("Getting Hadoop classpath, command='hadoop classpath'"));
    EXPECT_TRUE(m_log.Contains("Setting CLASSPATH='/d:a:b'"));
}

TEST_F(Environment, EmptyPrefixLeavesTheLeadingColon) {
    m_install.SetClasspath({"a", "b", "a"});
    ASSERT_TRUE(SetClasspath("").Succeeded());
    EXPECT_EQ(":a:b", Classpath());
}

TEST_F(Environment, WildcardEntriesAreExpandedByTheShell) {
    std::string lib = m_scratch / "lib";
    WriteFile(lib + "/y.jar", "");
    WriteFile(lib + "/x.jar", "");
    m_install.SetClasspath({lib + "/*", "/none/*", lib + "/x.jar"});
    ASSERT_TRUE(SetClasspath("").Succeeded());
    // A wildcard that matches nothing stays as it is.
    EXPECT_EQ(":/none/*:" + lib + "/x.jar:" + lib + "/y.jar", Classpath());
}

TEST_F(Environment, EntriesWithBlanksAreSplitAtTheBlanks) {
    m_install.SetClasspath({"/opt/my dir/x.jar", "/a"});
    ASSERT_TRUE(SetClasspath("").Succeeded());
    EXPECT_EQ(":/a:/opt/my:dir/x.jar", Classpath());
}

TEST_F(Environment, ClasspathOutputIsNeverRunAsCommands) {
    std::string marker = m_scratch / "ran";
    m_install.SetClasspath({"$(touch " + marker + ")", "`touch " + marker + "`", "/a;touch"});
    ASSERT_TRUE(SetClasspath("").Succeeded());
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(Environment, FailingHadoopClasspathIsReportedNotSetAsThePrefixAlone) {
    m_install.SetConfFile("fail-classpath",
                          "Error: JAVA_HOME is not set and could not be found.\n");
    ExpectError(SetClasspath("/d"), 1627, kClasspathFailed);
    EXPECT_EQ("unchanged", Classpath());
    EXPECT_TRUE(m_log.Contains("Failed to execute 'hadoop classpath', iRet=1"));
    EXPECT_TRUE(m_log.Contains("JAVA_HOME is not set"));
}

// Blank output counts as empty.
TEST_F(Environment, EmptyOrBlankHadoopClasspathIsReportedNotSetAsThePrefixAlone) {
    m_install.SetConfFile("empty-classpath");
    ExpectError(SetClasspath("/d"), 1627, kClasspathFailed);
    EXPECT_EQ("unchanged", Classpath());
    EXPECT_TRUE(m_log.Contains("Empty results returned by command='hadoop classpath'"));
    m_install.RemoveConfFile("empty-classpath");
    m_install.SetConfFile("output-classpath", " \n\n");
    ExpectError(SetClasspath("/d"), 1627, kClasspathFailed);
    EXPECT_EQ("unchanged", Classpath());
    EXPECT_EQ(2, m_log.Count("Empty results returned by command='hadoop classpath'"));
}

TEST_F(Environment, MissingHadoopProgramIsReported) {
    m_install.Deactivate();
    ToolDir tools(ShellTools());
    ScopedEnv path("PATH", tools.path());
    ExpectError(SetClasspath("/d"), 1627, kClasspathFailed);
    EXPECT_TRUE(m_log.Contains("Failed to execute 'hadoop classpath', iRet=127"));
}

// ---------------------------------------------------------------------------------------------
// CheckAndSetHadoopEnv

class HadoopEnv : public Environment {
  protected:
    void SetUp() override {
        Environment::SetUp();
        m_install.SetClasspath({"/jars/a.jar"});
        CHadoopInstanceCtx::GetInstance()->ReleaseHDPInstance();
    }
    std::string HomeLink(const char* name) const { return LinkTarget(m_home.path() + "/" + name); }
    void WriteInstance(unsigned long id, const std::string& nativeDir, const std::string& jvmDir) {
        WriteFile(m_home.path() + "/instances/" + std::to_string(id) + ".json",
                  R"({"entries": [{"selector": 1, "hadoopNativeLibPath": ")" + nativeDir +
                      R"(", "jvmLibPath": ")" + jvmDir + R"("}]})");
    }
};

TEST_F(HadoopEnv, SavedSettingIsUsedWithoutTheRegistry) {
    m_home.SetSetting("FileSystemAgent", "HDP_LIB_PATH", "/saved/hdfs:/saved/jvm");
    WriteInstance(7, "/msg/hdfs", "/msg/jvm");
    ASSERT_TRUE(CheckAndSetHadoopEnv(7, "/logcfg").Succeeded());
    EXPECT_EQ("/saved/hdfs/libhdfs.so", HomeLink("libhdfs.so"));
    EXPECT_EQ("/saved/jvm/libjvm.so", HomeLink("libjvm.so"));
    EXPECT_EQ("/logcfg:/jars/a.jar", Classpath());
    EXPECT_FALSE(CHadoopInstanceCtx::GetInstance()->GetHDPInstance());
    EXPECT_FALSE(m_log.Contains("Will try to set Hadoop environment now!!!"));
}

TEST_F(HadoopEnv, EmptySettingHasTheRegistryCreateTheInstance) {
    WriteInstance(7, "/msg/hdfs", "/msg/jvm");
    ASSERT_TRUE(CheckAndSetHadoopEnv(7, "").Succeeded());
    EXPECT_EQ("/msg/hdfs/libhdfs.so", HomeLink("libhdfs.so"));
    EXPECT_EQ("/msg/jvm/libjvm.so", HomeLink("libjvm.so"));
    EXPECT_EQ("/msg/hdfs:/msg/jvm", SavedLibPath());
    ASSERT_TRUE(CHadoopInstanceCtx::GetInstance()->GetHDPInstance());
    EXPECT_TRUE(m_log.Contains("Will try to set Hadoop environment now!!!"));
}

TEST_F(HadoopEnv, InstanceThatCannotBeCreatedFailsBeforeAnyChange) {
    CEkError error = CheckAndSetHadoopEnv(7, "");
    ExpectError(error, 1627, "Failed to fetch Hadoop Config from server");
    EXPECT_STREQ("HadoopCtx.cpp", error.Frames().front().location.file);
    EXPECT_EQ("unchanged", Classpath());
    EXPECT_EQ("", HomeLink("libhdfs.so"));
}

TEST_F(HadoopEnv, GivenInstanceSuppliesTheLinksWhenTheSettingIsEmpty) {
    ExpectError(CheckAndSetHadoopEnv(CHadoopInstancePtr(), ""), EINVAL,
                "No Hadoop instance given: Invalid argument");
    CHadoopInstancePtr instance(new CHadoopInstance);
    instance->m_sHadoopNativeLibPath = "/given/hdfs";
    instance->m_sJvmLibPath = "/given/jvm";
    ASSERT_TRUE(CheckAndSetHadoopEnv(instance, "").Succeeded());
    EXPECT_EQ("/given/hdfs/libhdfs.so", HomeLink("libhdfs.so"));
    EXPECT_EQ("/given/jvm/libjvm.so", HomeLink("libjvm.so"));
    EXPECT_FALSE(m_log.Contains("Will try to set Hadoop environment now!!!"));
}

}  // namespace
