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

TEST_F(IdealPathTest, LargestFileWinsTiesGoToTheEarliestLinksAreFollowed) {
    WriteSized(Root() + "/a/lib.so", 10);
    WriteSized(Root() + "/b/lib.so", 30);
    WriteSized(Root() + "/c/lib.so", 30);
    EXPECT_EQ(GetIdealPath({Root() + "/a/lib.so", Root() + "/b/lib.so", Root() + "/c/lib.so"}),
              Root() + "/b");
    EXPECT_EQ(GetIdealPath({}), "");
    WriteSized(Root() + "/e/lib.so", 0);
    WriteSized(Root() + "/f/lib.so", 0);
    EXPECT_EQ(GetIdealPath({Root() + "/e/lib.so", Root() + "/f/lib.so"}), "");

    // A (relative) link to a link gives the directory of its final target; missing files,
    // dangling links, empty lines and a directory of the name are passed over.
    WriteSized(Root() + "/x/c/lib.so.1", 5);
    MakeLink(Root() + "/x/c/lib.so.1", Root() + "/m/lib.so.2");
    MakeLink("../m/lib.so.2", Root() + "/l/lib.so");
    EXPECT_EQ(GetIdealPath({Root() + "/l/lib.so"}), Root() + "/x/c");

    MakeLink(Root() + "/nowhere/lib.so", Root() + "/d/lib.so");
    std::filesystem::create_directories(Root() + "/doc/lib.so");
    WriteSized(Root() + "/e/lib.so", 1);
    EXPECT_EQ(GetIdealPath({"", Root() + "/d/lib.so", Root() + "/gone/lib.so",
                            Root() + "/doc/lib.so", Root() + "/e/lib.so"}),
              Root() + "/e");
}

// ----------------------------------------------------------------------------------------------
// Search

using SearchTest = FileSearchTest;

// An empty path fails untouched and silent; only empty matches fail silently, emptying the
// result; no match or a missing directory is logged and empties the result; the largest copy at
// any depth wins.
TEST_F(SearchTest, FindsTheLargestCopyAtAnyDepthAndFailsOtherwise) {
    std::string result = "kept";
    ExpectNotFound(Search("", "libjvm.so", result));
    EXPECT_EQ(result, "kept");
    WriteSized(Root() + "/jre/libjvm.so", 0);
    ExpectNotFound(Search(Root() + "/jre", "libjvm.so", result));
    EXPECT_EQ(result, "");
    EXPECT_EQ(m_log.Text(), "");

    std::filesystem::create_directories(Root() + "/empty");
    result = "stale";
    ExpectNotFound(Search(Root() + "/empty", "libjvm.so", result));
    EXPECT_EQ(result, "");
    EXPECT_THAT(m_log.Text(), HasSubstr("Failed to find libjvm.so in path " + Root() + "/empty"));
    ExpectNotFound(Search(Root() + "/missing", "libjvm.so", result));
    EXPECT_THAT(m_log.Text(), HasSubstr("Failed to find libjvm.so in path " + Root() + "/missing"));

    // The largest copy at any depth wins.
    WriteSized(Root() + "/jdk/lib/client/libjvm.so", 10);
    WriteSized(Root() + "/jdk/lib/server/deep/er/libjvm.so", 20);
    WriteSized(Root() + "/jdk/lib/server/libjvm.so.debug", 99);  // another name
    result = "stale";
    ASSERT_TRUE(Search(Root() + "/jdk", "libjvm.so", result).Succeeded());
    EXPECT_EQ(result, Root() + "/jdk/lib/server/deep/er");
    EXPECT_THAT(m_log.Text(), HasSubstr("libjvm.so path: '" + Root() + "/jdk/lib/server/deep/er'"));
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
    // A locate program of the test's own.
    void FakeLocate(const std::string& body) {
        WriteScript(Root() + "/bin/locate", body);
        m_tools.Link("locate", Root() + "/bin/locate");
    }

    ToolDir m_tools{ShellTools()};
    std::optional<ScopedEnv> m_path;
};

// The largest hit wins; only empty hits fail silently, emptying the result.
TEST_F(LocateTest, ChoosesLargestHitOfTheDatabase) {
    WriteSized(Root() + "/tree/a/libhdfs.so", 100);
    WriteSized(Root() + "/tree/b/libhdfs.so", 300);
    WriteSized(Root() + "/tree/c/libhdfs.so.0.0.0", 200);
    WriteSized(Root() + "/tree/d/libjvm.so", 0);
    BuildDatabase();
    std::string result;
    ASSERT_TRUE(Locate("libhdfs.so", result).Succeeded());
    EXPECT_EQ(result, Root() + "/tree/b");
    EXPECT_THAT(m_log.Text(), HasSubstr("libhdfs.so path: '" + Root() + "/tree/b'"));
    const std::string logged = m_log.Text();
    ExpectNotFound(Locate("libjvm.so", result));
    EXPECT_EQ(result, "");
    EXPECT_EQ(m_log.Text(), logged);
}

// Each failure of the program leaves the result alone and logs why: no hit (exit 1), another
// non-zero exit with its standard error, no locate program at all.
TEST_F(LocateTest, LocateFailuresAreLogged) {
    WriteSized(Root() + "/tree/a/other", 1);
    BuildDatabase();
    std::string result = "kept";
    ExpectNotFound(Locate("libhdfs.so", result));
    EXPECT_EQ(result, "kept");
    EXPECT_THAT(m_log.Text(), HasSubstr("Failed to run command. error "));

    FakeLocate("echo 'locate: can not stat (): No such file or directory' >&2\nexit 1\n");
    ExpectNotFound(Locate("libhdfs.so", result));
    EXPECT_EQ(result, "kept");
    EXPECT_THAT(m_log.Text(), HasSubstr("Failed to run command. error locate: can not stat (): "
                                        "No such file or directory"));

    ScopedEnv path("PATH", Root() + "/tree");  // no locate here
    ExpectNotFound(Locate("libhdfs.so", result));
    EXPECT_EQ(result, "kept");
    EXPECT_THAT(m_log.Text(), HasSubstr("locate command failed. Failed to locate libhdfs.so"));
}

// A child killed at the time-out used to be left unreaped, a zombie for the life of the agent.
TEST_F(LocateTest, HangingLocateIsKilledAndReapedAtTimeout) {
    FakeLocate("echo $$ > '" + Root() + "/pid'\nexec sleep 30\n");
    ScopedEnv timeout("HDFSAGENT_LOCATE_TIMEOUT_MS", "300");

    auto start = std::chrono::steady_clock::now();
    std::string result = "kept";
    ExpectNotFound(Locate("libhdfs.so", result));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(result, "kept");
    EXPECT_THAT(m_log.Text(), HasSubstr("locate command taking too long. Aborting"));
    EXPECT_THAT(m_log.Text(), Not(HasSubstr("Failed to kill pid")));
    pid_t pid = std::stoi(ReadFile(Root() + "/pid"));
    EXPECT_EQ(kill(pid, 0), -1) << "the killed child is still there (a zombie?)";
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(testsupport::CountZombieChildren(), 0);
}

}  // namespace
