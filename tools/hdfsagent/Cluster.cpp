#include "Cluster.h"

#include <errno.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "Interrupt.h"
#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopInstance.h"
#include "host/Settings.h"

namespace tool {

namespace {

const int kConnectionFailed = 107;
const int kNoUsableAnswer = 2250;
const int kServiceUnavailable = 5006;

bool MakeDirectory(const std::string& path, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
        error = "cannot create " + path + ": " + ec.message();
        return false;
    }
    return true;
}

// The library takes the directories of libhdfs.so and libjvm.so from the setting HDP_LIB_PATH or
// from the instance's configuration message, which a backup server writes. This tool is its own
// server: when there is neither, it hands the library a message that names no directory, and the
// library detects both on this machine (and saves them in HDP_LIB_PATH for the next run).
bool NeedsOwnInstanceMessage(unsigned long instanceId) {
    std::string saved;
    DXPlatformInfo::getString("FileSystemAgent", "HDP_LIB_PATH", saved);
    if (!saved.empty())
        return false;
    std::error_code ec;
    const std::string message =
        DXPI_Base::getHomeDirectory() + "/instances/" + std::to_string(instanceId) + ".json";
    return !std::filesystem::exists(message, ec);
}

const char kDetectEverythingMessage[] =
    "{\"entries\":[{\"selector\":1,\"configField2\":\"\",\"configField4\":\"\","
    "\"hadoopNativeLibPath\":\"\",\"jvmLibPath\":\"\"}]}";

CEkError CreateFileSystem(const ConnectOptions& options, const std::string& user,
                          const std::string& logConfigDir, CHadoopFSPtr& fs) {
    if (!NeedsOwnInstanceMessage(options.instanceId))
        return CHadoopCtx::GetInstance()->CreateHadoopFSInstance(
            options.instanceId, options.nameNode, user, &fs, logConfigDir);
    CHadoopInstancePtr instance(new CHadoopInstance());
    CEkError err = instance->Load(std::string(kDetectEverythingMessage));
    if (err.Failed())
        return err;
    return CHadoopCtx::GetInstance()->CreateHadoopFSInstance(instance, options.nameNode, user, &fs,
                                                             logConfigDir);
}

}  // namespace

std::string ErrorText(const CEkError& err) {
    std::string text;
    std::string last;
    for (const CEkError::Frame& frame : err.Frames()) {
        const std::string& message = frame.message;
        // Some layers repeat a callee's whole rendered error (locations included) inside their
        // own message; the callee's frames below say the same more briefly.
        if (message.empty() || message == last || message.find("error[") != std::string::npos)
            continue;
        text += (text.empty() ? "" : ": ") + message;
        last = message;
    }
    return (text.empty() ? "failed" : text) + " (error " + std::to_string(err.Code()) + ")";
}

CCluster::~CCluster() {
    SetInterruptCleanup(nullptr);
    StopRest();
}

void CCluster::StopRest() {
    if (m_pRest) {
        CEkError err = m_pRest->Stop();
        (void)err;
    }
}

bool CCluster::Connect(const ConnectOptions& options, std::string& error) {
    const std::string home = DXPI_Base::getHomeDirectory();
    m_sUser = options.user.empty() ? DefaultUser() : options.user;
    const std::string logConfigDir =
        options.logConfigDir.empty() ? home + "/conf" : options.logConfigDir;
    if (!MakeDirectory(logConfigDir, error))
        return false;
    CHadoopFSPtr fs;
    CEkError err = CreateFileSystem(options, m_sUser, logConfigDir, fs);
    if (err.Failed() || !fs) {
        error = err.Failed() ? ErrorText(err) : "the library returned no file-system object";
        // The context discards a file system whose first connection failed; a second one made
        // here (the binding is in place by then) tells why, in the connection's own words.
        if (err.Code() == kConnectionFailed && CHadoopFS::Init().Succeeded()) {
            CHadoopFS probe(options.nameNode, m_sUser);
            if (!probe.GetLastErrorString().empty())
                error += " (" + probe.GetLastErrorString() + ")";
        }
        return false;
    }
    m_pFS = fs;
    return true;
}

bool CCluster::StartRest(std::string& error) {
    const std::string home = DXPI_Base::getHomeDirectory();
    const std::string configDir = home + "/restutil";
    if (!MakeDirectory(configDir, error))
        return false;
    std::unique_ptr<DXHadoop::CHadoopRestUtil> rest(new DXHadoop::CHadoopRestUtil(
        "", home, m_sUser, DXHadoop::eAppTypeHadoop, configDir, m_sUser));
    CEkError err = rest->Start();
    if (err.Failed()) {
        error = "the REST utility service did not start: " + ErrorText(err);
        return false;
    }
    m_pRest = std::move(rest);
    // A command ended by a signal re-raises it without running destructors.
    SetInterruptCleanup([this] { StopRest(); });
    return true;
}

RestResult CCluster::Classify(const CEkError& err, const std::string& response,
                              const std::string& path, std::string& error) const {
    const std::string text = err.AsString(eErrorFormatFull);
    if (err.Code() == kServiceUnavailable) {
        error = "the REST utility service is unavailable (HTTP 503) for " + path;
        return RestResult::kServiceFailure;
    }
    // "Error: rc[<HTTP status>] ... Resp[<body>]": a status means the service answered, about
    // this path; none means there was no answer at all.
    const size_t rc = text.find("Error: rc[");
    const long status = rc == std::string::npos ? 0 : strtol(text.c_str() + rc + 10, nullptr, 10);
    if (err.Code() != kNoUsableAnswer || status <= 0) {
        error = "the REST utility service did not answer for " + path + ": " + ErrorText(err);
        return RestResult::kServiceFailure;
    }
    std::string body = response;
    if (body.empty()) {
        // The innermost frame comes last in the full text; its body ends at the last "]".
        const size_t open = text.rfind(" Resp[");
        const size_t close = text.rfind(']');
        if (open != std::string::npos && close != std::string::npos && close > open + 6)
            body = text.substr(open + 6, close - (open + 6));
    }
    error = DescribeRemoteError(status, body);
    return RestResult::kPathProblem;
}

std::string CCluster::DescribeRemoteError(long status, const std::string& body) {
    const nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
    if (answer.is_discarded() || !answer.is_object() || !answer.contains("RemoteException") ||
        !answer["RemoteException"].is_object())
        return "HTTP " + std::to_string(status);
    const nlohmann::json& remote = answer["RemoteException"];
    const nlohmann::json exception = remote.value("exception", nlohmann::json("error"));
    const nlohmann::json message = remote.value("message", nlohmann::json(""));
    std::string error = exception.is_string() ? exception.get<std::string>() : "error";
    if (message.is_string() && !message.get<std::string>().empty())
        error += ": " + message.get<std::string>();
    return error;
}

std::unique_ptr<DXHadoop::CHadoopRestUtil> CCluster::NewRestClient(std::string& error) {
    const unsigned port = static_cast<unsigned>(std::stoul(m_pRest->GetPort()));
    std::unique_ptr<DXHadoop::CHadoopRestUtil> client(
        new DXHadoop::CHadoopRestUtil(DXHadoop::eModeExternal, DXHadoop::eAppTypeHadoop, port));
    client->SetServiceSecret(m_pRest->GetServiceSecret());
    CEkError err = client->Start();
    if (err.Failed()) {
        error = "cannot connect another client to the REST utility service: " + ErrorText(err);
        client.reset();
    }
    return client;
}

RestResult CCluster::GetAcl(const std::string& path, nlohmann::json& acl, nlohmann::json& xattrs,
                            std::string& error, DXHadoop::CHadoopRestUtil* client) {
    DXHadoop::CHadoopRestUtil* rest = client != nullptr ? client : m_pRest.get();
    DXHadoop::AclAndXattrAnswer answer;
    CEkError failure;
    if (rest != nullptr && m_oAclPrefetch.Take(path, *rest, answer, failure)) {
        // The batch's failure is each of its paths' failure, as if read alone.
        if (failure.Failed())
            return Classify(failure, "", path, error);
        if (answer.status != 200) {
            error = DescribeRemoteError(answer.status, answer.body);
            return RestResult::kPathProblem;
        }
        return ParseAcl(path, answer.body, acl, xattrs, error);
    }
    std::string response;
    CEkError err = GetACLandXattr(rest, path, response);
    if (err.Failed())
        return Classify(err, response, path, error);
    return ParseAcl(path, response, acl, xattrs, error);
}

RestResult CCluster::ParseAcl(const std::string& path, const std::string& response,
                              nlohmann::json& acl, nlohmann::json& xattrs,
                              std::string& error) const {
    const nlohmann::json body = nlohmann::json::parse(response, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("AclStatus") ||
        !body["AclStatus"].is_object()) {
        error = "REST utility service answered getacl for " + path + " with an unexpected body";
        return RestResult::kServiceFailure;
    }
    acl = body["AclStatus"];
    xattrs = body.contains("XAttrs") && body["XAttrs"].is_array() ? body["XAttrs"]
                                                                  : nlohmann::json::array();
    return RestResult::kOk;
}

RestResult CCluster::SetAcl(const std::string& path, const nlohmann::json& body, std::string& error,
                            DXHadoop::CHadoopRestUtil* client) {
    std::string text;
    try {
        text = body.dump();
    } catch (const nlohmann::json::exception& e) {
        error = std::string("cannot encode the ACL request: ") + e.what();
        return RestResult::kPathProblem;
    }
    CEkError err = SetACLandXattr(client != nullptr ? client : m_pRest.get(), path, text);
    if (err.Failed())
        return Classify(err, "", path, error);
    return RestResult::kOk;
}

bool CCluster::LoadZones(std::string& error) {
    CEkError err = m_pFS->m_oCryptoUtil.PopulateEncryptionZones();
    if (err.Failed()) {
        error = "the encryption zones cannot be listed: " + ErrorText(err);
        return false;
    }
    return true;
}

std::string CCluster::ZoneOf(const std::string& path) {
    std::string zone;
    CEkError err = m_pFS->m_oCryptoUtil.GetEncryptionZone(path, zone);
    (void)err;
    return zone;
}

int CCluster::Rename(const std::string& from, const std::string& to) {
    return m_pFS->Rename(from.c_str(), to.c_str());
}

}  // namespace tool
