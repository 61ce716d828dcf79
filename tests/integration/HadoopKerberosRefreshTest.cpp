// Tickets that really expire (the "kdc_short" realm: four-second tickets): the next file-system
// operation reconnects by itself with fresh tickets, and a file opened before the refresh stays
// readable on its old handle until it is closed.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopFS.h"
#include "support/HadoopConnectionPeer.h"
#include "support/HadoopConnectionSupport.h"
#include "support/Kdc.h"
#include "support/LocalInstall.h"
#include "support/TestSupport.h"

using testsupport::Kdc;
using testsupport::KerberosSandbox;
using testsupport::LocalInstall;
using testsupport::LogCapture;
using testsupport::ProductHome;
using testsupport::ProgramRecorder;
using testsupport::ScopedEnv;

// A Kerberos installation on the short-ticket realm with one file, "/data", whose kinit calls are
// recorded.
struct ShortTicketInstall {
    ShortTicketInstall()
        : kdc(std::string(HDFSAGENT_BINARY_DIR) + "/kdc-short-fixture"),
          sandbox(kdc),
          install({{"hadoop.security.authentication", "kerberos"},
                   {"hadoop.user.keytab.file", sandbox.Keytab({""}, 65534)}}),
          recorder({"kinit"}) {
        install.Activate();
        testsupport::WriteFile(install.namespaceRoot() + "/data", "0123456789");
    }

    ProductHome home;
    Kdc kdc;
    KerberosSandbox sandbox;
    LocalInstall install;
    ProgramRecorder recorder;
};

// That installation and a connection to it as "nobody". The test process re-executes itself
// with libhdfs on its library path first, before anything is created that it would leave behind.
class KerberosRefresh : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testsupport::StartWithLibhdfs().Succeeded());
        cluster = std::make_unique<ShortTicketInstall>();
        fs = std::make_unique<CHadoopFS>("default", "nobody");
        ASSERT_TRUE(fs->m_pConnection->m_bGood) << fs->m_pConnection->m_sLastError;
    }
    size_t KinitCalls() const { return cluster->recorder.Calls("kinit").size(); }

    std::unique_ptr<ShortTicketInstall> cluster;
    std::unique_ptr<CHadoopFS> fs;
};

TEST_F(KerberosRefresh, ExpiredTicketsAreRenewedByTheNextOperation) {
    CHadoopFS& fs = *this->fs;
    CHadoopFS::CHadoopConnection& connection = *fs.m_pConnection;
    const CTimeStamp firstExpiry = connection.m_oCacheExpiryTime;
    ASSERT_FALSE(firstExpiry.IsZero());
    ASSERT_LE(firstExpiry, CTimeStamp::FromTimeT(time(nullptr) + 5));
    hdfs_internal* firstHandle = CHadoopConnectionTestPeer::Handle(connection);

    boost::shared_ptr<CHadoopFile> file;
    ASSERT_EQ(0, fs.Open("/data", O_RDONLY, file, 0, 0, 0));
    char buffer[4] = {};
    ASSERT_EQ(4, file->Read(buffer, 4));

    // Wait for the tickets to run out (about four seconds; never more than fifteen).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (CTimeStamp::FromTimeT(time(nullptr)) < firstExpiry &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(connection.CheckCacheValidity().Failed());

    LogCapture log;
    EXPECT_EQ(0, fs.Exists("/"));
    EXPECT_TRUE(log.Contains("Kerberos cache has expired, refreshing connection, ["));
    EXPECT_EQ(2u, KinitCalls());
    EXPECT_NE(firstHandle, CHadoopConnectionTestPeer::Handle(connection));
    EXPECT_GT(connection.m_oCacheExpiryTime, firstExpiry);
    EXPECT_TRUE(connection.CheckCacheValidity().Succeeded());

    // The file keeps the handle it was opened on until it is closed.
    ASSERT_EQ(4, file->Read(buffer, 4));
    EXPECT_EQ("4567", std::string(buffer, 4));
    EXPECT_EQ(0, file->Close());
    EXPECT_EQ(0, fs.Exists("/"));
    EXPECT_EQ(2u, KinitCalls());
}

// A ticket can run out while a call authenticates, however early the library renews it: libhdfs
// then fails the call with its internal error. A call that changes nothing is tried once more
// with new tickets; one that changes the cluster is not, since it may have taken effect.
TEST_F(KerberosRefresh, InternalErrorOfAReadIsRetriedWithNewTicketsButAChangeIsNot) {
    CHadoopFS& fs = *this->fs;
    CHadoopFS::CHadoopConnection& connection = *fs.m_pConnection;
    hdfs_internal* firstHandle = CHadoopConnectionTestPeer::Handle(connection);

    ScopedEnv faults("LOCALHDFS_FAULTS",
                     "hdfsGetPathInfo=255:1,hdfsListDirectory=255:1,"
                     "hdfsExists=255:1,hdfsChmod=255:1");
    LogCapture log;
    hdfsFileInfo* info = nullptr;
    ASSERT_EQ(0, fs.GetFileInfo("/data", &info)) << errno;
    EXPECT_EQ(10, info->mSize);
    fs.FreeFileInfo(info, 1);
    EXPECT_TRUE(
        log.Contains("An operation failed with an internal error: obtaining new Kerberos "
                     "tickets"));
    EXPECT_EQ(2u, KinitCalls());
    EXPECT_NE(firstHandle, CHadoopConnectionTestPeer::Handle(connection));

    boost::shared_ptr<CHadoopFileInfoArray> entries;
    int count = 0;
    EXPECT_EQ(0, fs.ListDirectory("/", entries, count)) << errno;
    EXPECT_EQ(1, count);
    EXPECT_EQ(0, fs.Exists("/data"));
    EXPECT_EQ(4u, KinitCalls());

    errno = 0;
    EXPECT_EQ(-1, fs.Chmod("/data", 0600));
    EXPECT_EQ(EINTERNAL, errno);
    EXPECT_EQ(4u, KinitCalls());
}

// Without Kerberos a new connection would bring nothing new: the internal error stands.
TEST(KerberosRefreshWithoutKerberos, InternalErrorOfAReadIsNotRetried) {
    ASSERT_TRUE(testsupport::StartWithLibhdfs().Succeeded());
    ProductHome home;
    LocalInstall install;
    install.Activate();
    testsupport::WriteFile(install.namespaceRoot() + "/data", "0123456789");

    CHadoopFS fs("default", "nobody");
    ASSERT_TRUE(fs.m_pConnection->m_bGood) << fs.m_pConnection->m_sLastError;
    hdfs_internal* firstHandle = CHadoopConnectionTestPeer::Handle(*fs.m_pConnection);
    ScopedEnv faults("LOCALHDFS_FAULTS", "hdfsGetPathInfo=255:1");
    hdfsFileInfo* info = nullptr;
    errno = 0;
    EXPECT_EQ(-1, fs.GetFileInfo("/data", &info));
    EXPECT_EQ(EINTERNAL, errno);
    EXPECT_EQ(nullptr, info);
    EXPECT_EQ(firstHandle, CHadoopConnectionTestPeer::Handle(*fs.m_pConnection));
}
