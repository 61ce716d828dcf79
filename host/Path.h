// Paths: FXPath, CEkPath, UnixSymbolicLink, TempFsUTF and the UTF-8 path calls.
//
// Paths are UTF-8 std::strings. The local multibyte encoding of this library is UTF-8, so
// utfToMbe returns its input unchanged (a valid conversion point for hosts that differ).
#pragma once

#include <sys/stat.h>

#include <list>
#include <string>

#include "host/Error.h"
#include "host/Export.h"

class HDFSAGENT_API FXPath {
  public:
    // Joins with exactly one "/": Append("a/", "/b") == "a/b"; an empty side gives the other.
    static std::string Append(const std::string& left, const std::string& right);
    // lstat-free existence test (follows links): true when stat() succeeds.
    static bool DoesPathExist(const std::string& path);
    // The same, without following a final symbolic link when `followLinks` is false.
    static bool DoesPathExist(const std::string& path, bool followLinks);
    // "/a/b/c" -> "/a/b" + "c"; "/a/b/" -> "/a" + "b" (trailing slashes ignored);
    // "c" -> "" + "c"; "/c" -> "/" + "c"; "/" -> "" + "/". Fails with EINVAL on an empty path.
    static CEkError SplitParentPath(const std::string& path, std::string& parent,
                                    std::string& name);
    // True when `path` lies below `ancestor` (component-wise: "/a" is not an ancestor of
    // "/ab"). With `orEqual`, a path equal to the ancestor counts too. Trailing and doubled
    // slashes are ignored on both sides; "/" is the ancestor of every absolute path. Purely
    // lexical: "." and ".." are not resolved, an absolute path never lies below a relative one,
    // and an empty side gives false.
    static bool IsAncestorOf(const std::string& ancestor, const std::string& path,
                             bool orEqual = false);
};

// A path value with the host's accessors.
class HDFSAGENT_API CEkPath {
  public:
    explicit CEkPath(std::string path) : m_sPath(std::move(path)) {}
    // The parent directory as SplitParentPath gives it ("" when none).
    std::string GetParent() const;
    std::string GetName() const;
    const std::string& str() const { return m_sPath; }

  private:
    std::string m_sPath;
};

class HDFSAGENT_API UnixSymbolicLink {
  public:
    // Resolves every symbolic link in `path` (the whole chain, every component) to the physical
    // path (realpath semantics). `isLink` tells whether `path` itself was a link; `chain`
    // receives the targets of the links met while following `path` itself, in order (relative
    // targets joined to their link's directory, not normalised). The last two flags are kept for
    // the host's signature. Fails with the realpath errno (ENOENT for a dangling link).
    static CEkError getPhysicalPath(const std::string& path, std::string& physical, bool& isLink,
                                    std::list<std::string>& chain, bool unused1 = false,
                                    bool unused2 = true);
};

class HDFSAGENT_API TempFsUTF {
  public:
    // lstat for a UTF-8 path: 0, or -1 with errno.
    static int lstat_utf(const std::string& path, struct stat& st);
};

HDFSAGENT_API std::string utfToMbe(const std::string& utf8);
HDFSAGENT_API std::string utfToMbe(const char* utf8);
// symlink(target, linkPath) / unlink(path) for UTF-8 paths: 0, or -1 with errno.
HDFSAGENT_API int symlink_utf(const std::string& target, const std::string& linkPath);
HDFSAGENT_API int unlink_utf(const std::string& path);
