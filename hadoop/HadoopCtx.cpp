#include "hadoop/HadoopCtx.h"

#include <errno.h>
#include <stdlib.h>

#include <cstdlib>
#include <mutex>
#include <new>

#include "hadoop/HadoopCommon.h"
#include "hadoop/HadoopConnection.h"
#include "host/Log.h"
#include "host/NamedMutex.h"
#include "host/Process.h"
#include "host/Settings.h"
#include "host/Strings.h"

namespace {

const int kOperationFailed = 1627;
const int kNotConnected = 107;
const char kSetUpMutexName[] = "CreateHadoopInstNamedMutex";
const char kClasspathFailed[] =
    "Failed to set CLASSPATH environment, please check logs for more details";

// The class path output travels to the normalising shell through the environment, never as
// command text, so nothing in it is run.
const char kClasspathVariable[] = "HDFSAGENT_HADOOP_CLASSPATH";
// `hadoop classpath` is a shell script that answers in a second or two.
const long kClasspathTimeoutMs = 5 * 60 * 1000;
// Lists the entries one per line (split at ":" and blanks, wildcards expanded by the shell),
// sorts them, drops duplicates and joins them again, each preceded by ":".
const char kNormaliseClasspath[] =
    "for i in $(printf '%s\\n' \"$HDFSAGENT_HADOOP_CLASSPATH\" | sed -e \"s/:/ /g\"); do echo $i; "
    "done | sort | uniq | awk '{val=val\":\"$1} END {print val}'";

bool IsBlank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

CEkError ClasspathFailure(const FXCodeLocation& location) {
    return FXErrorUtil::ErrorWin32(location, kOperationFailed, kClasspathFailed);
}

// Runs `command` for its output: a status other than 0 or an output of blanks only fails with
// the class path error, logged with the command.
CEkError RunForClasspath(const std::string& command, const DxRunOptions& options,
                         std::string& out) {
    std::string err;
    int status = DxProcess::system(command, &out, &err, options);
    if (status != 0) {
        DXLOG(-1, "Failed to execute '%s', iRet=%d", command.c_str(), status);
        if (!err.empty())
            DXLOG(-1, "Standard error of '%s': %s", command.c_str(), err.c_str());
        return ClasspathFailure(FX_LOCATION);
    }
    if (IsBlank(out)) {
        DXLOG(-1, "Empty results returned by command='%s'", command.c_str());
        return ClasspathFailure(FX_LOCATION);
    }
    return CEkError();
}

// The link specification saved by an earlier set-up; empty when there is none.
std::string SavedLinkSpecification() {
    std::string spec;
    DXPlatformInfo::getString("FileSystemAgent", "HDP_LIB_PATH", spec);
    return spec;
}

CEkError LinkSpecificationOf(const CHadoopInstancePtr& instance, std::string& spec) {
    if (!instance)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "No Hadoop instance given");
    spec = instance->m_sHadoopNativeLibPath + ":" + instance->m_sJvmLibPath;
    return CEkError();
}

CEkError SetClasspathAndLinks(const std::string& spec, const std::string& logConfigDir) {
    CEkError error = SetClasspath(logConfigDir);
    if (error.Failed())
        return error.Push(FX_LOCATION);
    error = CreateLibraryLinks(spec);
    if (error.Failed())
        return error.Push(FX_LOCATION);
    return CEkError();
}

// Logs a set-up failure the way the context reports it: the short form, then every frame.
void LogSetUpFailure(const CEkError& error) {
    DXLOG(-1, "%s: %s", error.AsString(eErrorFormatShort).c_str(), error.AsString().c_str());
}

}  // namespace

CEkError SetClasspath(const std::string& prefix) {
    const std::string command = GetHadoopCommand("hadoop") + " classpath";
    DXLOG(0, "Getting Hadoop classpath, command='%s'", command.c_str());
    std::string classpath;
    // A hadoop program that hangs must not hold the set-up (and its named mutex) for ever.
    DxRunOptions bounded;
    bounded.timeoutMs = kClasspathTimeoutMs;
    FXMillisecondsFromEnvironment("HDFSAGENT_CLASSPATH_TIMEOUT_MS", bounded.timeoutMs);
    CEkError error = RunForClasspath(command, bounded, classpath);
    if (error.Failed())
        return error.Push(FX_LOCATION);

    DxRunOptions options;
    options.environment[kClasspathVariable] = classpath;
    std::string value;
    error = RunForClasspath(kNormaliseClasspath, options, value);
    if (error.Failed())
        return error.Push(FX_LOCATION);
    FXString::TrimRight(value, "\n");
    value = prefix + value;

    DXLOG(0, "Setting CLASSPATH='%s'", value.c_str());
    int result = setenv("CLASSPATH", value.c_str(), 1);
    if (result != 0) {
        DXLOG(-1, "Failed to set CLASSPATH, error=%d", result);
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed,
                                       "Failed to set CLASSPATH, please check logs for more "
                                       "details");
    }
    return CEkError();
}

CEkError CheckAndSetHadoopEnv(unsigned long instanceId, const std::string& logConfigDir) {
    std::string spec = SavedLinkSpecification();
    if (spec.empty()) {
        DXLOG(0, "Will try to set Hadoop environment now!!!");
        CHadoopInstancePtr instance;
        CEkError error =
            CHadoopInstanceCtx::GetInstance()->CreateHDPInstance(instanceId, &instance);
        if (error.Failed())
            return error.Push(FX_LOCATION);
        error = LinkSpecificationOf(instance, spec);
        if (error.Failed())
            return error.Push(FX_LOCATION);
    }
    CEkError error = SetClasspathAndLinks(spec, logConfigDir);
    return error.Push(FX_LOCATION);
}

CEkError CheckAndSetHadoopEnv(CHadoopInstancePtr instance, const std::string& logConfigDir) {
    std::string spec = SavedLinkSpecification();
    if (spec.empty()) {
        CEkError error = LinkSpecificationOf(instance, spec);
        if (error.Failed())
            return error.Push(FX_LOCATION);
    }
    CEkError error = SetClasspathAndLinks(spec, logConfigDir);
    return error.Push(FX_LOCATION);
}

// ---------------------------------------------------------------------------------------------

CHadoopCtx::CHadoopCtx() = default;

boost::shared_ptr<CHadoopCtx> CHadoopCtx::GetInstance() {
    static boost::shared_ptr<CHadoopCtx> s_pInstance(new CHadoopCtx);
    return s_pInstance;
}

CHadoopFSPtr CHadoopCtx::GetHadoopFSInstance() {
    hdfsagent::MutexLock guard(m_oLock);
    return m_pHadoopFS;
}

void CHadoopCtx::Hold(const CHadoopFSPtr& fs) {
    // Exit handlers run in the reverse order of their registration: registered now, after
    // libhdfs has been loaded and connected, this one runs before libhdfs's own.
    static std::once_flag s_registered;
    std::call_once(s_registered, []() { std::atexit(&CHadoopCtx::ReleaseAtExit); });
    hdfsagent::MutexLock guard(m_oLock);
    m_pHadoopFS = fs;
}

void CHadoopCtx::ReleaseAtExit() {
    CHadoopFSPtr released;
    {
        boost::shared_ptr<CHadoopCtx> ctx = GetInstance();
        hdfsagent::MutexLock guard(ctx->m_oLock);
        released.swap(ctx->m_pHadoopFS);
    }
    // Destroyed here, outside the lock: the last reference disconnects and removes the links.
}

bool CHadoopCtx::HandOutExisting(CHadoopFSPtr* fs) {
    CHadoopFSPtr existing = GetHadoopFSInstance();
    if (!existing)
        return false;
    if (fs != nullptr)
        *fs = existing;
    return true;
}

CEkError CHadoopCtx::CreateHadoopFSInstance(CHadoopInstancePtr instance,
                                            const std::string& nameNode, std::string user,
                                            CHadoopFSPtr* fs, std::string logConfigDir) {
    CEkError error = CreateWithEnvironment(
        [&instance, &logConfigDir]() { return CheckAndSetHadoopEnv(instance, logConfigDir); },
        nameNode, user, fs, logConfigDir);
    return error.Push(FX_LOCATION);
}

CEkError CHadoopCtx::CreateHadoopFSInstance(unsigned long instanceId, const std::string& nameNode,
                                            std::string user, CHadoopFSPtr* fs,
                                            std::string logConfigDir) {
    CEkError error = CreateWithEnvironment(
        [instanceId, &logConfigDir]() { return CheckAndSetHadoopEnv(instanceId, logConfigDir); },
        nameNode, user, fs, logConfigDir);
    return error.Push(FX_LOCATION);
}

CEkError CHadoopCtx::CreateWithEnvironment(const std::function<CEkError()>& checkAndSetEnv,
                                           const std::string& nameNode, const std::string& user,
                                           CHadoopFSPtr* fs, const std::string& logConfigDir) {
    // The agent calls this across the library boundary: nothing may escape as an exception.
    try {
        if (HandOutExisting(fs))
            return CEkError();
        if (EnableNativeHadoopLogging(logConfigDir).Failed())
            DXLOG(-1, "Native Hadoop logging cannot be enabled");

        DxNamedMutex mutex(kSetUpMutexName);
        CEkError error = mutex.lock();
        if (error.Failed()) {
            error.Push(FX_LOCATION, "Cannot take the named mutex '%s'", kSetUpMutexName);
            LogSetUpFailure(error);
            return error;
        }
        // Another caller may have finished the set-up while this one waited for the mutex.
        if (HandOutExisting(fs))
            return CEkError();
        error = SetUpUnderNamedMutex(checkAndSetEnv, nameNode, user, logConfigDir);
        if (error.Failed())
            return error.Push(FX_LOCATION);
        mutex.unlock();
        HandOutExisting(fs);
        return CEkError();
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOMEM, "Hadoop file system set-up failed");
    } catch (const std::exception& e) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed,
                                       "Hadoop file system set-up failed: %s", e.what());
    }
}

CEkError CHadoopCtx::SetUpUnderNamedMutex(const std::function<CEkError()>& checkAndSetEnv,
                                          const std::string& nameNode, const std::string& user,
                                          const std::string& logConfigDir) {
    CEkError error = checkAndSetEnv();
    if (error.Failed()) {
        error.Push(FX_LOCATION, "Hadoop library initialized failed");
        LogSetUpFailure(error);
        return error;
    }
    error = CHadoopFS::Init();
    if (error.Failed()) {
        error.Push(FX_LOCATION, "Hadoop library initialization failed");
        LogSetUpFailure(error);
        return error;
    }

    CHadoopFSPtr created(new CHadoopFS(nameNode, user));
    if (!created->m_pConnection->m_bGood) {
        // Discarding the object removes the links; emptying the registry makes the next
        // attempt fetch the instance configuration again.
        created.reset();
        CHadoopInstanceCtx::GetInstance()->ReleaseHDPInstance();
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, kNotConnected, "HadoopConnection failed");
    }
    Hold(created);
    if (ResetNativeHadoopLogLevel(logConfigDir).Failed())
        DXLOG(-1, "Native Hadoop logging level cannot be reset");
    return CEkError();
}
