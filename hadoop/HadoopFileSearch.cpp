#include "hadoop/HadoopFileSearch.h"

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <vector>

#include "host/File.h"
#include "host/Log.h"
#include "host/Path.h"
#include "host/Process.h"
#include "host/Strings.h"

namespace {

const long kLocateTimeoutMs = 60 * 1000;

// The deadline for locate; tests shorten it through the environment.
long LocateTimeoutMs() {
    long value = 0;
    return FXMillisecondsFromEnvironment("HDFSAGENT_LOCATE_TIMEOUT_MS", value) && value > 0
               ? value
               : kLocateTimeoutMs;
}

bool IsSymbolicLink(const std::string& path) {
    struct stat st;
    return TempFsUTF::lstat_utf(path, st) == 0 && S_ISLNK(st.st_mode);
}

// The physical path of a candidate; false when it is a link that cannot be followed.
bool ResolveCandidate(const std::string& candidate, std::string& resolved) {
    if (!IsSymbolicLink(candidate)) {
        resolved = candidate;
        return true;
    }
    bool isLink = false;
    std::list<std::string> chain;
    return UnixSymbolicLink::getPhysicalPath(candidate, resolved, isLink, chain, false, false)
        .Succeeded();
}

CEkError NotFound(const FXCodeLocation& location) {
    return FXErrorUtil::ErrorErrNo(location, ENOENT);
}

}  // namespace

std::string GetIdealPath(const std::list<std::string>& candidates) {
    long long bestSize = 0;
    std::string bestPath;
    for (const std::string& candidate : candidates) {
        std::string resolved;
        if (candidate.empty() || !ResolveCandidate(candidate, resolved))
            continue;
        std::string parent, name;
        if (FXPath::SplitParentPath(resolved, parent, name).Failed())
            continue;
        struct stat st;
        if (TempFsUTF::lstat_utf(FXPath::Append(parent, name), st) != 0)
            continue;
        // Only a file can be the library; a directory whose name matches is not an answer.
        if (!S_ISREG(st.st_mode))
            continue;
        if (static_cast<long long>(st.st_size) > bestSize) {
            bestSize = st.st_size;
            bestPath = resolved;
        }
    }
    if (bestPath.empty())
        return "";
    std::string parent, name;
    (void)FXPath::SplitParentPath(bestPath, parent, name);
    return parent;
}

CEkError Search(const std::string& path, const std::string& name, std::string& result) {
    if (path.empty())
        return NotFound(FX_LOCATION);
    result.clear();
    std::list<std::string> list;
    CEkError err = FXFile::GetMatchingFiles(path, name, list, true);
    if (err.Failed() || list.empty()) {
        DXLOG(-1, "Failed to find %s in path %s", name.c_str(), path.c_str());
        return NotFound(FX_LOCATION);
    }
    result = GetIdealPath(list);
    if (result.empty())
        return NotFound(FX_LOCATION);
    DXLOG(0, "%s path: '%s'", name.c_str(), result.c_str());
    return CEkError();
}

CEkError Locate(const std::string& name, std::string& result) {
    DxProcess process;
    process.SetCaptureStdout(true);
    process.SetCaptureStderr(true);
    // An argument vector keeps the name one argument whatever it holds.
    std::string message;
    if (!process.StartProcess("locate", std::vector<std::string>{"locate", name}, &message, 0)) {
        DXLOG(-1, "locate command failed. Failed to locate %s", name.c_str());
        return NotFound(FX_LOCATION);
    }

    const pid_t pid = process.GetPid();
    message.clear();
    int exitStatus = 0;
    if (!process.WaitForProcessToEndMs(&exitStatus, &message, LocateTimeoutMs())) {
        if (message == "timedout") {
            DXLOG(-1, "locate command taking too long. Aborting");
            if (kill(pid, SIGKILL) != 0)
                DXLOG(-1, "Failed to kill pid '%d'", static_cast<int>(pid));
            // Reaping keeps the killed child from lingering as a zombie.
            process.KillAndReap();
        } else {
            DXLOG(-1, "Failed to run command. error %s", message.c_str());
        }
        return NotFound(FX_LOCATION);
    }

    if (exitStatus != 0) {
        DXLOG(-1, "Failed to run command. error %s", process.GetStderr().c_str());
        return NotFound(FX_LOCATION);
    }
    std::list<std::string> list;
    FXString::Split(process.GetStdout(), "\n", list, 0);
    result = GetIdealPath(list);
    if (result.empty())
        return NotFound(FX_LOCATION);
    DXLOG(0, "%s path: '%s'", name.c_str(), result.c_str());
    return CEkError();
}
