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
class SettingsTest : public ::testing::Test {
  protected:
    void WriteSettings(const std::string& text) { WriteFile(m_dir / "settings.ini", text); }

    TempDir m_dir;
    ScopedEnv m_settings{"HDFSAGENT_SETTINGS", m_dir / "settings.ini"};
    ScopedEnv m_home{"HDFSAGENT_HOME", m_dir.path()};
};

// ----------------------------------------------------------------------------------------------
// Command lines

using CommandLineTest = SettingsTest;

TEST_F(CommandLineTest, BareNameWhenNoBinDirectoryIsConfigured) {
    EXPECT_EQ(GetHadoopCommand("hadoop"), "hadoop");
    EXPECT_EQ(GetHBaseCommand("hbase"), "hbase");
    WriteSettings("[FileSystemAgent]\nsHadoopBinPath=\nsHBaseBinPath=\n");
    EXPECT_EQ(GetHadoopCommand("hdfs"), "hdfs");
    EXPECT_EQ(GetHBaseCommand("hbase"), "hbase");
}

TEST_F(CommandLineTest, ConfiguredDirectoryIsJoinedWithOneSlash) {
    WriteSettings("[FileSystemAgent]\nsHadoopBinPath=/opt/hadoop-3.3/bin\n");
    EXPECT_EQ(GetHadoopCommand("hadoop"), "/opt/hadoop-3.3/bin/hadoop");
    WriteSettings("[FileSystemAgent]\nsHadoopBinPath=/opt/hadoop-3.3/bin/\n");
    EXPECT_EQ(GetHadoopCommand("hdp-select"), "/opt/hadoop-3.3/bin/hdp-select");
}

TEST_F(CommandLineTest, HBaseDirectoryIsIndependentOfHadoopDirectory) {
    WriteSettings("[FileSystemAgent]\nsHadoopBinPath=/opt/hadoop/bin\n");
    EXPECT_EQ(GetHBaseCommand("hbase"), "hbase");
    WriteSettings("[FileSystemAgent]\nsHBaseBinPath=/opt/hbase/bin\n");
    EXPECT_EQ(GetHBaseCommand("hbase"), "/opt/hbase/bin/hbase");
    EXPECT_EQ(GetHadoopCommand("hadoop"), "hadoop");
}

TEST_F(CommandLineTest, SettingChangeTakesEffectOnNextCall) {
    WriteSettings("[FileSystemAgent]\nsHadoopBinPath=/a\n");
    EXPECT_EQ(GetHadoopCommand("hadoop"), "/a/hadoop");
    WriteSettings("[FileSystemAgent]\nsHadoopBinPath=/b\n");
    EXPECT_EQ(GetHadoopCommand("hadoop"), "/b/hadoop");
}

// A bin directory with characters the shell interprets used to give a broken or dangerous
// command line; the program is now quoted in that case only.
struct QuotedCase {
    const char* directory;
    const char* expected;
};

class BinDirectoryWithShellCharactersIsQuoted : public SettingsTest,
                                                public ::testing::WithParamInterface<QuotedCase> {};

TEST_P(BinDirectoryWithShellCharactersIsQuoted, ForHadoopAndHBase) {
    WriteSettings(std::string("[FileSystemAgent]\nsHadoopBinPath=") + GetParam().directory +
                  "\nsHBaseBinPath=" + GetParam().directory + "\n");
    EXPECT_EQ(GetHadoopCommand("hadoop"), std::string(GetParam().expected) + "hadoop'");
    EXPECT_EQ(GetHBaseCommand("hbase"), std::string(GetParam().expected) + "hbase'");
}

INSTANTIATE_TEST_SUITE_P(Characters, BinDirectoryWithShellCharactersIsQuoted,
                         ::testing::Values(QuotedCase{"/opt/my hadoop/bin", "'/opt/my hadoop/bin/"},
                                           QuotedCase{"/opt/x;rm -rf y", "'/opt/x;rm -rf y/"},
                                           QuotedCase{"/opt/$HOME/bin", "'/opt/$HOME/bin/"},
                                           QuotedCase{"/opt/it's", "'/opt/it'\\''s/"},
                                           QuotedCase{"/opt/`id`", "'/opt/`id`/"}));

// ----------------------------------------------------------------------------------------------
// The editor as a text transformation

namespace props = hdfsagent::properties;

struct EditCase {
    const char* name;
    std::string content;
    std::string key;
    std::string value;
    std::string expected;
};

class PropertyEdit : public ::testing::TestWithParam<EditCase> {};

TEST_P(PropertyEdit, GivesExpectedContent) {
    const EditCase& c = GetParam();
    EXPECT_EQ(props::SetProperty(c.content, c.key, c.value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PropertyEdit,
    ::testing::Values(
        EditCase{"AbsentKeyAppendedAfterLastLine", "a=1\n", "k", "v", "a=1\nk=v\n"},
        EditCase{"AbsentKeyInEmptyFile", "", "k", "v", "k=v\n"},
        EditCase{"PresentKeyReplaced", "a=1\nk=old\nb=2\n", "k", "new", "a=1\nk=new\nb=2\n"},
        EditCase{"PresentTwiceBothReplaced", "k=1\nx=y\nk=2\n", "k", "v", "k=v\nx=y\nk=v\n"},
        EditCase{"LastLineWithoutNewlineReplaced", "a=1\nk=old", "k", "v", "a=1\nk=v\n"},
        EditCase{"LeadingBlanksAllowed", "  \tk=old\n", "k", "v", "k=v\n"},
        EditCase{"ColonSeparator", "k: old\n", "k", "v", "k=v\n"},
        EditCase{"EmptyValue", "k=old\n", "k", "", "k=\n"},
        EditCase{"EmptyOldValue", "k=\n", "k", "v", "k=v\n"},
        EditCase{"KeyInCommentOnlyIsAppended", "# k=old\n! k=old\n", "k", "v",
                 "# k=old\n! k=old\nk=v\n"},
        EditCase{"KeyWithoutSeparatorIsNotAnEntry", "k value\n", "k", "v", "k value\nk=v\n"},
        EditCase{"WindowsLineEndsKept", "a=1\r\nk=old\r\nb=2\r\n", "k", "v",
                 "a=1\r\nk=v\r\nb=2\r\n"},
        EditCase{"WindowsLineEndsForAppendedPair", "a=1\r\n", "k", "v", "a=1\r\nk=v\r\n"},
        EditCase{"ContinuationLinesBelongToReplacedEntry", "k=a \\\n  b\nc=1\n", "k", "v",
                 "k=v\nc=1\n"},
        EditCase{"KeyOnContinuationLineIsNotAnEntry", "a=x\\\nk=y\n", "k", "v",
                 "a=x\\\nk=y\nk=v\n"},
        EditCase{"EvenBackslashesDoNotContinue", "a=x\\\\\nk=y\n", "k", "v", "a=x\\\\\nk=v\n"},
        EditCase{"OpenContinuationAtEndIsClosedBeforeAppend", "a=x\\\n", "k", "v",
                 "a=x\\\n\nk=v\n"},
        EditCase{"CommentEndingInBackslashDoesNotContinue", "# note \\\nk=y\n", "k", "v",
                 "# note \\\nk=v\n"},
        EditCase{"LoneCarriageReturnsEndLines", "a=1\rk=old\rb=2", "k", "v", "a=1\rk=v\rb=2"},
        EditCase{"LoneCarriageReturnForAppendedPair", "a=1\r", "k", "v", "a=1\rk=v\r"},
        EditCase{"BackslashBeforeFinalCarriageReturnContinues", "a=x \\\r", "k", "v",
                 "a=x \\\r\rk=v\r"},
        EditCase{"PairAfterFinalLoneCarriageReturnKeepsItsStyle", "a=1\nb=2\r", "k", "v",
                 "a=1\nb=2\rk=v\r"},
        EditCase{"NulBytesSurvive", std::string("a=\0x\nk=1\n", 10), "k", "v",
                 std::string("a=\0x\nk=v\n", 10)},
        // Each fault of the old regular-expression editor, pinned.
        EditCase{"FaultDotsInKeyMatchOnlyDots", "hadoop_log_dir=x\n", "hadoop.log.dir", "/l",
                 "hadoop_log_dir=x\nhadoop.log.dir=/l\n"},
        EditCase{"FaultKeyInsideLongerKeyIsNotMatched", "hadoop.log.dir=x\n", "log.dir", "/l",
                 "hadoop.log.dir=x\nlog.dir=/l\n"},
        EditCase{"FaultLongerKeyStartingWithKeyIsNotMatched", "log.dir.extra=x\n", "log.dir", "/l",
                 "log.dir.extra=x\nlog.dir=/l\n"},
        EditCase{"FaultDollarSequencesInValueAreLiteral", "k=old\n", "k", "$& $1 $$ $` $'",
                 "k=$& $1 $$ $` $'\n"},
        EditCase{"FaultAppendedPairIsNotGluedToLastLine", "a=1", "k", "v", "a=1\nk=v\n"},
        EditCase{"FaultBlanksAroundSeparatorAreMatched", "k = old\nk\t:old\n", "k", "v",
                 "k=v\nk=v\n"}),
    [](const ::testing::TestParamInfo<EditCase>& info) { return info.param.name; });

TEST(PropertyEditorFaults, InvalidKeysAndValuesAreRecognised) {
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

TEST_F(PropertyFileTest, MissingFileIsAnErrorAndNotCreated) {
    CEkError err = AddOrUpdateFieldInConfigFile(Path(), "k", "v");
    ASSERT_TRUE(err.Failed());
    EXPECT_EQ(err.Code(), ENOENT);
    EXPECT_EQ(err.Frames().back().message, ErrnoMessage("cannot open " + Path(), ENOENT));
    EXPECT_FALSE(std::filesystem::exists(Path()));
}

TEST_F(PropertyFileTest, UpdatesFileAndKeepsItsMode) {
    WriteFile(Path(), "a=1\nk=old\n", 0640);
    ASSERT_TRUE(AddOrUpdateFieldInConfigFile(Path(), "k", "new").Succeeded());
    EXPECT_EQ(ReadFile(Path()), "a=1\nk=new\n");
    struct stat st;
    ASSERT_EQ(stat(Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(PropertyFileTest, FileIsReplacedNotTruncatedInPlace) {
    // A second name for the old file keeps the old content only when the new content went to a
    // new file renamed over it: a crash can then never leave a truncated file behind.
    WriteFile(Path(), "k=old\n");
    ASSERT_EQ(link(Path().c_str(), (m_dir / "old").c_str()), 0);
    ASSERT_TRUE(AddOrUpdateFieldInConfigFile(Path(), "k", "new").Succeeded());
    EXPECT_EQ(ReadFile(Path()), "k=new\n");
    EXPECT_EQ(ReadFile(m_dir / "old"), "k=old\n");
    size_t entries = 0;
    for (auto& entry : std::filesystem::directory_iterator(m_dir.path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 2u) << "a temporary file was left behind";
}

TEST_F(PropertyFileTest, SymbolicLinkSurvivesAndTargetIsEdited) {
    WriteFile(m_dir / "real.properties", "k=old\n");
    ASSERT_EQ(symlink("real.properties", Path().c_str()), 0);
    ASSERT_TRUE(AddOrUpdateFieldInConfigFile(Path(), "k", "new").Succeeded());
    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_EQ(ReadFile(m_dir / "real.properties"), "k=new\n");
}

TEST_F(PropertyFileTest, ReadOnlyFileIsAnErrorAndUnchanged) {
    WriteFile(Path(), "k=old\n", 0444);
    CEkError err = AddOrUpdateFieldInConfigFile(Path(), "k", "new");
    ExpectError(err, EACCES, ErrnoMessage("'" + Path() + "' is read-only", EACCES));
    EXPECT_EQ(ReadFile(Path()), "k=old\n");
}

TEST_F(PropertyFileTest, InvalidKeyOrValueWithLineBreakIsAnErrorAndFileUnchanged) {
    WriteFile(Path(), "a=1\n");
    const struct {
        const char* key;
        const char* value;
        const char* message;
    } cases[] = {{"a b", "v", "Invalid property key 'a b'"},
                 {"a", "x\nevil=1", "Invalid property value for 'a'"}};
    for (const auto& c : cases) {
        CEkError err = AddOrUpdateFieldInConfigFile(Path(), c.key, c.value);
        ExpectError(err, EINVAL, ErrnoMessage(c.message, EINVAL));
        EXPECT_EQ(ReadFile(Path()), "a=1\n");
    }
}

// ----------------------------------------------------------------------------------------------
// Native logging

class NativeLoggingTest : public SettingsTest {
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

TEST_F(NativeLoggingTest, EmptyDirectoryDoesNothing) {
    EXPECT_TRUE(EnableNativeHadoopLogging("").Succeeded());
    EXPECT_TRUE(ResetNativeHadoopLogLevel("").Succeeded());
}

TEST_F(NativeLoggingTest, MissingFileIsInstalledAndPointedAtLogDirectory) {
    WriteFile(Template(), "hadoop.root.logger=INFO, RFA\nhadoop.log.dir=.\nx=1\n");
    ASSERT_TRUE(EnableNativeHadoopLogging(ConfDir()).Succeeded());
    EXPECT_EQ(ReadFile(Installed()),
              "hadoop.root.logger=INFO, RFA\nhadoop.log.dir=" + LogDir() + "\nx=1\n");
}

TEST_F(NativeLoggingTest, NewerTemplateReplacesInstalledFile) {
    WriteFile(Installed(), "old=1\n");
    WriteFile(Template(), "new=1\n");
    SetMTime(Installed(), 1000000);
    SetMTime(Template(), 1000001);
    ASSERT_TRUE(EnableNativeHadoopLogging(ConfDir()).Succeeded());
    EXPECT_EQ(ReadFile(Installed()), "new=1\nhadoop.log.dir=" + LogDir() + "\n");
}

TEST_F(NativeLoggingTest, TemplateOlderOrAsOldKeepsInstalledFile) {
    WriteFile(Installed(), "old=1\n");
    WriteFile(Template(), "new=1\n");
    for (time_t templateTime : {time_t(999999), time_t(1000000)}) {
        SetMTime(Installed(), 1000000);
        SetMTime(Template(), templateTime);
        ASSERT_TRUE(EnableNativeHadoopLogging(ConfDir()).Succeeded());
        EXPECT_EQ(ReadFile(Installed()), "old=1\nhadoop.log.dir=" + LogDir() + "\n");
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

TEST_F(NativeLoggingTest, MissingTemplateAndFileIsCopyError) {
    CEkError err = EnableNativeHadoopLogging(ConfDir());
    ExpectError(err, ENOENT, "Failed to copy '" + Template() + "' to '" + Installed() + "'");
    EXPECT_FALSE(std::filesystem::exists(Installed()));
}

TEST_F(NativeLoggingTest, LogDirectoryEditFailureIsReported) {
    WriteFile(Installed(), "a=1\n", 0444);
    WriteFile(Template(), "new=1\n");
    SetMTime(Template(), 1000);  // older: no copy, the read-only file stays
    CEkError err = EnableNativeHadoopLogging(ConfDir());
    ExpectError(err, EACCES, "Failed to update log directory in config file");
}

struct LevelCase {
    const char* setting;
    const char* expected;
};

class NativeLogLevel : public NativeLoggingTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(NativeLogLevel, SetsRootLogger) {
    WriteSettings(GetParam().setting);
    WriteFile(Installed(), "hadoop.root.logger=WARN, console\nhadoop.log.dir=/l\n");
    ASSERT_TRUE(ResetNativeHadoopLogLevel(ConfDir()).Succeeded());
    EXPECT_EQ(ReadFile(Installed()),
              std::string("hadoop.root.logger=") + GetParam().expected + "\nhadoop.log.dir=/l\n");
}

INSTANTIATE_TEST_SUITE_P(
    Levels, NativeLogLevel,
    ::testing::Values(LevelCase{"", "INFO, RFA"},
                      LevelCase{"[EventManager]\nDxHadoopNative_DEBUGLEVEL=0\n", "INFO, RFA"},
                      LevelCase{"[EventManager]\nDxHadoopNative_DEBUGLEVEL=1\n", "DEBUG, RFA"},
                      LevelCase{"[EventManager]\nDxHadoopNative_DEBUGLEVEL=2\n", ""}));

TEST_F(NativeLoggingTest, LevelResetWithoutFileDoesNothing) {
    ASSERT_TRUE(ResetNativeHadoopLogLevel(ConfDir()).Succeeded());
    EXPECT_FALSE(std::filesystem::exists(Installed()));
}

TEST_F(NativeLoggingTest, LevelEditFailureIsReported) {
    WriteFile(Installed(), "hadoop.root.logger=WARN\n", 0444);
    CEkError err = ResetNativeHadoopLogLevel(ConfDir());
    ExpectError(err, EACCES, "Failed to update log file in config file");
    EXPECT_EQ(ReadFile(Installed()), "hadoop.root.logger=WARN\n");
}

TEST(NativeLoggingTemplate, ShippedTemplateHoldsTheEditedKeys) {
    std::string text = ReadFile(std::string(HDFSAGENT_SOURCE_DIR) +
                                "/hadoop/templates/dxhadoopnativelog4j.properties");
    EXPECT_THAT(text, ::testing::HasSubstr("\nhadoop.root.logger=INFO, RFA\n"));
    EXPECT_THAT(text, ::testing::HasSubstr("\nhadoop.log.dir="));
}

}  // namespace
