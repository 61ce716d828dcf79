#include "host/Settings.h"

#include <limits.h>

#include <vector>

#include "host/Log.h"

namespace {

void LogProblems(const std::vector<std::string>& problems) {
    for (const std::string& problem : problems)
        DXLOG(-1, "%s", problem.c_str());
}

}  // namespace

std::string DXPlatformInfo::GetSettingsFilePath() {
    return DXSettingsStore::FilePath();
}

bool DXPlatformInfo::getString(const std::string& section, const std::string& key,
                               std::string& out) {
    out.clear();
    std::vector<std::string> problems;
    bool found = DXSettingsStore::Read(section, key, out, problems);
    LogProblems(problems);
    return found;
}

bool DXPlatformInfo::getNumber(const std::string& section, const std::string& key, long& out) {
    std::vector<std::string> problems;
    bool found = DXSettingsStore::ReadNumber(section, key, out, problems);
    LogProblems(problems);
    return found;
}

bool DXPlatformInfo::getNumber(const std::string& section, const std::string& key, int& out) {
    long number = 0;
    if (!getNumber(section, key, number))
        return false;
    if (number < INT_MIN || number > INT_MAX) {
        DXLOG(-1, "setting [%s] %s is out of range: %ld", section.c_str(), key.c_str(), number);
        return false;
    }
    out = static_cast<int>(number);
    return true;
}

CEkError DXPlatformInfo::setString(const std::string& section, const std::string& key,
                                   const std::string& value, size_t length) {
    std::string piece = value.substr(0, length);
    CEkError err = DXSettingsStore::Write(section, key, &piece);
    if (err.Failed()) {
        DXLOG(-1, "%s", err.AsString().c_str());
        return err.Push(FX_LOCATION);
    }
    return CEkError();
}

CEkError DXPlatformInfo::removeKey(const std::string& section, const std::string& key) {
    CEkError err = DXSettingsStore::Write(section, key, nullptr);
    if (err.Failed()) {
        DXLOG(-1, "%s", err.AsString().c_str());
        return err.Push(FX_LOCATION);
    }
    return CEkError();
}

std::map<std::string, std::map<std::string, std::string>> DXPlatformInfo::Parse(
    const std::string& text) {
    std::vector<std::string> problems;
    auto settings = DXSettingsStore::Parse(text, problems);
    LogProblems(problems);
    return settings;
}

CEkError DXPlatformInfo::EditText(const std::string& text, const std::string& section,
                                  const std::string& key, const std::string* value,
                                  std::string& edited) {
    return DXSettingsStore::EditText(text, section, key, value, edited);
}
