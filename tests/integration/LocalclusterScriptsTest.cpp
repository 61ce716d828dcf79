// The localcluster stand-ins for hadoop, hdfs, hbase, hdp-select and locate: the formats the
// library parses, the switches tests rely on, and the installation layout of LocalInstall.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "support/LocalInstall.h"
#include "support/TestSupport.h"

using ::testing::HasSubstr;
using testsupport::LocalInstall;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

// Runs a shell command line; standard output and standard error are kept apart.
Result RunCommand(const std::string& command) {
    TempDir errDir("lcscripts-err");
    std::string errFile = errDir / "stderr";
    Result result;
    result.status = testsupport::Shell("(" + command + ") 2>" + errFile, &result.out);
    result.err = ReadFile(errFile);
    return result;
}

class LocalclusterScripts : public ::testing::Test {
  protected:
    void SetUp() override { install.Activate(); }

    LocalInstall install{{{"dfs.blocksize", "1048576"}, {"hadoop.user.keytab.file", "/k/t"}}};
};

TEST_F(LocalclusterScripts, ClasspathDefaultAndGlobbed) {
    Result r = RunCommand("hadoop classpath");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string share = install.installDir() + "/share/hadoop";
    EXPECT_EQ(r.out, install.confDir() + ":" + share + "/common/lib/*:" + share +
                         "/common/*:" + share + "/hdfs:" + share + "/hdfs/lib/*:" + share +
                         "/hdfs/*:" + share + "/mapreduce/*:" + share + "/common/lib/*\n");
    EXPECT_EQ(r.err, "");

    // --glob expands wildcards to jars and keeps duplicates; empty wildcard folders (hdfs/lib,
    // mapreduce) vanish; plain entries stay as they are.
    WriteFile(share + "/common/lib/UPPER.JAR", "");
    WriteFile(share + "/common/lib/notes.txt", "");
    r = RunCommand("hadoop classpath --glob");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string lib =
        share + "/common/lib/commons-lang3-3.12.0.jar:" + share + "/common/lib/UPPER.JAR";
    EXPECT_EQ(r.out, install.confDir() + ":" + lib + ":" + share +
                         "/common/hadoop-common-3.3.6.jar:" + share + "/hdfs:" + share +
                         "/hdfs/hadoop-hdfs-3.3.6.jar:" + lib + "\n");
}

TEST_F(LocalclusterScripts, EnvvarsPrintsQuotedAssignmentsWithJavaHomeFromEnvScript) {
    Result r = RunCommand("hadoop envvars");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string home = install.installDir(), tools = "share/hadoop/tools";
    EXPECT_EQ(r.out, "JAVA_HOME='" + install.javaHome() + "'\nHADOOP_COMMON_HOME='" + home +
                         "'\nHADOOP_COMMON_DIR='share/hadoop/common'\n"
                         "HADOOP_COMMON_LIB_JARS_DIR='share/hadoop/common/lib'\n"
                         "HADOOP_COMMON_LIB_NATIVE_DIR='lib/native'\nHADOOP_CONF_DIR='" +
                         install.confDir() + "'\nHADOOP_TOOLS_HOME='" + home +
                         "'\nHADOOP_TOOLS_DIR='" + tools + "'\nHADOOP_TOOLS_LIB_JARS_DIR='" +
                         tools + "/lib'\n");
    // Without JAVA_HOME anywhere it is printed empty, and the env script exports none.
    install.SetJavaHome("");
    auto unset = testsupport::ScopedEnv::unset("JAVA_HOME");
    EXPECT_EQ(RunCommand("hadoop envvars | head -n 1").out, "JAVA_HOME=''\n");
    EXPECT_EQ(RunCommand("grep '^export.*JAVA_HOME' " + home + "/conf/hadoop-env.sh").out, "");
}

TEST_F(LocalclusterScripts, ConfigurationIsPrintedAsWriteXmlDoes) {
    install.SetConfFile(
        "core-site.xml",
        "<?xml version=\"1.0\"?>\n<configuration>\n"
        "  <!-- <property><name>commented</name><value>x</value></property> -->\n"
        "  <property>\n    <name> fs.defaultFS </name>\n"
        "    <value>hdfs://nn:8020</value>\n  </property>\n"
        "  <property><name>locked</name><value>core</value><final>true</final></property>\n"
        "  <property><name>empty</name><value></value></property>\n"
        "  <property><name>esc</name><value>a&amp;b &quot;q&quot; "
        "<![CDATA[x<y]]></value></property>\n"
        "</configuration>\n");
    install.SetConfFile(
        "hdfs-site.xml",
        "<configuration>"
        "<property><name>locked</name><value>hdfs</value></property>"
        "<property><name>fs.defaultFS</name><value>hdfs://other:9000</value></property>"
        "<property><name>dfs.replication</name><value>2</value></property>"
        "</configuration>");
    Result r = RunCommand("hadoop org.apache.hadoop.conf.Configuration");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?><configuration>\n"
        "<property><name>fs.defaultFS</name><value>hdfs://other:9000</value><final>false</final>"
        "<source>hdfs-site.xml</source></property>\n"
        "<property><name>locked</name><value>core</value><final>true</final>"
        "<source>core-site.xml</source></property>\n"
        "<property><name>empty</name><value/><final>false</final>"
        "<source>core-site.xml</source></property>\n"
        "<property><name>esc</name><value>a&amp;b \"q\" x&lt;y</value><final>false</final>"
        "<source>core-site.xml</source></property>\n"
        "<property><name>dfs.replication</name><value>2</value><final>false</final>"
        "<source>hdfs-site.xml</source></property>\n"
        "</configuration>");
}

TEST_F(LocalclusterScripts, ConfigurationOnOneLineHoldsEveryPropertyInOneLine) {
    install.SetConfFile("oneline-configuration");
    Result r = RunCommand("hadoop org.apache.hadoop.conf.Configuration");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\n'), std::string::npos);
    EXPECT_THAT(r.out, HasSubstr("standalone=\"no\"?><configuration><property><name>fs.defaultFS"));
    EXPECT_THAT(r.out, HasSubstr("</property><property><name>dfs.blocksize</name>"
                                 "<value>1048576</value><final>false</final>"
                                 "<source>hdfs-site.xml</source></property></configuration>"));
    EXPECT_THAT(r.out, HasSubstr("<property><name>hadoop.user.keytab.file</name><value>/k/t</value>"
                                 "<final>false</final><source>core-site.xml</source></property>"));
}

// Both columns padded to one more than the widest cell; no zones prints one empty line; a
// failure goes to standard error with the status asked for.
TEST_F(LocalclusterScripts, ListZonesAsHadoopsTableListingPrintsIt) {
    EXPECT_EQ(RunCommand("hdfs crypto -listZones").out, "\n");
    install.SetConfFile("encryption-zones", "# no zones\n\n");
    EXPECT_EQ(RunCommand("hdfs crypto -listZones").out, "\n");
    install.AddEncryptionZone("/zone1", "key1");
    install.AddEncryptionZone("/a/much/longer/zone", "k");
    Result r = RunCommand("hdfs crypto -listZones");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/zone1               key1 \n/a/much/longer/zone  k    \n\n");

    install.SetConfFile("fail-crypto");
    r = RunCommand("hdfs crypto -listZones");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr("AccessControlException: Access denied for user"));
    install.SetConfFile("fail-crypto", "RemoteException: name node down\n");
    install.SetConfFile("status-crypto", "1\n");
    r = RunCommand("hdfs crypto -listZones");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "RemoteException: name node down\n");
}

// The stderr- and sleep- switches (the fail-, empty- and output- switches serve the library's
// tests), and unknown subcommands or arguments failing as the real programs do.
TEST_F(LocalclusterScripts, SwitchesAndUnknownArguments) {
    install.SetConfFile("stderr-classpath", "warning\n");
    install.SetConfFile("sleep-classpath", "0.3\n");
    auto start = std::chrono::steady_clock::now();
    Result r = RunCommand("hadoop classpath");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr(install.confDir() + ":"));
    EXPECT_EQ(r.err, "warning\n");

    r = RunCommand("hadoop nosuch");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Could not find or load main class nosuch\n");
    r = RunCommand("hdfs crypto -listZones extra");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Can't understand argument: extra\n");
}

// HBase's class path plain and globbed (its configuration directory first, Hadoop's last).
TEST_F(LocalclusterScripts, HbaseClasspath) {
    WriteFile(install.installDir() + "/share/hbase/lib/hbase-client.jar", "");
    std::string lib = install.installDir() + "/share/hbase/lib/";
    EXPECT_EQ(RunCommand("hbase classpath --glob").out,
              install.hbaseConfDir() + ":" + lib + "hbase-client.jar:" + install.confDir() + "\n");
    EXPECT_EQ(RunCommand("hbase classpath").out,
              install.hbaseConfDir() + ":" + lib + "*:" + install.confDir() + "\n");
}

// Found through links and without HADOOP_CONF_DIR (etc/hadoop of the installation then);
// properties go to core-site or hdfs-site.
TEST_F(LocalclusterScripts, InstallationLayout) {
    install.Activate(/*throughLinks=*/true);
    auto unset = testsupport::ScopedEnv::unset("HADOOP_CONF_DIR");
    EXPECT_EQ(RunCommand("readlink -f \"$(which hadoop)\"").out, install.binDir() + "/hadoop\n");
    EXPECT_EQ(RunCommand("hadoop envvars | grep HADOOP_CONF_DIR").out,
              "HADOOP_CONF_DIR='" + install.confDir() + "'\n");

    install.SetProperty("hadoop.security.authentication", "kerberos");
    std::string core = ReadFile(install.confDir() + "/core-site.xml");
    EXPECT_THAT(core, HasSubstr("<name>hadoop.security.authentication</name>\n"
                                "    <value>kerberos</value>"));
    EXPECT_THAT(core, HasSubstr("<value>" + install.namespaceRoot() + "</value>"));
    EXPECT_THAT(core, ::testing::Not(HasSubstr("dfs.blocksize")));
    EXPECT_THAT(ReadFile(install.confDir() + "/hdfs-site.xml"),
                HasSubstr("<name>dfs.blocksize</name>"));
}

TEST(LocalclusterLocate, FindsFilesInTheDatabaseFailsForUnknownNamesAndSleepsWhenAsked) {
    TempDir tree{"lcscripts-tree"}, dbDir{"lcscripts-db"};
    WriteFile(tree / "usr/lib/libhdfs.so", std::string(30, 'x'));
    WriteFile(tree / "opt/hadoop/lib/native/libhdfs.so", std::string(10, 'x'));
    ASSERT_EQ(testsupport::Shell("updatedb -l 0 -U '" + tree.path() + "' -o '" + (dbDir / "db") +
                                 "' 2>&1"),
              0);
    testsupport::ScopedEnv env("LOCATE_DB", dbDir / "db");
    std::string locate = std::string(LOCALCLUSTER_BIN_DIR) + "/locate";
    Result r = RunCommand(locate + " libhdfs.so | sort");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              tree / "opt/hadoop/lib/native/libhdfs.so\n" + tree.path() + "/usr/lib/libhdfs.so\n");
    EXPECT_EQ(RunCommand(locate + " libjvm.so").status, 1);

    testsupport::ScopedEnv slow("LOCATE_SLEEP", "0.3");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunCommand(locate + " libhdfs.so").status, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

}  // namespace
