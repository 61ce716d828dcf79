// One started CHadoopRestUtil shared by many threads against the real Java service: every
// thread gets its own answers, a slow exchange does not hold up the others, and batched reads
// answer each path as a read of that path alone would.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "hadoop/HadoopRestUtil.h"
#include "support/ErrorChecks.h"
#include "support/LocalInstall.h"
#include "support/RestUtilHome.h"
#include "support/TestSupport.h"

using namespace DXHadoop;
using namespace testsupport;
using nlohmann::json;
using ::testing::HasSubstr;

namespace {

class RestUtilConcurrencyTest : public RestServiceFixture {
  protected:
    std::unique_ptr<CHadoopRestUtil> util;

    void SetUp() override {
        WriteFile(install.namespaceRoot() + "/data/a", "a");
        WriteFile(install.namespaceRoot() + "/data/b", "b");
        util = std::make_unique<CHadoopRestUtil>("", home.home(), "hdfs", eAppTypeHadoop,
                                                 home.configDir(), "hbase");
        CEkError err = util->Start();
        ASSERT_TRUE(err.Succeeded()) << err.AsString();
    }

    // Test knobs added to the running service's properties (it reads them again at its next
    // request).
    void AddServiceKnobs(const std::string& lines) {
        WriteFile(home.serviceProperties(), ReadFile(home.serviceProperties()) + lines);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    std::string Read(const std::string& path) {
        std::string response;
        CEkError err = GetACLandXattr(util.get(), path, response);
        EXPECT_TRUE(err.Succeeded()) << err.AsString();
        return response;
    }
};

TEST_F(RestUtilConcurrencyTest, ThreadsSharingOneObjectEachGetTheirOwnAnswers) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 25;
    for (int t = 0; t < kThreads; ++t)
        WriteFile(install.namespaceRoot() + "/c" + std::to_string(t), "");

    std::vector<std::string> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string path = "/c" + std::to_string(t);
            for (int i = 0; i < kRounds && failures[t].empty(); ++i) {
                const std::string value = std::to_string(t) + "-" + std::to_string(i);
                const json change = {{"XAttrs", {{{"name", "user.n"}, {"value", value}}}}};
                CEkError err = SetACLandXattr(util.get(), path, change.dump());
                std::string response;
                if (err.Succeeded())
                    err = GetACLandXattr(util.get(), path, response);
                const json answer = json::parse(response, nullptr, false);
                if (err.Failed() || answer.is_discarded() || answer["XAttrs"] != change["XAttrs"])
                    failures[t] =
                        "round " + std::to_string(i) + ": " + err.AsString() + " " + response;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(failures[t], "") << "thread " << t;
}

TEST_F(RestUtilConcurrencyTest, AnotherThreadsSlowExchangeDoesNotHoldUpARequest) {
    // From now on every getacl waits in the service; hello does not.
    AddServiceKnobs("dxutil.test.hangMs=3000\ndxutil.test.resources=getacl\n");
    std::atomic<bool> slowDone{false};
    std::thread slow([&] {
        std::string response;
        CEkError err = GetACLandXattr(util.get(), "/data/a", response);
        EXPECT_TRUE(err.Succeeded()) << err.AsString();
        slowDone = true;
    });
    // Give the slow exchange time to be under way; should it not be yet, hello goes first and
    // the check below proves nothing, but cannot fail wrongly.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string hello;
    CEkError err = util->Get("hello.json", hello);
    EXPECT_TRUE(err.Succeeded()) << err.AsString();
    EXPECT_EQ("OK", json::parse(hello).at("status"));
    EXPECT_FALSE(slowDone.load()) << "hello waited for another thread's exchange";
    slow.join();
}

TEST_F(RestUtilConcurrencyTest, BatchAnswersEachPathAsItsOwnReadWouldAndABadPathAlone) {
    ASSERT_TRUE(SetACLandXattr(util.get(), "/data/b",
                               R"({"AclStatus":{"entries":["user:alice:r--"]},)"
                               R"("XAttrs":[{"name":"user.k","value":"v"}]})")
                    .Succeeded());
    const std::vector<std::string> paths = {"/data/a", "/data/none", "/data/b"};
    std::vector<AclAndXattrAnswer> answers;
    CEkError err = GetACLandXattrBatch(util.get(), paths, answers);
    ASSERT_TRUE(err.Succeeded()) << err.AsString();
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0].status, 200);
    // The same text as a read of the path alone: the service's member order is kept.
    EXPECT_EQ(answers[0].body, Read("/data/a"));
    EXPECT_EQ(answers[2].status, 200);
    EXPECT_EQ(answers[2].body, Read("/data/b"));
    EXPECT_EQ(answers[1].status, 404);
    EXPECT_EQ(json::parse(answers[1].body),
              (json{{"RemoteException",
                     {{"exception", "FileNotFoundException"},
                      {"javaClassName", "java.io.FileNotFoundException"},
                      {"message", "File does not exist: /data/none"}}}}));
}

TEST_F(RestUtilConcurrencyTest, BatchLargerThanOneExchangeTakesSeveralAndKeepsTheOrder) {
    std::vector<std::string> paths;
    for (size_t i = 0; i < kAclBatchPaths + 5; ++i)
        paths.push_back(i % 7 == 3 ? "/data/none" : (i % 2 ? "/data/a" : "/data/b"));
    std::vector<AclAndXattrAnswer> answers;
    CEkError err = GetACLandXattrBatch(util.get(), paths, answers);
    ASSERT_TRUE(err.Succeeded()) << err.AsString();
    ASSERT_EQ(answers.size(), paths.size());
    const std::string a = Read("/data/a");
    const std::string b = Read("/data/b");
    for (size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(i);
        if (i % 7 == 3) {
            EXPECT_EQ(answers[i].status, 404);
        } else {
            EXPECT_EQ(answers[i].status, 200);
            EXPECT_EQ(answers[i].body, i % 2 ? a : b);
        }
    }
}

TEST_F(RestUtilConcurrencyTest, BatchWithAPathNotUtf8SendsNothingAndFails) {
    AddServiceKnobs("dxutil.test.status=500\n");  // anything sent would fail
    std::vector<AclAndXattrAnswer> answers(1);
    CEkError err = GetACLandXattrBatch(util.get(), {"/data/a", "/data/\xff"}, answers);
    ExpectError(err, 22, "Path is not valid UTF-8 (path 2)");
    EXPECT_TRUE(answers.empty());
    err = GetACLandXattrBatch(nullptr, {"/data/a"}, answers);
    ExpectError(err, 22, "ptrHadoopRestUtil is NULL");
    err = GetACLandXattrBatch(util.get(), {}, answers);
    EXPECT_TRUE(err.Succeeded()) << err.AsString();
    EXPECT_TRUE(answers.empty());
}

TEST_F(RestUtilConcurrencyTest, BatchThatTheServiceRefusesWholeFailsWithItsAnswer) {
    AddServiceKnobs("dxutil.test.status=500\ndxutil.test.resources=getaclbatch\n");
    std::vector<AclAndXattrAnswer> answers;
    CEkError err = GetACLandXattrBatch(util.get(), {"/data/a"}, answers);
    EXPECT_EQ(2250, err.Code());
    EXPECT_THAT(err.AsString(), HasSubstr("Error: rc[500] ReqType[POST]"));
    EXPECT_THAT(err.AsString(), HasSubstr("/REST/hadoop/getaclbatch"));
    EXPECT_TRUE(answers.empty());
}

}  // namespace
