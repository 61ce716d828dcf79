// The tool's copying threads at work together: many files copied, hashed and given their ACLs
// and extended attributes by several threads (each with a REST client of its own), and an
// interrupt seen by every thread. Built with ThreadSanitizer too, where any data race between
// the threads fails the run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/HdfsagentTool.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testing::HasSubstr;
using testsupport::ToolResult;
using testsupport::ToolWorld;
using testsupport::Trace;
using testsupport::WaitForBytes;

namespace {}  // namespace

TEST(HdfsagentToolThreads, ManyThreadsBackUpRestoreAndVerifyAclsAndXattrs) {
    ToolWorld world(HDFSAGENT_TOOL_PATH);
    world.MakeHdfsDirectory("/src");
    for (int d = 0; d < 4; ++d) {
        const std::string dir = "/src/d" + std::to_string(d);
        world.MakeHdfsDirectory(dir);
        for (int f = 0; f < 12; ++f) {
            const std::string file = dir + "/f" + std::to_string(f);
            world.WriteHdfsFile(file, std::string(static_cast<size_t>(f) * 3000 + d, 'a' + f));
            if (f % 3 == 0)
                world.SetAcl(file, "user:bob:r--,group::r--,mask::r--");
            if (f % 4 == 0)
                world.SetHdfsXattr(file, "user.n", std::to_string(d * 100 + f));
        }
    }
    const std::string full = world.backupDir("full");
    ToolResult backup = world.Run({"backup", "--threads", "6", "/src", full});
    ASSERT_EQ(0, backup.status) << Trace(backup);
    EXPECT_THAT(backup.out, HasSubstr(": 48 files"));
    ToolResult restore = world.Run({"restore", full, "/dst"});
    ASSERT_EQ(0, restore.status) << Trace(restore);
    ToolResult verify = world.Run({"verify", full, "/dst"});
    EXPECT_EQ(0, verify.status) << Trace(verify);
    EXPECT_THAT(verify.out, HasSubstr("identical: 48 backup copies re-hashed"));
    EXPECT_EQ("user:bob:r--,group::r--,mask::r--",
              world.BackingXattr("/dst/d3/f9", "user.hdfs.acl"));
    EXPECT_EQ("308", world.BackingXattr("/dst/d3/f8", "user.hdfs.x.user.n"));
}

TEST(HdfsagentToolThreads, InterruptStopsEveryCopyingThread) {
    ToolWorld world(HDFSAGENT_TOOL_PATH);
    world.MakeHdfsDirectory("/src");
    for (int f = 0; f < 8; ++f)
        world.WriteHdfsFile("/src/slow" + std::to_string(f), std::string(256 << 10, 'x'));
    const std::string full = world.backupDir("full");
    // One byte per read: every thread is busy with a slow copy when the signal comes.
    const pid_t pid = world.Start({"backup", "--no-acl", "--threads", "4", "/src", full},
                                  {{"LOCALHDFS_SHORT_READS", "1"}});
    ASSERT_TRUE(WaitForBytes(full + "/data/slow0"));
    ASSERT_EQ(0, kill(pid, SIGTERM));
    ToolResult interrupted = world.Wait(pid);
    EXPECT_TRUE(interrupted.signaled) << Trace(interrupted);
    EXPECT_EQ(SIGTERM, interrupted.signal);
    EXPECT_THAT(interrupted.err, HasSubstr("interrupted; no backup was recorded in " + full));
    EXPECT_FALSE(fs::exists(full + "/manifest.jsonl"));
}
