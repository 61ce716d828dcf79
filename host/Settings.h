// The settings store as the library reads and writes it (DXPlatformInfo): the file and its
// rules are DXSettingsStore's (host/SettingsStore.h); this front logs, at level -1, what the
// store finds wrong (a malformed line is skipped and logged, a value that is not a number or out
// of range is logged and leaves the caller's default) and every failed write. Thread-safe.
#pragma once

#include <map>
#include <string>

#include "host/Error.h"
#include "host/Export.h"
#include "host/SettingsStore.h"

class HDFSAGENT_API DXPlatformInfo {
  public:
    // The settings file path in use.
    static std::string GetSettingsFilePath();

    // `out` receives the value, or is emptied when the key is absent. True when present.
    static bool getString(const std::string& section, const std::string& key, std::string& out);
    // `out` receives the value when present and a number (decimal, the whole trimmed value, in
    // range); unchanged otherwise (callers preset the default). True when set.
    static bool getNumber(const std::string& section, const std::string& key, long& out);
    static bool getNumber(const std::string& section, const std::string& key, int& out);
    // Writes the first `length` bytes of `value` (the whole string when length is npos).
    static CEkError setString(const std::string& section, const std::string& key,
                              const std::string& value, size_t length = std::string::npos);
    static CEkError removeKey(const std::string& section, const std::string& key);

    // DXSettingsStore::Parse, its problems logged (exposed for tests and the fuzzer).
    static std::map<std::string, std::map<std::string, std::string>> Parse(const std::string& text);
    // DXSettingsStore::EditText.
    static CEkError EditText(const std::string& text, const std::string& section,
                             const std::string& key, const std::string* value, std::string& edited);
};
