// The server message container and the instance message files: the Hadoop configuration layout
// read through the accessors, every malformed text refused with its place named, and the
// message file of an instance in the product home.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "host/Message.h"
#include "support/ErrorChecks.h"
#include "support/TestSupport.h"

using testsupport::ExpectError;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// The accessors as the instance loader calls them.
std::list<CNMessageBase> Entries(const CNMessageBase& message) {
    return message.getlistobject(1, 1, 519790567, 13622503, false);
}
int64_t Selector(const CNMessageBase& entry) {
    return entry.getint64(1, 505061676, 4122401);
}
std::string Field2(const CNMessageBase& entry) {
    return entry.getstring(2, 2, 505061676, 15640593);
}
std::string Field4(const CNMessageBase& entry) {
    return entry.getstring(4, 7, 505061676, 16031284);
}
std::string NativeLibPath(const CNMessageBase& entry) {
    return entry.getstring(8, 14, 505061676, 7992298);
}
std::string JvmLibPath(const CNMessageBase& entry) {
    return entry.getstring(9, 18, 505061676, 15033449);
}

CNMessageBase HadoopConfig() {
    return CNMessageBase(30, 562);
}

}  // namespace

TEST(HostMessage, EveryFieldOfEveryEntryIsAnswered) {
    CNMessageBase message = HadoopConfig();
    ASSERT_EQ(0, message.unserialize(R"({"entries": [
        {"selector": 0, "configField2": "a", "hadoopNativeLibPath": "/n0"},
        {"selector": 1, "configField2": "cluster", "configField4": "hdp",
         "hadoopNativeLibPath": "/opt/hadoop/lib/native", "jvmLibPath": "/jdk/lib/server"}]})"));
    EXPECT_EQ("", message.GetLastError());
    std::list<CNMessageBase> entries = Entries(message);
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(0, Selector(entries.front()));
    EXPECT_EQ("/n0", NativeLibPath(entries.front()));
    const CNMessageBase& second = entries.back();
    EXPECT_EQ(1, Selector(second));
    EXPECT_EQ("cluster", Field2(second));
    EXPECT_EQ("hdp", Field4(second));
    EXPECT_EQ("/opt/hadoop/lib/native", NativeLibPath(second));
    EXPECT_EQ("/jdk/lib/server", JvmLibPath(second));
}

TEST(HostMessage, AbsentNullAndUnknownMembersReadAsEmpty) {
    CNMessageBase message = HadoopConfig();
    ASSERT_EQ(0, message.unserialize(
                     R"({"comment": [1, {"x": null}],
                         "entries": [{"selector": null, "jvmLibPath": null, "extra": 5}]})"));
    std::list<CNMessageBase> entries = Entries(message);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(0, Selector(entries.front()));
    EXPECT_EQ("", JvmLibPath(entries.front()));
    EXPECT_EQ("", Field2(entries.front()));

    ASSERT_EQ(0, message.unserialize("{}"));
    EXPECT_TRUE(Entries(message).empty());
    ASSERT_EQ(0, message.unserialize(R"({"entries": null})"));
    EXPECT_TRUE(Entries(message).empty());
}

TEST(HostMessage, SelectorSpansTheSigned64BitRange) {
    CNMessageBase message = HadoopConfig();
    ASSERT_EQ(0, message.unserialize(R"({"entries": [{"selector": 9223372036854775807},
                                                     {"selector": -9223372036854775808}]})"));
    std::list<CNMessageBase> entries = Entries(message);
    EXPECT_EQ(INT64_MAX, Selector(entries.front()));
    EXPECT_EQ(INT64_MIN, Selector(entries.back()));
}

TEST(HostMessage, EntriesOutliveTheirMessage) {
    std::list<CNMessageBase> entries;
    {
        CNMessageBase message = HadoopConfig();
        ASSERT_EQ(0, message.unserialize(R"({"entries": [{"selector": 1, "jvmLibPath": "/j"}]})"));
        entries = Entries(message);
    }
    EXPECT_EQ("/j", JvmLibPath(entries.front()));
}

TEST(HostMessage, UnknownMessageLayoutIsRefused) {
    CNMessageBase message(30, 563);
    EXPECT_EQ(ENOTSUP, message.unserialize("{}"));
    EXPECT_EQ("unknown message layout", message.GetLastError());
}

TEST(HostMessage, FailedUnserializeForgetsTheEarlierMessage) {
    CNMessageBase message = HadoopConfig();
    ASSERT_EQ(0, message.unserialize(R"({"entries": [{"selector": 1}]})"));
    EXPECT_EQ(EINVAL, message.unserialize("{"));
    EXPECT_TRUE(Entries(message).empty());
}

struct MalformedCase {
    const char* name;
    std::string text;
    std::string fault;
};

class MalformedMessage : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedMessage, IsRefusedWithItsPlace) {
    CNMessageBase message = HadoopConfig();
    EXPECT_EQ(EINVAL, message.unserialize(GetParam().text));
    EXPECT_EQ(GetParam().fault, message.GetLastError());
    EXPECT_TRUE(Entries(message).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MalformedMessage,
    ::testing::Values(
        MalformedCase{"Empty", "", "not valid JSON"},
        MalformedCase{"Blanks", " \n\t", "not valid JSON"},
        MalformedCase{"NotJson", "selector=1", "not valid JSON"},
        MalformedCase{"Truncated", R"({"entries": [{"selector": 1})", "not valid JSON"},
        MalformedCase{"TrailingText", R"({} {})", "not valid JSON"},
        MalformedCase{"InvalidUtf8", "{\"entries\": [{\"jvmLibPath\": \"\xff\"}]}",
                      "not valid JSON"},
        MalformedCase{"TopLevelArray", "[]", "the message: not a JSON object"},
        MalformedCase{"TopLevelString", R"("entries")", "the message: not a JSON object"},
        MalformedCase{"EntriesAnObject", R"({"entries": {"selector": 1}})",
                      "entries: not a JSON array"},
        MalformedCase{"EntryANumber", R"({"entries": [{"selector": 1}, 1]})",
                      "entries[1]: not a JSON object"},
        MalformedCase{"SelectorText", R"({"entries": [{"selector": "1"}]})",
                      "entries[0].selector: not an integer within the signed 64-bit range"},
        MalformedCase{"SelectorFraction", R"({"entries": [{"selector": 1.0}]})",
                      "entries[0].selector: not an integer within the signed 64-bit range"},
        MalformedCase{"SelectorTooLarge", R"({"entries": [{"selector": 9223372036854775808}]})",
                      "entries[0].selector: not an integer within the signed 64-bit range"},
        MalformedCase{"SelectorBoolean", R"({"entries": [{"selector": true}]})",
                      "entries[0].selector: not an integer within the signed 64-bit range"},
        MalformedCase{"PathANumber", R"({"entries": [{"hadoopNativeLibPath": 7}]})",
                      "entries[0].hadoopNativeLibPath: not a string"},
        MalformedCase{"PathWithNul", R"({"entries": [{"jvmLibPath": "/a\u0000b"}]})",
                      "entries[0].jvmLibPath: holds a NUL character"}),
    [](const ::testing::TestParamInfo<MalformedCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Instance message files

class InstanceMessageFile : public ::testing::Test {
  protected:
    std::string MessagePath(const std::string& name) const { return m_home / "instances/" + name; }

    TempDir m_home;
    ScopedEnv m_env{"HDFSAGENT_HOME", m_home.path()};
    ScopedEnv m_log{"HDFSAGENT_LOG_STDERR", "1"};
};

TEST_F(InstanceMessageFile, TextOfTheInstanceFileInTheProductHome) {
    WriteFile(MessagePath("42.json"), R"({"entries": []})");
    WriteFile(MessagePath("4.json"), "another instance");
    std::string text = "stale", path;
    ASSERT_TRUE(HadoopInstance(42).getHadoopConfig(text, &path).Succeeded());
    EXPECT_EQ(R"({"entries": []})", text);
    EXPECT_EQ(MessagePath("42.json"), path);
    EXPECT_EQ(MessagePath("42.json"), HadoopInstance(42).GetMessagePath());
}

TEST_F(InstanceMessageFile, MissingFileGivesEmptyTextAndOpenError) {
    std::string text = "stale";
    CEkError error = HadoopInstance(7).getHadoopConfig(text, nullptr);
    ExpectError(error, ENOENT,
                "cannot open " + MessagePath("7.json") + ": No such file or directory");
    EXPECT_EQ("", text);
}

TEST_F(InstanceMessageFile, DirectoryIsNoMessage) {
    ASSERT_EQ(0, mkdir((m_home / "instances").c_str(), 0755));
    ASSERT_EQ(0, mkdir(MessagePath("7.json").c_str(), 0755));
    std::string text;
    CEkError error = HadoopInstance(7).getHadoopConfig(text, nullptr);
    ExpectError(error, EINVAL, MessagePath("7.json") + " is not a regular file: Invalid argument");
}

TEST_F(InstanceMessageFile, OversizedFileIsRefusedUnread) {
    WriteFile(MessagePath("7.json"), std::string((1 << 20) + 1, ' '));
    std::string text;
    CEkError error = HadoopInstance(7).getHadoopConfig(text, nullptr);
    ExpectError(error, EFBIG,
                MessagePath("7.json") + " is larger than 1048576 bytes: File too large");
    EXPECT_EQ("", text);
}
