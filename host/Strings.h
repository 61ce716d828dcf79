// FXString: string helpers with the host's names.
#pragma once

#include <cstdarg>
#include <list>
#include <string>
#include <vector>

#include "host/Export.h"

class HDFSAGENT_API FXString {
  public:
    // printf into a std::string (any length).
    static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static std::string FormatV(const char* format, va_list args);

    // Splits `text` at every occurrence of `delimiter` (a whole string, not a set) into `out`,
    // which is emptied first. Empty pieces are kept unless `skipEmpty` is non-zero.
    // Split("", ...) gives no piece; an empty delimiter gives the whole text. Returns the count.
    static size_t Split(const std::string& text, const std::string& delimiter,
                        std::list<std::string>& out, int skipEmpty = 0);
    static size_t Split(const std::string& text, const std::string& delimiter,
                        std::vector<std::string>& out, int skipEmpty = 0);

    // Removes trailing / leading characters that are in `set` (default: blanks and newlines).
    static std::string& TrimRight(std::string& text, const char* set = " \t\r\n");
    static std::string& TrimLeft(std::string& text, const char* set = " \t\r\n");
    static std::string& Trim(std::string& text, const char* set = " \t\r\n");

    // Removes `prefix` from the front (`suffix` from the end) when it is there; true if removed.
    static bool RemoveLeft(std::string& text, const std::string& prefix);
    static bool RemoveRight(std::string& text, const std::string& suffix);
    // Replaces a leading `prefix` with `replacement`; false (text unchanged) when it is not there.
    static bool ReplaceLeft(std::string& text, const std::string& prefix,
                            const std::string& replacement);

    static bool StartsWith(const std::string& text, const std::string& prefix);
    static bool EndsWith(const std::string& text, const std::string& suffix);
};

// Reads a whole, non-negative number of milliseconds from the environment variable `name` (the
// way tests shorten deadlines and delays); false, `value` untouched, when the variable is unset,
// empty or holds anything else.
bool FXMillisecondsFromEnvironment(const char* name, long& value);
