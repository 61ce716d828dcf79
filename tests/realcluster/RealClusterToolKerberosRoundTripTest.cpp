// The hdfsagent tool's round trip against the Kerberos-secured real HDFS: every run logs in from
// the keytab by itself. (Tickets that expire under the library are the subject of
// RealClusterKerberosTest.)
#include <gtest/gtest.h>

#include "realcluster/ToolRoundTrip.h"

using realcluster_test::RealToolRoundTrip;
using testsupport::RealCluster;

namespace {

TEST_F(RealToolRoundTrip, UnderKerberosTheRestoredTreeEqualsTheSource) {
    RealCluster cluster = RealCluster::Kerberos();
    Start(cluster, cluster.keytabFor("root"));
    ASSERT_NO_FATAL_FAILURE(Connect(cluster.keytabFor("root")));
    RoundTrip(TestRoot());
}

}  // namespace
