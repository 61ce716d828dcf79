// DXLibCurl: the host's HTTP client, over libcurl.
//
// One object holds one libcurl easy handle, reused for every exchange (so a keep-alive
// connection to the same server is reused too), one list of request headers and one in-memory
// buffer for the response body of the last exchange.
//
// An exchange succeeds when the transfer completes and the server answers with a 2xx status.
// After a failed exchange m_nHttpStatusCode holds the status the server sent (0 when none
// arrived: refused connection, closed connection, time-out), and the body that arrived, if any,
// stays readable through GetHttpResponse until the next exchange.
//
// Time-outs: every exchange has a connect time-out and a total time-out (defaults
// kDefaultConnectTimeoutMs, kDefaultTotalTimeoutMs), settable per object, so a server that
// accepts and never answers cannot block a caller for ever.
//
// Thread-safety: one object is not synchronised; callers that share one serialise their
// exchanges. Distinct objects may be used from different threads.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host/Export.h"

// Request methods. The numbers are part of the interface: callers pass them through unchanged.
enum _http_req_type_ {
    HTTP_REQ_GET = 0,
    HTTP_REQ_POST = 1,
    HTTP_REQ_PUT = 2,
    HTTP_REQ_DELETE = 3,
    HTTP_REQ_HEAD = 4,
    HTTP_REQ_PATCH = 5,
    HTTP_REQ_INVALID = 6,
};

// Header kinds. Only request headers (0) exist.
enum _http_hdr_type_ {
    HTTP_HDR_REQUEST = 0,
};

// Receives response data instead of the built-in buffer (libcurl's write-callback contract:
// return `size * count` to go on, anything else aborts the exchange). `context` is the
// DXLibCurl object.
typedef size_t (*DXLibCurlWriteCallback)(char* data, size_t size, size_t count, void* context);

class HDFSAGENT_API DXLibCurl {
  public:
    static constexpr long kDefaultConnectTimeoutMs = 10000;
    static constexpr long kDefaultTotalTimeoutMs = 60000;

    DXLibCurl();
    ~DXLibCurl();
    DXLibCurl(const DXLibCurl&) = delete;
    DXLibCurl& operator=(const DXLibCurl&) = delete;

    // Prepares the easy handle. `caInfo`: a CA bundle file for https (null: the system's);
    // `verifyPeer`: verify the server's certificate for https; `verbose`: libcurl's trace on
    // standard error; `callback`: null to collect each response body in this object.
    // False (with GetLastErrorText) when libcurl cannot be initialised.
    bool DXLibCurlInit(const char* caInfo, bool verifyPeer, bool verbose,
                       DXLibCurlWriteCallback callback);

    // Drops every request header.
    void DXLibCurlFreeHttpHeaderList();
    // Adds one complete header line ("Name: value"). False for an unknown kind, a null or empty
    // line, or a line holding a CR or LF (which would split the request).
    bool DXLibCurlAppendHeader(_http_hdr_type_ type, const char* header);

    // One exchange: `type` to the absolute `url` with `length` bytes of `body` (null body:
    // none). `followRedirects`: follow 3xx answers; `userPassword`: "user:password" for basic
    // authentication, or null. True on a 2xx answer; false otherwise, with m_nHttpStatusCode
    // and the body as described above. Before the call the previous response body is dropped.
    bool DXLibCurlSendHttpReq(_http_req_type_ type, const char* url, const void* body,
                              size_t length, bool followRedirects, const char* userPassword);

    // The last response body, NUL-terminated, or null when the last exchange returned none.
    // `length` receives its size. The pointer stays valid until the next exchange. The second
    // argument is unused (kept for the host's signature).
    const char* GetHttpResponse(size_t& length, bool unused);

    // The method's name ("GET", "POST", ...), "UNKNOWN" for any other value.
    static const char* GetHttpReqTypeString(_http_req_type_ type);

    // Time-outs of the following exchanges, in milliseconds; values <= 0 restore the defaults.
    void SetTimeouts(long connectTimeoutMs, long totalTimeoutMs);

    // libcurl's text for the last failure ("" after a success).
    const std::string& GetLastErrorText() const { return m_sLastError; }

    // HTTP status of the last exchange; 0 when no answer arrived.
    long m_nHttpStatusCode = 0;

  private:
    static size_t CollectBody(char* data, size_t size, size_t count, void* context);
    bool ApplyMethod(_http_req_type_ type, const void* body, size_t length);

    void* m_pCurl = nullptr;  // CURL*
    DXLibCurlWriteCallback m_pCallback = nullptr;
    std::vector<std::string> m_vHeaders;
    std::string m_sResponse;
    std::string m_sLastError;
    std::vector<char> m_vErrorBuffer;
    long m_nConnectTimeoutMs = kDefaultConnectTimeoutMs;
    long m_nTotalTimeoutMs = kDefaultTotalTimeoutMs;
};
