// What a command tells its user: progress while it works, one line per problem, a summary.
//
// Text mode: progress (files, bytes, rate, ETA when totals are known) is redrawn in place on
// standard error, only when standard error is a terminal; problems go to standard error; the
// summary and other results to standard output. JSON mode (--json): the same as JSON lines on
// standard output ({"event":"progress"|"problem"|"summary"|...}), nothing drawn.
// Thread-safe: copy workers report bytes while the main thread reports problems.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "host/Mutex.h"

namespace tool {

class CReporter {
  public:
    CReporter(std::string command, bool json);
    ~CReporter();
    CReporter(const CReporter&) = delete;
    CReporter& operator=(const CReporter&) = delete;

    // True when progress is shown at all (a terminal, or JSON).
    bool ShowsProgress() const { return m_bTerminal || m_bJson; }

    void SetTotals(uint64_t files, uint64_t bytes);
    void AddBytes(uint64_t bytes);
    void FileDone();
    uint64_t Files() const;
    uint64_t Bytes() const;
    double ElapsedSeconds() const;

    // A problem with one path; counted.
    void Problem(const std::string& path, const std::string& message);
    uint64_t Problems() const;
    // A line of text (text mode) or an event (JSON mode) on standard output.
    void Line(const std::string& text);
    void Event(nlohmann::ordered_json event);
    // A warning that is not about one path and not counted: standard error, or a "warning" event.
    void Warning(const std::string& message);
    // A fatal error: "hdfsagent <command>: <message>" on standard error, or an "error" event.
    void Fatal(const std::string& message);
    // Clears the progress line, prints `text` (text mode) or the summary event with `fields`.
    void Summary(const std::string& text, nlohmann::ordered_json fields);

  private:
    void MaybeDraw(bool force) REQUIRES(m_oLock);
    void ClearLine() REQUIRES(m_oLock);

    mutable hdfsagent::Mutex m_oLock;
    // Set at construction, read by any thread.
    const std::string m_sCommand;
    const bool m_bJson;
    const bool m_bTerminal;
    const double m_dStart;
    // Counts and the progress line, written by the copy workers and the main thread.
    bool m_bLineDrawn GUARDED_BY(m_oLock) = false;
    uint64_t m_nTotalFiles GUARDED_BY(m_oLock) = 0;
    uint64_t m_nTotalBytes GUARDED_BY(m_oLock) = 0;
    bool m_bTotals GUARDED_BY(m_oLock) = false;
    uint64_t m_nFiles GUARDED_BY(m_oLock) = 0;
    uint64_t m_nBytes GUARDED_BY(m_oLock) = 0;
    uint64_t m_nProblems GUARDED_BY(m_oLock) = 0;
    double m_dLastDraw GUARDED_BY(m_oLock) = 0;
};

// "1 file", "2 files".
std::string Plural(uint64_t count, const std::string& noun);
// "1.5 MiB", "12 B".
std::string HumanBytes(double bytes);
// "<call> <path>: <strerror(errno)>".
std::string ErrnoMessage(const char* call, const std::string& path, int error);
// Seconds on the monotonic clock, for durations and rates.
double MonotonicSeconds();

}  // namespace tool
