// The hdfsagent tool's path rules: the backup order that incremental backups and verify rely
// on, ancestors and joins, exclusion globs, and the checks of HDFS paths, name nodes and entry
// paths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Paths.h"

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

TEST(HdfsagentToolPaths, NameNodeIsDefaultOrHostWithAnOptionalPort) {
    for (const char* good : {"default", "localhost", "nameservice1", "hdfs://nn-1.example.com:8020",
                             "127.0.0.1:9000", "host_a:1", "hdfs://h:65535"})
        EXPECT_TRUE(IsValidNameNode(good)) << good;
    for (const char* bad : {"", "hdfs://", "h:", ":8020", "h:0", "h:65536", "h:123456", "h:80x",
                            "h:8020;junk", "h:8020/", "h/x", "a b", "h:-1", "webhdfs://h:1"})
        EXPECT_FALSE(IsValidNameNode(bad)) << bad;
}

TEST(HdfsagentToolPaths, EntryPathsCannotLeaveTheRoot) {
    for (const char* good : {".", "a", "a/b", ".hidden", "a..b"})
        EXPECT_TRUE(IsValidEntryPath(good)) << good;
    for (const char* bad : {"", "/a", "a/", "a//b", "..", "a/../b", "./a", "a/."})
        EXPECT_FALSE(IsValidEntryPath(bad)) << bad;
}

}  // namespace
