#include "host/Http.h"

#include <curl/curl.h>

#include <cstring>
#include <mutex>

namespace {

// curl_global_init is not safe to race with itself or with the first easy handle; do it once.
bool GlobalInitOnce() {
    static std::once_flag s_once;
    static CURLcode s_result = CURLE_OK;
    std::call_once(s_once, [] { s_result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return s_result == CURLE_OK;
}

CURL* Handle(void* p) {
    return static_cast<CURL*>(p);
}

// Owns the per-exchange header list.
class HeaderList {
  public:
    explicit HeaderList(const std::vector<std::string>& lines) {
        for (const std::string& line : lines)
            Append(line.c_str());
        // libcurl would otherwise announce larger bodies with "Expect: 100-continue" and wait
        // for an interim answer that small servers never send.
        Append("Expect:");
    }
    ~HeaderList() { curl_slist_free_all(m_pList); }
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;

    bool ok() const { return m_bOk; }
    curl_slist* get() const { return m_pList; }

  private:
    void Append(const char* line) {
        curl_slist* next = curl_slist_append(m_pList, line);
        if (next == nullptr) {
            m_bOk = false;
            return;
        }
        m_pList = next;
    }
    curl_slist* m_pList = nullptr;
    bool m_bOk = true;
};

}  // namespace

DXLibCurl::DXLibCurl() : m_vErrorBuffer(CURL_ERROR_SIZE + 1, '\0') {}

DXLibCurl::~DXLibCurl() {
    if (m_pCurl != nullptr)
        curl_easy_cleanup(Handle(m_pCurl));
}

bool DXLibCurl::DXLibCurlInit(const char* caInfo, bool verifyPeer, bool verbose,
                              DXLibCurlWriteCallback callback) {
    if (!GlobalInitOnce()) {
        m_sLastError = "curl_global_init failed";
        return false;
    }
    if (m_pCurl != nullptr)
        curl_easy_cleanup(Handle(m_pCurl));
    m_pCurl = curl_easy_init();
    if (m_pCurl == nullptr) {
        m_sLastError = "curl_easy_init failed";
        return false;
    }
    CURL* curl = Handle(m_pCurl);
    m_pCallback = callback;
    // Several objects may run on several threads: no signals for name-resolution time-outs.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, m_vErrorBuffer.data());
    curl_easy_setopt(curl, CURLOPT_VERBOSE, verbose ? 1L : 0L);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
    // A proxy from the environment must never see requests meant for this machine.
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verifyPeer ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verifyPeer ? 2L : 0L);
    if (caInfo != nullptr && *caInfo != '\0')
        curl_easy_setopt(curl, CURLOPT_CAINFO, caInfo);
    if (callback != nullptr) {
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, callback);
    } else {
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &DXLibCurl::CollectBody);
    }
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    m_sLastError.clear();
    return true;
}

size_t DXLibCurl::CollectBody(char* data, size_t size, size_t count, void* context) {
    DXLibCurl* self = static_cast<DXLibCurl*>(context);
    const size_t bytes = size * count;
    try {
        self->m_sResponse.append(data, bytes);
    } catch (...) {
        return 0;  // out of memory: abort the exchange rather than throw through libcurl
    }
    return bytes;
}

void DXLibCurl::DXLibCurlFreeHttpHeaderList() {
    m_vHeaders.clear();
}

bool DXLibCurl::DXLibCurlAppendHeader(_http_hdr_type_ type, const char* header) {
    if (type != HTTP_HDR_REQUEST || header == nullptr || *header == '\0')
        return false;
    if (std::strpbrk(header, "\r\n") != nullptr)
        return false;
    try {
        m_vHeaders.emplace_back(header);
    } catch (...) {
        return false;
    }
    return true;
}

void DXLibCurl::SetTimeouts(long connectTimeoutMs, long totalTimeoutMs) {
    m_nConnectTimeoutMs = connectTimeoutMs > 0 ? connectTimeoutMs : kDefaultConnectTimeoutMs;
    m_nTotalTimeoutMs = totalTimeoutMs > 0 ? totalTimeoutMs : kDefaultTotalTimeoutMs;
}

const char* DXLibCurl::GetHttpReqTypeString(_http_req_type_ type) {
    switch (type) {
        case HTTP_REQ_GET:
            return "GET";
        case HTTP_REQ_POST:
            return "POST";
        case HTTP_REQ_PUT:
            return "PUT";
        case HTTP_REQ_DELETE:
            return "DELETE";
        case HTTP_REQ_HEAD:
            return "HEAD";
        case HTTP_REQ_PATCH:
            return "PATCH";
        default:
            return "UNKNOWN";
    }
}

// Sets the method options. The handle is reused, so every option a method sets is reset first.
bool DXLibCurl::ApplyMethod(_http_req_type_ type, const void* body, size_t length) {
    CURL* curl = Handle(m_pCurl);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    const char* data = body != nullptr ? static_cast<const char*>(body) : "";
    if (body == nullptr)
        length = 0;
    auto withBody = [&](const char* method) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, data);
        if (method != nullptr)
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    };
    switch (type) {
        case HTTP_REQ_GET:
            if (length > 0)
                withBody("GET");
            return true;
        case HTTP_REQ_POST:
            withBody(nullptr);
            return true;
        case HTTP_REQ_PUT:
            withBody("PUT");
            return true;
        case HTTP_REQ_DELETE:
            if (length > 0)
                withBody("DELETE");
            else
                curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "DELETE");
            return true;
        case HTTP_REQ_HEAD:
            curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
            return true;
        case HTTP_REQ_PATCH:
            withBody("PATCH");
            return true;
        default:
            return false;
    }
}

bool DXLibCurl::DXLibCurlSendHttpReq(_http_req_type_ type, const char* url, const void* body,
                                     size_t length, bool followRedirects,
                                     const char* userPassword) {
    m_sResponse.clear();
    m_nHttpStatusCode = 0;
    m_vErrorBuffer[0] = '\0';
    if (m_pCurl == nullptr) {
        m_sLastError = "HTTP client not initialised";
        return false;
    }
    if (url == nullptr || *url == '\0') {
        m_sLastError = "no URL";
        return false;
    }
    CURL* curl = Handle(m_pCurl);
    if (!ApplyMethod(type, body, length)) {
        m_sLastError = "unsupported request type";
        return false;
    }
    HeaderList headers(m_vHeaders);
    if (!headers.ok()) {
        m_sLastError = "out of memory for the header list";
        return false;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, followRedirects ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_USERPWD, userPassword);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, m_nConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, m_nTotalTimeoutMs);

    const CURLcode rc = curl_easy_perform(curl);
    // The list dies with this scope: libcurl must not keep a pointer to it.
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    m_nHttpStatusCode = status;
    if (rc != CURLE_OK) {
        m_sLastError = m_vErrorBuffer[0] != '\0' ? m_vErrorBuffer.data() : curl_easy_strerror(rc);
        return false;
    }
    if (status < 200 || status > 299) {
        m_sLastError = "HTTP status " + std::to_string(status);
        return false;
    }
    m_sLastError.clear();
    return true;
}

const char* DXLibCurl::GetHttpResponse(size_t& length, bool /*unused*/) {
    length = m_sResponse.size();
    return m_sResponse.empty() ? nullptr : m_sResponse.c_str();
}
