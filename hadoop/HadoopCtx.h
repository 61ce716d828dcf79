// CHadoopCtx: the process-wide file-system context.
//
// One context per process (GetInstance, thread-safe creation of a function-local static,
// released at process exit); it holds at most one CHadoopFS, created by the first set-up
// request. Only the part other areas read is declared here so far: the set-up requests
// (CreateHadoopFSInstance, CheckAndSetHadoopEnv, SetClasspath) join it with the context's own
// implementation.
#pragma once

#include <boost/shared_ptr.hpp>

#include "hadoop/HadoopFS.h"
#include "host/Export.h"

class HDFSAGENT_API CHadoopCtx {
  public:
    CHadoopCtx();
    // The context, created on the first call.
    static boost::shared_ptr<CHadoopCtx> GetInstance();
    // A copy of the held file-system object; empty when none has been created.
    CHadoopFSPtr GetHadoopFSInstance();

  private:
    CHadoopFSPtr m_pHadoopFS;
};
