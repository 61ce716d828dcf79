#include "host/Message.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <new>
#include <nlohmann/json.hpp>

#include "host/File.h"
#include "host/Log.h"
#include "host/Path.h"
#include "host/Settings.h"

namespace {

using nlohmann::json;

enum FieldKind { kMessage, kList, kInt64, kString };

// Accessors that take no tag (getint64) match any tag.
const int kNoTag = -1;

// One layout identifier set and what it means in the JSON text. A message row names a message
// (number = application, tag = message number, fieldId = its layout id); a field row names a
// member of the message whose layout id is `holder`.
struct LayoutRow {
    FieldKind kind;
    unsigned long holder;
    unsigned long fieldId;
    int number;
    int tag;
    unsigned long element;  // list rows: the layout id of the entries
    const char* member;     // the JSON member (message rows: the message's name)
};

const unsigned long kHadoopConfigLayout = 519790567;
const unsigned long kHadoopConfigEntryLayout = 505061676;

const LayoutRow kLayout[] = {
    {kMessage, 0, kHadoopConfigLayout, 30, 562, 0, "App::HadoopConfig"},
    {kList, kHadoopConfigLayout, 13622503, 1, 1, kHadoopConfigEntryLayout, "entries"},
    {kInt64, kHadoopConfigEntryLayout, 4122401, 1, kNoTag, 0, "selector"},
    {kString, kHadoopConfigEntryLayout, 15640593, 2, 2, 0, "configField2"},
    {kString, kHadoopConfigEntryLayout, 16031284, 4, 7, 0, "configField4"},
    {kString, kHadoopConfigEntryLayout, 7992298, 8, 14, 0, "hadoopNativeLibPath"},
    {kString, kHadoopConfigEntryLayout, 15033449, 9, 18, 0, "jvmLibPath"},
};

const LayoutRow* FindRow(FieldKind kind, unsigned long holder, unsigned long fieldId, int number,
                         int tag) {
    for (const LayoutRow& row : kLayout) {
        if (row.kind == kind && row.holder == holder && row.fieldId == fieldId &&
            row.number == number && (row.tag == kNoTag || row.tag == tag))
            return &row;
    }
    return nullptr;
}

const LayoutRow* FindMessage(int application, int message) {
    for (const LayoutRow& row : kLayout) {
        if (row.kind == kMessage && row.number == application && row.tag == message)
            return &row;
    }
    return nullptr;
}

bool FitsInt64(const json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned())
        return true;
    return value.is_number_unsigned() &&
           value.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
}

// Checks `node` against the layout `layoutId`, member by member; the first fault is described
// in `where` (a path such as "entries[1].selector") and `fault`.
bool CheckShape(const json& node, unsigned long layoutId, const std::string& where,
                std::string& fault) {
    if (!node.is_object()) {
        fault = (where.empty() ? std::string("the message") : where) + ": not a JSON object";
        return false;
    }
    for (const LayoutRow& row : kLayout) {
        if (row.kind == kMessage || row.holder != layoutId)
            continue;
        auto it = node.find(row.member);
        if (it == node.end() || it->is_null())
            continue;
        std::string name = where.empty() ? row.member : where + "." + row.member;
        switch (row.kind) {
            case kList:
                if (!it->is_array()) {
                    fault = name + ": not a JSON array";
                    return false;
                }
                for (size_t i = 0; i < it->size(); ++i) {
                    if (!CheckShape((*it)[i], row.element, name + "[" + std::to_string(i) + "]",
                                    fault))
                        return false;
                }
                break;
            case kInt64:
                if (!FitsInt64(*it)) {
                    fault = name + ": not an integer within the signed 64-bit range";
                    return false;
                }
                break;
            case kString:
                if (!it->is_string()) {
                    fault = name + ": not a string";
                    return false;
                }
                if (it->get_ref<const std::string&>().find('\0') != std::string::npos) {
                    fault = name + ": holds a NUL character";
                    return false;
                }
                break;
            case kMessage:
                break;
        }
    }
    return true;
}

const size_t kMaxMessageSize = 1 << 20;

}  // namespace

CNMessageBase::CNMessageBase(int application, int message) : m_nLayoutId(0) {
    const LayoutRow* row = FindMessage(application, message);
    if (row != nullptr)
        m_nLayoutId = row->fieldId;
}

CNMessageBase::CNMessageBase(unsigned long layoutId, std::shared_ptr<const json> document,
                             const json* node)
    : m_nLayoutId(layoutId), m_pDocument(std::move(document)), m_pNode(node) {}

int CNMessageBase::unserialize(const std::string& text) {
    m_pDocument.reset();
    m_pNode = nullptr;
    m_sLastError.clear();
    if (m_nLayoutId == 0) {
        m_sLastError = "unknown message layout";
        return ENOTSUP;
    }
    // The parser reports malformed text as a discarded value instead of throwing; only memory
    // exhaustion can still throw, and that is a malformed message to the caller as well.
    try {
        auto document = std::make_shared<json>(json::parse(text, nullptr, false));
        if (document->is_discarded()) {
            m_sLastError = "not valid JSON";
            return EINVAL;
        }
        if (!CheckShape(*document, m_nLayoutId, "", m_sLastError))
            return EINVAL;
        m_pNode = document.get();
        m_pDocument = std::move(document);
        return 0;
    } catch (const std::exception& e) {
        m_sLastError = e.what();
        return EINVAL;
    }
}

const json* CNMessageBase::Member(int kind, int number, int tag, unsigned long layoutId,
                                  unsigned long fieldId) const {
    if (m_pNode == nullptr || layoutId != m_nLayoutId)
        return nullptr;
    const LayoutRow* row = FindRow(static_cast<FieldKind>(kind), layoutId, fieldId, number, tag);
    if (row == nullptr)
        return nullptr;
    auto it = m_pNode->find(row->member);
    if (it == m_pNode->end() || it->is_null())
        return nullptr;
    return &*it;
}

std::list<CNMessageBase> CNMessageBase::getlistobject(int number, int tag, unsigned long layoutId,
                                                      unsigned long fieldId, bool) const {
    std::list<CNMessageBase> entries;
    const json* list = Member(kList, number, tag, layoutId, fieldId);
    if (list == nullptr)
        return entries;
    unsigned long element = FindRow(kList, layoutId, fieldId, number, tag)->element;
    for (const json& entry : *list)
        entries.push_back(CNMessageBase(element, m_pDocument, &entry));
    return entries;
}

int64_t CNMessageBase::getint64(int number, unsigned long layoutId, unsigned long fieldId) const {
    const json* value = Member(kInt64, number, kNoTag, layoutId, fieldId);
    return value == nullptr ? 0 : value->get<int64_t>();
}

std::string CNMessageBase::getstring(int number, int tag, unsigned long layoutId,
                                     unsigned long fieldId) const {
    const json* value = Member(kString, number, tag, layoutId, fieldId);
    return value == nullptr ? std::string() : value->get<std::string>();
}

// ---------------------------------------------------------------------------------------------

std::string HadoopInstance::GetMessagePath() const {
    return FXPath::Append(FXPath::Append(DXPI_Base::getHomeDirectory(), "instances"),
                          std::to_string(m_nInstanceId) + ".json");
}

CEkError HadoopInstance::getHadoopConfig(std::string& text, std::string* path) const {
    text.clear();
    const std::string file = GetMessagePath();
    if (path != nullptr)
        *path = file;
    CEkError error;
    struct stat st;
    if (stat(file.c_str(), &st) != 0)
        error = FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot open %s", file.c_str());
    else if (!S_ISREG(st.st_mode))
        error =
            FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "%s is not a regular file", file.c_str());
    else if (static_cast<size_t>(st.st_size) > kMaxMessageSize)
        error = FXErrorUtil::ErrorErrNo(FX_LOCATION, EFBIG, "%s is larger than %zu bytes",
                                        file.c_str(), kMaxMessageSize);
    else
        error = CEkFile::ReadWholeFile(file, text);
    if (error.Failed()) {
        text.clear();
        DXLOG(-1, "Cannot read the configuration message of instance %lu: %s", m_nInstanceId,
              error.AsString(eErrorFormatMessages).c_str());
        return error.Push(FX_LOCATION);
    }
    return CEkError();
}
