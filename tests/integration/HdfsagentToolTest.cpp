// The hdfsagent tool as its users run it: the built program against a localcluster installation
// of its own (backup, restore, verify, doctor, demo) and the faults it must survive.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/HdfsagentTool.h"
#include "support/RestUtilHome.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using testsupport::ReadFile;
using testsupport::ToolResult;
using testsupport::ToolWorld;
using testsupport::Trace;
using testsupport::WaitForBytes;
using testsupport::WriteFile;

namespace {

std::vector<nlohmann::json> ManifestLines(const std::string& backup) {
    std::ifstream in(backup + "/manifest.jsonl");
    std::vector<nlohmann::json> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(nlohmann::json::parse(line));
    return lines;
}

nlohmann::json Entry(const std::vector<nlohmann::json>& lines, const std::string& path) {
    for (const nlohmann::json& line : lines)
        if (line.contains("path") && line["path"] == path)
            return line;
    return nullptr;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

time_t MtimeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

class HdfsagentTool : public ::testing::Test {
  protected:
    ToolWorld world{HDFSAGENT_TOOL_PATH};
    std::string full = world.backupDir("full");
};

TEST_F(HdfsagentTool, RoundTripRestoresContentOwnersModesTimesAclsAndXattrs) {
    world.WriteSampleTree("/src", "/dst");
    ToolResult backup = world.Run({"backup", "/src", full});
    ASSERT_EQ(0, backup.status) << Trace(backup);
    EXPECT_THAT(backup.out, HasSubstr("backed up /src to " + full + ": 6 files"));
    ToolResult restore = world.Run({"restore", full, "/dst"});
    ASSERT_EQ(0, restore.status) << Trace(restore);
    EXPECT_THAT(restore.out, HasSubstr("restored 6 files"));
    ToolResult verify = world.Run({"verify", full, "/dst"});
    EXPECT_EQ(0, verify.status) << Trace(verify);
    EXPECT_THAT(verify.out,
                HasSubstr("identical: 6 backup copies re-hashed, 13 entries compared with /dst"));

    // Checked on the backing files too, not only through the tool's own eyes.
    EXPECT_EQ(ReadFile(world.Backing("/src/a/big.bin")), ReadFile(world.Backing("/dst/a/big.bin")));
    EXPECT_EQ("", ReadFile(world.Backing("/dst/empty.dat")));
    EXPECT_EQ("alice", world.BackingXattr("/dst/shared/q1.csv", "user.hdfs.owner"));
    EXPECT_EQ("analysts", world.BackingXattr("/dst/shared/q1.csv", "user.hdfs.group"));
    EXPECT_EQ("user:bob:r--,group::r--,mask::rw-",
              world.BackingXattr("/dst/shared/q1.csv", "user.hdfs.acl"));
    EXPECT_EQ("blue", world.BackingXattr("/dst/shared/q1.csv", "user.hdfs.x.user.color"));
    EXPECT_EQ(std::string("\x00\x01\xff", 3),
              world.BackingXattr("/dst/shared/q1.csv", "user.hdfs.x.trusted.blob"));
    EXPECT_EQ("default:user:bob:r-x", world.BackingXattr("/dst/reports", "user.hdfs.acl"));
    EXPECT_EQ(01777u, ModeOf(world.Backing("/dst/shared")));
    EXPECT_EQ(0600u, ModeOf(world.Backing("/dst/a/b/c/deep.txt")));
    for (const char* path : {"", "/a", "/a/b/c", "/a/big.bin", "/shared", "/secure/secret.txt"})
        EXPECT_EQ(MtimeOf(world.Backing(std::string("/src") + path)),
                  MtimeOf(world.Backing(std::string("/dst") + path)))
            << path;
    for (const fs::directory_entry& item : fs::recursive_directory_iterator(world.Backing("/dst")))
        EXPECT_THAT(item.path().filename().string(), Not(HasSubstr("hdfsagent-restore")));
}

// More paths than the copy threads may hold at once, the first of them slow: the others finish
// long before it, the walk must wait for it and then go on, and the manifest still lists every
// path once, in backup order. --no-sync changes when the copies reach the disk, not what they hold.
TEST_F(HdfsagentTool, TreeLargerThanTheCopyWindowIsBackedUpInOrderBehindASlowFile) {
    world.MakeHdfsDirectory("/src");
    world.WriteHdfsFile("/src/a-slow.bin", std::string(48 << 10, 's'));
    for (int d = 0; d < 3; ++d) {
        const std::string dir = "/src/d" + std::to_string(d);
        world.MakeHdfsDirectory(dir);
        for (int f = 0; f < 200; ++f)
            world.WriteHdfsFile(dir + "/f" + std::to_string(1000 + f), std::to_string(d * f));
    }
    // Every read returns one byte: the slow file takes tens of thousands of reads.
    ToolResult backup =
        world.Run({"backup", "--no-acl", "--no-sync", "--threads", "3", "/src", full},
                  {{"LOCALHDFS_SHORT_READS", "1"}});
    ASSERT_EQ(0, backup.status) << Trace(backup);
    EXPECT_THAT(backup.out, HasSubstr("601 files"));

    std::vector<std::string> paths;
    for (const nlohmann::json& line : ManifestLines(full))
        if (line.contains("path"))
            paths.push_back(line["path"]);
    ASSERT_EQ(605u, paths.size());  // the root, three directories, 601 files
    EXPECT_EQ(".", paths[0]);
    EXPECT_EQ("a-slow.bin", paths[1]);
    EXPECT_EQ("d0", paths[2]);
    EXPECT_EQ("d0/f1000", paths[3]);
    EXPECT_EQ("d2/f1199", paths.back());
    EXPECT_TRUE(std::is_sorted(paths.begin() + 2, paths.end()));
    // The backup's own reads move the access times of files written a moment ago.
    ToolResult verify = world.Run({"verify", "--no-acl", "--no-atime", full, "/src"});
    EXPECT_EQ(0, verify.status) << Trace(verify);
}

TEST_F(HdfsagentTool, VerifyReportsEachDifferenceAndExitsWith3) {
    world.WriteSampleTree("/src");
    ASSERT_EQ(0, world.Run({"backup", "--no-acl", "/src", full}).status);
    ASSERT_EQ(0, world.Run({"restore", full, "/dst"}).status);
    // Same size, other bytes; another mode; one file gone, one added.
    world.WriteHdfsFile("/dst/README.txt", "SAMPLE\n");
    world.SetTimes("/dst/README.txt", MtimeOf(world.Backing("/src/README.txt")),
                   MtimeOf(world.Backing("/src/README.txt")) + 90);
    ASSERT_EQ(0, chmod(world.Backing("/dst/a/b/c/deep.txt").c_str(), 0644));
    fs::remove(world.Backing("/dst/empty.dat"));
    world.WriteHdfsFile("/dst/a/extra.txt", "x");

    ToolResult verify = world.Run({"verify", "--no-atime", full, "/dst"});
    EXPECT_EQ(3, verify.status) << Trace(verify);
    EXPECT_THAT(verify.err, HasSubstr("README.txt: content differs"));
    EXPECT_THAT(verify.err,
                HasSubstr("a/b/c/deep.txt: permission differs: backup \"0600\", HDFS \"0644\""));
    EXPECT_THAT(verify.err, HasSubstr("empty.dat: in the backup, missing from HDFS"));
    EXPECT_THAT(verify.err, HasSubstr("a/extra.txt: in HDFS, not in the backup (file)"));
    EXPECT_THAT(verify.out, HasSubstr("differences"));

    // Without HDFS_PATH only the backup's own copies are checked.
    WriteFile(full + "/data/a/b/c/deep.txt", "DEEP\n");
    ToolResult copies = world.Run({"verify", full});
    EXPECT_EQ(3, copies.status) << Trace(copies);
    EXPECT_THAT(copies.err, HasSubstr("a/b/c/deep.txt: the backup copy " + full +
                                      "/data/a/b/c/deep.txt does not match the manifest"));
}

TEST_F(HdfsagentTool, IncrementalBackupCopiesOnlyWhatChangedAndRestoresTheWholeTree) {
    world.WriteSampleTree("/src", "/dst");
    ASSERT_EQ(0, world.Run({"backup", "/src", full}).status);
    world.WriteHdfsFile("/src/README.txt", "a longer sample text\n");
    world.WriteHdfsFile("/src/a/new.txt", "new\n");
    const std::string incremental = world.backupDir("incremental");

    ToolResult backup = world.Run({"backup", "--incremental", full, "/src", incremental});
    ASSERT_EQ(0, backup.status) << Trace(backup);
    EXPECT_THAT(backup.out, HasSubstr(": 2 files (25 B) copied, 5 unchanged"));
    const std::vector<nlohmann::json> lines = ManifestLines(incremental);
    EXPECT_EQ("../full", lines.front()["previous"]);
    EXPECT_EQ("../full/data/a/big.bin", Entry(lines, "a/big.bin")["data"]);
    EXPECT_EQ(true, Entry(lines, "a/big.bin")["referenced"]);
    EXPECT_EQ("data/README.txt", Entry(lines, "README.txt")["data"]);
    EXPECT_FALSE(Entry(lines, "README.txt").contains("referenced"));
    EXPECT_FALSE(fs::exists(incremental + "/data/a/big.bin"));
    // Unchanged files still carry their metadata as read now.
    EXPECT_EQ("blue", Entry(lines, "shared/q1.csv")["xattrs"][1]["value"]);

    ASSERT_EQ(0, world.Run({"restore", incremental, "/dst"}).status);
    ToolResult verify = world.Run({"verify", incremental, "/dst"});
    EXPECT_EQ(0, verify.status) << Trace(verify);
    EXPECT_EQ("a longer sample text\n", ReadFile(world.Backing("/dst/README.txt")));
    EXPECT_EQ(ReadFile(world.Backing("/src/a/big.bin")), ReadFile(world.Backing("/dst/a/big.bin")));
}

TEST_F(HdfsagentTool, DryRunListsWhatWouldBeCopiedAndWritesNothing) {
    world.WriteSampleTree("/src");
    ASSERT_EQ(0, world.Run({"backup", "--no-acl", "/src", full}).status);
    world.WriteHdfsFile("/src/README.txt", "changed\n");
    const std::string incremental = world.backupDir("incremental");
    ToolResult plan =
        world.Run({"backup", "--dry-run", "--incremental", full, "/src", incremental});
    EXPECT_EQ(0, plan.status) << Trace(plan);
    EXPECT_THAT(plan.out, HasSubstr("copy      README.txt (8 B)"));
    EXPECT_THAT(plan.out, HasSubstr("unchanged a/big.bin (3.0 MiB)"));
    EXPECT_THAT(plan.out,
                HasSubstr("dry run: would back up /src: 1 file (8 B) to copy, 5 unchanged"));
    EXPECT_FALSE(fs::exists(incremental));
}

TEST_F(HdfsagentTool, CorruptedBackupCopyIsNotRestoredAndTheRestIs) {
    world.WriteSampleTree("/src");
    ASSERT_EQ(0, world.Run({"backup", "--no-acl", "/src", full}).status);
    WriteFile(full + "/data/README.txt", "SAMPLE\n");  // same size, other bytes
    ToolResult restore = world.Run({"restore", full, "/dst"});
    EXPECT_EQ(3, restore.status) << Trace(restore);
    EXPECT_THAT(restore.err, HasSubstr("README.txt: not restored: the backup copy " + full +
                                       "/data/README.txt does not match its size and hash"));
    EXPECT_THAT(restore.out, HasSubstr("restored 5 files"));
    EXPECT_FALSE(fs::exists(world.Backing("/dst/README.txt")));
    for (const fs::directory_entry& item : fs::recursive_directory_iterator(world.Backing("/dst")))
        EXPECT_THAT(item.path().filename().string(), Not(HasSubstr("hdfsagent-restore")));
}

TEST_F(HdfsagentTool, FilesLeavingTheirEncryptionZoneAreReported) {
    world.WriteSampleTree("/src");  // no zone for the restore target
    ASSERT_EQ(0, world.Run({"backup", "--no-acl", "/src", full}).status);
    EXPECT_EQ("/src/secure", Entry(ManifestLines(full), "secure/secret.txt")["zone"]);
    ToolResult restore = world.Run({"restore", full, "/dst"});
    EXPECT_EQ(0, restore.status) << Trace(restore);
    EXPECT_THAT(restore.err, HasSubstr("warning: files of the encryption zone /src/secure are "
                                       "restored outside any encryption zone (/dst/secure)"));
    ToolResult verify = world.Run({"verify", full, "/dst"});
    EXPECT_EQ(3, verify.status) << Trace(verify);
    EXPECT_THAT(verify.err, HasSubstr("secure/secret.txt: was in the encryption zone /src/secure, "
                                      "is in none in HDFS"));
}

TEST_F(HdfsagentTool, FileThatVanishesDuringBackupIsRecordedAndTheRunGoesOn) {
    world.WriteSampleTree("/src");
    ToolResult backup =
        world.Run({"backup", "--no-acl", "/src", full}, {{"LOCALHDFS_FAULTS", "hdfsOpenFile=2:1"}});
    EXPECT_EQ(3, backup.status) << Trace(backup);
    EXPECT_THAT(backup.err, HasSubstr(": vanished: deleted before it could be read"));
    EXPECT_THAT(backup.out, HasSubstr("5 files"));
    EXPECT_THAT(backup.out, HasSubstr("1 problem"));
    int vanished = 0;
    for (const nlohmann::json& line : ManifestLines(full))
        vanished += line.value("status", "") == "vanished";
    EXPECT_EQ(1, vanished);
    EXPECT_EQ(1, ManifestLines(full).back()["trailer"]["problems"]);
    // Such a backup restores what it holds.
    ToolResult restore = world.Run({"restore", full, "/dst"});
    EXPECT_EQ(0, restore.status) << Trace(restore);
    EXPECT_THAT(restore.out, HasSubstr("restored 5 files"));
}

TEST_F(HdfsagentTool, FileThatChangesWhileItIsReadIsMarkedChanged) {
    world.MakeHdfsDirectory("/src");
    world.WriteHdfsFile("/src/grow.bin", std::string(1 << 20, 'x'));
    // One byte per read: the copy takes long enough to change the file under it.
    const pid_t pid = world.Start({"backup", "--no-acl", "--threads", "1", "/src", full},
                                  {{"LOCALHDFS_SHORT_READS", "1"}});
    ASSERT_TRUE(WaitForBytes(full + "/data/grow.bin"));
    std::ofstream(world.Backing("/src/grow.bin"), std::ios::app) << "appended";
    ToolResult backup = world.Wait(pid);
    EXPECT_EQ(3, backup.status) << Trace(backup);
    EXPECT_THAT(backup.err, HasSubstr("grow.bin: changed: changed while it was read (1048576 "
                                      "bytes listed, 1048584 read)"));
    EXPECT_EQ("changed", Entry(ManifestLines(full), "grow.bin")["status"]);
}

TEST_F(HdfsagentTool, InterruptedBackupLeavesNoManifestAndARerunStartsClean) {
    world.MakeHdfsDirectory("/src");
    world.WriteHdfsFile("/src/slow.bin", std::string(1 << 20, 'x'));
    const pid_t pid =
        world.Start({"backup", "--no-acl", "/src", full}, {{"LOCALHDFS_SHORT_READS", "1"}});
    ASSERT_TRUE(WaitForBytes(full + "/data/slow.bin"));
    ASSERT_EQ(0, kill(pid, SIGINT));
    ToolResult interrupted = world.Wait(pid);
    EXPECT_TRUE(interrupted.signaled) << Trace(interrupted);
    EXPECT_EQ(SIGINT, interrupted.signal);
    EXPECT_THAT(interrupted.err, HasSubstr("interrupted; no backup was recorded in " + full));
    EXPECT_FALSE(fs::exists(full + "/manifest.jsonl"));
    EXPECT_FALSE(fs::exists(full + "/.manifest.jsonl.partial"));

    ToolResult rerun = world.Run({"backup", "--no-acl", "/src", full});
    EXPECT_EQ(0, rerun.status) << Trace(rerun);
    EXPECT_THAT(rerun.err, HasSubstr("removing what an interrupted backup left in " + full));
    EXPECT_EQ(std::string(1 << 20, 'x'), ReadFile(full + "/data/slow.bin"));
    EXPECT_EQ(0, world.Run({"verify", full}).status);
}

TEST_F(HdfsagentTool, VerifyOfABackupWithProblemsIsNeverIdentical) {
    world.WriteSampleTree("/src");
    // One walk order, so the first open is README.txt's.
    ToolResult backup = world.Run({"backup", "--no-acl", "--threads", "1", "/src", full},
                                  {{"LOCALHDFS_FAULTS", "hdfsOpenFile=5:1"}});
    ASSERT_EQ(3, backup.status) << Trace(backup);
    ASSERT_EQ(1, ManifestLines(full).back()["trailer"]["problems"]);
    const std::string recorded =
        "README.txt: the backup recorded it as failed (cannot open "
        "/src/README.txt: Input/output error); the backup holds no "
        "content for it";
    ToolResult copies = world.Run({"verify", full});
    EXPECT_EQ(3, copies.status) << Trace(copies);
    EXPECT_THAT(copies.err, HasSubstr(recorded));
    EXPECT_THAT(copies.out, HasSubstr("1 difference: 5 backup copies re-hashed"));
    // Against the tree itself, which is whole again.
    ToolResult live = world.Run({"verify", full, "/src"});
    EXPECT_EQ(3, live.status) << Trace(live);
    EXPECT_THAT(live.err, HasSubstr(recorded));
    EXPECT_THAT(live.out, Not(HasSubstr("identical")));
}

// A service that answers every getacl with an error (500, as one without access to the cluster
// does) for a tree smaller than the paths it takes to give up on the service.
void FailEveryAclRead(ToolWorld& world) {
    const std::string properties = world.home() + "/restutil/dxhadooputil.properties";
    WriteFile(properties,
              ReadFile(std::string(LOCALCLUSTER_UTILSERVER_DIR) + "/dxhadooputil.properties") +
                  "\ndxutil.test.status=500\ndxutil.test.resources=getacl,getaclbatch\n");
}

TEST_F(HdfsagentTool, AclReadFailureKeepsTheCopiedContentAndRestoresIt) {
    world.MakeHdfsDirectory("/src");
    world.WriteHdfsFile("/src/a.txt", "first\n", 0600);
    world.MakeHdfsDirectory("/src/sub", 0750);
    world.WriteHdfsFile("/src/sub/b.txt", std::string(70000, 'b'));
    FailEveryAclRead(world);
    ToolResult backup = world.Run({"backup", "/src", full});
    EXPECT_EQ(3, backup.status) << Trace(backup);
    EXPECT_THAT(backup.err, HasSubstr("a.txt: partial: ACL and extended attributes: "));
    EXPECT_THAT(backup.out, HasSubstr("2 files (68.4 KiB) copied, 2 directories, 4 problems"));
    const nlohmann::json entry = Entry(ManifestLines(full), "a.txt");
    EXPECT_EQ("partial", entry["status"]);
    EXPECT_EQ("data/a.txt", entry["data"]);
    EXPECT_FALSE(entry.contains("acl"));
    EXPECT_EQ("first\n", ReadFile(full + "/data/a.txt"));

    fs::remove(world.home() + "/restutil/dxhadooputil.properties");
    ToolResult restore = world.Run({"restore", full, "/dst"});
    EXPECT_EQ(3, restore.status) << Trace(restore);
    EXPECT_THAT(restore.err, HasSubstr("a.txt: the backup holds no ACL and extended attributes "
                                       "for it (ACL and extended attributes: "));
    EXPECT_THAT(restore.out, HasSubstr("restored 2 files"));
    EXPECT_EQ("first\n", ReadFile(world.Backing("/dst/a.txt")));
    EXPECT_EQ(0600u, ModeOf(world.Backing("/dst/a.txt")));
    EXPECT_EQ(std::string(70000, 'b'), ReadFile(world.Backing("/dst/sub/b.txt")));
    EXPECT_EQ(0750u, ModeOf(world.Backing("/dst/sub")));

    ToolResult verify = world.Run({"verify", full});
    EXPECT_EQ(3, verify.status) << Trace(verify);
    EXPECT_THAT(verify.err, HasSubstr("sub/b.txt: the backup recorded it as partial (ACL"));
}

TEST_F(HdfsagentTool, RestServiceFailingAlikeOnTheFirstPathsStopsTheBackupWithTheNoAclHint) {
    world.WriteSampleTree("/src");
    FailEveryAclRead(world);
    ToolResult backup = world.Run({"backup", "/src", full});
    EXPECT_EQ(1, backup.status) << Trace(backup);
    EXPECT_THAT(backup.err, HasSubstr("the REST utility service failed alike for the first 8 "
                                      "paths (/src"));
    EXPECT_THAT(backup.err,
                HasSubstr(") (--no-acl backs up without ACLs and extended attributes)"));
    EXPECT_FALSE(fs::exists(full + "/manifest.jsonl"));
}

TEST_F(HdfsagentTool, IncrementalCopiesAgainAFileNotOlderThanThePreviousBackupsStart) {
    world.MakeHdfsDirectory("/src");
    world.WriteHdfsFile("/src/old.txt", "old\n");
    world.SetTimes("/src/old.txt", 1709294400, 1709294400);
    // Modified in the second the backup begins or later: whether the backup began in the same
    // second as the write depends on the machine's speed, a time ahead of the start does not.
    const time_t racyTime = time(nullptr) + 60;
    world.WriteHdfsFile("/src/racy.txt", "first\n");
    world.SetTimes("/src/racy.txt", racyTime, racyTime);
    ASSERT_EQ(0, world.Run({"backup", "--no-acl", "/src", full}).status);
    ASSERT_LE(ManifestLines(full).front()["created"].get<time_t>(), racyTime);
    // A rewrite of the same size within the same second: size and time as recorded.
    world.WriteHdfsFile("/src/racy.txt", "again\n");
    world.SetTimes("/src/racy.txt", racyTime, racyTime);

    const std::string incremental = world.backupDir("incremental");
    ToolResult backup =
        world.Run({"backup", "--no-acl", "--incremental", full, "/src", incremental});
    ASSERT_EQ(0, backup.status) << Trace(backup);
    EXPECT_THAT(backup.out, HasSubstr(": 1 file (6 B) copied, 1 unchanged"));
    EXPECT_EQ("again\n", ReadFile(incremental + "/data/racy.txt"));
    EXPECT_EQ(true, Entry(ManifestLines(incremental), "old.txt")["referenced"]);
}

TEST_F(HdfsagentTool, NamesThatAreNotUtf8AreBackedUpAndRestoredByteForByte) {
    world.WriteSampleTree("/src", "/dst");
    world.WriteHdfsFile("/src/caf\xe9.txt", "latin-1\n", 0640);
    world.MakeHdfsDirectory("/src/dir\xff");
    world.WriteHdfsFile("/src/dir\xff/inner", "inner\n");
    ToolResult backup = world.Run({"backup", "--no-acl", "/src", full});
    ASSERT_EQ(0, backup.status) << Trace(backup);
    EXPECT_THAT(ReadFile(full + "/manifest.jsonl"), HasSubstr("\"path_hex\":\"636166e92e747874\""));
    ToolResult restore = world.Run({"restore", full, "/dst"});
    ASSERT_EQ(0, restore.status) << Trace(restore);
    EXPECT_EQ("latin-1\n", ReadFile(world.Backing("/dst/caf\xe9.txt")));
    EXPECT_EQ("inner\n", ReadFile(world.Backing("/dst/dir\xff/inner")));
    ToolResult verify = world.Run({"verify", "--no-acl", "--no-atime", full, "/dst"});
    EXPECT_EQ(0, verify.status) << Trace(verify);

    // With ACLs the REST service cannot take such a name: reported, the rest goes on.
    const std::string withAcl = world.backupDir("with-acl");
    ToolResult acl = world.Run({"backup", "/src", withAcl});
    EXPECT_EQ(3, acl.status) << Trace(acl);
    EXPECT_THAT(acl.err, HasSubstr(": partial: ACL and extended attributes: the REST utility "
                                   "service takes only UTF-8 names"));
    EXPECT_EQ("ok", Entry(ManifestLines(withAcl), "shared/q1.csv")["status"]);
}

// The REST service runs with the tool's home in its arguments; none may be left once the tool
// has ended by a signal, even for a moment.
TEST_F(HdfsagentTool, InterruptedBackupStopsTheRestServiceBeforeItEnds) {
    world.MakeHdfsDirectory("/src");
    world.WriteHdfsFile("/src/slow.bin", std::string(1 << 20, 'x'));
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        const std::string dest = world.backupDir("interrupted" + std::to_string(signal));
        const pid_t pid = world.Start({"backup", "/src", dest}, {{"LOCALHDFS_SHORT_READS", "1"}});
        ASSERT_TRUE(WaitForBytes(dest + "/data/slow.bin"));
        ASSERT_FALSE(testsupport::ProcessesWithArgument(world.home()).empty());
        ASSERT_EQ(0, kill(pid, signal));
        ToolResult interrupted = world.Wait(pid);
        EXPECT_TRUE(interrupted.signaled) << Trace(interrupted);
        EXPECT_EQ(signal, interrupted.signal);
        EXPECT_EQ(std::vector<pid_t>{}, testsupport::ProcessesWithArgument(world.home()));
    }
}

TEST_F(HdfsagentTool, KilledBackupLeavesNoRestServiceAfterFiveSeconds) {
    world.MakeHdfsDirectory("/src");
    world.WriteHdfsFile("/src/slow.bin", std::string(1 << 20, 'x'));
    const pid_t pid = world.Start({"backup", "/src", full}, {{"LOCALHDFS_SHORT_READS", "1"}});
    ASSERT_TRUE(WaitForBytes(full + "/data/slow.bin"));
    ASSERT_FALSE(testsupport::ProcessesWithArgument(world.home()).empty());
    ASSERT_EQ(0, kill(pid, SIGKILL));
    EXPECT_TRUE(world.Wait(pid).signaled);
    EXPECT_EQ(std::vector<pid_t>{},
              testsupport::WaitUntilNoProcessWithArgument(world.home(), 5000));
}

TEST_F(HdfsagentTool, TruncatedManifestRestoresNothing) {
    world.WriteSampleTree("/src");
    ASSERT_EQ(0, world.Run({"backup", "--no-acl", "/src", full}).status);
    std::string manifest = ReadFile(full + "/manifest.jsonl");
    WriteFile(full + "/manifest.jsonl", manifest.substr(0, manifest.size() * 2 / 3));
    ToolResult restore = world.Run({"restore", full, "/dst"});
    EXPECT_EQ(1, restore.status) << Trace(restore);
    EXPECT_THAT(restore.err, HasSubstr("(the manifest is truncated); nothing was restored"));
    EXPECT_FALSE(fs::exists(world.Backing("/dst")));
}

TEST_F(HdfsagentTool, FailingRestServiceStopsTheBackupUnlessNoAclIsGiven) {
    world.WriteSampleTree("/src");
    // The service's own properties, newer than the template so the library keeps them.
    const std::string properties = world.home() + "/restutil/dxhadooputil.properties";
    WriteFile(properties,
              ReadFile(std::string(LOCALCLUSTER_UTILSERVER_DIR) + "/dxhadooputil.properties") +
                  "\ndxutil.test.unavailable=true\n");
    ToolResult refused = world.Run({"backup", "/src", full});
    EXPECT_EQ(1, refused.status) << Trace(refused);
    EXPECT_THAT(refused.err, HasSubstr("the REST utility service did not start: Failed to "
                                       "establish utils connection"));
    EXPECT_THAT(refused.err, HasSubstr("(error 5006) (--no-acl backs up without ACLs"));
    EXPECT_FALSE(fs::exists(full));

    ToolResult withoutAcl = world.Run({"backup", "--no-acl", "/src", full});
    EXPECT_EQ(0, withoutAcl.status) << Trace(withoutAcl);
    const std::vector<nlohmann::json> lines = ManifestLines(full);
    EXPECT_EQ(false, lines.front()["acl"]);
    EXPECT_FALSE(Entry(lines, "shared/q1.csv").contains("acl"));
}

TEST_F(HdfsagentTool, RestServiceFailingDuringTheBackupLeavesNoManifest) {
    world.WriteSampleTree("/src");
    const std::string properties = world.home() + "/restutil/dxhadooputil.properties";
    WriteFile(properties,
              ReadFile(std::string(LOCALCLUSTER_UTILSERVER_DIR) + "/dxhadooputil.properties") +
                  "\ndxutil.test.unavailable=true\ndxutil.test.resources=getacl,getaclbatch\n");
    ToolResult backup = world.Run({"backup", "/src", full});
    EXPECT_EQ(1, backup.status) << Trace(backup);
    EXPECT_THAT(backup.err,
                HasSubstr("the REST utility service is unavailable (HTTP 503) for /src"));
    EXPECT_FALSE(fs::exists(full + "/manifest.jsonl"));
    EXPECT_FALSE(fs::exists(full + "/.manifest.jsonl.partial"));
}

TEST_F(HdfsagentTool, RestoreByAUserWhoMayNotChownReportsEachPathAndKeepsTheContent) {
    world.WriteSampleTree("/src", "/dst");
    ASSERT_EQ(0, world.Run({"backup", "/src", full}).status);
    ToolResult restore =
        world.Run({"restore", full, "/dst"}, {{"LOCALHDFS_FAULTS", "hdfsChown=1"}});
    EXPECT_EQ(3, restore.status) << Trace(restore);
    EXPECT_THAT(restore.err, HasSubstr("shared/q1.csv: cannot set owner alice:analysts of "
                                       "/dst/shared/q1.csv: Operation not permitted"));
    EXPECT_THAT(restore.out, HasSubstr("restored 6 files"));
    EXPECT_THAT(restore.out, HasSubstr("13 problems"));  // 6 files, 7 directories
    EXPECT_EQ(ReadFile(world.Backing("/src/a/big.bin")), ReadFile(world.Backing("/dst/a/big.bin")));
    // Everything but the owners arrived.
    EXPECT_EQ("user:bob:r--,group::r--,mask::rw-",
              world.BackingXattr("/dst/shared/q1.csv", "user.hdfs.acl"));
    ToolResult verify = world.Run({"verify", full, "/dst"});
    EXPECT_EQ(3, verify.status);
    EXPECT_THAT(verify.err, HasSubstr("shared/q1.csv: owner differs: backup \"alice\""));
    EXPECT_THAT(verify.err, Not(HasSubstr("content differs")));
}

TEST_F(HdfsagentTool, RestoreRefusesANonEmptyTargetUnlessForced) {
    world.WriteSampleTree("/src");
    ASSERT_EQ(0, world.Run({"backup", "--no-acl", "/src", full}).status);
    world.WriteHdfsFile("/dst/README.txt", "older\n");
    world.WriteHdfsFile("/dst/keep.txt", "kept\n");
    ToolResult refused = world.Run({"restore", full, "/dst"});
    EXPECT_EQ(1, refused.status) << Trace(refused);
    EXPECT_THAT(refused.err, HasSubstr("/dst is not empty; --force restores into it anyway"));
    EXPECT_EQ("older\n", ReadFile(world.Backing("/dst/README.txt")));

    ToolResult forced = world.Run({"restore", "--force", full, "/dst"});
    EXPECT_EQ(0, forced.status) << Trace(forced);
    EXPECT_EQ("sample\n", ReadFile(world.Backing("/dst/README.txt")));
    EXPECT_EQ("kept\n", ReadFile(world.Backing("/dst/keep.txt")));
}

TEST_F(HdfsagentTool, BackupIntoADirectoryHoldingSomethingElseIsRefused) {
    world.WriteSampleTree("/src");
    WriteFile(full + "/notes.txt", "mine\n");
    ToolResult backup = world.Run({"backup", "--no-acl", "/src", full});
    EXPECT_EQ(1, backup.status) << Trace(backup);
    EXPECT_THAT(backup.err, HasSubstr(full + " is not empty (it holds notes.txt)"));
    EXPECT_EQ("mine\n", ReadFile(full + "/notes.txt"));
}

TEST_F(HdfsagentTool, JsonOutputIsOneEventPerLineEndingWithTheSummary) {
    world.WriteSampleTree("/src");
    ToolResult backup = world.Run({"--json", "backup", "--exclude", "*.bin", "/src", full});
    ASSERT_EQ(0, backup.status) << Trace(backup);
    std::istringstream lines(backup.out);
    std::string line;
    nlohmann::json last;
    while (std::getline(lines, line)) {
        last = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(last.is_discarded()) << line;
    }
    EXPECT_EQ("summary", last["event"]);
    EXPECT_EQ(5, last["files_copied"]);
    EXPECT_TRUE(Entry(ManifestLines(full), "a/big.bin").is_null());
}

TEST_F(HdfsagentTool, DoctorReportsEachFinding) {
    world.install().AddEncryptionZone("/zone", "key1");
    ToolResult doctor = world.Run({"--json", "doctor"});
    ASSERT_EQ(0, doctor.status) << Trace(doctor);
    const nlohmann::json report = nlohmann::json::parse(doctor.out);
    EXPECT_EQ(true, report["ok"]);
    std::map<std::string, std::string> findings;
    for (const nlohmann::json& finding : report["findings"])
        findings[finding["check"]] = finding["value"];
    EXPECT_EQ("hdfs://localhost:8020", findings["default file system"]);
    EXPECT_EQ("/zone", findings["encryption zones"]);
    EXPECT_THAT(findings["libhdfs directory"], HasSubstr("(setting HDP_LIB_PATH)"));
    EXPECT_THAT(findings["authentication"], HasSubstr("simple, user "));
    EXPECT_THAT(findings["REST service"], HasSubstr("hello answered on port "));
    EXPECT_EQ("getacl of / answered (0 ACL entries)", findings["ACL read"]);
}

// A real libhdfs connects lazily: the first call that needs the name node is the first to fail.
TEST_F(HdfsagentTool, DoctorFailsWhenTheNameNodeCannotBeReached) {
    ToolResult refused = world.Run({"doctor"}, {{"LOCALHDFS_FAULTS", "hdfsGetCapacity=111"}});
    EXPECT_EQ(1, refused.status) << Trace(refused);
    EXPECT_THAT(refused.out, HasSubstr("x capacity             cannot be read, the name node is "
                                       "out of reach (Connection refused)"));
    EXPECT_THAT(refused.out, HasSubstr("doctor: FAILED"));
}

TEST_F(HdfsagentTool, DoctorFailsWhenTheRestServiceCannotReadAnAcl) {
    FailEveryAclRead(world);
    ToolResult doctor = world.Run({"doctor"});
    EXPECT_EQ(1, doctor.status) << Trace(doctor);
    EXPECT_THAT(doctor.out, HasSubstr("hello answered on port "));
    EXPECT_THAT(doctor.out, HasSubstr("x ACL read "));
    EXPECT_THAT(doctor.out, HasSubstr("getacl of / failed: "));
    EXPECT_THAT(doctor.out, HasSubstr("doctor: FAILED"));
}

TEST_F(HdfsagentTool, DoctorFailsWithTheLibrarysErrorText) {
    world.install().SetConfFile("fail-classpath", "classpath broken\n");
    ToolResult doctor = world.Run({"doctor"});
    EXPECT_EQ(1, doctor.status) << Trace(doctor);
    EXPECT_THAT(doctor.out, HasSubstr("Hadoop library initialized failed"));
    EXPECT_THAT(doctor.out, HasSubstr("Failed to set CLASSPATH environment"));
    EXPECT_THAT(doctor.out, HasSubstr("doctor: FAILED"));
}

TEST_F(HdfsagentTool, ConnectionFailureNamesTheConnectionsOwnText) {
    world.install().RemoveProperty("localcluster.namespace.root");
    ToolResult backup = world.Run({"backup", "--no-acl", "/src", full});
    EXPECT_EQ(1, backup.status) << Trace(backup);
    EXPECT_THAT(backup.err, HasSubstr("cannot connect to HDFS: HadoopConnection failed"));
    EXPECT_THAT(backup.err, HasSubstr("(error 107) (HDFS actively refused connection"));
}

TEST_F(HdfsagentTool, UsageErrorsExitWith2) {
    ToolResult missing = world.Run({"backup", "/src"});
    EXPECT_EQ(2, missing.status);
    EXPECT_THAT(missing.err, HasSubstr("DEST_DIR is required"));
    ToolResult relative = world.Run({"backup", "src", full});
    EXPECT_EQ(2, relative.status);
    EXPECT_THAT(relative.err, HasSubstr("HDFS_PATH must be an absolute HDFS path"));
    for (const char* nameNode :
         {"localhost:8020;junk", "hdfs://h:0", "hdfs://h:65536", "h:80/x", "hdfs://:8020", "a b"}) {
        ToolResult junk = world.Run({"--namenode", nameNode, "backup", "--no-acl", "/src", full});
        EXPECT_EQ(2, junk.status) << nameNode << "\n" << Trace(junk);
        EXPECT_THAT(junk.err, HasSubstr(std::string("\"") + nameNode +
                                        "\" is not \"default\" or [hdfs://]HOST[:PORT]"));
    }
    EXPECT_FALSE(fs::exists(full));
}

TEST_F(HdfsagentTool, DemoPassesFromTheBuildTree) {
    ToolResult demo = world.Run({"demo"}, {{"TMPDIR", world.backupDir("")}});
    EXPECT_EQ(0, demo.status) << Trace(demo);
    EXPECT_THAT(demo.out, HasSubstr("demo PASSED"));
    EXPECT_THAT(demo.out, HasSubstr("2 files (878.9 KiB) copied, 9 unchanged"));
}

TEST_F(HdfsagentTool, DemoPassesOnAClusterSecuredWithKerberos) {
    ToolResult demo = world.Run({"demo", "--kerberos"}, {{"TMPDIR", world.backupDir("")}});
    EXPECT_EQ(0, demo.status) << Trace(demo);
    EXPECT_THAT(demo.out, HasSubstr("authentication       kerberos, user "));
    EXPECT_THAT(demo.out, HasSubstr("/kdc/dx_krb5cc_"));
    EXPECT_THAT(demo.out, HasSubstr("demo PASSED"));
    // The realm's KDC is stopped and the world removed.
    for (const fs::directory_entry& item : fs::directory_iterator(world.backupDir("")))
        EXPECT_THAT(item.path().filename().string(), Not(HasSubstr("hdfsagent-demo-")));
}

}  // namespace
