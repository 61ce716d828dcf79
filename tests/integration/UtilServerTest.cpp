// The REST utility service jar run on its own (as the library's command line runs it): hello,
// ACL and extended attribute round trips against the backing files' xattrs, error answers, the
// test knobs and concurrency.
#include <curl/curl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/TestSupport.h"
#include "support/UtilServerProcess.h"

using nlohmann::json;
using testsupport::HttpClient;
using testsupport::UtilServerProcess;

namespace {

std::optional<std::string> Xattr(const std::string& path, const std::string& name) {
    char buffer[65536];
    ssize_t n = getxattr(path.c_str(), name.c_str(), buffer, sizeof buffer);
    if (n < 0)
        return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
}

unsigned ModeBits(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return 0xffffffff;
    return st.st_mode & 07777;
}

// What the service answers in a RemoteException: status, exception name, message.
using RemoteError = std::tuple<long, std::string, std::string>;

RemoteError ErrorOf(const HttpClient::Answer& answer) {
    json body = json::parse(answer.body, nullptr, false);
    if (body.is_discarded() || !body.contains("RemoteException"))
        return {answer.status, "", answer.body};
    return {answer.status, body["RemoteException"]["exception"].get<std::string>(),
            body["RemoteException"]["message"].get<std::string>()};
}

class UtilServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_root = m_dir / "namespace";
        m_conf = m_dir / "conf";
        m_service = m_dir / "service";
        std::filesystem::create_directories(m_root + "/data");
        std::filesystem::create_directories(m_service);
        testsupport::WriteNamespaceConf(m_conf, m_root);
        testsupport::WriteFile(m_root + "/data/a", "content", 0644);
    }

    // Writes the service's properties (the Hadoop configuration plus `knobs`) and starts it.
    void Start(const std::string& knobs = "", const std::string& configLocation = "") {
        testsupport::WriteUtilServerProperties(m_service, m_conf, knobs);
        m_server = std::make_unique<UtilServerProcess>(
            configLocation.empty() ? m_service : configLocation, m_dir / "service.out");
        m_client.SetSecret(m_server->secret());
        ASSERT_TRUE(m_server->WaitUntilAnswering()) << ServiceOutput();
    }

    // Rewrites the running service's properties; it reads them again at its next request.
    void Reconfigure(const std::string& knobs, const std::string& hadoopConf = "") {
        testsupport::WriteUtilServerProperties(m_service, hadoopConf.empty() ? m_conf : hadoopConf,
                                               knobs);
    }

    std::string ServiceOutput() { return testsupport::ReadFile(m_dir / "service.out"); }

    std::string Url(const std::string& resource, const std::string& application = "hadoop") {
        return m_server->baseUrl(application) + "/" + resource;
    }

    HttpClient::Answer GetAcl(const std::string& path, const std::string& application = "hadoop") {
        return m_client.Post(Url("getacl", application), json{{"path", path}}.dump());
    }

    // setacl with "path" first, then the members of `change`, as the library builds it.
    HttpClient::Answer SetAcl(const std::string& path, const json& change) {
        std::string members = change.dump();
        std::string body = json{{"path", path}}.dump();
        if (members != "{}")
            body = body.substr(0, body.size() - 1) + "," + members.substr(1);
        return m_client.Post(Url("setacl"), body);
    }

    testsupport::TempDir m_dir{"utilserver"};
    std::string m_root, m_conf, m_service;
    std::unique_ptr<UtilServerProcess> m_server;
    HttpClient m_client;
};

TEST_F(UtilServerTest, HelloAnswersOnBothApplicationPathsAndLogsRequests) {
    testsupport::WriteUtilServerLog4j(m_service, "DEBUG, R", m_dir / "dxhdfsutil.log");
    Start();

    for (std::string application : {"hadoop", "hbase"}) {
        auto hello = m_client.Get(Url("hello.json", application));
        ASSERT_EQ(hello.status, 200) << hello.body;
        EXPECT_EQ(json::parse(hello.body), (json{{"status", "OK"},
                                                 {"service", "dxhdfsutil"},
                                                 {"application", application},
                                                 {"version", "1"}}));
    }

    EXPECT_EQ(ErrorOf(m_client.Get(m_server->baseUrl("other") + "/hello.json")),
              RemoteError(404, "FileNotFoundException",
                          "No such resource: /REST/other/hello.json (known: /REST/hadoop/ and "
                          "/REST/hbase/ with hello.json, getacl, getaclbatch, setacl)"));
    EXPECT_EQ(ErrorOf(m_client.Get(Url("getacl"))),
              RemoteError(405, "UnsupportedOperationException",
                          "Method GET is not allowed for /REST/hadoop/getacl (allowed: POST)"));

    // A request's line is written once its answer has gone out: wait for it.
    std::string log;
    for (int waited = 0; waited < 5000; waited += 20) {
        log = testsupport::ReadFile(m_dir / "dxhdfsutil.log");
        if (log.find("GET /REST/hbase/hello.json -> 200") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(log.find("INFO  [main] dxhdfsutil - listening on 127.0.0.1:" +
                       std::to_string(m_server->port())),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("GET /REST/hbase/hello.json -> 200"), std::string::npos) << log;
}

TEST_F(UtilServerTest, AclRoundTripKeepsEntriesOwnerGroupAndModeInBackingFile) {
    Start();
    const std::string file = m_root + "/data/a";

    auto before = GetAcl("/data/a");
    ASSERT_EQ(before.status, 200) << before.body;
    EXPECT_EQ(json::parse(before.body), (json{{"AclStatus",
                                               {{"entries", json::array()},
                                                {"group", getgrgid(getgid())->gr_name},
                                                {"owner", getpwuid(getuid())->pw_name},
                                                {"permission", "644"},
                                                {"stickyBit", false}}},
                                              {"XAttrs", json::array()}}));

    json acl = {{"entries", {"user:alice:rwx", "group::r-x", "default:user:bob:r--"}},
                {"owner", "hdfs"},
                {"group", "supergroup"},
                {"permission", "750"},
                {"stickyBit", true}};
    auto set = SetAcl("/data/a", {{"AclStatus", acl}});
    ASSERT_EQ(set.status, 200) << set.body;
    json expected = {{"AclStatus", acl}, {"XAttrs", json::array()}};
    expected["AclStatus"]["permission"] = "1750";
    EXPECT_EQ(json::parse(set.body), expected);

    EXPECT_EQ(Xattr(file, "user.hdfs.acl"), "user:alice:rwx,group::r-x,default:user:bob:r--");
    EXPECT_EQ(Xattr(file, "user.hdfs.owner"), "hdfs");
    EXPECT_EQ(Xattr(file, "user.hdfs.group"), "supergroup");
    EXPECT_EQ(ModeBits(file), 01750u);

    // Same namespace through the HBase path (HBase has no root of its own here).
    auto viaHbase = GetAcl("//data/a", "hbase");
    ASSERT_EQ(viaHbase.status, 200) << viaHbase.body;
    EXPECT_EQ(json::parse(viaHbase.body), expected);

    // A getacl answer sent back for another path restores the same state there.
    testsupport::WriteFile(m_root + "/data/b", "", 0600);
    auto restore = SetAcl("/data/b", json::parse(GetAcl("/data/a").body));
    ASSERT_EQ(restore.status, 200) << restore.body;
    EXPECT_EQ(json::parse(GetAcl("/data/b").body), expected);

    // A "path" among the caller's members does not redirect the change: the first one counts.
    auto redirected =
        SetAcl("/data/b", {{"AclStatus", {{"owner", "mallory"}}}, {"path", "/data/a"}});
    ASSERT_EQ(redirected.status, 200) << redirected.body;
    EXPECT_EQ(Xattr(m_root + "/data/b", "user.hdfs.owner"), "mallory");
    EXPECT_EQ(Xattr(file, "user.hdfs.owner"), "hdfs");

    // An empty entry list removes the extended ACL; the rest stays.
    ASSERT_EQ(SetAcl("/data/a", {{"AclStatus", {{"entries", json::array()}}}}).status, 200);
    EXPECT_EQ(Xattr(file, "user.hdfs.acl"), std::nullopt);
    EXPECT_EQ(Xattr(file, "user.hdfs.owner"), "hdfs");
    EXPECT_EQ(ModeBits(file), 01750u);
}

TEST_F(UtilServerTest, XAttrValuesRoundTripAsTextOrBase64) {
    Start();
    const std::string file = m_root + "/data/a";

    auto set = SetAcl("/data/a", {{"XAttrs",
                                   {{{"name", "user.color"}, {"value", "red"}},
                                    {{"name", "trusted.blob"}, {"value", "0sAAEC/w=="}},
                                    {{"name", "user.hex"}, {"value", "0x414243"}},
                                    {{"name", "user.quoted"}, {"value", "\"0sText\""}},
                                    {{"name", "USER.Upper"}, {"value", ""}}}}});
    ASSERT_EQ(set.status, 200) << set.body;

    EXPECT_EQ(Xattr(file, "user.hdfs.x.user.color"), "red");
    EXPECT_EQ(Xattr(file, "user.hdfs.x.trusted.blob"), std::string("\x00\x01\x02\xff", 4));
    EXPECT_EQ(Xattr(file, "user.hdfs.x.user.hex"), "ABC");
    EXPECT_EQ(Xattr(file, "user.hdfs.x.user.quoted"), "0sText");
    EXPECT_EQ(Xattr(file, "user.hdfs.x.user.Upper"), "");

    // Sorted by name; binary values and text that would read as an encoding come back in base64.
    json xattrs = {{{"name", "trusted.blob"}, {"value", "0sAAEC/w=="}},
                   {{"name", "user.Upper"}, {"value", ""}},
                   {{"name", "user.color"}, {"value", "red"}},
                   {{"name", "user.hex"}, {"value", "ABC"}},
                   {{"name", "user.quoted"}, {"value", "0sMHNUZXh0"}}};
    EXPECT_EQ(json::parse(set.body)["XAttrs"], xattrs);
    EXPECT_EQ(json::parse(GetAcl("/data/a").body)["XAttrs"], xattrs);

    // Mode bits that deny even the owner do not keep the service from the attributes.
    ASSERT_EQ(chmod(file.c_str(), 0), 0);
    auto locked = SetAcl("/data/a", {{"XAttrs", {{{"name", "user.late"}, {"value", "1"}}}}});
    ASSERT_EQ(locked.status, 200) << locked.body;
    EXPECT_EQ(json::parse(locked.body)["AclStatus"]["permission"], "0");
    EXPECT_EQ(json::parse(locked.body)["XAttrs"].size(), 6u);
    EXPECT_EQ(ModeBits(file), 0u);
    ASSERT_EQ(SetAcl("/data/a", {{"AclStatus", {{"permission", "644"}}}}).status, 200);
    EXPECT_EQ(Xattr(file, "user.hdfs.x.user.late"), "1");
    ASSERT_EQ(SetAcl("/data/a", {{"XAttrs", {{{"name", "user.late"}, {"value", nullptr}}}}}).status,
              200);

    // A null value removes the attribute.
    ASSERT_EQ(
        SetAcl("/data/a", {{"XAttrs", {{{"name", "user.color"}, {"value", nullptr}}}}}).status,
        200);
    EXPECT_EQ(Xattr(file, "user.hdfs.x.user.color"), std::nullopt);
    EXPECT_EQ(json::parse(GetAcl("/data/a").body)["XAttrs"].size(), 4u);
}

TEST_F(UtilServerTest, BadRequestsAnswerJsonErrorsAndChangeNothing) {
    std::filesystem::create_directories(m_dir / "outside");
    std::filesystem::create_directory_symlink(m_dir / "outside", m_root + "/data/out");
    Start();

    // A setacl that also carries a valid attribute (nothing of it may be applied), with more
    // attributes and more members.
    auto set = [](const std::string& moreXattrs, const std::string& moreMembers) {
        return R"({"path":"/data/a","XAttrs":[{"name":"user.k","value":"v"})" + moreXattrs + "]" +
               moreMembers + "}";
    };
    const std::map<long, std::string> exception = {{400, "IllegalArgumentException"},
                                                   {403, "AccessControlException"},
                                                   {404, "FileNotFoundException"}};
    const struct {
        std::string resource, body;
        long status;
        std::string message;
    } cases[] = {
        // What a client that pastes "path" in front of an empty object, or a path with a
        // double quote, into the text without escaping would send.
        {"getacl", R"({"path":"/data/a",})", 400,
         "Invalid JSON at offset 18: expected a member name"},
        {"getacl", R"({"path":"/da"ta"})", 400, "Invalid JSON at offset 13: expected ',' or '}'"},
        {"getacl", "garbage", 400, "Invalid JSON at offset 0: unexpected character 'g'"},
        {"getacl", std::string(100, '['), 400,
         "Invalid JSON at offset 64: JSON nesting deeper than 64"},
        {"getacl", "[1]", 400, "the request body must be a JSON object"},
        {"getacl", "{}", 400, "the request has no \"path\" member"},
        {"getacl", R"({"path":7})", 400, "path must be a JSON string"},
        {"getacl", R"({"path":"/data/a","x":1})", 400,
         "unknown member \"x\" in the getacl request (known: path)"},
        {"getacl", R"({"path":"data/a"})", 400,
         "Invalid path name: \"data/a\" is not an absolute path"},
        {"getacl", R"({"path":"/data/../data/a"})", 400,
         "Invalid path name: \"/data/../data/a\" has a '.' or '..' component"},
        {"getacl", R"({"path":"/nope"})", 404, "File does not exist: /nope"},
        {"getacl", R"({"path":"/data/a/b"})", 404, "File does not exist: /data/a/b"},
        {"getacl", R"({"path":"/data/out"})", 403,
         "/data/out: Permission denied: resolves outside the namespace root"},
        {"setacl", set("", R"(,"acl":[])"), 400,
         "unknown member \"acl\" in the setacl request (known: AclStatus, XAttrs, path)"},
        {"setacl", set("", R"(,"AclStatus":{"entries":["user:alice:rwz"]})"), 400,
         "Invalid ACL entry: \"user:alice:rwz\""},
        {"setacl", set("", R"(,"AclStatus":{"entries":["user:al:r--","user:al:rw-"]})"), 400,
         "Invalid ACL: multiple entries with same scope, type and name: user:al"},
        {"setacl", set("", R"(,"AclStatus":{"entries":["mask:m:r--"]})"), 400,
         "Invalid ACL entry: \"mask:m:r--\" (mask takes no name)"},
        {"setacl", set("", R"(,"AclStatus":{"permission":"800"})"), 400,
         "Invalid permission \"800\": expected octal digits, at most 7777"},
        {"setacl", set(R"(,{"name":"color","value":"v"})", ""), 400,
         "An XAttr name must be prefixed with user/trusted/security/system/raw, followed by a '.': "
         "\"color\""},
        {"setacl", set(R"(,{"name":"user.b","value":"0s!!"})", ""), 400,
         "invalid base64 XAttr value: Illegal base64 character 21"},
        {"setacl", set(R"(,{"name":"user.k","value":"w"})", ""), 400,
         "XAttr \"user.k\" is given twice"},
        {"setacl", set("", R"(,"AclStatus":{"owner":""})"), 400,
         "AclStatus.owner must not be empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.resource + " " + c.body);
        EXPECT_EQ(ErrorOf(m_client.Post(Url(c.resource), c.body)),
                  RemoteError(c.status, exception.at(c.status), c.message));
    }

    char names[4096];
    EXPECT_EQ(listxattr((m_root + "/data/a").c_str(), names, sizeof names), 0);
    EXPECT_EQ(ModeBits(m_root + "/data/a"), 0644u);
    EXPECT_EQ(listxattr((m_dir / "outside").c_str(), names, sizeof names), 0);
}

// --- getaclbatch: many paths in one request ---

TEST_F(UtilServerTest, BatchAnswersEachPathInOrderAndABadPathInTheMiddleAlone) {
    testsupport::WriteFile(m_root + "/data/b", "b", 0600);
    Start();
    ASSERT_EQ(SetAcl("/data/b", {{"XAttrs", {{{"name", "user.k"}, {"value", "v"}}}}}).status, 200);

    const json paths = {"/data/a", "/nope", "data/a", "/data/b", "/data/a"};
    auto batch = m_client.Post(Url("getaclbatch"), json{{"paths", paths}}.dump());
    ASSERT_EQ(batch.status, 200) << batch.body;
    const json answers = json::parse(batch.body).at("answers");
    ASSERT_EQ(answers.size(), paths.size());
    // Each readable path's answer is its getacl answer with the status in front.
    for (size_t i : {0, 3, 4}) {
        SCOPED_TRACE(paths[i].get<std::string>());
        json single = json::parse(GetAcl(paths[i]).body);
        single["status"] = 200;
        EXPECT_EQ(answers[i], single);
    }
    EXPECT_EQ(answers[3]["XAttrs"], (json{{{"name", "user.k"}, {"value", "v"}}}));
    const auto remote = [](long status, const char* exception, const char* javaClass,
                           const char* message) {
        return json{
            {"status", status},
            {"RemoteException",
             {{"exception", exception}, {"javaClassName", javaClass}, {"message", message}}}};
    };
    EXPECT_EQ(answers[1], remote(404, "FileNotFoundException", "java.io.FileNotFoundException",
                                 "File does not exist: /nope"));
    EXPECT_EQ(answers[2],
              remote(400, "IllegalArgumentException", "java.lang.IllegalArgumentException",
                     "Invalid path name: \"data/a\" is not an absolute path"));
}

TEST_F(UtilServerTest, BatchRequestsOfTheWrongShapeAreRefusedWhole) {
    Start();
    const json tooMany = {{"paths", std::vector<std::string>(1001, "/data/a")}};
    const struct {
        std::string body;
        std::string message;
    } cases[] = {
        {"{}", "the request has no \"paths\" member"},
        {R"({"paths":"/data/a"})", "paths must be a JSON array"},
        {R"({"paths":[]})", "paths must name at least one path"},
        {R"({"paths":["/data/a",7]})", "paths item must be a JSON string"},
        {R"({"paths":["/data/a"],"path":"/data/a"})",
         "unknown member \"path\" in the getaclbatch request (known: paths)"},
        {tooMany.dump(), "paths names 1001 paths; at most 1000 are served at once"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 80));
        EXPECT_EQ(ErrorOf(m_client.Post(Url("getaclbatch"), c.body)),
                  RemoteError(400, "IllegalArgumentException", c.message));
    }
    EXPECT_EQ(
        ErrorOf(m_client.Get(Url("getaclbatch"))),
        RemoteError(405, "UnsupportedOperationException",
                    "Method GET is not allowed for /REST/hadoop/getaclbatch (allowed: POST)"));
    const json limit = {{"paths", std::vector<std::string>(1000, "/data/a")}};
    auto full = m_client.Post(Url("getaclbatch"), limit.dump());
    ASSERT_EQ(full.status, 200) << full.body.substr(0, 200);
    EXPECT_EQ(json::parse(full.body).at("answers").size(), 1000u);
}

// The configuration given as a file rather than a directory; the start delay and the 503 knob.
TEST_F(UtilServerTest, StartDelayAndUnavailableKnobsWithConfigurationGivenAsFile) {
    auto started = std::chrono::steady_clock::now();
    Start("dxutil.test.startDelayMs=1200\ndxutil.test.unavailable=true\n",
          m_service + "/dxhadooputil.properties");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1200));
    EXPECT_NE(ServiceOutput().find("waiting 1200 ms before listening (dxutil.test.startDelayMs)"),
              std::string::npos);

    for (const auto& [method, resource] : std::vector<std::pair<std::string, std::string>>{
             {"GET", "hello.json"}, {"POST", "getacl"}, {"POST", "setacl"}, {"GET", "nothing"}}) {
        SCOPED_TRACE(resource);
        EXPECT_EQ(ErrorOf(m_client.Request(method, Url(resource), R"({"path":"/data/a"})")),
                  RemoteError(503, "ServiceUnavailableException",
                              "The service is unavailable (dxutil.test.unavailable)"));
    }
    Reconfigure("");
    EXPECT_EQ(GetAcl("/data/a").status, 200);
}

TEST_F(UtilServerTest, FaultKnobsAndConfigurationTakeEffectWithoutRestart) {
    Start();

    Reconfigure("dxutil.test.status=500\ndxutil.test.resources=getacl\n");
    EXPECT_EQ(ErrorOf(GetAcl("/data/a")),
              RemoteError(500, "InjectedFailure", "Injected failure (dxutil.test.status=500)"));
    EXPECT_EQ(m_client.Get(Url("hello.json")).status, 200);

    Reconfigure("dxutil.test.closeConnection=true\ndxutil.test.resources=getacl,setacl\n");
    EXPECT_EQ(GetAcl("/data/a").curlCode, CURLE_GOT_NOTHING);
    EXPECT_EQ(m_client.Get(Url("hello.json")).status, 200);

    Reconfigure("dxutil.test.hangMs=3000\ndxutil.test.resources=getacl\n");
    auto hung = m_client.Post(Url("getacl"), R"({"path":"/data/a"})", 300);
    EXPECT_EQ(hung.curlCode, CURLE_OPERATION_TIMEDOUT);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(m_client.Get(Url("hello.json")).status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));

    // A Hadoop configuration without the namespace root key is a real cluster's: the Hadoop
    // backend needs the installation's client jars, which this service was not given.
    std::string emptyConf = m_dir / "emptyconf";
    std::filesystem::create_directories(emptyConf);
    Reconfigure("", emptyConf);
    const RemoteError noHadoop = ErrorOf(GetAcl("/data/a"));
    EXPECT_EQ(std::get<0>(noHadoop), 500);
    EXPECT_EQ(std::get<1>(noHadoop), "IOException");
    EXPECT_NE(std::get<2>(noHadoop).find("the Hadoop client classes are not on the class path"),
              std::string::npos)
        << std::get<2>(noHadoop);
    // util.backend chooses the stand-in whatever the configuration says.
    Reconfigure("util.backend=localcluster\n", emptyConf);
    EXPECT_EQ(ErrorOf(GetAcl("/data/a")),
              RemoteError(500, "IOException",
                          "localcluster.namespace.root is not set in " + emptyConf +
                              "/core-site.xml or hdfs-site.xml"));

    Reconfigure("");
    EXPECT_EQ(GetAcl("/data/a").status, 200);
}

// --- Who may talk to the service, and how long it lives ---

TEST_F(UtilServerTest, RequestsWithoutOrWithAWrongSecretGet401AndChangeNothing) {
    Start();
    const std::string secret = m_server->secret();
    const json change = {{"AclStatus", {{"owner", "nobody"}, {"permission", "777"}}},
                         {"XAttrs", {{{"name", "user.planted"}, {"value", "x"}}}}};
    struct Attempt {
        const char* what;
        std::optional<std::string> secret;
        std::string message;
    };
    const std::string wrong = "The X-Hdfsagent-Secret header is wrong";
    std::string flipped = secret;
    flipped.back() = flipped.back() == 'a' ? 'b' : 'a';
    const std::vector<Attempt> attempts = {
        {"none", std::nullopt, "The request carries no X-Hdfsagent-Secret header"},
        {"empty", std::string(), "The request carries no X-Hdfsagent-Secret header"},
        {"last character changed", flipped, wrong},
        {"prefix", secret.substr(0, secret.size() - 1), wrong},
        {"longer", secret + "0", wrong},
    };
    for (const Attempt& attempt : attempts) {
        SCOPED_TRACE(attempt.what);
        HttpClient intruder;
        if (attempt.secret)
            intruder.SetSecret(*attempt.secret);
        const RemoteError refused(401, "AuthenticationException", attempt.message);
        EXPECT_EQ(ErrorOf(intruder.Get(Url("hello.json"))), refused);
        EXPECT_EQ(ErrorOf(intruder.Post(Url("getacl"), json{{"path", "/data/a"}}.dump())), refused);
        EXPECT_EQ(ErrorOf(intruder.Post(Url("getaclbatch"), json{{"paths", {"/data/a"}}}.dump())),
                  refused);
        json body = change;
        body["path"] = "/data/a";
        EXPECT_EQ(ErrorOf(intruder.Post(Url("setacl"), body.dump())), refused);
    }
    EXPECT_EQ(ModeBits(m_root + "/data/a"), 0644u);
    EXPECT_EQ(Xattr(m_root + "/data/a", "user.hdfs.owner"), std::nullopt);
    EXPECT_EQ(Xattr(m_root + "/data/a", "user.hdfs.x.user.planted"), std::nullopt);
    auto state = GetAcl("/data/a");
    ASSERT_EQ(state.status, 200) << state.body;
    EXPECT_EQ(json::parse(state.body)["XAttrs"], json::array());
}

TEST_F(UtilServerTest, ServiceWithoutASecretRefusesToStart) {
    testsupport::WriteUtilServerProperties(m_service, m_conf);
    UtilServerProcess unsecured(m_service, m_dir / "unsecured.out", 0, std::nullopt);
    const int status = unsecured.WaitForExit(30000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_NE(testsupport::ReadFile(m_dir / "unsecured.out")
                  .find("no secret given in the environment variable HDFSAGENT_RESTUTIL_SECRET"),
              std::string::npos);
}

TEST_F(UtilServerTest, ServiceEndsWhenItsStandardInputEnds) {
    Start();
    m_server->CloseStdin();
    const int status = m_server->WaitForExit(5000);
    ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << ServiceOutput();
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The listening sockets of `port` in /proc/net/tcp and tcp6, as their local address in the
// kernel's hex notation.
std::vector<std::string> ListeningAddresses(unsigned port) {
    char portHex[8];
    snprintf(portHex, sizeof portHex, "%04X", port);
    std::vector<std::string> addresses;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream lines(testsupport::ReadFile(table));
        std::string line;
        std::getline(lines, line);  // header
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const size_t colon = local.find(':');
            if (state == "0A" && local.substr(colon + 1) == portHex)
                addresses.push_back(local.substr(0, colon));
        }
    }
    return addresses;
}

TEST_F(UtilServerTest, ServiceListensOnTheLoopbackAddressesOnly) {
    Start();
    const std::vector<std::string> addresses = ListeningAddresses(m_server->port());
    ASSERT_FALSE(addresses.empty());
    for (const std::string& address : addresses) {
        // 127.0.0.1, ::ffff:127.0.0.1 (a dual-stack socket's view of it) and ::1, in the
        // kernel's notation (32-bit words in host order).
        EXPECT_TRUE(address == "0100007F" || address == "0000000000000000FFFF00000100007F" ||
                    address == "00000000000000000000000001000000")
            << address;
    }
}

TEST_F(UtilServerTest, SecondServiceOnATakenPortExitsWithStatusAndMessage) {
    Start();
    UtilServerProcess second(m_service, m_dir / "second.out", m_server->port());
    int status = second.WaitForExit(30000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::string output = testsupport::ReadFile(m_dir / "second.out");
    const std::string port = std::to_string(m_server->port());
    EXPECT_NE(output.find("cannot listen on 127.0.0.1:" + port + ": port " + port + " is in use"),
              std::string::npos)
        << output;
}

TEST_F(UtilServerTest, ConcurrentRequestsEachGetTheirOwnAnswer) {
    constexpr int kThreads = 16;
    constexpr int kRounds = 20;
    for (int t = 0; t < kThreads; ++t)
        testsupport::WriteFile(m_root + "/c" + std::to_string(t), "");
    Start();

    std::vector<std::string> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            HttpClient client;
            client.SetSecret(m_server->secret());
            const std::string path = "/c" + std::to_string(t);
            for (int i = 0; i < kRounds && failures[t].empty(); ++i) {
                std::string value = std::to_string(t) + "-" + std::to_string(i);
                json change = {{"path", path},
                               {"AclStatus", {{"owner", "u" + std::to_string(t)}}},
                               {"XAttrs", {{{"name", "user.n"}, {"value", value}}}}};
                auto set = client.Post(Url("setacl"), change.dump());
                auto get = client.Post(Url("getacl"), json{{"path", path}}.dump());
                json answer = json::parse(get.body, nullptr, false);
                if (set.status != 200 || get.status != 200 || answer.is_discarded() ||
                    answer["AclStatus"]["owner"] != "u" + std::to_string(t) ||
                    answer["XAttrs"] != json{{{"name", "user.n"}, {"value", value}}} ||
                    json::parse(set.body, nullptr, false) != answer) {
                    failures[t] = "round " + std::to_string(i) + ": " + set.body + " / " + get.body;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(failures[t], "") << "thread " << t;
}

}  // namespace
