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

#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>

#include "host/Export.h"

class HDFSAGENT_API DXLogWriter {
  public:
    DXLogWriter();
    ~DXLogWriter();

    int GetDebugLevel() const { return m_nLevel; }
    void SetDebugLevel(int level) { m_nLevel = level; }
    bool IsEnabled(int level) const { return level <= m_nLevel; }

    void Write(int level, const char* function, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    void WriteV(int level, const char* function, int line, const char* format, va_list args);

    // Re-reads the level and destination (tests call it after changing the environment).
    void Reconfigure();

  private:
    int m_nLevel = 0;
    std::mutex m_mutex;
    FILE* m_pFile = nullptr;
    bool m_bOwnsFile = false;
};

// The shared log writer; created on first use, never null.
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
