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

using DXHadoop::CHadoopRestUtil;
using testsupport::FirstMessage;
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
    CHadoopRestUtil hadoop(eModeExternal, eAppTypeHadoop, 8080);
    CHadoopRestUtil hbase(eModeExternal, eAppTypeHBase, 8080);
    CHadoopRestUtil other(eModeExternal, static_cast<eHadoopAppType>(7), 8080);
    ASSERT_TRUE(hadoop.Start().Succeeded());
    ASSERT_TRUE(hbase.Start().Succeeded());
    ASSERT_TRUE(other.Start().Succeeded());
    EXPECT_EQ("http://localhost:8080/REST/hadoop", hadoop.GetBaseUrl());
    EXPECT_EQ("http://localhost:8080/REST/hbase", hbase.GetBaseUrl());
    EXPECT_EQ("http://localhost:8080/REST/unknown", other.GetBaseUrl());
    EXPECT_EQ(-1, hadoop.GetServicePid());
}

// --- The request layer ---

TEST_F(RestUtilTest, GetHelloSendsEmptyBodyWithCommonHeaders) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest&) { return StubAnswer{200, "{\"status\":\"OK\"}"}; });
    auto util = Client(stub.port());
    std::string response = "old";
    CEkError err = util->Get("hello.json", response);
    ASSERT_TRUE(err.Succeeded()) << err.AsString();
    EXPECT_EQ("{\"status\":\"OK\"}", response);
    auto requests = stub.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("GET", requests[0].method);
    EXPECT_EQ("/REST/hadoop/hello.json", requests[0].target);
    EXPECT_EQ("", requests[0].body);
    EXPECT_EQ("application/json", requests[0].headers["content-type"]);
    EXPECT_EQ("curl/7.32.0", requests[0].headers["user-agent"]);
}

TEST_F(RestUtilTest, EachWrapperSendsItsMethodAndBody) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest& r) { return StubAnswer{200, r.method + ":" + r.body}; });
    auto util = Client(stub.port(), eAppTypeHBase);
    std::string response;
    ASSERT_TRUE(util->Post("getacl", "{\"a\":1}", response).Succeeded());
    EXPECT_EQ("POST:{\"a\":1}", response);
    ASSERT_TRUE(util->Put("x", "p", response).Succeeded());
    EXPECT_EQ("PUT:p", response);
    ASSERT_TRUE(util->Del("x", "d", response).Succeeded());
    EXPECT_EQ("DELETE:d", response);
    ASSERT_TRUE(util->Del("x", "", response).Succeeded());
    EXPECT_EQ("DELETE:", response);
    EXPECT_EQ("/REST/hbase/getacl", stub.Requests()[0].target);
}

TEST_F(RestUtilTest, InvalidTypeOrEmptyPathFailsWith22BeforeInitialisationIsChecked) {
    CHadoopRestUtil util(eModeExternal, eAppTypeHadoop, 1);  // never started
    std::string response = "kept";
    CEkError err = util.sendReq(eReqInvalid, "hello.json", "", response);
    ExpectError(err, 22, "Invalid API input parameters");
    err = util.sendReq(eReqGet, "", "", response);
    ExpectError(err, 22, "Invalid API input parameters");
    EXPECT_EQ("kept", response);
}

TEST_F(RestUtilTest, RequestsBeforeStartAndAfterStopFailWith2250AndSendNothing) {
    RestStubServer stub;
    CHadoopRestUtil util(eModeExternal, eAppTypeHadoop, stub.port());
    std::string response = "kept";
    CEkError err = util.Get("hello.json", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_EQ("Hadoop REST server not initialized", FirstMessage(err));
    EXPECT_THAT(err.Message(), StartsWith("Sending Get request failed, error["));

    ASSERT_TRUE(util.Start().Succeeded());
    ASSERT_TRUE(util.Stop().Succeeded());
    EXPECT_FALSE(util.IsInitialized());
    err = util.Post("getacl", "{}", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_EQ("Hadoop REST server not initialized", FirstMessage(err));
    EXPECT_THAT(err.Message(), StartsWith("Sending Post request failed, error["));
    EXPECT_EQ("kept", response);
    EXPECT_EQ(0u, stub.RequestCount());
}

TEST_F(RestUtilTest, UnhandledRequestTypesFailWith22AndSendNothing) {
    RestStubServer stub;
    auto util = Client(stub.port());
    std::string response = "kept";
    for (int type : {4, 5, 7, 1000}) {
        CEkError err = util->sendReq(static_cast<eReqType>(type), "hello.json", "", response);
        EXPECT_EQ(22, err.Code()) << type;
        EXPECT_EQ("Unhandled curl request type passed", err.Message()) << type;
    }
    EXPECT_EQ(0u, stub.RequestCount());
    EXPECT_EQ("kept", response);
}

TEST_F(RestUtilTest, Answer503Gives5006AndLeavesResponseUntouched) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest&) { return StubAnswer{503, "{\"busy\":true}"}; });
    auto util = Client(stub.port());
    std::string response = "kept";
    CEkError err = util->Post("getacl", "{}", response);
    EXPECT_EQ(5006, err.Code());
    EXPECT_EQ("JMXConnectionError", FirstMessage(err));
    EXPECT_EQ("kept", response);
}

TEST_F(RestUtilTest, Answer500Gives2250WithTheBodyInResponse) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest&) { return StubAnswer{500, "{\"error\":\"boom\"}"}; });
    auto util = Client(stub.port());
    std::string response;
    CEkError err = util->Post("getacl", "{\"path\":\"/a\"}", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_EQ("{\"error\":\"boom\"}", response);
    const std::string url =
        "http://localhost:" + std::to_string(stub.port()) + "/REST/hadoop/getacl";
    EXPECT_EQ("Error: rc[500] ReqType[POST] URL[" + url +
                  "] Req[{\"path\":\"/a\"}] Resp[{\"error\":\"boom\"}]",
              FirstMessage(err));
    EXPECT_THAT(err.Message(), StartsWith("Sending Post request failed, error["));
}

TEST_F(RestUtilTest, ClosedConnectionGives2250WithTheTransportReason) {
    RestStubServer stub;
    stub.SetHandler(CloseWithoutAnswer);
    auto util = Client(stub.port());
    std::string response = "old";
    CEkError err = util->Get("hello.json", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_THAT(FirstMessage(err), StartsWith("Error: rc[0] ReqType[GET] URL["));
    EXPECT_THAT(FirstMessage(err), HasSubstr("Transport["));
    EXPECT_EQ("", response);
}

TEST_F(RestUtilTest, HangingServiceTimesOutWithTheConfiguredTotalTimeout) {
    Settings("[FileSystemAgent]\nnHadoopRestUtilRequestTimeoutMs=300\n");
    RestStubServer stub;
    stub.SetHandler([](const StubRequest&) { return StubAnswer{200, "{}", false, 5000}; });
    auto util = Client(stub.port());
    std::string response;
    const auto started = std::chrono::steady_clock::now();
    CEkError err = util->Get("hello.json", response);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(2250, err.Code());
    EXPECT_THAT(FirstMessage(err), HasSubstr("rc[0]"));
    EXPECT_LT(elapsed, std::chrono::seconds(3));
    // The object stays usable once the service answers again.
    stub.SetHandler([](const StubRequest&) { return StubAnswer{200, "ok"}; });
    ASSERT_TRUE(util->Get("hello.json", response).Succeeded());
    EXPECT_EQ("ok", response);
}

TEST_F(RestUtilTest, NothingListeningGives2250) {
    unsigned port;
    {
        RestStubServer stub;
        port = stub.port();
    }
    auto util = Client(port);
    std::string response;
    CEkError err = util->Get("hello.json", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_THAT(FirstMessage(err), StartsWith("Error: rc[0] ReqType[GET]"));
}

TEST_F(RestUtilTest, SixteenThreadsFiftyRequestsEachGetTheirOwnAnswer) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest& r) { return StubAnswer{200, "echo:" + r.body}; });
    auto util = Client(stub.port());
    std::atomic<int> mismatches{0};
    std::atomic<int> failures{0};
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
    CEkError err = util->checkConnection();
    ExpectError(err, 2250, "JAVA Utils hello check failed");
    EXPECT_EQ(12u, util->GetHelloAttempts());  // 120 seconds, one attempt per 10
    EXPECT_EQ(12u, stub.RequestCount());
}

TEST_F(RestUtilTest, HelloCheckStopsAtOnceOn503) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest&) { return StubAnswer{503, ""}; });
    auto util = Client(stub.port());
    CEkError err = util->checkConnection();
    ExpectError(err, 5006, "Utils hello check failed");
    EXPECT_EQ(1u, util->GetHelloAttempts());
}

TEST_F(RestUtilTest, HelloCheckSucceedsWhenTheServiceComesUp) {
    RestStubServer stub;
    std::atomic<int> calls{0};
    stub.SetHandler([&](const StubRequest&) {
        StubAnswer a;
        a.closeWithoutAnswer = ++calls < 3;
        return a;
    });
    auto util = Client(stub.port());
    ASSERT_TRUE(util->checkConnection().Succeeded());
    EXPECT_EQ(3u, util->GetHelloAttempts());
}

TEST(RestUtilRetryDelay, EnvironmentReplacesTheTenSecondPause) {
    {
        ScopedEnv unset = ScopedEnv::unset("HDFSAGENT_RESTUTIL_RETRY_MS");
        EXPECT_EQ(10000ul, hdfsagent::restutil::HelloRetryDelayMs());
    }
    ScopedEnv set("HDFSAGENT_RESTUTIL_RETRY_MS", "25");
    EXPECT_EQ(25ul, hdfsagent::restutil::HelloRetryDelayMs());
    ScopedEnv bad("HDFSAGENT_RESTUTIL_RETRY_MS", "25ms");
    EXPECT_EQ(10000ul, hdfsagent::restutil::HelloRetryDelayMs());
}

// --- appendQueryStringArgument and GetValueForKey ---

TEST_F(RestUtilTest, AppendQueryStringArgumentChoosesTheSeparator) {
    CHadoopRestUtil util(eModeExternal, eAppTypeHadoop, 1);
    std::string url = "http://localhost:1/REST/hadoop/x";
    util.appendQueryStringArgument(url, "a=%d", 1);
    EXPECT_EQ("http://localhost:1/REST/hadoop/x?a=1", url);
    util.appendQueryStringArgument(url, "b=%s", "y");
    EXPECT_EQ("http://localhost:1/REST/hadoop/x?a=1&b=y", url);
}

TEST_F(RestUtilTest, AppendQueryStringArgumentCutsAt2047Characters) {
    CHadoopRestUtil util(eModeExternal, eAppTypeHadoop, 1);
    std::string url;
    util.appendQueryStringArgument(url, "%s", std::string(5000, 'x').c_str());
    EXPECT_EQ(1u + 2047u, url.size());
}

class GetValueForKeyTest : public RestUtilTest {
  protected:
    std::string Value(const std::string& content, const std::string& key,
                      std::string initial = "unset") {
        WriteFile(home / "p.properties", content);
        CHadoopRestUtil util(eModeExternal, eAppTypeHadoop, 1);
        CEkError err = util.GetValueForKey(home / "p.properties", key, initial);
        EXPECT_TRUE(err.Succeeded()) << err.AsString();
        return initial;
    }
};

struct ValueCase {
    const char* content;
    const char* key;
    const char* value;  // "unset": the caller's value stays
};

class GetValueForKeyCases : public GetValueForKeyTest,
                            public ::testing::WithParamInterface<ValueCase> {};

TEST_P(GetValueForKeyCases, ReadsTheFirstVerbatimMatch) {
    EXPECT_EQ(GetParam().value, Value(GetParam().content, GetParam().key));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, GetValueForKeyCases,
    ::testing::Values(ValueCase{"a=1\na=2\n", "a", "1"},   // first match wins
                      ValueCase{"a = 1\n", "a", "unset"},  // key keeps its blank
                      ValueCase{"a = 1\n", "a ", " 1"},    // value keeps its blank
                      ValueCase{"x=y=z\n", "x", "y=z"},    // value runs to the line end
                      ValueCase{"# c=1\nnoequals\n\n#k=v\n", "#k", "v"},  // no comments
                      ValueCase{"a=1\r\n", "a", "1\r"},                   // CR stays
                      ValueCase{"a=\n", "a", ""},                         // empty value
                      ValueCase{"a=1\nb=2", "b", "2"}));  // last line without newline

TEST_F(GetValueForKeyTest, MissingFileFailsWithItsErrno) {
    CHadoopRestUtil util(eModeExternal, eAppTypeHadoop, 1);
    std::string value = "unset";
    CEkError err = util.GetValueForKey(home / "missing.properties", "a", value);
    EXPECT_EQ(2, err.Code());
    EXPECT_EQ("unset", value);
}

// --- The service command line ---

TEST(RestUtilCommandLine, DocumentedExampleWithThreeBlanksAfterJava) {
    auto command = hdfsagent::restutil::BuildServiceCommand("/usr/bin/java", "", "", "",
                                                            "/opt/base", "", "9999");
    EXPECT_EQ(
        "/usr/bin/java   -Ddxutil.config.file=/etc/Rezod/ -cp "
        "/opt/base/dxjars/dxhdfsutil.jar:/opt/base/dxjars/dxhdfsutil-nodep.jar "
        "webserver.UtilServer 9999",
        command.line);
    EXPECT_THAT(command.argv,
                ::testing::ElementsAre(
                    "/usr/bin/java", "-Ddxutil.config.file=/etc/Rezod/", "-cp",
                    "/opt/base/dxjars/dxhdfsutil.jar:/opt/base/dxjars/dxhdfsutil-nodep.jar",
                    "webserver.UtilServer", "9999"));
}

TEST(RestUtilCommandLine, AllPiecesInTheirOrder) {
    auto command = hdfsagent::restutil::BuildServiceCommand(
        "/j/bin/java", "-Dhdp.version=2.6.5.0-292", "-Xmx64m '-Dx=a b'", "/etc/conf", "/opt/base",
        "a.jar:b.jar", "4000");
    EXPECT_EQ(
        "/j/bin/java -Dhdp.version=2.6.5.0-292 -Xmx64m '-Dx=a b' "
        "-Ddxutil.config.file=/etc/conf -cp "
        "/opt/base/dxjars/dxhdfsutil.jar:/opt/base/dxjars/dxhdfsutil-nodep.jar:a.jar:b.jar "
        "webserver.UtilServer 4000",
        command.line);
    EXPECT_THAT(command.argv,
                ::testing::ElementsAre("/j/bin/java", "-Dhdp.version=2.6.5.0-292", "-Xmx64m",
                                       "-Dx=a b", "-Ddxutil.config.file=/etc/conf", "-cp",
                                       "/opt/base/dxjars/dxhdfsutil.jar:/opt/base/dxjars/"
                                       "dxhdfsutil-nodep.jar:a.jar:b.jar",
                                       "webserver.UtilServer", "4000"));
}

TEST(RestUtilCommandLine, BlanksInTheBaseDirectoryStayInsideOneArgument) {
    auto command = hdfsagent::restutil::BuildServiceCommand("/usr/bin/java", "", "", "/my conf",
                                                            "/opt/my base", "", "1");
    EXPECT_EQ("-Ddxutil.config.file=/my conf", command.argv[1]);
    EXPECT_EQ("/opt/my base/dxjars/dxhdfsutil.jar:/opt/my base/dxjars/dxhdfsutil-nodep.jar",
              command.argv[3]);
}

// --- ACL request bodies ---

TEST(AclRequestBody, ReadBodyIsThePathAloneAndWriteBodyPutsItFirst) {
    std::string body;
    ASSERT_TRUE(hdfsagent::restutil::BuildGetAclBody("/data/a", body).Succeeded());
    EXPECT_EQ("{\"path\":\"/data/a\"}", body);
    ASSERT_TRUE(hdfsagent::restutil::BuildSetAclBody("/data/a", "{\"acl\":[]}", body).Succeeded());
    EXPECT_EQ("{\"path\":\"/data/a\",\"acl\":[]}", body);
    // Unicode text passes unchanged.
    ASSERT_TRUE(hdfsagent::restutil::BuildGetAclBody("/d\xC3\xA4t\xE2\x82\xAC", body).Succeeded());
    EXPECT_EQ("{\"path\":\"/d\xC3\xA4t\xE2\x82\xAC\"}", body);
}

TEST(AclRequestBody, EmptyCallerObjectHasNoDanglingComma) {
    std::string body;
    ASSERT_TRUE(hdfsagent::restutil::BuildSetAclBody("/data/a", "{}", body).Succeeded());
    EXPECT_EQ("{\"path\":\"/data/a\"}", body);
    ASSERT_TRUE(hdfsagent::restutil::BuildSetAclBody("/data/a", " \n{ \t}\n", body).Succeeded());
    EXPECT_EQ("{\"path\":\"/data/a\" \t}\n", body);
    EXPECT_NO_THROW(nlohmann::json::parse(body));
}

TEST(AclRequestBody, PathWithQuoteOrBackslashIsEscaped) {
    std::string body;
    ASSERT_TRUE(hdfsagent::restutil::BuildGetAclBody("/a\"b\\c\n\x01", body).Succeeded());
    EXPECT_EQ("{\"path\":\"/a\\\"b\\\\c\\n\\u0001\"}", body);
    EXPECT_EQ("/a\"b\\c\n\x01", nlohmann::json::parse(body).at("path").get<std::string>());
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

TEST(AclRequestBody, InvalidUtf8PathIsRefused) {
    std::string body = "kept";
    for (const char* path : {"/a\xFF", "/a\xC3", "/\xC0\xAF", "/\xED\xA0\x80"}) {
        CEkError err = hdfsagent::restutil::BuildGetAclBody(path, body);
        ExpectError(err, 22, "Path is not valid UTF-8");
    }
    EXPECT_EQ("kept", body);
}

TEST(AclRequestBody, CallerTextThatIsNotAnObjectIsRefused) {
    std::string body = "kept";
    for (const char* text : {"", "   ", "[1]", "\"x\"", "x{}", "null"}) {
        CEkError err = hdfsagent::restutil::BuildSetAclBody("/a", text, body);
        EXPECT_EQ(22, err.Code()) << text;
        EXPECT_EQ("ACL and xattr request is not a JSON object", err.Message()) << text;
    }
    EXPECT_EQ("kept", body);
}

// --- GetACLandXattr / SetACLandXattr over the request layer ---

TEST_F(RestUtilTest, NullObjectPointerFailsWith22) {
    std::string response = "kept";
    CEkError err = GetACLandXattr(nullptr, "/a", response);
    ExpectError(err, 22, "ptrHadoopRestUtil is NULL");
    err = SetACLandXattr(nullptr, "/a", "{}");
    ExpectError(err, 22, "ptrHadoopRestUtil is NULL");
    EXPECT_EQ("kept", response);
}

TEST_F(RestUtilTest, AclFunctionsPostTheirBodiesAndReturnTheAnswer) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest& r) {
        return StubAnswer{200, r.target == "/REST/hadoop/getacl" ? "{\"AclStatus\":{}}" : "{}"};
    });
    auto util = Client(stub.port());
    std::string response;
    ASSERT_TRUE(GetACLandXattr(util.get(), "/data/a", response).Succeeded());
    EXPECT_EQ("{\"AclStatus\":{}}", response);
    ASSERT_TRUE(SetACLandXattr(util.get(), "/data/a", "{\"acl\":[]}").Succeeded());
    auto requests = stub.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ("/REST/hadoop/getacl", requests[0].target);
    EXPECT_EQ("{\"path\":\"/data/a\"}", requests[0].body);
    EXPECT_EQ("/REST/hadoop/setacl", requests[1].target);
    EXPECT_EQ("{\"path\":\"/data/a\",\"acl\":[]}", requests[1].body);
}

TEST_F(RestUtilTest, SetWithNonObjectTextSendsNothing) {
    RestStubServer stub;
    auto util = Client(stub.port());
    CEkError err = SetACLandXattr(util.get(), "/a", "acl");
    EXPECT_EQ(22, err.Code());
    EXPECT_EQ("ACL and xattr request is not a JSON object", FirstMessage(err));
    EXPECT_EQ(0u, stub.RequestCount());
}

TEST_F(RestUtilTest, AclFunctionsKeepTheRequestLayersCodes) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest&) { return StubAnswer{503, ""}; });
    auto util = Client(stub.port());
    std::string response = "kept";
    CEkError err = GetACLandXattr(util.get(), "/a", response);
    EXPECT_EQ(5006, err.Code());
    EXPECT_EQ("kept", response);
    stub.SetHandler([](const StubRequest&) { return StubAnswer{404, "{\"missing\":1}"}; });
    err = GetACLandXattr(util.get(), "/a", response);
    EXPECT_EQ(2250, err.Code());
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

TEST_F(RestUtilTest, EmptyPathIsStillSent) {
    RestStubServer stub;
    auto util = Client(stub.port());
    std::string response;
    ASSERT_TRUE(GetACLandXattr(util.get(), "", response).Succeeded());
    EXPECT_EQ("{\"path\":\"\"}", stub.Requests().at(0).body);
}

// --- Free port, sockets, sleep ---

TEST_F(RestUtilTest, UnusedPortOnLocalhostCanBeBound) {
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
}

TEST_F(RestUtilTest, UnusedPortOfAnUnknownHostFailsWithNameLookup) {
    CHadoopRestUtil util(eModeExternal, eAppTypeHadoop, 1);
    unsigned port = 7;
    CEkError err = util.GetUnUsedPort("no-such-host.invalid", port);
    ExpectError(err, 1627, "Name lookup failed");
    EXPECT_EQ(7u, port);
}

TEST_F(RestUtilTest, UnusedPortOfAForeignAddressFailsToBind) {
    CHadoopRestUtil util(eModeExternal, eAppTypeHadoop, 1);
    unsigned port = 0;
    CEkError err = util.GetUnUsedPort("192.0.2.1", port);  // TEST-NET-1: not ours
    EXPECT_EQ(1627, err.Code());
    EXPECT_THAT(err.Message(), StartsWith("Bind failed rc ["));
}

TEST(EknetTest, NumericAddressesOnly) {
    EKNET_ADDRESS address;
    EXPECT_EQ(0, EKNET_str2ip("::1", address));
    EXPECT_EQ(AF_INET6, address.Family());
    EXPECT_NE(0, EKNET_str2ip("localhost", address));
    EXPECT_EQ(AF_INET6, address.Family());  // unchanged
    EKNET_HOSTENT* result = nullptr;
    ASSERT_EQ(0, EKNET_name2ip("localhost", result, 0));
    ASSERT_NE(nullptr, result);
    EXPECT_FALSE(result->m_vAddresses.empty());
    EKNET_freehostent(result);
}

// --- The host HTTP client ---

TEST(DXLibCurlTest, HeaderLinesThatWouldSplitTheRequestAreRefused) {
    DXLibCurl curl;
    ASSERT_TRUE(curl.DXLibCurlInit(nullptr, false, false, nullptr));
    EXPECT_FALSE(curl.DXLibCurlAppendHeader(HTTP_HDR_REQUEST, "X-A: 1\r\nX-B: 2"));
    EXPECT_FALSE(curl.DXLibCurlAppendHeader(HTTP_HDR_REQUEST, ""));
    EXPECT_FALSE(curl.DXLibCurlAppendHeader(HTTP_HDR_REQUEST, nullptr));
    EXPECT_FALSE(curl.DXLibCurlAppendHeader(static_cast<_http_hdr_type_>(1), "X-A: 1"));
    EXPECT_TRUE(curl.DXLibCurlAppendHeader(HTTP_HDR_REQUEST, "X-A: 1"));
}

TEST(DXLibCurlTest, HeadersAreReplacedPerRequestAndStatusKeptAfterFailure) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest& r) {
        return StubAnswer{r.headers.count("x-a") ? 418 : 200, "body"};
    });
    DXLibCurl curl;
    ASSERT_TRUE(curl.DXLibCurlInit(nullptr, false, false, nullptr));
    const std::string url = "http://127.0.0.1:" + std::to_string(stub.port()) + "/x";
    ASSERT_TRUE(curl.DXLibCurlAppendHeader(HTTP_HDR_REQUEST, "X-A: 1"));
    EXPECT_FALSE(curl.DXLibCurlSendHttpReq(HTTP_REQ_GET, url.c_str(), nullptr, 0, false, nullptr));
    EXPECT_EQ(418, curl.m_nHttpStatusCode);
    size_t length = 0;
    ASSERT_NE(nullptr, curl.GetHttpResponse(length, false));
    EXPECT_EQ("body", std::string(curl.GetHttpResponse(length, false)));
    EXPECT_EQ(4u, length);
    curl.DXLibCurlFreeHttpHeaderList();
    EXPECT_TRUE(curl.DXLibCurlSendHttpReq(HTTP_REQ_GET, url.c_str(), nullptr, 0, false, nullptr));
    EXPECT_EQ(200, curl.m_nHttpStatusCode);
    EXPECT_EQ(0u, stub.Requests()[1].headers.count("expect"));
}

TEST(DXLibCurlTest, LargeBodyIsSentWithoutWaitingForContinue) {
    RestStubServer stub;
    stub.SetHandler([](const StubRequest& r) {
        return StubAnswer{200, std::to_string(r.body.size())};
    });
    DXLibCurl curl;
    ASSERT_TRUE(curl.DXLibCurlInit(nullptr, false, false, nullptr));
    curl.SetTimeouts(2000, 2000);
    const std::string url = "http://127.0.0.1:" + std::to_string(stub.port()) + "/x";
    const std::string body(2 << 20, 'a');
    ASSERT_TRUE(curl.DXLibCurlSendHttpReq(HTTP_REQ_POST, url.c_str(), body.data(), body.size(),
                                          false, nullptr));
    size_t length = 0;
    EXPECT_EQ(std::to_string(body.size()), curl.GetHttpResponse(length, false));
}

}  // namespace
