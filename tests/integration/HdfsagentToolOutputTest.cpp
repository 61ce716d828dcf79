// Where the tool's output and libhdfs's Java stack traces go: libhdfs prints the whole trace of
// each failed call on fd 2; the tool prints one line per problem on its own standard error and
// leaves the traces to the product's log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/HdfsagentTool.h"
#include "support/TestSupport.h"

using testing::HasSubstr;
using testing::Not;
using testsupport::ToolResult;
using testsupport::ToolWorld;
using testsupport::Trace;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace

TEST(HdfsagentToolOutput, JavaStackTracesOfFailedCallsFloodTheToolsStandardError) {
    ToolWorld world(HDFSAGENT_TOOL_PATH);
    world.MakeHdfsDirectory("/src");
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        world.WriteHdfsFile(std::string("/src/") + name, name);
    // Two files cannot be opened; the stand-in prints each failure as libhdfs does.
    ToolResult backup =
        world.Run({"backup", "--no-acl", "--threads", "1", "/src", world.backupDir("full")},
                  {{"LOCALHDFS_FAULTS", "hdfsOpenFile=13:2"}, {"LOCALHDFS_TRACE", "1"}});
    EXPECT_EQ(3, backup.status) << Trace(backup);
    const std::vector<std::string> lines = Lines(backup.err);
    EXPECT_EQ(2u, lines.size()) << Trace(backup);
    for (const std::string& line : lines)
        EXPECT_THAT(line, testing::MatchesRegex("hdfsagent backup: [ab]\\.txt: failed: cannot open "
                                                "/src/[ab]\\.txt: Permission denied"))
            << Trace(backup);
    EXPECT_THAT(backup.err, Not(HasSubstr("\tat ")));
    EXPECT_THAT(backup.err, Not(HasSubstr("error:")));

    const std::string log = testsupport::ReadFile(world.home() + "/log/hdfsagent.log");
    EXPECT_THAT(log, HasSubstr("hdfsOpenFile: errno 13 error:\n"));
    EXPECT_THAT(log, HasSubstr("\n\tat org.apache.hadoop.localcluster.LocalHdfs.call"));
}

TEST(HdfsagentToolOutput, UnwritableLogKeepsTracesOnStandardErrorWithAWarning) {
    ToolWorld world(HDFSAGENT_TOOL_PATH);
    world.MakeHdfsDirectory("/src");
    world.WriteHdfsFile("/src/a.txt", "a");
    // A log directory that is a file: the log cannot be opened.
    testsupport::WriteFile(world.home() + "/not-a-dir", "");
    ToolResult backup =
        world.Run({"backup", "--no-acl", "/src", world.backupDir("full")},
                  {{"HDFSAGENT_LOG_DIR", world.home() + "/not-a-dir"}, {"LOCALHDFS_TRACE", "1"}});
    EXPECT_EQ(0, backup.status) << Trace(backup);
    EXPECT_THAT(backup.err,
                HasSubstr("hdfsagent: warning: cannot open the log file " + world.home() +
                          "/not-a-dir/hdfsagent.log: Not a directory; "
                          "library traces stay on standard error"));
}
