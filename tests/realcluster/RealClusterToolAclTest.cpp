// The hdfsagent tool's backup and restore of ACLs and extended attributes on a real HDFS: the
// REST utility service started by the library reaches the cluster through the installation's own
// Hadoop client, with no setting beyond what an edge node has.
#include <gtest/gtest.h>

#include "realcluster/ToolRoundTrip.h"

using realcluster_test::RealToolRoundTrip;
using realcluster_test::Trace;
using testsupport::RealCluster;
using testsupport::ToolResult;

namespace {

TEST_F(RealToolRoundTrip, AclsAndXattrsAreBackedUpAndRestored) {
    RealCluster cluster = RealCluster::Plain();
    Start(cluster);
    ASSERT_NO_FATAL_FAILURE(Connect());
    const std::string root = TestRoot();
    const std::string src = root + "/src", dst = root + "/dst";
    MakeDirectory(src, 0750);
    MakeDirectory(src + "/shared", 0770);
    Write(src + "/shared/empty", "", 0600, 1700000000);
    Write(src + "/shared/one", "1", 0640, 1700000100);
    Write(src + "/blocks", realcluster_test::Pattern(cluster.blockSize() * 2 + 7, 1), 0644,
          1700000200);
    const std::vector<std::vector<std::string>> commands = {
        {"fs", "-setfacl", "-m", "user:bob:rwx,group::r-x,mask::r--", src + "/shared/one"},
        {"fs", "-setfacl", "-m", "default:user:bob:r-x", src + "/shared"},
        {"fs", "-setfattr", "-n", "user.color", "-v", "red", src + "/blocks"},
        {"fs", "-setfattr", "-n", "user.bin", "-v", "0sAAEC/w==", src + "/shared/empty"},
        {"fs", "-chown", "nobody-here:staff", src + "/shared/empty"},
    };
    for (const auto& command : commands)
        ASSERT_EQ(0, cluster.Hadoop(command)) << command[1];
    SetDirectoryTime(src + "/shared", 1690000100);
    SetDirectoryTime(src, 1690000000);

    const std::string full = m_world->backupDir("full");
    ToolResult backup = Tool({"backup", src, full});
    ASSERT_EQ(0, backup.status) << Trace(backup);
    ToolResult restore = Tool({"restore", full, dst});
    ASSERT_EQ(0, restore.status) << Trace(restore);
    ToolResult verify = Tool({"verify", full, dst});
    EXPECT_EQ(0, verify.status) << Trace(verify);

    const std::string source = cluster.ListTree(src, {"--no-atime"});
    EXPECT_NE(std::string::npos, source.find("user:bob:rwx")) << source;
    EXPECT_NE(std::string::npos, source.find("user.color")) << source;
    EXPECT_EQ(source, cluster.ListTree(dst, {"--no-atime"}));
}

}  // namespace
