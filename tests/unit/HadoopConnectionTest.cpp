// The connection without libhdfs: everything that must fail cleanly before the library is
// initialised, the expiry test, and when a refresh is attempted.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <utility>

#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopFS.h"
#include "support/HadoopConnectionPeer.h"
#include "support/HadoopConnectionSupport.h"

using testsupport::LogCapture;

namespace {

void ExpectNotInitialized(const CEkError& err) {
    EXPECT_TRUE(err.Failed());
    EXPECT_EQ(14, err.Code());
    EXPECT_EQ(0u, err.Message().find("not initialized")) << err.Message();
}

}  // namespace

TEST(ConnectionBeforeInit, ConstructorsLogTheFailureAndKeepTheObject) {
    LogCapture log;
    CHadoopFS byDefault;
    CHadoopFS named("hdfs://nn.example:8020", "alice");
    CHadoopFS::CHadoopConnection& first = *byDefault.m_pConnection;
    CHadoopFS::CHadoopConnection& second = *named.m_pConnection;
    EXPECT_FALSE(first.m_bGood);
    EXPECT_FALSE(second.m_bGood);
    EXPECT_EQ("default", first.m_sNameNode);
    EXPECT_EQ("hdfs", first.m_sUser);
    EXPECT_EQ("hdfs://nn.example:8020", second.m_sNameNode);
    EXPECT_EQ("alice", second.m_sUser);
    EXPECT_EQ(0, first.m_eAuthType);
    EXPECT_EQ(nullptr, CHadoopConnectionTestPeer::Handle(first));
    EXPECT_TRUE(first.m_oCacheExpiryTime.IsZero());
    EXPECT_EQ(&byDefault, first.m_pFS);
    EXPECT_TRUE(log.Contains("Failed to connect to HDFS (\"default\", \"hdfs\"), error=["));
    EXPECT_TRUE(log.Contains("Failed to connect to HDFS (hdfs://nn.example:8020, alice), error=["));
}

TEST(ConnectionBeforeInit, EveryOperationFailsWithoutCallingLibhdfs) {
    CHadoopFS fs;
    CHadoopFS::CHadoopConnection& connection = *fs.m_pConnection;
    ExpectNotInitialized(connection.Connect());
    ExpectNotInitialized(connection.Disconnect());
    ExpectNotInitialized(connection.DiscoverKerberosCachePath());
    ExpectNotInitialized(connection.InitKerberosCache());
    EXPECT_EQ(nullptr, connection.GetHDFS());
    EXPECT_FALSE(connection.GetHDFSHandle());
    EXPECT_FALSE(fs.Good());
}

TEST(ConnectionBeforeInit, AuthTypeIsUnknown) {
    CHadoopFS fs;
    LogCapture log;
    EXPECT_EQ(2, fs.m_pConnection->DiscoverAuthType());
    EXPECT_TRUE(log.Contains("Library not initialized"));
}

// ---------------------------------------------------------------------------------------------

class CacheValidity : public ::testing::Test {
  protected:
    CHadoopFS m_fs;
    CHadoopFS::CHadoopConnection& m_connection = *m_fs.m_pConnection;
};

TEST_F(CacheValidity, NoExpiryOrLaterExpiryIsValidAndEarlierHasExpired) {
    m_connection.m_oCacheExpiryTime = CTimeStamp();  // 0: never expires
    EXPECT_TRUE(m_connection.CheckCacheValidity().Succeeded());
    m_connection.m_oCacheExpiryTime = CTimeStamp::FromTimeT(time(nullptr) + 60);
    EXPECT_TRUE(m_connection.CheckCacheValidity().Succeeded());
    m_connection.m_oCacheExpiryTime = CTimeStamp::FromTimeT(time(nullptr) - 3600);
    EXPECT_EQ(62, m_connection.CheckCacheValidity().Code());
}

// A ticket used in its last moments reached the JVM expired ("Failed to find any Kerberos tgt"):
// the cache is renewed a margin before its expiry, half of a short life, at most a minute.
TEST_F(CacheValidity, TicketInItsRenewMarginHasExpired) {
    EXPECT_EQ(0, CHadoopFS::CHadoopConnection::RenewMarginSeconds(-5));
    EXPECT_EQ(3, CHadoopFS::CHadoopConnection::RenewMarginSeconds(6));
    EXPECT_EQ(60, CHadoopFS::CHadoopConnection::RenewMarginSeconds(36000));
    m_connection.m_nRenewMarginSeconds = 60;
    m_connection.m_oCacheExpiryTime = CTimeStamp::FromTimeT(time(nullptr) + 30);
    EXPECT_EQ(62, m_connection.CheckCacheValidity().Code());
    m_connection.m_oCacheExpiryTime = CTimeStamp::FromTimeT(time(nullptr) + 120);
    EXPECT_TRUE(m_connection.CheckCacheValidity().Succeeded());
}

TEST_F(CacheValidity, ExpiryEqualToNowHasExpired) {
    m_connection.m_sKerberosCachePath = "/tmp/dx_krb5cc_0";
    const time_t now = time(nullptr);
    m_connection.m_oCacheExpiryTime = CTimeStamp::FromTimeT(now);
    CEkError err = m_connection.CheckCacheValidity();
    ASSERT_TRUE(err.Failed());
    EXPECT_EQ(62, err.Code());
    const std::string expiry = CTimeStamp::FromTimeT(now).AsLocalDateTimeString();
    EXPECT_EQ(0u, err.Message().find("Kerberos cache [/tmp/dx_krb5cc_0] has expired ["))
        << err.Message();
    EXPECT_NE(std::string::npos, err.Message().find("] >= [" + expiry + "]")) << err.Message();
}

TEST_F(CacheValidity, SimpleOrValidKerberosConnectionIsNotRefreshed) {
    const std::pair<int, time_t> cases[] = {{0, time(nullptr) - 3600}, {1, time(nullptr) + 3600}};
    for (const auto& c : cases) {
        m_connection.m_eAuthType = c.first;
        m_connection.m_oCacheExpiryTime = CTimeStamp::FromTimeT(c.second);
        LogCapture log;
        EXPECT_TRUE(m_connection.CheckAndRefreshConnection().Succeeded()) << c.first;
        EXPECT_FALSE(log.Contains("refreshing connection")) << c.first;
    }
}

TEST_F(CacheValidity, ExpiredKerberosConnectionReconnectsAndReportsItsFailure) {
    m_connection.m_eAuthType = 1;
    m_connection.m_oCacheExpiryTime = CTimeStamp::FromTimeT(time(nullptr) - 3600);
    LogCapture log;
    ExpectNotInitialized(m_connection.CheckAndRefreshConnection());
    EXPECT_TRUE(log.Contains("Kerberos cache has expired, refreshing connection, ["));
    EXPECT_EQ(nullptr, m_connection.GetHDFS());
    EXPECT_FALSE(m_connection.GetHDFSHandle());
}
