// The REST utility service's Hadoop backend on a Kerberos-secured HDFS: it logs in from the
// ticket cache the library names and reads the realm profile the JVM is pointed at.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "support/RealCluster.h"
#include "support/TestSupport.h"
#include "support/UtilServerProcess.h"

using nlohmann::json;
using testsupport::HttpClient;
using testsupport::KerberosTicket;
using testsupport::RealCluster;
using testsupport::UtilServerProcess;

namespace {

class AclKerberos : public ::testing::Test {
  protected:
    // Starts the service with the cluster's client jars and realm profile, logging in from
    // `ticketCache`.
    void Start(const std::string& ticketCache) {
        testsupport::WriteFile(
            m_dir / "dxhadooputil.properties",
            "util.hadoop.user=root\nutil.hadoop.config=" + m_cluster.confDir() +
                "\nutil.hadoop.security.kerberos.ticket.cache.path=" + ticketCache + "\n");
        m_server = std::make_unique<UtilServerProcess>(
            m_dir.path(), m_dir / "service.out", 0, testsupport::RandomServiceSecret(),
            m_cluster.hadoopHome() + "/share/hadoop/client/*",
            std::vector<std::string>{"-Djava.security.krb5.conf=" + m_cluster.krb5Config()});
        m_client.SetSecret(m_server->secret());
        ASSERT_TRUE(m_server->WaitUntilAnswering());
    }

    HttpClient::Answer Post(const std::string& resource, const json& body) {
        return m_client.Post(m_server->baseUrl() + "/" + resource, body.dump(), 120000);
    }

    testsupport::TempDir m_dir{"acl-kerberos"};
    RealCluster m_cluster = RealCluster::Kerberos();
    KerberosTicket m_ticket{m_cluster, m_cluster.principal(), m_cluster.keytab()};
    std::map<std::string, std::string> m_asRoot{{"KRB5CCNAME", m_ticket.cache()}};
    std::unique_ptr<UtilServerProcess> m_server;
    HttpClient m_client;
};

TEST_F(AclKerberos, ServiceActsWithTheTicketCachesIdentity) {
    const std::string root = m_cluster.TestRoot(m_asRoot);
    const std::string file = root + "/file";
    ASSERT_EQ(0, m_cluster.Hadoop({"fs", "-touchz", file}, nullptr, m_asRoot));
    Start(m_ticket.cache());

    const json change = {
        {"path", file},
        {"AclStatus",
         {{"entries", {"user:bob:r--", "group::r--"}}, {"owner", "bob"}, {"permission", "640"}}},
        {"XAttrs", {{{"name", "user.k"}, {"value", "v"}}}}};
    const HttpClient::Answer set = Post("setacl", change);
    ASSERT_EQ(200, set.status) << set.body << testsupport::ReadFile(m_dir / "service.out");
    const HttpClient::Answer get = Post("getacl", {{"path", file}});
    ASSERT_EQ(200, get.status) << get.body;
    const json state = json::parse(get.body);
    EXPECT_EQ(json({"user:bob:r--", "group::r--"}), state["AclStatus"]["entries"]);
    EXPECT_EQ("bob", state["AclStatus"]["owner"]);
    EXPECT_EQ("640", state["AclStatus"]["permission"]);
    EXPECT_EQ(json({{{"name", "user.k"}, {"value", "v"}}}), state["XAttrs"]);
}

}  // namespace
