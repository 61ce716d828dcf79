// Errors (CEkError, FXErrorUtil) and the log writer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "host/Error.h"
#include "host/Log.h"
#include "support/ErrorChecks.h"
#include "support/TestSupport.h"

using ::testing::HasSubstr;
using testsupport::ExpectError;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

CEkError FailDeep() {
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOENT, "open %s", "/x");
}

CEkError FailMiddle() {
    CEkError err = FailDeep();
    if (err.Failed())
        return err.Push(FX_LOCATION, "loading %d", 7);
    return CEkError();
}

}  // namespace

// Success has no frames (a Push on it is ignored); codes are kept negated; an errno message
// carries the strerror text; a lost errno (0) still fails.
TEST(HostError, CodesAndMessages) {
    CEkError success;
    EXPECT_TRUE(success.Succeeded());
    EXPECT_FALSE(success.Failed());
    EXPECT_EQ(success.code(), 0);
    EXPECT_EQ(success.Code(), 0);
    EXPECT_EQ(success.AsString(), "");
    success.Push(FX_LOCATION, "ignored");
    EXPECT_TRUE(success.Succeeded());
    EXPECT_TRUE(success.Frames().empty());
    EXPECT_FALSE(FXErrorUtil::IsErrNo(success, 0));

    CEkError err = FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "step %s failed", "kinit");
    EXPECT_EQ(err.code(), -1627);
    ExpectError(err, 1627, "step kinit failed");
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 1627));
    EXPECT_FALSE(FXErrorUtil::IsErrNo(err, 1168));

    err = FXErrorUtil::ErrorErrNo(FX_LOCATION, EACCES, "cannot open %s", "/etc/x");
    ExpectError(err, EACCES, "cannot open /etc/x: Permission denied");
    EXPECT_EQ(FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOENT).Message(), "No such file or directory");

    err = FXErrorUtil::ErrorErrNo(FX_LOCATION, 0, "lost");
    EXPECT_TRUE(err.Failed());
    EXPECT_EQ(err.Code(), EIO);
    EXPECT_TRUE(CEkError::Failure(0, FX_LOCATION, "zero").Failed());
}

// Frames come newest first; the message is the newest that says something; the code the
// deepest; copies do not share frames pushed later.
TEST(HostError, PushAddsFramesNewestFirstAndCopiesOnWrite) {
    CEkError err = FailMiddle();
    CEkError copy = err;
    err.Push(FX_LOCATION);
    ASSERT_EQ(err.Frames().size(), 3u);
    EXPECT_EQ(err.Frames()[0].message, "");
    EXPECT_EQ(err.Frames()[1].message, "loading 7");
    EXPECT_EQ(err.Frames()[2].message, "open /x: No such file or directory");
    EXPECT_STREQ(err.Frames()[2].location.file, "HostErrorTest.cpp");
    EXPECT_THAT(err.Frames()[2].location.function, HasSubstr("FailDeep"));
    EXPECT_EQ(err.Message(), "loading 7");
    EXPECT_EQ(err.Code(), ENOENT);
    EXPECT_EQ(copy.Frames().size(), 2u);
    copy.Push(FX_LOCATION, "only in the copy");
    EXPECT_EQ(copy.Frames().size(), 3u);
    EXPECT_EQ(err.Frames().size(), 3u);

    // Each frame "file:line function: message".
    EXPECT_THAT(FailMiddle().AsString(),
                ::testing::MatchesRegex("HostErrorTest\\.cpp:[0-9]+ .*FailMiddle.*: loading 7\n"
                                        "HostErrorTest\\.cpp:[0-9]+ .*FailDeep.*: open /x: "
                                        "No such file or directory \\(error 2\\)"));
    EXPECT_EQ(FailMiddle().AsString(eErrorFormatMessages),
              "loading 7: open /x: No such file or directory");
    EXPECT_EQ(FailMiddle().AsString(eErrorFormatShort), "error 2: loading 7");
}

class HostLog : public ::testing::Test {
  protected:
    void SetUp() override { g_ptrLogWriter->Reconfigure(); }
    void TearDown() override { g_ptrLogWriter->Reconfigure(); }
    std::string LogText() { return ReadFile(m_dir / "log/hdfsagent.log"); }

    TempDir m_dir;
    ScopedEnv m_home{"HDFSAGENT_HOME", m_dir.path()};
    ScopedEnv m_logDir = ScopedEnv::unset("HDFSAGENT_LOG_DIR");
    ScopedEnv m_settings = ScopedEnv::unset("HDFSAGENT_SETTINGS");
    ScopedEnv m_stderr = ScopedEnv::unset("HDFSAGENT_LOG_STDERR");
};

// Without the environment variable the level is 0, or the one from the settings; the variable
// wins. Lines above the level are not even formatted.
TEST_F(HostLog, LevelFromEnvironmentFiltersLinesBeforeFormatting) {
    {
        ScopedEnv level = ScopedEnv::unset("HDFSAGENT_DEBUGLEVEL");
        g_ptrLogWriter->Reconfigure();
        EXPECT_EQ(g_ptrLogWriter->GetDebugLevel(), 0);
        EXPECT_TRUE(g_ptrLogWriter->IsEnabled(-1));
        EXPECT_FALSE(g_ptrLogWriter->IsEnabled(1));
        testsupport::WriteFile(m_dir / "settings.ini", "[EventManager]\nhdfsagent_DEBUGLEVEL=3\n");
        g_ptrLogWriter->Reconfigure();
        EXPECT_EQ(g_ptrLogWriter->GetDebugLevel(), 3);
    }
    ScopedEnv level("HDFSAGENT_DEBUGLEVEL", "2");
    g_ptrLogWriter->Reconfigure();
    (void)g_ptrLogWriter->GetDebugLevel();
    struct stat st;
    EXPECT_NE(stat((m_dir / "log").c_str(), &st), 0);  // nothing touched before the first line
    int evaluated = 0;
    DXLOG(2, "written %d", ++evaluated);
    DXLOG(3, "filtered %d", ++evaluated);
    EXPECT_EQ(evaluated, 1);
    // time, pid, tid, level, function:line, message
    EXPECT_THAT(LogText(), ::testing::MatchesRegex(
                               "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}\\.[0-9]{3} [0-9]+ [0-9]+ 2 "
                               "[^\n]*TestBody\\(\\):[0-9]+ written 1\n"));
    { DX_DEBUG_FUNCTION(2); }
    { DX_DEBUG_FUNCTION(3); }
    DXLOG(-1, "last");
    EXPECT_THAT(LogText(),
                ::testing::ContainsRegex(
                    "\n[^\n]* 2 [^\n]*TestBody\\(\\):[0-9]+ Entering\n"
                    "[^\n]* 2 [^\n]*TestBody\\(\\):[0-9]+ Leaving\n[^\n]* -1 [^\n]* last\n$"));
}

// Reading the level from a settings file with faults in it: the faults are logged once, under
// the level just read (filtered out when it is below -1), and reading does not recurse.
TEST_F(HostLog, SettingsFaultsMetWhileReadingTheLevelAreLoggedUnderThatLevel) {
    ScopedEnv level = ScopedEnv::unset("HDFSAGENT_DEBUGLEVEL");
    testsupport::WriteFile(m_dir / "settings.ini",
                           "no equals sign\n[EventManager]\nhdfsagent_DEBUGLEVEL=1\n");
    g_ptrLogWriter->Reconfigure();
    EXPECT_EQ(g_ptrLogWriter->GetDebugLevel(), 1);
    EXPECT_EQ(g_ptrLogWriter->GetDebugLevel(), 1);  // read once: the line is not logged twice
    const std::string text = LogText();
    EXPECT_THAT(text, HasSubstr(" -1 "));
    EXPECT_THAT(text, HasSubstr("settings line 1 is malformed and skipped: 'no equals sign'\n"));
    EXPECT_EQ(text.find("malformed"), text.rfind("malformed"));

    testsupport::WriteFile(m_dir / "settings.ini", "[EventManager]\nhdfsagent_DEBUGLEVEL=-2x\n");
    g_ptrLogWriter->Reconfigure();
    EXPECT_EQ(g_ptrLogWriter->GetDebugLevel(), 0);  // not a number: the default
    EXPECT_THAT(LogText(), HasSubstr("setting [EventManager] hdfsagent_DEBUGLEVEL is not a number: "
                                     "'-2x'\n"));

    testsupport::WriteFile(m_dir / "settings.ini",
                           "[broken\n[EventManager]\nhdfsagent_DEBUGLEVEL=-2\n");
    g_ptrLogWriter->Reconfigure();
    EXPECT_EQ(g_ptrLogWriter->GetDebugLevel(), -2);
    EXPECT_THAT(LogText(), ::testing::Not(HasSubstr("[broken")));
}
