// Kerberos connections against a real MIT KDC (the "kdc" fixture, or a realm of the test's own):
// tickets from a keytab obtained as the connection user in a child process, the principal
// retries, the cache owner check, the expiry read with klist in the C locale, the kinit marker,
// and every failure of the ticket set-up — with the process's own IDs never changing.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopFS.h"
#include "hadoop/HadoopKerberos.h"
#include "support/ErrorChecks.h"
#include "support/HadoopConnectionPeer.h"
#include "support/HadoopConnectionSupport.h"
#include "support/Kdc.h"
#include "support/LocalInstall.h"
#include "support/TestSupport.h"

using testsupport::ExpectError;
using testsupport::Kdc;
using testsupport::KerberosSandbox;
using testsupport::LocalInstall;
using testsupport::LogCapture;
using testsupport::OwnerOf;
using testsupport::ProductHome;
using testsupport::ProgramRecorder;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;
using testsupport::WriteScript;

namespace {

const uid_t kNobody = 65534;
const char* const kKinitFailedText =
    "Failed to authenticate to Kerberos via kinit, please check keytab file or try kinit "
    "manually for exact error";

std::string HostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

// The expiry of the cache's first ticket as klist prints it in the C locale.
CTimeStamp ExpiryFromKlist(const std::string& cache) {
    std::string out;
    testsupport::Shell("LC_ALL=C klist -c '" + cache + "' | awk 'NR==5 {print $3 \" \" $4}'", &out);
    CTimeStamp expiry;
    HadoopKerberos::ParseKlistExpiry(out, expiry);
    return expiry;
}

void ExpectProcessIdsUnchanged() {
    uid_t u[3];
    gid_t g[3];
    ASSERT_EQ(0, getresuid(&u[0], &u[1], &u[2]));
    ASSERT_EQ(0, getresgid(&g[0], &g[1], &g[2]));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0u, u[i]) << i;
        EXPECT_EQ(0u, g[i]) << i;
    }
}

}  // namespace

class KerberosTickets : public ::testing::Test {
  protected:
    // The libhdfs stand-in, the realm (the fixture's unless the test started its own), a
    // sandbox on it, and a Kerberos-configured installation whose keytab holds `principals`.
    void Start(const std::vector<std::string>& principals = {""}) {
        Load();
        Prepare(principals);
    }
    void Load() {
        ASSERT_TRUE(testsupport::StartWithLibhdfs().Succeeded());
        ASSERT_EQ(0u, geteuid()) << "Kerberos connections as other users need root";
    }
    void Prepare(const std::vector<std::string>& principals = {""}, Kdc* ownRealm = nullptr) {
        m_home.reset(new ProductHome());
        if (ownRealm == nullptr) {
            m_fixture.reset(new Kdc(std::string(HDFSAGENT_BINARY_DIR) + "/kdc-fixture"));
            ownRealm = m_fixture.get();
        }
        m_kdc = ownRealm;
        m_sandbox.reset(new KerberosSandbox(*m_kdc));
        m_keytab = m_sandbox->Keytab(principals, kNobody);
        m_install.reset(new LocalInstall({{"hadoop.security.authentication", "kerberos"},
                                          {"hadoop.user.keytab.file", m_keytab}}));
        m_install->Activate();
    }
    CHadoopFS::CHadoopConnection& Of(CHadoopFS& fs) { return *fs.m_pConnection; }
    void ExpectFailedWith(CHadoopFS& fs, int code, const std::string& messageStart) {
        CEkError err = Of(fs).InitKerberosCache();
        EXPECT_EQ(code, err.Code()) << err.AsString();
        EXPECT_EQ(0u, err.Message().find(messageStart)) << err.AsString();
        ExpectProcessIdsUnchanged();
        EXPECT_EQ(0, testsupport::CountZombieChildren());
    }
    // A connection as nobody that fails because kinit does, and fails so again when asked.
    void ExpectKinitFailure() {
        CHadoopFS fs("default", "nobody");
        EXPECT_FALSE(Of(fs).m_bGood);
        EXPECT_EQ(kKinitFailedText, Of(fs).m_sLastError);
        ExpectFailedWith(fs, 1627, kKinitFailedText);
        EXPECT_EQ("nobody", Of(fs).m_sUser);
    }
    void RemoveCache() { unlink(m_sandbox->cachePath(kNobody).c_str()); }

    std::unique_ptr<ProductHome> m_home;
    std::unique_ptr<Kdc> m_fixture;
    Kdc* m_kdc = nullptr;
    std::unique_ptr<KerberosSandbox> m_sandbox;
    std::string m_keytab;
    std::unique_ptr<LocalInstall> m_install;
};

// --- Connecting --------------------------------------------------------------------------------

TEST_F(KerberosTickets, ConnectsAsNobodyAndAsRootWithTheUsersOwnCaches) {
    Start();
    LogCapture log;
    const time_t before = time(nullptr);
    CHadoopFS fs("default", "nobody");
    CHadoopFS::CHadoopConnection& connection = Of(fs);
    ASSERT_TRUE(connection.m_bGood) << log.Text();
    EXPECT_EQ(1, connection.m_eAuthType);
    EXPECT_EQ("nobody", connection.m_sUser);
    EXPECT_EQ("kinit", connection.m_sKinitCommand);
    EXPECT_EQ(m_keytab, connection.m_sKeytabFile);
    const std::string cache = m_sandbox->cachePath(kNobody);
    EXPECT_EQ(cache, connection.m_sKerberosCachePath);
    EXPECT_EQ(static_cast<long>(kNobody), OwnerOf(cache));
    // The expiry klist shows, stored as a time stamp: ten hours from now in this realm.
    EXPECT_FALSE(connection.m_oCacheExpiryTime.IsZero());
    EXPECT_EQ(ExpiryFromKlist(cache), connection.m_oCacheExpiryTime);
    EXPECT_GT(connection.m_oCacheExpiryTime, CTimeStamp::FromTimeT(before + 9 * 3600));
    EXPECT_LE(connection.m_oCacheExpiryTime, CTimeStamp::FromTimeT(time(nullptr) + 10 * 3600));
    EXPECT_TRUE(log.Contains("running command 'kinit nobody -kt " + m_keytab + " -c " + cache));
    EXPECT_FALSE(log.Contains("Retrying kinit using hostname"));
    EXPECT_EQ(0, fs.Exists("/"));

    // Root runs kinit without switching user, into a cache of its own.
    ProgramRecorder recorder({"kinit"});
    CHadoopFS asRoot("default", "root");
    ASSERT_TRUE(Of(asRoot).m_bGood) << Of(asRoot).m_sLastError;
    EXPECT_EQ(m_sandbox->cachePath(0), Of(asRoot).m_sKerberosCachePath);
    EXPECT_EQ(0, OwnerOf(m_sandbox->cachePath(0)));
    ASSERT_EQ(1u, recorder.Calls("kinit").size());
    EXPECT_EQ(0u, recorder.Calls("kinit")[0].find("0 ")) << recorder.Calls("kinit")[0];
    EXPECT_EQ(0, asRoot.Exists("/"));
    ExpectProcessIdsUnchanged();
    EXPECT_EQ(0, testsupport::CountZombieChildren());
}

TEST_F(KerberosTickets, HostNamePrincipalIsTriedAsTheUserWithKlistInTheCLocale) {
    // Keys of the host principal only: the plain kinit fails, so the keytab is listed too.
    Start({"nobody/" + HostName()});
    ProgramRecorder recorder({"kinit", "klist"});
    ScopedEnv locale("LC_ALL", "en_US.UTF-8");
    ScopedEnv lcTime("LC_TIME", "en_GB.UTF-8");
    LogCapture log;
    CHadoopFS fs("default", "nobody");
    ASSERT_TRUE(Of(fs).m_bGood) << log.Text();
    EXPECT_EQ("nobody/" + HostName(), Of(fs).m_sUser);
    EXPECT_TRUE(log.Contains("Retrying kinit using hostname"));
    EXPECT_EQ(static_cast<long>(kNobody), OwnerOf(m_sandbox->cachePath(kNobody)));
    EXPECT_FALSE(Of(fs).m_oCacheExpiryTime.IsZero());
    for (const std::string& call : recorder.Calls("kinit"))
        EXPECT_EQ(0u, call.find("65534 ")) << call;
    bool listedCache = false;
    for (const std::string& call : recorder.Calls("klist")) {
        EXPECT_NE(std::string::npos, call.find(" C -")) << "klist outside the C locale: " << call;
        listedCache = listedCache || call.find(" -c ") != std::string::npos;
    }
    EXPECT_TRUE(listedCache);
    // A reconnection starts with the principal that worked, mapped back to the same user.
    LogCapture again;
    ASSERT_TRUE(Of(fs).Connect().Succeeded()) << again.Text();
    EXPECT_FALSE(again.Contains("Retrying kinit using hostname"));
    EXPECT_EQ(m_sandbox->cachePath(kNobody), Of(fs).m_sKerberosCachePath);
    EXPECT_EQ(0, fs.Exists("/"));
}

// On a realm of the test's own: the keytab's principal as last resort, then a principal the KDC
// no longer knows, then the KDC down.
TEST_F(KerberosTickets, KeytabPrincipalIsTriedWhenNeitherPlainNorHostNameWorks) {
    Load();
    TempDir realmDir;
    ScopedEnv extra("KDC_EXTRA_PRINCIPALS", "nobody/backup nobody/ghost");
    Kdc realm = Kdc::Start(realmDir.path());
    Prepare({"nobody/backup"}, &realm);
    {
        ProgramRecorder recorder({"klist"});
        LogCapture log;
        CHadoopFS fs("default", "nobody");
        ASSERT_TRUE(Of(fs).m_bGood) << log.Text();
        EXPECT_EQ("nobody/backup@" + realm.realm(), Of(fs).m_sUser);
        // The keytab was listed as the user, in the C locale.
        int listings = 0;
        for (const std::string& call : recorder.Calls("klist")) {
            if (call.find(" -k ") == std::string::npos)
                continue;
            ++listings;
            EXPECT_EQ(0u, call.find("65534 C -k ")) << call;
        }
        EXPECT_EQ(1, listings);
        EXPECT_TRUE(log.Contains("Retrying kinit using hostname"));
        EXPECT_EQ(static_cast<long>(kNobody), OwnerOf(m_sandbox->cachePath(kNobody)));
        EXPECT_EQ(0, fs.Exists("/"));
    }
    {
        SCOPED_TRACE("principal unknown to the KDC");
        RemoveCache();
        m_install->SetProperty("hadoop.user.keytab.file",
                               m_sandbox->Keytab({"nobody/ghost"}, kNobody, "ghost.keytab"));
        std::string out;
        ASSERT_EQ(0, testsupport::Shell("PATH=/usr/sbin:$PATH kadmin.local -r " + realm.realm() +
                                            " -q 'delprinc -force nobody/ghost' 2>&1",
                                        &out))
            << out;
        LogCapture log;
        ExpectKinitFailure();
        EXPECT_TRUE(log.Contains("not found in Kerberos database")) << log.Text();
    }
    SCOPED_TRACE("KDC down");
    m_install->SetProperty("hadoop.user.keytab.file",
                           m_sandbox->Keytab({""}, kNobody, "all.keytab"));
    realm.Stop();
    ExpectKinitFailure();
}

// After "nobody@REALM" was the principal that worked, the refresh looked the whole text up as a
// user and failed. (Tickets that really expire: HadoopKerberosRefreshTest.)
TEST_F(KerberosTickets, RefreshAfterARealmPrincipalMapsBackToTheUser) {
    Start();
    ProgramRecorder recorder({"kinit"});
    CHadoopFS fs("default", "nobody");
    ASSERT_TRUE(Of(fs).m_bGood);
    hdfs_internal* before = CHadoopConnectionTestPeer::Handle(Of(fs));
    Of(fs).m_sUser = m_kdc->principal("nobody");
    Of(fs).m_oCacheExpiryTime = CTimeStamp::FromTimeT(time(nullptr));  // expired now
    LogCapture log;
    EXPECT_EQ(0, fs.Exists("/"));
    EXPECT_TRUE(log.Contains("Kerberos cache has expired, refreshing connection"));
    EXPECT_EQ(2u, recorder.Calls("kinit").size());
    EXPECT_NE(before, CHadoopConnectionTestPeer::Handle(Of(fs)));
    EXPECT_EQ(m_sandbox->cachePath(kNobody), Of(fs).m_sKerberosCachePath);
    EXPECT_EQ(m_kdc->principal("nobody"), Of(fs).m_sUser);
    EXPECT_FALSE(Of(fs).CheckCacheValidity().Failed());
}

TEST_F(KerberosTickets, ForeignCacheIsGivenToTheUserButOneThatStaysForeignIsAUidMismatch) {
    Start();
    const std::string cache = m_sandbox->cachePath(kNobody);
    WriteFile(cache, "stale tickets of root", 0600);
    {
        CHadoopFS fs("default", "nobody");
        ASSERT_TRUE(Of(fs).m_bGood) << Of(fs).m_sLastError;
        EXPECT_EQ(static_cast<long>(kNobody), OwnerOf(cache));
    }
    // A link at the cache path is never handed over; a kinit that leaves it in place makes the
    // cache (the link's target) stay root's.
    RemoveCache();
    TempDir elsewhere;
    const std::string target = elsewhere / "roots-cache";
    WriteFile(target, "root", 0600);
    ASSERT_EQ(0, symlink(target.c_str(), cache.c_str()));
    WriteScript(m_sandbox->dir() + "/fake-kinit", "exit 0\n");
    m_install->SetProperty("hadoop.kerberos.kinit.command", m_sandbox->dir() + "/fake-kinit");
    CHadoopFS fs("default", "nobody");
    EXPECT_FALSE(Of(fs).m_bGood);
    ExpectFailedWith(fs, EINVAL, "uid mismatch 0 != 65534");
    EXPECT_EQ(0, OwnerOf(target));
}

// --- The kinit marker --------------------------------------------------------------------------

TEST_F(KerberosTickets, MarkerStopsKinitButAnExistingCacheIsUsedAndAKeytabIsStillNeeded) {
    Start();
    TempDir markerDir;
    ScopedEnv marker("HDFSAGENT_DONOT_KINIT_MARKER", markerDir / "donot_kinit");
    WriteFile(markerDir / "donot_kinit", "");
    {
        CHadoopFS fs("default", "nobody");
        EXPECT_TRUE(Of(fs).m_oCacheExpiryTime.IsZero());
        EXPECT_TRUE(Of(fs).InitKerberosCache().Succeeded());
        EXPECT_FALSE(Of(fs).m_bGood);  // no tickets: the secured cluster refuses
    }
    // Tickets obtained by someone else beforehand.
    const std::string cache = m_sandbox->cachePath(kNobody);
    ASSERT_EQ(0, testsupport::Shell("kinit -kt " + m_kdc->keytab() + " -c " + cache + " nobody"));
    {
        ProgramRecorder recorder({"kinit", "klist"});
        CHadoopFS fs("default", "nobody");
        ASSERT_TRUE(Of(fs).m_bGood) << Of(fs).m_sLastError;
        EXPECT_TRUE(recorder.Calls("kinit").empty());
        ASSERT_EQ(1u, recorder.Calls("klist").size());
        EXPECT_NE(std::string::npos, recorder.Calls("klist")[0].find("-c " + cache));
        EXPECT_EQ(ExpiryFromKlist(cache), Of(fs).m_oCacheExpiryTime);
        EXPECT_EQ(0, fs.Exists("/"));
    }
    m_install->RemoveProperty("hadoop.user.keytab.file");
    CHadoopFS fs("default", "nobody");
    ExpectFailedWith(fs, 1627, "Empty Kerberos keytab file location found in config");
}

TEST_F(KerberosTickets, RealMarkerPathInAPrivateTmp) {
    Load();
    // /tmp/donot_kinit would stop kinit for every other test running meanwhile: this test gives
    // itself a /tmp of its own (a private mount namespace) before it creates anything there.
    ASSERT_EQ(0, unshare(CLONE_NEWNS)) << strerror(errno);
    ASSERT_EQ(0, mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) << strerror(errno);
    // The build tree (KDC fixture, stand-ins) may itself lie below /tmp: keep the old /tmp
    // reachable under /mnt (private to this namespace) and put the build tree back in place.
    const std::string build = HDFSAGENT_BINARY_DIR;
    const bool buildInTmp = build.rfind("/tmp/", 0) == 0;
    if (buildInTmp) {
        ASSERT_EQ(0, mount("/tmp", "/mnt", nullptr, MS_BIND | MS_REC, nullptr)) << strerror(errno);
    }
    ASSERT_EQ(0, mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777")) << strerror(errno);
    if (buildInTmp) {
        std::filesystem::create_directories(build);
        const std::string old = "/mnt" + build.substr(4);
        ASSERT_EQ(0, mount(old.c_str(), build.c_str(), nullptr, MS_BIND | MS_REC, nullptr))
            << strerror(errno);
    }
    Prepare();
    ASSERT_EQ(nullptr, getenv("HDFSAGENT_DONOT_KINIT_MARKER"));
    EXPECT_EQ("/tmp/donot_kinit", CHadoopFS::CHadoopConnection::DoNotKinitMarker());
    ProgramRecorder recorder({"kinit"});
    WriteFile("/tmp/donot_kinit", "");
    CHadoopFS fs("default", "nobody");
    EXPECT_TRUE(Of(fs).InitKerberosCache().Succeeded());
    EXPECT_TRUE(recorder.Calls("kinit").empty());
    EXPECT_EQ(0, unlink("/tmp/donot_kinit"));
    ASSERT_TRUE(Of(fs).InitKerberosCache().Succeeded());
    EXPECT_EQ(1u, recorder.Calls("kinit").size());
}

// --- Failures ----------------------------------------------------------------------------------

TEST_F(KerberosTickets, KeytabSettingWinsOverTheHadoopKeyUnlessEmpty) {
    Start();
    m_home->SetSetting("FileSystemAgent", "sHdfsKeytabFile", "");
    {
        CHadoopFS fs("default", "nobody");
        ASSERT_TRUE(Of(fs).m_bGood) << Of(fs).m_sLastError;
        EXPECT_EQ(m_keytab, Of(fs).m_sKeytabFile);
    }
    m_install->SetProperty("hadoop.user.keytab.file", "/nonexistent/keytab");
    m_home->SetSetting("FileSystemAgent", "sHdfsKeytabFile", m_keytab);
    LogCapture log;
    CHadoopFS fs("default", "nobody");
    ASSERT_TRUE(Of(fs).m_bGood) << log.Text();
    EXPECT_EQ(m_keytab, Of(fs).m_sKeytabFile);
    EXPECT_TRUE(log.Contains("Additional Setting sHdfsKeytabFile: " + m_keytab));
}

TEST_F(KerberosTickets, TicketSetUpFailuresOnTheFixturesRealm) {
    Start();
    {
        SCOPED_TRACE("keytab file missing");
        m_install->SetProperty("hadoop.user.keytab.file", m_sandbox->dir() + "/missing.keytab");
        CHadoopFS fs("default", "nobody");
        // Every kinit fails and the keytab lists no principal: no cache file, nothing to stat.
        ExpectFailedWith(fs, ENOENT, "Failed to stat " + m_sandbox->cachePath(kNobody));
        m_install->SetProperty("hadoop.user.keytab.file", m_keytab);
    }
    {
        SCOPED_TRACE("kinit program missing");
        m_install->SetProperty("hadoop.kerberos.kinit.command", "/nonexistent/bin/kinit");
        ExpectKinitFailure();
        m_install->RemoveProperty("hadoop.kerberos.kinit.command");
    }
    {
        SCOPED_TRACE("cache directory not writable by the user");
        ASSERT_EQ(0, chmod(m_sandbox->dir().c_str(), 0755));
        ExpectKinitFailure();
        ASSERT_EQ(0, chmod(m_sandbox->dir().c_str(), 01777));
    }
    CHadoopFS fs("default", "nobody");
    ASSERT_TRUE(Of(fs).m_bGood) << Of(fs).m_sLastError;
    {
        SCOPED_TRACE("keytab key unreadable");
        ScopedEnv faults("LOCALHDFS_FAULTS", "hdfsConfGetStr=5");
        const std::string text =
            "Failed to find Kerberos keytab file location config hadoop.user.keytab.file, "
            "connection will fail";
        ExpectFailedWith(fs, 1627, text);
        EXPECT_EQ(text, Of(fs).m_sLastError);
    }
    {
        SCOPED_TRACE("user without ID");
        Of(fs).m_sUser = "no-such-user-hdfsagent";
        CEkError err = Of(fs).InitKerberosCache();
        EXPECT_EQ(ENOENT, err.Code()) << err.AsString();
        EXPECT_EQ("GetUserID(no-such-user-hdfsagent) failed", err.Message());
        EXPECT_EQ(
            "Failed to convert user no-such-user-hdfsagent to a valid user ID, cannot "
            "authenticate to Kerberos",
            Of(fs).m_sLastError);
    }
    SCOPED_TRACE("keytab key absent");
    m_install->RemoveProperty("hadoop.user.keytab.file");
    LogCapture log;
    CHadoopFS absent("default", "nobody");
    EXPECT_FALSE(Of(absent).m_bGood);
    EXPECT_EQ(
        "Empty Kerberos keytab file location found in config hadoop.user.keytab.file, "
        "connection will fail",
        Of(absent).m_sLastError);
    EXPECT_TRUE(log.Contains("InitKerberosCache failed"));
    ExpectError(Of(absent).Connect(), 1627, "InitKerberosCache failed");
}

TEST_F(KerberosTickets, ShellCharactersInTheKeytabPathAreQuoted) {
    Start();
    const std::string injected = m_sandbox->dir() + "/injected";
    const std::string keytab =
        m_sandbox->Keytab({""}, kNobody, "key tab;touch injected;$(touch injected)'\"");
    m_install->SetProperty("hadoop.user.keytab.file", keytab);
    ASSERT_EQ(0, chdir(m_sandbox->dir().c_str()));
    CHadoopFS fs("default", "nobody");
    ASSERT_TRUE(Of(fs).m_bGood) << Of(fs).m_sLastError;
    EXPECT_NE(0, access(injected.c_str(), F_OK)) << "a piece of the keytab path ran as a command";
    EXPECT_EQ(keytab, Of(fs).m_sKeytabFile);
}

TEST_F(KerberosTickets, ProcessThatMayNotActAsTheUserReportsTheSwitch) {
    Start();
    CHadoopFS fs("default", "nobody");
    ASSERT_TRUE(Of(fs).m_bGood);
    ProgramRecorder recorder({"kinit"});
    ASSERT_EQ(0, chmod(m_install->root().c_str(), 0755));  // its configuration stays readable
    // In a child that has given up root (as user "daemon"): the library must not try kinit.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setresgid(1, 1, 1) != 0 || setresuid(1, 1, 1) != 0)
            _exit(2);
        CEkError err = Of(fs).InitKerberosCache();
        const bool reported = err.Code() == EPERM &&
                              err.Message().find("Failed to switch to user nobody(65534)") == 0;
        if (!reported)
            fprintf(stderr, "%s\n", err.AsString().c_str());
        _exit(reported ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_TRUE(recorder.Calls("kinit").empty());
}

// --- The process keeps its identity ------------------------------------------------------------

TEST_F(KerberosTickets, OtherThreadsKeepRunningAsRootDuringKinit) {
    Start();
    // A slow kinit widens the window in which the old design ran the whole process as the user.
    WriteScript(m_sandbox->dir() + "/slow-kinit", "sleep 0.3\nexec kinit \"$@\"\n");
    m_install->SetProperty("hadoop.kerberos.kinit.command", m_sandbox->dir() + "/slow-kinit");
    TempDir files;
    std::atomic<bool> done{false};
    std::atomic<int> created{0};
    std::thread other([&] {
        while (!done) {
            WriteFile(files / ("f" + std::to_string(created++)), "x");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    CHadoopFS fs("default", "nobody");
    done = true;
    other.join();
    ASSERT_TRUE(Of(fs).m_bGood) << Of(fs).m_sLastError;
    ASSERT_GT(created.load(), 10);
    for (int i = 0; i < created.load(); ++i)
        ASSERT_EQ(0, OwnerOf(files / ("f" + std::to_string(i)))) << i;
    ExpectProcessIdsUnchanged();
}
