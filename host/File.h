// Files: FXFile (queries) and CEkFile (an open file; whole-file helpers).
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <list>
#include <string>
#include <vector>

#include "host/Error.h"
#include "host/Export.h"

class HDFSAGENT_API FXFile {
  public:
    // True when `path` exists and is not a directory (follows links).
    static bool DoesFileExist(const std::string& path);
    // Appends to `list` the paths of the entries below `directory` whose last component equals
    // `name` (regular files and links to them; directories are not matched), descending into
    // subdirectories when `recursive` (without following directory links). Order: directory
    // order, depth first. Fails with the errno of the top directory when it cannot be read;
    // unreadable subdirectories are passed over.
    static CEkError GetMatchingFiles(const std::string& directory, const std::string& name,
                                     std::list<std::string>& list, bool recursive);
    // Times of `path` (following links) as time_t: creation (here: status change), last
    // modification, last access; null arguments are not filled. Fails with the stat errno.
    static CEkError GetFileTimes(const std::string& path, time_t* created, time_t* modified,
                                 time_t* accessed);
};

class HDFSAGENT_API CEkFile {
  public:
    CEkFile() = default;
    ~CEkFile();  // closes
    CEkFile(const CEkFile&) = delete;
    CEkFile& operator=(const CEkFile&) = delete;

    // fopen-style modes: "r", "w" (truncate/create), "a" (and their "+" forms). Descriptors are
    // O_CLOEXEC. An open file is closed first. Failures carry errno and "cannot open <path>".
    // Write and Read on a closed object fail with EBADF.
    CEkError Open(const std::string& path, const char* mode);
    CEkError Write(const void* data, uint32_t length);
    CEkError Read(void* data, uint32_t length, uint32_t& read);
    CEkError Close();
    bool IsOpen() const { return m_pFile != nullptr; }

    // The whole file into `buffer` (a NUL byte is appended after `size` bytes).
    static CEkError ReadWholeFile(const std::string& path, std::vector<char>& buffer, size_t& size);
    static CEkError ReadWholeFile(const std::string& path, std::string& content);
    // Copies `source` to `target` (through a temporary file in the target's directory renamed
    // into place; the target keeps the source's mode).
    static CEkError Copy(const std::string& source, const std::string& target);
    // Replaces `path` atomically with `content`: temporary file "<dir>/.<name>.tmp.XXXXXX" in
    // the same directory, fsync, rename, fsync of the directory. `mode` < 0 keeps the existing
    // file's mode (0644 for a new file). On failure `path` is unchanged and the temporary file
    // removed (only a process killed mid-write can leave one behind).
    static CEkError WriteAtomically(const std::string& path, const std::string& content,
                                    int mode = -1);
    // Writes all `length` bytes to `fd`, continuing after EINTR and short writes; false with
    // errno on a write error.
    static bool WriteAll(int fd, const void* data, size_t length);

  private:
    FILE* m_pFile = nullptr;
    std::string m_sPath;
};
