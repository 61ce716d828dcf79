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

TEST(ConfigurationOutput, NameMustMatchWholly) {
    EXPECT_EQ("wrong", Value(kOneLine, "fs.defaultFS.extra"));
    bool found = true;
    EXPECT_EQ("", Value(kOneLine, "fs.default", &found));
    EXPECT_FALSE(found);
    EXPECT_EQ("", Value(kOneLine, "FS.DEFAULTFS", &found));
    EXPECT_FALSE(found);
    EXPECT_EQ("", Value(kOneLine, "", &found));
    EXPECT_FALSE(found);
}

TEST(ConfigurationOutput, OnePropertyPerLineGivesTheSameAnswer) {
    const std::string lines =
        "<property><name>fs.defaultFS</name><value>hdfs://a:1</value></property>\n"
        "<property><name>dfs.blocksize</name><value>1048576</value></property>\n";
    EXPECT_EQ("hdfs://a:1", Value(lines, "fs.defaultFS"));
    EXPECT_EQ("1048576", Value(lines, "dfs.blocksize"));
}

TEST(ConfigurationOutput, EmptyAndSelfClosingValues) {
    bool found = false;
    EXPECT_EQ("", Value("<property><name>k</name><value></value></property>", "k", &found));
    EXPECT_TRUE(found);
    EXPECT_EQ("", Value("<property><name>k</name><value/></property>", "k", &found));
    EXPECT_TRUE(found);
}

TEST(ConfigurationOutput, EntitiesAreDecoded) {
    EXPECT_EQ("/keytabs/a&b <x> \"q\" 'a' A",
              Value("<property><name>k</name><value>/keytabs/a&amp;b &lt;x&gt; &quot;q&quot; "
                    "&apos;a&apos; &#65;</value></property>",
                    "k"));
    EXPECT_EQ("&unknown; &#999; &", HadoopConfig::DecodeXmlText("&unknown; &#999; &"));
    EXPECT_EQ("a&b",
              Value("<property><name>a&amp;b</name><value>a&amp;b</value></property>", "a&b"));
}

TEST(ConfigurationOutput, ValueOfAnotherPropertyIsNeverTaken) {
    bool found = true;
    // The named property has no value; the next property's value must not be borrowed.
    EXPECT_EQ("", Value("<property><name>k</name></property><property><name>j</name>"
                        "<value>other</value></property>",
                        "k", &found));
    EXPECT_FALSE(found);
    // Nor the previous property's value.
    EXPECT_EQ("", Value("<property><name>j</name><value>other</value></property>"
                        "<property><name>k</name></property>",
                        "k", &found));
    EXPECT_FALSE(found);
}

TEST(ConfigurationOutput, ValueBeforeNameInsideItsProperty) {
    EXPECT_EQ("v", Value("<property><value>v</value><name>k</name></property>", "k"));
}

TEST(ConfigurationOutput, ClosingTagBeforeOpeningTagGivesNothing) {
    bool found = true;
    EXPECT_EQ("", Value("</value><property><name>k</name><value>v", "k", &found));
    EXPECT_FALSE(found);
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

TEST(ConfigurationOutput, FirstOfRepeatedPropertiesWins) {
    EXPECT_EQ("one", Value("<property><name>k</name><value>one</value></property>"
                           "<property><name>k</name><value>two</value></property>",
                           "k"));
}
