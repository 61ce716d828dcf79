// Fuzzes the server's Hadoop configuration message parser with arbitrary text.
//
// Properties: unserialize never crashes or throws; text that is not JSON is refused; a refused
// message answers every accessor with an empty value and says why; an accepted one answers the
// accessors the instance loader uses exactly as an independent reading of the same JSON does.
#include <errno.h>

#include <cstdlib>
#include <list>
#include <nlohmann/json.hpp>
#include <string>

#include "host/Log.h"
#include "host/Message.h"

namespace {

using nlohmann::json;

const char* const kStringMembers[] = {"configField2", "configField4", "hadoopNativeLibPath",
                                      "jvmLibPath"};

std::list<CNMessageBase> Entries(const CNMessageBase& message) {
    return message.getlistobject(1, 1, 519790567, 13622503, false);
}

std::string StringField(const CNMessageBase& entry, int index) {
    switch (index) {
        case 0:
            return entry.getstring(2, 2, 505061676, 15640593);
        case 1:
            return entry.getstring(4, 7, 505061676, 16031284);
        case 2:
            return entry.getstring(8, 14, 505061676, 7992298);
        default:
            return entry.getstring(9, 18, 505061676, 15033449);
    }
}

// The member's string as an independent reader sees it ("" when absent or null).
std::string Expected(const json& entry, const char* member) {
    auto it = entry.find(member);
    return it == entry.end() || it->is_null() ? std::string() : it->get<std::string>();
}

void CheckAccepted(const CNMessageBase& message, const json& document) {
    if (!document.is_object())
        abort();
    auto list = document.find("entries");
    std::list<CNMessageBase> entries = Entries(message);
    size_t expectedCount = list == document.end() || list->is_null() ? 0 : list->size();
    if (entries.size() != expectedCount)
        abort();
    size_t i = 0;
    for (const CNMessageBase& entry : entries) {
        const json& expected = (*list)[i++];
        auto selector = expected.find("selector");
        int64_t expectedSelector =
            selector == expected.end() || selector->is_null() ? 0 : selector->get<int64_t>();
        if (entry.getint64(1, 505061676, 4122401) != expectedSelector)
            abort();
        for (int field = 0; field < 4; ++field) {
            if (StringField(entry, field) != Expected(expected, kStringMembers[field]))
                abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_ptrLogWriter->SetDebugLevel(-2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    CNMessageBase message(30, 562);
    int result = message.unserialize(text);
    json document = json::parse(text, nullptr, false);
    if (result != 0) {
        if (result != EINVAL || message.GetLastError().empty() || !Entries(message).empty())
            abort();
        return 0;
    }
    if (document.is_discarded() || !message.GetLastError().empty())
        abort();
    CheckAccepted(message, document);
    return 0;
}
