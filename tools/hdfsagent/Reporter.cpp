#include "Reporter.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "StandardError.h"

namespace tool {

namespace {

const double kDrawInterval = 0.25;       // terminal redraws
const double kJsonProgressInterval = 1;  // JSON progress events

std::string Duration(double seconds) {
    if (seconds < 0 || seconds > 99 * 3600)
        return "--:--";
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

void PrintJson(const nlohmann::ordered_json& event) {
    // Replacement keeps a line for a name that is not UTF-8 rather than losing the event.
    const std::string text = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    fprintf(stdout, "%s\n", text.c_str());
    fflush(stdout);
}

}  // namespace

double MonotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string ErrnoMessage(const char* call, const std::string& path, int error) {
    return std::string(call) + " " + path + ": " + strerror(error);
}

std::string Plural(uint64_t count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string HumanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 5) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

CReporter::CReporter(std::string command, bool json)
    : m_sCommand(std::move(command)),
      m_bJson(json),
      m_bTerminal(!json && isatty(fileno(ToolErr())) == 1),
      m_dStart(MonotonicSeconds()),
      m_dLastDraw(m_dStart) {}

CReporter::~CReporter() {
    hdfsagent::MutexLock guard(m_oLock);
    ClearLine();
}

uint64_t CReporter::Files() const {
    hdfsagent::MutexLock guard(m_oLock);
    return m_nFiles;
}

uint64_t CReporter::Bytes() const {
    hdfsagent::MutexLock guard(m_oLock);
    return m_nBytes;
}

uint64_t CReporter::Problems() const {
    hdfsagent::MutexLock guard(m_oLock);
    return m_nProblems;
}

double CReporter::ElapsedSeconds() const {
    return MonotonicSeconds() - m_dStart;
}

void CReporter::SetTotals(uint64_t files, uint64_t bytes) {
    hdfsagent::MutexLock guard(m_oLock);
    m_nTotalFiles = files;
    m_nTotalBytes = bytes;
    m_bTotals = true;
}

void CReporter::AddBytes(uint64_t bytes) {
    hdfsagent::MutexLock guard(m_oLock);
    m_nBytes += bytes;
    MaybeDraw(false);
}

void CReporter::FileDone() {
    hdfsagent::MutexLock guard(m_oLock);
    ++m_nFiles;
    MaybeDraw(false);
}

void CReporter::MaybeDraw(bool force) {
    if (!ShowsProgress())
        return;
    const double now = MonotonicSeconds();
    const double interval = m_bJson ? kJsonProgressInterval : kDrawInterval;
    if (!force && now - m_dLastDraw < interval)
        return;
    m_dLastDraw = now;
    const double elapsed = now - m_dStart;
    const double rate = elapsed > 0 ? static_cast<double>(m_nBytes) / elapsed : 0;
    double eta = -1;
    if (m_bTotals && rate > 0 && m_nTotalBytes >= m_nBytes)
        eta = static_cast<double>(m_nTotalBytes - m_nBytes) / rate;
    if (m_bJson) {
        nlohmann::ordered_json event;
        event["event"] = "progress";
        event["command"] = m_sCommand;
        event["files"] = m_nFiles;
        event["bytes"] = m_nBytes;
        if (m_bTotals) {
            event["total_files"] = m_nTotalFiles;
            event["total_bytes"] = m_nTotalBytes;
        }
        event["bytes_per_second"] = static_cast<uint64_t>(rate);
        if (eta >= 0)
            event["eta_seconds"] = static_cast<uint64_t>(eta);
        PrintJson(event);
        return;
    }
    std::string files = std::to_string(m_nFiles);
    std::string bytes = HumanBytes(static_cast<double>(m_nBytes));
    if (m_bTotals) {
        files += "/" + std::to_string(m_nTotalFiles);
        bytes += "/" + HumanBytes(static_cast<double>(m_nTotalBytes));
    }
    fprintf(ToolErr(), "\r\033[K%s: %s files, %s, %s/s, ETA %s", m_sCommand.c_str(), files.c_str(),
            bytes.c_str(), HumanBytes(rate).c_str(), m_bTotals ? Duration(eta).c_str() : "--:--");
    fflush(ToolErr());
    m_bLineDrawn = true;
}

void CReporter::ClearLine() {
    if (m_bLineDrawn) {
        fprintf(ToolErr(), "\r\033[K");
        fflush(ToolErr());
        m_bLineDrawn = false;
    }
}

void CReporter::Problem(const std::string& path, const std::string& message) {
    hdfsagent::MutexLock guard(m_oLock);
    ++m_nProblems;
    if (m_bJson) {
        nlohmann::ordered_json event;
        event["event"] = "problem";
        event["command"] = m_sCommand;
        event["path"] = path;
        event["message"] = message;
        PrintJson(event);
        return;
    }
    ClearLine();
    fprintf(ToolErr(), "hdfsagent %s: %s: %s\n", m_sCommand.c_str(), path.c_str(), message.c_str());
    fflush(ToolErr());
}

void CReporter::Line(const std::string& text) {
    hdfsagent::MutexLock guard(m_oLock);
    if (m_bJson)
        return;
    ClearLine();
    fprintf(stdout, "%s\n", text.c_str());
    fflush(stdout);
}

void CReporter::Event(nlohmann::ordered_json event) {
    hdfsagent::MutexLock guard(m_oLock);
    if (!m_bJson)
        return;
    PrintJson(event);
}

void CReporter::Warning(const std::string& message) {
    hdfsagent::MutexLock guard(m_oLock);
    if (m_bJson) {
        nlohmann::ordered_json event;
        event["event"] = "warning";
        event["command"] = m_sCommand;
        event["message"] = message;
        PrintJson(event);
        return;
    }
    ClearLine();
    fprintf(ToolErr(), "hdfsagent %s: warning: %s\n", m_sCommand.c_str(), message.c_str());
    fflush(ToolErr());
}

void CReporter::Fatal(const std::string& message) {
    hdfsagent::MutexLock guard(m_oLock);
    if (m_bJson) {
        nlohmann::ordered_json event;
        event["event"] = "error";
        event["command"] = m_sCommand;
        event["message"] = message;
        PrintJson(event);
        return;
    }
    ClearLine();
    fprintf(ToolErr(), "hdfsagent %s: %s\n", m_sCommand.c_str(), message.c_str());
    fflush(ToolErr());
}

void CReporter::Summary(const std::string& text, nlohmann::ordered_json fields) {
    hdfsagent::MutexLock guard(m_oLock);
    if (m_bJson) {
        nlohmann::ordered_json event;
        event["event"] = "summary";
        event["command"] = m_sCommand;
        for (auto& [key, value] : fields.items())
            event[key] = value;
        event["problems"] = m_nProblems;
        event["seconds"] = ElapsedSeconds();
        PrintJson(event);
        return;
    }
    ClearLine();
    fprintf(stdout, "%s\n", text.c_str());
    fflush(stdout);
}

}  // namespace tool
