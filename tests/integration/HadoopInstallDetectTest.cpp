// Detection of the Hadoop installation, libhdfs.so and libjvm.so: the localcluster stand-in
// installation, the machine's real JDK, and the real plocate over a database of a test tree.
#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>

#include "hadoop/HadoopInstance.h"
#include "support/ErrorChecks.h"
#include "support/HadoopDiscovery.h"
#include "support/LocalInstall.h"
#include "support/TestSupport.h"

using ::testing::HasSubstr;
using testsupport::ExpectError;
using testsupport::LocalInstall;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;
using testsupport::WriteScript;
using testsupport::discovery::BuildLocateDatabase;
using testsupport::discovery::LogCapture;
using testsupport::discovery::RealJdkHome;
using testsupport::discovery::RealPath;
using testsupport::discovery::ShellTools;
using testsupport::discovery::ToolDir;

namespace {

const char* const kLibHdfsFolders[] = {"../usr/lib/", "usr/lib/", "../lib64/",      "lib64/",
                                       "../lib/",     "lib/",     "../lib/native/", "lib/native/"};

class InstallDetectTest : public ::testing::Test {
  protected:
    // The installation directory as detection reports it: physical, with its trailing "/".
    std::string InstallPath() const { return RealPath(m_install.installDir()) + "/"; }
    // PATH holding only the shell tools (no hadoop, no java) and locate over `tree`.
    void UseToolsOnly(const std::string& locateTree) {
        std::filesystem::create_directories(locateTree);
        BuildLocateDatabase(locateTree, m_scratch / "locate.db");
        m_tools.AddLocate(m_scratch / "locate.db");
        m_path.emplace("PATH", m_tools.path());
    }
    // A Java home in the old layout, whose libjvm.so lies in jre/lib/amd64/server.
    std::string MakeJreHome() {
        std::string home = RealPath(m_scratch.path()) + "/jdk8";
        WriteFile(home + "/jre/lib/amd64/server/libjvm.so", "jvm");
        WriteFile(home + "/jre/lib/amd64/big/libjvm.so", "a larger library not chosen");
        return home;
    }

    LocalInstall m_install;
    TempDir m_scratch;
    ToolDir m_tools{ShellTools()};
    std::optional<ScopedEnv> m_path;
    LogCapture m_log;
    CHadoopInstance m_instance;
};

// ----------------------------------------------------------------------------------------------
// The installation directory

using HadoopInstallPathTest = InstallDetectTest;

TEST_F(HadoopInstallPathTest, LinkOnPathLeadsToPhysicalInstallation) {
    m_install.Activate(/*throughLinks=*/true);
    std::string installPath;
    ASSERT_TRUE(m_instance.DetectHadoopInstallPath(installPath).Succeeded());
    EXPECT_EQ(installPath, InstallPath());
    EXPECT_THAT(m_log.Text(), HasSubstr("Hadoop path: " + InstallPath()));
}

TEST_F(HadoopInstallPathTest, NoHadoopOnPathOrWhichComplainingFails) {
    UseToolsOnly(m_scratch / "tree");
    std::string installPath;
    ExpectError(m_instance.DetectHadoopInstallPath(installPath), 1627,
                "Failed to get path of hadoop command. ");
    EXPECT_THAT(m_log.Text(), HasSubstr("Failed to get path of hadoop command. "));

    std::string which = m_scratch / "which";
    WriteScript(which, "echo /opt/hd/bin/hadoop\necho 'which: odd entry in PATH' >&2\n");
    m_tools.Link("which", which);
    ExpectError(m_instance.DetectHadoopInstallPath(installPath), 1627,
                "Failed to get path of hadoop command. which: odd entry in PATH\n");
}

// ----------------------------------------------------------------------------------------------
// libhdfs.so

class LibHdfsFolderOrder : public InstallDetectTest,
                           public ::testing::WithParamInterface<size_t> {};

TEST_P(LibHdfsFolderOrder, EarliestFolderHoldingTheLibraryWins) {
    for (size_t i = GetParam(); i < std::size(kLibHdfsFolders); ++i)
        WriteFile(InstallPath() + kLibHdfsFolders[i] + "libhdfs.so", "lib");
    std::string libPath;
    ASSERT_TRUE(m_instance.DetectLibHdfsPath_From_InstallPath(InstallPath(), libPath).Succeeded());
    EXPECT_EQ(libPath, InstallPath() + kLibHdfsFolders[GetParam()]);
    EXPECT_THAT(m_log.Text(), HasSubstr("libhdfs.so path: '" + libPath + "'"));
}

INSTANTIATE_TEST_SUITE_P(Folders, LibHdfsFolderOrder, ::testing::Range<size_t>(0, 8));

// In none of the well-known folders it is not found there; below the detected installation
// any folder is searched, and the native folder wins.
TEST_F(InstallDetectTest, LibHdfsBelowTheDetectedInstallation) {
    std::string libPath = "/stale/";  // a value passed in is not taken for a find
    ExpectError(m_instance.DetectLibHdfsPath_From_InstallPath(InstallPath(), libPath), 1627,
                "Function failed during execution");
    EXPECT_EQ(libPath, "/stale/");
    EXPECT_THAT(m_log.Text(), HasSubstr("Failed to detect libhdfs.so in well known folders of "
                                        "hadoop installation directory"));

    m_install.Activate(true);
    WriteFile(InstallPath() + "share/hadoop/hdfs/native/libhdfs.so", "lib");
    ASSERT_TRUE(m_instance.DetectLibHdfsPath(libPath).Succeeded());
    EXPECT_EQ(libPath, InstallPath() + "share/hadoop/hdfs/native");
    WriteFile(InstallPath() + "lib/native/libhdfs.so", "lib");
    ASSERT_TRUE(m_instance.DetectLibHdfsPath(libPath).Succeeded());
    EXPECT_EQ(libPath, InstallPath() + "lib/native/");
}

// Without hadoop the library comes from locate; with no hit anywhere it is not found.
TEST_F(InstallDetectTest, WithoutHadoopLibHdfsComesFromLocate) {
    std::string tree = RealPath(m_scratch.path()) + "/tree";
    UseToolsOnly(tree);
    std::string libPath;
    ExpectError(m_instance.DetectLibHdfsPath(libPath), 1168, "Failed to detect libhdfs path");
    WriteFile(tree + "/opt/cloudera/lib64/libhdfs.so", "lib");
    UseToolsOnly(tree);
    ASSERT_TRUE(m_instance.DetectLibHdfsPath(libPath).Succeeded());
    EXPECT_EQ(libPath, tree + "/opt/cloudera/lib64");
    EXPECT_THAT(m_log.Text(), HasSubstr("Failed to get path of hadoop command."));
}

// ----------------------------------------------------------------------------------------------
// libjvm.so

using JavaLibPathTest = InstallDetectTest;

TEST_F(JavaLibPathTest, RealJdkFoundThroughJavaProgram) {
    // A modern JDK has no jre/lib/amd64/server: the search below the Java home must find it.
    ASSERT_FALSE(std::filesystem::exists(RealJdkHome() + "/jre/lib/amd64/server/libjvm.so"));
    std::string jvmLibPath;
    ASSERT_TRUE(m_instance.DetectJavaLibPath_From_JavaBin(jvmLibPath).Succeeded());
    EXPECT_EQ(jvmLibPath, RealJdkHome() + "/lib/server");
    EXPECT_TRUE(std::filesystem::exists(jvmLibPath + "/libjvm.so"));

    UseToolsOnly(m_scratch / "tree");
    ExpectError(m_instance.DetectJavaLibPath_From_JavaBin(jvmLibPath), 1627,
                "Failed to get path of java command. ");
    EXPECT_THAT(m_log.Text(), HasSubstr("Failed to get path of java command. "));
}

// Found for real through `hadoop envvars`; a failing program is reported; two JAVA_HOME lines
// fail, and the chain goes on to the java program.
TEST_F(JavaLibPathTest, RealJdkFoundThroughHadoopEnvvars) {
    m_install.Activate(true);
    std::string jvmLibPath;
    ASSERT_TRUE(m_instance.DetectJavaLibPath_From_HadoopEnvvars(jvmLibPath).Succeeded());
    EXPECT_EQ(jvmLibPath, RealJdkHome() + "/lib/server");
    EXPECT_THAT(m_log.Text(), HasSubstr("Java Lib path: '" + jvmLibPath + "'"));

    m_install.SetConfFile("fail-envvars", "ERROR: JAVA_HOME is not set\n");
    ExpectError(m_instance.DetectJavaLibPath_From_HadoopEnvvars(jvmLibPath), 1627,
                "Failed to get hadoop envars");
    EXPECT_THAT(m_log.Text(),
                HasSubstr("Failed to get hadoop envvars. ERROR: JAVA_HOME is not set"));
    m_install.RemoveConfFile("fail-envvars");

    m_install.SetConfFile("output-envvars",
                          "JAVA_HOME='" + MakeJreHome() + "'\nJAVA_HOME='" + RealJdkHome() + "'\n");
    ExpectError(m_instance.DetectJavaLibPath_From_HadoopEnvvars(jvmLibPath), ENOENT,
                std::strerror(ENOENT));
    ASSERT_TRUE(m_instance.DetectJavaLibPath(jvmLibPath).Succeeded());
    EXPECT_EQ(jvmLibPath, RealJdkHome() + "/lib/server");  // from the java program
}

// A Java home in the old layout gives the fixed folder without a search, one without libjvm.so
// fails. From the env script: exported plain or quoted; not exported; the script missing.
TEST_F(JavaLibPathTest, JavaHomeInTheOldLayoutAndFromTheHadoopEnvScript) {
    std::string home = MakeJreHome();
    std::string jvmLibPath;
    ASSERT_TRUE(m_instance.DetectJavaLibPath_internal(home, jvmLibPath).Succeeded());
    EXPECT_EQ(jvmLibPath, home + "/jre/lib/amd64/server/");
    // A Java home without libjvm.so fails.
    std::filesystem::create_directories(m_scratch / "empty");
    ExpectError(m_instance.DetectJavaLibPath_internal(m_scratch / "empty", jvmLibPath), ENOENT,
                std::strerror(ENOENT));
    EXPECT_EQ(jvmLibPath, "");

    m_install.Activate(true);
    for (const std::string& exported : {home, "\"" + home + "\""}) {
        m_install.SetJavaHome(exported);
        ASSERT_TRUE(m_instance.DetectJavaLibPath_From_HadoopEnvScript(jvmLibPath).Succeeded());
        EXPECT_EQ(jvmLibPath, home + "/jre/lib/amd64/server/") << exported;
        EXPECT_THAT(m_log.Text(), HasSubstr("Java path: '" + jvmLibPath + "'"));
    }
    m_install.SetJavaHome("");
    ExpectError(m_instance.DetectJavaLibPath_From_HadoopEnvScript(jvmLibPath), 1627,
                "Failed to get java path from '" + InstallPath() + "conf/hadoop-env.sh'. ");
    std::filesystem::remove(m_install.confDir() + "/hadoop-env.sh");
    ExpectError(m_instance.DetectJavaLibPath_From_HadoopEnvScript(jvmLibPath), 1627,
                InstallPath() + "conf/hadoop-env.sh does not exist");
}

// Without hadoop and java libjvm.so comes from locate; with no hit anywhere it is not found.
TEST_F(JavaLibPathTest, WithoutHadoopAndJavaLibJvmComesFromLocate) {
    std::string tree = RealPath(m_scratch.path()) + "/tree";
    UseToolsOnly(tree);
    std::string jvmLibPath;
    ExpectError(m_instance.DetectJavaLibPath(jvmLibPath), 1168, "Failed to detect java lib path");
    WriteFile(tree + "/usr/java/jdk/lib/server/libjvm.so", "jvm");
    UseToolsOnly(tree);
    ASSERT_TRUE(m_instance.DetectJavaLibPath(jvmLibPath).Succeeded());
    EXPECT_EQ(jvmLibPath, tree + "/usr/java/jdk/lib/server");
}

}  // namespace
