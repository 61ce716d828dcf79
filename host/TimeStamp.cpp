#include "host/TimeStamp.h"

#include <time.h>

CTimeStamp CTimeStamp::FromTimeT(time_t t) {
    if (t == 0)
        return CTimeStamp();
    return CTimeStamp(static_cast<int64_t>(t) * kTicksPerSecond + kEpochOffset);
}

CTimeStamp CTimeStamp::Now() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return CTimeStamp(static_cast<int64_t>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / 100 +
                      kEpochOffset);
}

time_t CTimeStamp::ToTimeT() const {
    if (m_nTicks == 0)
        return 0;
    int64_t ticks = m_nTicks - kEpochOffset;
    // Round towards minus infinity so that a stamp inside a second maps to that second.
    int64_t seconds = ticks / kTicksPerSecond;
    if (ticks % kTicksPerSecond < 0)
        --seconds;
    return static_cast<time_t>(seconds);
}

std::string CTimeStamp::AsLocalDateTimeString() const {
    if (m_nTicks == 0)
        return std::string();
    time_t t = ToTimeT();
    struct tm local;
    if (!localtime_r(&t, &local))
        return std::string();
    char buffer[64];
    size_t length = strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(buffer, length);
}
