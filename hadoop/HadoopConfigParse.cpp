#include <algorithm>
#include <cstdlib>

#include "hadoop/HadoopConfig.h"

namespace HadoopConfig {

namespace {

const std::string kNameOpen = "<name>";
const std::string kNameClose = "</name>";
const std::string kValueOpen = "<value>";
const std::string kValueClose = "</value>";
const std::string kValueEmpty = "<value/>";
const std::string kPropertyOpen = "<property";
const std::string kPropertyClose = "</property>";

size_t FindOr(const std::string& text, const std::string& what, size_t from, size_t fallback) {
    size_t pos = text.find(what, from);
    return pos == std::string::npos ? fallback : pos;
}

// The stretch of text that belongs to the property whose <name> element starts at `nameOpen`
// and ends before `afterName`: from the start of the enclosing <property> (or the end of the
// previous one) to its end (or the next <name>, or the end of the text).
void PropertyBounds(const std::string& text, size_t nameOpen, size_t afterName, size_t& begin,
                    size_t& end) {
    begin = 0;
    size_t open = text.rfind(kPropertyOpen, nameOpen);
    if (open != std::string::npos)
        begin = open;
    if (nameOpen > 0) {
        size_t previousClose = text.rfind(kPropertyClose, nameOpen - 1);
        if (previousClose != std::string::npos)
            begin = std::max(begin, previousClose + kPropertyClose.size());
    }
    end = std::min(FindOr(text, kPropertyClose, afterName, text.size()),
                   FindOr(text, kNameOpen, afterName, text.size()));
}

bool ValueInRange(const std::string& text, size_t begin, size_t end, std::string& value) {
    size_t open = FindOr(text, kValueOpen, begin, std::string::npos);
    size_t empty = FindOr(text, kValueEmpty, begin, std::string::npos);
    if (empty < end && empty < open) {
        value.clear();
        return true;
    }
    if (open == std::string::npos || open >= end)
        return false;
    size_t start = open + kValueOpen.size();
    size_t close = text.find(kValueClose, start);
    if (close == std::string::npos || close + kValueClose.size() > end)
        return false;
    value = DecodeXmlText(text.substr(start, close - start));
    return true;
}

bool DecodeNumericReference(const std::string& body, char& out) {
    if (body.size() < 2 || body[0] != '#')
        return false;
    bool hex = body[1] == 'x' || body[1] == 'X';
    std::string digits = body.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 3)
        return false;
    for (char c : digits)
        if (!(hex ? isxdigit(static_cast<unsigned char>(c))
                  : isdigit(static_cast<unsigned char>(c))))
            return false;
    long code = strtol(digits.c_str(), nullptr, hex ? 16 : 10);
    if (code <= 0 || code >= 128)
        return false;
    out = static_cast<char>(code);
    return true;
}

}  // namespace

std::string DecodeXmlText(const std::string& text) {
    static const struct {
        const char* name;
        char character;
    } kEntities[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        size_t semicolon = text[i] == '&' ? text.find(';', i + 1) : std::string::npos;
        if (semicolon == std::string::npos || semicolon - i > 8) {
            out.push_back(text[i]);
            continue;
        }
        std::string body = text.substr(i + 1, semicolon - i - 1);
        char decoded = 0;
        bool known = DecodeNumericReference(body, decoded);
        for (const auto& entity : kEntities)
            if (!known && body == entity.name) {
                decoded = entity.character;
                known = true;
            }
        if (!known) {
            out.push_back(text[i]);
            continue;
        }
        out.push_back(decoded);
        i = semicolon;
    }
    return out;
}

bool ExtractConfigurationValue(const std::string& output, const std::string& key,
                               std::string& value) {
    value.clear();
    size_t pos = 0;
    size_t previousAfterName = 0;
    while ((pos = output.find(kNameOpen, pos)) != std::string::npos) {
        size_t nameStart = pos + kNameOpen.size();
        size_t nameEnd = output.find(kNameClose, nameStart);
        if (nameEnd == std::string::npos)
            return false;
        size_t afterName = nameEnd + kNameClose.size();
        if (DecodeXmlText(output.substr(nameStart, nameEnd - nameStart)) == key) {
            size_t begin = 0, end = 0;
            PropertyBounds(output, pos, afterName, begin, end);
            // Hadoop writes the value after the name; a value before it counts only when it
            // lies inside the same property and after the previous name.
            if (ValueInRange(output, afterName, end, value) ||
                ValueInRange(output, std::max(begin, previousAfterName), pos, value))
                return true;
        }
        previousAfterName = afterName;
        pos = afterName;
    }
    value.clear();
    return false;
}

}  // namespace HadoopConfig
