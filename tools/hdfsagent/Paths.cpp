#include "Paths.h"

#include <fnmatch.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Tool.h"

namespace tool {

namespace {

// The next component of `path` starting at `pos`; `pos` moves past it and its "/".
std::string_view NextComponent(const std::string& path, size_t& pos) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos)
        end = path.size();
    std::string_view component(path.data() + pos, end - pos);
    pos = end < path.size() ? end + 1 : end;
    return component;
}

}  // namespace

std::string DefaultUser() {
    const char* env = getenv("HADOOP_USER_NAME");
    if (env != nullptr && *env != '\0')
        return env;
    struct passwd pwd;
    struct passwd* result = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &pwd, buffer, sizeof buffer, &result) == 0 && result != nullptr)
        return result->pw_name;
    return std::to_string(geteuid());
}

int ComparePathOrder(const std::string& a, const std::string& b) {
    // The root sorts before everything.
    const bool aRoot = a == ".";
    const bool bRoot = b == ".";
    if (aRoot || bRoot)
        return aRoot && bRoot ? 0 : (aRoot ? -1 : 1);
    size_t pa = 0;
    size_t pb = 0;
    while (pa < a.size() && pb < b.size()) {
        std::string_view ca = NextComponent(a, pa);
        std::string_view cb = NextComponent(b, pb);
        // Names compare as unsigned bytes, as the walker sorts them.
        const int c = ca.compare(cb);
        if (c != 0)
            return c;
    }
    // A path that ran out first is the ancestor: it comes first.
    if (pa >= a.size() && pb >= b.size())
        return 0;
    return pa >= a.size() ? -1 : 1;
}

bool IsAncestorPath(const std::string& ancestor, const std::string& path) {
    if (ancestor == ".")
        return path != ".";
    return path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
           path[ancestor.size()] == '/';
}

std::string JoinEntryPath(const std::string& parent, const std::string& name) {
    return parent == "." ? name : parent + "/" + name;
}

std::string JoinHdfsPath(const std::string& root, const std::string& entryPath) {
    if (entryPath == ".")
        return root;
    return root == "/" ? "/" + entryPath : root + "/" + entryPath;
}

std::string ParentEntryPath(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string LastComponent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsValidEntryPath(const std::string& path) {
    if (path == ".")
        return true;
    if (path.empty() || path.find('\0') != std::string::npos)
        return false;
    size_t pos = 0;
    while (pos < path.size()) {
        std::string_view component = NextComponent(path, pos);
        if (component.empty() || component == "." || component == "..")
            return false;
    }
    return path.back() != '/';
}

bool IsValidUtf8(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        size_t length = 0;
        uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (size - i < length)
            return false;
        for (size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (bytes[i + k] & 0x3F);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

bool IsValidNameNode(const std::string& text) {
    if (text == "default")
        return true;
    std::string_view rest(text);
    if (rest.substr(0, 7) == "hdfs://")
        rest.remove_prefix(7);
    const size_t colon = rest.find(':');
    const std::string_view host = rest.substr(0, colon);
    if (host.empty())
        return false;
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            return false;
    if (colon == std::string_view::npos)
        return true;
    const std::string_view port = rest.substr(colon + 1);
    if (port.empty() || port.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : port) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

bool NormalizeHdfsPath(const std::string& text, std::string& normalized) {
    if (text.empty() || text[0] != '/' || text.find('\0') != std::string::npos)
        return false;
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('/', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string_view component(text.data() + pos, end - pos);
        pos = end + 1;
        if (component.empty())
            continue;
        if (component == "." || component == "..")
            return false;
        out += "/";
        out += component;
    }
    normalized = out.empty() ? "/" : out;
    return true;
}

bool IsExcluded(const std::vector<std::string>& patterns, const std::string& entryPath) {
    if (entryPath == ".")
        return false;
    const std::string name = LastComponent(entryPath);
    for (const std::string& pattern : patterns) {
        const bool wholePath = pattern.find('/') != std::string::npos;
        const std::string& subject = wholePath ? entryPath : name;
        if (fnmatch(pattern.c_str(), subject.c_str(), wholePath ? FNM_PATHNAME : 0) == 0)
            return true;
    }
    return false;
}

}  // namespace tool
