// Logging: the process-wide log writer g_ptrLogWriter and DXDebugFunction.
//
// A line has a level (-1 failures, 0 progress, 1..5 more detailed tracing), the function's full
// signature, the source line and a printf-style message. It is written only when the configured
// debug level is at least the line's level; DXLOG tests the level before formatting anything.
//
// The configured level comes from $HDFSAGENT_DEBUGLEVEL when set, else from the settings store
// (section "EventManager", key "hdfsagent_DEBUGLEVEL"), else 0. Lines go to
// <log directory>/hdfsagent.log; $HDFSAGENT_LOG_STDERR=1 sends them to standard error instead.
// When the file cannot be opened lines go to standard error. Thread-safe.
#pragma once

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>

#include "host/Export.h"
#include "host/Mutex.h"

class HDFSAGENT_API DXLogWriter {
  public:
    // Cheap: touches neither the environment nor any file. The level is read on the first
    // IsEnabled()/GetDebugLevel() and the log file opened on the first written line.
    DXLogWriter();
    ~DXLogWriter();

    int GetDebugLevel() const { return Level(); }
    void SetDebugLevel(int level) { m_nLevel.store(level, std::memory_order_relaxed); }
    bool IsEnabled(int level) const { return level <= Level(); }

    // Lines are "YYYY-MM-DD HH:MM:SS.mmm <pid> <tid> <level> <function>:<line> <message>".
    void Write(int level, const char* function, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    void WriteV(int level, const char* function, int line, const char* format, va_list args);

    // Re-reads the level and destination (tests call it after changing the environment).
    void Reconfigure();

  private:
    static constexpr int kLevelUnread = INT_MIN;
    int Level() const {
        int level = m_nLevel.load(std::memory_order_relaxed);
        return level != kLevelUnread ? level : ReadConfiguredLevel();
    }
    int ReadConfiguredLevel() const;
    void OpenDestination() REQUIRES(m_mutex);

    mutable std::atomic<int> m_nLevel{kLevelUnread};
    hdfsagent::Mutex m_mutex;
    FILE* m_pFile GUARDED_BY(m_mutex) = nullptr;
    bool m_bOwnsFile GUARDED_BY(m_mutex) = false;
};

// The shared log writer; constructed before every other static object of the library (so
// static initialisers and destructors may log), never null.
HDFSAGENT_API extern std::shared_ptr<DXLogWriter> g_ptrLogWriter;

#define DXLOG(level, ...)                                                               \
    do {                                                                                \
        if (g_ptrLogWriter->IsEnabled(level))                                           \
            g_ptrLogWriter->Write((level), __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__); \
    } while (0)

// Writes "Entering"/"Leaving" lines for a scope at `level`.
class HDFSAGENT_API DXDebugFunction {
  public:
    DXDebugFunction(int level, const char* function, int line);
    ~DXDebugFunction();

  private:
    int m_nLevel;
    const char* m_pFunction;
    int m_nLine;
};

#define DX_DEBUG_FUNCTION(level) \
    DXDebugFunction dxDebugFunction_((level), __PRETTY_FUNCTION__, __LINE__)
