// The file-system context end to end: from a product home holding only an instance message to
// a connected CHadoopFS (detection with the stand-in installation and the real JDK, the saved
// setting, CLASSPATH, the links, the localcluster libhdfs loaded through the link, native
// logging), then the cached object, a failed first connection and its retry, and set-ups
// running at once in two processes and in two threads; last, failures before a connection.
#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <thread>

#include "hadoop/HadoopBinding.h"
#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopCtx.h"
#include "hadoop/HadoopFS.h"
#include "hadoop/HadoopInstance.h"
#include "hadoop/HadoopRestUtil.h"
#include "host/Settings.h"
#include "support/ErrorChecks.h"
#include "support/HadoopConnectionSupport.h"
#include "support/HadoopDiscovery.h"
#include "support/Kdc.h"
#include "support/LocalInstall.h"
#include "support/RestUtilHome.h"
#include "support/TestSupport.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testsupport::ExpectError;
using testsupport::LocalInstall;
using testsupport::LogCapture;
using testsupport::ProductHome;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;
using testsupport::WriteScript;
using testsupport::discovery::RealJdkLibDir;
using testsupport::discovery::RealPath;
using testsupport::discovery::SavedLibPath;

namespace {

const char kHomeVariable[] = "HDFSAGENT_CTX_TEST_HOME";
const char kSelectedOnly[] = R"({"entries": [{"selector": 1, "configField2": "cluster-a"}]})";
const unsigned long kInstanceId = 11;

std::string MakeTemporaryDirectory() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/ctx-home.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// A product home on the loader's search path. CHadoopFS::Init opens the libhdfs.so link of the
// home by its bare name, and the loader reads LD_LIBRARY_PATH only at start-up, so the test is
// re-executed with the home in HDFSAGENT_HOME and LD_LIBRARY_PATH. The directory is made before
// the re-exec (its name travels in an environment variable) and removed by the re-executed
// process when the test ends.
class LoaderVisibleHome {
  public:
    LoaderVisibleHome() {
        const char* inherited = getenv(kHomeVariable);
        std::string home = inherited != nullptr ? inherited : MakeTemporaryDirectory();
        testsupport::ReexecWithEnvironment({{kHomeVariable, home},
                                            {"HDFSAGENT_HOME", home},
                                            {"LD_LIBRARY_PATH", home},
                                            {"KRB5CCNAME", ""}});
        unsetenv("KRB5CCNAME");
        m_sPath = home;
        m_env.emplace_back("HDFSAGENT_SETTINGS", home + "/settings.ini");
        m_env.push_back(ScopedEnv::unset("HDFSAGENT_LOCK_DIR"));
    }
    ~LoaderVisibleHome() {
        std::error_code ignored;
        std::filesystem::remove_all(m_sPath, ignored);
    }
    const std::string& path() const { return m_sPath; }
    std::string operator/(const std::string& name) const { return m_sPath + "/" + name; }

  private:
    std::string m_sPath;
    std::vector<ScopedEnv> m_env;
};

std::string LinkTarget(const std::string& link) {
    return std::filesystem::read_symlink(link).string();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class Context : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFile(
            m_home / "dxjars/dxhadoopnativelog4j.properties",
            ReadFile(HDFSAGENT_SOURCE_DIR "/hadoop/templates/dxhadoopnativelog4j.properties"));
        m_install.AddNativeLibrary(std::string(LOCALCLUSTER_LIBHDFS_DIR) + "/libhdfs.so");
        m_install.Activate(/*throughLinks=*/true);
    }
    std::string NativeDir() const { return RealPath(m_install.installDir()) + "/lib/native/"; }
    void WriteInstance(const std::string& text) {
        WriteFile(m_home / "instances/" + std::to_string(kInstanceId) + ".json", text);
    }
    void WriteInstanceLinking(const std::string& nativeDir) {
        WriteInstance(R"({"entries": [{"selector": 1, "hadoopNativeLibPath": ")" + nativeDir +
                      R"(", "jvmLibPath": ")" + RealJdkLibDir() + R"("}]})");
    }
    CEkError Create(CHadoopFSPtr* fs, const std::string& logConfigDir = "") {
        return m_ctx->CreateHadoopFSInstance(kInstanceId, "default", "hdfs", fs, logConfigDir);
    }
    // A `hadoop` first on PATH that records the start and end of each `classpath` run and
    // takes a while over it, so overlapping set-ups would show in the record. With saved
    // directories the set-up runs no detection, only the recorded class path.
    void RecordClasspathRuns() {
        ASSERT_TRUE(DXPlatformInfo::setString("FileSystemAgent", "HDP_LIB_PATH",
                                              NativeDir() + ":" + RealJdkLibDir())
                        .Succeeded());
        WriteScript(
            m_scratch / "bin/hadoop",
            "R='" + Record() + "'\nif [ \"$1\" = classpath ]; then\n" +
                "  echo \"start $$\" >> \"$R\"; sleep 0.4; echo \"end $$\" >> \"$R\"\nfi\n" +
                "exec '" + m_install.binDir() + "/hadoop' \"$@\"\n");
        m_path.emplace("PATH", m_scratch / "bin:" + getenv("PATH"));
    }
    std::string Record() const { return m_scratch / "classpath-runs"; }

    LoaderVisibleHome m_home;
    LogCapture m_log;
    LocalInstall m_install;
    TempDir m_logConfig{"ctx-logconfig"};
    TempDir m_scratch;
    std::optional<ScopedEnv> m_path;
    boost::shared_ptr<CHadoopCtx> m_ctx = CHadoopCtx::GetInstance();
};

}  // namespace

TEST_F(Context, EndToEndFromAnInstanceMessageToAFileReadBackThenTheSameObjectAgain) {
    WriteInstance(kSelectedOnly);
    CHadoopFSPtr fs;
    CEkError error = Create(&fs, m_logConfig.path());
    ASSERT_TRUE(error.Succeeded()) << error.AsString();
    ASSERT_TRUE(fs);
    EXPECT_EQ(fs, m_ctx->GetHadoopFSInstance());

    // Detected, saved, linked, and the stand-in loaded through the home's link.
    EXPECT_EQ(NativeDir() + ":" + RealJdkLibDir(), SavedLibPath());
    // The links join directory and name with "/"; a doubled separator is harmless.
    EXPECT_EQ(NativeDir() + "/libhdfs.so", LinkTarget(m_home / "libhdfs.so"));
    EXPECT_EQ(RealJdkLibDir() + "/libjvm.so", LinkTarget(m_home / "libjvm.so"));
    Dl_info loaded;  // the file of the shared object, as the loader opened it
    ASSERT_NE(0, dladdr(reinterpret_cast<const void*>(func_table.hdfsConnect), &loaded));
    EXPECT_STREQ((m_home / "libhdfs.so").c_str(), loaded.dli_fname);
    EXPECT_EQ("cluster-a", CHadoopInstanceCtx::GetInstance()->GetHDPInstance()->m_sConfigField2);
    // Native logging installed first on the class path, its level set.
    EXPECT_THAT(getenv("CLASSPATH"), StartsWith(m_logConfig.path() + ":"));
    EXPECT_THAT(ReadFile(m_logConfig / "log4j.properties"),
                HasSubstr("hadoop.root.logger=INFO, RFA"));

    const std::string data = "block of backup data\n";
    boost::shared_ptr<CHadoopFile> file;
    ASSERT_EQ(0, fs->Open("/e2e/data.txt", O_WRONLY, file, 0, 0, 0));
    ASSERT_EQ(static_cast<int>(data.size()), file->Write(data.data(), data.size()));
    ASSERT_EQ(0, file->Close());
    ASSERT_EQ(0, fs->Open("/e2e/data.txt", O_RDONLY, file, 0, 0, 0));
    std::string readBack(64, '\0');
    int got = file->Read(&readBack[0], readBack.size());
    ASSERT_EQ(static_cast<int>(data.size()), got);
    readBack.resize(got);
    EXPECT_EQ(data, readBack);
    EXPECT_EQ(data, ReadFile(m_install.namespaceRoot() + "/e2e/data.txt"));

    // A second request gets the first object and touches nothing (no message, no class path,
    // no logging set-up).
    std::filesystem::remove(m_home / "instances/11.json");
    m_install.SetConfFile("fail-classpath");
    CHadoopFSPtr second;
    ASSERT_TRUE(m_ctx->CreateHadoopFSInstance(99, "hdfs://elsewhere:1", "other", &second, "/x")
                    .Succeeded());
    EXPECT_EQ(fs, second);
    EXPECT_EQ(1, m_log.Count("Getting Hadoop classpath"));
    EXPECT_FALSE(std::filesystem::exists("/x/log4j.properties"));
}

// A null output pointer still sets everything up; the held object is released at exit before
// libhdfs runs its own exit handlers (the other way round it disconnected through a torn-down
// library and the process crashed on its way out).
TEST_F(Context, HeldObjectIsReleasedAtExitBeforeLibhdfsIsTornDown) {
    WriteInstance(kSelectedOnly);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        bool good = Create(nullptr).Succeeded() && m_ctx->GetHadoopFSInstance() &&
                    m_ctx->GetHadoopFSInstance()->Good();
        std::exit(good ? 0 : 1);  // runs the exit handlers
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The object was destroyed at exit: it disconnected and removed the links.
    EXPECT_FALSE(std::filesystem::is_symlink(m_home / "libhdfs.so"));
    EXPECT_FALSE(std::filesystem::is_symlink(m_home / "libjvm.so"));
}

TEST_F(Context, FailedFirstConnectionStartsTheNextRequestAfresh) {
    // Nothing is saved, so each set-up must ask the registry for the instance.
    WriteFile(m_scratch / "plain", "");
    ScopedEnv settings("HDFSAGENT_SETTINGS", m_scratch / "plain/settings.ini");
    WriteInstanceLinking(NativeDir());
    {
        ScopedEnv faults("LOCALHDFS_FAULTS", "hdfsBuilderConnect=111");
        CHadoopFSPtr fs;
        CEkError error = Create(&fs);
        ExpectError(error, 107, "HadoopConnection failed: Transport endpoint is not connected");
        EXPECT_FALSE(fs);
    }
    EXPECT_FALSE(m_ctx->GetHadoopFSInstance());
    EXPECT_FALSE(CHadoopInstanceCtx::GetInstance()->GetHDPInstance());
    EXPECT_FALSE(std::filesystem::is_symlink(m_home / "libhdfs.so"));
    EXPECT_FALSE(std::filesystem::is_symlink(m_home / "libjvm.so"));

    // The retry reads the (changed) message again and links what it names now.
    std::string standIn = LOCALCLUSTER_LIBHDFS_DIR;
    WriteInstanceLinking(standIn);
    CHadoopFSPtr fs;
    CEkError error = Create(&fs);
    ASSERT_TRUE(error.Succeeded()) << error.AsString();
    EXPECT_TRUE(fs->Good());
    EXPECT_EQ(standIn + "/libhdfs.so", LinkTarget(m_home / "libhdfs.so"));
    EXPECT_EQ(RealJdkLibDir() + "/libjvm.so", LinkTarget(m_home / "libjvm.so"));
    EXPECT_EQ(standIn, CHadoopInstanceCtx::GetInstance()->GetHDPInstance()->m_sHadoopNativeLibPath);
}

// Two processes setting up at once are serialised by the named mutex; then two threads of one
// process build one object: the thread that waited for the mutex found it and set nothing up.
TEST_F(Context, ConcurrentSetUpsAreSerialisedAndBuildOneObject) {
    RecordClasspathRuns();
    std::vector<pid_t> children;
    for (int i = 0; i < 2; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CHadoopFSPtr fs;
            bool good = Create(&fs).Succeeded() && fs && fs->Good();
            _exit(good ? 0 : 1);  // no destructors: the other process may still need the links
        }
        children.push_back(pid);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::vector<std::string> runs = Lines(ReadFile(Record()));
    ASSERT_EQ(4u, runs.size()) << ReadFile(Record());
    // start A, end A, start B, end B: the second set-up began after the first had finished.
    for (int i : {0, 2}) {
        EXPECT_EQ("start", runs[i].substr(0, 5));
        EXPECT_EQ("end" + runs[i].substr(5), runs[i + 1]);
    }
    EXPECT_NE(runs[0], runs[2]);

    CHadoopFSPtr fs[2];
    bool succeeded[2] = {false, false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&, i]() { succeeded[i] = Create(&fs[i]).Succeeded(); });
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_TRUE(succeeded[0] && succeeded[1]);
    EXPECT_TRUE(fs[0]);
    EXPECT_EQ(fs[0], fs[1]);
    EXPECT_EQ(fs[0], m_ctx->GetHadoopFSInstance());
    EXPECT_EQ(6u, Lines(ReadFile(Record())).size()) << ReadFile(Record());
}

// With "nUseLoggedinHdfsKerbCache" set, the REST service is told the ticket cache of the held
// Kerberos connection (against the "kdc" fixture's realm).
TEST_F(Context, RestServiceIsGivenTheHeldConnectionsTicketCacheWhenAsked) {
    testsupport::Kdc kdc = testsupport::Kdc::Fixture();
    testsupport::KerberosSandbox sandbox(kdc);
    m_install.SetProperty("hadoop.security.authentication", "kerberos");
    m_install.SetProperty("hadoop.user.keytab.file", sandbox.Keytab({"root"}, 0));
    WriteInstanceLinking(NativeDir());
    CHadoopFSPtr fs;
    CEkError error = m_ctx->CreateHadoopFSInstance(kInstanceId, "default", "root", &fs, "");
    ASSERT_TRUE(error.Succeeded()) << error.AsString() << m_log.Text();
    ASSERT_EQ(sandbox.cachePath(0), fs->m_pConnection->m_sKerberosCachePath);

    for (const char* name : {"dxhadooputil.properties", "dxhadooplog4j.properties"})
        std::filesystem::create_symlink(std::string(LOCALCLUSTER_UTILSERVER_DIR) + "/" + name,
                                        m_home / (std::string("dxjars/") + name));
    const std::string conf = m_scratch / "conf";
    std::filesystem::create_directories(conf);
    const std::string key = "util.hadoop.security.kerberos.ticket.cache.path";
    for (const char* wanted : {"0", "1"}) {
        SCOPED_TRACE(wanted);
        ASSERT_TRUE(
            DXPlatformInfo::setString("FileSystemAgent", "nUseLoggedinHdfsKerbCache", wanted)
                .Succeeded());
        DXHadoop::CHadoopRestUtil util("", m_home.path(), "root", DXHadoop::eAppTypeHadoop, conf,
                                       "hbase");
        ASSERT_TRUE(util.PopulateConfigFilePath().Succeeded());
        EXPECT_EQ(*wanted == '1' ? sandbox.cachePath(0) : "",
                  testsupport::PropertyValue(conf + "/dxhadooputil.properties", key));
    }
}

class ContextFailure : public ::testing::Test {
  protected:
    void SetUp() override { m_install.Activate(); }

    ProductHome m_home;
    LogCapture m_log;
    LocalInstall m_install;
    TempDir m_scratch;
    boost::shared_ptr<CHadoopCtx> m_ctx = CHadoopCtx::GetInstance();
};

// A named mutex that cannot be taken, an instance that cannot be fetched, and a libhdfs that
// cannot be loaded: each fails the set-up with its reason, logged, and holds no object.
TEST_F(ContextFailure, SetUpFailuresAreReportedAndLogged) {
    {
        WriteFile(m_scratch / "plain", "");
        ScopedEnv locks("HDFSAGENT_LOCK_DIR", m_scratch / "plain");
        CEkError error = m_ctx->CreateHadoopFSInstance(kInstanceId, "default", "hdfs", nullptr, "");
        ExpectError(error, ENOTDIR, "Cannot take the named mutex 'CreateHadoopInstNamedMutex'");
        EXPECT_FALSE(m_log.Contains("Getting Hadoop classpath"));
    }
    CHadoopFSPtr fs;
    CEkError error = m_ctx->CreateHadoopFSInstance(kInstanceId, "default", "hdfs", &fs, "");
    ExpectError(error, 1627, "Hadoop library initialized failed");
    EXPECT_THAT(error.AsString(eErrorFormatMessages),
                HasSubstr("Failed to fetch Hadoop Config from server"));
    EXPECT_TRUE(m_log.Contains("error 1627: Hadoop library initialized failed: "));
    EXPECT_FALSE(fs);
    EXPECT_FALSE(m_ctx->GetHadoopFSInstance());

    m_home.SetSetting("FileSystemAgent", "HDP_LIB_PATH", "/nowhere/hdfs:/nowhere/jvm");
    // The home's dxjars holds no logging template: logged, and the set-up goes on.
    error =
        m_ctx->CreateHadoopFSInstance(kInstanceId, "default", "hdfs", nullptr, m_scratch.path());
    ASSERT_TRUE(error.Failed());
    EXPECT_EQ("Hadoop library initialization failed", error.Message());
    EXPECT_THAT(error.AsString(eErrorFormatMessages), HasSubstr("libhdfs.so"));
    EXPECT_TRUE(m_log.Contains("Native Hadoop logging cannot be enabled"));
    EXPECT_TRUE(m_log.Contains(": Hadoop library initialization failed: "));
    EXPECT_FALSE(m_ctx->GetHadoopFSInstance());
}
