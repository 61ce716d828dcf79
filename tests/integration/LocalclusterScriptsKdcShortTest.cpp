// The short-lived realm of the CTest fixture "kdc_short": tickets end after 4 seconds whatever
// kinit asks for, and klist then reports the cache expired.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <thread>

#include "support/Kdc.h"
#include "support/TestSupport.h"

using testsupport::Kdc;
using testsupport::Shell;
using testsupport::TempDir;

namespace {

time_t FieldTime(const std::string& cache, int first) {
    std::string out;
    Shell("LC_ALL=C klist -c '" + cache + "' | awk 'NR==5 {print $" + std::to_string(first) +
              " \" \" $" + std::to_string(first + 1) + "}'",
          &out);
    struct tm tm = {};
    if (!strptime(out.c_str(), "%m/%d/%y %H:%M:%S", &tm))
        return 0;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

TEST(LocalclusterShortKdc, TicketsLastOnlyTheRealmsMaximumLifeAndExpire) {
    Kdc kdc = Kdc::ShortFixture();
    TempDir dir("lckdc-short");
    std::string cache = dir / "cache";
    // Ask for a day: the realm, krbtgt and the principal all cap it at 4 seconds.
    ASSERT_EQ(Shell("kinit -l 1d -kt '" + kdc.keytab() + "' -c '" + cache + "' " +
                    kdc.principal("nobody")),
              0);
    time_t start = FieldTime(cache, 1);
    time_t expiry = FieldTime(cache, 3);
    ASSERT_NE(start, 0);
    EXPECT_EQ(expiry - start, 4);
    EXPECT_EQ(Shell("klist -s -c '" + cache + "'"), 0);

    while (time(nullptr) <= expiry)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Shell("klist -s -c '" + cache + "'"), 1);
    // An expired cache still lists (exit 0) with its old expiry.
    EXPECT_EQ(Shell("klist -c '" + cache + "' >/dev/null"), 0);
    EXPECT_EQ(FieldTime(cache, 3), expiry);
}

}  // namespace
