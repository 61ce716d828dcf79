// CHadoopRestUtil: the request layer (one HTTP exchange per call, on a client borrowed from the
// object's pool) and its two utilities, the query-string builder and the properties-file reader.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <fstream>
#include <new>

#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopCtx.h"
#include "hadoop/HadoopRestUtil.h"
#include "host/Log.h"
#include "host/Path.h"
#include "host/Strings.h"

namespace {

const int kStatusServiceUnavailable = 503;
using hdfsagent::restutil::kSecretHeader;

// The service logs in from the ticket cache that the library's connection fills, and the
// connection renews that cache only when it is used. A request renews it when it is due, so that
// a stretch of work done through the service alone does not outlive the service's tickets.
void RenewConnectionTicketsIfDue() {
    CHadoopFSPtr fs = CHadoopCtx::GetInstance()->GetHadoopFSInstance();
    if (fs && fs->m_pConnection)
        (void)fs->m_pConnection->CheckAndRefreshConnection();
}

}  // namespace

namespace DXHadoop {

CEkError CHadoopRestUtil::sendReq(eReqType type, const std::string& path, const std::string& body,
                                  std::string& response) {
    std::unique_ptr<DXDebugFunction> trace;
    if (g_ptrLogWriter->GetDebugLevel() > 2)
        trace.reset(new DXDebugFunction(3, __PRETTY_FUNCTION__, __LINE__));

    if (type == eReqInvalid || path.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 22, "Invalid API input parameters");
    if (!m_bInitialized)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 2250, "Hadoop REST server not initialized");

    try {
        RenewConnectionTicketsIfDue();
        std::unique_ptr<DXLibCurl> client;
        CEkError err = TakeClient(client);
        if (err.Failed())
            return err;
        err = SendWith(*client, type, path, body, response);
        ReturnClient(std::move(client));
        return err;
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ENOMEM, "Out of memory for the request");
    } catch (const std::exception& e) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 2250, "Request failed: %s", e.what());
    }
}

CEkError CHadoopRestUtil::TakeClient(std::unique_ptr<DXLibCurl>& client) {
    {
        DxCriticalSectionLock scope(*m_pLock);
        if (!m_vIdleClients.empty()) {
            client = std::move(m_vIdleClients.back());
            m_vIdleClients.pop_back();
            return CEkError();
        }
    }
    // Made outside the lock: the other callers need not wait for it.
    return NewClient(client);
}

void CHadoopRestUtil::ReturnClient(std::unique_ptr<DXLibCurl> client) {
    {
        DxCriticalSectionLock scope(*m_pLock);
        if (m_vIdleClients.size() < kMaxIdleClients) {
            m_vIdleClients.push_back(std::move(client));
            return;
        }
    }
    // A full pool: this client and its connection end here, outside the lock.
    client.reset();
}

// Everything of one exchange; `client` belongs to this call alone.
CEkError CHadoopRestUtil::SendWith(DXLibCurl& client, eReqType type, const std::string& path,
                                   const std::string& body, std::string& response) {
    CEkError err = SetCommonCurlHeaders(client);
    if (err.Failed())
        return err.Push(FX_LOCATION, "Failed to set common Curl headers");

    const std::string url = FXPath::Append(m_sBaseUrl, path);
    DXLOG(2, "Curl request absolute URL '%s' Body '%s'", url.c_str(), body.c_str());

    if (static_cast<uint32_t>(type) > static_cast<uint32_t>(eReqDelete))
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 22, "Unhandled curl request type passed");

    const _http_req_type_ curlType = static_cast<_http_req_type_>(type);
    if (client.DXLibCurlSendHttpReq(curlType, url.c_str(), body.data(), body.size(), false,
                                    nullptr)) {
        recvResp(client, response);
        return CEkError();
    }

    const long status = client.m_nHttpStatusCode;
    if (status == kStatusServiceUnavailable)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 5006, "JMXConnectionError");

    recvResp(client, response);
    // Without a status there is no answer at all; the client's own text says why (refused,
    // closed, timed out), which the status alone cannot.
    std::string transport;
    if (status == 0)
        transport = " Transport[" + client.GetLastErrorText() + "]";
    DXLOG(-1, "HTTP %s to '%s' failed: status %ld %s", DXLibCurl::GetHttpReqTypeString(curlType),
          url.c_str(), status, client.GetLastErrorText().c_str());
    return FXErrorUtil::ErrorWin32(
        FX_LOCATION, 2250, "Error: rc[%d] ReqType[%s] URL[%s] Req[%s] Resp[%s]%s",
        static_cast<int>(status), DXLibCurl::GetHttpReqTypeString(curlType), url.c_str(),
        body.c_str(), response.c_str(), transport.c_str());
}

CEkError CHadoopRestUtil::Get(const std::string& path, std::string& response) {
    CEkError err = sendReq(eReqGet, path, std::string(), response);
    if (err.Failed())
        return err.Push(FX_LOCATION, "Sending Get request failed, error[%s]",
                        err.AsString().c_str());
    return CEkError();
}

CEkError CHadoopRestUtil::Post(const std::string& path, const std::string& body,
                               std::string& response) {
    CEkError err = sendReq(eReqPost, path, body, response);
    if (err.Failed())
        return err.Push(FX_LOCATION, "Sending Post request failed, error[%s]",
                        err.AsString().c_str());
    return CEkError();
}

CEkError CHadoopRestUtil::Put(const std::string& path, const std::string& body,
                              std::string& response) {
    CEkError err = sendReq(eReqPut, path, body, response);
    if (err.Failed())
        return err.Push(FX_LOCATION, "Sending Put request failed, error[%s]",
                        err.AsString().c_str());
    return CEkError();
}

CEkError CHadoopRestUtil::Del(const std::string& path, const std::string& body,
                              std::string& response) {
    CEkError err = sendReq(eReqDelete, path, body, response);
    if (err.Failed())
        return err.Push(FX_LOCATION, "Sending Delete request failed, error[%s]",
                        err.AsString().c_str());
    return CEkError();
}

CEkError CHadoopRestUtil::SetCommonCurlHeaders(DXLibCurl& client) {
    client.DXLibCurlFreeHttpHeaderList();
    if (!client.DXLibCurlAppendHeader(HTTP_HDR_REQUEST, "Content-Type: application/json"))
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "Failed to set CURL Accept header 2");
    if (!client.DXLibCurlAppendHeader(HTTP_HDR_REQUEST, "User-Agent: curl/7.32.0"))
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "Failed to set CURL Accept header 3");
    if (!m_sSecret.empty()) {
        const std::string header = std::string(kSecretHeader) + ": " + m_sSecret;
        if (!client.DXLibCurlAppendHeader(HTTP_HDR_REQUEST, header.c_str()))
            return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "Failed to set the secret header");
    }
    return CEkError();
}

void CHadoopRestUtil::recvResp(DXLibCurl& client, std::string& response) {
    size_t length = 0;
    const char* body = client.GetHttpResponse(length, false);
    if (body != nullptr)
        response.assign(body);  // up to the first NUL byte
    else
        response.clear();
    DXLOG(5, "Curl response: [%s]", response.c_str());
}

void CHadoopRestUtil::appendQueryStringArgument(std::string& url, const char* format, ...) {
    char buffer[2048] = {};
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    url += url.find('?') == std::string::npos ? "?" : "&";
    url += buffer;
}

CEkError CHadoopRestUtil::GetValueForKey(const std::string& file, const std::string& key,
                                         std::string& value) {
    errno = 0;
    std::ifstream in(file);
    if (!in.is_open()) {
        const int errNo = errno;
        if (errNo != 0)
            return FXErrorUtil::ErrorErrNo(FX_LOCATION, errNo);
        return CEkError();
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        if (line.compare(0, equals, key) == 0 && equals == key.size()) {
            value = line.substr(equals + 1);
            break;
        }
    }
    return CEkError();
}

}  // namespace DXHadoop
