// The HDP version property from hdp-select, and command lines from configured bin directories
// run through the shell for real.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "hadoop/HadoopCommon.h"
#include "host/Process.h"
#include "support/LocalInstall.h"
#include "support/TestSupport.h"

using testsupport::LocalInstall;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;
using testsupport::WriteScript;

namespace {

class HdpVersionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_install.Activate();
        ASSERT_NE(getcwd(m_oldCwd, sizeof m_oldCwd), nullptr);
        ASSERT_EQ(chdir(m_dir.path().c_str()), 0);  // where an injected command would leave traces
    }
    void TearDown() override { ASSERT_EQ(chdir(m_oldCwd), 0); }
    void ConfigureHadoopBin(const std::string& directory) {
        WriteFile(m_dir / "settings.ini", "[FileSystemAgent]\nsHadoopBinPath=" + directory + "\n");
    }

    TempDir m_dir;
    ScopedEnv m_settings{"HDFSAGENT_SETTINGS", m_dir / "settings.ini"};
    LocalInstall m_install;
    char m_oldCwd[4096];
};

TEST_F(HdpVersionTest, VersionFromHdpSelectOnPath) {
    m_install.SetConfFile("hdp-version", "2.6.5.0-292\n");
    std::string arg = "stale";
    ASSERT_TRUE(GetHDPversionArg(arg).Succeeded());
    EXPECT_EQ(arg, "-Dhdp.version=2.6.5.0-292");
}

TEST_F(HdpVersionTest, FailingHdpSelectGivesEmptyArgumentAndSuccess) {
    std::string arg = "-Dhdp.version=stale";
    ASSERT_TRUE(GetHDPversionArg(arg).Succeeded());  // no hdp-version: the stand-in exits 1
    EXPECT_EQ(arg, "");
}

TEST_F(HdpVersionTest, MissingHdpSelectGivesEmptyArgument) {
    ScopedEnv path("PATH", m_dir.path());
    std::string arg = "stale";
    ASSERT_TRUE(GetHDPversionArg(arg).Succeeded());
    EXPECT_EQ(arg, "");
}

TEST_F(HdpVersionTest, ConfiguredBinDirectoryIsUsed) {
    std::string bin = m_dir / "hdp/bin";
    WriteScript(bin + "/hdp-select", "[ \"$1\" = -v ] && echo 3.1.0.0-78\n");
    ConfigureHadoopBin(bin);
    std::string arg;
    ASSERT_TRUE(GetHDPversionArg(arg).Succeeded());
    EXPECT_EQ(arg, "-Dhdp.version=3.1.0.0-78");
}

// A bin directory with characters the shell interprets used to split or run as commands; the
// quoted program now runs as it is and nothing else runs.
class ShellCharactersInBinDirectory : public HdpVersionTest,
                                      public ::testing::WithParamInterface<const char*> {};

TEST_P(ShellCharactersInBinDirectory, ProgramRunsAndNothingElse) {
    std::string bin = m_dir / (std::string(GetParam()) + "/bin");
    WriteScript(bin + "/hdp-select", "[ \"$1\" = -v ] && echo 3.1.0.0-78\n");
    ConfigureHadoopBin(bin);
    std::string arg;
    ASSERT_TRUE(GetHDPversionArg(arg).Succeeded());
    EXPECT_EQ(arg, "-Dhdp.version=3.1.0.0-78");
    EXPECT_FALSE(std::filesystem::exists(m_dir / "pwned"));

    std::string out, err;
    EXPECT_EQ(DxProcess::system(GetHadoopCommand("hdp-select") + " -v", &out, &err), 0) << err;
    EXPECT_EQ(out, "3.1.0.0-78\n");
}

INSTANTIATE_TEST_SUITE_P(Directories, ShellCharactersInBinDirectory,
                         ::testing::Values("my hadoop", "a;touch pwned;b", "x`touch pwned`y",
                                           "$(touch pwned)", "it's", "a&&touch pwned"));

}  // namespace
