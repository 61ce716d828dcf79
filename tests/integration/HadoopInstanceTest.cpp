// Loading an instance whose directories must be detected on the machine: the stand-in Hadoop
// installation on PATH, the machine's real JDK, and the locate database over a test tree. The
// saved "HDP_LIB_PATH" values that leave a directory open, and failed detections.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

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
using testsupport::discovery::BuildLocateDatabase;
using testsupport::discovery::RealJdkLibDir;
using testsupport::discovery::RealPath;
using testsupport::discovery::SavedLibPath;
using testsupport::discovery::ShellTools;
using testsupport::discovery::ToolDir;

namespace {

const char kSelectedOnly[] = R"({"entries": [{"selector": 1, "configField2": "c2"}]})";

class InstanceDetection : public ::testing::Test {
  protected:
    void SetUp() override {
        m_install.AddNativeLibrary(std::string(LOCALCLUSTER_LIBHDFS_DIR) + "/libhdfs.so");
        m_install.Activate(/*throughLinks=*/true);
    }
    // The directory detection reports for the stand-in installation's libhdfs.so.
    std::string InstallNativeDir() const {
        return RealPath(m_install.installDir()) + "/lib/native/";
    }
    void Save(const std::string& value) {
        m_home.SetSetting("FileSystemAgent", "HDP_LIB_PATH", value);
    }
    // PATH with the shell tools only (no hadoop, no java) and locate over `tree`.
    void HideHadoopAndJava(const std::string& tree) {
        m_install.Deactivate();
        std::filesystem::create_directories(tree);
        BuildLocateDatabase(tree, m_scratch / "locate.db");
        m_tools.AddLocate(m_scratch / "locate.db");
        m_path.emplace("PATH", m_tools.path());
    }

    ProductHome m_home;
    LogCapture m_log;
    LocalInstall m_install;
    TempDir m_scratch;
    ToolDir m_tools{ShellTools()};
    std::optional<ScopedEnv> m_path;
    CHadoopInstance m_instance;
};

class SavedValueLeavingBothOpen : public InstanceDetection,
                                  public ::testing::WithParamInterface<const char*> {};

TEST_P(SavedValueLeavingBothOpen, BothDirectoriesAreDetectedAndSaved) {
    if (GetParam() != nullptr)
        Save(GetParam());
    ASSERT_TRUE(m_instance.Load(kSelectedOnly).Succeeded());
    EXPECT_EQ(InstallNativeDir(), m_instance.m_sHadoopNativeLibPath);
    EXPECT_EQ(RealJdkLibDir(), m_instance.m_sJvmLibPath);
    EXPECT_EQ(InstallNativeDir() + ":" + RealJdkLibDir(), SavedLibPath());
    EXPECT_TRUE(m_instance.m_bLoaded);
}

// Absent, empty, without a colon, only a colon.
INSTANTIATE_TEST_SUITE_P(Values, SavedValueLeavingBothOpen,
                         ::testing::Values(nullptr, "", "/opt/hadoop/lib/native", ":"));

TEST_F(InstanceDetection, SavedValueEndingWithColonGivesNativeDirectoryOnly) {
    Save("/saved/native:");
    ASSERT_TRUE(m_instance.Load(kSelectedOnly).Succeeded());
    EXPECT_EQ("/saved/native", m_instance.m_sHadoopNativeLibPath);
    EXPECT_EQ(RealJdkLibDir(), m_instance.m_sJvmLibPath);
    EXPECT_EQ("/saved/native:" + RealJdkLibDir(), SavedLibPath());
}

TEST_F(InstanceDetection, UndetectableLibHdfsFailsTheLoadAndKeepsTheConfigFields) {
    Save("/not-split");
    HideHadoopAndJava(m_scratch / "tree");
    CEkError error = m_instance.Load(kSelectedOnly);
    ExpectError(error, 1168, "Failed to detect libhdfs path");
    ASSERT_EQ(2u, error.Frames().size());
    EXPECT_STREQ("HadoopInstance.cpp", error.Frames().front().location.file);
    EXPECT_FALSE(m_instance.m_bLoaded);
    EXPECT_EQ("c2", m_instance.m_sConfigField2);
    EXPECT_EQ("/not-split", SavedLibPath());
}

TEST_F(InstanceDetection, UndetectableJavaKeepsTheDetectedNativeDirectory) {
    std::string tree = RealPath(m_scratch.path()) + "/tree";
    WriteFile(tree + "/opt/hadoop/lib/libhdfs.so", "lib");
    HideHadoopAndJava(tree);
    CEkError error = m_instance.Load(kSelectedOnly);
    ExpectError(error, 1168, "Failed to detect java lib path");
    EXPECT_FALSE(m_instance.m_bLoaded);
    EXPECT_EQ(tree + "/opt/hadoop/lib", m_instance.m_sHadoopNativeLibPath);
    EXPECT_EQ("", m_instance.m_sJvmLibPath);
    EXPECT_EQ("", SavedLibPath());
}

TEST_F(InstanceDetection, RegistryRetriesTheDetectionAfterAFailedLoad) {
    boost::shared_ptr<CHadoopInstanceCtx> ctx = CHadoopInstanceCtx::GetInstance();
    WriteFile(m_home.path() + "/instances/3.json", kSelectedOnly);
    m_install.Deactivate();
    HideHadoopAndJava(m_scratch / "tree");
    CHadoopInstancePtr instance;
    ASSERT_TRUE(ctx->CreateHDPInstance(3, &instance).Failed());
    EXPECT_FALSE(ctx->GetHDPInstance());

    m_path.reset();
    m_install.Activate(true);
    ASSERT_TRUE(ctx->CreateHDPInstance(3, &instance).Succeeded());
    EXPECT_EQ(InstallNativeDir(), instance->m_sHadoopNativeLibPath);
    EXPECT_EQ(instance, ctx->GetHDPInstance());
}

}  // namespace
