// The hdfsagent tool's manifest and path rules: the backup order that incremental backups and
// verify rely on, exclusion globs, HDFS path checks, and the manifest reader's refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "Manifest.h"
#include "Paths.h"
#include "support/TestSupport.h"

using ::testing::HasSubstr;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using namespace tool;

namespace {

TEST(HdfsagentToolPaths, BackupOrderIsDepthFirstWithNamesInByteOrder) {
    // The order in which the walker visits a tree: a directory right before its contents,
    // siblings by unsigned byte value of their names.
    const std::vector<std::string> walkOrder = {".",  "a",  "a/b", "a/b/z",    "a.b",
                                                "a0", "ab", "z",   "\xc3\xa9", "\xc3\xa9/x"};
    for (size_t i = 0; i < walkOrder.size(); ++i)
        for (size_t j = 0; j < walkOrder.size(); ++j) {
            const int c = ComparePathOrder(walkOrder[i], walkOrder[j]);
            EXPECT_EQ(i < j, c < 0) << walkOrder[i] << " vs " << walkOrder[j];
            EXPECT_EQ(i == j, c == 0) << walkOrder[i] << " vs " << walkOrder[j];
        }
}

TEST(HdfsagentToolPaths, AncestorsAndJoins) {
    EXPECT_TRUE(IsAncestorPath(".", "a"));
    EXPECT_FALSE(IsAncestorPath(".", "."));
    EXPECT_TRUE(IsAncestorPath("a", "a/b/c"));
    EXPECT_FALSE(IsAncestorPath("a", "ab/c"));
    EXPECT_FALSE(IsAncestorPath("a/b", "a"));
    EXPECT_EQ("x", JoinEntryPath(".", "x"));
    EXPECT_EQ("a/x", JoinEntryPath("a", "x"));
    EXPECT_EQ("/r", JoinHdfsPath("/r", "."));
    EXPECT_EQ("/a/b", JoinHdfsPath("/", "a/b"));
    EXPECT_EQ("/r/a/b", JoinHdfsPath("/r", "a/b"));
}

TEST(HdfsagentToolPaths, ExclusionMatchesNamesOrWholePaths) {
    const std::vector<std::string> patterns = {"*.tmp", "logs/2023*"};
    EXPECT_TRUE(IsExcluded(patterns, "x.tmp"));
    EXPECT_TRUE(IsExcluded(patterns, "deep/down/x.tmp"));
    EXPECT_TRUE(IsExcluded(patterns, "logs/2023-01"));
    EXPECT_FALSE(IsExcluded(patterns, "old/logs/2023-01"));  // a pattern with "/" is anchored
    EXPECT_FALSE(IsExcluded(patterns, "logs/2024-01"));
    EXPECT_FALSE(IsExcluded(patterns, "."));
}

TEST(HdfsagentToolPaths, HdfsPathsAreAbsoluteWithoutDotComponents) {
    std::string normalized;
    EXPECT_TRUE(NormalizeHdfsPath("//a//b/", normalized));
    EXPECT_EQ("/a/b", normalized);
    EXPECT_TRUE(NormalizeHdfsPath("/", normalized));
    EXPECT_EQ("/", normalized);
    for (const char* bad : {"", "a/b", "/a/../b", "/a/./b", "hdfs://h/a"})
        EXPECT_FALSE(NormalizeHdfsPath(bad, normalized)) << bad;
}

TEST(HdfsagentToolPaths, EntryPathsCannotLeaveTheRoot) {
    for (const char* good : {".", "a", "a/b", ".hidden", "a..b"})
        EXPECT_TRUE(IsValidEntryPath(good)) << good;
    for (const char* bad : {"", "/a", "a/", "a//b", "..", "a/../b", "./a", "a/."})
        EXPECT_FALSE(IsValidEntryPath(bad)) << bad;
}

ManifestEntry Directory(const std::string& path) {
    ManifestEntry entry;
    entry.path = path;
    entry.directory = true;
    entry.permission = 01777;
    entry.owner = "hdfs";
    entry.group = "supergroup";
    entry.mtime = 1709294400;
    entry.atime = 1709294490;
    return entry;
}

ManifestEntry File(const std::string& path, uint64_t size) {
    ManifestEntry entry = Directory(path);
    entry.directory = false;
    entry.permission = 0640;
    entry.size = size;
    entry.replication = 3;
    entry.blockSize = 134217728;
    entry.hash = std::string(32, 'a');
    entry.data = "data/" + path;
    return entry;
}

class HdfsagentToolManifest : public ::testing::Test {
  protected:
    // Writes a manifest of `entries` (in the given order) and returns the reader's verdict.
    std::string Write(const std::vector<ManifestEntry>& entries) {
        CManifestWriter writer;
        std::string error;
        ManifestHeader header;
        header.root = "/data";
        header.source = "hdfs://localhost:8020/data";
        header.hash = "xxh3-128";
        EXPECT_TRUE(writer.Open(dir.path(), header, error)) << error;
        for (const ManifestEntry& entry : entries)
            EXPECT_TRUE(writer.Write(entry, error)) << error;
        EXPECT_TRUE(writer.Commit(false, error)) << error;
        return ReadFile(dir / kManifestName);
    }
    std::string Validate() {
        ManifestHeader header;
        ManifestTrailer trailer;
        std::string error;
        return ValidateManifest(dir.path(), header, trailer, error) ? "" : error;
    }
    void Replace(const std::string& from, const std::string& to) {
        std::string text = ReadFile(dir / kManifestName);
        const size_t at = text.find(from);
        ASSERT_NE(std::string::npos, at) << from;
        WriteFile(dir / kManifestName, text.replace(at, from.size(), to));
    }

    TempDir dir{"hdfsagent-manifest"};
};

TEST_F(HdfsagentToolManifest, RoundTripKeepsEveryField) {
    ManifestEntry file = File("a/x", 5);
    file.zone = "/data/a";
    file.acl = {{"entries", {"user:bob:r--"}}, {"permission", "640"}, {"stickyBit", false}};
    file.xattrs = nlohmann::json::array({{{"name", "trusted.blob"}, {"value", "0sAAH/"}}});
    file.referenced = true;
    file.data = "../full/data/a/x";
    ManifestEntry vanished = File("a/y", 9);
    vanished.status = kStatusVanished;
    vanished.detail = "deleted before it could be read";
    vanished.hash.clear();
    vanished.data.clear();
    Write({Directory("."), Directory("a"), file, vanished});
    EXPECT_FALSE(std::ifstream(dir / kManifestPartialName).good());

    CManifestReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(dir.path(), error)) << error;
    EXPECT_EQ("/data", reader.Header().root);
    ManifestEntry read;
    ASSERT_EQ(1, reader.Next(read, error));
    EXPECT_EQ(".", read.path);
    EXPECT_EQ(01777u, read.permission);
    ASSERT_EQ(1, reader.Next(read, error));
    ASSERT_EQ(1, reader.Next(read, error)) << error;
    EXPECT_EQ("a/x", read.path);
    EXPECT_EQ("/data/a", read.zone);
    EXPECT_EQ(file.acl, read.acl);
    EXPECT_EQ(file.xattrs, read.xattrs);
    EXPECT_TRUE(read.referenced);
    EXPECT_EQ("../full/data/a/x", read.data);
    EXPECT_EQ(134217728, read.blockSize);
    ASSERT_EQ(1, reader.Next(read, error));
    EXPECT_EQ(kStatusVanished, read.status);
    EXPECT_FALSE(read.HasContent());
    ASSERT_EQ(0, reader.Next(read, error)) << error;
    EXPECT_EQ(4u, reader.Trailer().entries);
    EXPECT_EQ(1u, reader.Trailer().files);
    EXPECT_EQ(1u, reader.Trailer().referenced);
    EXPECT_EQ(1u, reader.Trailer().problems);
}

TEST_F(HdfsagentToolManifest, NameThatIsNotUtf8IsRefusedByTheWriter) {
    CManifestWriter writer;
    std::string error;
    ManifestHeader header;
    header.hash = "xxh3-128";
    ASSERT_TRUE(writer.Open(dir.path(), header, error));
    EXPECT_FALSE(writer.Write(File("bad\xff", 1), error));
    EXPECT_THAT(error, HasSubstr("cannot record bad"));
    writer.Abort();
    EXPECT_FALSE(std::ifstream(dir / kManifestPartialName).good());
}

// Each damage and the reader's words for it.
struct Damage {
    const char* name;
    const char* from;  // text replaced (first occurrence); "" appends `to`
    const char* to;
    const char* message;
};

class HdfsagentToolManifestDamage : public HdfsagentToolManifest,
                                    public ::testing::WithParamInterface<Damage> {};

TEST_P(HdfsagentToolManifestDamage, IsRefusedWithAClearMessage) {
    Write({Directory("."), File("x", 3)});
    const Damage& damage = GetParam();
    if (*damage.from == '\0')
        WriteFile(dir / kManifestName, ReadFile(dir / kManifestName) + damage.to);
    else
        Replace(damage.from, damage.to);
    EXPECT_THAT(Validate(), HasSubstr(damage.message));
}

INSTANTIATE_TEST_SUITE_P(
    Manifests, HdfsagentToolManifestDamage,
    ::testing::Values(
        Damage{"NotAManifest", "hdfsagent-backup", "other", ":1: not an hdfsagent backup manifest"},
        Damage{"NewerVersion", "\"version\":1", "\"version\":7",
               ":1: manifest format version 7 is newer than this hdfsagent reads (1)"},
        Damage{"AlteredEntry", "\"size\":3", "\"size\":4",
               ":4: checksum mismatch (the manifest is corrupted)"},
        Damage{"TrailerCounts", "\"entries\":2", "\"entries\":3",
               ":4: the trailer's counts do not match the entries"},
        Damage{"TextAfterTrailer", "", "{}\n", ":5: text after the trailer"},
        Damage{"CutOffLine", "\"checksum\"", "\"checksum", "not a JSON object"},
        Damage{"UnsafePath", "\"path\":\"x\"", "\"path\":\"../x\"",
               ":3: invalid path \"../x\" (the manifest is corrupted)"},
        Damage{"MissingField", "\"owner\":\"hdfs\",", "", ":2: missing \"owner\""}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST_F(HdfsagentToolManifest, TruncatedFileIsRefused) {
    const std::string text = Write({Directory("."), File("x", 3)});
    WriteFile(dir / kManifestName, text.substr(0, text.size() - 10));
    EXPECT_THAT(Validate(), HasSubstr(":4: the last line is cut off (the manifest is truncated)"));
    WriteFile(dir / kManifestName, text.substr(0, text.rfind("{\"trailer\"")));
    EXPECT_THAT(Validate(), HasSubstr("no trailer (the manifest is truncated)"));
}

TEST_F(HdfsagentToolManifest, EntriesOutOfOrderAreRefused) {
    // A manifest out of order would make an incremental backup miss unchanged files.
    Write({Directory("."), File("b", 1), File("a", 1)});
    EXPECT_THAT(Validate(), HasSubstr(":4: entry \"a\" out of order"));
    Write({File("x", 1)});
    EXPECT_THAT(Validate(), HasSubstr(":2: entry \"x\" out of order"));
}

TEST_F(HdfsagentToolManifest, ContentWithoutHashOrWithAbsoluteDataIsRefused) {
    ManifestEntry noHash = File("x", 1);
    noHash.hash = "abc";
    Write({Directory("."), noHash});
    EXPECT_THAT(Validate(), HasSubstr(":3: missing or invalid hash"));
    ManifestEntry absolute = File("x", 1);
    absolute.data = "/etc/passwd";
    Write({Directory("."), absolute});
    EXPECT_THAT(Validate(), HasSubstr(":3: missing or invalid data location"));
}

TEST_F(HdfsagentToolManifest, MissingManifestNamesTheDirectory) {
    EXPECT_EQ("no backup in " + dir.path() + " (manifest.jsonl is missing)", Validate());
}

}  // namespace
