// The HDFS connection with simple authentication against the libhdfs stand-in: name node forms,
// builder versus hdfsConnectAsUser, authentication type discovery, every failure branch, handle
// ownership across a disconnect, and concurrent reconnects.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopFS.h"
#include "support/ErrorChecks.h"
#include "support/HadoopConnectionPeer.h"
#include "support/HadoopConnectionSupport.h"
#include "support/LocalInstall.h"
#include "support/TestSupport.h"

using testsupport::ExpectError;
using testsupport::LocalInstall;
using testsupport::LogCapture;
using testsupport::ProductHome;
using testsupport::ProgramRecorder;
using testsupport::ScopedEnv;

namespace {

const char* const kRefusedText =
    "HDFS actively refused connection, please check Hadoop logs, verify authentication "
    "configurations, and environment variables CLASSPATH \t\t\t\t\t\tLD_LIBRARY_PATH for "
    "libhdfs.so, libjvm.so is set properly, check documentation for correct configuration "
    "steps";
const char* const kInternalText =
    "Internal error occurred while connecting to HDFS, please check logs. Please make sure "
    "environment variables CLASSPATH \t\t\t\t\t\t\t\t\t\tLD_LIBRARY_PATH for libhdfs.so, "
    "libjvm.so is set properly, check documentation for correct configuration steps";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The fully qualified name libhdfs gives the namespace root: shows which name node and port the
// connection was made with.
std::string RootName(CHadoopFS& fs) {
    hdfsFileInfo* info = nullptr;
    if (fs.GetFileInfo("/", &info) != 0)
        return "(failed)";
    std::string name = info->mName;
    fs.FreeFileInfo(info, 1);
    return name;
}

}  // namespace

class Connection : public ::testing::Test {
  protected:
    void Start(const std::string& variant = "") {
        ASSERT_TRUE(testsupport::StartWithLibhdfs(variant).Succeeded());
        m_home.reset(new ProductHome());
        m_install.reset(new LocalInstall());
        m_install->Activate();
    }
    CHadoopFS::CHadoopConnection& Of(CHadoopFS& fs) { return *fs.m_pConnection; }
    // A connection that failed with `lastError` for the user; returns what Connect reports now.
    CEkError ExpectFailed(CHadoopFS& fs, const std::string& lastError) {
        EXPECT_FALSE(Of(fs).m_bGood);
        EXPECT_EQ(lastError, Of(fs).m_sLastError);
        return Of(fs).Connect();
    }

    std::unique_ptr<ProductHome> m_home;
    std::unique_ptr<LocalInstall> m_install;
};

// --- Name node forms ---------------------------------------------------------------------------

TEST_F(Connection, DefaultNameNodeUsesTheConfiguredDefaultFileSystem) {
    Start();
    LogCapture log;
    CHadoopFS fs;
    ASSERT_TRUE(Of(fs).m_bGood) << log.Text();
    EXPECT_NE(nullptr, CHadoopConnectionTestPeer::Handle(Of(fs)));
    EXPECT_EQ(CHadoopConnectionTestPeer::OwnedHandle(Of(fs)).get(),
              CHadoopConnectionTestPeer::Handle(Of(fs)));
    EXPECT_EQ("default", Of(fs).m_sNameNode);
    EXPECT_EQ("hdfs://localhost:8020", fs.GetHadoopPathPrefix());
    EXPECT_EQ("hdfs://localhost:8020/", RootName(fs));
    EXPECT_TRUE(log.Contains("HDFS URI on instance property default"));
    EXPECT_TRUE(log.Contains("fs.defaultFS exists with value hdfs://localhost:8020"));
    EXPECT_TRUE(log.Contains("Default HDFS URI - 'hdfs://localhost:8020'"));
    EXPECT_TRUE(log.Contains("AuthType - simple"));
    EXPECT_TRUE(log.Contains("Connecting to HDFS(default) as hdfs ..."));
    EXPECT_TRUE(log.Contains("Connected! - "));
}

TEST_F(Connection, OldLibhdfsConnectsAsUserAndReadsTheOlderDefaultNameKey) {
    Start("old");
    {
        LogCapture log;
        CHadoopFS fs;
        ASSERT_TRUE(Of(fs).IsOldHadoopVersion());
        ASSERT_TRUE(Of(fs).m_bGood) << log.Text();
        EXPECT_EQ(0, Of(fs).m_eAuthType);
        EXPECT_FALSE(log.Contains("AuthType -"));
        EXPECT_EQ("hdfs://localhost:8020/", RootName(fs));
    }
    // The configuration command fails for a missing key, as grep does: the older key is read.
    m_install->RemoveProperty("fs.defaultFS");
    m_install->SetProperty("fs.default.name", "hdfs://localhost:8020");
    LogCapture log;
    CHadoopFS fs;
    ASSERT_TRUE(Of(fs).m_bGood) << log.Text();
    EXPECT_EQ("hdfs://localhost:8020", Of(fs).m_sPathPrefix);
    EXPECT_TRUE(log.Contains("fs.default.name exists with value hdfs://localhost:8020"));
}

TEST_F(Connection, ReconnectionKeepsTheNameNodePort) {
    Start();
    LogCapture log;
    CHadoopFS fs("hdfs://localhost:8020", "hdfs");
    ASSERT_TRUE(Of(fs).m_bGood) << log.Text();
    // What an expired Kerberos ticket triggers: the same connection made again.
    ASSERT_TRUE(Of(fs).Connect().Succeeded()) << log.Text();
    EXPECT_EQ("hdfs://localhost:8020", Of(fs).m_sPathPrefix);
    EXPECT_EQ(2, log.Count("Connecting to HDFS(localhost, 8020) as hdfs ...")) << log.Text();
}

TEST_F(Connection, NameNodeWithSchemeAndPortBareHostAndPortOutOfRange) {
    Start();
    {
        LogCapture log;
        CHadoopFS fs("hdfs://localhost:8020", "hdfs");
        ASSERT_TRUE(Of(fs).m_bGood) << log.Text();
        EXPECT_EQ("localhost", Of(fs).m_sNameNode);
        EXPECT_EQ("hdfs://localhost:8020", Of(fs).m_sPathPrefix);
        // libhdfs got the bare host and the port separately (both together would be refused).
        EXPECT_EQ("hdfs://localhost:8020/", RootName(fs));
        EXPECT_TRUE(log.Contains("HDFS URI on instance property hdfs://localhost:8020"));
        EXPECT_TRUE(
            log.Contains("Non default HDFS URI 'hdfs://localhost:8020' set on Instance "
                         "property, using non default port 8020"));
        EXPECT_TRUE(log.Contains("Connecting to HDFS(localhost, 8020) as hdfs ..."));
    }
    {
        LogCapture log;
        CHadoopFS fs("localhost", "hdfs");
        ASSERT_TRUE(Of(fs).m_bGood) << log.Text();
        EXPECT_EQ("localhost", Of(fs).m_sNameNode);
        EXPECT_EQ("hdfs://localhost", Of(fs).m_sPathPrefix);
        EXPECT_TRUE(
            log.Contains("Non default HDFS URI 'hdfs://localhost' set on Instance property, "
                         "using default port \n"))
            << log.Text();
        EXPECT_TRUE(log.Contains("Connecting to HDFS(localhost) as hdfs ..."));
    }
    CHadoopFS fs("hdfs://localhost:73556", "hdfs");  // 73556 would wrap to 8020
    EXPECT_EQ(nullptr, CHadoopConnectionTestPeer::Handle(Of(fs)));
    EXPECT_EQ(
        EINVAL,
        ExpectFailed(fs, "Invalid HDFS name node port '73556' in 'hdfs://localhost:73556'").Code());
    // Trailing characters were once cut off and the rest used as the port.
    CHadoopFS junk("hdfs://localhost:8020;junk", "hdfs");
    EXPECT_EQ(nullptr, CHadoopConnectionTestPeer::Handle(Of(junk)));
    EXPECT_EQ(EINVAL, ExpectFailed(junk,
                                   "Invalid HDFS name node port '8020;junk' in "
                                   "'hdfs://localhost:8020;junk'")
                          .Code());
}

// --- Authentication type -----------------------------------------------------------------------

TEST_F(Connection, AuthenticationValueIsComparedExactlyAndAbsentIsUnknown) {
    Start();
    {
        // The cluster (like Hadoop) reads "Kerberos" as Kerberos and refuses a connection without
        // tickets; the library compares exactly and connects as simple.
        m_install->SetProperty("hadoop.security.authentication", "Kerberos");
        LogCapture log;
        CHadoopFS fs;
        EXPECT_EQ(0, Of(fs).m_eAuthType);
        EXPECT_TRUE(log.Contains("ConfKey-'hadoop.security.authentication' val-'Kerberos'"));
        EXPECT_TRUE(log.Contains("AuthType - simple"));
        EXPECT_EQ(kRefusedText, fs.GetLastErrorString());
        CEkError err = ExpectFailed(fs, kRefusedText);
        EXPECT_EQ(111, err.Code());
        EXPECT_TRUE(StartsWith(err.Message(), "connect failed")) << err.Message();
    }
    m_install->RemoveProperty("hadoop.security.authentication");
    LogCapture log;
    CHadoopFS fs;
    EXPECT_TRUE(Of(fs).m_bGood) << log.Text();
    EXPECT_EQ(2, Of(fs).m_eAuthType);
    EXPECT_TRUE(log.Contains(
        "Authentication type could not be found, this might result in connection failure"));
    EXPECT_TRUE(log.Contains("AuthType - none"));
}

// --- Failure branches -------------------------------------------------------------------------

// A failing libhdfs call leaves the connection not good with the user's text, and a later Connect
// reports the call's errno.
struct ConnectFailureCase {
    const char* name;
    const char* variant;  // of the libhdfs stand-in
    const char* fault;
    const char* lastError;
    int code;
    const char* messageStart;  // "" when the message is not checked
};
void PrintTo(const ConnectFailureCase& c, std::ostream* out) {
    *out << c.name;
}

class ConnectFailure : public Connection,
                       public ::testing::WithParamInterface<ConnectFailureCase> {};

TEST_P(ConnectFailure, LeavesTheTextAndTheErrno) {
    const ConnectFailureCase& c = GetParam();
    Start(c.variant);
    ScopedEnv faults("LOCALHDFS_FAULTS", c.fault);
    CHadoopFS fs;
    CEkError err = ExpectFailed(fs, c.lastError);
    EXPECT_EQ(c.code, err.Code());
    EXPECT_TRUE(StartsWith(err.Message(), c.messageStart)) << err.Message();
}

INSTANTIATE_TEST_SUITE_P(
    Branches, ConnectFailure,
    ::testing::Values(
        ConnectFailureCase{"BuilderThatCannotBeCreated", "", "hdfsNewBuilder=12",
                           "Internal error occurred while creating Hadoop connection object, "
                           "please check logs",
                           ENOMEM, "failed to create connection builder"},
        ConnectFailureCase{"RefusedConnectionIsECONNREFUSED", "", "hdfsBuilderConnect=255",
                           kRefusedText, 111, "connect failed"},
        ConnectFailureCase{"OtherConnectFailureKeepsLibhdfsErrno", "", "hdfsBuilderConnect=5",
                           kInternalText, EIO, "connect failed"},
        ConnectFailureCase{"OldConnectFailure", "old", "hdfsConnectAsUser=13", kInternalText,
                           EACCES, ""}),
    [](const ::testing::TestParamInfo<ConnectFailureCase>& info) { return info.param.name; });

TEST_F(Connection, DefaultFileSystemKeysUnreadableOrEmpty) {
    Start();
    {
        ScopedEnv faults("LOCALHDFS_FAULTS", "hdfsConfGetStr=5");
        LogCapture log;
        CHadoopFS fs;
        const std::string text =
            "Failed to read both 'fs.defaultFS and 'fs.default.name' keys from hadoop "
            "configuration, atleast one of them should be available";
        CEkError err = ExpectFailed(fs, text);
        ExpectError(err, 1627, "DiscoverDefaultFSName failed");
        ASSERT_EQ(2u, err.Frames().size());
        EXPECT_EQ(text, err.Frames()[1].message);
        EXPECT_TRUE(log.Contains("DiscoverDefaultFSName failed"));
    }
    m_install->SetProperty("fs.defaultFS", "");
    CHadoopFS fs;
    CEkError err = ExpectFailed(
        fs, "Empty default FS name found in Hadoop config, please verify configuration");
    EXPECT_EQ(1627, err.Code());
    ASSERT_EQ(2u, err.Frames().size());
    EXPECT_EQ("Empty default FS name found in Hadoop configs", err.Frames()[1].message);
}

TEST_F(Connection, ConnectOnFailedFirstConnectionHoldingAHandleLeavesIt) {
    Start();
    CHadoopFS good;
    ScopedEnv faults("LOCALHDFS_FAULTS", "hdfsBuilderConnect=5:1");
    CHadoopFS failed;
    CHadoopFS::CHadoopConnection& connection = Of(failed);
    ASSERT_FALSE(connection.m_bGood);
    CHadoopConnectionTestPeer::ShareHandle(connection, Of(good).GetHDFSHandle());
    LogCapture log;
    EXPECT_TRUE(connection.Connect().Succeeded());
    EXPECT_EQ(CHadoopConnectionTestPeer::Handle(Of(good)),
              CHadoopConnectionTestPeer::Handle(connection));
    EXPECT_FALSE(log.Contains("Connecting to HDFS"));
    EXPECT_TRUE(connection.Disconnect().Succeeded());
    EXPECT_EQ(CHadoopConnectionTestPeer::Handle(Of(good)),
              CHadoopConnectionTestPeer::Handle(connection));
}

// --- Disconnecting and handle ownership -------------------------------------------------------

TEST_F(Connection, ReconnectAndDestructionDisconnect) {
    Start();
    LogCapture log;
    {
        CHadoopFS fs;
        ASSERT_TRUE(Of(fs).Connect().Succeeded());
        EXPECT_NE(nullptr, CHadoopConnectionTestPeer::Handle(Of(fs)));
        EXPECT_EQ(1, log.Count("Disconnecting hdfs(default, hdfs)"));
        EXPECT_EQ(0, fs.Exists("/"));
    }
    EXPECT_EQ(2, log.Count("Disconnecting hdfs(default, hdfs)"));
}

TEST_F(Connection, FailingDisconnectIsReportedAndTheDeadHandleDropped) {
    Start();
    CHadoopFS fs;
    ScopedEnv faults("LOCALHDFS_FAULTS", "hdfsDisconnect=5:1");
    CEkError err = Of(fs).Connect();
    ExpectError(err, EIO, "Disconnect failed");
    ASSERT_EQ(2u, err.Frames().size());
    EXPECT_TRUE(StartsWith(err.Frames()[1].message, "disconnect failed"));
    // libhdfs has invalidated the handle all the same: the connection must not hand it out.
    EXPECT_EQ(nullptr, CHadoopConnectionTestPeer::Handle(Of(fs)));
    EXPECT_FALSE(CHadoopConnectionTestPeer::OwnedHandle(Of(fs)));
    EXPECT_TRUE(Of(fs).Connect().Succeeded());
    EXPECT_EQ(0, fs.Exists("/"));
}

// --- Kerberos checks stay out of a simple connection -----------------------------------------

TEST_F(Connection, SimpleConnectionNeverRunsKlistNorKinit) {
    Start();
    ProgramRecorder recorder({"klist", "kinit"});
    CHadoopFS fs;
    ASSERT_TRUE(Of(fs).m_bGood);
    Of(fs).m_oCacheExpiryTime = CTimeStamp::FromTimeT(1);  // long expired, were it Kerberos
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, fs.Exists("/"));
    EXPECT_TRUE(recorder.Calls("klist").empty());
    EXPECT_TRUE(recorder.Calls("kinit").empty());
}

// --- Concurrency ------------------------------------------------------------------------------

TEST_F(Connection, ConcurrentReconnectsOfOneConnectionAreSerialised) {
    Start();
    CHadoopFS fs;
    ASSERT_TRUE(Of(fs).m_bGood);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                if (t % 2 == 0) {
                    if (Of(fs).Connect().Failed())
                        ++failures;
                } else if (fs.Exists("/") != 0) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(CHadoopConnectionTestPeer::OwnedHandle(Of(fs)).get(),
              CHadoopConnectionTestPeer::Handle(Of(fs)));
    EXPECT_EQ(0, fs.Exists("/"));
}
