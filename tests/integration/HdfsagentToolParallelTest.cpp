// Restore and verify with several worker threads: a directory gets its metadata only after all it
// holds is in place, a file appears under its name only after its content checked out, problems
// and differences come in manifest order whatever order the threads finish in, and one thread and
// eight give the same result. Built with ThreadSanitizer too, where a data race fails the run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/HdfsagentTool.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;
using testsupport::ToolResult;
using testsupport::ToolWorld;
using testsupport::Trace;
using testsupport::WriteFile;

namespace {

const time_t kOldTime = 1000000000;

// Three directories (one nested) of many small files each, with old times and other modes, so
// that creating or renaming anything in a directory after its metadata was set would show.
void WriteWideTree(ToolWorld& world) {
    world.MakeHdfsDirectory("/src");
    const std::vector<std::string> dirs = {"/src/a", "/src/a/inner", "/src/b"};
    for (const std::string& dir : dirs) {
        world.MakeHdfsDirectory(dir, 0750);
        for (int f = 0; f < 30; ++f)
            world.WriteHdfsFile(dir + "/f" + std::to_string(100 + f),
                                std::string(static_cast<size_t>(f) * 1000 + 1, 'a' + f % 26));
    }
    // Times last: writing the files changed them.
    world.SetTimes("/src/a/inner", kOldTime + 1, kOldTime + 1);
    world.SetTimes("/src/a", kOldTime + 2, kOldTime + 2);
    world.SetTimes("/src/b", kOldTime + 3, kOldTime + 3);
    world.SetTimes("/src", kOldTime + 4, kOldTime + 4);
}

// A large file first in its directory and small ones after it: with several threads the small
// ones finish long before it.
void WriteUnevenTree(ToolWorld& world) {
    world.MakeHdfsDirectory("/src");
    world.MakeHdfsDirectory("/src/a");
    world.MakeHdfsDirectory("/src/b");
    world.WriteHdfsFile("/src/a/0big", std::string(16u << 20, 'B'));
    for (int f = 0; f < 20; ++f) {
        world.WriteHdfsFile("/src/a/f" + std::to_string(10 + f), "small " + std::to_string(f));
        world.WriteHdfsFile("/src/b/f" + std::to_string(10 + f), "other " + std::to_string(f));
    }
}

// Overwrites a backup copy with other bytes of the same size.
void Corrupt(const std::string& backup, const std::string& path) {
    const std::string copy = backup + "/data/" + path;
    const uintmax_t size = fs::file_size(copy);
    WriteFile(copy, std::string(static_cast<size_t>(size), '#'));
}

// The "problem" events of a --json run, as "path: message".
std::vector<std::string> Problems(const ToolResult& result) {
    std::vector<std::string> problems;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_object() && event.value("event", "") == "problem")
            problems.push_back(event.value("path", "") + ": " + event.value("message", ""));
    }
    return problems;
}

std::vector<std::string> TemporariesBelow(const std::string& dir) {
    std::vector<std::string> found;
    for (const fs::directory_entry& item : fs::recursive_directory_iterator(dir))
        if (item.path().filename().string().find("hdfsagent-restore") != std::string::npos)
            found.push_back(item.path().string());
    return found;
}

struct stat Stat(const std::string& path) {
    struct stat st = {};
    EXPECT_EQ(0, stat(path.c_str(), &st)) << path;
    return st;
}

}  // namespace

class HdfsagentToolParallel : public ::testing::Test {
  protected:
    void BackUp() {
        ToolResult backup = world.Run({"backup", "--no-acl", "/src", full});
        ASSERT_EQ(0, backup.status) << Trace(backup);
    }

    ToolWorld world{HDFSAGENT_TOOL_PATH};
    const std::string full = world.backupDir("full");
};

TEST_F(HdfsagentToolParallel, DirectoryMetadataIsAppliedAfterEverythingInside) {
    WriteWideTree(world);
    BackUp();

    ToolResult restore = world.Run({"restore", "--threads", "8", full, "/dst"});
    ASSERT_EQ(0, restore.status) << Trace(restore);
    EXPECT_THAT(restore.out, HasSubstr("restored 90 files"));
    const struct stat inner = Stat(world.Backing("/dst/a/inner"));
    EXPECT_EQ(kOldTime + 1, inner.st_mtime);
    EXPECT_EQ(0750u, inner.st_mode & 07777);
    EXPECT_EQ(kOldTime + 2, Stat(world.Backing("/dst/a")).st_mtime);
    EXPECT_EQ(kOldTime + 3, Stat(world.Backing("/dst/b")).st_mtime);
    EXPECT_EQ(kOldTime + 4, Stat(world.Backing("/dst")).st_mtime);
    ToolResult verify = world.Run({"verify", "--threads", "8", "--no-atime", full, "/dst"});
    EXPECT_EQ(0, verify.status) << Trace(verify);
    EXPECT_THAT(verify.out, HasSubstr("identical: 90 backup copies re-hashed"));
}

TEST_F(HdfsagentToolParallel, CorruptedCopiesNeverAppearAndAreReportedInManifestOrder) {
    WriteUnevenTree(world);
    BackUp();
    Corrupt(full, "b/f12");
    Corrupt(full, "a/f25");
    Corrupt(full, "a/0big");

    ToolResult restore = world.Run({"--json", "restore", "--threads", "8", full, "/dst"});
    EXPECT_EQ(3, restore.status) << Trace(restore);
    const std::string mismatch = " does not match its size and hash in the manifest";
    EXPECT_THAT(
        Problems(restore),
        ElementsAre("a/0big: not restored: the backup copy " + full + "/data/a/0big" + mismatch,
                    "a/f25: not restored: the backup copy " + full + "/data/a/f25" + mismatch,
                    "b/f12: not restored: the backup copy " + full + "/data/b/f12" + mismatch));
    EXPECT_THAT(restore.out, HasSubstr("\"files\":38"));
    for (const char* bad : {"/dst/a/0big", "/dst/a/f25", "/dst/b/f12"})
        EXPECT_FALSE(fs::exists(world.Backing(bad))) << bad;
    EXPECT_TRUE(fs::exists(world.Backing("/dst/a/f29")));
    EXPECT_THAT(TemporariesBelow(world.Backing("/dst")), testing::IsEmpty());
}

TEST_F(HdfsagentToolParallel, OneThreadAndEightGiveTheSameResults) {
    WriteUnevenTree(world);
    BackUp();
    Corrupt(full, "a/0big");
    Corrupt(full, "b/f19");
    // The live tree moves on: a file changed, one gone, one new.
    world.WriteHdfsFile("/src/a/f11", "changed after the backup");
    fs::remove(world.Backing("/src/b/f15"));
    world.WriteHdfsFile("/src/b/f155", "new");

    ToolResult one = world.Run({"--json", "restore", "--threads", "1", full, "/one"});
    ToolResult eight = world.Run({"--json", "restore", "--threads", "8", full, "/eight"});
    EXPECT_EQ(3, one.status) << Trace(one);
    EXPECT_EQ(3, eight.status) << Trace(eight);
    EXPECT_EQ(2u, Problems(one).size()) << Trace(one);
    EXPECT_EQ(Problems(one), Problems(eight));

    ToolResult verifyOne =
        world.Run({"--json", "verify", "--no-atime", "--threads", "1", full, "/src"});
    ToolResult verifyEight =
        world.Run({"--json", "verify", "--no-atime", "--threads", "8", full, "/src"});
    EXPECT_EQ(3, verifyEight.status) << Trace(verifyEight);
    const std::vector<std::string> differences = Problems(verifyOne);
    EXPECT_EQ(differences, Problems(verifyEight));
    // In manifest order: the damaged copy first, the new live path in its place among b's.
    ASSERT_GE(differences.size(), 5u) << Trace(verifyOne);
    EXPECT_THAT(differences.front(), HasSubstr("a/0big: the backup copy"));
    std::vector<std::string> order;
    for (const std::string& line : differences)
        order.push_back(line.substr(0, line.find(':')));
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << Trace(verifyOne);
    EXPECT_THAT(differences, testing::Contains("b/f155: in HDFS, not in the backup (file)"));
    EXPECT_THAT(differences, testing::Contains("b/f15: in the backup, missing from HDFS"));
    EXPECT_THAT(differences, testing::Contains(HasSubstr("a/f11: size differs")));
}
