// GetACLandXattr / SetACLandXattr / GetACLandXattrBatch: ACLs and extended attributes through
// the REST utility service, and the JSON bodies they send.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <nlohmann/json.hpp>

#include "hadoop/HadoopRestUtil.h"
#include "host/Log.h"

namespace hdfsagent {
namespace restutil {

std::string JsonEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

bool IsValidUtf8(const std::string& text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        size_t length = 0;
        uint32_t codePoint = 0;
        if (lead < 0x80) {
            ++p;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) < length)
            return false;
        for (size_t i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not UTF-8.
        static const uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kMinimum[length] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        p += length;
    }
    return true;
}

namespace {

CEkError CheckPath(const std::string& path) {
    // A path that is not Unicode text cannot name an HDFS path; replacing its bytes would name
    // a different one.
    if (!IsValidUtf8(path))
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 22, "Path is not valid UTF-8");
    return CEkError();
}

bool IsJsonBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

CEkError BuildGetAclBody(const std::string& path, std::string& body) {
    CEkError err = CheckPath(path);
    if (err.Failed())
        return err;
    body = "{\"path\":\"" + JsonEscape(path) + "\"}";
    return CEkError();
}

CEkError BuildSetAclBody(const std::string& path, const std::string& callerObject,
                         std::string& body) {
    CEkError err = CheckPath(path);
    if (err.Failed())
        return err;
    size_t open = 0;
    // A byte-order mark may precede the text; JSON readers ignore it, so do we.
    if (callerObject.compare(0, 3, "\xEF\xBB\xBF") == 0)
        open = 3;
    while (open < callerObject.size() && IsJsonBlank(callerObject[open]))
        ++open;
    if (open == callerObject.size() || callerObject[open] != '{')
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 22,
                                       "ACL and xattr request is not a JSON object");
    size_t next = open + 1;
    while (next < callerObject.size() && IsJsonBlank(callerObject[next]))
        ++next;
    // An empty object takes no separator: "{}" becomes {"path":"..."}, not {"path":"...",}.
    const bool emptyObject = next < callerObject.size() && callerObject[next] == '}';
    body = "{\"path\":\"" + JsonEscape(path) + "\"" + (emptyObject ? "" : ",") +
           callerObject.substr(open + 1);
    return CEkError();
}

}  // namespace restutil
}  // namespace hdfsagent

using DXHadoop::CHadoopRestUtil;

namespace {

// Runs `call` with the caller's service handle; nothing it throws leaves the library.
template <typename Call>
CEkError WithRestUtil(void* ptrHadoopRestUtil, const char* operation, Call call) {
    try {
        if (ptrHadoopRestUtil == nullptr)
            return FXErrorUtil::ErrorWin32(FX_LOCATION, 22, "ptrHadoopRestUtil is NULL");
        return call(*static_cast<CHadoopRestUtil*>(ptrHadoopRestUtil));
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ENOMEM, "Out of memory");
    } catch (const std::exception& e) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "%s failed: %s", operation, e.what());
    }
}

}  // namespace

CEkError GetACLandXattr(void* ptrHadoopRestUtil, const std::string& path, std::string& response) {
    return WithRestUtil(ptrHadoopRestUtil, "GetACLandXattr", [&](CHadoopRestUtil& util) {
        std::string body;
        CEkError err = hdfsagent::restutil::BuildGetAclBody(path, body);
        if (err.Failed())
            return err.Push(FX_LOCATION);
        DXLOG(5, "Req: %s", body.c_str());
        err = util.Post("getacl", body, response);
        if (err.Failed())
            return err.Push(FX_LOCATION);
        return CEkError();
    });
}

CEkError SetACLandXattr(void* ptrHadoopRestUtil, const std::string& path,
                        const std::string& aclAndXattrJson) {
    return WithRestUtil(ptrHadoopRestUtil, "SetACLandXattr", [&](CHadoopRestUtil& util) {
        std::string body;
        CEkError err = hdfsagent::restutil::BuildSetAclBody(path, aclAndXattrJson, body);
        if (err.Failed())
            return err.Push(FX_LOCATION);
        std::string answer;
        err = util.Post("setacl", body, answer);
        DXLOG(2, "Req: %s. Resp %s", body.c_str(), answer.c_str());
        if (err.Failed())
            return err.Push(FX_LOCATION);
        return CEkError();
    });
}

namespace hdfsagent {
namespace restutil {

std::string BuildGetAclBatchBody(const std::vector<std::string>& paths, size_t first,
                                 size_t count) {
    std::string body = "{\"paths\":[";
    for (size_t i = first; i < first + count; ++i) {
        if (i > first)
            body += ',';
        body += '"' + JsonEscape(paths[i]) + '"';
    }
    body += "]}";
    return body;
}

namespace {

CEkError UnexpectedBatchAnswer(const char* why) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, 2250, "Unexpected getaclbatch answer: %s", why);
}

// One path's answer as the per-path resources give it: everything but "status".
CEkError TakeBatchAnswer(nlohmann::ordered_json& item, DXHadoop::AclAndXattrAnswer& answer) {
    if (!item.is_object() || !item.contains("status") || !item["status"].is_number_integer())
        return UnexpectedBatchAnswer("an answer without a status");
    answer.status = item["status"].get<long>();
    item.erase("status");
    answer.body = item.dump();
    return CEkError();
}

}  // namespace

CEkError ParseGetAclBatchAnswer(const std::string& response, size_t count,
                                std::vector<DXHadoop::AclAndXattrAnswer>& answers) {
    // Ordered: each body keeps the service's member order, as a getacl answer does.
    nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(response, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains("answers") ||
        !parsed["answers"].is_array())
        return UnexpectedBatchAnswer("no \"answers\" array");
    nlohmann::ordered_json& items = parsed["answers"];
    if (items.size() != count)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 2250,
                                       "Unexpected getaclbatch answer: %zu answers for %zu paths",
                                       items.size(), count);
    for (nlohmann::ordered_json& item : items) {
        DXHadoop::AclAndXattrAnswer answer;
        CEkError err = TakeBatchAnswer(item, answer);
        if (err.Failed())
            return err;
        answers.push_back(std::move(answer));
    }
    return CEkError();
}

}  // namespace restutil
}  // namespace hdfsagent

namespace {

CEkError GetAclBatch(CHadoopRestUtil& util, const std::vector<std::string>& paths,
                     std::vector<DXHadoop::AclAndXattrAnswer>& answers) {
    for (size_t first = 0; first < paths.size(); first += DXHadoop::kAclBatchPaths) {
        const size_t count = std::min(DXHadoop::kAclBatchPaths, paths.size() - first);
        const std::string body = hdfsagent::restutil::BuildGetAclBatchBody(paths, first, count);
        std::string response;
        CEkError err = util.Post("getaclbatch", body, response);
        if (err.Failed())
            return err.Push(FX_LOCATION);
        err = hdfsagent::restutil::ParseGetAclBatchAnswer(response, count, answers);
        if (err.Failed())
            return err.Push(FX_LOCATION);
    }
    return CEkError();
}

}  // namespace

CEkError GetACLandXattrBatch(void* ptrHadoopRestUtil, const std::vector<std::string>& paths,
                             std::vector<DXHadoop::AclAndXattrAnswer>& answers) {
    answers.clear();
    CEkError err =
        WithRestUtil(ptrHadoopRestUtil, "GetACLandXattrBatch", [&](CHadoopRestUtil& util) {
            // Every path is checked before anything is sent.
            for (size_t i = 0; i < paths.size(); ++i)
                if (!hdfsagent::restutil::IsValidUtf8(paths[i]))
                    return FXErrorUtil::ErrorWin32(FX_LOCATION, 22,
                                                   "Path is not valid UTF-8 (path %zu)", i + 1);
            answers.reserve(paths.size());
            return GetAclBatch(util, paths, answers);
        });
    if (err.Failed())
        answers.clear();
    return err;
}
