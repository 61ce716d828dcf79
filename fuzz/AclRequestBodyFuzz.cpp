// Fuzzes the request bodies of GetACLandXattr and SetACLandXattr.
//
// Input: the path, a NUL byte, then the caller's object text. Properties:
//   - a path that is not valid UTF-8 is refused with 22 by both builders;
//   - otherwise the read body is a JSON object whose only member "path" is the path;
//   - whenever the caller's text is a JSON object, the write body is valid JSON, an object whose
//     first member is "path" (holding the path unless the caller sent a "path" of its own) and
//     whose other members are the caller's;
//   - a caller text that does not begin with "{" after blanks is refused with 22.
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "hadoop/HadoopRestUtil.h"

namespace restutil = hdfsagent::restutil;
using ordered_json = nlohmann::ordered_json;

namespace {

bool BeginsWithBrace(const std::string& text) {
    size_t i = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (i < text.size() &&
           (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r'))
        ++i;
    return i < text.size() && text[i] == '{';
}

void CheckRead(const std::string& path, bool validPath) {
    std::string body;
    CEkError err = restutil::BuildGetAclBody(path, body);
    if (!validPath) {
        if (err.Code() != 22)
            abort();
        return;
    }
    if (err.Failed())
        abort();
    ordered_json parsed = ordered_json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || parsed.size() != 1)
        abort();
    if (parsed.begin().key() != "path" || parsed.begin().value() != path)
        abort();
}

void CheckWrite(const std::string& path, bool validPath, const std::string& caller) {
    std::string body;
    CEkError err = restutil::BuildSetAclBody(path, caller, body);
    if (!validPath || !BeginsWithBrace(caller)) {
        if (err.Code() != 22)
            abort();
        return;
    }
    if (err.Failed())
        abort();
    ordered_json callerJson = ordered_json::parse(caller, nullptr, false);
    if (callerJson.is_discarded() || !callerJson.is_object())
        return;  // no promise to keep
    ordered_json parsed = ordered_json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object())
        abort();
    if (parsed.begin().key() != "path")
        abort();
    if (!callerJson.contains("path")) {
        if (parsed["path"] != path)
            abort();
        if (parsed.size() != callerJson.size() + 1)
            abort();
    }
    for (auto it = callerJson.begin(); it != callerJson.end(); ++it) {
        if (!parsed.contains(it.key()))
            abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t separator = input.find('\0');
    const std::string path = input.substr(0, separator);
    const std::string caller = separator == std::string::npos ? "" : input.substr(separator + 1);
    const bool validPath = restutil::IsValidUtf8(path);
    CheckRead(path, validPath);
    CheckWrite(path, validPath, caller);
    return 0;
}
