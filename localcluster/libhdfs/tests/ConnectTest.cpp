// Connecting: name node resolution, the builder's ownership rules, configuration failures,
// disconnect semantics and shared instances.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <utility>
#include <vector>

#include "LocalHdfsTestSupport.h"

using namespace localhdfs_test;

namespace {

std::string RootName(hdfsFS fs) {
    FileInfoPtr info = PathInfo(fs, "/");
    return info ? info->mName : "<errno " + std::to_string(errno) + ">";
}

std::string RootCause() {
    const char* text = hdfsGetLastExceptionRootCause();
    return text ? text : "";
}

}  // namespace

TEST(Connect, DefaultNameNodeQualifiesNamesWithDefaultFs) {
    Cluster cluster(Properties{{"fs.defaultFS", "hdfs://nn.example.com:9000"}});
    struct hdfsBuilder* builder = hdfsNewBuilder();
    hdfsBuilderSetNameNode(builder, "default");
    hdfsBuilderSetNameNodePort(builder, 1234);  // ignored for "default"
    hdfsFS fs = hdfsBuilderConnect(builder);
    ASSERT_NE(fs, nullptr) << RootCause();
    EXPECT_EQ(RootName(fs), "hdfs://nn.example.com:9000/");
    cluster.MakeFile("/a/b", "x");
    EXPECT_EQ(PathInfo(fs, "/a/b")->mName, std::string("hdfs://nn.example.com:9000/a/b"));
    EXPECT_EQ(hdfsDisconnect(fs), 0);
}

TEST(Connect, HostAndPortQualifyNamesWithThatAuthority) {
    Cluster cluster;
    hdfsFS byHost = hdfsConnectAsUser("localhost", 8020, "alice");
    ASSERT_NE(byHost, nullptr) << RootCause();
    EXPECT_EQ(RootName(byHost), "hdfs://localhost:8020/");
    hdfsFS byUri = hdfsConnectAsUser("hdfs://127.0.0.1", 8020, "alice");
    ASSERT_NE(byUri, nullptr) << RootCause();
    EXPECT_EQ(RootName(byUri), "hdfs://127.0.0.1:8020/");
    hdfsFS withoutPort = hdfsConnectAsUser("localhost", 0, "alice");  // default port 8020
    ASSERT_NE(withoutPort, nullptr) << RootCause();
    EXPECT_EQ(RootName(withoutPort), "hdfs://localhost/");
    hdfsDisconnect(byHost);
    hdfsDisconnect(byUri);
    hdfsDisconnect(withoutPort);
}

TEST(Connect, PortInNameAndPortArgumentIsEinval) {
    Cluster cluster;
    EXPECT_FAILS_WITH(hdfsConnect("localhost:8020", 8020), nullptr, EINVAL);
    EXPECT_NE(RootCause().find("already has a port"), std::string::npos) << RootCause();
}

// The real client connects without contacting the name node; each call that needs it fails.
TEST(Connect, UnreachableNameNodeConnectsAndFailsEachCallWith255) {
    Cluster cluster(
        Properties{{"localcluster.namenode.hosts", "nn1.example.com, nn2.example.com"}});
    cluster.MakeFile("/f", "x");
    for (const auto& [host, port] : std::vector<std::pair<const char*, tPort>>{
             {"elsewhere.example.com", 8020}, {"localhost", 8021}}) {
        SCOPED_TRACE(host);
        hdfsFS fs = hdfsConnect(host, port);
        ASSERT_NE(fs, nullptr) << RootCause();
        EXPECT_FAILS_WITH(hdfsGetCapacity(fs), -1, EINTERNAL);
        EXPECT_NE(RootCause().find("Connection refused"), std::string::npos) << RootCause();
        EXPECT_FAILS_WITH(hdfsExists(fs, "/f"), -1, EINTERNAL);
        EXPECT_FAILS_WITH(hdfsOpenFile(fs, "/f", O_RDONLY, 0, 0, 0), nullptr, EINTERNAL);
        EXPECT_FAILS_WITH(hdfsGetPathInfo(fs, "/f"), nullptr, EINTERNAL);
        EXPECT_NE(RootCause().find("Connection refused"), std::string::npos) << RootCause();
        // Answered from the configuration, as Hadoop does.
        EXPECT_GT(hdfsGetDefaultBlockSize(fs), 0);
        EXPECT_EQ(hdfsDisconnect(fs), 0);
    }
    hdfsFS alias = hdfsConnect("NN2.example.com", 8020);  // extra name, any case
    ASSERT_NE(alias, nullptr) << RootCause();
    EXPECT_EQ(hdfsExists(alias, "/f"), 0);
    hdfsDisconnect(alias);
}

TEST(Connect, WithoutNamespaceRootFailsWith255) {
    Cluster cluster(Properties{{"localcluster.namespace.root", ""}});
    EXPECT_FAILS_WITH(cluster.Connect(), nullptr, EINTERNAL);
    EXPECT_NE(RootCause().find("localcluster.namespace.root"), std::string::npos) << RootCause();
    cluster.WriteCoreSite({{"localcluster.namespace.root", cluster.root() + "/missing"}});
    EXPECT_FAILS_WITH(cluster.Connect(), nullptr, EINTERNAL);
}

TEST(Connect, MissingOrMalformedConfigurationFailsWith255) {
    Cluster cluster;
    testsupport::WriteFile(cluster.confDir() + "/core-site.xml", "<configuration><property>");
    EXPECT_FAILS_WITH(cluster.Connect(), nullptr, EINTERNAL);
    auto unset = testsupport::ScopedEnv::unset("HADOOP_CONF_DIR");
    EXPECT_FAILS_WITH(hdfsConnect("default", 0), nullptr, EINTERNAL);
}

TEST(Connect, UnsupportedAuthenticationValueIsEinval) {
    Cluster cluster(Properties{{"hadoop.security.authentication", "token-magic"}});
    EXPECT_FAILS_WITH(cluster.Connect(), nullptr, EINVAL);
    EXPECT_NE(RootCause().find("token-magic"), std::string::npos) << RootCause();
}

// The builder belongs to hdfsBuilderConnect on every path; the sanitizer build turns a leak or a
// double free on any of these paths into a failure.
TEST(Connect, BuilderIsConsumedOnEveryPath) {
    Cluster cluster;
    hdfsFS fs = cluster.Connect();
    ASSERT_NE(fs, nullptr);
    hdfsDisconnect(fs);

    struct hdfsBuilder* refused = hdfsNewBuilder();
    hdfsBuilderSetNameNode(refused, "localhost:8020");
    hdfsBuilderSetNameNodePort(refused, 8020);
    EXPECT_EQ(hdfsBuilderConnect(refused), nullptr);

    testsupport::ScopedEnv fault("LOCALHDFS_FAULTS", "hdfsBuilderConnect=5");
    struct hdfsBuilder* injected = hdfsNewBuilder();
    hdfsBuilderSetNameNode(injected, "default");
    EXPECT_FAILS_WITH(hdfsBuilderConnect(injected), nullptr, EIO);
}

TEST(Connect, SettersKeepBorrowedPointersUntilConnect) {
    Cluster cluster;
    char nameNode[] = "nowhere.example";
    char user[] = "alice";
    struct hdfsBuilder* builder = hdfsNewBuilder();
    hdfsBuilderSetForceNewInstance(builder);
    hdfsBuilderSetNameNode(builder, nameNode);
    hdfsBuilderSetUserName(builder, user);
    strcpy(nameNode, "default");  // the builder sees the caller's buffer, not a copy
    strcpy(user, "carol");
    hdfsFS fs = hdfsBuilderConnect(builder);
    ASSERT_NE(fs, nullptr) << RootCause();
    PutFile(fs, "/f", "x");
    EXPECT_STREQ(PathInfo(fs, "/f")->mOwner, "carol");
    hdfsDisconnect(fs);
}

TEST(Connect, BuilderConfigurationOverridesAndFirstCallWins) {
    Cluster cluster({}, Properties{{"dfs.blocksize", "8m"}});
    struct hdfsBuilder* builder = hdfsNewBuilder();
    hdfsBuilderSetNameNode(builder, "default");
    EXPECT_EQ(hdfsBuilderConfSetStr(builder, "dfs.blocksize", "2m"), 0);
    EXPECT_EQ(hdfsBuilderConfSetStr(builder, "dfs.blocksize", "4m"), 0);
    hdfsFS fs = hdfsBuilderConnect(builder);
    ASSERT_NE(fs, nullptr) << RootCause();
    EXPECT_EQ(hdfsGetDefaultBlockSize(fs), 2 * 1048576);
    hdfsDisconnect(fs);
}

TEST(Connect, WithoutUserNameActsAsHadoopUserName) {
    Cluster cluster;
    testsupport::ScopedEnv user("HADOOP_USER_NAME", "etl");
    hdfsFS fs = hdfsConnect("default", 0);
    ASSERT_NE(fs, nullptr) << RootCause();
    PutFile(fs, "/f", "x");
    EXPECT_STREQ(PathInfo(fs, "/f")->mOwner, "etl");
    hdfsDisconnect(fs);
}

TEST(Connect, DisconnectInvalidatesTheHandle) {
    Cluster cluster;
    hdfsFS fs = cluster.Connect();
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(hdfsDisconnect(fs), 0);
    // The stand-in knows its live handles; a stale one fails instead of being dereferenced.
    EXPECT_FAILS_WITH(hdfsExists(fs, "/"), -1, EBADF);
    EXPECT_FAILS_WITH(hdfsDisconnect(fs), -1, EBADF);
    EXPECT_FAILS_WITH(hdfsDisconnect(nullptr), -1, EBADF);
}

TEST(Connect, FailedDisconnectStillInvalidatesTheHandle) {
    Cluster cluster;
    hdfsFS fs = cluster.Connect();
    ASSERT_NE(fs, nullptr);
    {
        testsupport::ScopedEnv fault("LOCALHDFS_FAULTS", "hdfsDisconnect=5");
        EXPECT_FAILS_WITH(hdfsDisconnect(fs), -1, EIO);
    }
    EXPECT_FAILS_WITH(hdfsExists(fs, "/"), -1, EBADF);
}

// Without a user name, ticket cache or forced new instance, connects share one cached file
// system: disconnecting one handle closes it for the others ("Filesystem closed").
TEST(Connect, DisconnectOfSharedInstanceBreaksOtherHandles) {
    Cluster cluster;
    hdfsFS first = hdfsConnect("default", 0);
    hdfsFS second = hdfsConnect("default", 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(hdfsDisconnect(first), 0);
    EXPECT_FAILS_WITH(hdfsExists(second, "/"), -1, EINTERNAL);
    EXPECT_EQ(RootCause(), "IOException: Filesystem closed");
    EXPECT_EQ(hdfsDisconnect(second), 0);

    hdfsFS third = hdfsConnect("default", 0);  // the cache no longer holds the closed one
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(hdfsExists(third, "/"), 0);
    hdfsDisconnect(third);
}

TEST(Connect, ForcedNewInstancesAreIndependent) {
    Cluster cluster;
    hdfsFS first = cluster.Connect();
    hdfsFS second = cluster.Connect();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(hdfsDisconnect(first), 0);
    EXPECT_EQ(hdfsExists(second, "/"), 0);
    hdfsDisconnect(second);
}

TEST(Connect, FilesOfADisconnectedFileSystemFailWith255) {
    Cluster cluster;
    cluster.MakeFile("/data", "0123456789");
    hdfsFS fs = cluster.Connect();
    ASSERT_NE(fs, nullptr);
    hdfsFile reader = hdfsOpenFile(fs, "/data", O_RDONLY, 0, 0, 0);
    hdfsFile writer = hdfsOpenFile(fs, "/out", O_WRONLY, 0, 0, 0);
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(writer, nullptr);
    ASSERT_EQ(hdfsWrite(fs, writer, "abc", 3), 3);
    ASSERT_EQ(hdfsDisconnect(fs), 0);

    char buffer[4];
    EXPECT_FAILS_WITH(hdfsRead(fs, reader, buffer, 4), -1, EINTERNAL);
    EXPECT_FAILS_WITH(hdfsWrite(fs, writer, "def", 3), -1, EINTERNAL);
    EXPECT_EQ(hdfsCloseFile(fs, reader), 0);
    EXPECT_EQ(hdfsCloseFile(fs, writer), 0);

    // The writer was finished by the disconnect: its data is there and its lease is free.
    hdfsFS again = cluster.Connect();
    EXPECT_EQ(GetFile(again, "/out"), "abc");
    PutFile(again, "/out", "new");
    hdfsDisconnect(again);
}

TEST(Connect, NullNameNodeIsTheLocalFileSystem) {
    Cluster cluster;
    testsupport::TempDir dir("localhdfs-local");
    testsupport::WriteFile(dir / "f", "hello");
    hdfsFS local = hdfsConnect(nullptr, 0);
    ASSERT_NE(local, nullptr) << RootCause();
    FileInfoPtr info = PathInfo(local, (dir / "f").c_str());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(std::string(info->mName), "file:" + dir.path() + "/f");
    EXPECT_EQ(info->mReplication, 1);
    EXPECT_EQ(info->mBlockSize, 33554432);
    EXPECT_EQ(GetFile(local, (dir / "f").c_str()), "hello");
    hdfsDisconnect(local);
}

TEST(Connect, LastExceptionTextsDescribeTheLastCallOnly) {
    Cluster cluster;
    hdfsFS fs = cluster.Connect();
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(hdfsGetPathInfo(fs, "/missing"), nullptr);
    EXPECT_EQ(RootCause(), "FileNotFoundException: File does not exist: /missing");
    const char* trace = hdfsGetLastExceptionStackTrace();
    ASSERT_NE(trace, nullptr);
    EXPECT_EQ(std::string(trace).rfind("java.io.FileNotFoundException: File does not exist", 0), 0u)
        << trace;
    EXPECT_EQ(hdfsExists(fs, "/"), 0);
    EXPECT_EQ(hdfsGetLastExceptionRootCause(), nullptr);
    EXPECT_EQ(hdfsGetLastExceptionStackTrace(), nullptr);
    hdfsDisconnect(fs);
}

// Hadoop would fall back to the local file system; the stand-in must not hand this machine's
// root directory to a test whose configuration lacks the key.
TEST(Connect, DefaultWithoutDefaultFsFailsWith255) {
    Cluster cluster;
    testsupport::WriteFile(cluster.confDir() + "/core-site.xml",
                           SiteXml({{"localcluster.namespace.root", cluster.root()}}));
    EXPECT_FAILS_WITH(hdfsConnect("default", 0), nullptr, EINTERNAL);
    EXPECT_EQ(RootCause(), "IOException: no default file system: fs.defaultFS is not configured");
}
