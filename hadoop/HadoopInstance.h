// The Hadoop installation the library works with, and the process-wide registry that holds it.
//
// CHadoopInstance records the server's configuration of the Hadoop instance and the two local
// directories nothing else can start without: the one that holds the native client library
// libhdfs.so and the one that holds the Java virtual machine library libjvm.so. Load() fills it
// from the server's configuration message, completes missing directories from the saved setting
// "HDP_LIB_PATH" (section "FileSystemAgent") or by detection on this machine, and saves the pair
// back to that setting.
//
// The detection members find the directories when neither the server nor the setting names them.
// Each strategy asks the shell (which, hadoop envvars, grep over hadoop-env.sh) or the file system;
// the chains try their strategies in a fixed order and fall back to the locate database. They read
// and write no member: the answer goes to the string argument, and only on success (a failed file
// search empties it). A directory built from a fixed relative folder ends with "/"; one found by
// file search does not; users append "/" and the file name either way.
//
// CHadoopInstanceCtx holds the one instance a process uses: it creates and loads it on first
// demand, hands out shared references and drops it on request.
//
// Thread-safety: neither class takes a lock. A loaded instance is only read and may be shared.
// CreateHDPInstance, GetHDPInstance and ReleaseHDPInstance must be serialised by their callers
// (the file-system context does so under its named mutex). The detection members keep no shared
// state and may run on any thread.
#pragma once

#include <boost/shared_ptr.hpp>
#include <string>

#include "host/Error.h"
#include "host/Export.h"

class HDFSAGENT_API CHadoopInstance {
  public:
    // Not loaded; every string empty.
    CHadoopInstance() : m_bLoaded(false) {}

    // Fetches the instance's configuration message from the server and loads it. Success at once
    // when already loaded.
    CEkError Load(unsigned long instanceId);
    // Fills the instance from a serialized configuration message: the entry whose selector is 1
    // gives the fields; missing directories come from "HDP_LIB_PATH" or detection; the final pair
    // is written back to "HDP_LIB_PATH" when it differs from what was read. 1627 "Failed to fetch
    // Hadoop Config from server" when the text does not parse or no entry qualifies; a detection
    // error (1168) with this location pushed. Success at once when already loaded. A failed Load
    // leaves m_bLoaded false and keeps the fields it had filled.
    CEkError Load(const std::string& configText);

    // Hadoop installation directory (with its trailing "/") from the physical path of the
    // `hadoop` that "which hadoop" finds on PATH. 1627 "Failed to get path of hadoop command. %s"
    // (with which's standard error) when which fails, prints nothing or prints on standard error;
    // 1627 "Failed to get hadoop bin path" when the resolved path is empty; the resolver's error
    // when the link chain cannot be followed.
    CEkError DetectHadoopInstallPath(std::string& installPath);
    // The first of "../usr/lib/", "usr/lib/", "../lib64/", "lib64/", "../lib/", "lib/",
    // "../lib/native/", "lib/native/" below `installPath` that holds libhdfs.so (with its
    // trailing "/"). 1627 without a message when none does; `libPath` is written only on success.
    CEkError DetectLibHdfsPath_From_InstallPath(const std::string& installPath,
                                                std::string& libPath);
    // Directory of libhdfs.so: the well-known folders of the installation, then a search below
    // the installation directory, then the locate database. 1168 "Failed to detect libhdfs path"
    // when all fail (the strategies' own errors are dropped; each has logged its lines).
    CEkError DetectLibHdfsPath(std::string& libPath);
    // Directory of libjvm.so below a Java home: "<javaHome>/jre/lib/amd64/server/" when it holds
    // the library, else the directory of the largest libjvm.so found below the Java home (the
    // file search's ENOENT error, this location pushed, when there is none).
    CEkError DetectJavaLibPath_internal(const std::string& javaHome, std::string& jvmLibPath);
    // The same from the JAVA_HOME that `hadoop envvars` reports. 1627 "Failed to get hadoop
    // envars" when the command fails, prints nothing or prints on standard error.
    CEkError DetectJavaLibPath_From_HadoopEnvvars(std::string& jvmLibPath);
    // The same from the physical path of the `java` that "which java" finds. 1627 "Failed to get
    // path of java command. %s" when which fails; 1627 "Failed to get java bin path" when the
    // resolved path is empty.
    CEkError DetectJavaLibPath_From_JavaBin(std::string& jvmLibPath);
    // The same from the JAVA_HOME exported in the installation's conf/hadoop-env.sh (as written
    // there; one pair of surrounding quotes is removed, nothing is expanded). 1627 "%s does not
    // exist" without the script; 1627 "Failed to get java path. %s" when grep fails; 1627 "Failed
    // to get java path from '%s'. %s" when no exported JAVA_HOME is found.
    CEkError DetectJavaLibPath_From_HadoopEnvScript(std::string& jvmLibPath);
    // Directory of libjvm.so: hadoop envvars, the java program, hadoop-env.sh, then the locate
    // database. 1168 "Failed to detect java lib path" when all fail.
    CEkError DetectJavaLibPath(std::string& jvmLibPath);

    bool m_bLoaded;                      // set as the last step of a successful Load
    std::string m_sConfigField2;         // entry string field 2 (tag 2), kept for users
    std::string m_sConfigField4;         // entry string field 4 (tag 7), kept for users
    std::string m_sJvmLibPath;           // directory holding libjvm.so
    std::string m_sHadoopNativeLibPath;  // directory holding libhdfs.so
};

typedef boost::shared_ptr<CHadoopInstance> CHadoopInstancePtr;

class HDFSAGENT_API CHadoopInstanceCtx {
  public:
    // The process-wide registry, created on the first call (thread-safe local static), released
    // at process exit.
    static boost::shared_ptr<CHadoopInstanceCtx> GetInstance();

    CHadoopInstanceCtx();
    ~CHadoopInstanceCtx();  // releases the held instance

    // Hands out the held instance; when none is held, creates one, holds it and loads it with
    // Load(instanceId). A failed load empties the registry again (the next call starts afresh),
    // leaves *instance untouched and returns the load error with this location pushed. Once an
    // instance is held, instanceId is not looked at.
    CEkError CreateHDPInstance(unsigned long instanceId, CHadoopInstancePtr* instance);
    // The same, loading a new instance from `configText` instead (instanceId is not used).
    CEkError CreateHDPInstance(unsigned long instanceId, CHadoopInstancePtr* instance,
                               const std::string& configText);
    // A copy of the held handle; empty when none is held.
    CHadoopInstancePtr GetHDPInstance();
    // Empties the held handle; the instance lives on while other handles to it exist.
    void ReleaseHDPInstance();

  private:
    CHadoopInstancePtr m_pHadoopInstance;
};
