// CHadoopRestUtil: finding Java and the client configuration directories, and preparing the
// service's two property files.
#include <cerrno>
#include <ctime>
#include <exception>
#include <list>
#include <new>

#include "hadoop/HadoopCommon.h"
#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopCtx.h"
#include "hadoop/HadoopFS.h"
#include "hadoop/HadoopRestUtil.h"
#include "host/File.h"
#include "host/Log.h"
#include "host/Path.h"
#include "host/Process.h"
#include "host/Settings.h"
#include "host/ShellQuote.h"
#include "host/Strings.h"

namespace {

const char* const kServiceProperties = "dxhadooputil.properties";
const char* const kLog4jProperties = "dxhadooplog4j.properties";
const char* const kKerberosCacheKey = "util.hadoop.security.kerberos.ticket.cache.path";

// What each application type needs of its client configuration directory.
struct ConfigKind {
    std::string program;             // empty: no program to ask
    std::vector<std::string> files;  // every one must exist in the directory
    const char* envvarsFilter;       // pipeline after the program that prints the directory
};

ConfigKind ConfigKindFor(DXHadoop::eHadoopAppType type) {
    switch (type) {
        case DXHadoop::eAppTypeHadoop:
            return {GetHadoopCommand("hadoop"),
                    {"core-site.xml", "hdfs-site.xml"},
                    " envvars | grep HADOOP_CONF_DIR | awk -F \"'\" '{print $2}'"};
        case DXHadoop::eAppTypeHBase:
            return {GetHBaseCommand("hbase"),
                    {"hbase-site.xml"},
                    " envvars | grep HBASE_CONF_DIR | awk -F \"'\" '{print $2}'"};
        default:
            return {"", {}, ""};
    }
}

std::string TemplatePath(const std::string& baseDir, const char* name) {
    return FXPath::Append(FXPath::Append(baseDir, "dxjars"), name);
}

time_t ModificationTime(const std::string& path) {
    time_t modified = 0;
    CEkError err = FXFile::GetFileTimes(path, nullptr, &modified, nullptr);
    (void)err;  // an unreadable time compares as 0
    return modified;
}

CEkError CopyTemplate(const std::string& source, const std::string& target) {
    CEkError err = CEkFile::Copy(source, target);
    if (err.Failed())
        return err.Push(FX_LOCATION, "Failed to copy '%s' to '%s'", source.c_str(), target.c_str());
    return CEkError();
}

}  // namespace

namespace DXHadoop {

// Runs one probe command. It counts only when it exits with 0, prints something and writes
// nothing to standard error; `out` is then its output without trailing newlines.
bool CHadoopRestUtil::RunProbe(const std::string& command, std::string& out,
                               const char* exitFailureFormat, const char* outputFailureFormat) {
    std::string err;
    out.clear();
    const int status = DxProcess::system(command, &out, &err, 0, false);
    if (status != 0) {
        DXLOG(-1, exitFailureFormat, err.c_str());
        return false;
    }
    if (out.empty() || !err.empty()) {
        DXLOG(-1, outputFailureFormat, err.c_str());
        return false;
    }
    FXString::TrimRight(out, "\n");
    return !out.empty();
}

// Takes <home>/jre/bin/java, else <home>/bin/java, when it exists.
bool CHadoopRestUtil::TakeJavaHome(const std::string& javaHome) {
    const std::string jre = FXString::Format("%s/jre/bin/java", javaHome.c_str());
    if (FXPath::DoesPathExist(jre)) {
        m_sJavaPath = jre;
        DXLOG(0, "Java path: '%s'", m_sJavaPath.c_str());
        return true;
    }
    m_sJavaPath = FXString::Format("%s/bin/java", javaHome.c_str());
    if (FXPath::DoesPathExist(m_sJavaPath)) {
        DXLOG(0, "Java path: '%s'", m_sJavaPath.c_str());
        return true;
    }
    return false;
}

// JAVA_HOME exported by conf/hadoop-env.sh of the installation that holds the `hadoop` program.
bool CHadoopRestUtil::JavaFromHadoopEnvSh() {
    std::string hadoop;
    if (!RunProbe("which hadoop", hadoop, "Failed to get hadoop envvars. %s",
                  "Failed to get java path from 'hadoop envvars'. %s"))
        return false;
    std::string physical;
    bool isLink = false;
    std::list<std::string> chain;
    CEkError err = UnixSymbolicLink::getPhysicalPath(hadoop, physical, isLink, chain, false, true);
    if (err.Failed() || physical.empty())
        return false;
    std::string binDir, installDir, name;
    if (FXPath::SplitParentPath(physical, binDir, name).Failed() ||
        FXPath::SplitParentPath(binDir, installDir, name).Failed())
        return false;
    const std::string envFile = FXPath::Append(FXPath::Append(installDir, "conf"), "hadoop-env.sh");
    if (!FXFile::DoesFileExist(envFile)) {
        DXLOG(-1, "%s does not exist", envFile.c_str());
        return false;
    }
    const std::string command =
        FXString::Format("grep JAVA_HOME %s | grep \"^export\" | awk -F \"=\" '{print $2}'",
                         ShellQuote(envFile).c_str());
    std::string out, errText;
    const int status = DxProcess::system(command, &out, &errText, 0, false);
    if (status != 0) {
        DXLOG(-1, "Failed to get java path. %s", errText.c_str());
        return false;
    }
    if (out.empty() || !errText.empty()) {
        DXLOG(-1, "Failed to get java path from '%s'. %s", envFile.c_str(), errText.c_str());
        return false;
    }
    FXString::TrimRight(out, "\n");
    return TakeJavaHome(out);
}

// The first path after the label of `whereis java` that exists.
bool CHadoopRestUtil::JavaFromWhereis() {
    std::string out;
    if (!RunProbe("whereis java", out, "Failed to get hadoop envvars. %s",
                  "Failed to get java path. %s"))
        return false;
    std::vector<std::string> words;
    FXString::Split(out, " ", words);
    for (size_t i = 1; i < words.size(); ++i) {
        if (!words[i].empty() && FXPath::DoesPathExist(words[i], true)) {
            m_sJavaPath = words[i];
            DXLOG(0, "Java path : '%s'", m_sJavaPath.c_str());
            return true;
        }
    }
    return false;
}

CEkError CHadoopRestUtil::GetJavaPath() {
    if (!m_sJavaPath.empty()) {
        DXLOG(0, "Java path: '%s'", m_sJavaPath.c_str());
        return CEkError();
    }
    std::string configured;
    if (DXPlatformInfo::getString("FileSystemAgent", "sJavaPath", configured) &&
        !configured.empty()) {
        m_sJavaPath = configured;
        DXLOG(0, "Java path: '%s'", m_sJavaPath.c_str());
        return CEkError();
    }

    std::string out;
    if (RunProbe(
            GetHadoopCommand("hadoop") + " envvars | grep JAVA_HOME | awk -F \"'\" '{print $2}'",
            out, "Failed to get hadoop envvars. %s", "Failed to get default java path. %s") &&
        TakeJavaHome(out))
        return CEkError();

    if (RunProbe("which java", out, "Failed to get hadoop envvars. %s",
                 "Failed to get java path from 'hadoop envvars'. %s")) {
        m_sJavaPath = out;
        DXLOG(0, "Java path: '%s'", m_sJavaPath.c_str());
        return CEkError();
    }
    if (JavaFromHadoopEnvSh() || JavaFromWhereis())
        return CEkError();

    // A candidate that did not exist must not survive: the next Start searches again.
    m_sJavaPath.clear();
    return FXErrorUtil::ErrorWin32(FX_LOCATION, 1168, "Failed to get java path");
}

bool CHadoopRestUtil::IsValidConfigPath(const std::string& dir,
                                        const std::vector<std::string>& files) {
    if (files.empty())
        return false;
    for (const std::string& file : files) {
        if (!FXFile::DoesFileExist(FXPath::Append(dir, file)))
            return false;
    }
    return true;
}

CEkError CHadoopRestUtil::GetConfPath(std::string& confPath, eHadoopAppType type,
                                      const std::string& candidate) {
    const ConfigKind kind = ConfigKindFor(type);
    if (!candidate.empty() && IsValidConfigPath(candidate, kind.files)) {
        confPath = candidate;
        DXLOG(0, "Config Path: %s", confPath.c_str());
        return CEkError();
    }
    if (!kind.program.empty()) {
        std::string out;
        if (RunProbe(kind.program + kind.envvarsFilter, out, "Failed to get hadoop envvars. %s",
                     "Failed to get conf path. %s")) {
            confPath = out;
            DXLOG(0, "Config Path: %s", confPath.c_str());
            return CEkError();
        }
        if (RunProbe(kind.program + " classpath --glob", out, "Failed to get hadoop envvars. %s",
                     "Failed to get java path from 'hadoop envvars'. %s")) {
            std::vector<std::string> entries;
            FXString::Split(out, ":", entries);
            for (const std::string& entry : entries) {
                if (IsValidConfigPath(entry, kind.files)) {
                    confPath = entry;
                    DXLOG(0, "Config Path: %s", confPath.c_str());
                    return CEkError();
                }
            }
        }
    }
    return FXErrorUtil::ErrorWin32(FX_LOCATION, 1168, "Failed to get conf path");
}

// Copies the template over the service properties when they are missing or older.
CEkError CHadoopRestUtil::RefreshServiceProperties(const std::string& target) {
    const std::string source = TemplatePath(m_sBaseDir, kServiceProperties);
    if (!FXPath::DoesPathExist(target) || ModificationTime(target) < ModificationTime(source))
        return CopyTemplate(source, target);
    return CEkError();
}

// Reads the directory the file names under `key`, keeps it when still valid (else asks the
// client again) and writes the result back.
CEkError CHadoopRestUtil::WriteConfigDirectory(const std::string& propertiesFile, const char* key,
                                               eHadoopAppType type, const char* failureMessage) {
    std::string current;
    CEkError ignored = GetValueForKey(propertiesFile, key, current);
    (void)ignored;
    std::string confPath;
    CEkError err = GetConfPath(confPath, type, current);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    err = AddOrUpdateFieldInConfigFile(propertiesFile, key, confPath);
    if (err.Failed())
        return err.Push(FX_LOCATION, "%s", failureMessage);
    return CEkError();
}

CEkError CHadoopRestUtil::PrepareLog4jProperties() {
    const std::string target = FXPath::Append(m_sConfigDir, kLog4jProperties);
    if (!FXPath::DoesPathExist(target)) {
        CEkError err = CopyTemplate(TemplatePath(m_sBaseDir, kLog4jProperties), target);
        if (err.Failed())
            return err;
        const std::string logDir = DXPI_EventManager(0, 1).getLogFilesDirectory();
        if (!logDir.empty()) {
            err = AddOrUpdateFieldInConfigFile(target, "log4j.appender.R.File",
                                               FXPath::Append(logDir, "dxhdfsutil.log"));
            if (err.Failed())
                return err.Push(FX_LOCATION, "Failed to update log file in config file");
        }
    }
    long debugLevel = 0;
    DXPlatformInfo::getNumber("EventManager", "dxhdfsutil_DEBUGLEVEL", debugLevel);
    CEkError err = AddOrUpdateFieldInConfigFile(target, "log4j.rootLogger",
                                                debugLevel != 0 ? "DEBUG, R" : "INFO, R");
    if (err.Failed())
        return err.Push(FX_LOCATION, "Failed to update log file in config file");
    return CEkError();
}

CEkError CHadoopRestUtil::WriteKerberosCachePath(const std::string& propertiesFile) {
    long useLibraryCache = 0;
    DXPlatformInfo::getNumber("FileSystemAgent", "nUseLoggedinHdfsKerbCache", useLibraryCache);
    CEkError err;
    if (useLibraryCache == 0) {
        err = AddOrUpdateFieldInConfigFile(propertiesFile, kKerberosCacheKey, "");
    } else {
        CHadoopFSPtr fs = CHadoopCtx::GetInstance()->GetHadoopFSInstance();
        if (fs && fs->m_pConnection && !fs->m_pConnection->m_sKerberosCachePath.empty()) {
            const std::string& cache = fs->m_pConnection->m_sKerberosCachePath;
            err = AddOrUpdateFieldInConfigFile(propertiesFile, kKerberosCacheKey, cache);
            if (err.Succeeded())
                DXLOG(0, "Kerbeoros cache %s will be used by dxhdfsutil", cache.c_str());
        }
    }
    if (err.Failed())
        return err.Push(FX_LOCATION, "Failed to update kerberos cache location in config file");
    return CEkError();
}

CEkError CHadoopRestUtil::PopulateConfigFilePath() {
    if (m_sConfigDir.empty())
        return CEkError();
    try {
        const std::string properties = FXPath::Append(m_sConfigDir, kServiceProperties);
        CEkError err = RefreshServiceProperties(properties);
        if (err.Failed())
            return err;

        err = AddOrUpdateFieldInConfigFile(properties, "util.hadoop.user", m_sHadoopUser);
        if (err.Failed())
            return err.Push(FX_LOCATION, "Failed to update user name in config file");
        err = WriteConfigDirectory(properties, "util.hadoop.config", eAppTypeHadoop,
                                   "Failed to update user name in config file");
        if (err.Failed())
            return err;

        if (m_eAppType == eAppTypeHBase) {
            err = AddOrUpdateFieldInConfigFile(properties, "util.hbase.user", m_sHBaseUser);
            if (err.Failed())
                return err.Push(FX_LOCATION, "Failed to update HBase user name in config file");
            err = WriteConfigDirectory(properties, "util.hbase.config", eAppTypeHBase,
                                       "Failed to update HBase user name in config file");
            if (err.Failed())
                return err;
        }

        err = PrepareLog4jProperties();
        if (err.Failed())
            return err;
        return WriteKerberosCachePath(properties);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ENOMEM, "Out of memory");
    } catch (const std::exception& e) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "Preparing the property files failed: %s",
                                       e.what());
    }
}

}  // namespace DXHadoop
