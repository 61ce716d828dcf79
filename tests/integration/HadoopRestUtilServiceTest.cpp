// The REST utility service started, probed, called and stopped by CHadoopRestUtil itself: the
// real Java service of localcluster/utilserver against a localcluster installation.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "hadoop/HadoopRestUtil.h"
#include "support/ErrorChecks.h"
#include "support/LocalInstall.h"
#include "support/RestUtilHome.h"
#include "support/TestSupport.h"
#include "support/UtilServerProcess.h"

using namespace DXHadoop;
using namespace testsupport;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace fs = std::filesystem;

namespace {

class RestUtilServiceTest : public RestServiceFixture {
  protected:
    void SetUp() override {
        WriteFile(install.namespaceRoot() + "/data/a", "a");
        WriteFile(install.namespaceRoot() + "/data/b", "b");
    }

    std::unique_ptr<CHadoopRestUtil> Util(eHadoopAppType type = eAppTypeHadoop,
                                          const std::string& javaPath = "") {
        return std::make_unique<CHadoopRestUtil>(javaPath, home.home(), "hdfs", type,
                                                 home.configDir(), "hbase");
    }

    std::unique_ptr<CHadoopRestUtil> Started(eHadoopAppType type = eAppTypeHadoop) {
        auto util = Util(type);
        CEkError err = util->Start();
        EXPECT_TRUE(err.Succeeded()) << err.AsString();
        return util;
    }

    // A "java" that starts and never listens.
    std::string SilentJava() {
        const std::string java = home.path("silent/java");
        WriteScript(java, "exec sleep 60\n");
        return java;
    }
};

TEST_F(RestUtilServiceTest, StartLaunchesTheServiceWithItsCommandLineAndAnswers) {
    auto util = Started();
    ASSERT_TRUE(util->IsInitialized());
    const pid_t pid = util->GetServicePid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(DxProcess::SplitCommandLine(util->GetServiceCommandLine()), ProcessArguments(pid));
    EXPECT_THAT(util->GetServiceCommandLine(),
                HasSubstr(" -Ddxutil.config.file=" + home.configDir() + " -cp " + home.dxjars() +
                          "/dxhdfsutil.jar:" + home.dxjars() + "/dxhdfsutil-nodep.jar " +
                          "webserver.UtilServer " + util->GetPort()));
    EXPECT_EQ("http://localhost:" + util->GetPort() + "/REST/hadoop", util->GetBaseUrl());
    std::string response;
    ASSERT_TRUE(util->Get("hello.json", response).Succeeded());
    EXPECT_EQ("OK", nlohmann::json::parse(response).at("status"));

    // An external-mode client given the secret talks to this service but does not stop it.
    CHadoopRestUtil client(eModeExternal, eAppTypeHadoop,
                           static_cast<unsigned>(std::stoul(util->GetPort())));
    client.SetServiceSecret(util->GetServiceSecret());
    ASSERT_TRUE(client.Start().Succeeded());
    EXPECT_EQ(-1, client.GetServicePid());
    ASSERT_TRUE(GetACLandXattr(&client, "/data/a", response).Succeeded());
    ASSERT_TRUE(client.Stop().Succeeded());
    EXPECT_TRUE(ProcessExists(pid));

    util = Started(eAppTypeHBase);  // HBase requests use the HBase path
    EXPECT_EQ("http://localhost:" + util->GetPort() + "/REST/hbase", util->GetBaseUrl());
    ASSERT_TRUE(util->Get("hello.json", response).Succeeded());
    EXPECT_EQ("hbase", nlohmann::json::parse(response).at("application"));
}

TEST_F(RestUtilServiceTest, AclAndXattrRoundTripIsIdentical) {
    auto util = Started();
    const std::string change =
        R"({"AclStatus":{"entries":["user:alice:rwx","group::r-x","default:user:bob:r--"]},)"
        R"("XAttrs":[{"name":"trusted.blob","value":"0s/wA="},{"name":"user.color","value":"red"}]})";
    CEkError err = SetACLandXattr(util.get(), "/data/a", change);
    ASSERT_TRUE(err.Succeeded()) << err.AsString();

    std::string response;
    err = GetACLandXattr(util.get(), "/data/a", response);
    ASSERT_TRUE(err.Succeeded()) << err.AsString();
    auto answer = nlohmann::json::parse(response);
    auto sent = nlohmann::json::parse(change);
    EXPECT_EQ(sent["AclStatus"]["entries"], answer["AclStatus"]["entries"]);
    EXPECT_EQ(sent["XAttrs"], answer["XAttrs"]);

    // What was read, sent back to another path, reads back the same.
    ASSERT_TRUE(SetACLandXattr(util.get(), "/data/b", response).Succeeded());
    std::string copy;
    ASSERT_TRUE(GetACLandXattr(util.get(), "/data/b", copy).Succeeded());
    EXPECT_EQ(answer, nlohmann::json::parse(copy));

    // An empty caller object is accepted by the service.
    err = SetACLandXattr(util.get(), "/data/a", "{}");
    EXPECT_TRUE(err.Succeeded()) << err.AsString();
}

TEST_F(RestUtilServiceTest, PathWithQuoteAndBackslashReachesTheServiceAndErrorAnswersGive2250) {
    WriteFile(install.namespaceRoot() + "/data/q\"b\\s", "x");
    auto util = Started();
    ASSERT_TRUE(
        SetACLandXattr(util.get(), "/data/q\"b\\s", R"({"XAttrs":[{"name":"user.k","value":"v"}]})")
            .Succeeded());
    std::string response;
    ASSERT_TRUE(GetACLandXattr(util.get(), "/data/q\"b\\s", response).Succeeded());
    EXPECT_EQ("v", nlohmann::json::parse(response)["XAttrs"][0]["value"]);

    CEkError err = GetACLandXattr(util.get(), "/data/none", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_THAT(FirstMessage(err), StartsWith("Error: rc[404] ReqType[POST]"));
    EXPECT_TRUE(nlohmann::json::parse(response).contains("RemoteException"));

    // The service reads its properties again at each request: a 500 carries its body.
    home.ServiceProperties("dxutil.test.status=500\ndxutil.test.resources=getacl\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    err = GetACLandXattr(util.get(), "/data/a", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_THAT(FirstMessage(err), StartsWith("Error: rc[500] ReqType[POST]"));
    EXPECT_THAT(response, HasSubstr("InjectedFailure"));
}

TEST_F(RestUtilServiceTest, Answer503AtTheFirstHelloFailsAtOnce) {
    home.ServiceProperties("dxutil.test.unavailable=true\n");
    auto util = Util();
    CEkError err = util->Start();
    ExpectError(err, 5006, "Failed to establish utils connection");
    EXPECT_EQ("JMXConnectionError", FirstMessage(err));
    // Attempts before the JVM listens find no answer; the first answer, 503, ends the check
    // (the check's own frame says so), long before the attempts run out.
    EXPECT_EQ("Utils hello check failed", err.Frames().at(1).message);
    EXPECT_LT(util->GetHelloAttempts(), 60u);
    EXPECT_FALSE(util->IsInitialized());
    EXPECT_EQ(0, CountZombieChildren());
}

// A killed service gives a clear error; a new Start replaces it and Stop after a death succeeds.
TEST_F(RestUtilServiceTest, ServiceDyingGivesAClearErrorAndANewStartAndStopWork) {
    auto util = Started();
    const pid_t first = util->GetServicePid();
    ASSERT_GT(first, 0);  // kill(-1) would signal every process of the user
    ASSERT_EQ(0, kill(first, SIGKILL));
    std::string response;
    CEkError err;
    for (int i = 0; i < 100; ++i) {  // until the port is really closed
        err = GetACLandXattr(util.get(), "/data/a", response);
        if (err.Failed())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(2250, err.Code());
    EXPECT_THAT(FirstMessage(err), StartsWith("Error: rc[0] ReqType[POST]"));

    ASSERT_TRUE(util->Start().Succeeded());
    const pid_t second = util->GetServicePid();
    ASSERT_GT(second, 0);
    EXPECT_NE(first, second);
    EXPECT_TRUE(GetACLandXattr(util.get(), "/data/a", response).Succeeded());
    EXPECT_EQ(0, CountZombieChildren());

    ASSERT_EQ(0, kill(second, SIGKILL));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(util->Stop().Succeeded());
    EXPECT_FALSE(util->IsInitialized());
    EXPECT_FALSE(ProcessExists(second));
    EXPECT_EQ(0, CountZombieChildren());
}

// --- Who may talk to the service, and how long it lives ---

// Each Start makes a fresh secret that the service demands and that never shows on a command
// line; a client that does not know it is refused and changes nothing.
TEST_F(RestUtilServiceTest, OwnServiceDemandsItsFreshSecretWhichStaysOffTheCommandLine) {
    auto util = Started();
    const std::string secret = util->GetServiceSecret();
    ASSERT_EQ(64u, secret.size());
    for (const std::string& arg : ProcessArguments(util->GetServicePid()))
        EXPECT_EQ(std::string::npos, arg.find(secret)) << arg;

    const std::string url = util->GetBaseUrl() + "/setacl";
    const std::string body = R"({"path":"/data/a","AclStatus":{"permission":"777"}})";
    HttpClient intruder;
    EXPECT_EQ(401, intruder.Post(url, body).status);
    intruder.SetSecret(secret + "0");
    EXPECT_EQ(401, intruder.Post(url, body).status);

    CHadoopRestUtil withoutSecret(eModeExternal, eAppTypeHadoop,
                                  static_cast<unsigned>(std::stoul(util->GetPort())));
    ASSERT_TRUE(withoutSecret.Start().Succeeded());
    std::string response;
    CEkError err = GetACLandXattr(&withoutSecret, "/data/a", response);
    EXPECT_EQ(2250, err.Code());
    EXPECT_THAT(err.AsString(), HasSubstr("Error: rc[401]"));
    EXPECT_THAT(response, HasSubstr("The request carries no X-Hdfsagent-Secret header"));

    ASSERT_TRUE(GetACLandXattr(util.get(), "/data/a", response).Succeeded());
    EXPECT_EQ("644", nlohmann::json::parse(response)["AclStatus"]["permission"]);

    ASSERT_TRUE(util->Start().Succeeded());
    EXPECT_NE(secret, util->GetServiceSecret());
}

// An agent process killed with SIGKILL runs no destructor; its service must still end.
TEST_F(RestUtilServiceTest, ServiceEndsWithinFiveSecondsOfItsStarterBeingKilled) {
    int report[2];
    ASSERT_EQ(0, pipe2(report, O_CLOEXEC));
    const pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        auto util = Util();
        const pid_t service = util->Start().Succeeded() ? util->GetServicePid() : -1;
        if (write(report[1], &service, sizeof service) != sizeof service)
            _exit(1);
        pause();
        _exit(0);
    }
    close(report[1]);
    pid_t service = -1;
    ASSERT_EQ(static_cast<ssize_t>(sizeof service), read(report[0], &service, sizeof service));
    close(report[0]);
    ASSERT_GT(service, 0);
    ASSERT_FALSE(ProcessesWithArgument(home.configDir()).empty());

    ASSERT_EQ(0, kill(starter, SIGKILL));
    ASSERT_EQ(starter, waitpid(starter, nullptr, 0));
    EXPECT_EQ(std::vector<pid_t>{}, WaitUntilNoProcessWithArgument(home.configDir(), 5000));
}

// A second Start, Stop and destruction each end the service and reap it: no process, no zombie.
TEST_F(RestUtilServiceTest, SecondStartStopAndDestructionLeaveNoProcess) {
    auto util = Started();
    const pid_t first = util->GetServicePid();
    ASSERT_TRUE(util->Start().Succeeded());
    for (int waited = 0; waited < 5000 && ProcessExists(first); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(ProcessExists(first));  // not our child any more once reaped
    const pid_t second = util->GetServicePid();
    EXPECT_NE(first, second);
    EXPECT_TRUE(ProcessExists(second));
    EXPECT_EQ(0, CountZombieChildren());

    ASSERT_TRUE(util->Stop().Succeeded());
    EXPECT_FALSE(util->IsInitialized());
    EXPECT_FALSE(ProcessExists(second));  // killed and reaped: not even a zombie
    EXPECT_EQ(0, CountZombieChildren());
    std::string response;
    EXPECT_EQ(2250, util->Get("hello.json", response).Code());

    ASSERT_TRUE(util->Start().Succeeded());
    const pid_t third = util->GetServicePid();
    ASSERT_TRUE(ProcessExists(third));
    util.reset();
    EXPECT_FALSE(ProcessExists(third));
    EXPECT_EQ(0, CountZombieChildren());
}

// The setting only raises the wait of 120 seconds; one hello attempt per 10 seconds of it.
TEST_F(RestUtilServiceTest, WaitTimeSettingOnlyRaisesAndGivesTheAttempts) {
    ScopedEnv retry("HDFSAGENT_RESTUTIL_RETRY_MS", "1");
    const struct {
        const char* setting;
        unsigned waitTime, attempts;
    } cases[] = {{"60", 120, 12}, {"300", 300, 30}};
    for (const auto& c : cases) {
        home.Settings(std::string("[FileSystemAgent]\nnHadoopRestUtilWaitTime=") + c.setting +
                      "\n");
        auto util = Util(eAppTypeHadoop, SilentJava());
        CEkError err = util->Start();
        ExpectError(err, 2250, "Failed to establish utils connection");
        EXPECT_EQ(c.waitTime, util->GetWaitTime());
        EXPECT_EQ(c.attempts, util->GetHelloAttempts());
        EXPECT_EQ("JAVA Utils hello check failed", err.Frames().at(1).message);
        EXPECT_EQ(-1, util->GetServicePid());
        EXPECT_EQ(0, CountZombieChildren());
    }
}

// The hello check asks again as soon as the JVM listens instead of sleeping out its retry delay
// (two minutes here: a check that slept it out would take that long).
TEST_F(RestUtilServiceTest, HelloCheckAsksAgainAsSoonAsTheServiceListens) {
    ScopedEnv retry("HDFSAGENT_RESTUTIL_RETRY_MS", "120000");
    auto util = Util();
    const auto started = std::chrono::steady_clock::now();
    CEkError err = util->Start();
    ASSERT_TRUE(err.Succeeded()) << err.AsString();
    EXPECT_LE(util->GetHelloAttempts(), 2u);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took.count(), 100.0);
}

TEST_F(RestUtilServiceTest, ServiceThatExitsEndsTheHelloCheckEarly) {
    const std::string java = home.path("dying/java");
    WriteScript(java, "exit 3\n");
    home.Settings("[FileSystemAgent]\nnHadoopRestUtilWaitTime=3000\n");
    ScopedEnv retry("HDFSAGENT_RESTUTIL_RETRY_MS", "100");
    auto util = Util(eAppTypeHadoop, java);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(2250, util->Start().Code());
    EXPECT_LT(util->GetHelloAttempts(), 300u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(0, CountZombieChildren());
}

TEST_F(RestUtilServiceTest, DependencyJarsAndExtraArgumentsReachTheCommandLine) {
    home.Settings(
        "[FileSystemAgent]\nnHadoopRestUtilDependencyJars=/x/a.jar:/x/b.jar\n"
        "nHadoopRestUtilCmdArgs=-Xmx96m -Dextra.flag=1\n");
    install.SetConfFile("hdp-version", "2.6.5.0-292\n");
    auto util = Started();
    const auto args = ProcessArguments(util->GetServicePid());
    ASSERT_GE(args.size(), 4u);
    EXPECT_EQ("-Dhdp.version=2.6.5.0-292", args[1]);
    EXPECT_EQ("-Xmx96m", args[2]);
    EXPECT_EQ("-Dextra.flag=1", args[3]);
    EXPECT_THAT(args.at(args.size() - 3), ::testing::EndsWith(":/x/a.jar:/x/b.jar"));
}

// The service's JVM reads the realm profile kinit reads, and finds the Hadoop client jars the
// library's set-up put on CLASSPATH, after the administrator's own entries.
TEST_F(RestUtilServiceTest, RealmProfileAndHadoopClassPathReachTheServicesJvm) {
    home.Settings("[FileSystemAgent]\nnHadoopRestUtilDependencyJars=/x/a.jar\n");
    ScopedEnv krb5("KRB5_CONFIG", home.path("realm dir/krb5.conf"));
    ScopedEnv classPath("CLASSPATH", "/hadoop/conf:/hadoop/lib/*");
    auto util = Started();
    auto args = ProcessArguments(util->GetServicePid());
    ASSERT_GE(args.size(), 4u);
    EXPECT_EQ("-Djava.security.krb5.conf=" + home.path("realm dir/krb5.conf"), args[1]);
    EXPECT_THAT(args.at(args.size() - 3),
                ::testing::EndsWith(":/x/a.jar:/hadoop/conf:/hadoop/lib/*"));

    // A property the administrator gives wins.
    home.Settings("[FileSystemAgent]\nnHadoopRestUtilCmdArgs=-Djava.security.krb5.conf=/own\n");
    util = Started();
    args = ProcessArguments(util->GetServicePid());
    EXPECT_EQ("-Djava.security.krb5.conf=/own", args.at(1));
    EXPECT_EQ(1, std::count_if(args.begin(), args.end(), [](const std::string& arg) {
                  return arg.rfind("-Djava.security.krb5.conf=", 0) == 0;
              }));
}

// A program that cannot start, a missing template and no Java anywhere each fail Start with no
// process left behind.
TEST_F(RestUtilServiceTest, FailedStartsLeaveNoProcess) {
    auto util = Util(eAppTypeHadoop, home.path("no-such-java"));
    CEkError err = util->Start();
    EXPECT_EQ(1627, err.Code());
    EXPECT_THAT(err.Message(), StartsWith("Failed to start Hadoop REST utility, error=["));
    EXPECT_FALSE(util->IsInitialized());

    fs::remove(home.dxjars() + "/dxhadooputil.properties");
    fs::remove(home.serviceProperties());  // the first attempt installed it
    util = Util();
    ExpectError(util->Start(), 2, "Failed to populate config file path");
    EXPECT_EQ(-1, util->GetServicePid());

    install.SetJavaHome("/no/such/jdk");
    const std::string tools = home.path("tools");
    WriteScript(tools + "/which", "[ \"$1\" = java ] && exit 1\nexec /usr/bin/which \"$@\"\n");
    WriteScript(tools + "/whereis", "echo java:\n");
    ScopedEnv path("PATH", tools + ":" + getenv("PATH"));
    util = Util();
    ExpectError(util->Start(), 1168, "Failed to get java path");
    EXPECT_EQ(-1, util->GetServicePid());
    EXPECT_FALSE(util->IsInitialized());
    EXPECT_EQ(0, CountZombieChildren());
}

}  // namespace
