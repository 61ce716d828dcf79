// The settings file itself (DXSettingsStore) and the product directories (DXPI_Base,
// DXPI_EventManager): the bottom of the settings stack, below logging. It logs nothing: what it
// finds wrong in the file (a malformed line, a value that is not a number) it hands back to the
// caller as text in `problems`, and the caller decides where that goes. DXPlatformInfo
// (host/Settings.h) is the logging front of this store; the log writer reads its own level here.
//
// Settings live in a human-editable INI file: "[Section]" headers and "key=value" lines; blanks
// around keys and values are trimmed; lines starting with ";" or "#" are comments. The file is
// $HDFSAGENT_SETTINGS, else <product home>/settings.ini. A missing or unreadable file reads as
// "no keys"; a malformed line is skipped. Writes take an exclusive flock on
// "<file>.lock", re-read the file, change one key, keep every other line byte for byte, and
// replace the file atomically (temporary file in the same directory, fsync, rename), so two
// processes writing different keys both keep their writes and a crash leaves the old or the new
// file, never a torn one. Temporary files a killed writer left are removed by the next write.
// A write fails (and changes nothing) when the file exists but cannot be read, when the lock
// file or the temporary file cannot be created (a read-only location: EACCES/EROFS), and with
// EINVAL for a section, key or value that would not read back as itself (see EditText).
// Thread-safe.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/Error.h"
#include "host/Export.h"

class HDFSAGENT_API DXSettingsStore {
  public:
    using Settings = std::map<std::string, std::map<std::string, std::string>>;

    // The settings file path in use.
    static std::string FilePath();

    // `out` receives the value when the key is present (true); unchanged otherwise.
    static bool Read(const std::string& section, const std::string& key, std::string& out,
                     std::vector<std::string>& problems);
    // `out` receives the value when present and a number (decimal, the whole trimmed value, in
    // range of long); unchanged otherwise. True when set; a value that is not a number adds a
    // problem.
    static bool ReadNumber(const std::string& section, const std::string& key, long& out,
                           std::vector<std::string>& problems);
    // Sets `key` to `*value`, or removes it when `value` is null.
    static CEkError Write(const std::string& section, const std::string& key,
                          const std::string* value);

    // Parses INI text into section -> key -> value. Keys before the first section header land
    // in section "". A later line for a key wins. Each malformed line adds a problem.
    static Settings Parse(const std::string& text, std::vector<std::string>& problems);
    // The text edit behind Write, without any file I/O: every line of `section` holding `key`
    // is replaced (or removed); a missing key goes after the section's last key; a missing
    // section is appended. Other lines stay byte for byte. Fails with EINVAL (and leaves
    // `edited` empty) for a section or key that would not read back as itself (empty, blanks
    // around it, "[", "]" or "=" where they do not belong, a line break) and for a value
    // holding a line break.
    static CEkError EditText(const std::string& text, const std::string& section,
                             const std::string& key, const std::string* value, std::string& edited);
};

class HDFSAGENT_API DXPI_Base {
  public:
    // The product home: $HDFSAGENT_HOME, default "/opt/hdfsagent"; no trailing "/".
    static std::string getHomeDirectory();
};

class HDFSAGENT_API DXPI_EventManager {
  public:
    DXPI_EventManager(int unused1 = 0, int unused2 = 1);
    // $HDFSAGENT_LOG_DIR, else <product home>/log. Empty when it cannot be determined.
    std::string getLogFilesDirectory() const;
};
