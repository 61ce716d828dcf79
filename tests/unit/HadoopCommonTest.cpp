// Command lines for the Hadoop programs, the property-file editor and native Hadoop logging.
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>

#include "hadoop/HadoopCommon.h"
#include "hadoop/HadoopProperties.h"
#include "host/Log.h"
#include "support/ErrorChecks.h"
#include "support/TestSupport.h"

using testsupport::ExpectError;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string ErrnoMessage(const std::string& text, int errNo) {
    return text + ": " + std::strerror(errNo);
}

// A fresh settings file for each test.
class FreshSettings : public ::testing::Test {
  protected:
    void WriteSettings(const std::string& text) { WriteFile(m_dir / "settings.ini", text); }

    TempDir m_dir;
    ScopedEnv m_settings{"HDFSAGENT_SETTINGS", m_dir / "settings.ini"};
    ScopedEnv m_home{"HDFSAGENT_HOME", m_dir.path()};
};

// ----------------------------------------------------------------------------------------------
// Command lines

class HadoopCommandLines : public FreshSettings {};

// Each row rewrites the settings: a change takes effect on the next call. A bin directory with
// characters the shell interprets used to give a broken or dangerous command line; the program
// is now quoted in that case only.
TEST_F(HadoopCommandLines, ForHadoopAndHBasePrograms) {
    EXPECT_EQ(GetHadoopCommand("hadoop"), "hadoop");  // no settings file at all
    EXPECT_EQ(GetHBaseCommand("hbase"), "hbase");
    const struct {
        const char *hadoopDir, *hbaseDir;  // null: not in the settings
        const char *hadoop, *hbase;
    } cases[] = {
        {"", "", "hadoop", "hbase"},
        {"/opt/hadoop-3.3/bin", nullptr, "/opt/hadoop-3.3/bin/hadoop", "hbase"},
        {"/opt/hadoop-3.3/bin/", nullptr, "/opt/hadoop-3.3/bin/hadoop", "hbase"},
        {nullptr, "/opt/hbase/bin", "hadoop", "/opt/hbase/bin/hbase"},
        {"/opt/my hadoop/bin", "/opt/my hadoop/bin", "'/opt/my hadoop/bin/hadoop'",
         "'/opt/my hadoop/bin/hbase'"},
        {"/opt/x;rm -rf y", "/opt/x;rm -rf y", "'/opt/x;rm -rf y/hadoop'",
         "'/opt/x;rm -rf y/hbase'"},
        {"/opt/$HOME/bin", "/opt/$HOME/bin", "'/opt/$HOME/bin/hadoop'", "'/opt/$HOME/bin/hbase'"},
        {"/opt/it's", "/opt/it's", "'/opt/it'\\''s/hadoop'", "'/opt/it'\\''s/hbase'"},
        {"/opt/`id`", "/opt/`id`", "'/opt/`id`/hadoop'", "'/opt/`id`/hbase'"},
    };
    for (const auto& c : cases) {
        std::string settings = "[FileSystemAgent]\n";
        if (c.hadoopDir)
            settings += std::string("sHadoopBinPath=") + c.hadoopDir + "\n";
        if (c.hbaseDir)
            settings += std::string("sHBaseBinPath=") + c.hbaseDir + "\n";
        SCOPED_TRACE(settings);
        WriteSettings(settings);
        EXPECT_EQ(GetHadoopCommand("hadoop"), c.hadoop);
        EXPECT_EQ(GetHBaseCommand("hbase"), c.hbase);
    }
}

// ----------------------------------------------------------------------------------------------
// The editor as a text transformation

namespace props = hdfsagent::properties;

TEST(PropertyEditor, GivesExpectedContent) {
    const struct {
        const char* name;
        std::string content, key, value, expected;
    } cases[] = {
        {"AbsentKeyAppendedAfterLastLine", "a=1\n", "k", "v", "a=1\nk=v\n"},
        {"AbsentKeyInEmptyFile", "", "k", "v", "k=v\n"},
        {"PresentKeyReplaced", "a=1\nk=old\nb=2\n", "k", "new", "a=1\nk=new\nb=2\n"},
        {"PresentTwiceBothReplaced", "k=1\nx=y\nk=2\n", "k", "v", "k=v\nx=y\nk=v\n"},
        {"LastLineWithoutNewlineReplaced", "a=1\nk=old", "k", "v", "a=1\nk=v\n"},
        {"LeadingBlanksAllowed", "  \tk=old\n", "k", "v", "k=v\n"},
        {"ColonSeparator", "k: old\n", "k", "v", "k=v\n"},
        {"EmptyValue", "k=old\n", "k", "", "k=\n"},
        {"EmptyOldValue", "k=\n", "k", "v", "k=v\n"},
        {"KeyInCommentOnlyIsAppended", "# k=old\n! k=old\n", "k", "v", "# k=old\n! k=old\nk=v\n"},
        {"KeyWithoutSeparatorIsNotAnEntry", "k value\n", "k", "v", "k value\nk=v\n"},
        {"WindowsLineEndsKept", "a=1\r\nk=old\r\nb=2\r\n", "k", "v", "a=1\r\nk=v\r\nb=2\r\n"},
        {"WindowsLineEndsForAppendedPair", "a=1\r\n", "k", "v", "a=1\r\nk=v\r\n"},
        {"ContinuationLinesBelongToReplacedEntry", "k=a \\\n  b\nc=1\n", "k", "v", "k=v\nc=1\n"},
        {"KeyOnContinuationLineIsNotAnEntry", "a=x\\\nk=y\n", "k", "v", "a=x\\\nk=y\nk=v\n"},
        {"EvenBackslashesDoNotContinue", "a=x\\\\\nk=y\n", "k", "v", "a=x\\\\\nk=v\n"},
        {"OpenContinuationAtEndIsClosedBeforeAppend", "a=x\\\n", "k", "v", "a=x\\\n\nk=v\n"},
        {"CommentEndingInBackslashDoesNotContinue", "# note \\\nk=y\n", "k", "v",
         "# note \\\nk=v\n"},
        {"LoneCarriageReturnsEndLines", "a=1\rk=old\rb=2", "k", "v", "a=1\rk=v\rb=2"},
        {"LoneCarriageReturnForAppendedPair", "a=1\r", "k", "v", "a=1\rk=v\r"},
        {"BackslashBeforeFinalCarriageReturnContinues", "a=x \\\r", "k", "v", "a=x \\\r\rk=v\r"},
        {"PairAfterFinalLoneCarriageReturnKeepsItsStyle", "a=1\nb=2\r", "k", "v",
         "a=1\nb=2\rk=v\r"},
        {"NulBytesSurvive", std::string("a=\0x\nk=1\n", 10), "k", "v",
         std::string("a=\0x\nk=v\n", 10)},
        // Each fault of the old regular-expression editor, pinned.
        {"FaultDotsInKeyMatchOnlyDots", "hadoop_log_dir=x\n", "hadoop.log.dir", "/l",
         "hadoop_log_dir=x\nhadoop.log.dir=/l\n"},
        {"FaultKeyInsideLongerKeyIsNotMatched", "hadoop.log.dir=x\n", "log.dir", "/l",
         "hadoop.log.dir=x\nlog.dir=/l\n"},
        {"FaultLongerKeyStartingWithKeyIsNotMatched", "log.dir.extra=x\n", "log.dir", "/l",
         "log.dir.extra=x\nlog.dir=/l\n"},
        {"FaultDollarSequencesInValueAreLiteral", "k=old\n", "k", "$& $1 $$ $` $'",
         "k=$& $1 $$ $` $'\n"},
        {"FaultAppendedPairIsNotGluedToLastLine", "a=1", "k", "v", "a=1\nk=v\n"},
        {"FaultBlanksAroundSeparatorAreMatched", "k = old\nk\t:old\n", "k", "v", "k=v\nk=v\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(props::SetProperty(c.content, c.key, c.value), c.expected) << c.name;
}

TEST(PropertyEditor, InvalidKeysAndValuesAreRecognised) {
    for (const char* key : {"", "a b", "a=b", "a:b", "a\nb", "#a", "!a", "a\\b", " a"})
        EXPECT_FALSE(props::IsValidKey(key)) << key;
    EXPECT_TRUE(props::IsValidKey("log4j.appender.RFA.File"));
    for (const char* value : {"a\nb", "a\rb", "ends\\"})
        EXPECT_FALSE(props::IsValidValue(value));
    EXPECT_TRUE(props::IsValidValue("C:\\\\"));
    EXPECT_TRUE(props::IsValidValue("INFO, RFA"));
}

// ----------------------------------------------------------------------------------------------
// The editor on files

class PropertyFileTest : public ::testing::Test {
  protected:
    std::string Path() const { return m_dir / "log4j.properties"; }
    TempDir m_dir;
};

TEST_F(PropertyFileTest, FailuresAreErrorsAndLeaveTheFileAsItWas) {
    CEkError err = AddOrUpdateFieldInConfigFile(Path(), "k", "v");
    ASSERT_TRUE(err.Failed());
    EXPECT_EQ(err.Code(), ENOENT);
    EXPECT_EQ(err.Frames().back().message, ErrnoMessage("cannot open " + Path(), ENOENT));
    EXPECT_FALSE(std::filesystem::exists(Path()));  // a missing file is not created

    WriteFile(Path(), "a=1\n");
    const struct {
        const char* key;
        const char* value;
        const char* message;
    } cases[] = {{"a b", "v", "Invalid property key 'a b'"},
                 {"a", "x\nevil=1", "Invalid property value for 'a'"}};
    for (const auto& c : cases) {
        ExpectError(AddOrUpdateFieldInConfigFile(Path(), c.key, c.value), EINVAL,
                    ErrnoMessage(c.message, EINVAL));
        EXPECT_EQ(ReadFile(Path()), "a=1\n");
    }

    ASSERT_EQ(chmod(Path().c_str(), 0444), 0);
    ExpectError(AddOrUpdateFieldInConfigFile(Path(), "a", "new"), EACCES,
                ErrnoMessage("'" + Path() + "' is read-only", EACCES));
    EXPECT_EQ(ReadFile(Path()), "a=1\n");
}

TEST_F(PropertyFileTest, FileIsReplacedNotTruncatedInPlaceAndKeepsItsMode) {
    // A second name for the old file keeps the old content only when the new content went to a
    // new file renamed over it: a crash can then never leave a truncated file behind.
    WriteFile(Path(), "a=1\nk=old\n", 0640);
    ASSERT_EQ(link(Path().c_str(), (m_dir / "old").c_str()), 0);
    ASSERT_TRUE(AddOrUpdateFieldInConfigFile(Path(), "k", "new").Succeeded());
    EXPECT_EQ(ReadFile(Path()), "a=1\nk=new\n");
    EXPECT_EQ(ReadFile(m_dir / "old"), "a=1\nk=old\n");
    struct stat st;
    ASSERT_EQ(stat(Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    auto entries = std::distance(std::filesystem::directory_iterator(m_dir.path()), {});
    EXPECT_EQ(entries, 2) << "a temporary file was left behind";
}

TEST_F(PropertyFileTest, SymbolicLinkSurvivesAndTargetIsEdited) {
    WriteFile(m_dir / "real.properties", "k=old\n");
    ASSERT_EQ(symlink("real.properties", Path().c_str()), 0);
    ASSERT_TRUE(AddOrUpdateFieldInConfigFile(Path(), "k", "new").Succeeded());
    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_EQ(ReadFile(m_dir / "real.properties"), "k=new\n");
}

// ----------------------------------------------------------------------------------------------
// Native logging

class NativeLoggingTest : public FreshSettings {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(m_dir / "conf");
        std::filesystem::create_directories(m_dir / "log");
        g_ptrLogWriter->Reconfigure();  // log lines go to this test's log directory
    }
    std::string Template() const { return m_dir / "dxjars/dxhadoopnativelog4j.properties"; }
    std::string Installed() const { return m_dir / "conf/log4j.properties"; }
    std::string ConfDir() const { return m_dir / "conf"; }
    std::string LogDir() const { return m_dir / "log"; }
    static void SetMTime(const std::string& path, time_t when) {
        struct timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }

    ScopedEnv m_logDir{"HDFSAGENT_LOG_DIR", m_dir / "log"};
};

TEST_F(NativeLoggingTest, EmptyDirectoryOrNoInstalledFileLeavesEverythingAlone) {
    EXPECT_TRUE(EnableNativeHadoopLogging("").Succeeded());
    EXPECT_TRUE(ResetNativeHadoopLogLevel("").Succeeded());
    ASSERT_TRUE(ResetNativeHadoopLogLevel(ConfDir()).Succeeded());
    EXPECT_FALSE(std::filesystem::exists(Installed()));
}

// The template is installed when the file is missing or older, never when it is as old or newer;
// the installed file then points at the log directory.
TEST_F(NativeLoggingTest, TemplateIsCopiedByFileTime) {
    WriteFile(Template(), "hadoop.root.logger=INFO, RFA\nhadoop.log.dir=.\nx=1\n");
    ASSERT_TRUE(EnableNativeHadoopLogging(ConfDir()).Succeeded());
    EXPECT_EQ(ReadFile(Installed()),
              "hadoop.root.logger=INFO, RFA\nhadoop.log.dir=" + LogDir() + "\nx=1\n");

    const std::string logDirLine = "hadoop.log.dir=" + LogDir() + "\n";
    WriteFile(Template(), "new=1\n");
    const struct {
        time_t templateTime;
        std::string expected;
    } cases[] = {{999999, "old=1\n" + logDirLine},
                 {1000000, "old=1\n" + logDirLine},
                 {1000001, "new=1\n" + logDirLine}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.templateTime);
        WriteFile(Installed(), "old=1\n");
        SetMTime(Installed(), 1000000);
        SetMTime(Template(), c.templateTime);
        ASSERT_TRUE(EnableNativeHadoopLogging(ConfDir()).Succeeded());
        EXPECT_EQ(ReadFile(Installed()), c.expected);
    }
}

TEST_F(NativeLoggingTest, UnreadableTemplateTimeKeepsInstalledFile) {
    WriteFile(Installed(), "tuned=1\n");  // no template at all: its time cannot be read
    ASSERT_TRUE(EnableNativeHadoopLogging(ConfDir()).Succeeded());
    EXPECT_EQ(ReadFile(Installed()), "tuned=1\nhadoop.log.dir=" + LogDir() + "\n");
    EXPECT_THAT(ReadFile(LogDir() + "/hdfsagent.log"),
                ::testing::HasSubstr("Keeping '" + Installed() +
                                     "': cannot read the modification time of '" + Template() +
                                     "'. error 2: cannot stat " + Template()));
}

TEST_F(NativeLoggingTest, CopyAndEditFailuresAreReported) {
    CEkError err = EnableNativeHadoopLogging(ConfDir());
    ExpectError(err, ENOENT, "Failed to copy '" + Template() + "' to '" + Installed() + "'");
    EXPECT_FALSE(std::filesystem::exists(Installed()));

    WriteFile(Installed(), "hadoop.root.logger=WARN\n", 0444);
    WriteFile(Template(), "new=1\n");
    SetMTime(Template(), 1000);  // older: no copy, the read-only file stays
    ExpectError(EnableNativeHadoopLogging(ConfDir()), EACCES,
                "Failed to update log directory in config file");
    ExpectError(ResetNativeHadoopLogLevel(ConfDir()), EACCES,
                "Failed to update log file in config file");
    EXPECT_EQ(ReadFile(Installed()), "hadoop.root.logger=WARN\n");
}

TEST_F(NativeLoggingTest, LevelSettingSetsRootLogger) {
    const struct {
        const char *setting, *expected;
    } cases[] = {{"", "INFO, RFA"},
                 {"[EventManager]\nDxHadoopNative_DEBUGLEVEL=0\n", "INFO, RFA"},
                 {"[EventManager]\nDxHadoopNative_DEBUGLEVEL=1\n", "DEBUG, RFA"},
                 {"[EventManager]\nDxHadoopNative_DEBUGLEVEL=2\n", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        WriteSettings(c.setting);
        WriteFile(Installed(), "hadoop.root.logger=WARN, console\nhadoop.log.dir=/l\n");
        ASSERT_TRUE(ResetNativeHadoopLogLevel(ConfDir()).Succeeded());
        EXPECT_EQ(ReadFile(Installed()),
                  std::string("hadoop.root.logger=") + c.expected + "\nhadoop.log.dir=/l\n");
    }
}

}  // namespace
