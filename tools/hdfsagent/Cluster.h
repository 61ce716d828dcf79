// The cluster as the commands see it: the file-system object from the library's context, the
// REST utility service for ACLs and extended attributes, the encryption zones, and a rename.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "AclPrefetch.h"
#include "Tool.h"
#include "hadoop/HadoopCtx.h"
#include "hadoop/HadoopFS.h"
#include "hadoop/HadoopRestUtil.h"

namespace tool {

// A library error for people: every frame's message, newest first, without the locations and
// without messages that repeat a callee's rendered error; then the code.
std::string ErrorText(const CEkError& err);

// How a request to the REST service ended.
enum class RestResult {
    kOk,
    kPathProblem,     // the service answered with an error for this path (not found, denied…)
    kServiceFailure,  // no usable answer at all: the service is down or unavailable
};

class CCluster {
  public:
    CCluster() = default;
    // Stops the REST service if it was started.
    ~CCluster();
    CCluster(const CCluster&) = delete;
    CCluster& operator=(const CCluster&) = delete;

    // The library's set-up and connection (CHadoopCtx::CreateHadoopFSInstance). On failure
    // `error` holds the library's error messages and, when the connection itself failed, the
    // connection's own text (GetLastErrorString).
    bool Connect(const ConnectOptions& options, std::string& error);
    CHadoopFS& Fs() { return *m_pFS; }
    const std::string& User() const { return m_sUser; }

    // Starts the REST utility service from the product home's dxjars directory.
    bool StartRest(std::string& error);
    // Stops (kills and reaps) the started REST utility service; nothing when none runs.
    void StopRest();
    bool HasRest() const { return m_pRest != nullptr; }
    DXHadoop::CHadoopRestUtil* Rest() { return m_pRest.get(); }

    // Another client of the started service, with a connection of its own: one object
    // serialises its requests, so each thread that sends requests uses its own client.
    std::unique_ptr<DXHadoop::CHadoopRestUtil> NewRestClient(std::string& error);

    // Paths whose ACLs GetAcl will be asked for soon, in that order: they are read ahead in
    // batches (see AclPrefetch.h). A path announced but not asked for is forgotten.
    void ExpectAcl(const std::string& path) { m_oAclPrefetch.Expect(path); }
    void ForgetAcl(const std::string& path) { m_oAclPrefetch.Forget(path); }

    // The ACL state ("AclStatus") and extended attributes ("XAttrs") of an HDFS path, through
    // `client` (the started service's own object when null); from the batches read ahead when
    // the path was announced (a batch that fails as a whole fails each of its paths alike).
    RestResult GetAcl(const std::string& path, nlohmann::json& acl, nlohmann::json& xattrs,
                      std::string& error, DXHadoop::CHadoopRestUtil* client = nullptr);
    // Sends a setacl request body ({"AclStatus":…,"XAttrs":…}) for an HDFS path, through
    // `client` (the started service's own object when null).
    RestResult SetAcl(const std::string& path, const nlohmann::json& body, std::string& error,
                      DXHadoop::CHadoopRestUtil* client = nullptr);

    // Lists the encryption zones; false (with the reason) when the listing failed.
    bool LoadZones(std::string& error);
    // The innermost zone root holding `path`, "" when none.
    std::string ZoneOf(const std::string& path);

    // Renames within the cluster: a restore puts a completely written file under its real
    // name this way. -1 with errno (ENOTSUP when the loaded libhdfs lacks hdfsRename).
    int Rename(const std::string& from, const std::string& to);

  private:
    RestResult Classify(const CEkError& err, const std::string& response, const std::string& path,
                        std::string& error) const;
    // The service's error answer (status and body) for one path as text.
    static std::string DescribeRemoteError(long status, const std::string& body);
    RestResult ParseAcl(const std::string& path, const std::string& response, nlohmann::json& acl,
                        nlohmann::json& xattrs, std::string& error) const;

    CHadoopFSPtr m_pFS;
    std::string m_sUser;
    std::unique_ptr<DXHadoop::CHadoopRestUtil> m_pRest;
    CAclPrefetch m_oAclPrefetch;
};

}  // namespace tool
