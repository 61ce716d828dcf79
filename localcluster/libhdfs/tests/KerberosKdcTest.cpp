// The ticket cache check against caches written by a real kinit from the realm of the CTest
// fixture "kdc" (localcluster/kdc). Fails, never skips, when the realm is not there.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "LocalHdfsTestSupport.h"

using namespace localhdfs_test;

namespace {

// The `export NAME='value'` lines start-kdc.sh writes into the realm directory.
std::map<std::string, std::string> RealmEnvironment() {
    std::map<std::string, std::string> vars;
    std::ifstream in(std::string(LOCALHDFS_KDC_FIXTURE_DIR) + "/env");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("export ", 0) != 0 || line.find('=') == std::string::npos)
            continue;
        const size_t eq = line.find('=');
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
            value = value.substr(1, value.size() - 2);
        vars[line.substr(7, eq - 7)] = value;
    }
    return vars;
}

}  // namespace

TEST(KerberosWithKdc, TicketsFromKinitAreAcceptedAndNameTheUser) {
    std::map<std::string, std::string> realm = RealmEnvironment();
    ASSERT_FALSE(realm["KDC_REALM"].empty()) << "no KDC fixture in " LOCALHDFS_KDC_FIXTURE_DIR;
    testsupport::ScopedEnv config("KRB5_CONFIG", realm["KRB5_CONFIG"]);
    Cluster cluster(Properties{{"hadoop.security.authentication", "kerberos"}});
    testsupport::TempDir dir("localhdfs-kdc");
    const std::string cache = dir / "cache";
    const std::string principal = "hdfs/" + realm["KDC_HOSTNAME"] + "@" + realm["KDC_REALM"];
    std::string output;
    ASSERT_EQ(testsupport::Shell("kinit -kt '" + realm["KDC_KEYTAB"] + "' -c '" + cache + "' '" +
                                     principal + "' 2>&1",
                                 &output),
              0)
        << output;

    struct hdfsBuilder* builder = hdfsNewBuilder();
    hdfsBuilderSetForceNewInstance(builder);
    hdfsBuilderSetNameNode(builder, "default");
    hdfsBuilderSetUserName(builder, principal.c_str());
    hdfsBuilderSetKerbTicketCachePath(builder, cache.c_str());
    hdfsFS fs = hdfsBuilderConnect(builder);
    ASSERT_NE(fs, nullptr) << "errno " << errno << ": " << hdfsGetLastExceptionRootCause();
    PutFile(fs, "/f", "x");
    EXPECT_STREQ(PathInfo(fs, "/f")->mOwner, "hdfs");
    hdfsDisconnect(fs);

    ASSERT_EQ(testsupport::Shell("kdestroy -c '" + cache + "' 2>&1", &output), 0) << output;
    builder = hdfsNewBuilder();
    hdfsBuilderSetNameNode(builder, "default");
    hdfsBuilderSetKerbTicketCachePath(builder, cache.c_str());
    EXPECT_FAILS_WITH(hdfsBuilderConnect(builder), nullptr, EINTERNAL);
}
