// Choosing the best copy of a file, searching below a directory, and the locate database (the
// real plocate over a database of the test's own tree).
#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>

#include "hadoop/HadoopFileSearch.h"
#include "support/ErrorChecks.h"
#include "support/HadoopDiscovery.h"
#include "support/TestSupport.h"

using ::testing::HasSubstr;
using ::testing::Not;
using testsupport::ExpectError;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;
using testsupport::WriteScript;
using testsupport::discovery::BuildLocateDatabase;
using testsupport::discovery::LogCapture;
using testsupport::discovery::RealPath;
using testsupport::discovery::ShellTools;
using testsupport::discovery::ToolDir;

namespace {

void WriteSized(const std::string& path, size_t size) {
    WriteFile(path, std::string(size, 'x'));
}

void MakeLink(const std::string& target, const std::string& link) {
    std::filesystem::create_directories(std::filesystem::path(link).parent_path());
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
}

void ExpectNotFound(const CEkError& err) {
    ExpectError(err, ENOENT, std::strerror(ENOENT));
}

class FileSearchTest : public ::testing::Test {
  protected:
    std::string Root() const { return RealPath(m_dir.path()); }
    TempDir m_dir;
    LogCapture m_log;
};

// ----------------------------------------------------------------------------------------------
// GetIdealPath

using IdealPathTest = FileSearchTest;

TEST_F(IdealPathTest, LargestWinsAndTiesGoToTheEarliest) {
    WriteSized(Root() + "/a/lib.so", 10);
    WriteSized(Root() + "/b/lib.so", 30);
    WriteSized(Root() + "/c/lib.so", 30);
    EXPECT_EQ(GetIdealPath({Root() + "/a/lib.so", Root() + "/b/lib.so", Root() + "/c/lib.so"}),
              Root() + "/b");
}

TEST_F(IdealPathTest, EmptyListOrEmptyFilesGiveEmptyString) {
    EXPECT_EQ(GetIdealPath({}), "");
    WriteSized(Root() + "/a/lib.so", 0);
    WriteSized(Root() + "/b/lib.so", 0);
    EXPECT_EQ(GetIdealPath({Root() + "/a/lib.so", Root() + "/b/lib.so"}), "");
}

TEST_F(IdealPathTest, LinkGivesDirectoryOfItsFinalTarget) {
    WriteSized(Root() + "/b/c/lib.so.1", 5);
    MakeLink(Root() + "/b/c/lib.so.1", Root() + "/m/lib.so.2");
    MakeLink("../m/lib.so.2", Root() + "/a/lib.so");  // relative link to a link
    EXPECT_EQ(GetIdealPath({Root() + "/a/lib.so"}), Root() + "/b/c");
}

TEST_F(IdealPathTest, MissingFilesDanglingLinksAndEmptyLinesArePassedOver) {
    MakeLink(Root() + "/nowhere/lib.so", Root() + "/a/lib.so");
    WriteSized(Root() + "/b/lib.so", 1);
    EXPECT_EQ(
        GetIdealPath({"", Root() + "/a/lib.so", Root() + "/gone/lib.so", Root() + "/b/lib.so"}),
        Root() + "/b");
}

TEST_F(IdealPathTest, DirectoryWithMatchingNameIsPassedOver) {
    std::filesystem::create_directories(Root() + "/doc/libhdfs.so.d");
    WriteSized(Root() + "/lib/libhdfs.so", 1);
    EXPECT_EQ(GetIdealPath({Root() + "/doc/libhdfs.so.d", Root() + "/lib/libhdfs.so"}),
              Root() + "/lib");
}

// ----------------------------------------------------------------------------------------------
// Search

using SearchTest = FileSearchTest;

TEST_F(SearchTest, EmptyPathFailsWithoutTouchingResultOrLogging) {
    std::string result = "kept";
    ExpectNotFound(Search("", "libjvm.so", result));
    EXPECT_EQ(result, "kept");
    EXPECT_EQ(m_log.Text(), "");
}

TEST_F(SearchTest, FindsTheLargestCopyAtAnyDepth) {
    WriteSized(Root() + "/jdk/lib/client/libjvm.so", 10);
    WriteSized(Root() + "/jdk/lib/server/deep/er/libjvm.so", 20);
    WriteSized(Root() + "/jdk/lib/server/libjvm.so.debug", 99);  // another name
    std::string result = "stale";
    ASSERT_TRUE(Search(Root() + "/jdk", "libjvm.so", result).Succeeded());
    EXPECT_EQ(result, Root() + "/jdk/lib/server/deep/er");
    EXPECT_THAT(m_log.Text(), HasSubstr("libjvm.so path: '" + Root() + "/jdk/lib/server/deep/er'"));
}

TEST_F(SearchTest, NoMatchOrMissingDirectoryIsLoggedAndEmptiesResult) {
    std::filesystem::create_directories(Root() + "/empty");
    std::string result = "stale";
    ExpectNotFound(Search(Root() + "/empty", "libjvm.so", result));
    EXPECT_EQ(result, "");
    EXPECT_THAT(m_log.Text(), HasSubstr("Failed to find libjvm.so in path " + Root() + "/empty"));
    ExpectNotFound(Search(Root() + "/missing", "libjvm.so", result));
    EXPECT_THAT(m_log.Text(), HasSubstr("Failed to find libjvm.so in path " + Root() + "/missing"));
}

TEST_F(SearchTest, OnlyEmptyMatchesFailWithoutLogging) {
    WriteSized(Root() + "/jdk/libjvm.so", 0);
    std::string result = "stale";
    ExpectNotFound(Search(Root() + "/jdk", "libjvm.so", result));
    EXPECT_EQ(result, "");
    EXPECT_EQ(m_log.Text(), "");
}

// ----------------------------------------------------------------------------------------------
// Locate

class LocateTest : public FileSearchTest {
  protected:
    void SetUp() override {
        m_tools.AddLocate(Root() + "/locate.db");
        m_path.emplace(ScopedEnv("PATH", m_tools.path()));
    }
    void BuildDatabase() { BuildLocateDatabase(Root() + "/tree", Root() + "/locate.db"); }

    ToolDir m_tools{ShellTools()};
    std::optional<ScopedEnv> m_path;
};

TEST_F(LocateTest, ChoosesLargestHitOfTheDatabase) {
    WriteSized(Root() + "/tree/a/libhdfs.so", 100);
    WriteSized(Root() + "/tree/b/libhdfs.so", 300);
    WriteSized(Root() + "/tree/c/libhdfs.so.0.0.0", 200);
    BuildDatabase();
    std::string result;
    ASSERT_TRUE(Locate("libhdfs.so", result).Succeeded());
    EXPECT_EQ(result, Root() + "/tree/b");
    EXPECT_THAT(m_log.Text(), HasSubstr("libhdfs.so path: '" + Root() + "/tree/b'"));
}

TEST_F(LocateTest, UnknownNameIsLocateFailure) {
    WriteSized(Root() + "/tree/a/other", 1);
    BuildDatabase();
    std::string result = "kept";
    ExpectNotFound(Locate("libhdfs.so", result));
    EXPECT_EQ(result, "kept");
    EXPECT_THAT(m_log.Text(), HasSubstr("Failed to run command. error "));
}

TEST_F(LocateTest, NonZeroExitLogsStandardError) {
    std::string locate = Root() + "/bin/locate";
    WriteScript(locate, "echo 'locate: can not stat (): No such file or directory' >&2\nexit 1\n");
    m_tools.Link("locate", locate);
    std::string result = "kept";
    ExpectNotFound(Locate("libhdfs.so", result));
    EXPECT_EQ(result, "kept");
    EXPECT_THAT(m_log.Text(), HasSubstr("Failed to run command. error locate: can not stat (): "
                                        "No such file or directory"));
}

TEST_F(LocateTest, OnlyEmptyHitsFailWithoutLogging) {
    WriteSized(Root() + "/tree/a/libhdfs.so", 0);
    BuildDatabase();
    std::string result = "kept";
    ExpectNotFound(Locate("libhdfs.so", result));
    EXPECT_EQ(result, "");
    EXPECT_EQ(m_log.Text(), "");
}

TEST_F(LocateTest, MissingLocateProgramIsLogged) {
    ScopedEnv path("PATH", Root());  // no locate here
    std::string result = "kept";
    ExpectNotFound(Locate("libhdfs.so", result));
    EXPECT_EQ(result, "kept");
    EXPECT_THAT(m_log.Text(), HasSubstr("locate command failed. Failed to locate libhdfs.so"));
}

// A child killed at the time-out used to be left unreaped, a zombie for the life of the agent.
TEST_F(LocateTest, HangingLocateIsKilledAndReapedAtTimeout) {
    std::string locate = Root() + "/bin/locate";
    WriteScript(locate, "echo $$ > '" + Root() + "/pid'\nexec sleep 30\n");
    m_tools.Link("locate", locate);
    ScopedEnv timeout("HDFSAGENT_LOCATE_TIMEOUT_MS", "300");

    auto start = std::chrono::steady_clock::now();
    std::string result = "kept";
    ExpectNotFound(Locate("libhdfs.so", result));
    auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_EQ(result, "kept");
    EXPECT_THAT(m_log.Text(), HasSubstr("locate command taking too long. Aborting"));
    EXPECT_THAT(m_log.Text(), Not(HasSubstr("Failed to kill pid")));
    pid_t pid = std::stoi(ReadFile(Root() + "/pid"));
    EXPECT_EQ(kill(pid, 0), -1) << "the killed child is still there (a zombie?)";
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(testsupport::CountZombieChildren(), 0);
}

}  // namespace
