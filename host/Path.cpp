#include "host/Path.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

namespace {

// Splits a path into its non-empty components (so "//" and trailing slashes vanish).
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > start)
            parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

std::string StripTrailingSlashes(const std::string& path) {
    size_t last = path.find_last_not_of('/');
    return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

}  // namespace

std::string FXPath::Append(const std::string& left, const std::string& right) {
    if (left.empty())
        return right;
    if (right.empty())
        return left;
    size_t leftEnd = left.find_last_not_of('/');
    size_t rightStart = right.find_first_not_of('/');
    std::string head = leftEnd == std::string::npos ? std::string() : left.substr(0, leftEnd + 1);
    std::string tail = rightStart == std::string::npos ? std::string() : right.substr(rightStart);
    return head + "/" + tail;
}

bool FXPath::DoesPathExist(const std::string& path) {
    return DoesPathExist(path, true);
}

bool FXPath::DoesPathExist(const std::string& path, bool followLinks) {
    if (path.empty())
        return false;
    struct stat st;
    return (followLinks ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) == 0;
}

CEkError FXPath::SplitParentPath(const std::string& path, std::string& parent, std::string& name) {
    parent.clear();
    name.clear();
    if (path.empty())
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "empty path");
    std::string trimmed = StripTrailingSlashes(path);
    if (trimmed.empty()) {  // only slashes: the root itself
        name = "/";
        return CEkError();
    }
    size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos) {
        name = trimmed;
        return CEkError();
    }
    name = trimmed.substr(slash + 1);
    parent = StripTrailingSlashes(trimmed.substr(0, slash));
    if (parent.empty())
        parent = "/";
    return CEkError();
}

bool FXPath::IsAncestorOf(const std::string& ancestor, const std::string& path, bool orEqual) {
    if (ancestor.empty() || path.empty())
        return false;
    if ((ancestor[0] == '/') != (path[0] == '/'))
        return false;
    std::vector<std::string> above = Components(ancestor);
    std::vector<std::string> below = Components(path);
    if (below.size() < above.size())
        return false;
    if (below.size() == above.size() && !orEqual)
        return false;
    for (size_t i = 0; i < above.size(); ++i)
        if (above[i] != below[i])
            return false;
    return true;
}

std::string CEkPath::GetParent() const {
    std::string parent, name;
    (void)FXPath::SplitParentPath(m_sPath, parent, name);
    return parent;
}

std::string CEkPath::GetName() const {
    std::string parent, name;
    (void)FXPath::SplitParentPath(m_sPath, parent, name);
    return name;
}

CEkError UnixSymbolicLink::getPhysicalPath(const std::string& path, std::string& physical,
                                           bool& isLink, std::list<std::string>& chain,
                                           bool /*unused1*/, bool /*unused2*/) {
    physical.clear();
    chain.clear();
    isLink = false;
    if (path.empty())
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOENT, "empty path");

    // Walk the chain of links on the path itself, for the caller's information.
    std::string current = path;
    struct stat st;
    for (int hops = 0; lstat(current.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++hops) {
        if (hops == 0)
            isLink = true;
        if (hops >= 40)
            break;  // realpath below reports the loop
        char target[PATH_MAX];
        ssize_t length = readlink(current.c_str(), target, sizeof target - 1);
        if (length < 0)
            break;
        std::string next(target, length);
        if (next[0] != '/') {
            std::string parent, name;
            (void)FXPath::SplitParentPath(current, parent, name);
            next = FXPath::Append(parent, next);
        }
        chain.push_back(next);
        current = next;
    }

    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "realpath(%s)", path.c_str());
    physical = resolved;
    free(resolved);
    return CEkError();
}

int TempFsUTF::lstat_utf(const std::string& path, struct stat& st) {
    return lstat(utfToMbe(path).c_str(), &st);
}

std::string utfToMbe(const std::string& utf8) {
    return utf8;
}

std::string utfToMbe(const char* utf8) {
    return utf8 ? std::string(utf8) : std::string();
}

int symlink_utf(const std::string& target, const std::string& linkPath) {
    return symlink(utfToMbe(target).c_str(), utfToMbe(linkPath).c_str());
}

int unlink_utf(const std::string& path) {
    return unlink(utfToMbe(path).c_str());
}
