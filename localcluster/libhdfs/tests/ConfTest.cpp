// hdfsConfGetStr / hdfsConfGetInt: 0 or a positive errno, missing keys, site file precedence.
#include <gtest/gtest.h>

#include "LocalHdfsTestSupport.h"

using namespace localhdfs_test;

namespace {

// The value of hdfsConfGetStr, "<null>" for a missing key, "<error N>" for a failure.
std::string ConfString(const char* key) {
    char* value = reinterpret_cast<char*>(0x1);  // must be overwritten
    const int result = hdfsConfGetStr(key, &value);
    if (result != 0)
        return "<error " + std::to_string(result) + ">";
    if (!value)
        return "<null>";
    std::string text = value;
    hdfsConfStrFree(value);
    return text;
}

}  // namespace

TEST(Conf, MissingKeyIsSuccessWithNull) {
    Cluster cluster;
    EXPECT_EQ(ConfString("no.such.key"), "<null>");
    EXPECT_EQ(ConfString("fs.defaultFS"), "hdfs://localhost:8020");
}

TEST(Conf, HdfsSiteOverridesCoreSiteUnlessFinal) {
    Cluster cluster;
    testsupport::WriteFile(cluster.confDir() + "/core-site.xml",
                           "<configuration>"
                           "<property><name>a</name><value>core</value></property>"
                           "<property><name>b</name><value>core</value><final>true</final>"
                           "</property></configuration>");
    cluster.WriteHdfsSite({{"a", "hdfs"}, {"b", "hdfs"}});
    EXPECT_EQ(ConfString("a"), "hdfs");
    EXPECT_EQ(ConfString("b"), "core");
}

TEST(Conf, ValuesExpandReferencesAndMayBeEmpty) {
    Cluster cluster(Properties{{"base", "/srv"}, {"dir", "${base}/data"}, {"empty", ""}});
    EXPECT_EQ(ConfString("dir"), "/srv/data");
    EXPECT_EQ(ConfString("empty"), "");
}

TEST(Conf, EachCallReadsTheFilesAfresh) {
    Cluster cluster(Properties{{"k", "one"}});
    EXPECT_EQ(ConfString("k"), "one");
    cluster.WriteCoreSite({{"k", "two"}});
    EXPECT_EQ(ConfString("k"), "two");
}

TEST(Conf, WithoutConfigurationDirectoryEveryKeyIsMissing) {
    auto unset = testsupport::ScopedEnv::unset("HADOOP_CONF_DIR");
    EXPECT_EQ(ConfString("fs.defaultFS"), "<null>");
    int32_t value = 42;
    EXPECT_EQ(hdfsConfGetInt("dfs.replication", &value), 0);
    EXPECT_EQ(value, 42);
}

TEST(Conf, MalformedFileReturnsErrno255) {
    Cluster cluster;
    testsupport::WriteFile(cluster.confDir() + "/hdfs-site.xml", "<configuration><oops>");
    errno = 0;
    EXPECT_EQ(ConfString("fs.defaultFS"), "<error 255>");
    EXPECT_EQ(errno, EINTERNAL);
}

TEST(Conf, GetIntParsesOrLeavesTheValueUntouched) {
    Cluster cluster(
        {},
        Properties{
            {"dfs.replication", " 2 "}, {"hex", "0x10"}, {"bad", "two"}, {"huge", "4294967296"}});
    int32_t value = 42;
    EXPECT_EQ(hdfsConfGetInt("missing", &value), 0);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(hdfsConfGetInt("dfs.replication", &value), 0);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(hdfsConfGetInt("hex", &value), 0);
    EXPECT_EQ(value, 16);
    value = 42;
    EXPECT_EQ(hdfsConfGetInt("bad", &value), EINTERNAL);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(hdfsConfGetInt("huge", &value), EINTERNAL);
    EXPECT_EQ(value, 42);
}

TEST(Conf, NullArgumentsReturnEinval) {
    Cluster cluster;
    char* value = nullptr;
    EXPECT_EQ(hdfsConfGetStr(nullptr, &value), EINVAL);
    EXPECT_EQ(hdfsConfGetStr("k", nullptr), EINVAL);
    EXPECT_EQ(hdfsConfGetInt("k", nullptr), EINVAL);
}
