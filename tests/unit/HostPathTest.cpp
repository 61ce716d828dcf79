// Paths and files: joining, splitting, the ancestor test, link resolution, file search and
// whole-file helpers.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/File.h"
#include "host/Path.h"
#include "support/ErrorChecks.h"
#include "support/TestSupport.h"

using ::testing::HasSubstr;
using testsupport::ExpectError;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

unsigned Mode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 01000;
}

}  // namespace

TEST(HostFXPath, AppendSplitAndAncestorAreComponentWise) {
    EXPECT_EQ(FXPath::Append("a/", "/b"), "a/b");
    EXPECT_EQ(FXPath::Append("a", "b"), "a/b");
    EXPECT_EQ(FXPath::Append("/opt//", "//lib/x"), "/opt/lib/x");
    EXPECT_EQ(FXPath::Append("/", "etc"), "/etc");
    EXPECT_EQ(FXPath::Append("", "etc"), "etc");
    EXPECT_EQ(FXPath::Append("/opt", ""), "/opt");

    const char* const splits[][3] = {
        {"/a/b/c", "/a/b", "c"}, {"/a/b/", "/a", "b"}, {"/a//b", "/a", "b"}, {"c", "", "c"},
        {"/c", "/", "c"},        {"/", "", "/"},       {"//", "", "/"},      {"x/y", "x", "y"}};
    std::string parent, name;
    for (const auto& split : splits) {
        ASSERT_TRUE(FXPath::SplitParentPath(split[0], parent, name).Succeeded()) << split[0];
        EXPECT_EQ(parent, split[1]) << split[0];
        EXPECT_EQ(name, split[2]) << split[0];
    }
    CEkError err = FXPath::SplitParentPath("", parent, name);
    ExpectError(err, EINVAL, "empty path: Invalid argument");
    EXPECT_EQ(parent, "");
    EXPECT_EQ(name, "");
    EXPECT_EQ(CEkPath("/usr/lib/libhdfs.so").GetParent(), "/usr/lib");
    EXPECT_EQ(CEkPath("/usr/lib/libhdfs.so").GetName(), "libhdfs.so");

    // The ancestor test goes by whole components.
    EXPECT_TRUE(FXPath::IsAncestorOf("/a", "/a/b"));
    EXPECT_TRUE(FXPath::IsAncestorOf("/a/", "/a/b/c/"));
    EXPECT_FALSE(FXPath::IsAncestorOf("/a", "/ab"));
    EXPECT_FALSE(FXPath::IsAncestorOf("/a/b", "/a"));
    EXPECT_FALSE(FXPath::IsAncestorOf("/a", "/a"));
    EXPECT_TRUE(FXPath::IsAncestorOf("/a", "/a/", true));
    EXPECT_TRUE(FXPath::IsAncestorOf("/", "/x"));
    EXPECT_FALSE(FXPath::IsAncestorOf("/", "/"));
    EXPECT_TRUE(FXPath::IsAncestorOf("/", "/", true));
    EXPECT_FALSE(FXPath::IsAncestorOf("/a", "a/b"));  // absolute against relative
    EXPECT_TRUE(FXPath::IsAncestorOf("a", "a/b"));
    EXPECT_FALSE(FXPath::IsAncestorOf("", "/a"));
}

TEST(HostFXPath, ExistenceWithAndWithoutFollowingLinks) {
    TempDir dir;
    ASSERT_EQ(symlink_utf(dir / "missing", dir / "dangling"), 0);
    EXPECT_FALSE(FXPath::DoesPathExist(dir / "dangling"));
    EXPECT_TRUE(FXPath::DoesPathExist(dir / "dangling", false));
    EXPECT_TRUE(FXPath::DoesPathExist(dir.path()));
    EXPECT_FALSE(FXPath::DoesPathExist(""));
    EXPECT_FALSE(FXFile::DoesFileExist(dir.path()));  // a directory is not a file
}

// A chain of absolute and relative links resolves to the physical file; a dangling one fails.
TEST(HostSymbolicLink, ResolvesTheWholeChain) {
    TempDir dir;
    std::string base = dir.path();
    char* real = realpath(base.c_str(), nullptr);
    std::string physicalBase = real;
    free(real);
    WriteFile(dir / "install/bin/hadoop", "#!/bin/sh\n", 0755);
    ASSERT_EQ(symlink("install", (dir / "current").c_str()), 0);  // relative
    ASSERT_EQ(symlink((dir / "current/bin/hadoop").c_str(), (dir / "link1").c_str()), 0);
    ASSERT_EQ(symlink("link1", (dir / "link2").c_str()), 0);
    ASSERT_EQ(symlink((dir / "gone").c_str(), (dir / "dangling").c_str()), 0);
    std::string physical;
    bool isLink = false;
    std::list<std::string> chain;
    ASSERT_TRUE(
        UnixSymbolicLink::getPhysicalPath(dir / "link2", physical, isLink, chain).Succeeded());
    EXPECT_EQ(physical, physicalBase + "/install/bin/hadoop");
    EXPECT_TRUE(isLink);
    EXPECT_EQ(chain, (std::list<std::string>{base + "/link1", base + "/current/bin/hadoop"}));

    ASSERT_TRUE(
        UnixSymbolicLink::getPhysicalPath(dir / "install/bin/hadoop", physical, isLink, chain)
            .Succeeded());
    EXPECT_FALSE(isLink);
    EXPECT_TRUE(chain.empty());

    CEkError err = UnixSymbolicLink::getPhysicalPath(dir / "dangling", physical, isLink, chain);
    ExpectError(err, ENOENT, "realpath(" + (dir / "dangling") + "): No such file or directory");
    EXPECT_EQ(physical, "");
    EXPECT_TRUE(isLink);
}

TEST(HostFXFile, GetMatchingFilesSearchesDepthFirstWithoutFollowingDirectoryLinks) {
    TempDir dir;
    WriteFile(dir / "libhdfs.so", "");
    WriteFile(dir / "a/b/c/libhdfs.so", "");
    WriteFile(dir / "a/other.so", "");
    mkdir((dir / "a/libhdfs.so").c_str(), 0755);  // a directory of that name: not matched
    mkdir((dir / "z").c_str(), 0755);
    ASSERT_EQ(symlink((dir / "a/b/c/libhdfs.so").c_str(), (dir / "z/libhdfs.so").c_str()), 0);
    ASSERT_EQ(symlink((dir / "a").c_str(), (dir / "loop").c_str()), 0);  // not descended
    std::list<std::string> found;
    ASSERT_TRUE(FXFile::GetMatchingFiles(dir.path(), "libhdfs.so", found, true).Succeeded());
    found.sort();
    EXPECT_EQ(found, (std::list<std::string>{dir / "a/b/c/libhdfs.so", dir / "libhdfs.so",
                                             dir / "z/libhdfs.so"}));
    found.clear();
    ASSERT_TRUE(FXFile::GetMatchingFiles(dir.path(), "libhdfs.so", found, false).Succeeded());
    EXPECT_EQ(found, (std::list<std::string>{dir / "libhdfs.so"}));

    found.clear();
    CEkError err = FXFile::GetMatchingFiles("/nonexistent/dir", "x", found, true);
    ExpectError(err, ENOENT, "cannot read directory /nonexistent/dir: No such file or directory");
    EXPECT_TRUE(found.empty());
}

TEST(HostCEkFile, WriteReadWholeFileAndTimes) {
    TempDir dir;
    CEkFile file;
    ASSERT_TRUE(file.Open(dir / "f", "w").Succeeded());
    ASSERT_TRUE(file.Write("hello\0world", 11).Succeeded());
    ASSERT_TRUE(file.Close().Succeeded());
    EXPECT_FALSE(file.IsOpen());
    ASSERT_TRUE(file.Open(dir / "f", "a").Succeeded());
    ASSERT_TRUE(file.Write("!", 1).Succeeded());
    ASSERT_TRUE(file.Close().Succeeded());

    std::vector<char> buffer;
    size_t size = 0;
    ASSERT_TRUE(CEkFile::ReadWholeFile(dir / "f", buffer, size).Succeeded());
    EXPECT_EQ(size, 12u);
    ASSERT_EQ(buffer.size(), 13u);
    EXPECT_EQ(std::string(buffer.data(), size), std::string("hello\0world!", 12));
    EXPECT_EQ(buffer[12], '\0');

    ASSERT_TRUE(file.Open(dir / "f", "r").Succeeded());
    char part[5];
    uint32_t read = 0;
    ASSERT_TRUE(file.Read(part, 5, read).Succeeded());
    EXPECT_EQ(read, 5u);
    EXPECT_EQ(std::string(part, 5), "hello");

    CEkError err = file.Open(dir / "missing/f", "r");
    ExpectError(err, ENOENT, "cannot open " + (dir / "missing/f") + ": No such file or directory");
    EXPECT_EQ(file.Write("x", 1).Code(), EBADF);

    WriteFile(dir / "f", "x");
    struct timespec times[2] = {{1000, 0}, {2000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "f").c_str(), times, 0), 0);
    time_t modified = 0, accessed = 0, created = 0;
    ASSERT_TRUE(FXFile::GetFileTimes(dir / "f", &created, &modified, &accessed).Succeeded());
    EXPECT_EQ(accessed, 1000);
    EXPECT_EQ(modified, 2000);
    EXPECT_GT(created, 2000);
    EXPECT_TRUE(FXFile::GetFileTimes(dir / "f", nullptr, &modified, nullptr).Succeeded());
    EXPECT_EQ(FXFile::GetFileTimes(dir / "none", nullptr, &modified, nullptr).Code(), ENOENT);
}

TEST(HostCEkFile, CopyAndWriteAtomicallyKeepOrSetTheMode) {
    TempDir dir;
    WriteFile(dir / "template.properties", "a=1\n", 0600);
    WriteFile(dir / "installed.properties", "old\n", 0644);
    ASSERT_TRUE(
        CEkFile::Copy(dir / "template.properties", dir / "installed.properties").Succeeded());
    EXPECT_EQ(ReadFile(dir / "installed.properties"), "a=1\n");
    EXPECT_EQ(Mode(dir / "installed.properties"), 0600u);
    EXPECT_EQ(CEkFile::Copy(dir / "none", dir / "x").Code(), ENOENT);
    EXPECT_FALSE(FXPath::DoesPathExist(dir / "x"));

    WriteFile(dir / "f", "old", 0640);
    ASSERT_TRUE(CEkFile::WriteAtomically(dir / "f", "new").Succeeded());
    EXPECT_EQ(ReadFile(dir / "f"), "new");
    EXPECT_EQ(Mode(dir / "f"), 0640u);
    ASSERT_TRUE(CEkFile::WriteAtomically(dir / "g", "x").Succeeded());
    EXPECT_EQ(Mode(dir / "g"), 0644u);
    ASSERT_TRUE(CEkFile::WriteAtomically(dir / "h", "x", 0600).Succeeded());
    EXPECT_EQ(Mode(dir / "h"), 0600u);
    CEkError err = CEkFile::WriteAtomically(dir / "no/such/dir/f", "x");
    EXPECT_EQ(err.Code(), ENOENT);
    EXPECT_THAT(err.Message(), HasSubstr("cannot create a temporary file for"));
}
