#include "host/SettingsStore.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <vector>

#include "host/File.h"
#include "host/Path.h"
#include "host/Strings.h"

namespace {

const char* const kBlanks = " \t\r";

// One line of the settings file as the reader understands it.
struct ParsedLine {
    enum Kind { kBlank, kComment, kSection, kKeyValue, kMalformed } kind = kBlank;
    std::string name;  // section name or key
    std::string value;
};

ParsedLine ParseLine(const std::string& raw) {
    ParsedLine line;
    std::string text = raw;
    FXString::Trim(text, kBlanks);
    if (text.empty())
        return line;
    if (text[0] == ';' || text[0] == '#') {
        line.kind = ParsedLine::kComment;
        return line;
    }
    if (text[0] == '[') {
        if (text.back() != ']' || text.size() < 3) {
            line.kind = ParsedLine::kMalformed;
            return line;
        }
        line.kind = ParsedLine::kSection;
        line.name = text.substr(1, text.size() - 2);
        FXString::Trim(line.name, kBlanks);
        if (line.name.empty())
            line.kind = ParsedLine::kMalformed;
        return line;
    }
    size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        line.kind = ParsedLine::kMalformed;
        return line;
    }
    line.kind = ParsedLine::kKeyValue;
    line.name = text.substr(0, equals);
    line.value = text.substr(equals + 1);
    FXString::Trim(line.name, kBlanks);
    FXString::Trim(line.value, kBlanks);
    if (line.name.empty())
        line.kind = ParsedLine::kMalformed;
    return line;
}

// The file's lines without their "\n"; `endsWithNewline` tells whether the last one had it.
std::vector<std::string> SplitLines(const std::string& text, bool& endsWithNewline) {
    std::vector<std::string> lines;
    FXString::Split(text, "\n", lines);
    endsWithNewline = !text.empty() && text.back() == '\n';
    if (endsWithNewline)
        lines.pop_back();
    return lines;
}

std::string ReadSettingsText() {
    std::string text;
    // A missing or unreadable file reads as "no keys".
    (void)CEkFile::ReadWholeFile(DXSettingsStore::FilePath(), text);
    return text;
}

bool Lookup(const std::string& section, const std::string& key, std::string& out,
            std::vector<std::string>& problems) {
    auto settings = DXSettingsStore::Parse(ReadSettingsText(), problems);
    auto s = settings.find(section);
    if (s == settings.end())
        return false;
    auto k = s->second.find(key);
    if (k == s->second.end())
        return false;
    out = k->second;
    return true;
}

// Names and values must survive a round trip through one line of the file.
CEkError CheckWritable(const std::string& section, const std::string& key,
                       const std::string* value) {
    auto bad = [](const std::string& s, const char* forbidden) {
        return s.find_first_of(forbidden) != std::string::npos;
    };
    std::string trimmedKey = key, trimmedSection = section;
    FXString::Trim(trimmedKey, kBlanks);
    FXString::Trim(trimmedSection, kBlanks);
    if (trimmedSection.empty() || trimmedSection != section || bad(section, "\n\r[]"))
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "invalid settings section name '%s'",
                                       section.c_str());
    if (trimmedKey.empty() || trimmedKey != key || bad(key, "\n\r=") || key[0] == '[' ||
        key[0] == ';' || key[0] == '#')
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "invalid settings key '%s'",
                                       key.c_str());
    if (value && bad(*value, "\n\r"))
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL,
                                       "a settings value cannot hold a line break (key '%s')",
                                       key.c_str());
    return CEkError();
}

// Holds the exclusive flock on "<settings file>.lock" for the scope.
class SettingsFileLock {
  public:
    SettingsFileLock() = default;
    ~SettingsFileLock() {
        if (m_fd >= 0)
            close(m_fd);  // closing the description drops the flock
    }
    SettingsFileLock(const SettingsFileLock&) = delete;
    SettingsFileLock& operator=(const SettingsFileLock&) = delete;

    CEkError Acquire(const std::string& settingsPath) {
        std::string lockPath = settingsPath + ".lock";
        m_fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0)
            return FXErrorUtil::ErrorErrNo(
                FX_LOCATION, errno, "cannot open the settings lock file %s", lockPath.c_str());
        while (flock(m_fd, LOCK_EX) != 0) {
            if (errno == EINTR)
                continue;
            return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot lock %s", lockPath.c_str());
        }
        return CEkError();
    }

  private:
    int m_fd = -1;
};

// Temporary files of a writer that died mid-write; only writers holding the lock create them,
// so while we hold it every one that exists is stale.
void RemoveStaleTemporaryFiles(const std::string& settingsPath) {
    std::string parent, name;
    if (FXPath::SplitParentPath(settingsPath, parent, name).Failed())
        return;
    std::string prefix = "." + name + ".tmp.";
    DIR* dir = opendir(parent.empty() ? "." : parent.c_str());
    if (!dir)
        return;
    while (struct dirent* entry = readdir(dir)) {
        std::string entryName = entry->d_name;
        if (FXString::StartsWith(entryName, prefix) &&
            entryName.size() == prefix.size() + 6)  // the mkostemp suffix
            unlink(FXPath::Append(parent, entryName).c_str());
    }
    closedir(dir);
}

// Sets (value != null) or removes (value == null) `key` in `section` of the file's text, keeping
// every other line as it is.
std::string EditLines(const std::string& text, const std::string& section, const std::string& key,
                      const std::string* value) {
    bool endsWithNewline = false;
    std::vector<std::string> lines = SplitLines(text, endsWithNewline);
    std::vector<std::string> result;
    result.reserve(lines.size() + 3);
    std::string current;
    bool inSection = false;
    bool written = false;
    long insertAfter = -1;  // index in `result` after which a new key goes
    for (const std::string& raw : lines) {
        ParsedLine line = ParseLine(raw);
        if (line.kind == ParsedLine::kSection) {
            current = line.name;
            inSection = current == section;
            result.push_back(raw);
            if (inSection)
                insertAfter = static_cast<long>(result.size()) - 1;
            continue;
        }
        if (inSection && line.kind == ParsedLine::kKeyValue && line.name == key) {
            if (value) {
                result.push_back(key + "=" + *value);
                written = true;
                insertAfter = static_cast<long>(result.size()) - 1;
            }
            continue;  // removed
        }
        result.push_back(raw);
        if (inSection && line.kind == ParsedLine::kKeyValue)
            insertAfter = static_cast<long>(result.size()) - 1;
    }
    if (value && !written) {
        if (insertAfter >= 0) {
            result.insert(result.begin() + insertAfter + 1, key + "=" + *value);
        } else {
            if (!result.empty() && !result.back().empty())
                result.push_back("");
            result.push_back("[" + section + "]");
            result.push_back(key + "=" + *value);
            endsWithNewline = true;
        }
    }
    std::string out;
    for (size_t i = 0; i < result.size(); ++i) {
        out += result[i];
        if (i + 1 < result.size() || endsWithNewline)
            out += "\n";
    }
    return out;
}

CEkError Update(const std::string& section, const std::string& key, const std::string* value) {
    CEkError err = CheckWritable(section, key, value);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    std::string path = DXSettingsStore::FilePath();
    SettingsFileLock lock;
    err = lock.Acquire(path);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    // A settings file that is a symbolic link is rewritten where the link points, so the link
    // survives; the lock stays on the configured name, which every writer uses.
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved) {
        path = resolved;
        free(resolved);
    }
    RemoveStaleTemporaryFiles(path);

    std::string text;
    err = CEkFile::ReadWholeFile(path, text);
    // Rewriting a file we could not read would drop every other key.
    if (err.Failed() && !FXErrorUtil::IsErrNo(err, ENOENT))
        return err.Push(FX_LOCATION);
    std::string edited = EditLines(text, section, key, value);
    if (edited == text && err.Succeeded())
        return CEkError();
    err = CEkFile::WriteAtomically(path, edited);
    if (err.Failed())
        return err.Push(FX_LOCATION, "cannot write setting [%s] %s to %s", section.c_str(),
                        key.c_str(), path.c_str());
    return CEkError();
}

std::string HomeDirectory() {
    const char* home = getenv("HDFSAGENT_HOME");
    std::string path = home && *home ? home : "/opt/hdfsagent";
    size_t last = path.find_last_not_of('/');
    return last == std::string::npos ? std::string("/") : path.substr(0, last + 1);
}

}  // namespace

std::string DXSettingsStore::FilePath() {
    const char* path = getenv("HDFSAGENT_SETTINGS");
    if (path && *path)
        return path;
    return FXPath::Append(DXPI_Base::getHomeDirectory(), "settings.ini");
}

bool DXSettingsStore::Read(const std::string& section, const std::string& key, std::string& out,
                           std::vector<std::string>& problems) {
    return Lookup(section, key, out, problems);
}

bool DXSettingsStore::ReadNumber(const std::string& section, const std::string& key, long& out,
                                 std::vector<std::string>& problems) {
    std::string text;
    if (!Lookup(section, key, text, problems) || text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long number = strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0') {
        problems.push_back(FXString::Format("setting [%s] %s is not a number: '%s'",
                                            section.c_str(), key.c_str(), text.c_str()));
        return false;
    }
    out = number;
    return true;
}

CEkError DXSettingsStore::Write(const std::string& section, const std::string& key,
                                const std::string* value) {
    CEkError err = Update(section, key, value);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    return CEkError();
}

DXSettingsStore::Settings DXSettingsStore::Parse(const std::string& text,
                                                 std::vector<std::string>& problems) {
    Settings settings;
    bool endsWithNewline = false;
    std::vector<std::string> lines = SplitLines(text, endsWithNewline);
    std::string section;
    for (size_t i = 0; i < lines.size(); ++i) {
        ParsedLine line = ParseLine(lines[i]);
        switch (line.kind) {
            case ParsedLine::kSection:
                section = line.name;
                break;
            case ParsedLine::kKeyValue:
                // A later line for the same key wins, as a reader of the file would expect.
                settings[section][line.name] = line.value;
                break;
            case ParsedLine::kMalformed:
                problems.push_back(FXString::Format(
                    "settings line %zu is malformed and skipped: '%s'", i + 1, lines[i].c_str()));
                break;
            default:
                break;
        }
    }
    return settings;
}

CEkError DXSettingsStore::EditText(const std::string& text, const std::string& section,
                                   const std::string& key, const std::string* value,
                                   std::string& edited) {
    edited.clear();
    CEkError err = CheckWritable(section, key, value);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    edited = EditLines(text, section, key, value);
    return CEkError();
}

std::string DXPI_Base::getHomeDirectory() {
    return HomeDirectory();
}

DXPI_EventManager::DXPI_EventManager(int /*unused1*/, int /*unused2*/) {}

std::string DXPI_EventManager::getLogFilesDirectory() const {
    const char* dir = getenv("HDFSAGENT_LOG_DIR");
    if (dir && *dir)
        return dir;
    std::string home = DXPI_Base::getHomeDirectory();
    if (home.empty())
        return std::string();
    return FXPath::Append(home, "log");
}
