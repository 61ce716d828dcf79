// Finding Java and the client configuration directories, and preparing the service's property
// files, against the localcluster stand-ins of the Hadoop programs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>

#include "hadoop/HadoopRestUtil.h"
#include "support/ErrorChecks.h"
#include "support/LocalInstall.h"
#include "support/RestUtilHome.h"
#include "support/TestSupport.h"
#include "support/UtilServerProcess.h"

using namespace DXHadoop;
using namespace testsupport;
using ::testing::HasSubstr;

namespace fs = std::filesystem;

namespace {

class RestUtilConfigTest : public ::testing::Test {
  protected:
    RestUtilHome home;
    LocalInstall install;
    ScopedEnv noJavaHome = ScopedEnv::unset("JAVA_HOME");
    std::vector<ScopedEnv> path;

    void SetUp() override { install.Activate(); }

    // Puts `which` that never finds java and `whereis` that prints `whereisOutput` first on PATH.
    void HideJavaFromPath(const std::string& whereisOutput = "java:") {
        const std::string tools = home.path("tools");
        WriteScript(tools + "/which", "[ \"$1\" = java ] && exit 1\nexec /usr/bin/which \"$@\"\n");
        WriteScript(tools + "/whereis", "printf '%s\\n' '" + whereisOutput + "'\n");
        path.emplace_back("PATH", tools + ":" + getenv("PATH"));
    }

    // A Java home with bin/java (and jre/bin/java when `withJre`).
    std::string FakeJavaHome(const std::string& name, bool withJre) {
        const std::string javaHome = home.path(name);
        WriteScript(javaHome + "/bin/java", "exit 0\n");
        if (withJre)
            WriteScript(javaHome + "/jre/bin/java", "exit 0\n");
        return javaHome;
    }

    std::unique_ptr<CHadoopRestUtil> Util(eHadoopAppType type = eAppTypeHadoop,
                                          const std::string& javaPath = "") {
        return std::make_unique<CHadoopRestUtil>(javaPath, home.home(), "hdfsuser", type,
                                                 home.configDir(), "hbaseuser");
    }
};

// --- GetJavaPath ---

TEST_F(RestUtilConfigTest, JavaPathFieldIsKeptAsGiven) {
    auto util = Util(eAppTypeHadoop, "/given/java");
    ASSERT_TRUE(util->GetJavaPath().Succeeded());
    EXPECT_EQ("/given/java", util->GetJavaPathField());
}

TEST_F(RestUtilConfigTest, JavaPathSettingIsUsedWithoutCheckingIt) {
    home.Settings("[FileSystemAgent]\nsJavaPath=/no/such/java\n");
    auto util = Util();
    ASSERT_TRUE(util->GetJavaPath().Succeeded());
    EXPECT_EQ("/no/such/java", util->GetJavaPathField());
}

TEST_F(RestUtilConfigTest, JavaHomeOfHadoopEnvvarsWithoutJreGivesBinJava) {
    install.SetJavaHome(FakeJavaHome("jdk", false));
    auto util = Util();
    ASSERT_TRUE(util->GetJavaPath().Succeeded());
    EXPECT_EQ(home.path("jdk") + "/bin/java", util->GetJavaPathField());
}

TEST_F(RestUtilConfigTest, JavaHomeOfHadoopEnvvarsPrefersJre) {
    install.SetJavaHome(FakeJavaHome("jdk", true));
    auto util = Util();
    ASSERT_TRUE(util->GetJavaPath().Succeeded());
    EXPECT_EQ(home.path("jdk") + "/jre/bin/java", util->GetJavaPathField());
}

TEST_F(RestUtilConfigTest, SearchPathIsNextWhenEnvvarsFails) {
    install.SetConfFile("fail-envvars");
    auto util = Util();
    ASSERT_TRUE(util->GetJavaPath().Succeeded());
    EXPECT_EQ(FindOnPath("java"), util->GetJavaPathField());
}

TEST_F(RestUtilConfigTest, HadoopEnvShOfTheInstallationIsNextAfterTheSearchPath) {
    install.SetConfFile("fail-envvars");
    install.SetJavaHome(FakeJavaHome("jdk", true));
    HideJavaFromPath();
    auto util = Util();
    ASSERT_TRUE(util->GetJavaPath().Succeeded());
    EXPECT_EQ(home.path("jdk") + "/jre/bin/java", util->GetJavaPathField());
}

TEST_F(RestUtilConfigTest, WhereisGivesTheFirstExistingPathAfterItsLabel) {
    install.SetJavaHome("");
    const std::string java = FakeJavaHome("jdk", false) + "/bin/java";
    HideJavaFromPath("java: /no/such/java " + java + " /usr/share/man/man1/java.1.gz");
    auto util = Util();
    ASSERT_TRUE(util->GetJavaPath().Succeeded());
    EXPECT_EQ(java, util->GetJavaPathField());
}

TEST_F(RestUtilConfigTest, FailedJavaSearchClearsStaleCandidate) {
    // Every source fails; the envvars step leaves a "bin/java" that does not exist.
    install.SetJavaHome("/no/such/jdk");
    HideJavaFromPath("java:");
    auto util = Util();
    CEkError err = util->GetJavaPath();
    ExpectError(err, 1168, "Failed to get java path");
    EXPECT_EQ("", util->GetJavaPathField());

    // The next call searches again and finds what is there now.
    install.SetJavaHome(FakeJavaHome("jdk", false));
    ASSERT_TRUE(util->GetJavaPath().Succeeded());
    EXPECT_EQ(home.path("jdk") + "/bin/java", util->GetJavaPathField());
}

// --- GetConfPath and IsValidConfigPath ---

TEST_F(RestUtilConfigTest, ValidCandidateIsKeptWithoutAskingTheClient) {
    install.SetConfFile("fail-envvars");
    install.SetConfFile("fail-classpath");
    auto util = Util();
    std::string confPath;
    ASSERT_TRUE(util->GetConfPath(confPath, eAppTypeHadoop, install.confDir()).Succeeded());
    EXPECT_EQ(install.confDir(), confPath);
}

TEST_F(RestUtilConfigTest, CandidateWithoutHdfsSiteMakesTheLibraryAskTheClient) {
    const std::string partial = home.path("partial");
    WriteFile(partial + "/core-site.xml", "<configuration/>");
    auto util = Util();
    std::string confPath;
    ASSERT_TRUE(util->GetConfPath(confPath, eAppTypeHadoop, partial).Succeeded());
    EXPECT_EQ(install.confDir(), confPath);
}

TEST_F(RestUtilConfigTest, EnvvarsDirectoryIsAcceptedWithoutItsFiles) {
    install.SetConfFile("output-envvars", "HADOOP_CONF_DIR='/no/such/conf'\n");
    auto util = Util();
    std::string confPath;
    ASSERT_TRUE(util->GetConfPath(confPath, eAppTypeHadoop, "").Succeeded());
    EXPECT_EQ("/no/such/conf", confPath);
}

TEST_F(RestUtilConfigTest, ClasspathStrategyFindsDirectoryWithoutTrailingSlash) {
    // Class path entries carry no trailing "/": directory and file name must be joined by one.
    install.SetConfFile("fail-envvars");
    const std::string first = home.path("first"), second = home.path("second");
    WriteFile(home.path("lacking") + "/core-site.xml", "<configuration/>");
    for (const std::string& dir : {first, second}) {
        WriteFile(dir + "/core-site.xml", "<configuration/>");
        WriteFile(dir + "/hdfs-site.xml", "<configuration/>");
    }
    install.SetClasspath({"/no/such/dir", home.path("lacking"), first, second});
    auto util = Util();
    std::string confPath;
    ASSERT_TRUE(util->GetConfPath(confPath, eAppTypeHadoop, "").Succeeded());
    EXPECT_EQ(first, confPath);
}

TEST_F(RestUtilConfigTest, NothingFoundFailsWith1168) {
    install.SetConfFile("fail-envvars");
    install.SetConfFile("fail-classpath");
    auto util = Util();
    std::string confPath = "kept";
    CEkError err = util->GetConfPath(confPath, eAppTypeHadoop, "/no/such/dir");
    ExpectError(err, 1168, "Failed to get conf path");
    EXPECT_EQ("kept", confPath);
}

TEST_F(RestUtilConfigTest, UnknownApplicationTypeNeverHasAConfPath) {
    auto util = Util();
    std::string confPath;
    CEkError err = util->GetConfPath(confPath, static_cast<eHadoopAppType>(3), install.confDir());
    ExpectError(err, 1168, "Failed to get conf path");
}

TEST_F(RestUtilConfigTest, HBaseConfPathComesFromHBaseEnvvars) {
    auto util = Util(eAppTypeHBase);
    std::string confPath;
    ASSERT_TRUE(util->GetConfPath(confPath, eAppTypeHBase, "").Succeeded());
    EXPECT_EQ(install.hbaseConfDir(), confPath);
}

TEST_F(RestUtilConfigTest, IsValidConfigPathNeedsEveryFile) {
    auto util = Util();
    EXPECT_FALSE(util->IsValidConfigPath(install.confDir(), {}));
    EXPECT_TRUE(util->IsValidConfigPath(install.confDir(), {"core-site.xml", "hdfs-site.xml"}));
    EXPECT_TRUE(util->IsValidConfigPath(install.confDir() + "/", {"core-site.xml"}));
    EXPECT_FALSE(util->IsValidConfigPath(install.confDir(), {"core-site.xml", "hbase-site.xml"}));
    // A directory named like the file does not count.
    fs::create_directories(home.path("d/core-site.xml"));
    EXPECT_FALSE(util->IsValidConfigPath(home.path("d"), {"core-site.xml"}));
}

// --- PopulateConfigFilePath ---

TEST_F(RestUtilConfigTest, EmptyConfigDirectoryTouchesNothing) {
    CHadoopRestUtil util("", home.home(), "u", eAppTypeHadoop, "", "");
    ASSERT_TRUE(util.PopulateConfigFilePath().Succeeded());
    EXPECT_TRUE(fs::is_empty(home.configDir()));
}

TEST_F(RestUtilConfigTest, MissingPropertyFilesAreCreatedAndFilled) {
    auto util = Util();
    CEkError err = util->PopulateConfigFilePath();
    ASSERT_TRUE(err.Succeeded()) << err.AsString();
    EXPECT_EQ("hdfsuser", PropertyValue(home.serviceProperties(), "util.hadoop.user"));
    EXPECT_EQ(install.confDir(), PropertyValue(home.serviceProperties(), "util.hadoop.config"));
    EXPECT_EQ("", PropertyValue(home.serviceProperties(), "util.hbase.user"));
    EXPECT_EQ(home.logDir() + "/dxhdfsutil.log",
              PropertyValue(home.log4jProperties(), "log4j.appender.R.File"));
    EXPECT_EQ("INFO, R", PropertyValue(home.log4jProperties(), "log4j.rootLogger"));
}

TEST_F(RestUtilConfigTest, HBaseAddsItsKeys) {
    auto util = Util(eAppTypeHBase);
    ASSERT_TRUE(util->PopulateConfigFilePath().Succeeded());
    EXPECT_EQ("hbaseuser", PropertyValue(home.serviceProperties(), "util.hbase.user"));
    EXPECT_EQ(install.hbaseConfDir(), PropertyValue(home.serviceProperties(), "util.hbase.config"));
    EXPECT_EQ(install.confDir(), PropertyValue(home.serviceProperties(), "util.hadoop.config"));
}

TEST_F(RestUtilConfigTest, ExistingLog4jKeepsItsLogFileAndGetsTheDebugLevel) {
    WriteFile(home.log4jProperties(),
              "log4j.rootLogger=INFO, R\nlog4j.appender.R.File=/mine.log\n");
    home.Settings("[EventManager]\ndxhdfsutil_DEBUGLEVEL=3\n");
    auto util = Util();
    ASSERT_TRUE(util->PopulateConfigFilePath().Succeeded());
    EXPECT_EQ("/mine.log", PropertyValue(home.log4jProperties(), "log4j.appender.R.File"));
    EXPECT_EQ("DEBUG, R", PropertyValue(home.log4jProperties(), "log4j.rootLogger"));
}

TEST_F(RestUtilConfigTest, KerberosCachePathIsClearedUnlessTheLibraryCacheIsWanted) {
    WriteFile(home.serviceProperties(),
              "util.hadoop.security.kerberos.ticket.cache.path=/tmp/old\n");
    auto util = Util();
    ASSERT_TRUE(util->PopulateConfigFilePath().Succeeded());
    EXPECT_EQ("", PropertyValue(home.serviceProperties(),
                                "util.hadoop.security.kerberos.ticket.cache.path"));

    // Wanted, but this process has no file-system object: the value stays as it is.
    WriteFile(home.serviceProperties(),
              "util.hadoop.security.kerberos.ticket.cache.path=/tmp/old\n");
    home.Settings("[FileSystemAgent]\nnUseLoggedinHdfsKerbCache=1\n");
    ASSERT_TRUE(util->PopulateConfigFilePath().Succeeded());
    EXPECT_EQ("/tmp/old", PropertyValue(home.serviceProperties(),
                                        "util.hadoop.security.kerberos.ticket.cache.path"));
}

TEST_F(RestUtilConfigTest, PropertiesOlderThanTheTemplateAreRefreshed) {
    home.ServiceProperties("custom.key=1\n");
    auto util = Util();
    ASSERT_TRUE(util->PopulateConfigFilePath().Succeeded());
    EXPECT_EQ("1", PropertyValue(home.serviceProperties(), "custom.key"));  // newer: kept

    utimbuf old{1000000000, 1000000000};
    ASSERT_EQ(0, utime(home.serviceProperties().c_str(), &old));
    ASSERT_TRUE(util->PopulateConfigFilePath().Succeeded());
    EXPECT_EQ("", PropertyValue(home.serviceProperties(), "custom.key"));
    EXPECT_EQ("hdfsuser", PropertyValue(home.serviceProperties(), "util.hadoop.user"));
}

TEST_F(RestUtilConfigTest, MissingTemplateFailsTheCopy) {
    fs::remove(home.dxjars() + "/dxhadooputil.properties");
    auto util = Util();
    CEkError err = util->PopulateConfigFilePath();
    ExpectError(err, 2,
                "Failed to copy '" + home.dxjars() + "/dxhadooputil.properties' to '" +
                    home.serviceProperties() + "'");
}

TEST_F(RestUtilConfigTest, MissingLog4jTemplateFailsTheCopy) {
    fs::remove(home.dxjars() + "/dxhadooplog4j.properties");
    auto util = Util();
    CEkError err = util->PopulateConfigFilePath();
    EXPECT_EQ(2, err.Code());
    EXPECT_THAT(err.Message(),
                HasSubstr("Failed to copy '" + home.dxjars() + "/dxhadooplog4j.properties'"));
}

TEST_F(RestUtilConfigTest, ReadOnlyPropertiesFailTheUserNameUpdate) {
    home.ServiceProperties("");
    ASSERT_EQ(0, chmod(home.serviceProperties().c_str(), 0444));
    auto util = Util();
    CEkError err = util->PopulateConfigFilePath();
    ExpectError(err, 13, "Failed to update user name in config file");
}

TEST_F(RestUtilConfigTest, ConfigurationDirectoryNotFoundFailsWith1168) {
    install.SetConfFile("fail-envvars");
    install.SetConfFile("fail-classpath");
    auto util = Util();
    CEkError err = util->PopulateConfigFilePath();
    EXPECT_EQ(1168, err.Code());
    EXPECT_EQ("Failed to get conf path", err.Frames().back().message);
    EXPECT_GE(err.Frames().size(), 2u);  // a location frame on top
}

}  // namespace
