// The hdfsagent tool's round trip against the real HDFS with simple authentication.
#include <gtest/gtest.h>

#include "realcluster/ToolRoundTrip.h"

using realcluster_test::RealToolRoundTrip;
using testsupport::RealCluster;

namespace {

TEST_F(RealToolRoundTrip, WithSimpleAuthenticationTheRestoredTreeEqualsTheSource) {
    RealCluster cluster = RealCluster::Plain();
    Start(cluster);
    ASSERT_NO_FATAL_FAILURE(Connect());
    RoundTrip(TestRoot());
}

}  // namespace
