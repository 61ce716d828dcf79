// Reading one property out of `hadoop org.apache.hadoop.conf.Configuration` output, the
// configuration fallback of a libhdfs without hdfsConfGetStr.
#include <gtest/gtest.h>

#include <string>

#include "hadoop/HadoopConfig.h"

using HadoopConfig::ExtractConfigurationValue;

namespace {

// The real program prints the merged configuration as XML on one line.
const std::string kOneLine =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?><configuration>"
    "<property><name>dfs.replication</name><value>3</value><final>false</final>"
    "<source>hdfs-default.xml</source></property>"
    "<property><name>fs.defaultFS</name><value>hdfs://nn.example:8020</value>"
    "<final>false</final><source>core-site.xml</source></property>"
    "<property><name>fs.defaultFS.extra</name><value>wrong</value></property>"
    "<property><name>hadoop.security.authentication</name><value>kerberos</value>"
    "</property></configuration>\n";

std::string Value(const std::string& output, const std::string& key, bool* found = nullptr) {
    std::string value = "stale";
    bool ok = ExtractConfigurationValue(output, key, value);
    if (found)
        *found = ok;
    return value;
}

}  // namespace

TEST(ConfigurationOutput, ConfigurationFallbackTakesValueOfNamedPropertyNotFirstValue) {
    // The whole configuration on one line: the first <value> belongs to dfs.replication.
    EXPECT_EQ("hdfs://nn.example:8020", Value(kOneLine, "fs.defaultFS"));
    EXPECT_EQ("kerberos", Value(kOneLine, "hadoop.security.authentication"));
    EXPECT_EQ("3", Value(kOneLine, "dfs.replication"));
}

struct OutputCase {
    const char* name;
    std::string output;
    const char* key;
    const char* value;  // "" with found false: not found
    bool found;
};

class ConfigurationOutputCases : public ::testing::TestWithParam<OutputCase> {};

TEST_P(ConfigurationOutputCases, GiveTheNamedPropertysValue) {
    bool found = !GetParam().found;
    EXPECT_EQ(GetParam().value, Value(GetParam().output, GetParam().key, &found));
    EXPECT_EQ(GetParam().found, found);
}

const char kNoValueThenOther[] =
    "<property><name>k</name></property><property><name>j</name><value>other</value></property>";
const char kOtherThenNoValue[] =
    "<property><name>j</name><value>other</value></property><property><name>k</name></property>";

INSTANTIATE_TEST_SUITE_P(
    Outputs, ConfigurationOutputCases,
    ::testing::Values(
        OutputCase{"LongerNameIsItsOwnProperty", kOneLine, "fs.defaultFS.extra", "wrong", true},
        OutputCase{"PrefixOfANameIsNotMatched", kOneLine, "fs.default", "", false},
        OutputCase{"NamesAreCaseSensitive", kOneLine, "FS.DEFAULTFS", "", false},
        OutputCase{"EmptyNameIsNotMatched", kOneLine, "", "", false},
        OutputCase{"OnePropertyPerLine",
                   "<property><name>fs.defaultFS</name><value>hdfs://a:1</value></property>\n"
                   "<property><name>dfs.blocksize</name><value>1048576</value></property>\n",
                   "dfs.blocksize", "1048576", true},
        OutputCase{"EmptyValue", "<property><name>k</name><value></value></property>", "k", "",
                   true},
        OutputCase{"SelfClosingValue", "<property><name>k</name><value/></property>", "k", "",
                   true},
        OutputCase{"NextPropertysValueIsNeverTaken", kNoValueThenOther, "k", "", false},
        OutputCase{"PreviousPropertysValueIsNeverTaken", kOtherThenNoValue, "k", "", false},
        OutputCase{"ValueBeforeNameInsideItsProperty",
                   "<property><value>v</value><name>k</name></property>", "k", "v", true},
        OutputCase{"ClosingTagBeforeOpeningTagGivesNothing",
                   "</value><property><name>k</name><value>v", "k", "", false},
        OutputCase{"FirstOfRepeatedPropertiesWins",
                   "<property><name>k</name><value>one</value></property>"
                   "<property><name>k</name><value>two</value></property>",
                   "k", "one", true}),
    [](const ::testing::TestParamInfo<OutputCase>& info) { return info.param.name; });

TEST(ConfigurationOutput, EntitiesAreDecoded) {
    EXPECT_EQ("/keytabs/a&b <x> \"q\" 'a' A",
              Value("<property><name>k</name><value>/keytabs/a&amp;b &lt;x&gt; &quot;q&quot; "
                    "&apos;a&apos; &#65;</value></property>",
                    "k"));
    EXPECT_EQ("&unknown; &#999; &", HadoopConfig::DecodeXmlText("&unknown; &#999; &"));
    EXPECT_EQ("a&b",
              Value("<property><name>a&amp;b</name><value>a&amp;b</value></property>", "a&b"));
}

TEST(ConfigurationOutput, MalformedInputIsSafe) {
    for (const char* text :
         {"", "<name>", "<name>k", "<name>k</name>", "<name>k</name><value>", "<value></value>",
          "<name></name><value>x</value>", "<property><name>k</name><value>v</valu",
          "\x01\x02<name>k</name>\xff<value>\x00"}) {
        bool found = true;
        std::string value = Value(text, "k", &found);
        EXPECT_FALSE(found) << text;
        EXPECT_EQ("", value) << text;
    }
}
