// The hdfsagent tool's round trip against the Kerberos-secured real HDFS, with tickets that
// expire while the tool runs.
#include <gtest/gtest.h>

#include "realcluster/ToolRoundTrip.h"

using realcluster_test::RealToolRoundTrip;
using testsupport::KerberosTicket;
using testsupport::RealCluster;

namespace {

TEST_F(RealToolRoundTrip, UnderKerberosWithTicketsExpiringMidRunTheRestoredTreeEqualsTheSource) {
    RealCluster cluster = RealCluster::Kerberos();
    Start(cluster, cluster.keytabFor("root"));
    ASSERT_NO_FATAL_FAILURE(Connect(cluster.keytabFor("root")));
    ShortTickets(6);
    RoundTrip(TestRoot());
    // At least one run outlived its first ticket and obtained another.
    EXPECT_GE(m_mostKinitsInOneRun, 2u);
}

// The REST service logs in from the ticket cache the library fills; with tickets of a few seconds
// both the library and the service outlive their first ticket.
TEST_F(RealToolRoundTrip, UnderKerberosWithTicketsExpiringMidRunAclsAndXattrsAreRestored) {
    RealCluster cluster = RealCluster::Kerberos();
    Start(cluster, cluster.keytabFor("root"));
    ASSERT_NO_FATAL_FAILURE(Connect(cluster.keytabFor("root")));
    KerberosTicket admin{cluster, cluster.principal(), cluster.keytab()};
    ShortTickets(6);
    AclRoundTrip(cluster, {{"KRB5CCNAME", admin.cache()}});
    EXPECT_GE(m_mostKinitsInOneRun, 2u);
}

}  // namespace
