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

class RestUtilConfigTest : public RestServiceFixture {
  protected:
    std::unique_ptr<ScopedEnv> path;

    // Puts `which` that never finds java and `whereis` that prints `whereisOutput` first on PATH.
    void HideJavaFromPath(const std::string& whereisOutput = "java:") {
        const std::string tools = home.path("tools");
        WriteScript(tools + "/which", "[ \"$1\" = java ] && exit 1\nexec /usr/bin/which \"$@\"\n");
        WriteScript(tools + "/whereis", "printf '%s\\n' '" + whereisOutput + "'\n");
        if (!path)
            path = std::make_unique<ScopedEnv>("PATH", tools + ":" + getenv("PATH"));
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

    // The Java a fresh object finds.
    std::string FoundJava(const std::string& given = "") {
        auto util = Util(eAppTypeHadoop, given);
        CEkError err = util->GetJavaPath();
        EXPECT_TRUE(err.Succeeded()) << err.AsString();
        return util->GetJavaPathField();
    }
};

// --- GetJavaPath ---

// Each source is asked only when every one before it has nothing.
TEST_F(RestUtilConfigTest, JavaPathSourcesInTheirOrder) {
    EXPECT_EQ("/given/java", FoundJava("/given/java"));  // the field, kept as given
    home.Settings("[FileSystemAgent]\nsJavaPath=/no/such/java\n");
    EXPECT_EQ("/no/such/java", FoundJava());  // the setting, used without checking it
    home.Settings("");
    // JAVA_HOME of `hadoop envvars`, its jre preferred.
    install.SetJavaHome(FakeJavaHome("jdk", false));
    EXPECT_EQ(home.path("jdk") + "/bin/java", FoundJava());
    install.SetJavaHome(FakeJavaHome("jrejdk", true));
    EXPECT_EQ(home.path("jrejdk") + "/jre/bin/java", FoundJava());
    install.SetConfFile("fail-envvars");
    EXPECT_EQ(FindOnPath("java"), FoundJava());  // the search path
    HideJavaFromPath();
    EXPECT_EQ(home.path("jrejdk") + "/jre/bin/java", FoundJava());  // hadoop-env.sh
    // whereis: the first existing path after its label.
    install.SetJavaHome("");
    const std::string java = home.path("jdk") + "/bin/java";
    HideJavaFromPath("java: /no/such/java " + java + " /usr/share/man/man1/java.1.gz");
    EXPECT_EQ(java, FoundJava());
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

TEST_F(RestUtilConfigTest, ConfPathKeepsAValidCandidateOrAsksTheClient) {
    auto util = Util();
    std::string confPath = "kept";
    install.SetConfFile("fail-envvars");
    install.SetConfFile("fail-classpath");
    ExpectError(util->GetConfPath(confPath, eAppTypeHadoop, "/no/such/dir"), 1168,
                "Failed to get conf path");
    EXPECT_EQ("kept", confPath);
    // A valid candidate is kept without asking the client.
    ASSERT_TRUE(util->GetConfPath(confPath, eAppTypeHadoop, install.confDir()).Succeeded());
    EXPECT_EQ(install.confDir(), confPath);
    install.RemoveConfFile("fail-envvars");
    install.RemoveConfFile("fail-classpath");
    ExpectError(util->GetConfPath(confPath, static_cast<eHadoopAppType>(3), install.confDir()),
                1168, "Failed to get conf path");  // an unknown application never has one

    // A candidate without hdfs-site.xml makes the library ask the client.
    const std::string partial = home.path("partial");
    WriteFile(partial + "/core-site.xml", "<configuration/>");
    ASSERT_TRUE(util->GetConfPath(confPath, eAppTypeHadoop, partial).Succeeded());
    EXPECT_EQ(install.confDir(), confPath);
    ASSERT_TRUE(util->GetConfPath(confPath, eAppTypeHBase, "").Succeeded());
    EXPECT_EQ(install.hbaseConfDir(), confPath);
    // The directory `hadoop envvars` names is accepted without its files.
    install.SetConfFile("output-envvars", "HADOOP_CONF_DIR='/no/such/conf'\n");
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
    std::string confPath;
    ASSERT_TRUE(Util()->GetConfPath(confPath, eAppTypeHadoop, "").Succeeded());
    EXPECT_EQ(first, confPath);
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

TEST_F(RestUtilConfigTest, MissingPropertyFilesAreCreatedAndFilled) {
    CHadoopRestUtil noConfig("", home.home(), "u", eAppTypeHadoop, "", "");
    ASSERT_TRUE(noConfig.PopulateConfigFilePath().Succeeded());
    EXPECT_TRUE(fs::is_empty(home.configDir()));  // no directory: nothing touched

    CEkError err = Util()->PopulateConfigFilePath();
    ASSERT_TRUE(err.Succeeded()) << err.AsString();
    EXPECT_EQ("hdfsuser", PropertyValue(home.serviceProperties(), "util.hadoop.user"));
    EXPECT_EQ(install.confDir(), PropertyValue(home.serviceProperties(), "util.hadoop.config"));
    EXPECT_EQ("", PropertyValue(home.serviceProperties(), "util.hbase.user"));
    EXPECT_EQ(home.logDir() + "/dxhdfsutil.log",
              PropertyValue(home.log4jProperties(), "log4j.appender.R.File"));
    EXPECT_EQ("INFO, R", PropertyValue(home.log4jProperties(), "log4j.rootLogger"));

    ASSERT_TRUE(Util(eAppTypeHBase)->PopulateConfigFilePath().Succeeded());  // adds its keys
    EXPECT_EQ("hbaseuser", PropertyValue(home.serviceProperties(), "util.hbase.user"));
    EXPECT_EQ(install.hbaseConfDir(), PropertyValue(home.serviceProperties(), "util.hbase.config"));
    EXPECT_EQ(install.confDir(), PropertyValue(home.serviceProperties(), "util.hadoop.config"));
}

TEST_F(RestUtilConfigTest, ExistingLog4jKeepsItsLogFileAndGetsTheDebugLevel) {
    WriteFile(home.log4jProperties(),
              "log4j.rootLogger=INFO, R\nlog4j.appender.R.File=/mine.log\n");
    home.Settings("[EventManager]\ndxhdfsutil_DEBUGLEVEL=3\n");
    ASSERT_TRUE(Util()->PopulateConfigFilePath().Succeeded());
    EXPECT_EQ("/mine.log", PropertyValue(home.log4jProperties(), "log4j.appender.R.File"));
    EXPECT_EQ("DEBUG, R", PropertyValue(home.log4jProperties(), "log4j.rootLogger"));
}

TEST_F(RestUtilConfigTest, KerberosCachePathIsClearedUnlessTheLibraryCacheIsWanted) {
    const std::string key = "util.hadoop.security.kerberos.ticket.cache.path";
    WriteFile(home.serviceProperties(), key + "=/tmp/old\n");
    auto util = Util();
    ASSERT_TRUE(util->PopulateConfigFilePath().Succeeded());
    EXPECT_EQ("", PropertyValue(home.serviceProperties(), key));

    // Wanted, but this process has no file-system object: the value stays as it is.
    WriteFile(home.serviceProperties(), key + "=/tmp/old\n");
    home.Settings("[FileSystemAgent]\nnUseLoggedinHdfsKerbCache=1\n");
    ASSERT_TRUE(util->PopulateConfigFilePath().Succeeded());
    EXPECT_EQ("/tmp/old", PropertyValue(home.serviceProperties(), key));
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
    for (const std::string name : {"dxhadooplog4j.properties", "dxhadooputil.properties"}) {
        fs::remove(home.dxjars() + "/" + name);
        ExpectError(Util()->PopulateConfigFilePath(), 2,
                    "Failed to copy '" + home.dxjars() + "/" + name + "' to '" + home.configDir() +
                        "/" + name + "'");
        fs::remove(home.configDir() + "/dxhadooputil.properties");
    }
}

TEST_F(RestUtilConfigTest, ReadOnlyPropertiesOrNoConfigurationDirectoryFail) {
    home.ServiceProperties("");
    ASSERT_EQ(0, chmod(home.serviceProperties().c_str(), 0444));
    ExpectError(Util()->PopulateConfigFilePath(), 13, "Failed to update user name in config file");
    ASSERT_EQ(0, chmod(home.serviceProperties().c_str(), 0644));

    install.SetConfFile("fail-envvars");
    install.SetConfFile("fail-classpath");
    CEkError err = Util()->PopulateConfigFilePath();
    EXPECT_EQ(1168, err.Code());
    EXPECT_EQ("Failed to get conf path", err.Frames().back().message);
    EXPECT_GE(err.Frames().size(), 2u);  // a location frame on top
}

}  // namespace
