// Fuzzes the reading of a ticket expiry out of `klist` output: trim, parse as
// "%m/%d/%y %H:%M:%S" local time, convert to a time stamp.
//
// Properties: no crash and no undefined behaviour; an unparsable text leaves the expiry at zero;
// a parsed one is exactly the time stamp of a time_t whose local time lies in the years that
// "%y" can name.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "hadoop/HadoopKerberos.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A fixed zone keeps runs reproducible (and exercises the summer-time rules).
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CTimeStamp expiry(42);
    if (!HadoopKerberos::ParseKlistExpiry(text, expiry)) {
        if (!expiry.IsZero())
            abort();
        return 0;
    }
    const time_t seconds = expiry.ToTimeT();
    if (CTimeStamp::FromTimeT(seconds) != expiry)
        abort();
    struct tm local;
    if (localtime_r(&seconds, &local) == nullptr)
        abort();
    if (local.tm_year < 68 || local.tm_year > 169)
        abort();
    return 0;
}
