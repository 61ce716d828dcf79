// Detection of the Hadoop installation and of the directories of libhdfs.so and libjvm.so on
// this machine (members of CHadoopInstance).
#include <list>
#include <string>

#include "hadoop/HadoopCommon.h"
#include "hadoop/HadoopFileSearch.h"
#include "hadoop/HadoopInstance.h"
#include "host/Log.h"
#include "host/Path.h"
#include "host/Process.h"
#include "host/ShellQuote.h"
#include "host/Strings.h"

namespace {

const int kOperationFailed = 1627;
const int kNotFound = 1168;

// Where installations keep libhdfs.so, relative to the installation directory, in order of
// preference.
const char* const kLibHdfsFolders[] = {"../usr/lib/", "usr/lib/", "../lib64/",      "lib64/",
                                       "../lib/",     "lib/",     "../lib/native/", "lib/native/"};

// A command whose output is used: it must exit with 0, print something and print no error.
bool RunForOutput(const std::string& command, int& status, std::string& out, std::string& err) {
    out.clear();
    err.clear();
    status = DxProcess::system(command, &out, &err, 0, false);
    return status == 0 && !out.empty() && err.empty();
}

CEkError PhysicalPath(const std::string& path, std::string& physical) {
    bool isLink = false;
    std::list<std::string> chain;
    return UnixSymbolicLink::getPhysicalPath(path, physical, isLink, chain, false, true);
}

// "/opt/hd/bin/hadoop" -> "/opt/hd/". Only a whole "bin" component is stripped, so
// "/opt/xbin/hadoop" is left as it is.
void StripProgramTail(std::string& path, const std::string& tail) {
    if (FXString::EndsWith(path, "/" + tail))
        FXString::RemoveRight(path, tail);
}

// hadoop-env.sh often writes JAVA_HOME="/usr/java/x"; the quotes are not part of the directory.
void StripSurroundingQuotes(std::string& text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front())
        text = text.substr(1, text.size() - 2);
}

}  // namespace

CEkError CHadoopInstance::DetectHadoopInstallPath(std::string& installPath) {
    int status = 0;
    std::string out, err;
    if (!RunForOutput("which hadoop", status, out, err)) {
        DXLOG(-1, "Failed to get path of hadoop command. %s", err.c_str());
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed,
                                       "Failed to get path of hadoop command. %s", err.c_str());
    }
    FXString::TrimRight(out, "\n");
    CEkError error = PhysicalPath(out, installPath);
    if (error.Failed())
        return error.Push(FX_LOCATION);
    if (installPath.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed,
                                       "Failed to get hadoop bin path");
    StripProgramTail(installPath, "bin/hadoop");
    DXLOG(0, "Hadoop path: %s", installPath.c_str());
    return CEkError();
}

CEkError CHadoopInstance::DetectLibHdfsPath_From_InstallPath(const std::string& installPath,
                                                             std::string& libPath) {
    // Written only on success, so a stale value passed in can never pass for a find.
    std::string found;
    for (const char* folder : kLibHdfsFolders) {
        std::string dir = FXPath::Append(installPath, folder);
        if (FXPath::DoesPathExist(dir + "libhdfs.so")) {
            found = dir;
            break;
        }
    }
    if (found.empty()) {
        DXLOG(-1,
              "Failed to detect libhdfs.so in well known folders of hadoop installation "
              "directory");
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed);
    }
    libPath = found;
    DXLOG(0, "libhdfs.so path: '%s'", libPath.c_str());
    return CEkError();
}

CEkError CHadoopInstance::DetectLibHdfsPath(std::string& libPath) {
    std::string installPath;
    if (DetectHadoopInstallPath(installPath).Succeeded()) {
        if (DetectLibHdfsPath_From_InstallPath(installPath, libPath).Succeeded())
            return CEkError();
        if (Search(installPath, "libhdfs.so", libPath).Succeeded())
            return CEkError();
    }
    if (Locate("libhdfs.so", libPath).Succeeded())
        return CEkError();
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kNotFound, "Failed to detect libhdfs path");
}

CEkError CHadoopInstance::DetectJavaLibPath_internal(const std::string& javaHome,
                                                     std::string& jvmLibPath) {
    std::string dir = FXString::Format("%s/jre/lib/%s/server/", javaHome.c_str(), "amd64");
    if (FXPath::DoesPathExist(dir + "libjvm.so")) {
        jvmLibPath = dir;
        return CEkError();
    }
    CEkError error = Search(javaHome, "libjvm.so", jvmLibPath);
    if (error.Failed())
        return error.Push(FX_LOCATION);
    return CEkError();
}

CEkError CHadoopInstance::DetectJavaLibPath_From_HadoopEnvvars(std::string& jvmLibPath) {
    std::string command =
        GetHadoopCommand("hadoop") + " envvars | grep JAVA_HOME | awk -F \"'\" '{print $2}'";
    int status = 0;
    std::string out, err;
    if (!RunForOutput(command, status, out, err)) {
        DXLOG(-1, "Failed to get hadoop envvars. %s", err.c_str());
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed,
                                       "Failed to get hadoop envars");
    }
    FXString::TrimRight(out, "\n");
    CEkError error = DetectJavaLibPath_internal(out, jvmLibPath);
    if (error.Failed())
        return error.Push(FX_LOCATION);
    DXLOG(0, "Java Lib path: '%s'", jvmLibPath.c_str());
    return CEkError();
}

CEkError CHadoopInstance::DetectJavaLibPath_From_JavaBin(std::string& jvmLibPath) {
    int status = 0;
    std::string out, err;
    if (!RunForOutput("which java", status, out, err)) {
        DXLOG(-1, "Failed to get path of java command. %s", err.c_str());
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed,
                                       "Failed to get path of java command. %s", err.c_str());
    }
    FXString::TrimRight(out, "\n");
    std::string javaHome;
    CEkError error = PhysicalPath(out, javaHome);
    if (error.Failed())
        return error.Push(FX_LOCATION);
    if (javaHome.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed,
                                       "Failed to get java bin path");
    // A runtime whose java lies in jre/bin leaves the jre folder here; the search below it decides.
    StripProgramTail(javaHome, "bin/java");
    error = DetectJavaLibPath_internal(javaHome, jvmLibPath);
    if (error.Failed())
        return error.Push(FX_LOCATION);
    DXLOG(0, "Java lib path: '%s'", jvmLibPath.c_str());
    return CEkError();
}

CEkError CHadoopInstance::DetectJavaLibPath_From_HadoopEnvScript(std::string& jvmLibPath) {
    std::string installPath;
    CEkError error = DetectHadoopInstallPath(installPath);
    if (error.Failed())
        return error.Push(FX_LOCATION);

    std::string envScript = FXPath::Append(FXPath::Append(installPath, "conf"), "hadoop-env.sh");
    if (!FXPath::DoesPathExist(envScript))
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed, "%s does not exist",
                                       envScript.c_str());

    std::string command =
        FXString::Format("grep JAVA_HOME %s | grep \"^export\" | awk -F \"=\" '{print $2}'",
                         ShellQuote(envScript).c_str());
    int status = 0;
    std::string out, err;
    if (!RunForOutput(command, status, out, err)) {
        if (status != 0)
            return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed,
                                           "Failed to get java path. %s", err.c_str());
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed,
                                       "Failed to get java path from '%s'. %s", envScript.c_str(),
                                       err.c_str());
    }
    FXString::TrimRight(out, "\n");
    StripSurroundingQuotes(out);
    error = DetectJavaLibPath_internal(out, jvmLibPath);
    if (error.Failed())
        return error.Push(FX_LOCATION);
    DXLOG(0, "Java path: '%s'", jvmLibPath.c_str());
    return CEkError();
}

CEkError CHadoopInstance::DetectJavaLibPath(std::string& jvmLibPath) {
    if (DetectJavaLibPath_From_HadoopEnvvars(jvmLibPath).Succeeded() ||
        DetectJavaLibPath_From_JavaBin(jvmLibPath).Succeeded() ||
        DetectJavaLibPath_From_HadoopEnvScript(jvmLibPath).Succeeded() ||
        Locate("libjvm.so", jvmLibPath).Succeeded())
        return CEkError();
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kNotFound, "Failed to detect java lib path");
}
