// What `cmake --install` puts on a host: a production install holds the product only; the
// localcluster stand-ins (a libhdfs.so and hadoop/hdfs/... programs that are not Hadoop) come
// only with their own component, so that detection on a real host can never pick them up.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
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
