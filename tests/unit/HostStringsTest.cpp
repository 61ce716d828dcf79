// Strings (FXString), shell quoting and time stamps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <list>
#include <vector>

#include "host/ShellQuote.h"
#include "host/Strings.h"
#include "host/TimeStamp.h"
#include "host/Xml.h"
#include "support/TestSupport.h"

TEST(HostFXString, SplitKeepsEmptyPiecesUnlessAskedAndClearsTheResult) {
    std::vector<std::string> pieces{"stale"};
    EXPECT_EQ(FXString::Split("", "\n", pieces), 0u);
    EXPECT_TRUE(pieces.empty());
    EXPECT_EQ(FXString::Split("/usr/bin/hadoop", "\n", pieces), 1u);
    EXPECT_EQ(pieces, (std::vector<std::string>{"/usr/bin/hadoop"}));
    EXPECT_EQ(FXString::Split("a::b:", ":", pieces), 4u);
    EXPECT_EQ(pieces, (std::vector<std::string>{"a", "", "b", ""}));
    EXPECT_EQ(FXString::Split("a::b:", ":", pieces, 1), 2u);
    EXPECT_EQ(pieces, (std::vector<std::string>{"a", "b"}));
    std::list<std::string> list;  // a delimiter of several characters is matched whole
    EXPECT_EQ(FXString::Split("x, y,z, ", ", ", list), 3u);
    EXPECT_EQ(list, (std::list<std::string>{"x", "y,z", ""}));
}

TEST(HostFXString, Trims) {
    std::string text = " \t value \r\n\n";
    EXPECT_EQ(FXString::TrimRight(text), " \t value");
    EXPECT_EQ(FXString::TrimLeft(text), "value");
    std::string only = " \n ";
    EXPECT_EQ(FXString::Trim(only), "");
    std::string custom = "xxabcxx";
    EXPECT_EQ(FXString::Trim(custom, "x"), "abc");
}

TEST(HostFXString, RemoveAndReplaceLeft) {
    std::string text = "hdfs://nn:8020/data";
    EXPECT_FALSE(FXString::RemoveLeft(text, "file://"));
    EXPECT_EQ(text, "hdfs://nn:8020/data");
    EXPECT_TRUE(FXString::RemoveLeft(text, "hdfs://"));
    EXPECT_EQ(text, "nn:8020/data");
    EXPECT_TRUE(FXString::RemoveRight(text, "/data"));
    EXPECT_FALSE(FXString::RemoveRight(text, "/data"));
    EXPECT_EQ(text, "nn:8020");
    EXPECT_TRUE(FXString::ReplaceLeft(text, "nn", "namenode"));
    EXPECT_EQ(text, "namenode:8020");
    EXPECT_FALSE(FXString::ReplaceLeft(text, "8020", "x"));
    EXPECT_EQ(text, "namenode:8020");
}

TEST(HostFXString, FormatAnyLength) {
    std::string big(5000, 'q');
    EXPECT_EQ(FXString::Format("<%s>%d", big.c_str(), 42), "<" + big + ">42");
    EXPECT_EQ(FXString::Format("%s", ""), "");
}

TEST(HostShellQuote, OrdinaryPiecesStayByteIdentical) {
    for (const char* piece : {"/usr/hdp/current/hadoop-client/bin", "a-b_c.d", "user@REALM.COM",
                              "key=value", "x,y:z", "100%", "+1"}) {
        EXPECT_EQ(ShellQuote(piece), piece);
        EXPECT_FALSE(NeedsShellQuoting(piece));
    }
}

TEST(HostShellQuote, InterpretedCharactersAreQuoted) {
    EXPECT_EQ(ShellQuote(""), "''");
    EXPECT_EQ(ShellQuote("/opt/my dir"), "'/opt/my dir'");
    EXPECT_EQ(ShellQuote("a;rm -rf /"), "'a;rm -rf /'");
    EXPECT_EQ(ShellQuote("$HOME"), "'$HOME'");
    EXPECT_EQ(ShellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(ShellQuote("~"), "'~'");
    EXPECT_TRUE(NeedsShellQuoting("a\nb"));
    EXPECT_TRUE(NeedsShellQuoting("caf\xc3\xa9"));
}

TEST(HostTimeStamp, ConversionsAreExact) {
    EXPECT_EQ(CTimeStamp::FromTimeT(0).Ticks(), 0);
    EXPECT_TRUE(CTimeStamp::FromTimeT(0).IsZero());
    EXPECT_EQ(CTimeStamp::FromTimeT(1).Ticks(), 116444736010000000LL);
    EXPECT_EQ(CTimeStamp::FromTimeT(1700000000).Ticks(), 133444736000000000LL);
    EXPECT_EQ(CTimeStamp::FromTimeT(1700000000).ToTimeT(), 1700000000);
    EXPECT_EQ(CTimeStamp(0).ToTimeT(), 0);
    // A stamp inside a second belongs to that second, also before 1970.
    EXPECT_EQ(CTimeStamp(CTimeStamp::kEpochOffset + 15).ToTimeT(), 0);
    EXPECT_EQ(CTimeStamp(CTimeStamp::kEpochOffset - 15).ToTimeT(), -1);
    EXPECT_LT(CTimeStamp::FromTimeT(10), CTimeStamp::FromTimeT(11));
}

TEST(HostTimeStamp, LocalDateTimeText) {
    testsupport::ScopedEnv tz("TZ", "UTC");
    tzset();
    EXPECT_EQ(CTimeStamp::FromTimeT(1700000000).AsLocalDateTimeString(), "2023-11-14 22:13:20");
    EXPECT_EQ(CTimeStamp().AsLocalDateTimeString(), "");
    testsupport::ScopedEnv berlin("TZ", "Europe/Berlin");
    tzset();
    EXPECT_EQ(CTimeStamp::FromTimeT(1700000000).AsLocalDateTimeString(), "2023-11-14 23:13:20");
}

TEST(HostStrings, MillisecondsFromEnvironmentTakesOnlyAWholeNumber) {
    const char* name = "HDFSAGENT_TEST_MS";
    struct Case {
        const char* text;  // nullptr: unset
        bool taken;
        long value;
    } cases[] = {{nullptr, false, 7}, {"", false, 7},   {"250", true, 250},
                 {"0", true, 0},      {"-5", false, 7}, {"12ms", false, 7},
                 {" 3", false, 7},    {"+3", false, 7}, {"99999999999999999999", false, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(unset)");
        testsupport::ScopedEnv env =
            c.text ? testsupport::ScopedEnv(name, c.text) : testsupport::ScopedEnv::unset(name);
        long value = 7;
        EXPECT_EQ(c.taken, FXMillisecondsFromEnvironment(name, value));
        EXPECT_EQ(c.value, value);
    }
}

// Site files are written with these values; a value holding a quote or an ampersand used to be
// escaped differently by each writer.
TEST(HostStrings, XmlEscapeReplacesTheFiveMarkupCharactersOnly) {
    EXPECT_EQ(FXXmlEscape("a&b <c> \"d\" 'e'"), "a&amp;b &lt;c&gt; &quot;d&quot; &apos;e&apos;");
    EXPECT_EQ(FXXmlEscape("&amp;"), "&amp;amp;");  // escaped once more, never taken as escaped
    const std::string plain = "/keytabs/h\xc3\xa9/x y\t;=";
    EXPECT_EQ(FXXmlEscape(plain), plain);
    EXPECT_EQ(FXXmlEscape(""), "");
}
