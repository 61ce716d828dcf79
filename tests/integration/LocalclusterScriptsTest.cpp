// The localcluster stand-ins for hadoop, hdfs, hbase, hdp-select and locate: the formats the
// library parses, the switches tests rely on, and the installation layout of LocalInstall.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "support/LocalInstall.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
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

TEST_F(LocalclusterScripts, ProgramsAreExecutableInTheSourceTree) {
    for (const char* program : {"hadoop", "hdfs", "hbase", "hdp-select", "locate"}) {
        std::string path = std::string(LOCALCLUSTER_BIN_DIR) + "/" + program;
        EXPECT_EQ(access(path.c_str(), X_OK), 0) << path;
    }
}

TEST_F(LocalclusterScripts, DefaultClasspathHasConfDirWildcardsAndADuplicate) {
    Result r = RunCommand("hadoop classpath");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string share = install.installDir() + "/share/hadoop";
    EXPECT_EQ(r.out, install.confDir() + ":" + share + "/common/lib/*:" + share +
                         "/common/*:" + share + "/hdfs:" + share + "/hdfs/lib/*:" + share +
                         "/hdfs/*:" + share + "/mapreduce/*:" + share + "/common/lib/*\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(LocalclusterScripts, ClasspathGlobExpandsWildcardsToJarsAndKeepsDuplicates) {
    std::string share = install.installDir() + "/share/hadoop";
    WriteFile(share + "/common/lib/UPPER.JAR", "");
    WriteFile(share + "/common/lib/notes.txt", "");
    Result r = RunCommand("hadoop classpath --glob");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string lib =
        share + "/common/lib/commons-lang3-3.12.0.jar:" + share + "/common/lib/UPPER.JAR";
    // Empty wildcard folders (hdfs/lib, mapreduce) vanish; plain entries stay as they are.
    EXPECT_EQ(r.out, install.confDir() + ":" + lib + ":" + share +
                         "/common/hadoop-common-3.3.6.jar:" + share + "/hdfs:" + share +
                         "/hdfs/hadoop-hdfs-3.3.6.jar:" + lib + "\n");
}

TEST_F(LocalclusterScripts, ClasspathFileIsPrintedAsOneLine) {
    install.SetClasspath({"/b", "/a dir/x.jar", "/b", "/c/*"});
    Result r = RunCommand("hadoop classpath");
    EXPECT_EQ(r.out, "/b:/a dir/x.jar:/b:/c/*\n");
    // The pipeline the library builds its CLASSPATH with gets sorted, unique entries.
    r = RunCommand(
        "for i in $(hadoop classpath | sed -e \"s/:/ /g\"); do echo $i; done | sort | uniq | "
        "awk '{val=val\":\"$1} END {print val}'");
    EXPECT_EQ(r.out, ":/a:/b:/c/*:dir/x.jar\n");
}

TEST_F(LocalclusterScripts, EnvvarsPrintsQuotedAssignmentsWithJavaHomeFromEnvScript) {
    Result r = RunCommand("hadoop envvars");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "JAVA_HOME='" + install.javaHome() + "'\n" + "HADOOP_COMMON_HOME='" +
                         install.installDir() + "'\n" +
                         "HADOOP_COMMON_DIR='share/hadoop/common'\n"
                         "HADOOP_COMMON_LIB_JARS_DIR='share/hadoop/common/lib'\n"
                         "HADOOP_COMMON_LIB_NATIVE_DIR='lib/native'\n"
                         "HADOOP_CONF_DIR='" +
                         install.confDir() + "'\n" + "HADOOP_TOOLS_HOME='" + install.installDir() +
                         "'\n" +
                         "HADOOP_TOOLS_DIR='share/hadoop/tools'\n"
                         "HADOOP_TOOLS_LIB_JARS_DIR='share/hadoop/tools/lib'\n");
    r = RunCommand("hadoop envvars | grep JAVA_HOME | awk -F \"'\" '{print $2}'");
    EXPECT_EQ(r.out, install.javaHome() + "\n");
}

TEST_F(LocalclusterScripts, EnvvarsWithoutJavaHomeAnywherePrintsItEmpty) {
    install.SetJavaHome("");
    auto unset = testsupport::ScopedEnv::unset("JAVA_HOME");
    Result r = RunCommand("hadoop envvars | head -n 1");
    EXPECT_EQ(r.out, "JAVA_HOME=''\n");
    r = RunCommand("grep JAVA_HOME " + install.installDir() +
                   "/conf/hadoop-env.sh | grep \"^export\"");
    EXPECT_EQ(r.out, "");
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
    // grep on the one-line output yields the whole configuration, not just the asked key.
    r = RunCommand("hadoop org.apache.hadoop.conf.Configuration | grep hadoop.user.keytab.file");
    EXPECT_THAT(r.out, HasSubstr("<name>fs.defaultFS</name>"));
}

TEST_F(LocalclusterScripts, ListZonesPadsBothColumnsToOneMoreThanTheWidestCell) {
    install.AddEncryptionZone("/zone1", "key1");
    install.AddEncryptionZone("/a/much/longer/zone", "k");
    Result r = RunCommand("hdfs crypto -listZones");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "/zone1               key1 \n"
              "/a/much/longer/zone  k    \n"
              "\n");
}

TEST_F(LocalclusterScripts, ListZonesWithoutZonesPrintsOneEmptyLine) {
    EXPECT_EQ(RunCommand("hdfs crypto -listZones").out, "\n");
    install.SetConfFile("encryption-zones", "# no zones\n\n");
    EXPECT_EQ(RunCommand("hdfs crypto -listZones").out, "\n");
}

TEST_F(LocalclusterScripts, ListZonesFailsWithMessageOnStandardError) {
    install.AddEncryptionZone("/z", "k");
    install.SetConfFile("fail-crypto");
    Result r = RunCommand("hdfs crypto -listZones");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr("AccessControlException: Access denied for user"));

    install.SetConfFile("fail-crypto", "RemoteException: name node down\n");
    install.SetConfFile("status-crypto", "1\n");
    r = RunCommand("hdfs crypto -listZones");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "RemoteException: name node down\n");
}

TEST_F(LocalclusterScripts, SwitchesFailEmptyOutputAndStandardError) {
    install.SetConfFile("fail-classpath", "classpath broke\n");
    Result r = RunCommand("hadoop classpath");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "classpath broke\n");
    install.RemoveConfFile("fail-classpath");

    install.SetConfFile("empty-classpath");
    r = RunCommand("hadoop classpath");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    install.RemoveConfFile("empty-classpath");

    install.SetConfFile("output-envvars", "JAVA_HOME='/one'\nJAVA_HOME='/two'\n");
    install.SetConfFile("stderr-envvars", "warning\n");
    r = RunCommand("hadoop envvars");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "JAVA_HOME='/one'\nJAVA_HOME='/two'\n");
    EXPECT_EQ(r.err, "warning\n");
}

TEST_F(LocalclusterScripts, SleepSwitchDelaysTheAnswer) {
    install.SetConfFile("sleep-version", "0.3\n");
    auto start = std::chrono::steady_clock::now();
    Result r = RunCommand("hadoop version");
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr("Hadoop 3.3.6\n"));
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
}

TEST_F(LocalclusterScripts, UnknownSubcommandOrArgumentFailsLikeTheRealPrograms) {
    Result r = RunCommand("hadoop nosuch");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Could not find or load main class nosuch\n");
    r = RunCommand("hdfs crypto -listZones extra");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Can't understand argument: extra\n");
}

TEST_F(LocalclusterScripts, HbaseEnvvarsAndGlobbedClasspath) {
    WriteFile(install.installDir() + "/share/hbase/lib/hbase-client.jar", "");
    Result r = RunCommand("hbase envvars | grep HBASE_CONF_DIR | awk -F \"'\" '{print $2}'");
    EXPECT_EQ(r.out, install.hbaseConfDir() + "\n");
    r = RunCommand("hbase classpath --glob");
    EXPECT_EQ(r.out, install.hbaseConfDir() + ":" + install.installDir() +
                         "/share/hbase/lib/hbase-client.jar:" + install.confDir() + "\n");
    r = RunCommand("hbase classpath");
    EXPECT_EQ(r.out, install.hbaseConfDir() + ":" + install.installDir() +
                         "/share/hbase/lib/*:" + install.confDir() + "\n");
}

TEST_F(LocalclusterScripts, HdpSelectPrintsTheVersionOrFailsWithoutAStack) {
    Result r = RunCommand("hdp-select -v");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr("Unable to find any HDP stack versions"));

    install.SetConfFile("hdp-version", "2.6.5.0-292\n2.6.4.0-91\n");
    r = RunCommand("hdp-select -v");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "2.6.5.0-292\n");
    EXPECT_EQ(RunCommand("hdp-select versions").out, "2.6.5.0-292\n2.6.4.0-91\n");
    EXPECT_EQ(RunCommand("hdp-select status hadoop-client").out, "hadoop-client - 2.6.5.0-292\n");
}

TEST_F(LocalclusterScripts, InstallationIsFoundThroughLinksAndWithoutHadoopConfDir) {
    install.Activate(/*throughLinks=*/true);
    auto unset = testsupport::ScopedEnv::unset("HADOOP_CONF_DIR");
    Result r = RunCommand("readlink -f \"$(which hadoop)\"");
    EXPECT_EQ(r.out, install.binDir() + "/hadoop\n");
    // Without HADOOP_CONF_DIR the programs find etc/hadoop of their installation.
    r = RunCommand("hadoop envvars | grep HADOOP_CONF_DIR");
    EXPECT_EQ(r.out, "HADOOP_CONF_DIR='" + install.confDir() + "'\n");
    EXPECT_TRUE(fs::exists(install.installDir() + "/conf/hadoop-env.sh"));
}

TEST_F(LocalclusterScripts, NativeLibraryLinkIsPlacedInTheInstallation) {
    TempDir lib("lcscripts-lib");
    WriteFile(lib / "libhdfs.so", "not really a library");
    install.AddNativeLibrary(lib / "libhdfs.so");
    EXPECT_EQ(fs::read_symlink(install.installDir() + "/lib/native/libhdfs.so"),
              lib / "libhdfs.so");
}

TEST_F(LocalclusterScripts, PropertiesGoToCoreOrHdfsSite) {
    install.SetProperty("hadoop.security.authentication", "kerberos");
    std::string core = ReadFile(install.confDir() + "/core-site.xml");
    std::string hdfs = ReadFile(install.confDir() + "/hdfs-site.xml");
    EXPECT_THAT(core, HasSubstr("<name>hadoop.security.authentication</name>\n"
                                "    <value>kerberos</value>"));
    EXPECT_THAT(core, HasSubstr("<value>" + install.namespaceRoot() + "</value>"));
    EXPECT_THAT(hdfs, HasSubstr("<name>dfs.blocksize</name>"));
    EXPECT_THAT(core, ::testing::Not(HasSubstr("dfs.blocksize")));
}

class LocalclusterLocate : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFile(tree / "usr/lib/libhdfs.so", std::string(30, 'x'));
        WriteFile(tree / "opt/hadoop/lib/native/libhdfs.so", std::string(10, 'x'));
        ASSERT_EQ(testsupport::Shell("updatedb -l 0 -U '" + tree.path() + "' -o '" + db + "' 2>&1"),
                  0);
    }

    TempDir tree{"lcscripts-tree"};
    TempDir dbDir{"lcscripts-db"};
    std::string db = dbDir / "test.db";
    std::string locate = std::string(LOCALCLUSTER_BIN_DIR) + "/locate";
};

TEST_F(LocalclusterLocate, FindsFilesInTheTestDatabase) {
    testsupport::ScopedEnv env("LOCATE_DB", db);
    Result r = RunCommand(locate + " libhdfs.so | sort");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, tree.path() + "/opt/hadoop/lib/native/libhdfs.so\n" + tree.path() +
                         "/usr/lib/libhdfs.so\n");
}

TEST_F(LocalclusterLocate, UnknownNameExitsNonZero) {
    testsupport::ScopedEnv env("LOCATE_DB", db);
    EXPECT_EQ(RunCommand(locate + " libjvm.so").status, 1);
}

TEST_F(LocalclusterLocate, SleepsFirstWhenAsked) {
    testsupport::ScopedEnv env("LOCATE_DB", db);
    testsupport::ScopedEnv slow("LOCATE_SLEEP", "0.3");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunCommand(locate + " libhdfs.so").status, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

}  // namespace
