// The throwaway realm of the CTest fixture "kdc" and of start-kdc.sh: principals, keytabs,
// the klist layout the library reads, and starting and stopping a realm of one's own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <sstream>

#include "support/Kdc.h"
#include "support/TestSupport.h"

using ::testing::HasSubstr;
using testsupport::Kdc;
using testsupport::Shell;
using testsupport::TempDir;

namespace {

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

int Kinit(const std::string& keytab, const std::string& cache, const std::string& principal,
          std::string* output = nullptr) {
    return Shell(
        "kinit -kt " + Quote(keytab) + " -c " + Quote(cache) + " " + Quote(principal) + " 2>&1",
        output);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// Reads the expiry of the first ticket as the library does: fields 3 and 4 of line 5 of
// `klist` in the C locale, parsed with %m/%d/%y %H:%M:%S.
time_t ExpiryFromKlist(const std::string& cache) {
    std::string out;
    EXPECT_EQ(
        Shell("LC_ALL=C klist -c " + Quote(cache) + " | awk 'NR==5 {print $3 \" \" $4}'", &out), 0);
    struct tm tm = {};
    const char* end = strptime(out.c_str(), "%m/%d/%y %H:%M:%S", &tm);
    EXPECT_NE(end, nullptr) << out;
    return end ? mktime(&tm) : 0;
}

class LocalclusterKdc : public ::testing::Test {
  protected:
    Kdc kdc = Kdc::Fixture();
    TempDir dir{"lckdc"};
    std::string cache = dir / "cache";
};

TEST_F(LocalclusterKdc, EnvFileNamesTheRealmAndIsExported) {
    EXPECT_EQ(kdc.realm(), "HDFSAGENT.TEST");
    EXPECT_NE(kdc.port(), 88);
    EXPECT_GT(kdc.port(), 0);
    EXPECT_STREQ(getenv("KRB5_CONFIG"), (kdc.dir() + "/krb5.conf").c_str());
    EXPECT_STREQ(getenv("KRB5_KDC_PROFILE"), (kdc.dir() + "/kdc.conf").c_str());
    std::string conf = testsupport::ReadFile(kdc.krb5Config());
    EXPECT_THAT(conf, HasSubstr("kdc = 127.0.0.1:" + std::to_string(kdc.port())));
}

TEST_F(LocalclusterKdc, EveryTestPrincipalGetsTicketsFromTheKeytab) {
    for (const char* user : {"nobody", "root", "hdfs"}) {
        for (const std::string& principal : {kdc.principal(user), kdc.hostPrincipal(user)}) {
            std::string output;
            EXPECT_EQ(Kinit(kdc.keytab(), cache, principal, &output), 0) << principal << output;
        }
    }
}

TEST_F(LocalclusterKdc, KlistInTheCLocaleShowsTheLayoutTheLibraryParses) {
    ASSERT_EQ(Kinit(kdc.keytab(), cache, kdc.principal("hdfs")), 0);
    std::string out;
    ASSERT_EQ(Shell("LC_ALL=C klist -c " + Quote(cache), &out), 0);
    std::vector<std::string> lines = Lines(out);
    ASSERT_GE(lines.size(), 5u) << out;
    EXPECT_EQ(lines[0], "Ticket cache: FILE:" + cache);
    EXPECT_EQ(lines[1], "Default principal: hdfs@HDFSAGENT.TEST");
    EXPECT_EQ(lines[2], "");
    EXPECT_THAT(lines[4], HasSubstr("krbtgt/HDFSAGENT.TEST@HDFSAGENT.TEST"));

    time_t expiry = ExpiryFromKlist(cache);
    double hours = difftime(expiry, time(nullptr)) / 3600.0;
    EXPECT_GT(hours, 9.9);
    EXPECT_LE(hours, 10.0);
}

TEST_F(LocalclusterKdc, OnePrincipalKeytabHoldsOnlyThatPrincipal) {
    std::string out;
    ASSERT_EQ(Shell("klist -k " + Quote(kdc.keytabFor("hdfs")) +
                        " | tail -n +4 | awk '{print $2}' | sort -u",
                    &out),
              0);
    EXPECT_EQ(out, "hdfs@HDFSAGENT.TEST\n");
    EXPECT_EQ(Kinit(kdc.keytabFor("hdfs"), cache, kdc.principal("hdfs")), 0);
    EXPECT_NE(Kinit(kdc.keytabFor("hdfs"), cache, kdc.principal("root"), &out), 0);
    EXPECT_THAT(out, HasSubstr("Keytab contains no suitable keys for root@HDFSAGENT.TEST"));
    // The host principal's own keytab works too.
    EXPECT_EQ(Kinit(kdc.keytabFor("nobody/" + kdc.hostname()), cache, kdc.hostPrincipal("nobody")),
              0);
}

TEST_F(LocalclusterKdc, UnknownPrincipalIsRefused) {
    std::string out;
    EXPECT_NE(Kinit(kdc.keytab(), cache, kdc.principal("alice"), &out), 0);
    EXPECT_THAT(out, HasSubstr("alice@HDFSAGENT.TEST"));
}

TEST(LocalclusterOwnKdc, StartsFastAndStopsByPid) {
    TempDir dir("lckdc-own");
    std::string cache = dir / "cache";
    auto start = std::chrono::steady_clock::now();
    {
        Kdc kdc = Kdc::Start(dir / "realm", "OWN.TEST", "1h");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(Kinit(kdc.keytab(), cache, kdc.principal("root")), 0);
        pid_t pid = kdc.pid();
        kdc.Stop();
        EXPECT_NE(Shell("grep -q krb5kdc /proc/" + std::to_string(pid) + "/cmdline 2>/dev/null"), 0)
            << "krb5kdc " << pid << " still running";
        std::string out;
        EXPECT_NE(Kinit(kdc.keytab(), cache, kdc.principal("root"), &out), 0);
        EXPECT_THAT(out, HasSubstr("Cannot contact any KDC for realm 'OWN.TEST'"));
    }
    // Attaching to a stopped realm fails the test instead of skipping it.
    EXPECT_THROW(Kdc kdc(dir / "realm"), std::runtime_error);
}

TEST(LocalclusterOwnKdc, ExtraPrincipalsFromTheEnvironment) {
    TempDir dir("lckdc-extra");
    testsupport::ScopedEnv extra("KDC_EXTRA_PRINCIPALS", "alice bob/service");
    Kdc kdc = Kdc::Start(dir / "realm", "EXTRA.TEST");
    EXPECT_EQ(Kinit(kdc.keytab(), dir / "cache", "bob/service@EXTRA.TEST"), 0);
    EXPECT_EQ(Kinit(kdc.keytabFor("alice"), dir / "cache", "alice@EXTRA.TEST"), 0);
}

TEST(LocalclusterOwnKdc, MissingEnvFileThrows) {
    TempDir dir("lckdc-none");
    EXPECT_THROW(Kdc kdc(dir.path()), std::runtime_error);
}

}  // namespace
