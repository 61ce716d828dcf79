// The hdfsagent tool's manifest: its round trip and the reader's refusals.
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

TEST_F(HdfsagentToolManifest, NamesThatAreNotUtf8ComeBackByteForByte) {
    // Latin-1 names from an old client, a cut-off sequence, a surrogate and an overlong "/".
    ManifestEntry latin1 = File("caf\xe9", 3);
    latin1.owner = "\xfcser";
    latin1.group = "g\xc3";
    ManifestEntry surrogate = File("s\xed\xa0\x80", 1);
    ManifestEntry overlong = File("x\xc0\xaf", 1);
    ManifestEntry detail = File("z", 1);
    detail.status = kStatusChanged;
    detail.detail = "cannot read \xff";
    const std::string text = Write({Directory("."), latin1, surrogate, overlong, detail});
    EXPECT_THAT(text, HasSubstr("\"path_hex\":\"636166e9\""));
    EXPECT_THAT(text, HasSubstr("\"data_hex\":\"646174612f636166e9\""));

    CManifestReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(dir.path(), error)) << error;
    ManifestEntry read;
    ASSERT_EQ(1, reader.Next(read, error)) << error;
    for (const ManifestEntry* expected : {&latin1, &surrogate, &overlong}) {
        ASSERT_EQ(1, reader.Next(read, error)) << error;
        EXPECT_EQ(expected->path, read.path);
        EXPECT_EQ(expected->data, read.data);
        EXPECT_EQ(expected->owner, read.owner);
        EXPECT_EQ(expected->group, read.group);
    }
    ASSERT_EQ(1, reader.Next(read, error)) << error;
    EXPECT_EQ("cannot read \xef\xbf\xbd", read.detail);  // free text: replaced, not lost
    EXPECT_EQ(0, reader.Next(read, error)) << error;
}

TEST_F(HdfsagentToolManifest, Utf8CheckFollowsTheStandard) {
    for (const char* good :
         {"", "plain", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xef\xbf\xbf"})
        EXPECT_TRUE(IsValidUtf8(good)) << good;
    for (const char* bad : {"\xff", "\xc3", "\xe2\x82", "\xc0\x80", "\xe0\x80\xaf", "\xed\xbf\xbf",
                            "\xf4\x90\x80\x80", "\x80", "\xf8\x88\x80\x80\x80"})
        EXPECT_FALSE(IsValidUtf8(bad)) << bad;
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
        Damage{"MissingField", "\"owner\":\"hdfs\",", "", ":2: missing \"owner\""},
        Damage{"SetuidBit", "\"permission\":\"0640\"", "\"permission\":\"4755\"",
               ":3: permission \"4755\" has a setuid or setgid bit, which HDFS has not"},
        Damage{"SetgidBit", "\"permission\":\"1777\"", "\"permission\":\"3777\"",
               ":2: permission \"3777\" has a setuid or setgid bit"},
        Damage{"BlockSizeBeyond32Bits", "\"blocksize\":134217728", "\"blocksize\":2147483648",
               ":3: invalid block size 2147483648 (at most 2147483647)"},
        Damage{"NegativeBlockSize", "\"blocksize\":134217728", "\"blocksize\":-1",
               ":3: invalid block size -1"},
        Damage{"SmallestTime", "\"mtime\":1709294400", "\"mtime\":-9223372036854775808",
               ":2: invalid modification time -9223372036854775808"},
        Damage{"TimeAfterYear9999", "\"atime\":1709294490", "\"atime\":253402300800",
               ":2: invalid access time 253402300800"},
        Damage{"SizeBeyond63Bits", "\"size\":3", "\"size\":18446744073709551615",
               ":3: invalid size 18446744073709551615"},
        Damage{"HexThatIsNotHex", "\"path\":\"x\"", "\"path_hex\":\"7\"",
               ":3: \"path_hex\" is not lower-case hex of whole bytes"},
        Damage{"PathTwice", "\"path\":\"x\"", "\"path\":\"x\",\"path_hex\":\"78\"",
               ":3: both \"path\" and \"path_hex\""},
        Damage{"HexPathThatLeavesTheRoot", "\"path\":\"x\"", "\"path_hex\":\"2e2e2f78\"",
               ":3: invalid path \"../x\""}),
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

TEST_F(HdfsagentToolManifest, EntriesBelowAFileAreRefused) {
    Write({Directory("."), File("x", 1), File("x/y", 1)});
    EXPECT_THAT(Validate(), HasSubstr(":4: entry \"x/y\" lies below the file \"x\" (the manifest "
                                      "is corrupted)"));
    ManifestEntry rootFile = File(".", 1);
    Write({rootFile, File("y", 1)});
    EXPECT_THAT(Validate(), HasSubstr(":3: entry \"y\" lies below the file \".\""));
    // A sibling that only shares the name's beginning is no child.
    Write({Directory("."), File("x", 1), File("x.y", 1)});
    EXPECT_EQ("", Validate());
}

TEST_F(HdfsagentToolManifest, DeepNestingIsRefusedBeforeItIsParsed) {
    Write({Directory("."), File("x", 3)});
    // 100,000 levels would overflow the stack in a recursive copy or free.
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    Replace("\"status\":\"ok\"}\n{\"trailer\"",
            "\"status\":\"ok\",\"x\":" + deep + "}\n{\"trailer\"");
    EXPECT_THAT(Validate(),
                HasSubstr(":3: JSON nested deeper than 32 levels (the manifest is corrupted)"));
    WriteFile(dir / kManifestName, std::string(100000, '{') + "\n");
    EXPECT_THAT(Validate(), HasSubstr(":1: JSON nested deeper than 32 levels, not an hdfsagent"));
}

TEST_F(HdfsagentToolManifest, BracketsInsideNamesAreNoNesting) {
    ManifestEntry file = File("x", 3);
    file.owner = std::string(100, '[') + "\"\\{";
    file.acl = {{"entries", {std::string(50, '{')}}};
    Write({Directory("."), file});
    EXPECT_EQ("", Validate());
}

TEST_F(HdfsagentToolManifest, OverlongLineIsRefusedNamingIt) {
    Write({Directory("."), File("x", 3)});
    Replace("\"status\":\"ok\"}\n{\"trailer\"",
            "\"status\":\"ok\",\"detail\":\"" + std::string(9u << 20, 'a') + "\"}\n{\"trailer\"");
    EXPECT_THAT(Validate(), HasSubstr(":3: line longer than 8388608 bytes (corrupted)"));
}

TEST_F(HdfsagentToolManifest, MissingManifestNamesTheDirectory) {
    EXPECT_EQ("no backup in " + dir.path() + " (manifest.jsonl is missing)", Validate());
}

}  // namespace
