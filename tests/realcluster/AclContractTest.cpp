// One contract for the REST utility service's getacl and setacl, run against both of its
// backends: HDFS through Hadoop's client API (a real MiniDFSCluster) and the localcluster
// stand-in's namespace directory. Each request gives the same answer or the same error on both.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "support/RealCluster.h"
#include "support/TestSupport.h"
#include "support/UtilServerProcess.h"

using nlohmann::json;
using testsupport::HttpClient;
using testsupport::RealCluster;
using testsupport::UtilServerProcess;

namespace {

// Status, exception name and message of an error answer.
using RemoteError = std::tuple<long, std::string, std::string>;

RemoteError ErrorOf(const HttpClient::Answer& answer) {
    const json body = json::parse(answer.body, nullptr, false);
    if (body.is_discarded() || !body.contains("RemoteException"))
        return {answer.status, "", answer.body};
    return {answer.status, body["RemoteException"]["exception"].get<std::string>(),
            body["RemoteException"]["message"].get<std::string>()};
}

// Where the paths of a test live and how they are made.
class Backend {
  public:
    virtual ~Backend() = default;
    // The test's own directory, as an HDFS path.
    virtual std::string Root() = 0;
    // Makes empty files and directories below Root() (paths relative to it).
    virtual void Make(const std::vector<std::string>& files,
                      const std::vector<std::string>& directories) = 0;
    // Writes the service's properties into `serviceDir` as `user` and returns the extra class
    // path the service needs.
    virtual std::string Configure(const std::string& serviceDir, const std::string& user) = 0;
};

void WriteProperties(const std::string& serviceDir, const std::string& confDir,
                     const std::string& user) {
    testsupport::WriteFile(serviceDir + "/dxhadooputil.properties",
                           "util.hadoop.user=" + user + "\nutil.hadoop.config=" + confDir + "\n");
}

class StandInBackend : public Backend {
  public:
    std::string Root() override { return "/t"; }
    void Make(const std::vector<std::string>& files,
              const std::vector<std::string>& directories) override {
        for (const std::string& d : directories)
            std::filesystem::create_directories(m_dir / ("namespace/t/" + d));
        std::filesystem::create_directories(m_dir / "namespace/t");
        for (const std::string& f : files)
            testsupport::WriteFile(m_dir / ("namespace/t/" + f), "", 0644);
    }
    std::string Configure(const std::string& serviceDir, const std::string& user) override {
        testsupport::WriteNamespaceConf(m_dir / "conf", m_dir / "namespace");
        WriteProperties(serviceDir, m_dir / "conf", user);
        return "";
    }

  private:
    testsupport::TempDir m_dir{"contract"};
};

class HadoopBackend : public Backend {
  public:
    std::string Root() override { return m_root; }
    void Make(const std::vector<std::string>& files,
              const std::vector<std::string>& directories) override {
        std::vector<std::string> mkdir = {"fs", "-mkdir", "-p", m_root};
        for (const std::string& d : directories)
            mkdir.push_back(m_root + "/" + d);
        ASSERT_EQ(0, m_cluster.Hadoop(mkdir));
        if (files.empty())
            return;
        std::vector<std::string> touch = {"fs", "-touchz"};
        for (const std::string& f : files)
            touch.push_back(m_root + "/" + f);
        ASSERT_EQ(0, m_cluster.Hadoop(touch));
    }
    std::string Configure(const std::string& serviceDir, const std::string& user) override {
        WriteProperties(serviceDir, m_cluster.confDir(), user);
        return m_cluster.hadoopHome() + "/share/hadoop/client/*";
    }

  private:
    RealCluster m_cluster = RealCluster::Plain();
    std::string m_root = m_cluster.TestRoot();
};

enum class Kind { kHadoop, kStandIn };

class AclContract : public ::testing::TestWithParam<Kind> {
  protected:
    void SetUp() override {
        if (GetParam() == Kind::kHadoop)
            m_backend = std::make_unique<HadoopBackend>();
        else
            m_backend = std::make_unique<StandInBackend>();
        m_backend->Make({"file", "other"}, {"dir"});
    }

    // Starts the service acting as `user` (the superuser by default).
    void Start(const std::string& user = "root") {
        const std::string serviceDir = m_dir / "service";
        std::filesystem::create_directories(serviceDir);
        const std::string classPath = m_backend->Configure(serviceDir, user);
        m_server = std::make_unique<UtilServerProcess>(
            serviceDir, m_dir / "service.out", 0, testsupport::RandomServiceSecret(), classPath);
        m_client.SetSecret(m_server->secret());
        ASSERT_TRUE(m_server->WaitUntilAnswering()) << testsupport::ReadFile(m_dir / "service.out");
        // The first request loads the backend (for HDFS: the client and its connection), which
        // takes longer than any later one on a loaded machine.
        const HttpClient::Answer first = m_client.Post(
            m_server->baseUrl() + "/getacl", json{{"path", m_backend->Root()}}.dump(), 120000);
        ASSERT_EQ(200, first.status) << first.body << Output();
    }

    std::string Path(const std::string& relative) { return m_backend->Root() + "/" + relative; }

    HttpClient::Answer GetAcl(const std::string& path) {
        return m_client.Post(m_server->baseUrl() + "/getacl", json{{"path", path}}.dump());
    }
    HttpClient::Answer SetAcl(const std::string& path, json change) {
        json body = {{"path", path}};
        body.update(change);
        return m_client.Post(m_server->baseUrl() + "/setacl", body.dump());
    }
    // The state of a path; fails the test on an error answer.
    json State(const std::string& path) {
        const HttpClient::Answer answer = GetAcl(path);
        EXPECT_EQ(200, answer.status) << answer.body;
        return json::parse(answer.body, nullptr, false);
    }
    std::string Output() { return testsupport::ReadFile(m_dir / "service.out"); }

    testsupport::TempDir m_dir{"contract-service"};
    std::unique_ptr<Backend> m_backend;
    std::unique_ptr<UtilServerProcess> m_server;
    HttpClient m_client;
};

TEST_P(AclContract, MissingPathIsNotFoundForReadAndWrite) {
    Start();
    const std::string missing = Path("missing");
    const RemoteError notFound(404, "FileNotFoundException", "File does not exist: " + missing);
    EXPECT_EQ(notFound, ErrorOf(GetAcl(missing)));
    EXPECT_EQ(notFound, ErrorOf(SetAcl(missing, {{"AclStatus", {{"permission", "700"}}}})));
}

TEST_P(AclContract, InvalidAclsAndXattrNamesAreRefusedAndChangeNothing) {
    Start();
    const std::string file = Path("file");
    const json before = State(file);
    EXPECT_EQ(RemoteError(400, "IllegalArgumentException", "Invalid ACL entry: \"user:alice:rwz\""),
              ErrorOf(SetAcl(file, {{"AclStatus", {{"entries", {"user:alice:rwz"}}}}})));
    EXPECT_EQ(RemoteError(400, "IllegalArgumentException",
                          "Invalid ACL: multiple entries with same scope, type and name: "
                          "user:alice"),
              ErrorOf(SetAcl(
                  file, {{"AclStatus", {{"entries", {"user:alice:rwx", "user:alice:r--"}}}}})));
    EXPECT_EQ(RemoteError(400, "IllegalArgumentException",
                          "An XAttr name must be prefixed with user/trusted/security/system/raw, "
                          "followed by a '.': \"color\""),
              ErrorOf(SetAcl(file, {{"XAttrs", {{{"name", "color"}, {"value", "red"}}}},
                                    {"AclStatus", {{"permission", "600"}}}})));
    EXPECT_EQ(before, State(file));
}

TEST_P(AclContract, NamedEntriesOwnerAndModeAreAppliedAndReadBack) {
    Start();
    const std::string file = Path("file");
    const json answer = json::parse(SetAcl(file, {{"AclStatus",
                                                   {{"entries", {"user:alice:rwx", "group::r-x"}},
                                                    {"owner", "alice"},
                                                    {"group", "staff"},
                                                    {"permission", "750"}}}})
                                        .body,
                                    nullptr, false);
    ASSERT_FALSE(answer.is_discarded());
    const json expected = {{"entries", {"user:alice:rwx", "group::r-x"}},
                           {"group", "staff"},
                           {"owner", "alice"},
                           {"permission", "750"},
                           {"stickyBit", false}};
    EXPECT_EQ(expected, answer["AclStatus"]);
    EXPECT_EQ(expected, State(file)["AclStatus"]);

    // An empty entry list removes the extended ACL; the mode stays.
    EXPECT_EQ(200, SetAcl(file, {{"AclStatus", {{"entries", json::array()}}}}).status);
    const json removed = State(file)["AclStatus"];
    EXPECT_EQ(json::array(), removed["entries"]);
    EXPECT_EQ("750", removed["permission"]);
}

// A getacl answer sent back to another path gives that path the same state, an ACL with a mask
// narrower than its group entry and a sticky directory included: this is what a restore does.
TEST_P(AclContract, AnswerSentBackRestoresTheSameStateMaskIncluded) {
    Start();
    const std::string file = Path("file");
    ASSERT_EQ(200, SetAcl(file, {{"AclStatus",
                                  {{"entries", {"user:bob:rw-", "group::rwx", "mask::r--"}},
                                   {"permission", "640"}}},
                                 {"XAttrs",
                                  {{{"name", "user.color"}, {"value", "red"}},
                                   {{"name", "user.blob"}, {"value", "0sAAEC/w=="}}}}})
                       .status);
    const json original = State(file);
    EXPECT_EQ("640", original["AclStatus"]["permission"]);  // the group bits are the mask
    EXPECT_EQ(json({{{"name", "user.blob"}, {"value", "0sAAEC/w=="}},
                    {{"name", "user.color"}, {"value", "red"}}}),
              original["XAttrs"]);

    const std::string other = Path("other");
    ASSERT_EQ(200, SetAcl(other, original).status);
    EXPECT_EQ(original, State(other));

    const std::string dir = Path("dir");
    ASSERT_EQ(200, SetAcl(dir, {{"AclStatus",
                                 {{"entries",
                                   {"default:user:bob:r-x", "default:user::rwx",
                                    "default:group::r-x", "default:other::---"}},
                                  {"permission", "1777"}}}})
                       .status);
    const json sticky = State(dir);
    EXPECT_EQ(true, sticky["AclStatus"]["stickyBit"]);
    EXPECT_EQ("1777", sticky["AclStatus"]["permission"]);
}

TEST_P(AclContract, UserXattrsAreSetReplacedAndRemoved) {
    Start();
    const std::string file = Path("file");
    ASSERT_EQ(200, SetAcl(file, {{"XAttrs",
                                  {{{"name", "user.a"}, {"value", "1"}},
                                   {{"name", "user.b"}, {"value", "2"}}}}})
                       .status);
    ASSERT_EQ(200, SetAcl(file, {{"XAttrs",
                                  {{{"name", "user.a"}, {"value", "3"}},
                                   {{"name", "user.b"}, {"value", nullptr}},
                                   {{"name", "user.never"}, {"value", nullptr}}}}})
                       .status);
    EXPECT_EQ(json({{{"name", "user.a"}, {"value", "3"}}}), State(file)["XAttrs"]);
}

INSTANTIATE_TEST_SUITE_P(Backends, AclContract, ::testing::Values(Kind::kHadoop, Kind::kStandIn),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::kHadoop ? "Hadoop" : "StandIn";
                         });

// Only HDFS checks the acting user's permissions (the stand-in acts as the superuser): a user
// the cluster refuses gets 403 and the path keeps its state.
TEST(AclContractHadoop, UserWithoutAccessIsRefusedWith403) {
    testsupport::TempDir dir{"contract-denied"};
    RealCluster cluster = RealCluster::Plain();
    const std::string root = cluster.TestRoot();
    ASSERT_EQ(0, cluster.Hadoop({"fs", "-mkdir", "-p", root + "/private"}));
    ASSERT_EQ(0, cluster.Hadoop({"fs", "-touchz", root + "/private/secret"}));
    ASSERT_EQ(0, cluster.Hadoop({"fs", "-chmod", "700", root + "/private"}));
    WriteProperties(dir.path(), cluster.confDir(), "alice");
    UtilServerProcess server(dir.path(), dir / "service.out", 0, testsupport::RandomServiceSecret(),
                             cluster.hadoopHome() + "/share/hadoop/client/*");
    ASSERT_TRUE(server.WaitUntilAnswering());
    HttpClient client;
    client.SetSecret(server.secret());
    ASSERT_EQ(
        200, client.Post(server.baseUrl() + "/getacl", json{{"path", root}}.dump(), 120000).status);
    const std::string secret = root + "/private/secret";
    const RemoteError denied =
        ErrorOf(client.Post(server.baseUrl() + "/setacl",
                            json{{"path", secret}, {"AclStatus", {{"permission", "777"}}}}.dump()));
    EXPECT_EQ(403, std::get<0>(denied));
    EXPECT_EQ("AccessControlException", std::get<1>(denied));
    EXPECT_NE(std::string::npos, std::get<2>(denied).find("Permission denied: user=alice"))
        << std::get<2>(denied);
    EXPECT_EQ(403, client.Post(server.baseUrl() + "/getacl", json{{"path", secret}}.dump()).status);
}

}  // namespace
