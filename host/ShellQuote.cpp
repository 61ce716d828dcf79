#include "host/ShellQuote.h"

#include <cstring>

namespace {

bool IsShellSafe(char c) {
    // ASCII only: bytes of other encodings are quoted, whatever the locale says about them.
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != '\0' && strchr("@%+=:,./_-", c) != nullptr;
}

}  // namespace

bool NeedsShellQuoting(const std::string& piece) {
    if (piece.empty())
        return true;
    for (char c : piece)
        if (!IsShellSafe(c))
            return true;
    return false;
}

std::string ShellQuote(const std::string& piece) {
    if (!NeedsShellQuoting(piece))
        return piece;
    std::string quoted = "'";
    for (char c : piece) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return quoted;
}
