// User and group identity mapping of CHadoopFS with the machine's real users and groups (root,
// nobody, daemon): principals, caching, several names for one ID, failures, concurrent lookups.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "hadoop/HadoopFS.h"
#include "support/ErrorChecks.h"

using testsupport::ExpectError;

// Reaches the caches: a test seeds entries that the user database cannot provide.
class CHadoopFSTestPeer {
  public:
    static std::map<std::string, unsigned int>& UserIDs(CHadoopFS& fs) { return fs.m_mapUserIDs; }
    static std::map<std::string, unsigned int>& GroupIDs(CHadoopFS& fs) { return fs.m_mapGroupIDs; }
    static std::map<std::string, CHadoopFS::ID>& IDs(CHadoopFS& fs) { return fs.m_mapIDs; }
};

namespace {

const uid_t kNobody = 65534;
const gid_t kNogroup = 65534;
const char* const kUnknownUser = "hdfsagent-no-such-user";

class Identity : public ::testing::Test {
  protected:
    // Not connected (the library is not initialised in unit tests): the caches work regardless.
    CHadoopFS m_fs;
};

}  // namespace

TEST_F(Identity, GetIDGivesUserAndPrimaryGroupAndNeverShortensNames) {
    CHadoopFS::ID id = {1, 1};
    ASSERT_TRUE(m_fs.GetID("nobody", id).Succeeded());
    EXPECT_EQ(kNobody, id.uid);
    EXPECT_EQ(kNogroup, id.gid);
    id = {7, 7};
    CEkError err = m_fs.GetID("root/host.example.com@EXAMPLE.COM", id);
    ExpectError(
        err, ENOENT,
        "Failed to get ID for user 'root/host.example.com@EXAMPLE.COM': No such file or directory");
    EXPECT_EQ(7u, id.uid);  // untouched on failure
    EXPECT_EQ(1u, CHadoopFSTestPeer::IDs(m_fs).size());
}

// After "user@REALM" authenticated, the refresh looked the whole principal up and failed. A
// principal with an instance part maps to its short name too.
TEST_F(Identity, GetUserIDMapsRealmPrincipalToLocalUser) {
    for (const char* principal :
         {"nobody@EXAMPLE.COM", "nobody@EXAMPLE.COM", "nobody/host.example.com@EXAMPLE.COM"}) {
        uid_t uid = 1;
        ASSERT_TRUE(m_fs.GetUserID(principal, uid).Succeeded()) << principal;
        EXPECT_EQ(kNobody, uid) << principal;
    }
    EXPECT_EQ(1u, CHadoopFSTestPeer::UserIDs(m_fs).count("nobody"));
    std::string name;
    ASSERT_TRUE(m_fs.GetUserName(kNobody, name).Succeeded());
    EXPECT_EQ("nobody", name);

    CHadoopFS fresh;
    uid_t uid = 1;
    CEkError err = fresh.GetUserID(std::string(kUnknownUser) + "@EXAMPLE.COM", uid);
    ExpectError(err, ENOENT,
                "Failed to get ID for user 'hdfsagent-no-such-user@EXAMPLE.COM': No such file or "
                "directory");
    EXPECT_EQ(1u, uid);
    EXPECT_TRUE(CHadoopFSTestPeer::UserIDs(fresh).empty());
}

TEST_F(Identity, CachedMappingIsKeptAndTwoNamesForOneIDGiveTheFirstByBytes) {
    // A mapping once made is answered from the cache, whatever the database says later.
    CHadoopFSTestPeer::UserIDs(m_fs)["departed"] = 4242;
    CHadoopFSTestPeer::GroupIDs(m_fs)["gone"] = 4343;
    CHadoopFSTestPeer::UserIDs(m_fs)["toor"] = 0;
    CHadoopFSTestPeer::UserIDs(m_fs)["admin"] = 0;
    uid_t uid = 0;
    ASSERT_TRUE(m_fs.GetUserID("departed", uid).Succeeded());
    EXPECT_EQ(4242u, uid);
    gid_t gid = 0;
    ASSERT_TRUE(m_fs.GetGroupID("gone", gid).Succeeded());
    EXPECT_EQ(4343u, gid);
    std::string name;
    ASSERT_TRUE(m_fs.GetGroupName(4343, name).Succeeded());
    EXPECT_EQ("gone", name);
    ASSERT_TRUE(m_fs.GetUserName(0, name).Succeeded());
    EXPECT_EQ("admin", name);
}

TEST_F(Identity, GroupsByNameAndIDAndUnknownsFailWithTheirMessages) {
    gid_t gid = 0;
    ASSERT_TRUE(m_fs.GetGroupID("daemon", gid).Succeeded());
    EXPECT_EQ(1u, gid);
    std::string name;
    ASSERT_TRUE(m_fs.GetGroupName(kNogroup, name).Succeeded());
    EXPECT_EQ("nogroup", name);
    EXPECT_EQ(1u, CHadoopFSTestPeer::GroupIDs(m_fs).count("nogroup"));

    uid_t uid = 0;
    name = "unchanged";
    CEkError err = m_fs.GetUserID(kUnknownUser, uid);
    ExpectError(err, ENOENT,
                "Failed to get ID for user 'hdfsagent-no-such-user': No such file or directory");
    err = m_fs.GetGroupID("hdfsagent-no-such-group", gid);
    ExpectError(err, ENOENT,
                "Failed to get ID for group 'hdfsagent-no-such-group': No such file or directory");
    err = m_fs.GetUserName(4000000000u, name);
    ExpectError(err, ENOENT,
                "Failed to get name for user ID '-294967296': No such file or directory");
    err = m_fs.GetGroupName(3999999, name);
    ExpectError(err, ENOENT,
                "Failed to get name for group ID '3999999': No such file or directory");
    EXPECT_EQ("unchanged", name);
    EXPECT_TRUE(CHadoopFSTestPeer::UserIDs(m_fs).empty());
    EXPECT_EQ(2u, CHadoopFSTestPeer::GroupIDs(m_fs).size());
}

TEST_F(Identity, ConcurrentLookupsAgree) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                uid_t uid = 1;
                gid_t gid = 1;
                std::string user, group;
                CHadoopFS::ID id = {1, 1};
                const bool ok = m_fs.GetUserID(t % 2 ? "nobody" : "root/x@R", uid).Succeeded() &&
                                m_fs.GetGroupID("daemon", gid).Succeeded() &&
                                m_fs.GetUserName(kNobody, user).Succeeded() &&
                                m_fs.GetGroupName(0, group).Succeeded() &&
                                m_fs.GetID("daemon", id).Succeeded();
                if (!ok || uid != (t % 2 ? kNobody : 0u) || gid != 1u || user != "nobody" ||
                    group != "root" || id.uid != 1u)
                    ++failures;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(0, failures.load());
}
