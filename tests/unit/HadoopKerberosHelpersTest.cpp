// The connection-free helpers of the Kerberos cache handling: reading the start-up environment,
// reading a klist expiry, and handing a cache file to its user without following links.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <string>

#include "hadoop/HadoopKerberos.h"
#include "support/TestSupport.h"

using HadoopKerberos::EOwnerChange;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

time_t UtcTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

// NAME=value entries, each ended by a NUL byte.
std::string Entries(std::initializer_list<std::string> entries) {
    std::string text;
    for (const std::string& entry : entries) {
        text += entry;
        text.push_back('\0');
    }
    return text;
}

// Sets TZ for the scope and makes the C library read it.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const std::string& zone) : m_env("TZ", zone) { tzset(); }
    ~ScopedTimeZone() { tzset(); }

  private:
    ScopedEnv m_env;
};

}  // namespace

TEST(KerberosCacheFilePath, StripsOnlyTheFileType) {
    EXPECT_EQ("/tmp/dx_krb5cc_0", HadoopKerberos::CacheFilePath("FILE:/tmp/dx_krb5cc_0"));
    EXPECT_EQ("/tmp/dx_krb5cc_0", HadoopKerberos::CacheFilePath("/tmp/dx_krb5cc_0"));
    EXPECT_EQ("KEYRING:persistent:0", HadoopKerberos::CacheFilePath("KEYRING:persistent:0"));
}

// The start-up environment file: NUL-terminated NAME=value entries.
TEST(StartupEnvironment, ReadsTheFirstMatchingEntryCutAt4095Bytes) {
    struct Case {
        const char* name;
        std::string content;
        bool found;
        std::string value;
    } cases[] = {
        {"first match",
         Entries({"PATH=/bin", "KRB5CCNAME_OTHER=x", "XKRB5CCNAME=y", "KRB5CCNAME=/tmp/a",
                  "KRB5CCNAME=/tmp/b"}),
         true, "/tmp/a"},
        {"last entry unterminated", Entries({"A=1"}) + "KRB5CCNAME=FILE:/x", true, "FILE:/x"},
        {"long value", Entries({"KRB5CCNAME=" + std::string(5000, 'v'), "B=2"}), true,
         std::string(4095, 'v')},
        // An entry longer than what is kept must not leak its tail into the next comparison.
        {"long entry before",
         Entries({"X=" + std::string(6000, 'y') + "KRB5CCNAME=/wrong", "KRB5CCNAME=/right"}), true,
         "/right"},
        {"no entry", Entries({"A=1", "B=2"}), false, ""},
        {"empty value", Entries({"KRB5CCNAME="}), false, ""},
        {"empty file", "", false, ""},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(dir / "environ", c.content);
        std::string value = "stale";
        EXPECT_EQ(c.found, HadoopKerberos::ReadStartupEnvironmentValue(dir / "environ",
                                                                       "KRB5CCNAME", value));
        EXPECT_EQ(c.value, value);
    }
    std::string value;
    EXPECT_FALSE(HadoopKerberos::ReadStartupEnvironmentValue(dir / "absent", "KRB5CCNAME", value));
}

// The expiry as klist prints it in the C locale, read as local time.
TEST(KlistExpiry, KlistExpiryInSummerTimeIsNotReadAnHourLate) {
    {
        ScopedTimeZone utc("UTC");
        CTimeStamp expiry;
        ASSERT_TRUE(HadoopKerberos::ParseKlistExpiry("12/07/26 12:10:03\n", expiry));
        EXPECT_EQ(CTimeStamp::FromTimeT(UtcTime(2026, 12, 7, 12, 10, 3)), expiry);
        EXPECT_EQ(UtcTime(2026, 12, 7, 12, 10, 3) * 10000000LL + 116444736000000000LL,
                  expiry.Ticks());
        // Trailing blanks, tabs and carriage returns are ignored.
        ASSERT_TRUE(HadoopKerberos::ParseKlistExpiry("01/02/27 03:04:05 \t\r\n", expiry));
        EXPECT_EQ(CTimeStamp::FromTimeT(UtcTime(2027, 1, 2, 3, 4, 5)), expiry);
    }
    // 12:00 local summer time in Berlin is 10:00 UTC; forcing standard time would read 11:00.
    ScopedTimeZone berlin("Europe/Berlin");
    CTimeStamp expiry;
    ASSERT_TRUE(HadoopKerberos::ParseKlistExpiry("07/01/26 12:00:00", expiry));
    EXPECT_EQ(CTimeStamp::FromTimeT(UtcTime(2026, 7, 1, 10, 0, 0)), expiry);
    ASSERT_TRUE(HadoopKerberos::ParseKlistExpiry("01/15/26 12:00:00", expiry));
    EXPECT_EQ(CTimeStamp::FromTimeT(UtcTime(2026, 1, 15, 11, 0, 0)), expiry);
}

TEST(KlistExpiry, UnparsableTextOrFourDigitYearLeavesZero) {
    // en_US prints 12/07/2026: "%y" takes "20" and leaves "26 12:10:03" unparsed for "%H".
    for (const char* text : {"", " ", "\n", "garbage", "13/45/26 12:00:00", "12/07/26",
                             "12-07-26 12:10:03", "Expires", "12/07/2026 12:10:03"}) {
        CTimeStamp expiry(12345);
        EXPECT_FALSE(HadoopKerberos::ParseKlistExpiry(text, expiry)) << text;
        EXPECT_TRUE(expiry.IsZero()) << text;
    }
}

// Handing an existing cache file to the connection user (needs root).
class CacheOwnerChange : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0u, geteuid()) << "changing owners needs root"; }
    static uid_t OwnerOf(const std::string& path) {
        struct stat st;
        EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
        return st.st_uid;
    }
    EOwnerChange Give(const std::string& path, uid_t uid) {
        return HadoopKerberos::GiveCacheFileToUser(path, uid, m_previous, m_error);
    }
    TempDir m_dir;
    uid_t m_previous = 12345;
    int m_error = -1;
};

// Through a connection, with the planted link: HadoopKerberosCacheTest.
TEST_F(CacheOwnerChange, OnlyAForeignRegularFileIsGivenToTheUser) {
    const std::string cache = m_dir / "dx_krb5cc_65534";
    WriteFile(cache, "tickets", 0600);
    ASSERT_EQ(0, chown(cache.c_str(), 0, 0));
    EXPECT_EQ(EOwnerChange::eChanged, Give(cache, 65534));
    EXPECT_EQ(0u, m_previous);
    EXPECT_EQ(65534u, OwnerOf(cache));
    EXPECT_EQ(EOwnerChange::eAlreadyOwned, Give(cache, 65534));
    EXPECT_EQ(EOwnerChange::eMissing, Give(m_dir / "none", 0));
    // Links (to a file, dangling), a directory and a FIFO are left alone, and so are their targets.
    const std::string target = m_dir / "precious";
    WriteFile(target, "secret", 0600);
    ASSERT_EQ(0, symlink(target.c_str(), (m_dir / "link").c_str()));
    ASSERT_EQ(0, symlink((m_dir / "nowhere").c_str(), (m_dir / "dangling").c_str()));
    ASSERT_EQ(0, mkfifo((m_dir / "fifo").c_str(), 0600));
    for (const std::string& path :
         {m_dir / "link", m_dir / "dangling", m_dir.path(), m_dir / "fifo"}) {
        EXPECT_EQ(EOwnerChange::eNotRegular, Give(path, 65534)) << path;
        EXPECT_EQ(0u, OwnerOf(path)) << path;
    }
    EXPECT_EQ(0u, OwnerOf(target));
    EXPECT_NE(0, access((m_dir / "nowhere").c_str(), F_OK));
}

// What libhdfs's JVM gets in LIBHDFS_OPTS for a realm profile named by KRB5_CONFIG.
struct JvmOptionsCase {
    const char* name;
    const char* options;
    const char* krb5Config;
    const char* expected;
    bool refused;
};

class JvmOptionsWithKrb5Config : public ::testing::TestWithParam<JvmOptionsCase> {};

TEST_P(JvmOptionsWithKrb5Config, AddsTheProfileOnceAndKeepsTheUsersOptions) {
    const JvmOptionsCase& c = GetParam();
    std::string refusal = "stale";
    EXPECT_EQ(c.expected,
              HadoopKerberos::JvmOptionsWithKrb5Config(c.options, c.krb5Config, refusal));
    if (c.refused)
        EXPECT_EQ("KRB5_CONFIG '" + std::string(c.krb5Config) +
                      "' holds a blank and cannot be passed to the JVM in LIBHDFS_OPTS",
                  refusal);
    else
        EXPECT_EQ("", refusal);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JvmOptionsWithKrb5Config,
    ::testing::Values(
        JvmOptionsCase{"NoProfile", "-Xmx1g", "", "-Xmx1g", false},
        JvmOptionsCase{"NoOptions", "", "/r/krb5.conf", "-Djava.security.krb5.conf=/r/krb5.conf",
                       false},
        JvmOptionsCase{"AppendedToTheUsersOptions", "-Xmx1g -Dsun.security.krb5.debug=true",
                       "/r/krb5.conf",
                       "-Xmx1g -Dsun.security.krb5.debug=true "
                       "-Djava.security.krb5.conf=/r/krb5.conf",
                       false},
        JvmOptionsCase{"AlreadyThere", "-Xmx1g -Djava.security.krb5.conf=/r/krb5.conf",
                       "/r/krb5.conf", "-Xmx1g -Djava.security.krb5.conf=/r/krb5.conf", false},
        JvmOptionsCase{"UsersOwnProfileStands", "-Djava.security.krb5.conf=/etc/mine.conf -Xss1m",
                       "/r/krb5.conf", "-Djava.security.krb5.conf=/etc/mine.conf -Xss1m", false},
        // A longer property that merely starts alike is a different option.
        JvmOptionsCase{
            "SimilarPropertyIsNotTheProfile", "-Djava.security.krb5.config=/x", "/r/krb5.conf",
            "-Djava.security.krb5.config=/x -Djava.security.krb5.conf=/r/krb5.conf", false},
        JvmOptionsCase{"ShellCharactersPassUnchanged", "", "/r/$(id)'x;\".conf",
                       "-Djava.security.krb5.conf=/r/$(id)'x;\".conf", false},
        JvmOptionsCase{"BlankInPathIsRefused", "-Xmx1g", "/my realm/krb5.conf", "-Xmx1g", true}),
    [](const ::testing::TestParamInfo<JvmOptionsCase>& info) { return info.param.name; });

TEST(PassKrb5ConfigToLibhdfsJvm, SetsLibhdfsOptsFromKrb5ConfigOnlyOnce) {
    ScopedEnv profile("KRB5_CONFIG", "/realm/krb5.conf");
    ScopedEnv options("LIBHDFS_OPTS", "-Xmx512m");
    HadoopKerberos::PassKrb5ConfigToLibhdfsJvm();
    HadoopKerberos::PassKrb5ConfigToLibhdfsJvm();
    EXPECT_STREQ("-Xmx512m -Djava.security.krb5.conf=/realm/krb5.conf", getenv("LIBHDFS_OPTS"));
}

TEST(PassKrb5ConfigToLibhdfsJvm, WithoutKrb5ConfigLeavesLibhdfsOptsUnset) {
    auto profile = ScopedEnv::unset("KRB5_CONFIG");
    auto options = ScopedEnv::unset("LIBHDFS_OPTS");
    HadoopKerberos::PassKrb5ConfigToLibhdfsJvm();
    EXPECT_EQ(nullptr, getenv("LIBHDFS_OPTS"));
}
