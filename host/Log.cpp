#include "host/Log.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/Path.h"
#include "host/SettingsStore.h"
#include "host/Strings.h"

// Constructed ahead of the other static objects so that their constructors and destructors can
// log; the constructor does no I/O, so nothing happens at load time.
std::shared_ptr<DXLogWriter> g_ptrLogWriter __attribute__((init_priority(101))) =
    std::make_shared<DXLogWriter>();

namespace {

bool ParseLevel(const char* text, int& level) {
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < -100 || value > 100)
        return false;
    level = static_cast<int>(value);
    return true;
}

std::string TimeText() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char buffer[64];
    size_t length = strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    snprintf(buffer + length, sizeof buffer - length, ".%03ld", now.tv_nsec / 1000000);
    return buffer;
}

// The level from the settings store; what the store finds wrong on the way lands in `problems`
// (the store sits below the log and never logs itself).
int SettingsLevel(std::vector<std::string>& problems) {
    long configured = 0;
    if (!DXSettingsStore::ReadNumber("EventManager", "hdfsagent_DEBUGLEVEL", configured, problems))
        return 0;
    if (configured < INT_MIN || configured > INT_MAX) {
        problems.push_back(FXString::Format(
            "setting [EventManager] hdfsagent_DEBUGLEVEL is out of range: %ld", configured));
        return 0;
    }
    return static_cast<int>(configured);
}

}  // namespace

DXLogWriter::DXLogWriter() = default;

DXLogWriter::~DXLogWriter() {
    hdfsagent::MutexLock guard(m_mutex);
    if (m_pFile && m_bOwnsFile)
        fclose(m_pFile);
    m_pFile = nullptr;
}

int DXLogWriter::ReadConfiguredLevel() const {
    int level = 0;
    std::vector<std::string> problems;
    if (!ParseLevel(getenv("HDFSAGENT_DEBUGLEVEL"), level))
        level = SettingsLevel(problems);
    // A level set meanwhile by SetDebugLevel wins over the configured one.
    int expected = kLevelUnread;
    if (m_nLevel.compare_exchange_strong(expected, level))
        expected = level;
    // The level is settled, so these lines are filtered by it like any other.
    // (Reading the level is const to the callers of Level(); the writer itself is never const.)
    for (const std::string& problem : problems)
        const_cast<DXLogWriter*>(this)->Write(-1, __PRETTY_FUNCTION__, __LINE__, "%s",
                                              problem.c_str());
    return expected;
}

void DXLogWriter::OpenDestination() {
    const char* toStderr = getenv("HDFSAGENT_LOG_STDERR");
    if (toStderr && strcmp(toStderr, "1") == 0) {
        m_pFile = stderr;
        m_bOwnsFile = false;
        return;
    }
    std::string directory = DXPI_EventManager().getLogFilesDirectory();
    if (!directory.empty()) {
        mkdir(directory.c_str(), 0755);  // the product home must exist; its log/ may not yet
        m_pFile = fopen(FXPath::Append(directory, "hdfsagent.log").c_str(), "ae");
    }
    m_bOwnsFile = m_pFile != nullptr;
    if (!m_pFile)
        m_pFile = stderr;
}

void DXLogWriter::Write(int level, const char* function, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteV(level, function, line, format, args);
    va_end(args);
}

void DXLogWriter::WriteV(int level, const char* function, int line, const char* format,
                         va_list args) {
    if (!IsEnabled(level))
        return;
    std::string message = FXString::FormatV(format, args);
    FXString::TrimRight(message, "\r\n");
    std::string text = FXString::Format("%s %d %ld %d %s:%d %s\n", TimeText().c_str(), getpid(),
                                        static_cast<long>(syscall(SYS_gettid)), level,
                                        function ? function : "", line, message.c_str());
    hdfsagent::MutexLock guard(m_mutex);
    if (!m_pFile)
        OpenDestination();
    fwrite(text.data(), 1, text.size(), m_pFile);
    fflush(m_pFile);
}

void DXLogWriter::Reconfigure() {
    hdfsagent::MutexLock guard(m_mutex);
    if (m_pFile && m_bOwnsFile)
        fclose(m_pFile);
    m_pFile = nullptr;
    m_bOwnsFile = false;
    m_nLevel.store(kLevelUnread, std::memory_order_relaxed);
}

DXDebugFunction::DXDebugFunction(int level, const char* function, int line)
    : m_nLevel(level), m_pFunction(function), m_nLine(line) {
    if (g_ptrLogWriter->IsEnabled(m_nLevel))
        g_ptrLogWriter->Write(m_nLevel, m_pFunction, m_nLine, "Entering");
}

DXDebugFunction::~DXDebugFunction() {
    if (g_ptrLogWriter->IsEnabled(m_nLevel))
        g_ptrLogWriter->Write(m_nLevel, m_pFunction, m_nLine, "Leaving");
}
