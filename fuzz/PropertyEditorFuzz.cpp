// Fuzzes the property-file editor with arbitrary file text, keys and values.
//
// Input: key, "\n", value, "\n", then the file text. Properties, checked against an independent
// reading of the lines:
//   - every physical line that is not part of an entry of the key survives byte for byte and in
//     order (when the pair is appended, the last line may gain its missing line end and one empty
//     line may close an open continuation);
//   - every entry of the key in the result is exactly "key=value" with a line end, and there is
//     at least one, and as many as the input had (one when it had none);
//   - editing the result again with the same pair changes nothing.
#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "hadoop/HadoopCommon.h"
#include "hadoop/HadoopProperties.h"

namespace {

namespace props = hdfsagent::properties;

struct Line {
    std::string body;
    std::string end;
    bool ofKey = false;  // part of an entry of the key
};

std::string EscapeForRegex(const std::string& text) {
    static const std::string special = "\\^$.|?*+()[]{}";
    std::string out;
    for (char c : text) {
        if (special.find(c) != std::string::npos)
            out += '\\';
        out += c;
    }
    return out;
}

bool OddTrailingBackslashes(const std::string& body) {
    size_t n = 0;
    while (n < body.size() && body[body.size() - 1 - n] == '\\')
        ++n;
    return n % 2 == 1;
}

// Physical lines, each marked when it belongs to an entry of the key.
std::vector<Line> Read(const std::string& text, const std::regex& definesKey, size_t* entries) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        // Java ends a line at "\n", at "\r\n" and at a lone "\r".
        Line line;
        size_t end = pos;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r')
            ++end;
        line.body = text.substr(pos, end - pos);
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() &&
            text[end + 1] == '\n')
            line.end = "\r\n";
        else if (end < text.size())
            line.end = text.substr(end, 1);
        pos = end + line.end.size();
        lines.push_back(line);
    }
    static const std::regex comment("^[ \t\f]*[#!]");
    *entries = 0;
    for (size_t i = 0; i < lines.size();) {
        size_t last = i;
        if (!std::regex_search(lines[i].body, comment))
            while (last + 1 < lines.size() && OddTrailingBackslashes(lines[last].body))
                ++last;
        if (std::regex_search(lines[i].body, definesKey)) {
            ++*entries;
            for (size_t j = i; j <= last; ++j)
                lines[j].ofKey = true;
        }
        i = last + 1;
    }
    return lines;
}

std::vector<Line> Others(const std::vector<Line>& lines) {
    std::vector<Line> others;
    for (const Line& line : lines)
        if (!line.ofKey)
            others.push_back(line);
    return others;
}

std::string Join(const std::vector<Line>& lines) {
    std::string text;
    for (const Line& line : lines)
        text += line.body + line.end;
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192)
        return 0;  // long lines only slow the regular expressions of the check
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t keyEnd = input.find('\n');
    if (keyEnd == std::string::npos)
        return 0;
    size_t valueEnd = input.find('\n', keyEnd + 1);
    if (valueEnd == std::string::npos)
        return 0;
    const std::string key = input.substr(0, keyEnd);
    const std::string value = input.substr(keyEnd + 1, valueEnd - keyEnd - 1);
    const std::string content = input.substr(valueEnd + 1);
    if (!props::IsValidKey(key) || !props::IsValidValue(value))
        return 0;

    const std::string result = props::SetProperty(content, key, value);

    const std::regex definesKey("^[ \t\f]*" + EscapeForRegex(key) + "[ \t\f]*[=:]");
    size_t before = 0, after = 0;
    std::vector<Line> in = Read(content, definesKey, &before);
    std::vector<Line> out = Read(result, definesKey, &after);

    for (const Line& line : out)
        if (line.ofKey && (line.body != key + "=" + value || line.end.empty()))
            abort();
    if (after != (before == 0 ? 1 : before))
        abort();

    const std::string kept = Join(Others(in));
    const std::string survived = Join(Others(out));
    if (before > 0) {
        if (survived != kept)
            abort();
    } else {
        // Appended as the last line; before it the old last line may have gained its line end
        // and an empty line may close an open continuation: only line-end bytes are added.
        if (out.empty() || !out.back().ofKey)
            abort();
        if (survived.compare(0, kept.size(), kept) != 0)
            abort();
        std::string added = survived.substr(std::min(kept.size(), survived.size()));
        if (added.size() > 4 || added.find_first_not_of("\r\n") != std::string::npos)
            abort();
    }

    if (props::SetProperty(result, key, value) != result)
        abort();
    return 0;
}
