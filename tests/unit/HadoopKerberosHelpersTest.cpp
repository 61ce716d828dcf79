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

TEST(KerberosCacheFileName, IsDxKrb5ccUnderscoreUid) {
    EXPECT_EQ("dx_krb5cc_1001", HadoopKerberos::CacheFileName(1001));
    EXPECT_EQ("dx_krb5cc_0", HadoopKerberos::CacheFileName(0));
    EXPECT_EQ("dx_krb5cc_65534", HadoopKerberos::CacheFileName(65534));
}

TEST(KerberosCacheFilePath, StripsOnlyTheFileType) {
    EXPECT_EQ("/tmp/dx_krb5cc_0", HadoopKerberos::CacheFilePath("FILE:/tmp/dx_krb5cc_0"));
    EXPECT_EQ("/tmp/dx_krb5cc_0", HadoopKerberos::CacheFilePath("/tmp/dx_krb5cc_0"));
    EXPECT_EQ("KEYRING:persistent:0", HadoopKerberos::CacheFilePath("KEYRING:persistent:0"));
}

// ---------------------------------------------------------------------------------------------
// The start-up environment file: NUL-terminated NAME=value entries.

class StartupEnvironment : public ::testing::Test {
  protected:
    std::string Write(const std::string& content) {
        WriteFile(m_file, content);
        return m_file;
    }
    TempDir m_dir;
    std::string m_file = m_dir / "environ";
};

TEST_F(StartupEnvironment, FindsTheFirstMatchingEntry) {
    std::string value;
    const std::string content = Entries({"PATH=/bin", "KRB5CCNAME_OTHER=x", "XKRB5CCNAME=y",
                                         "KRB5CCNAME=/tmp/a", "KRB5CCNAME=/tmp/b"});
    ASSERT_TRUE(HadoopKerberos::ReadStartupEnvironmentValue(Write(content), "KRB5CCNAME", value));
    EXPECT_EQ("/tmp/a", value);
}

TEST_F(StartupEnvironment, LastEntryWithoutTerminatorCounts) {
    std::string value;
    ASSERT_TRUE(HadoopKerberos::ReadStartupEnvironmentValue(
        Write(Entries({"A=1"}) + "KRB5CCNAME=FILE:/x"), "KRB5CCNAME", value));
    EXPECT_EQ("FILE:/x", value);
}

TEST_F(StartupEnvironment, MissingEntryEmptyValueAndMissingFileMeanNoValue) {
    std::string value = "stale";
    EXPECT_FALSE(HadoopKerberos::ReadStartupEnvironmentValue(Write(Entries({"A=1", "B=2"})),
                                                             "KRB5CCNAME", value));
    EXPECT_EQ("", value);
    EXPECT_FALSE(HadoopKerberos::ReadStartupEnvironmentValue(Write(Entries({"KRB5CCNAME="})),
                                                             "KRB5CCNAME", value));
    EXPECT_FALSE(
        HadoopKerberos::ReadStartupEnvironmentValue(m_dir / "absent", "KRB5CCNAME", value));
    EXPECT_FALSE(HadoopKerberos::ReadStartupEnvironmentValue(Write(""), "KRB5CCNAME", value));
}

TEST_F(StartupEnvironment, LongValueIsCutAt4095Bytes) {
    const std::string longValue(5000, 'v');
    std::string value;
    ASSERT_TRUE(HadoopKerberos::ReadStartupEnvironmentValue(
        Write(Entries({"KRB5CCNAME=" + longValue, "B=2"})), "KRB5CCNAME", value));
    EXPECT_EQ(std::string(4095, 'v'), value);
}

TEST_F(StartupEnvironment, LongEntryBeforeTheWantedOneIsSkippedWhole) {
    // An entry longer than what is kept must not leak its tail into the next comparison.
    const std::string filler = "X=" + std::string(6000, 'y') + "KRB5CCNAME=/wrong";
    std::string value;
    ASSERT_TRUE(HadoopKerberos::ReadStartupEnvironmentValue(
        Write(Entries({filler, "KRB5CCNAME=/right"})), "KRB5CCNAME", value));
    EXPECT_EQ("/right", value);
}

// ---------------------------------------------------------------------------------------------
// The expiry as klist prints it in the C locale.

TEST(KlistExpiry, ParsesTheCLocaleLayoutAsLocalTime) {
    ScopedTimeZone utc("UTC");
    CTimeStamp expiry;
    ASSERT_TRUE(HadoopKerberos::ParseKlistExpiry("12/07/26 12:10:03\n", expiry));
    EXPECT_EQ(CTimeStamp::FromTimeT(UtcTime(2026, 12, 7, 12, 10, 3)), expiry);
    EXPECT_EQ(UtcTime(2026, 12, 7, 12, 10, 3) * 10000000LL + 116444736000000000LL, expiry.Ticks());
    // Trailing blanks, tabs and carriage returns are ignored.
    ASSERT_TRUE(HadoopKerberos::ParseKlistExpiry("01/02/27 03:04:05 \t\r\n", expiry));
    EXPECT_EQ(CTimeStamp::FromTimeT(UtcTime(2027, 1, 2, 3, 4, 5)), expiry);
}

TEST(KlistExpiry, UnparsableTextLeavesZero) {
    CTimeStamp expiry(12345);
    for (const char* text : {"", " ", "\n", "garbage", "13/45/26 12:00:00", "12/07/26",
                             "12-07-26 12:10:03", "Expires"}) {
        EXPECT_FALSE(HadoopKerberos::ParseKlistExpiry(text, expiry)) << text;
        EXPECT_TRUE(expiry.IsZero()) << text;
    }
}

TEST(KlistExpiry, FourDigitYearOfAnotherLocaleIsNotMisread) {
    // en_US prints 12/07/2026: "%y" takes "20" and leaves "26 12:10:03" unparsed for "%H".
    CTimeStamp expiry;
    EXPECT_FALSE(HadoopKerberos::ParseKlistExpiry("12/07/2026 12:10:03", expiry));
    EXPECT_TRUE(expiry.IsZero());
}

TEST(KlistExpiry, KlistExpiryInSummerTimeIsNotReadAnHourLate) {
    // 12:00 local summer time in Berlin is 10:00 UTC; forcing standard time would read 11:00.
    ScopedTimeZone berlin("Europe/Berlin");
    CTimeStamp expiry;
    ASSERT_TRUE(HadoopKerberos::ParseKlistExpiry("07/01/26 12:00:00", expiry));
    EXPECT_EQ(CTimeStamp::FromTimeT(UtcTime(2026, 7, 1, 10, 0, 0)), expiry);
    ASSERT_TRUE(HadoopKerberos::ParseKlistExpiry("01/15/26 12:00:00", expiry));
    EXPECT_EQ(CTimeStamp::FromTimeT(UtcTime(2026, 1, 15, 11, 0, 0)), expiry);
}

// ---------------------------------------------------------------------------------------------
// Handing an existing cache file to the connection user.

class CacheOwnerChange : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0u, geteuid()) << "changing owners needs root"; }
    static uid_t OwnerOf(const std::string& path) {
        struct stat st;
        EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
        return st.st_uid;
    }
    TempDir m_dir;
    uid_t m_previous = 12345;
    int m_error = -1;
};

TEST_F(CacheOwnerChange, ForeignRegularFileIsGivenToTheUser) {
    const std::string cache = m_dir / "dx_krb5cc_65534";
    WriteFile(cache, "tickets", 0600);
    ASSERT_EQ(0, chown(cache.c_str(), 0, 0));
    EXPECT_EQ(EOwnerChange::eChanged,
              HadoopKerberos::GiveCacheFileToUser(cache, 65534, m_previous, m_error));
    EXPECT_EQ(0u, m_previous);
    EXPECT_EQ(65534u, OwnerOf(cache));
}

TEST_F(CacheOwnerChange, OwnFileAndMissingFileAreLeftAlone) {
    const std::string cache = m_dir / "dx_krb5cc_0";
    WriteFile(cache, "tickets", 0600);
    EXPECT_EQ(EOwnerChange::eAlreadyOwned,
              HadoopKerberos::GiveCacheFileToUser(cache, 0, m_previous, m_error));
    EXPECT_EQ(EOwnerChange::eMissing,
              HadoopKerberos::GiveCacheFileToUser(m_dir / "none", 0, m_previous, m_error));
}

TEST_F(CacheOwnerChange, PlantedSymbolicLinkIsNotFollowed) {
    // Someone plants a link at the predictable cache path pointing at a file of their choice.
    const std::string target = m_dir / "precious";
    const std::string cache = m_dir / "dx_krb5cc_65534";
    WriteFile(target, "secret", 0600);
    ASSERT_EQ(0, chown(target.c_str(), 0, 0));
    ASSERT_EQ(0, symlink(target.c_str(), cache.c_str()));
    EXPECT_EQ(EOwnerChange::eNotRegular,
              HadoopKerberos::GiveCacheFileToUser(cache, 65534, m_previous, m_error));
    EXPECT_EQ(0u, OwnerOf(target));
    EXPECT_EQ(0u, OwnerOf(cache));
}

TEST_F(CacheOwnerChange, DanglingLinkAndDirectoryAndFifoAreLeftAlone) {
    const std::string link = m_dir / "dangling";
    ASSERT_EQ(0, symlink((m_dir / "nowhere").c_str(), link.c_str()));
    EXPECT_EQ(EOwnerChange::eNotRegular,
              HadoopKerberos::GiveCacheFileToUser(link, 65534, m_previous, m_error));
    EXPECT_FALSE(testsupport::Shell("test -e " + m_dir / "nowhere") == 0);

    EXPECT_EQ(EOwnerChange::eNotRegular,
              HadoopKerberos::GiveCacheFileToUser(m_dir.path(), 65534, m_previous, m_error));
    EXPECT_EQ(0u, OwnerOf(m_dir.path()));

    const std::string fifo = m_dir / "fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ(EOwnerChange::eNotRegular,
              HadoopKerberos::GiveCacheFileToUser(fifo, 65534, m_previous, m_error));
    EXPECT_EQ(0u, OwnerOf(fifo));
}
