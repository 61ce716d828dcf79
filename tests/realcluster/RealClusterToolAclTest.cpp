// The hdfsagent tool's backup and restore of ACLs and extended attributes on a real HDFS: the
// REST utility service started by the library reaches the cluster through the installation's own
// Hadoop client, with no setting beyond what an edge node has.
#include <gtest/gtest.h>

#include "realcluster/ToolRoundTrip.h"

using realcluster_test::RealToolRoundTrip;
using testsupport::RealCluster;

namespace {

TEST_F(RealToolRoundTrip, AclsAndXattrsAreBackedUpAndRestored) {
    RealCluster cluster = RealCluster::Plain();
    Start(cluster);
    ASSERT_NO_FATAL_FAILURE(Connect());
    AclRoundTrip(cluster, {});
}

}  // namespace
