#include "host/Strings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string FXString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

std::string FXString::FormatV(const char* format, va_list args) {
    if (!format)
        return std::string();
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0)
        return std::string();
    if (static_cast<size_t>(length) < sizeof small)
        return std::string(small, length);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    va_copy(copy, args);
    vsnprintf(&text[0], text.size(), format, copy);
    va_end(copy);
    text.resize(length);
    return text;
}

namespace {

template <typename Container>
size_t SplitInto(const std::string& text, const std::string& delimiter, Container& out,
                 int skipEmpty) {
    out.clear();
    if (text.empty())
        return 0;
    if (delimiter.empty()) {
        out.push_back(text);
        return out.size();
    }
    size_t start = 0;
    while (true) {
        size_t found = text.find(delimiter, start);
        std::string piece =
            text.substr(start, found == std::string::npos ? std::string::npos : found - start);
        if (!piece.empty() || !skipEmpty)
            out.push_back(std::move(piece));
        if (found == std::string::npos)
            break;
        start = found + delimiter.size();
    }
    return out.size();
}

}  // namespace

size_t FXString::Split(const std::string& text, const std::string& delimiter,
                       std::list<std::string>& out, int skipEmpty) {
    return SplitInto(text, delimiter, out, skipEmpty);
}

size_t FXString::Split(const std::string& text, const std::string& delimiter,
                       std::vector<std::string>& out, int skipEmpty) {
    return SplitInto(text, delimiter, out, skipEmpty);
}

std::string& FXString::TrimRight(std::string& text, const char* set) {
    size_t last = text.find_last_not_of(set ? set : "");
    text.erase(last == std::string::npos ? 0 : last + 1);
    return text;
}

std::string& FXString::TrimLeft(std::string& text, const char* set) {
    size_t first = text.find_first_not_of(set ? set : "");
    text.erase(0, first == std::string::npos ? text.size() : first);
    return text;
}

std::string& FXString::Trim(std::string& text, const char* set) {
    return TrimLeft(TrimRight(text, set), set);
}

bool FXString::RemoveLeft(std::string& text, const std::string& prefix) {
    if (!StartsWith(text, prefix))
        return false;
    text.erase(0, prefix.size());
    return true;
}

bool FXString::RemoveRight(std::string& text, const std::string& suffix) {
    if (!EndsWith(text, suffix))
        return false;
    text.erase(text.size() - suffix.size());
    return true;
}

bool FXString::ReplaceLeft(std::string& text, const std::string& prefix,
                           const std::string& replacement) {
    if (!StartsWith(text, prefix))
        return false;
    text.replace(0, prefix.size(), replacement);
    return true;
}

bool FXString::StartsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool FXString::EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool FXMillisecondsFromEnvironment(const char* name, long& value) {
    const char* text = getenv(name);
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    value = parsed;
    return true;
}
