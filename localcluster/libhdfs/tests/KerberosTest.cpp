// A cluster whose hadoop.security.authentication is kerberos accepts a connection only with an
// unexpired ticket-granting ticket in the ticket cache (written here with libkrb5, no KDC).
#include <gtest/gtest.h>

#include "LocalHdfsTestSupport.h"

using namespace localhdfs_test;

namespace {

constexpr const char* kRealm = "TEST.LOCAL";
constexpr const char* kTgt = "krbtgt/TEST.LOCAL@TEST.LOCAL";

class Kerberos : public ::testing::Test {
  protected:
    Kerberos()
        : cluster(Properties{{"hadoop.security.authentication", "kerberos"}}),
          krb5Config("KRB5_CONFIG", "/dev/null"),
          // The default cache must never be a real one of this machine.
          defaultCache("KRB5CCNAME", "FILE:" + (dir / "no-such-cache")) {}

    hdfsFS ConnectWithCache(const std::string& cache, const char* user = "alice") {
        struct hdfsBuilder* builder = hdfsNewBuilder();
        hdfsBuilderSetForceNewInstance(builder);
        hdfsBuilderSetNameNode(builder, "default");
        hdfsBuilderSetUserName(builder, user);
        if (!cache.empty())
            hdfsBuilderSetKerbTicketCachePath(builder, cache.c_str());
        return hdfsBuilderConnect(builder);
    }

    static std::string RootCause() {
        const char* text = hdfsGetLastExceptionRootCause();
        return text ? text : "";
    }

    Cluster cluster;
    testsupport::TempDir dir{"localhdfs-krb"};
    testsupport::ScopedEnv krb5Config;
    testsupport::ScopedEnv defaultCache;
};

}  // namespace

TEST_F(Kerberos, MissingTicketCacheIsRefusedWith255) {
    EXPECT_FAILS_WITH(ConnectWithCache(dir / "absent"), nullptr, EINTERNAL);
    EXPECT_NE(RootCause().find("GSS initiate failed"), std::string::npos) << RootCause();
}

TEST_F(Kerberos, ExpiredTicketGrantingTicketIsRefusedWith255) {
    WriteTicketCache(dir / "cache", std::string("alice@") + kRealm, kTgt, time(nullptr) - 5);
    EXPECT_FAILS_WITH(ConnectWithCache(dir / "cache"), nullptr, EINTERNAL);
    EXPECT_NE(RootCause().find("expired"), std::string::npos) << RootCause();
}

TEST_F(Kerberos, ServiceTicketWithoutTicketGrantingTicketIsRefused) {
    WriteTicketCache(dir / "cache", std::string("alice@") + kRealm, "hdfs/nn@TEST.LOCAL",
                     time(nullptr) + 3600);
    EXPECT_FAILS_WITH(ConnectWithCache(dir / "cache"), nullptr, EINTERNAL);
    EXPECT_NE(RootCause().find("Failed to find any Kerberos tgt"), std::string::npos)
        << RootCause();
}

TEST_F(Kerberos, ValidTicketConnectsAsThePrincipalsShortName) {
    WriteTicketCache(dir / "cache", std::string("etl/host.example@") + kRealm, kTgt,
                     time(nullptr) + 3600);
    hdfsFS fs = ConnectWithCache(dir / "cache", "someone-else");
    ASSERT_NE(fs, nullptr) << RootCause();
    PutFile(fs, "/f", "x");
    EXPECT_STREQ(PathInfo(fs, "/f")->mOwner, "etl");
    hdfsDisconnect(fs);
}

TEST_F(Kerberos, WithoutCachePathTheDefaultCacheDecides) {
    EXPECT_FAILS_WITH(ConnectWithCache(""), nullptr, EINTERNAL);
    WriteTicketCache(dir / "default", std::string("alice@") + kRealm, kTgt, time(nullptr) + 60);
    testsupport::ScopedEnv cache("KRB5CCNAME", "FILE:" + (dir / "default"));
    hdfsFS fs = ConnectWithCache("");
    EXPECT_NE(fs, nullptr) << RootCause();
    hdfsDisconnect(fs);
}

TEST_F(Kerberos, ConnectAsUserChecksTheDefaultCache) {
    EXPECT_FAILS_WITH(hdfsConnectAsUser("default", 0, "alice"), nullptr, EINTERNAL);
    WriteTicketCache(dir / "default", std::string("alice@") + kRealm, kTgt, time(nullptr) + 60);
    testsupport::ScopedEnv cache("KRB5CCNAME", "FILE:" + (dir / "default"));
    hdfsFS fs = hdfsConnectAsUser("default", 0, "alice");
    EXPECT_NE(fs, nullptr) << RootCause();
    hdfsDisconnect(fs);
}

// Hadoop reads the authentication method without regard to case.
TEST_F(Kerberos, AuthenticationValueIsCaseInsensitive) {
    cluster.WriteCoreSite({{"hadoop.security.authentication", "KERBEROS"}});
    EXPECT_FAILS_WITH(ConnectWithCache(dir / "absent"), nullptr, EINTERNAL);
}

// The tickets are checked when connecting; an established connection keeps working after they
// expire, as a real RPC connection does.
TEST_F(Kerberos, ExpiryAfterConnectDoesNotBreakTheConnection) {
    WriteTicketCache(dir / "cache", std::string("alice@") + kRealm, kTgt, time(nullptr) + 3600);
    hdfsFS fs = ConnectWithCache(dir / "cache");
    ASSERT_NE(fs, nullptr) << RootCause();
    WriteTicketCache(dir / "cache", std::string("alice@") + kRealm, kTgt, time(nullptr) - 1);
    EXPECT_EQ(hdfsExists(fs, "/"), 0);
    EXPECT_EQ(ConnectWithCache(dir / "cache"), nullptr);
    hdfsDisconnect(fs);
}

TEST_F(Kerberos, SimpleAuthenticationIgnoresTheTicketCache) {
    cluster.WriteCoreSite({{"hadoop.security.authentication", "simple"}});
    hdfsFS fs = ConnectWithCache(dir / "absent");
    EXPECT_NE(fs, nullptr) << RootCause();
    hdfsDisconnect(fs);
}
