// Fuzzes the settings-file reader and its line editor with arbitrary file text.
//
// Properties: parsing never crashes; an edit that is accepted reads back as intended (the key
// holds the value, or is gone) and leaves every other key of every section as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "host/Log.h"
#include "host/Settings.h"
#include "host/Strings.h"

namespace {

using Settings = std::map<std::string, std::map<std::string, std::string>>;

void DropEmptySections(Settings& settings) {
    for (auto it = settings.begin(); it != settings.end();)
        it = it->second.empty() ? settings.erase(it) : std::next(it);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Malformed lines are logged; keep the fuzzer's output and speed free of that.
    g_ptrLogWriter->SetDebugLevel(-2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    std::string section = provider.ConsumeRandomLengthString(16);
    std::string key = provider.ConsumeRandomLengthString(16);
    std::string value = provider.ConsumeRandomLengthString(32);
    bool remove = provider.ConsumeBool();
    std::string text = provider.ConsumeRemainingBytesAsString();

    Settings before = DXPlatformInfo::Parse(text);

    std::string edited;
    CEkError err = DXPlatformInfo::EditText(text, section, key, remove ? nullptr : &value, edited);
    if (err.Failed()) {
        if (!edited.empty() || err.Code() != EINVAL)
            abort();
        return 0;
    }
    Settings after = DXPlatformInfo::Parse(edited);

    std::string expectedValue = value;
    FXString::Trim(expectedValue, " \t\r");
    if (remove)
        before[section].erase(key);
    else
        before[section][key] = expectedValue;
    DropEmptySections(before);
    DropEmptySections(after);
    if (before != after)
        abort();
    return 0;
}
