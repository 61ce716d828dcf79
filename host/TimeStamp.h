// CTimeStamp: the host's time stamp, a signed 64-bit count of 100-ns intervals since
// 1601-01-01 00:00 UTC. A time_t t becomes t * 10,000,000 + 116,444,736,000,000,000; a
// time_t of 0 stays 0 (0 means "no time").
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "host/Export.h"

class HDFSAGENT_API CTimeStamp {
  public:
    static constexpr int64_t kEpochOffset = 116444736000000000LL;
    static constexpr int64_t kTicksPerSecond = 10000000LL;

    CTimeStamp() = default;
    explicit CTimeStamp(int64_t ticks) : m_nTicks(ticks) {}
    static CTimeStamp FromTimeT(time_t t);
    static CTimeStamp Now();

    int64_t Ticks() const { return m_nTicks; }
    bool IsZero() const { return m_nTicks == 0; }
    // Back to time_t (0 for the zero stamp).
    time_t ToTimeT() const;
    // Local date and time, "YYYY-MM-DD HH:MM:SS"; "" for the zero stamp.
    std::string AsLocalDateTimeString() const;

    friend bool operator==(CTimeStamp a, CTimeStamp b) { return a.m_nTicks == b.m_nTicks; }
    friend bool operator!=(CTimeStamp a, CTimeStamp b) { return a.m_nTicks != b.m_nTicks; }
    friend bool operator<(CTimeStamp a, CTimeStamp b) { return a.m_nTicks < b.m_nTicks; }
    friend bool operator<=(CTimeStamp a, CTimeStamp b) { return a.m_nTicks <= b.m_nTicks; }
    friend bool operator>(CTimeStamp a, CTimeStamp b) { return a.m_nTicks > b.m_nTicks; }
    friend bool operator>=(CTimeStamp a, CTimeStamp b) { return a.m_nTicks >= b.m_nTicks; }

  private:
    int64_t m_nTicks = 0;
};
