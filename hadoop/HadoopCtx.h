// CHadoopCtx: the process-wide file-system context, and the environment set-up it runs.
//
// One context per process (GetInstance, thread-safe creation of a function-local static,
// released at process exit). It holds at most one CHadoopFS, created by the first successful
// CreateHadoopFSInstance; every later request gets that object back, whatever instance, name
// node or user it names.
//
// The first request sets the process up, in this order:
//   1. native Hadoop logging is installed in `logConfigDir` (a failure is logged, not fatal);
//   2. the named mutex "CreateHadoopInstNamedMutex" is taken: it serialises the rest with every
//      other caller in this process and in the product's other processes; once held, the
//      context is looked at again, so a caller that waited for another's set-up gets its object;
//   3. CheckAndSetHadoopEnv: the link specification from the setting "HDP_LIB_PATH" (section
//      "FileSystemAgent") or from the Hadoop instance (created by the instance registry for the
//      id overload), CLASSPATH from `hadoop classpath`, and the libhdfs.so/libjvm.so links in the
//      product home;
//   4. CHadoopFS::Init binds libhdfs (once per process);
//   5. a CHadoopFS(nameNode, user) connects. When its first connection fails it is discarded
//      (which removes the links again), the instance registry is emptied so that the next
//      request fetches the configuration afresh, and 107 "HadoopConnection failed" is returned;
//   6. the native log level is set from "DxHadoopNative_DEBUGLEVEL" (a failure is logged).
//
// At process exit the held CHadoopFS is destroyed (it disconnects and removes the library links)
// before the libraries loaded during the set-up (libhdfs and what it loads) run their own exit
// handlers: the context, created before them, would otherwise be torn down after them and
// disconnect through a library that is already torn down.
//
// Errors of CreateHadoopFSInstance: the set-up's error with "Hadoop library initialized failed"
// pushed (step 3) or "Hadoop library initialization failed" pushed (step 4), each also logged
// at level -1; the named mutex's error when it cannot be taken; 107 "HadoopConnection failed"
// (step 5). Nothing throws.
//
// Thread-safety: every member may be called from any thread. The held object is guarded by a
// lock of the context; the set-up is serialised by the named mutex. CheckAndSetHadoopEnv and
// SetClasspath change process-wide state (CLASSPATH, the links) without a lock of their own:
// outside the context, callers serialise them.
#pragma once

#include <boost/shared_ptr.hpp>
#include <functional>
#include <string>

#include "hadoop/HadoopFS.h"
#include "hadoop/HadoopInstance.h"
#include "host/Error.h"
#include "host/Export.h"
#include "host/Mutex.h"

class HDFSAGENT_API CHadoopCtx {
  public:
    CHadoopCtx();
    // The context, created on the first call.
    static boost::shared_ptr<CHadoopCtx> GetInstance();
    // A copy of the held file-system object; empty when none has been created.
    CHadoopFSPtr GetHadoopFSInstance() EXCLUDES(m_oLock);

    // The held file-system object in *fs (when `fs` is not null); the first call creates and
    // connects it (see above), with the link specification from `instance` when the setting
    // is empty. `instance` must be loaded; a null one fails with EINVAL.
    CEkError CreateHadoopFSInstance(CHadoopInstancePtr instance, const std::string& nameNode,
                                    std::string user, CHadoopFSPtr* fs, std::string logConfigDir);
    // The same, with the instance registry creating the instance for `instanceId` when the
    // setting is empty.
    CEkError CreateHadoopFSInstance(unsigned long instanceId, const std::string& nameNode,
                                    std::string user, CHadoopFSPtr* fs, std::string logConfigDir);

  private:
    CEkError CreateWithEnvironment(const std::function<CEkError()>& checkAndSetEnv,
                                   const std::string& nameNode, const std::string& user,
                                   CHadoopFSPtr* fs, const std::string& logConfigDir);
    CEkError SetUpUnderNamedMutex(const std::function<CEkError()>& checkAndSetEnv,
                                  const std::string& nameNode, const std::string& user,
                                  const std::string& logConfigDir);
    // Copies the held object into *fs; false when none is held.
    bool HandOutExisting(CHadoopFSPtr* fs) EXCLUDES(m_oLock);
    // Stores a connected object and makes sure it is released at exit while the libraries it
    // uses are still there.
    void Hold(const CHadoopFSPtr& fs) EXCLUDES(m_oLock);
    static void ReleaseAtExit();

    hdfsagent::Mutex m_oLock;
    CHadoopFSPtr m_pHadoopFS GUARDED_BY(m_oLock);
};

// Prepares the process for libhdfs: the link specification "<libhdfs dir>:<libjvm dir>" from
// "HDP_LIB_PATH" when it is present and not empty, else from the instance the registry creates
// for `instanceId` (logged at level 0 "Will try to set Hadoop environment now!!!"); then
// SetClasspath(logConfigDir) and CreateLibraryLinks. The failing step's error is returned with
// this location pushed.
HDFSAGENT_API CEkError CheckAndSetHadoopEnv(unsigned long instanceId,
                                            const std::string& logConfigDir);
// The same with a given, loaded instance (not logged). A null instance fails with EINVAL
// "No Hadoop instance given" when the setting is empty.
HDFSAGENT_API CEkError CheckAndSetHadoopEnv(CHadoopInstancePtr instance,
                                            const std::string& logConfigDir);

// Sets CLASSPATH (replacing any value) to `prefix` followed by the entries that
// `<hadoop> classpath` prints: split at ":" and blanks, each entry that holds a shell wildcard
// replaced by the matching files, sorted, duplicates dropped, each preceded by ":" — so
// "a:b:a" with prefix "/d" gives "/d:a:b", and an empty prefix gives ":a:b".
// Errors (1627): "Failed to set CLASSPATH environment, please check logs for more details" when
// `hadoop classpath` exits with a status other than 0 (logged "Failed to execute '%s',
// iRet=%d") or prints nothing but blanks (logged "Empty results returned by command='%s'");
// "Failed to set CLASSPATH, please check logs for more details" when setenv fails. On failure
// CLASSPATH is unchanged.
HDFSAGENT_API CEkError SetClasspath(const std::string& prefix);
