// The REST utility client without the Java service: the request layer against an in-process
// HTTP stub, the query-string and properties helpers, the command-line builder, the ACL request
// bodies, the free-port search and the host HTTP client.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "hadoop/HadoopRestUtil.h"
#include "host/Http.h"
#include "host/Net.h"
#include "support/ErrorChecks.h"
#include "support/RestStubServer.h"
#include "support/TestSupport.h"

using namespace DXHadoop;
using namespace testsupport;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

StubAnswer CloseWithoutAnswer(const StubRequest&) {
    StubAnswer answer;
    answer.closeWithoutAnswer = true;
    return answer;
}

class RestUtilTest : public ::testing::Test {
  protected:
    TempDir home;
    ScopedEnv envHome{"HDFSAGENT_HOME", home.path()};
    ScopedEnv envSettings{"HDFSAGENT_SETTINGS", home / "settings.ini"};
    ScopedEnv envRetry{"HDFSAGENT_RESTUTIL_RETRY_MS", "1"};

    void Settings(const std::string& text) { WriteFile(home / "settings.ini", text); }

    // A client of a service that already runs on `port` (no process, no hello request).
    std::unique_ptr<CHadoopRestUtil> Client(unsigned port, eHadoopAppType type = eAppTypeHadoop) {
        auto util = std::make_unique<CHadoopRestUtil>(eModeExternal, type, port);
        CEkError err = util->Start();
        EXPECT_TRUE(err.Succeeded()) << err.AsString();
        return util;
    }
};

// --- Start in a mode other than 0 ---

TEST_F(RestUtilTest, ExternalModePort8080GivesBaseUrlsPerApplication) {
    for (auto [type, name] : {std::pair<int, const char*>{eAppTypeHadoop, "hadoop"},
                              {eAppTypeHBase, "hbase"},
                              {7, "unknown"}}) {
        CHadoopRestUtil util(eModeExternal, static_cast<eHadoopAppType>(type), 8080);
        ASSERT_TRUE(util.Start().Succeeded());
        EXPECT_EQ(std::string("http://localhost:8080/REST/") + name, util.GetBaseUrl());
        EXPECT_EQ(-1, util.GetServicePid());  // no process of its own
    }
}

// --- The request layer ---

TEST_F(RestUtilTest, EachWrapperSendsItsMethodAndBodyWithCommonHeaders) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest& r) { return StubAnswer{200, r.method + ":" + r.body}; });
    auto util = Client(stub.port(), eAppTypeHBase);
    std::string response = "old";
    ASSERT_TRUE(util->Get("hello.json", response).Succeeded());
    EXPECT_EQ("GET:", response);
    ASSERT_TRUE(util->Post("getacl", "{\"a\":1}", response).Succeeded());
    EXPECT_EQ("POST:{\"a\":1}", response);
    ASSERT_TRUE(util->Put("x", "p", response).Succeeded());
    EXPECT_EQ("PUT:p", response);
    ASSERT_TRUE(util->Del("x", "d", response).Succeeded());
    EXPECT_EQ("DELETE:d", response);
    ASSERT_TRUE(util->Del("x", "", response).Succeeded());
    EXPECT_EQ("DELETE:", response);
    auto requests = stub.Requests();
    ASSERT_EQ(5u, requests.size());
    EXPECT_EQ("/REST/hbase/hello.json", requests[0].target);
    EXPECT_EQ("/REST/hbase/getacl", requests[1].target);
    for (const StubRequest& r : requests) {
        SCOPED_TRACE(r.method);
        EXPECT_EQ("application/json", r.headers.at("content-type"));
        EXPECT_EQ("curl/7.32.0", r.headers.at("user-agent"));
    }
}

// A client of a service started elsewhere sends the secret given to it, else the one of the
// setting, on every request; without either it sends no secret header at all.
TEST_F(RestUtilTest, ExternalClientSendsTheGivenOrConfiguredSecretAndNoneWithout) {
    RestStubServer stub;
    auto secretOfLastRequest = [&stub]() -> std::string {
        const auto requests = stub.Requests();
        const auto& headers = requests.back().headers;
        const auto found = headers.find("x-hdfsagent-secret");
        return found == headers.end() ? "<none>" : found->second;
    };
    std::string response;

    auto unconfigured = Client(stub.port());
    ASSERT_TRUE(unconfigured->Get("hello.json", response).Succeeded());
    EXPECT_EQ("<none>", secretOfLastRequest());

    Settings("[FileSystemAgent]\nsHadoopRestUtilSecret=from-settings\n");
    auto configured = Client(stub.port());
    ASSERT_TRUE(configured->Post("getacl", "{}", response).Succeeded());
    ASSERT_TRUE(configured->Get("hello.json", response).Succeeded());
    EXPECT_EQ("from-settings", secretOfLastRequest());

    CHadoopRestUtil given(eModeExternal, eAppTypeHadoop, stub.port());
    given.SetServiceSecret("given");
    ASSERT_TRUE(given.Start().Succeeded());
    ASSERT_TRUE(given.Get("hello.json", response).Succeeded());
    EXPECT_EQ("given", secretOfLastRequest());
}

// Bad arguments are refused before the initialisation is checked; an object that is not started
// (or stopped again) refuses every request; neither sends anything nor touches the response.
TEST_F(RestUtilTest, RefusedRequestsSendNothingAndLeaveTheResponse) {
    RestStubServer stub;
    CHadoopRestUtil util(eModeExternal, eAppTypeHadoop, stub.port());
    std::string response = "kept";
    ExpectError(util.sendReq(eReqInvalid, "hello.json", "", response), 22,
                "Invalid API input parameters");
    ExpectError(util.sendReq(eReqGet, "", "", response), 22, "Invalid API input parameters");

    CEkError err = util.Get("hello.json", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_EQ("Hadoop REST server not initialized", FirstMessage(err));
    EXPECT_THAT(err.Message(), StartsWith("Sending Get request failed, error["));

    ASSERT_TRUE(util.Start().Succeeded());
    for (int type : {4, 5, 7, 1000}) {
        err = util.sendReq(static_cast<eReqType>(type), "hello.json", "", response);
        EXPECT_EQ(22, err.Code()) << type;
        EXPECT_EQ("Unhandled curl request type passed", err.Message()) << type;
    }
    ASSERT_TRUE(util.Stop().Succeeded());
    EXPECT_FALSE(util.IsInitialized());
    err = util.Post("getacl", "{}", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_EQ("Hadoop REST server not initialized", FirstMessage(err));
    EXPECT_THAT(err.Message(), StartsWith("Sending Post request failed, error["));
    EXPECT_EQ("kept", response);
    EXPECT_EQ(0u, stub.RequestCount());
}

// 503 gives 5006 and leaves the response untouched; any other failure gives 2250 with what came
// back (the body of a 500, nothing for a closed connection, a hang or a service that is gone).
TEST_F(RestUtilTest, FailedExchangesGiveTheirCodesAndMessages) {
    Settings("[FileSystemAgent]\nnHadoopRestUtilRequestTimeoutMs=300\n");
    auto stub = std::make_unique<RestStubServer>();
    auto util = Client(stub->port());
    const std::string url =
        "http://localhost:" + std::to_string(stub->port()) + "/REST/hadoop/getacl";
    std::string response = "kept";
    stub->SetHandler([](const StubRequest&) { return StubAnswer{503, "{\"busy\":true}"}; });
    CEkError err = util->Post("getacl", "{}", response);
    EXPECT_EQ(5006, err.Code());
    EXPECT_EQ("JMXConnectionError", FirstMessage(err));
    EXPECT_EQ("kept", response);

    stub->SetHandler([](const StubRequest&) { return StubAnswer{500, "{\"error\":\"boom\"}"}; });
    err = util->Post("getacl", "{\"path\":\"/a\"}", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_EQ("{\"error\":\"boom\"}", response);
    EXPECT_EQ("Error: rc[500] ReqType[POST] URL[" + url +
                  "] Req[{\"path\":\"/a\"}] Resp[{\"error\":\"boom\"}]",
              FirstMessage(err));
    EXPECT_THAT(err.Message(), StartsWith("Sending Post request failed, error["));

    stub->SetHandler(CloseWithoutAnswer);
    response = "old";
    err = util->Get("hello.json", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_THAT(FirstMessage(err), StartsWith("Error: rc[0] ReqType[GET] URL["));
    EXPECT_THAT(FirstMessage(err), HasSubstr("Transport["));
    EXPECT_EQ("", response);

    stub->SetHandler([](const StubRequest&) { return StubAnswer{200, "{}", false, 5000}; });
    const auto started = std::chrono::steady_clock::now();
    err = util->Get("hello.json", response);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    EXPECT_EQ(2250, err.Code());
    EXPECT_THAT(FirstMessage(err), HasSubstr("rc[0]"));
    // The object stays usable once the service answers again.
    stub->SetHandler([](const StubRequest&) { return StubAnswer{200, "ok"}; });
    ASSERT_TRUE(util->Get("hello.json", response).Succeeded());
    EXPECT_EQ("ok", response);

    stub.reset();  // nothing listens on the port any more
    err = util->Get("hello.json", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_THAT(FirstMessage(err), StartsWith("Error: rc[0] ReqType[GET]"));
}

TEST_F(RestUtilTest, SixteenThreadsFiftyRequestsEachGetTheirOwnAnswer) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest& r) { return StubAnswer{200, "echo:" + r.body}; });
    auto util = Client(stub.port());
    std::atomic<int> mismatches{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string body =
                    "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + "}";
                std::string response;
                if (util->Post("getacl", body, response).Failed())
                    ++failures;
                else if (response != "echo:" + body)
                    ++mismatches;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, mismatches.load());
    EXPECT_EQ(800u, stub.RequestCount());
}

// --- The hello check against a service that is already running ---

TEST_F(RestUtilTest, HelloCheckRetriesOnlyWhileThereIsNoUsableAnswer) {
    RestStubServer stub;
    stub.SetHandler(CloseWithoutAnswer);
    auto util = Client(stub.port());
    ExpectError(util->checkConnection(), 2250, "JAVA Utils hello check failed");
    EXPECT_EQ(12u, util->GetHelloAttempts());  // 120 seconds, one attempt per 10
    EXPECT_EQ(12u, stub.RequestCount());

    stub.SetHandler([](const StubRequest&) { return StubAnswer{503, ""}; });
    util = Client(stub.port());
    ExpectError(util->checkConnection(), 5006, "Utils hello check failed");
    EXPECT_EQ(1u, util->GetHelloAttempts());  // 503 stops at once

    std::atomic<int> calls{0};  // the service comes up at the third attempt
    stub.SetHandler([&](const StubRequest&) {
        StubAnswer a;
        a.closeWithoutAnswer = ++calls < 3;
        return a;
    });
    util = Client(stub.port());
    ASSERT_TRUE(util->checkConnection().Succeeded());
    EXPECT_EQ(3u, util->GetHelloAttempts());
}

// --- appendQueryStringArgument and GetValueForKey ---

TEST_F(RestUtilTest, AppendQueryStringArgumentChoosesTheSeparatorAndCutsAt2047Characters) {
    CHadoopRestUtil util(eModeExternal, eAppTypeHadoop, 1);
    std::string url = "http://localhost:1/REST/hadoop/x";
    util.appendQueryStringArgument(url, "a=%d", 1);
    EXPECT_EQ("http://localhost:1/REST/hadoop/x?a=1", url);
    util.appendQueryStringArgument(url, "b=%s", "y");
    EXPECT_EQ("http://localhost:1/REST/hadoop/x?a=1&b=y", url);
    url.clear();
    util.appendQueryStringArgument(url, "%s", std::string(5000, 'x').c_str());
    EXPECT_EQ(1u + 2047u, url.size());
}

TEST_F(RestUtilTest, GetValueForKeyReadsTheFirstVerbatimMatch) {
    const struct {
        const char *content, *key, *value;                  // "unset": the caller's value stays
    } cases[] = {{"a=1\na=2\n", "a", "1"},                  // first match wins
                 {"a = 1\n", "a", "unset"},                 // key keeps its blank
                 {"a = 1\n", "a ", " 1"},                   // value keeps its blank
                 {"x=y=z\n", "x", "y=z"},                   // value runs to the line end
                 {"# c=1\nnoequals\n\n#k=v\n", "#k", "v"},  // no comments
                 {"a=1\r\n", "a", "1\r"},                   // CR stays
                 {"a=\n", "a", ""},                         // empty value
                 {"a=1\nb=2", "b", "2"}};                   // last line without newline
    CHadoopRestUtil util(eModeExternal, eAppTypeHadoop, 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.content) + " / " + c.key);
        WriteFile(home / "p.properties", c.content);
        std::string value = "unset";
        CEkError err = util.GetValueForKey(home / "p.properties", c.key, value);
        EXPECT_TRUE(err.Succeeded()) << err.AsString();
        EXPECT_EQ(c.value, value);
    }
    std::string value = "unset";
    EXPECT_EQ(2, util.GetValueForKey(home / "missing.properties", "a", value).Code());
    EXPECT_EQ("unset", value);
}

// --- The service command line ---

// The documented example (three blanks after java for the empty pieces), then every piece in its
// order; the argument vector keeps paths with blanks whole and splits only the extra arguments.
TEST(RestUtilCommandLine, TextAndArgumentVector) {
    const std::string jars =
        "/opt/base/dxjars/dxhdfsutil.jar:/opt/base/dxjars/dxhdfsutil-nodep.jar";
    const struct {
        std::vector<std::string> in;  // java, hdp, extra arguments, config, base, jars, port
        std::string line;
        std::vector<std::string> argv;
    } cases[] = {
        {{"/usr/bin/java", "", "", "", "/opt/base", "", "9999"},
         "/usr/bin/java   -Ddxutil.config.file=/etc/Rezod/ -cp " + jars +
             " webserver.UtilServer 9999",
         {"/usr/bin/java", "-Ddxutil.config.file=/etc/Rezod/", "-cp", jars, "webserver.UtilServer",
          "9999"}},
        {{"/j/bin/java", "-Dhdp.version=2.6.5.0-292", "-Xmx64m '-Dx=a b'", "/etc/conf", "/opt/base",
          "a.jar:b.jar", "4000"},
         "/j/bin/java -Dhdp.version=2.6.5.0-292 -Xmx64m '-Dx=a b' -Ddxutil.config.file=/etc/conf "
         "-cp " +
             jars + ":a.jar:b.jar webserver.UtilServer 4000",
         {"/j/bin/java", "-Dhdp.version=2.6.5.0-292", "-Xmx64m", "-Dx=a b",
          "-Ddxutil.config.file=/etc/conf", "-cp", jars + ":a.jar:b.jar", "webserver.UtilServer",
          "4000"}},
        {{"/usr/bin/java", "", "", "/my conf", "/opt/my base", "", "1"},
         "/usr/bin/java   -Ddxutil.config.file=/my conf -cp /opt/my base/dxjars/dxhdfsutil.jar:"
         "/opt/my base/dxjars/dxhdfsutil-nodep.jar webserver.UtilServer 1",
         {"/usr/bin/java", "-Ddxutil.config.file=/my conf", "-cp",
          "/opt/my base/dxjars/dxhdfsutil.jar:/opt/my base/dxjars/dxhdfsutil-nodep.jar",
          "webserver.UtilServer", "1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        auto command = hdfsagent::restutil::BuildServiceCommand(c.in[0], c.in[1], c.in[2], c.in[3],
                                                                c.in[4], c.in[5], c.in[6]);
        EXPECT_EQ(c.line, command.line);
        EXPECT_EQ(c.argv, command.argv);
    }
}

// --- ACL request bodies ---

// The path goes first, escaped as a JSON string; the caller's members follow it.
TEST(AclRequestBody, PathIsEscapedAndPutFirst) {
    const struct {
        const char* path;
        const char* change;  // null: the read body
        std::string expected;
    } cases[] = {
        {"/data/a", nullptr, R"({"path":"/data/a"})"},
        {"/data/a", R"({"acl":[]})", R"({"path":"/data/a","acl":[]})"},
        {"/d\xC3\xA4t\xE2\x82\xAC", nullptr, "{\"path\":\"/d\xC3\xA4t\xE2\x82\xAC\"}"},
        {"/data/a", "{}", R"({"path":"/data/a"})"},  // no dangling comma
        {"/data/a", " \n{ \t}\n", "{\"path\":\"/data/a\" \t}\n"},
        {"/a\"b\\c\n\x01", nullptr, R"({"path":"/a\"b\\c\n\u0001"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        std::string body;
        CEkError err = c.change ? hdfsagent::restutil::BuildSetAclBody(c.path, c.change, body)
                                : hdfsagent::restutil::BuildGetAclBody(c.path, body);
        ASSERT_TRUE(err.Succeeded()) << err.AsString();
        EXPECT_EQ(c.expected, body);
        EXPECT_EQ(c.path, nlohmann::json::parse(body).at("path").get<std::string>());
    }
}

TEST(AclRequestBody, CraftedPathCannotInjectMembers) {
    const std::string crafted = "x\",\"AclStatus\":{\"entries\":[]},\"y\":\"";
    std::string body;
    ASSERT_TRUE(hdfsagent::restutil::BuildSetAclBody(crafted, "{\"XAttrs\":[]}", body).Succeeded());
    auto parsed = nlohmann::json::parse(body);
    EXPECT_EQ(crafted, parsed.at("path").get<std::string>());
    EXPECT_EQ(2u, parsed.size());
    EXPECT_FALSE(parsed.contains("AclStatus"));
}

TEST(AclRequestBody, InvalidUtf8PathOrCallerTextThatIsNotAnObjectIsRefused) {
    std::string body = "kept";
    for (const char* path : {"/a\xFF", "/a\xC3", "/\xC0\xAF", "/\xED\xA0\x80"})
        ExpectError(hdfsagent::restutil::BuildGetAclBody(path, body), 22,
                    "Path is not valid UTF-8");
    for (const char* text : {"", "   ", "[1]", "\"x\"", "x{}", "null"}) {
        CEkError err = hdfsagent::restutil::BuildSetAclBody("/a", text, body);
        EXPECT_EQ(22, err.Code()) << text;
        EXPECT_EQ("ACL and xattr request is not a JSON object", err.Message()) << text;
    }
    EXPECT_EQ("kept", body);
}

// --- GetACLandXattr / SetACLandXattr over the request layer ---

TEST(AclBatchBody, PathsAreEscapedInOrderFromTheGivenRange) {
    const std::vector<std::string> paths = {"/skip", "/a\"b", "/c\\d", "/e\nf", "/after"};
    EXPECT_EQ(hdfsagent::restutil::BuildGetAclBatchBody(paths, 1, 3),
              R"({"paths":["/a\"b","/c\\d","/e\nf"]})");
    EXPECT_EQ(
        nlohmann::json::parse(hdfsagent::restutil::BuildGetAclBatchBody(paths, 1, 3))["paths"],
        nlohmann::json({"/a\"b", "/c\\d", "/e\nf"}));
}

TEST(AclBatchAnswer, EachAnswerLosesItsStatusAndKeepsTheServicesMemberOrder) {
    std::vector<AclAndXattrAnswer> answers(1);  // answers are appended
    CEkError err = hdfsagent::restutil::ParseGetAclBatchAnswer(
        R"({"answers":[{"status":200,"XAttrs":[],"AclStatus":{"owner":"o","entries":[]}},)"
        R"({"status":404,"RemoteException":{"message":"m","exception":"E"}}]})",
        2, answers);
    ASSERT_TRUE(err.Succeeded()) << err.AsString();
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[1].status, 200);
    EXPECT_EQ(answers[1].body, R"({"XAttrs":[],"AclStatus":{"owner":"o","entries":[]}})");
    EXPECT_EQ(answers[2].status, 404);
    EXPECT_EQ(answers[2].body, R"({"RemoteException":{"message":"m","exception":"E"}})");
}

TEST(AclBatchAnswer, AnswersOfTheWrongShapeOrCountAreRefused) {
    const struct {
        const char* response;
        const char* message;
    } cases[] = {
        {"not json", "Unexpected getaclbatch answer: no \"answers\" array"},
        {R"({"answers":{}})", "Unexpected getaclbatch answer: no \"answers\" array"},
        {R"({"answers":[{"status":200}]})", "Unexpected getaclbatch answer: 1 answers for 2 paths"},
        {R"({"answers":[{"status":200},{"AclStatus":{}}]})",
         "Unexpected getaclbatch answer: an answer without a status"},
        {R"({"answers":[{"status":200},{"status":"404"}]})",
         "Unexpected getaclbatch answer: an answer without a status"},
        {R"({"answers":[{"status":200},[]]})",
         "Unexpected getaclbatch answer: an answer without a status"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.response);
        std::vector<AclAndXattrAnswer> answers;
        ExpectError(hdfsagent::restutil::ParseGetAclBatchAnswer(c.response, 2, answers), 2250,
                    c.message);
    }
}

TEST_F(RestUtilTest, AclFunctionsPostTheirBodiesAndKeepTheRequestLayersCodes) {
    std::string response = "kept";
    ExpectError(GetACLandXattr(nullptr, "/a", response), 22, "ptrHadoopRestUtil is NULL");
    ExpectError(SetACLandXattr(nullptr, "/a", "{}"), 22, "ptrHadoopRestUtil is NULL");
    EXPECT_EQ("kept", response);

    RestStubServer stub;
    stub.SetHandler([](const StubRequest& r) {
        return StubAnswer{200, r.target == "/REST/hadoop/getacl" ? "{\"AclStatus\":{}}" : "{}"};
    });
    auto util = Client(stub.port());
    CEkError err = SetACLandXattr(util.get(), "/a", "acl");  // not an object: nothing is sent
    EXPECT_EQ(22, err.Code());
    EXPECT_EQ("ACL and xattr request is not a JSON object", FirstMessage(err));
    EXPECT_EQ(0u, stub.RequestCount());

    ASSERT_TRUE(GetACLandXattr(util.get(), "/data/a", response).Succeeded());
    EXPECT_EQ("{\"AclStatus\":{}}", response);
    ASSERT_TRUE(SetACLandXattr(util.get(), "/data/a", "{\"acl\":[]}").Succeeded());
    ASSERT_TRUE(GetACLandXattr(util.get(), "", response).Succeeded());  // still sent
    auto requests = stub.Requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ("/REST/hadoop/getacl", requests[0].target);
    EXPECT_EQ("{\"path\":\"/data/a\"}", requests[0].body);
    EXPECT_EQ("/REST/hadoop/setacl", requests[1].target);
    EXPECT_EQ("{\"path\":\"/data/a\",\"acl\":[]}", requests[1].body);
    EXPECT_EQ("{\"path\":\"\"}", requests[2].body);

    // The request layer's codes pass through unchanged.
    response = "kept";
    stub.SetHandler([](const StubRequest&) { return StubAnswer{503, ""}; });
    EXPECT_EQ(5006, GetACLandXattr(util.get(), "/a", response).Code());
    EXPECT_EQ("kept", response);
    stub.SetHandler([](const StubRequest&) { return StubAnswer{404, "{\"missing\":1}"}; });
    EXPECT_EQ(2250, GetACLandXattr(util.get(), "/a", response).Code());
    EXPECT_EQ("{\"missing\":1}", response);
    err = SetACLandXattr(util.get(), "/a", "{}");
    EXPECT_EQ(2250, err.Code());
    EXPECT_THAT(err.AsString(), HasSubstr("Sending Post request failed"));
    EXPECT_THAT(err.AsString(), HasSubstr("Resp[{\"missing\":1}]"));
    ASSERT_TRUE(util->Stop().Succeeded());
    err = GetACLandXattr(util.get(), "/a", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_EQ("Hadoop REST server not initialized", FirstMessage(err));
}

// --- Free port ---

TEST_F(RestUtilTest, UnusedPortOnLocalhostCanBeBoundAndOtherHostsFail) {
    CHadoopRestUtil util(eModeExternal, eAppTypeHadoop, 1);
    unsigned port = 0;
    ASSERT_TRUE(util.GetUnUsedPort("localhost", port).Succeeded());
    ASSERT_NE(0u, port);
    EKNET_ADDRESS address;
    ASSERT_EQ(0, EKNET_str2ip("127.0.0.1", address));
    EKNET_SetPort(address, htons(static_cast<uint16_t>(port)));
    EKSOCKET s = EKNET_INVALID_SOCKET;
    ASSERT_EQ(0, EKNET_socket(address.Family(), s));
    EXPECT_EQ(0, EKNET_bind(s, address));
    EXPECT_EQ(0, EKNET_close(s));

    port = 7;
    ExpectError(util.GetUnUsedPort("no-such-host.invalid", port), 1627, "Name lookup failed");
    EXPECT_EQ(7u, port);
    CEkError err = util.GetUnUsedPort("192.0.2.1", port);  // TEST-NET-1: not ours
    EXPECT_EQ(1627, err.Code());
    EXPECT_THAT(err.Message(), StartsWith("Bind failed rc ["));
}

// --- The host HTTP client ---

TEST(DXLibCurlTest, HeadersAreCheckedAndReplacedPerRequestStatusKeptAndLargeBodySent) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest& r) {
        return StubAnswer{r.headers.count("x-a") ? 418 : 200, std::to_string(r.body.size())};
    });
    DXLibCurl curl;
    ASSERT_TRUE(curl.DXLibCurlInit(nullptr, false, false, nullptr));
    // Header lines that would split the request are refused.
    EXPECT_FALSE(curl.DXLibCurlAppendHeader(HTTP_HDR_REQUEST, "X-A: 1\r\nX-B: 2"));
    EXPECT_FALSE(curl.DXLibCurlAppendHeader(HTTP_HDR_REQUEST, ""));
    EXPECT_FALSE(curl.DXLibCurlAppendHeader(HTTP_HDR_REQUEST, nullptr));
    EXPECT_FALSE(curl.DXLibCurlAppendHeader(static_cast<_http_hdr_type_>(1), "X-A: 1"));
    ASSERT_TRUE(curl.DXLibCurlAppendHeader(HTTP_HDR_REQUEST, "X-A: 1"));
    const std::string url = "http://127.0.0.1:" + std::to_string(stub.port()) + "/x";
    EXPECT_FALSE(curl.DXLibCurlSendHttpReq(HTTP_REQ_GET, url.c_str(), nullptr, 0, false, nullptr));
    EXPECT_EQ(418, curl.m_nHttpStatusCode);
    size_t length = 0;
    ASSERT_NE(nullptr, curl.GetHttpResponse(length, false));
    EXPECT_EQ("0", std::string(curl.GetHttpResponse(length, false)));
    EXPECT_EQ(1u, length);
    curl.DXLibCurlFreeHttpHeaderList();
    // A large body is sent without waiting for "100 Continue".
    curl.SetTimeouts(2000, 2000);
    const std::string body(2 << 20, 'a');
    EXPECT_TRUE(curl.DXLibCurlSendHttpReq(HTTP_REQ_POST, url.c_str(), body.data(), body.size(),
                                          false, nullptr));
    EXPECT_EQ(200, curl.m_nHttpStatusCode);
    EXPECT_EQ(std::to_string(body.size()), curl.GetHttpResponse(length, false));
    EXPECT_EQ(0u, stub.Requests()[1].headers.count("expect"));
}

}  // namespace
