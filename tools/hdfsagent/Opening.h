// The opening backup, restore and verify share: connect to the cluster, start the REST utility
// service when ACLs and extended attributes are wanted, list the encryption zones. A command
// slots its own checks in between (a restore checks its target before the service starts).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Cluster.h"
#include "Hash.h"
#include "Reporter.h"
#include "Tool.h"
#include "host/Mutex.h"

namespace tool {

struct ClusterOpening {
    // Start the REST utility service (for ACLs and extended attributes).
    bool rest = false;
    // What --no-acl does for this command; appended to the error when the service fails.
    std::string noAclHint;
    // Appended to the warning when the encryption zones cannot be listed.
    std::string zonesWarning;
    // The command's own steps after the connection and after the service started; false with
    // the reason in `error` ends the opening (a fatal error).
    std::function<bool(std::string& error)> afterConnect;
    std::function<bool(std::string& error)> afterRest;
};

// Runs the opening; on failure reports it as fatal and returns the exit status, else kExitOk.
int OpenCluster(CCluster& cluster, const ConnectOptions& connect, const ClusterOpening& opening,
                CReporter& reporter);

// The first fatal error of a command whose worker threads may each meet one. Thread-safe.
class CFatalError {
  public:
    // Keeps `message` unless an error was kept before.
    void Set(const std::string& message) {
        hdfsagent::MutexLock guard(m_oLock);
        if (m_sMessage.empty())
            m_sMessage = message;
    }
    bool IsSet() const {
        hdfsagent::MutexLock guard(m_oLock);
        return !m_sMessage.empty();
    }
    std::string Message() const {
        hdfsagent::MutexLock guard(m_oLock);
        return m_sMessage;
    }
    // Keeps `message` as Set does and stops `work` (a pipeline, when one is running), so that
    // no further job starts after the first fatal error.
    template <typename Stoppable>
    void SetAndStop(const std::string& message, Stoppable* work) {
        Set(message);
        if (work)
            work->Stop();
    }

  private:
    mutable hdfsagent::Mutex m_oLock;
    std::string m_sMessage GUARDED_BY(m_oLock);
};

// Content is read and written in blocks of this size (libhdfs reads are 32-bit; bigger blocks gain
// nothing).
const size_t kBlockBytes = 4u << 20;

// What one worker thread of a command owns: its buffer, its hash state and, when the REST
// utility service runs, a client of its own (one client serialises its requests).
struct Worker {
    std::vector<char> buffer;
    CContentHash hash;
    std::unique_ptr<DXHadoop::CHadoopRestUtil> rest;
};

// Makes `count` workers with buffers of kBlockBytes; false with the reason when a REST client
// cannot be connected.
bool MakeWorkers(CCluster& cluster, unsigned count, std::vector<std::unique_ptr<Worker>>& workers,
                 std::string& error);

}  // namespace tool
