// The tool run by root on a machine other users share: what another user can plant in or around
// a backup directory (links, a swapped data directory, a manifest pointing elsewhere, FIFOs) must
// not turn backup, restore or verify into a reader or writer of other files; two backups into one
// directory must not destroy each other; restore's temporary files must not expose content or
// pile up, and must fit any name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Hash.h"  // the manifest checksum, to forge a sealed manifest
#include "support/HdfsagentTool.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::ToolResult;
using testsupport::ToolWorld;
using testsupport::Trace;
using testsupport::WaitForBytes;
using testsupport::WriteFile;

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Rewrites the entry `path` of a backup's manifest with `change` and seals the manifest again
// (counts and checksum), as someone who can write the backup directory could.
void ForgeEntry(const std::string& backup, const std::string& path,
                const std::function<void(nlohmann::ordered_json&)>& change) {
    std::ifstream in(backup + "/manifest.jsonl");
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    ASSERT_GE(lines.size(), 3u);
    nlohmann::ordered_json trailer = nlohmann::ordered_json::parse(lines.back());
    lines.pop_back();
    bool found = false;
    tool::CTextChecksum checksum;
    std::string text;
    for (std::string& each : lines) {
        nlohmann::ordered_json object = nlohmann::ordered_json::parse(each);
        if (object.contains("path") && object["path"] == path) {
            change(object);
            each = object.dump();
            found = true;
        }
        checksum.Update(each + "\n");
        text += each + "\n";
    }
    ASSERT_TRUE(found) << path;
    trailer["trailer"]["checksum"] = checksum.HexDigest();
    WriteFile(backup + "/manifest.jsonl", text + trailer.dump() + "\n");
}

class HdfsagentToolSharedMachine : public ::testing::Test {
  protected:
    void BackUpOneFile(const std::string& content = "report\n") {
        world.WriteHdfsFile("/src/report.txt", content, 0600);
        ToolResult backup = world.Run({"backup", "--no-acl", "/src", full});
        ASSERT_EQ(0, backup.status) << Trace(backup);
    }

    ToolWorld world{HDFSAGENT_TOOL_PATH};
    std::string full = world.backupDir("full");
    TempDir outside{"hdfsagent-outside"};
};

// ---- the destination ------------------------------------------------------------------------

TEST_F(HdfsagentToolSharedMachine, DestinationOthersCanWriteIsWarnedAboutAndCopiesAreOwnerOnly) {
    world.WriteHdfsFile("/src/secret.txt", "secret\n", 0600);
    fs::create_directory(full);
    ASSERT_EQ(0, chmod(full.c_str(), 0777));
    ToolResult shared = world.Run({"backup", "--no-acl", "/src", full});
    EXPECT_EQ(0, shared.status) << Trace(shared);
    EXPECT_THAT(shared.err, HasSubstr(full + " can be written by other users (owner uid 0, mode "
                                             "0777): they could change the backup"));
    EXPECT_EQ(0600u, ModeOf(full + "/data/secret.txt"));
    EXPECT_EQ(0644u, ModeOf(full + "/manifest.jsonl"));

    const std::string mine = world.backupDir("mine");
    ToolResult own = world.Run({"backup", "--no-acl", "/src", mine});
    EXPECT_EQ(0, own.status) << Trace(own);
    EXPECT_THAT(own.err, Not(HasSubstr("can be written by other users")));
}

TEST_F(HdfsagentToolSharedMachine, DestinationThatIsALinkIsRefused) {
    world.WriteHdfsFile("/src/a.txt", "a\n");
    fs::create_directory_symlink(outside.path(), full);
    ToolResult backup = world.Run({"backup", "--no-acl", "/src", full});
    EXPECT_EQ(1, backup.status) << Trace(backup);
    EXPECT_THAT(backup.err, HasSubstr(full + " is a symbolic link; give the directory itself"));
    EXPECT_TRUE(fs::is_empty(outside.path()));
}

// The fault: data files were created by path, so a data directory swapped for a link during the
// backup sent every later copy (as root, O_TRUNC, following links) into the attacker's tree.
TEST_F(HdfsagentToolSharedMachine, DataDirectorySwappedForLinksDuringABackupIsNotWrittenThrough) {
    world.MakeHdfsDirectory("/src/b");
    world.WriteHdfsFile("/src/a-slow.bin", std::string(1 << 20, 's'));
    world.WriteHdfsFile("/src/b/f", "copied after the swap\n");
    // The attacker's tree: the same layout, its file a link to what root must not overwrite.
    WriteFile(outside / "precious", "precious\n", 0600);
    fs::create_directories(outside / "tree/b");
    fs::create_symlink(outside / "precious", outside / "tree/b/f");

    const pid_t pid = world.Start({"backup", "--no-acl", "--threads", "1", "/src", full},
                                  {{"LOCALHDFS_SHORT_READS", "1"}});
    ASSERT_TRUE(WaitForBytes(full + "/data/a-slow.bin"));
    fs::rename(full + "/data", full + "/data.moved");
    fs::create_directory_symlink(outside / "tree", full + "/data");
    ToolResult backup = world.Wait(pid);
    EXPECT_EQ(0, backup.status) << Trace(backup);
    EXPECT_EQ("precious\n", ReadFile(outside / "precious"));
    EXPECT_EQ("copied after the swap\n", ReadFile(full + "/data.moved/b/f"));

    // The manifest now names copies behind a link: restore and verify refuse to follow it.
    ToolResult verify = world.Run({"verify", full});
    EXPECT_EQ(3, verify.status) << Trace(verify);
    EXPECT_THAT(verify.err, HasSubstr("the backup copy is missing: " + full +
                                      "/data/b/f: cannot open " + full + "/data: a symbolic link"));
}

// The fault: a second backup took the first one's data directory and partial manifest for what
// an interrupted backup left, and deleted them while the first was still writing.
TEST_F(HdfsagentToolSharedMachine, SecondBackupIntoTheSameDirectoryFailsAtOnceAndKeepsTheFirst) {
    world.WriteHdfsFile("/src/slow.bin", std::string(1 << 20, 'x'));
    const pid_t first =
        world.Start({"backup", "--no-acl", "/src", full}, {{"LOCALHDFS_SHORT_READS", "1"}});
    ASSERT_TRUE(WaitForBytes(full + "/data/slow.bin"));
    ToolResult second = world.Run({"backup", "--no-acl", "/src", full}, {}, 30);
    EXPECT_EQ(1, second.status) << Trace(second);
    EXPECT_THAT(second.err, HasSubstr(full + " is in use by another backup"));
    EXPECT_THAT(second.err, Not(HasSubstr("removing what an interrupted backup left")));
    EXPECT_TRUE(fs::exists(full + "/.manifest.jsonl.partial"));

    ToolResult done = world.Wait(first);
    EXPECT_EQ(0, done.status) << Trace(done);
    EXPECT_EQ(std::string(1 << 20, 'x'), ReadFile(full + "/data/slow.bin"));
    EXPECT_EQ(0, world.Run({"verify", full}).status);
}

// ---- restore and verify reading the backup ---------------------------------------------------

// The fault: a content location was joined to the backup directory as it stood, so
// "../../../../etc/hostname" (with that file's hash) restored /etc/hostname into HDFS, and
// "../../../../dev/zero" wrote without end.
class ContentOutsideTheBackup : public HdfsagentToolSharedMachine,
                                public ::testing::WithParamInterface<const char*> {};

TEST_P(ContentOutsideTheBackup, IsRefusedLikeAnUnsafePathBeforeAnythingIsWritten) {
    WriteFile(outside / "stolen", "not yours\n", 0600);
    BackUpOneFile("not yours\n");
    const std::string data = std::string(GetParam()) == "STOLEN"
                                 ? "../../../../../../.." + outside.path() + "/stolen"
                                 : GetParam();
    ForgeEntry(full, "report.txt", [&](nlohmann::ordered_json& entry) { entry["data"] = data; });

    const std::string message = "manifest.jsonl:3: content location \"" + data +
                                "\" lies outside the data directories of this backup";
    ToolResult restore = world.Run({"restore", "--no-acl", full, "/dst"}, {}, 30);
    EXPECT_EQ(1, restore.status) << Trace(restore);
    EXPECT_THAT(restore.err, HasSubstr(message));
    EXPECT_THAT(restore.err, HasSubstr("nothing was restored"));
    EXPECT_FALSE(fs::exists(world.Backing("/dst")));

    ToolResult verify = world.Run({"verify", full}, {}, 30);
    EXPECT_EQ(1, verify.status) << Trace(verify);
    EXPECT_THAT(verify.err, HasSubstr(message));
}

INSTANTIATE_TEST_SUITE_P(Locations, ContentOutsideTheBackup,
                         ::testing::Values("STOLEN", "../../../../../../../../dev/zero",
                                           "data/../../../../../../../../etc/hostname",
                                           "../elsewhere/data/report.txt", "manifest.jsonl"));

// A copy replaced by something that is not a regular file of the data directory: each is refused
// without blocking (a FIFO blocked restore for ever) or reading it (/dev/zero never ends).
struct Replacement {
    const char* name;
    std::function<void(const std::string& copy, const std::string& outsideDir)> plant;
    const char* why;
};

void PrintTo(const Replacement& replacement, std::ostream* os) {
    *os << replacement.name;
}

class CopyReplaced : public HdfsagentToolSharedMachine,
                     public ::testing::WithParamInterface<Replacement> {};

TEST_P(CopyReplaced, IsReportedAndNothingIsRead) {
    BackUpOneFile();
    const std::string copy = full + "/data/report.txt";
    fs::remove(copy);
    GetParam().plant(copy, outside.path());

    ToolResult restore = world.Run({"restore", "--no-acl", full, "/dst"}, {}, 30);
    EXPECT_EQ(3, restore.status) << Trace(restore);
    EXPECT_THAT(restore.err, HasSubstr("report.txt: not restored: cannot open the backup copy " +
                                       copy + ": " + GetParam().why));
    EXPECT_FALSE(fs::exists(world.Backing("/dst/report.txt")));

    ToolResult verify = world.Run({"verify", full}, {}, 30);
    EXPECT_EQ(3, verify.status) << Trace(verify);
    EXPECT_THAT(verify.err,
                HasSubstr("the backup copy is missing: " + copy + ": " + GetParam().why));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CopyReplaced,
    ::testing::Values(Replacement{"Fifo",
                                  [](const std::string& copy, const std::string&) {
                                      ASSERT_EQ(0, mkfifo(copy.c_str(), 0666));
                                  },
                                  "not a regular file"},
                      Replacement{"LinkToDevZero",
                                  [](const std::string& copy, const std::string&) {
                                      fs::create_symlink("/dev/zero", copy);
                                  },
                                  "a symbolic link is in its path"},
                      Replacement{"Directory",
                                  [](const std::string& copy, const std::string&) {
                                      fs::create_directory(copy);
                                  },
                                  "not a regular file"}),
    [](const ::testing::TestParamInfo<Replacement>& info) { return info.param.name; });

TEST_F(HdfsagentToolSharedMachine, IncrementalBackupsReadContentThroughTheWholeChain) {
    world.WriteHdfsFile("/src/kept.txt", "kept\n");
    // Older than the backups, so that they may refer to it rather than copy it again.
    world.SetTimes("/src/kept.txt", time(nullptr) - 100, time(nullptr) - 100);
    world.WriteHdfsFile("/src/changed.txt", "one\n");
    ASSERT_EQ(0, world.Run({"backup", "--no-acl", "/src", full}).status);
    const std::string inc1 = world.backupDir("inc1");
    const std::string inc2 = world.backupDir("inc2");
    world.WriteHdfsFile("/src/changed.txt", "two two\n");
    ASSERT_EQ(0, world.Run({"backup", "--no-acl", "--incremental", full, "/src", inc1}).status);
    world.WriteHdfsFile("/src/changed.txt", "three three three\n");
    ToolResult backup = world.Run({"backup", "--no-acl", "--incremental", inc1, "/src", inc2});
    ASSERT_EQ(0, backup.status) << Trace(backup);
    EXPECT_THAT(ReadFile(inc2 + "/manifest.jsonl"),
                HasSubstr("\"data\":\"../full/data/kept.txt\""));

    ToolResult restore = world.Run({"restore", "--no-acl", inc2, "/dst"});
    EXPECT_EQ(0, restore.status) << Trace(restore);
    EXPECT_EQ("kept\n", ReadFile(world.Backing("/dst/kept.txt")));
    EXPECT_EQ("three three three\n", ReadFile(world.Backing("/dst/changed.txt")));

    // The full backup's copy swapped for a link: the incremental backup no longer vouches for it.
    fs::remove(full + "/data/kept.txt");
    fs::create_symlink(world.Backing("/src/kept.txt"), full + "/data/kept.txt");
    ToolResult verify = world.Run({"verify", inc2});
    EXPECT_EQ(3, verify.status) << Trace(verify);
    EXPECT_THAT(verify.err, HasSubstr("kept.txt: the backup copy is missing: " + inc2 +
                                      "/../full/data/kept.txt: a symbolic link is in its path"));
}

// ---- restore's temporary files ---------------------------------------------------------------

std::vector<std::string> TemporaryNames(const std::string& backingDir) {
    std::vector<std::string> names;
    for (const fs::directory_entry& item : fs::directory_iterator(backingDir))
        if (item.path().filename().string().find("hdfsagent-restore") != std::string::npos)
            names.push_back(item.path().filename().string());
    return names;
}

// The faults: a file recorded as 0600 was written world-readable under its temporary name and
// stayed so when the restore ended early; a forced rerun left the earlier run's temporaries.
TEST_F(HdfsagentToolSharedMachine, RestoreTemporaryIsOwnerOnlyAndAForcedRerunRemovesIt) {
    BackUpOneFile("payroll\n");
    // The write fails and so does the removal of the temporary file: it stays, as after kill -9.
    ToolResult failed = world.Run({"restore", "--no-acl", full, "/dst"},
                                  {{"LOCALHDFS_FAULTS", "hdfsWrite=5,hdfsDelete=5"}});
    EXPECT_EQ(3, failed.status) << Trace(failed);
    EXPECT_THAT(failed.err, HasSubstr("report.txt: cannot write /dst/.hdfsagent-restore."));
    const std::vector<std::string> left = TemporaryNames(world.Backing("/dst"));
    ASSERT_EQ(1u, left.size());
    EXPECT_THAT(left[0], ::testing::MatchesRegex("\\.hdfsagent-restore\\.[0-9a-f]{16}\\.[0-9]+"));
    EXPECT_EQ(0600u, ModeOf(world.Backing("/dst/" + left[0])));

    // Names that only look alike are not ours and stay.
    world.WriteHdfsFile("/dst/.hdfsagent-restore.0123456789abcdef", "mine\n");
    world.WriteHdfsFile("/dst/x.hdfsagent-restore.0123456789abcdef.1", "mine\n");
    world.MakeHdfsDirectory("/dst/.hdfsagent-restore.0123456789abcdef.2");
    ToolResult rerun = world.Run({"restore", "--no-acl", "--force", full, "/dst"});
    EXPECT_EQ(0, rerun.status) << Trace(rerun);
    EXPECT_THAT(rerun.err,
                HasSubstr("removed /dst/" + left[0] + ", left by an interrupted restore"));
    EXPECT_EQ("payroll\n", ReadFile(world.Backing("/dst/report.txt")));
    EXPECT_EQ(0600u, ModeOf(world.Backing("/dst/report.txt")));
    EXPECT_THAT(TemporaryNames(world.Backing("/dst")),
                ::testing::UnorderedElementsAre(".hdfsagent-restore.0123456789abcdef",
                                                "x.hdfsagent-restore.0123456789abcdef.1",
                                                ".hdfsagent-restore.0123456789abcdef.2"));
}

// The fault: the temporary name was the file's name plus 24 bytes, so names of 232 bytes and
// more were backed up but could not be restored.
TEST_F(HdfsagentToolSharedMachine, NameOf255BytesIsRestored) {
    const std::string name(255, 'n');
    world.MakeHdfsDirectory("/src/" + std::string(255, 'd'));
    world.WriteHdfsFile("/src/" + name, "long\n");
    world.WriteHdfsFile("/src/" + std::string(255, 'd') + "/" + name, "longer\n");
    ASSERT_EQ(0, world.Run({"backup", "--no-acl", "/src", full}).status);
    ToolResult restore = world.Run({"restore", "--no-acl", full, "/dst"});
    EXPECT_EQ(0, restore.status) << Trace(restore);
    EXPECT_EQ("long\n", ReadFile(world.Backing("/dst/" + name)));
    EXPECT_EQ("longer\n", ReadFile(world.Backing("/dst/" + std::string(255, 'd') + "/" + name)));
    ToolResult verify = world.Run({"verify", "--no-acl", "--no-atime", full, "/dst"});
    EXPECT_EQ(0, verify.status) << Trace(verify);
}

}  // namespace
