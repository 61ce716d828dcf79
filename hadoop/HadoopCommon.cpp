#include "hadoop/HadoopCommon.h"

#include <sys/stat.h>
#include <unistd.h>

#include <list>
#include <vector>

#include "hadoop/HadoopProperties.h"
#include "host/File.h"
#include "host/Log.h"
#include "host/Path.h"
#include "host/Process.h"
#include "host/Settings.h"
#include "host/ShellQuote.h"
#include "host/Strings.h"

namespace {

const char kAgentSection[] = "FileSystemAgent";
const char kEventManagerSection[] = "EventManager";
const char kNativeLogFile[] = "log4j.properties";
const char kNativeLogTemplate[] = "dxhadoopnativelog4j.properties";

std::string ProgramInConfiguredDirectory(const char* settingKey, const std::string& name) {
    std::string directory;
    DXPlatformInfo::getString(kAgentSection, settingKey, directory);
    if (directory.empty())
        return name;
    // Quoting only changes a program path the shell would otherwise split or interpret.
    return ShellQuote(FXPath::Append(directory, name));
}

}  // namespace

std::string GetHadoopCommand(const std::string& name) {
    return ProgramInConfiguredDirectory("sHadoopBinPath", name);
}

std::string GetHBaseCommand(const std::string& name) {
    return ProgramInConfiguredDirectory("sHBaseBinPath", name);
}

CEkError GetHDPversionArg(std::string& arg) {
    arg.clear();
    std::string command = GetHadoopCommand("hdp-select") + " -v";
    std::string out, err;
    if (DxProcess::system(command, &out, &err, 0, false) == 0) {
        arg = "-Dhdp.version=" + out;
        FXString::TrimRight(arg, "\n");
    }
    return CEkError();
}

// ---------------------------------------------------------------------------------------------
// The property-file editor.

namespace hdfsagent {
namespace properties {
namespace {

// Java property files separate with blanks, tabs and form feeds.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\f';
}

struct PhysicalLine {
    size_t begin;     // first byte of the line
    size_t length;    // bytes before the line end
    std::string end;  // "\n", "\r\n" or "" (last line without a line end)
};

// Lines end as Java reads them: "\n", "\r\n" or a lone "\r".
std::vector<PhysicalLine> SplitLines(const std::string& content) {
    std::vector<PhysicalLine> lines;
    size_t begin = 0;
    while (begin < content.size()) {
        size_t end = content.find_first_of("\r\n", begin);
        if (end == std::string::npos) {
            lines.push_back({begin, content.size() - begin, ""});
            break;
        }
        std::string lineEnd = "\n";
        if (content[end] == '\r')
            lineEnd = end + 1 < content.size() && content[end + 1] == '\n' ? "\r\n" : "\r";
        lines.push_back({begin, end - begin, lineEnd});
        begin = end + lineEnd.size();
    }
    return lines;
}

// A line ending in an odd number of backslashes continues on the next line.
bool ContinuesOnNextLine(const std::string& content, const PhysicalLine& line) {
    size_t backslashes = 0;
    while (backslashes < line.length && content[line.begin + line.length - 1 - backslashes] == '\\')
        ++backslashes;
    return backslashes % 2 == 1;
}

size_t FirstNonBlank(const std::string& content, const PhysicalLine& line) {
    size_t i = 0;
    while (i < line.length && IsBlank(content[line.begin + i]))
        ++i;
    return i;
}

bool IsComment(const std::string& content, const PhysicalLine& line) {
    size_t i = FirstNonBlank(content, line);
    return i < line.length && (content[line.begin + i] == '#' || content[line.begin + i] == '!');
}

// Optional blanks, the key exactly, optional blanks, then "=" or ":".
bool DefinesKey(const std::string& content, const PhysicalLine& line, const std::string& key) {
    size_t i = FirstNonBlank(content, line);
    if (line.length - i < key.size() || content.compare(line.begin + i, key.size(), key) != 0)
        return false;
    i += key.size();
    while (i < line.length && IsBlank(content[line.begin + i]))
        ++i;
    return i < line.length && (content[line.begin + i] == '=' || content[line.begin + i] == ':');
}

std::string DominantLineEnd(const std::vector<PhysicalLine>& lines) {
    for (const PhysicalLine& line : lines)
        if (!line.end.empty())
            return line.end;
    return "\n";
}

}  // namespace

bool IsValidKey(const std::string& key) {
    if (key.empty() || key[0] == '#' || key[0] == '!')
        return false;
    return key.find_first_of(" \t\f\v\r\n=:\\") == std::string::npos;
}

bool IsValidValue(const std::string& value) {
    if (value.find_first_of("\r\n") != std::string::npos)
        return false;
    // A value ending in an odd number of backslashes would swallow the next line.
    size_t backslashes = 0;
    while (backslashes < value.size() && value[value.size() - 1 - backslashes] == '\\')
        ++backslashes;
    return backslashes % 2 == 0;
}

std::string SetProperty(const std::string& content, const std::string& key,
                        const std::string& value) {
    const std::vector<PhysicalLine> lines = SplitLines(content);
    const std::string lineEnd = DominantLineEnd(lines);
    const std::string pair = key + "=" + value;

    std::string result;
    result.reserve(content.size() + pair.size() + 2);
    bool found = false;
    bool continuationOpenAtEnd = false;
    size_t i = 0;
    while (i < lines.size()) {
        // An entry is one physical line and the lines it continues on (comments never continue).
        size_t last = i;
        if (!IsComment(content, lines[i])) {
            while (last < lines.size() && ContinuesOnNextLine(content, lines[last]))
                ++last;
            if (last == lines.size()) {
                continuationOpenAtEnd = true;
                --last;
            }
        }
        if (DefinesKey(content, lines[i], key)) {
            found = true;
            result += pair;
            result += lines[last].end.empty() ? lineEnd : lines[last].end;
        } else {
            size_t end = lines[last].begin + lines[last].length + lines[last].end.size();
            result.append(content, lines[i].begin, end - lines[i].begin);
        }
        i = last + 1;
    }
    if (found)
        return result;

    // After a final lone "\r" only "\r" can follow: a "\n" would merge with it into one line end.
    const std::string appendEnd =
        !lines.empty() && lines.back().end == "\r" ? std::string("\r") : lineEnd;
    if (!lines.empty() && lines.back().end.empty())
        result += appendEnd;
    // An empty line ends an entry that would otherwise continue onto the new pair.
    if (continuationOpenAtEnd)
        result += appendEnd;
    result += pair;
    result += appendEnd;
    return result;
}

}  // namespace properties
}  // namespace hdfsagent

namespace {

// The file that is actually replaced: the end of a chain of symbolic links, so that the link
// itself survives the edit.
std::string PhysicalFileOf(const std::string& filePath) {
    std::string physical;
    bool isLink = false;
    std::list<std::string> chain;
    if (UnixSymbolicLink::getPhysicalPath(filePath, physical, isLink, chain, false, true)
            .Failed() ||
        physical.empty())
        return filePath;
    return physical;
}

}  // namespace

CEkError AddOrUpdateFieldInConfigFile(const std::string& filePath, const std::string& key,
                                      const std::string& value) {
    namespace props = hdfsagent::properties;
    std::string content;
    CEkError err = CEkFile::ReadWholeFile(filePath, content);
    if (err.Failed())
        return err.Push(FX_LOCATION);

    if (!props::IsValidKey(key))
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "Invalid property key '%s'",
                                       key.c_str());
    if (!props::IsValidValue(value))
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "Invalid property value for '%s'",
                                       key.c_str());

    // Replacing the file through a rename would bypass its permissions: honour a read-only mark.
    const std::string target = PhysicalFileOf(filePath);
    struct stat st;
    if (stat(target.c_str(), &st) != 0)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "cannot stat %s", target.c_str());
    if ((st.st_mode & 0222) == 0 || access(target.c_str(), W_OK) != 0)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EACCES, "'%s' is read-only", filePath.c_str());

    const std::string updated = props::SetProperty(content, key, value);
    DXLOG(3, " Content [%s]", updated.c_str());

    err = CEkFile::WriteAtomically(target, updated, static_cast<int>(st.st_mode & 07777));
    if (err.Failed())
        return err.Push(FX_LOCATION);
    // The replacement belongs to whoever wrote it; give it back to the file's owner.
    if (geteuid() == 0 && (st.st_uid != 0 || st.st_gid != 0) &&
        chown(target.c_str(), st.st_uid, st.st_gid) != 0)
        DXLOG(-1, "Failed to restore the owner of '%s', errno=%d", target.c_str(), errno);
    return CEkError();
}

// ---------------------------------------------------------------------------------------------
// Native Hadoop logging.

namespace {

std::string NativeLogLevelValue(long level) {
    switch (level) {
        case 1:
            return "DEBUG, RFA";
        case 0:
            return "INFO, RFA";
        default:
            return "";
    }
}

// The installed file is refreshed only when the template is known to be newer; when either time
// cannot be read there is nothing to compare, and the file the administrator may have tuned stays.
bool TemplateIsNewer(const std::string& source, const std::string& target) {
    time_t sourceTime = 0, targetTime = 0;
    CEkError sourceErr = FXFile::GetFileTimes(source, nullptr, &sourceTime, nullptr);
    CEkError targetErr = FXFile::GetFileTimes(target, nullptr, &targetTime, nullptr);
    if (sourceErr.Failed() || targetErr.Failed()) {
        const CEkError& err = sourceErr.Failed() ? sourceErr : targetErr;
        DXLOG(-1, "Keeping '%s': cannot read the modification time of '%s'. %s", target.c_str(),
              sourceErr.Failed() ? source.c_str() : target.c_str(),
              err.AsString(eErrorFormatShort).c_str());
        return false;
    }
    return sourceTime > targetTime;
}

}  // namespace

CEkError ResetNativeHadoopLogLevel(const std::string& logConfigDir) {
    if (logConfigDir.empty())
        return CEkError();
    std::string file = FXPath::Append(logConfigDir, kNativeLogFile);
    if (!FXPath::DoesPathExist(file))
        return CEkError();

    long level = 0;
    DXPlatformInfo::getNumber(kEventManagerSection, "DxHadoopNative_DEBUGLEVEL", level);
    CEkError err =
        AddOrUpdateFieldInConfigFile(file, "hadoop.root.logger", NativeLogLevelValue(level));
    if (err.Failed())
        return err.Push(FX_LOCATION, "Failed to update log file in config file");
    return CEkError();
}

CEkError EnableNativeHadoopLogging(const std::string& logConfigDir) {
    if (logConfigDir.empty())
        return CEkError();
    std::string target = FXPath::Append(logConfigDir, kNativeLogFile);
    std::string source =
        FXPath::Append(FXPath::Append(DXPI_Base::getHomeDirectory(), "dxjars"), kNativeLogTemplate);

    bool copy = !FXPath::DoesPathExist(target) || TemplateIsNewer(source, target);
    if (copy) {
        CEkError err = CEkFile::Copy(source, target);
        if (err.Failed())
            return err.Push(FX_LOCATION, "Failed to copy '%s' to '%s'", source.c_str(),
                            target.c_str());
    }

    std::string logDirectory = DXPI_EventManager(0, 1).getLogFilesDirectory();
    if (logDirectory.empty())
        return CEkError();
    CEkError err = AddOrUpdateFieldInConfigFile(target, "hadoop.log.dir", logDirectory);
    if (err.Failed())
        return err.Push(FX_LOCATION, "Failed to update log directory in config file");
    return CEkError();
}
