// Which ticket cache a connection uses: the start-up KRB5CCNAME (read from /proc, set in a
// re-executed test process), the real libkrb5's default cache name, the fallback directories,
// and the owner hand-over of an existing cache file that never follows a planted link.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopFS.h"
#include "support/ErrorChecks.h"
#include "support/HadoopConnectionSupport.h"
#include "support/LocalInstall.h"
#include "support/TestSupport.h"

using testsupport::ExpectError;
using testsupport::LocalInstall;
using testsupport::LogCapture;
using testsupport::OwnerOf;
using testsupport::ProductHome;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const uid_t kNobody = 65534;

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value ? value : "(unset)";
}

}  // namespace

class KerberosCachePath : public ::testing::Test {
  protected:
    // Starts with the libhdfs stand-in and `startup` as start-up environment; KRB5_CONFIG names a
    // krb5.conf whose default cache name is `defaultCacheName` (with "%DIR%" replaced by the
    // test's own world-writable directory).
    void Start(std::map<std::string, std::string> startup = {},
               const std::string& defaultCacheName = "%DIR%/krb5cc_%{uid}") {
        ASSERT_TRUE(testsupport::StartWithLibhdfs("", startup).Succeeded());
        m_home.reset(new ProductHome());
        m_dir.reset(new TempDir("conn-cache"));
        chmod(m_dir->path().c_str(), 01777);
        WriteFile(*m_dir / "krb5.conf",
                  "[libdefaults]\n default_ccache_name = " + InDir(defaultCacheName) + "\n");
        m_env.emplace_back("KRB5_CONFIG", *m_dir / "krb5.conf");
        m_install.reset(new LocalInstall());
        m_install->Activate();
    }
    std::string Dir() const { return m_dir->path(); }
    // `text` with "%DIR%" replaced by the test's own directory.
    std::string InDir(std::string text) const {
        const size_t at = text.find("%DIR%");
        return at == std::string::npos ? text : text.replace(at, 5, Dir());
    }
    CHadoopFS::CHadoopConnection& Of(CHadoopFS& fs) { return *fs.m_pConnection; }
    // A connection as nobody uses `path` ("%DIR%": the test's directory) and exports it, and the
    // log holds every one of `logLines`.
    void ExpectPath(const std::string& path, const std::vector<std::string>& logLines = {}) {
        LogCapture log;
        CHadoopFS fs("default", "nobody");
        EXPECT_EQ(InDir(path), Of(fs).m_sKerberosCachePath);
        EXPECT_EQ(InDir(path), Env("KRB5CCNAME"));
        for (const std::string& line : logLines)
            EXPECT_TRUE(log.Contains(line)) << line << "\n" << log.Text();
    }

    std::unique_ptr<ProductHome> m_home;
    std::unique_ptr<TempDir> m_dir;
    std::vector<ScopedEnv> m_env;
    std::unique_ptr<LocalInstall> m_install;
};

TEST_F(KerberosCachePath, DirectoryComesFromTheKerberosLibraryAndStaysSettled) {
    Start();
    const std::string expected = Dir() + "/dx_krb5cc_65534";
    ExpectPath(expected, {"Cache path(krb5_cc_default_name): " + Dir() + "/krb5cc_",
                          "using Kerberos cache path - '" + expected + "'"});
    {
        // A principal with an instance part maps to its user.
        CHadoopFS fs("default", "nobody");
        ASSERT_TRUE(Of(fs).m_bGood);
        Of(fs).m_sUser = "nobody/backup.example@EXAMPLE.COM";
        ASSERT_TRUE(Of(fs).DiscoverKerberosCachePath().Succeeded());
        EXPECT_EQ(expected, Of(fs).m_sKerberosCachePath);
    }
    {
        LogCapture log;
        CHadoopFS fs("default", "no-such-user-hdfsagent");
        EXPECT_EQ(Dir() + "/dx_krb5cc_" + std::to_string(getuid()), Of(fs).m_sKerberosCachePath);
        EXPECT_TRUE(log.Contains(
            "Failed to convert no-such-user-hdfsagent to an ID, will use current user ID, error="));
    }
    // Another default in the Kerberos configuration no longer moves the directory.
    TempDir other;
    WriteFile(other / "krb5.conf",
              "[libdefaults]\n default_ccache_name = " + other.path() + "/krb5cc_%{uid}\n");
    ScopedEnv config("KRB5_CONFIG", other / "krb5.conf");
    CHadoopFS second("default", "root");
    EXPECT_EQ(Dir() + "/dx_krb5cc_0", Of(second).m_sKerberosCachePath);
    EXPECT_EQ(Dir() + "/dx_krb5cc_0", Env("KRB5CCNAME"));
}

TEST_F(KerberosCachePath, KerberosLibraryWithoutInitContextFailsTheConnection) {
    Start({{"HDFSAGENT_KRB5_LIBRARY", "libm.so.6"}});
    CHadoopFS fs("default", "nobody");
    EXPECT_FALSE(Of(fs).m_bGood);
    EXPECT_EQ("(unset)", Env("KRB5CCNAME"));
    CEkError err = Of(fs).DiscoverKerberosCachePath();
    ExpectError(err, ENOENT, "Failed to get default kerberos credential cache path");
    EXPECT_EQ("", Of(fs).m_sKerberosCachePath);
    EXPECT_EQ("(unset)", Env("KRB5CCNAME"));
}

// --- Fallback directories and inherited values ---------------------------------------------------

const std::string kNoKrb5 = "libhdfsagent-no-such-krb5.so";
const std::string kNoDefault = "Failed to get default kerberos credential cache default value. ";

// "FILE:" names the cache type, not a directory: the directory is the one after it (it used to
// give "FILE:/dir", which never exists, so the cache silently fell back to /tmp).
TEST_F(KerberosCachePath, FileTypedDefaultNameGivesTheDirectoryAfterTheType) {
    Start({}, "FILE:%DIR%/krb5cc_%{uid}");
    ExpectPath("%DIR%/dx_krb5cc_65534");
}

TEST_F(KerberosCachePath, MissingDefaultDirectoryFallsBackToTmp) {
    Start({}, "/nonexistent/hdfsagent/krb5cc_%{uid}");
    ExpectPath("/tmp/dx_krb5cc_65534");
}

TEST_F(KerberosCachePath, NoLoadableKerberosLibraryFallsBackToTmp) {
    Start({{"HDFSAGENT_KRB5_LIBRARY", kNoKrb5}});
    ExpectPath("/tmp/dx_krb5cc_65534", {kNoDefault, kNoKrb5});
}

TEST_F(KerberosCachePath, InheritedForeignCacheIsRemovedAndTheLibraryDirectoryUsed) {
    Start({{"KRB5CCNAME", "/var/tmp/hdfsagent-somebody/krb5cc_1000"}});
    ExpectPath("%DIR%/dx_krb5cc_65534", {"/var/tmp/hdfsagent-somebody/krb5cc_1000 does not "
                                         "belong to 65534. Read default cache from krb5.conf"});
}

TEST_F(KerberosCachePath, InheritedCacheOfAnotherUidIsForeign) {
    Start({{"KRB5CCNAME", "/var/tmp/dx_krb5cc_0"}});  // root's cache, not nobody's
    ExpectPath("%DIR%/dx_krb5cc_65534");
}

TEST_F(KerberosCachePath, InheritedForeignCacheGivesTheFallbackDirectory) {
    Start({{"KRB5CCNAME", "/var/tmp/krb5cc_1000"}, {"HDFSAGENT_KRB5_LIBRARY", kNoKrb5}});
    ExpectPath("/var/tmp/dx_krb5cc_65534");
}

TEST_F(KerberosCachePath, InheritedValueLongerThan4095BytesIsCut) {
    // Cut at 4095 bytes, the value no longer ends with the user's own file name.
    const std::string inherited = "/" + std::string(4100, 'd') + "/dx_krb5cc_65534";
    Start({{"KRB5CCNAME", inherited}});
    ExpectPath("%DIR%/dx_krb5cc_65534",
               {"Value of KRB5CCNAME== read from env: " + inherited.substr(0, 4095) + "\n"});
}

TEST_F(KerberosCachePath, InheritedOwnCacheIsUsedUnchangedAndNotExportedAgain) {
    const std::string inherited = "FILE:/nonexistent/hdfsagent/dx_krb5cc_65534";
    Start({{"KRB5CCNAME", inherited}});
    setenv("KRB5CCNAME", "changed-since-start-up", 1);
    LogCapture log;
    CHadoopFS fs("default", "nobody");
    EXPECT_EQ(inherited, Of(fs).m_sKerberosCachePath);
    EXPECT_EQ("changed-since-start-up", Env("KRB5CCNAME"));
    EXPECT_TRUE(log.Contains("Value of KRB5CCNAME== read from env: " + inherited));
}

// --- An existing cache file --------------------------------------------------------------------

TEST_F(KerberosCachePath, PlantedSymbolicLinkAtTheCachePathIsLeftAlone) {
    Start();
    TempDir victim;
    const std::string target = victim / "precious";
    WriteFile(target, "root's file", 0600);
    const std::string cache = Dir() + "/dx_krb5cc_65534";
    ASSERT_EQ(0, symlink(target.c_str(), cache.c_str()));
    {
        LogCapture log;
        CHadoopFS fs("default", "nobody");
        EXPECT_EQ(0, OwnerOf(target));
        EXPECT_EQ(0, OwnerOf(cache));
        EXPECT_TRUE(
            log.Contains(cache + " is not a regular file (a symbolic link?), leaving it alone"));
    }
    // A foreign regular file there is given to the connection user.
    ASSERT_EQ(0, unlink(cache.c_str()));
    WriteFile(cache, "tickets", 0600);
    LogCapture log;
    CHadoopFS fs("default", "nobody");
    EXPECT_EQ(kNobody, OwnerOf(cache));
    EXPECT_TRUE(log.Contains(cache + " ownership changed from 0 to 65534"));
}
