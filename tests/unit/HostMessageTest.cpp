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
    std::list<CNMessageBase> entries;
    {
        CNMessageBase message = HadoopConfig();
        ASSERT_EQ(0, message.unserialize(R"({"entries": [
            {"selector": 0, "configField2": "a", "hadoopNativeLibPath": "/n0"},
            {"selector": 1, "configField2": "cluster", "configField4": "hdp",
             "hadoopNativeLibPath": "/opt/hadoop/lib/native", "jvmLibPath": "/jdk/lib/server"},
            {"selector": 9223372036854775807}, {"selector": -9223372036854775808}]})"));
        EXPECT_EQ("", message.GetLastError());
        entries = Entries(message);
    }  // the entries outlive their message
    ASSERT_EQ(4u, entries.size());
    auto entry = entries.begin();
    EXPECT_EQ(0, Selector(*entry));
    EXPECT_EQ("/n0", NativeLibPath(*entry));
    ++entry;
    EXPECT_EQ(1, Selector(*entry));
    EXPECT_EQ("cluster", Field2(*entry));
    EXPECT_EQ("hdp", Field4(*entry));
    EXPECT_EQ("/opt/hadoop/lib/native", NativeLibPath(*entry));
    EXPECT_EQ("/jdk/lib/server", JvmLibPath(*entry));
    EXPECT_EQ(INT64_MAX, Selector(*++entry));  // the signed 64-bit range
    EXPECT_EQ(INT64_MIN, Selector(*++entry));
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

// Each is refused with its place named, and the message held before is forgotten; a layout
// other than the Hadoop configuration is refused.
TEST(HostMessage, MalformedTextOrUnknownLayoutIsRefused) {
    const std::string notInteger = "not an integer within the signed 64-bit range";
    const struct {
        std::string text, fault;
    } cases[] = {
        {"", "not valid JSON"},
        {" \n\t", "not valid JSON"},
        {"selector=1", "not valid JSON"},
        {R"({"entries": [{"selector": 1})", "not valid JSON"},  // truncated
        {R"({} {})", "not valid JSON"},
        {"{\"entries\": [{\"jvmLibPath\": \"\xff\"}]}", "not valid JSON"},  // invalid UTF-8
        {"[]", "the message: not a JSON object"},
        {R"("entries")", "the message: not a JSON object"},
        {R"({"entries": {"selector": 1}})", "entries: not a JSON array"},
        {R"({"entries": [{"selector": 1}, 1]})", "entries[1]: not a JSON object"},
        {R"({"entries": [{"selector": "1"}]})", "entries[0].selector: " + notInteger},
        {R"({"entries": [{"selector": 1.0}]})", "entries[0].selector: " + notInteger},
        {R"({"entries": [{"selector": 9223372036854775808}]})",
         "entries[0].selector: " + notInteger},
        {R"({"entries": [{"selector": true}]})", "entries[0].selector: " + notInteger},
        {R"({"entries": [{"hadoopNativeLibPath": 7}]})",
         "entries[0].hadoopNativeLibPath: not a string"},
        {R"({"entries": [{"jvmLibPath": "/a\u0000b"}]})",
         "entries[0].jvmLibPath: holds a NUL character"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CNMessageBase message = HadoopConfig();
        ASSERT_EQ(0, message.unserialize(R"({"entries": [{"selector": 1}]})"));
        EXPECT_EQ(EINVAL, message.unserialize(c.text));
        EXPECT_EQ(c.fault, message.GetLastError());
        EXPECT_TRUE(Entries(message).empty());
    }
    CNMessageBase unknown(30, 563);
    EXPECT_EQ(ENOTSUP, unknown.unserialize("{}"));
    EXPECT_EQ("unknown message layout", unknown.GetLastError());
}

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

TEST_F(InstanceMessageFile, MissingDirectoryOrOversizedFileGivesAnErrorAndEmptyText) {
    ASSERT_EQ(0, mkdir((m_home / "instances").c_str(), 0755));
    ASSERT_EQ(0, mkdir(MessagePath("8.json").c_str(), 0755));
    WriteFile(MessagePath("9.json"), std::string((1 << 20) + 1, ' '));  // refused unread
    const struct {
        int id, code;
        std::string message;
    } cases[] = {
        {7, ENOENT, "cannot open " + MessagePath("7.json") + ": No such file or directory"},
        {8, EINVAL, MessagePath("8.json") + " is not a regular file: Invalid argument"},
        {9, EFBIG, MessagePath("9.json") + " is larger than 1048576 bytes: File too large"},
    };
    for (const auto& c : cases) {
        std::string text = "stale";
        ExpectError(HadoopInstance(c.id).getHadoopConfig(text, nullptr), c.code, c.message);
        EXPECT_EQ("", text);
    }
}
