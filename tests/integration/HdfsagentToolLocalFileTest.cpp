// The tool's local-file layer on a real file system: opening below a directory descriptor never
// follows a link or leaves the directory (with openat2 and with the component walk older kernels
// get), copies must be regular files, removal does not follow links, and the manifest writer
// does not write through a planted partial manifest.
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "LocalFile.h"
#include "Manifest.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using namespace tool;

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A directory `inside` with a regular file, and next to it an `outside` directory an attacker
// points links at.
class LocalFileBeneath : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        UseComponentWalkForTesting(GetParam());
        fs::create_directories(inside / "d");
        WriteFile(inside / "d/f", "inside\n");
        WriteFile(outside / "secret", "secret\n");
        fs::create_directory_symlink(outside.path(), inside / "linkdir");
        fs::create_symlink(outside / "secret", inside / "d/link");
        dirFd.Reset(open(inside.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(dirFd.IsOpen());
    }
    void TearDown() override { UseComponentWalkForTesting(false); }

    TempDir inside{"hdfsagent-inside"};
    TempDir outside{"hdfsagent-outside"};
    CFd dirFd;
};

TEST_P(LocalFileBeneath, OpensPlainPathsAndRefusesLinksAndEscapes) {
    CFd plain(OpenBeneath(dirFd.Get(), "d/f", O_RDONLY));
    EXPECT_TRUE(plain.IsOpen()) << strerror(errno);

    // A link as the last component and as a directory on the way.
    for (const char* linked : {"d/link", "linkdir/secret"}) {
        errno = 0;
        EXPECT_EQ(-1, OpenBeneath(dirFd.Get(), linked, O_RDONLY)) << linked;
        EXPECT_TRUE(errno == ELOOP || errno == ENOTDIR) << linked << ": " << strerror(errno);
    }
    // Paths that leave the directory or are not plain relative paths.
    for (const char* escape :
         {"../secret", "d/../../secret", "/etc/hostname", "", "d//f", "d/", "./d/f"}) {
        errno = 0;
        EXPECT_EQ(-1, OpenBeneath(dirFd.Get(), escape, O_RDONLY)) << escape;
        EXPECT_EQ(EINVAL, errno) << escape;
    }
}

TEST_P(LocalFileBeneath, CreatingOverAPlantedLinkFailsAndLeavesItsTargetAlone) {
    errno = 0;
    EXPECT_EQ(-1, OpenBeneath(dirFd.Get(), "d/link", O_WRONLY | O_CREAT | O_EXCL, 0600));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_EQ(-1, OpenBeneath(dirFd.Get(), "linkdir/new", O_WRONLY | O_CREAT | O_EXCL, 0600));
    EXPECT_FALSE(fs::exists(outside / "new"));
    EXPECT_EQ("secret\n", ReadFile(outside / "secret"));

    CFd created(OpenBeneath(dirFd.Get(), "d/new", O_WRONLY | O_CREAT | O_EXCL, 0600));
    ASSERT_TRUE(created.IsOpen()) << strerror(errno);
    EXPECT_EQ(0600u, ModeOf(inside / "d/new"));

    EXPECT_FALSE(MakeDirectoryBeneath(dirFd.Get(), "linkdir/sub", 0755));
    EXPECT_FALSE(fs::exists(outside / "sub"));
    EXPECT_TRUE(MakeDirectoryBeneath(dirFd.Get(), "d/sub", 0755));
}

TEST_P(LocalFileBeneath, ACopyMustBeARegularFileAndAFifoDoesNotBlock) {
    ASSERT_EQ(0, mkfifo((inside / "d/fifo").c_str(), 0600));
    fs::create_symlink("/dev/zero", inside / "d/zero");
    std::string why;
    EXPECT_EQ(-1, OpenRegularBeneath(dirFd.Get(), "d/fifo", why));
    EXPECT_EQ("not a regular file", why);
    EXPECT_EQ(-1, OpenRegularBeneath(dirFd.Get(), "d", why));
    EXPECT_EQ("not a regular file", why);
    EXPECT_EQ(-1, OpenRegularBeneath(dirFd.Get(), "d/zero", why));
    EXPECT_EQ("a symbolic link is in its path", why);
    EXPECT_EQ(-1, OpenRegularBeneath(dirFd.Get(), "d/missing", why));
    EXPECT_EQ("No such file or directory", why);

    CFd copy(OpenRegularBeneath(dirFd.Get(), "d/f", why));
    ASSERT_TRUE(copy.IsOpen()) << why;
    // Blocking again, as a plain read expects.
    EXPECT_EQ(0, fcntl(copy.Get(), F_GETFL) & O_NONBLOCK);
}

INSTANTIATE_TEST_SUITE_P(Openat2AndComponentWalk, LocalFileBeneath, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ComponentWalk" : "Openat2";
                         });

TEST(LocalFileRemoveTree, RemovesTheTreeButNotWhatItsLinksPointAt) {
    TempDir dir{"hdfsagent-remove"};
    TempDir outside{"hdfsagent-outside"};
    WriteFile(outside / "keep", "keep\n");
    fs::create_directories(dir / "data/a/b");
    WriteFile(dir / "data/a/b/f", "x");
    fs::create_directory_symlink(outside.path(), dir / "data/a/link");
    CFd dirFd(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(RemoveTreeAt(dirFd.Get(), "data")) << strerror(errno);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "data")));
    EXPECT_EQ("keep\n", ReadFile(outside / "keep"));
    EXPECT_TRUE(RemoveTreeAt(dirFd.Get(), "absent"));
}

// The fault: the partial manifest was opened with O_TRUNC and no O_NOFOLLOW, so a link planted
// under its name made root overwrite the link's target with the manifest.
TEST(HdfsagentToolManifestWriter, PartialManifestPlantedAsALinkIsNotWrittenThrough) {
    TempDir dir{"hdfsagent-dest"};
    TempDir outside{"hdfsagent-outside"};
    WriteFile(outside / "authorized_keys", "ssh-ed25519 AAAA owner\n", 0600);
    fs::create_symlink(outside / "authorized_keys", dir / kManifestPartialName);

    CManifestWriter writer;
    ManifestHeader header;
    header.root = "/data";
    header.source = "hdfs://localhost:8020/data";
    header.hash = "xxh3-128";
    std::string error;
    ASSERT_TRUE(writer.Open(dir.path(), header, error)) << error;
    EXPECT_EQ(0600u, ModeOf(dir / kManifestPartialName));  // owner-only until complete
    ASSERT_TRUE(writer.Commit(false, error)) << error;
    EXPECT_EQ("ssh-ed25519 AAAA owner\n", ReadFile(outside / "authorized_keys"));
    EXPECT_EQ(0644u, ModeOf(dir / kManifestName));
    EXPECT_THAT(ReadFile(dir / kManifestName), HasSubstr("\"root\":\"/data\""));
}

}  // namespace
