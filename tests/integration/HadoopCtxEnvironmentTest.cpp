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

// Sorted, deduplicated, joined behind the prefix (an empty one leaves the leading colon);
// wildcards expanded by the shell (one matching nothing stays); entries split at blanks; the
// output never run as commands.
TEST_F(Environment, EntriesAreSortedDeduplicatedGlobbedAndJoinedBehindThePrefix) {
    std::string lib = m_scratch / "lib", marker = m_scratch / "ran";
    WriteFile(lib + "/y.jar", "");
    WriteFile(lib + "/x.jar", "");
    const struct {
        std::vector<std::string> entries;
        std::string prefix, expected;
    } cases[] = {
        {{"b", "a", "b"}, "/d", "/d:a:b"},
        {{"a", "b", "a"}, "", ":a:b"},
        {{lib + "/*", "/none/*", lib + "/x.jar"},
         "",
         ":/none/*:" + lib + "/x.jar:" + lib + "/y.jar"},
        {{"/opt/my dir/x.jar", "/a"}, "", ":/a:/opt/my:dir/x.jar"},
        {{"$(touch " + marker + ")", "`touch " + marker + "`", "/a;touch"}, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries.front());
        m_install.SetClasspath(c.entries);
        ASSERT_TRUE(SetClasspath(c.prefix).Succeeded());
        if (!c.expected.empty()) {
            EXPECT_EQ(c.expected, Classpath());
        }
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_TRUE(m_log.Contains("Getting Hadoop classpath, command='hadoop classpath'"));
    EXPECT_TRUE(m_log.Contains("Setting CLASSPATH='/d:a:b'"));
}

// A failing, missing or silent `hadoop classpath` is reported, never set as the prefix alone.
TEST_F(Environment, FailingEmptyOrMissingHadoopClasspathIsReported) {
    m_install.SetConfFile("fail-classpath",
                          "Error: JAVA_HOME is not set and could not be found.\n");
    ExpectError(SetClasspath("/d"), 1627, kClasspathFailed);
    EXPECT_TRUE(m_log.Contains("Failed to execute 'hadoop classpath', iRet=1"));
    EXPECT_TRUE(m_log.Contains("JAVA_HOME is not set"));
    m_install.RemoveConfFile("fail-classpath");

    m_install.SetConfFile("empty-classpath");  // blank output counts as empty
    ExpectError(SetClasspath("/d"), 1627, kClasspathFailed);
    m_install.RemoveConfFile("empty-classpath");
    m_install.SetConfFile("output-classpath", " \n\n");
    ExpectError(SetClasspath("/d"), 1627, kClasspathFailed);
    EXPECT_EQ(2, m_log.Count("Empty results returned by command='hadoop classpath'"));

    // One that hangs is killed at the deadline, with everything it started.
    m_install.SetConfFile("sleep-classpath", "30");
    ScopedEnv deadline("HDFSAGENT_CLASSPATH_TIMEOUT_MS", "300");
    const time_t started = time(nullptr);
    ExpectError(SetClasspath("/d"), 1627, kClasspathFailed);
    EXPECT_LT(time(nullptr) - started, 10);
    EXPECT_TRUE(m_log.Contains("timedout"));
    EXPECT_EQ(0, testsupport::CountZombieChildren());
    m_install.RemoveConfFile("sleep-classpath");

    m_install.Deactivate();
    ToolDir tools(ShellTools());
    ScopedEnv path("PATH", tools.path());
    ExpectError(SetClasspath("/d"), 1627, kClasspathFailed);
    EXPECT_TRUE(m_log.Contains("Failed to execute 'hadoop classpath', iRet=127"));
    EXPECT_EQ("unchanged", Classpath());
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

// A given instance supplies the links while the setting is empty; once the setting is there it
// is used, without the registry.
TEST_F(HadoopEnv, SavedSettingOrGivenInstanceIsUsedWithoutTheRegistry) {
    ExpectError(CheckAndSetHadoopEnv(CHadoopInstancePtr(), ""), EINVAL,
                "No Hadoop instance given: Invalid argument");
    CHadoopInstancePtr instance(new CHadoopInstance);
    instance->m_sHadoopNativeLibPath = "/given/hdfs";
    instance->m_sJvmLibPath = "/given/jvm";
    ASSERT_TRUE(CheckAndSetHadoopEnv(instance, "").Succeeded());
    EXPECT_EQ("/given/hdfs/libhdfs.so", HomeLink("libhdfs.so"));
    EXPECT_EQ("/given/jvm/libjvm.so", HomeLink("libjvm.so"));
    EXPECT_FALSE(m_log.Contains("Will try to set Hadoop environment now!!!"));

    m_home.SetSetting("FileSystemAgent", "HDP_LIB_PATH", "/saved/hdfs:/saved/jvm");
    WriteInstance(7, "/msg/hdfs", "/msg/jvm");
    ASSERT_TRUE(CheckAndSetHadoopEnv(7, "/logcfg").Succeeded());
    EXPECT_EQ("/saved/hdfs/libhdfs.so", HomeLink("libhdfs.so"));
    EXPECT_EQ("/saved/jvm/libjvm.so", HomeLink("libjvm.so"));
    EXPECT_EQ("/logcfg:/jars/a.jar", Classpath());
    EXPECT_FALSE(CHadoopInstanceCtx::GetInstance()->GetHDPInstance());
    EXPECT_FALSE(m_log.Contains("Will try to set Hadoop environment now!!!"));
}

// With an empty setting the registry creates the instance: it fails before any change when the
// message is missing, and links, saves and sets the class path from it when it is there.
TEST_F(HadoopEnv, EmptySettingHasTheRegistryCreateTheInstance) {
    CEkError error = CheckAndSetHadoopEnv(7, "");
    ExpectError(error, 1627, "Failed to fetch Hadoop Config from server");
    EXPECT_STREQ("HadoopCtx.cpp", error.Frames().front().location.file);
    EXPECT_EQ("unchanged", Classpath());
    EXPECT_EQ("", HomeLink("libhdfs.so"));

    WriteInstance(7, "/msg/hdfs", "/msg/jvm");
    ASSERT_TRUE(CheckAndSetHadoopEnv(7, "").Succeeded());
    EXPECT_EQ("/msg/hdfs/libhdfs.so", HomeLink("libhdfs.so"));
    EXPECT_EQ("/msg/jvm/libjvm.so", HomeLink("libjvm.so"));
    EXPECT_EQ("/msg/hdfs:/msg/jvm", SavedLibPath());
    EXPECT_EQ(":/jars/a.jar", Classpath());
    ASSERT_TRUE(CHadoopInstanceCtx::GetInstance()->GetHDPInstance());
    EXPECT_TRUE(m_log.Contains("Will try to set Hadoop environment now!!!"));
}

}  // namespace
