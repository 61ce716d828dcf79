// What `cmake --install` puts on a host: a production install holds the product only; the
// localcluster stand-ins (a libhdfs.so and hadoop/hdfs/... programs that are not Hadoop) come
// only with their own component, so that detection on a real host can never pick them up. The
// installed headers are the agent interface alone, and an agent builds against them and the
// installed library without the source tree.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "host/ShellQuote.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

// Installs the build tree into `prefix` (the default component when `component` is empty) and
// returns the installed files and links (not directories) relative to `prefix`.
std::set<std::string> Install(const std::string& prefix, const std::string& component) {
    std::string command = ShellQuote(HDFSAGENT_CMAKE_COMMAND) + " --install " +
                          ShellQuote(HDFSAGENT_BINARY_DIR) + " --prefix " + ShellQuote(prefix);
    if (!component.empty())
        command += " --component " + ShellQuote(component);
    std::string output;
    EXPECT_EQ(0, testsupport::Shell(command + " 2>&1", &output)) << output;
    std::set<std::string> installed;
    for (const auto& entry : fs::recursive_directory_iterator(prefix))
        if (!entry.is_directory() || entry.is_symlink())
            installed.insert(entry.path().lexically_relative(prefix).string());
    return installed;
}

std::set<std::string> Below(const std::set<std::string>& paths, const std::string& directory) {
    std::set<std::string> below;
    for (const std::string& path : paths)
        if (path.rfind(directory, 0) == 0)
            below.insert(path.substr(directory.size()));
    return below;
}

std::string CacheValue(const std::string& buildDir, const std::string& name) {
    std::ifstream cache(buildDir + "/CMakeCache.txt");
    std::string line;
    while (std::getline(cache, line))
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find('=') + 1);
    return "";
}

bool AnyNamed(const std::set<std::string>& paths, const std::string& name) {
    for (const std::string& path : paths)
        if (fs::path(path).filename() == name)
            return true;
    return false;
}

}  // namespace

TEST(InstallLayout, ProductionInstallShipsTheStandInLibhdfsAndHadoopScripts) {
    TempDir prefix("install-default");
    const std::set<std::string> installed = Install(prefix.path(), "");
    EXPECT_TRUE(installed.count("bin/hdfsagent"));
    EXPECT_TRUE(AnyNamed(installed, "libhdfsagent.so"));
    EXPECT_TRUE(installed.count("share/hdfsagent/dxjars/dxhdfsutil.jar"));
    EXPECT_TRUE(installed.count("share/hdfsagent/dxjars/dxhadoopnativelog4j.properties"));
    for (const char* standIn :
         {"libhdfs.so", "hadoop", "hdfs", "hbase", "hdp-select", "locate", "start-kdc.sh"})
        EXPECT_FALSE(AnyNamed(installed, standIn)) << standIn;
    for (const std::string& path : installed)
        EXPECT_NE(0u, path.rfind("share/hdfsagent/localcluster/", 0)) << path;
}

TEST(InstallLayout, LocalclusterComponentHoldsTheStandInsOnly) {
    TempDir prefix("install-localcluster");
    const std::set<std::string> installed = Install(prefix.path(), "localcluster");
    for (const char* path :
         {"share/hdfsagent/localcluster/libhdfs/libhdfs.so",
          "share/hdfsagent/localcluster/bin/hadoop", "share/hdfsagent/localcluster/bin/hdfs",
          "share/hdfsagent/localcluster/bin/hbase", "share/hdfsagent/localcluster/bin/hdp-select",
          "share/hdfsagent/localcluster/bin/locate",
          "share/hdfsagent/localcluster/kdc/start-kdc.sh"})
        EXPECT_TRUE(installed.count(path)) << path;
    for (const std::string& path : installed)
        EXPECT_EQ(0u, path.rfind("share/hdfsagent/localcluster/", 0)) << path;
    EXPECT_FALSE(AnyNamed(installed, "libhdfsagent.so"));
    EXPECT_FALSE(installed.count("bin/hdfsagent"));
}

TEST(InstallLayout, InstalledHeadersAreTheAgentInterfaceOnly) {
    TempDir prefix("install-headers");
    const std::set<std::string> headers = Below(Install(prefix.path(), ""), "include/hdfsagent/");
    const std::set<std::string> expected = {"hadoop/HadoopCommon.h",
                                            "hadoop/HadoopConnection.h",
                                            "hadoop/HadoopCryptoUtil.h",
                                            "hadoop/HadoopCtx.h",
                                            "hadoop/HadoopFS.h",
                                            "hadoop/HadoopFile.h",
                                            "hadoop/HadoopFileSearch.h",
                                            "hadoop/HadoopInstance.h",
                                            "hadoop/HadoopRestUtil.h",
                                            "hadoop/HdfsTypes.h",
                                            "host/Error.h",
                                            "host/Export.h",
                                            "host/Http.h",
                                            "host/Lock.h",
                                            "host/Mutex.h",
                                            "host/Process.h",
                                            "host/ThreadAnnotations.h",
                                            "host/TimeStamp.h"};
    EXPECT_EQ(expected, headers);
}

// The consumer project (tests/consumer) finds the package through the install prefix alone,
// compiles each installed header on its own and runs a program that calls the library.
TEST(InstallLayout, AgentBuildsAgainstTheInstalledTreeAlone) {
    TempDir prefix("install-consumer");
    Install(prefix.path(), "");
    const std::string build = prefix / "consumer-build";
    std::string output;
    const std::string configure =
        ShellQuote(HDFSAGENT_CMAKE_COMMAND) + " -S " +
        ShellQuote(HDFSAGENT_SOURCE_DIR "/tests/consumer") + " -B " + ShellQuote(build) + " -G " +
        ShellQuote(HDFSAGENT_CMAKE_GENERATOR) +
        " -DCMAKE_PREFIX_PATH=" + ShellQuote(prefix.path()) +
        " -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF" +
        " -DCMAKE_CXX_COMPILER=" + ShellQuote(HDFSAGENT_CXX_COMPILER) +
        " -DCMAKE_CXX_FLAGS=" + ShellQuote(HDFSAGENT_SANITIZER_FLAGS);
    ASSERT_EQ(0, testsupport::Shell(configure + " 2>&1", &output)) << output;
    EXPECT_EQ(prefix.path() + "/lib/cmake/hdfsagent", CacheValue(build, "hdfsagent_DIR"));
    ASSERT_EQ(0, testsupport::Shell(ShellQuote(HDFSAGENT_CMAKE_COMMAND) + " --build " +
                                        ShellQuote(build) + " -j 2 2>&1",
                                    &output))
        << output;

    const std::string run = "env -u LD_LIBRARY_PATH HDFSAGENT_HOME=" + ShellQuote(prefix.path()) +
                            " " + ShellQuote(build + "/consumer") + " " +
                            ShellQuote(prefix.path()) + " 2>&1";
    EXPECT_EQ(0, testsupport::Shell(run, &output)) << output;
    EXPECT_THAT(output, testing::HasSubstr("ok: binding without libhdfs.so fails with ENOENT"));
    EXPECT_THAT(output, testing::HasSubstr("ok: a property file is edited in place"));
}
