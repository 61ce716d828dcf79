#include "support/RestStubServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>

namespace testsupport {

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

bool SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

RestStubServer::RestStubServer() {
    m_handler = [](const StubRequest&) { return StubAnswer{200, "{}", false, 0}; };
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        throw std::runtime_error("socket failed");
    int one = 1;
    setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listenFd, 64) != 0)
        throw std::runtime_error("bind/listen failed");
    socklen_t length = sizeof address;
    getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

RestStubServer::~RestStubServer() {
    m_stopping = true;
    shutdown(m_listenFd, SHUT_RDWR);
    m_acceptThread.join();
    close(m_listenFd);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int fd : m_openFds)
            shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : m_connections)
        t.join();
}

void RestStubServer::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = std::move(handler);
}

std::vector<StubRequest> RestStubServer::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

size_t RestStubServer::RequestCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.size();
}

void RestStubServer::AcceptLoop() {
    while (!m_stopping) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_openFds.push_back(fd);
        m_connections.emplace_back([this, fd] { Serve(fd); });
    }
}

void RestStubServer::Serve(int fd) {
    std::string buffer;
    char chunk[8192];
    auto readMore = [&]() {
        while (!m_stopping) {
            pollfd p{fd, POLLIN, 0};
            int r = poll(&p, 1, 100);
            if (r < 0)
                return false;
            if (r == 0)
                continue;
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            buffer.append(chunk, static_cast<size_t>(n));
            return true;
        }
        return false;
    };
    for (;;) {
        size_t headerEnd;
        while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos)
            if (!readMore())
                goto done;
        {
            StubRequest request;
            std::string head = buffer.substr(0, headerEnd);
            size_t lineEnd = head.find("\r\n");
            std::string requestLine = head.substr(0, lineEnd);
            size_t sp1 = requestLine.find(' ');
            size_t sp2 = requestLine.find(' ', sp1 + 1);
            request.method = requestLine.substr(0, sp1);
            request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
            size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
            while (pos < head.size()) {
                size_t next = head.find("\r\n", pos);
                if (next == std::string::npos)
                    next = head.size();
                std::string line = head.substr(pos, next - pos);
                size_t colon = line.find(':');
                if (colon != std::string::npos) {
                    std::string value = line.substr(colon + 1);
                    value.erase(0, value.find_first_not_of(' '));
                    request.headers[Lower(line.substr(0, colon))] = value;
                }
                pos = next + 2;
            }
            size_t contentLength = 0;
            auto it = request.headers.find("content-length");
            if (it != request.headers.end())
                contentLength = std::stoul(it->second);
            buffer.erase(0, headerEnd + 4);
            while (buffer.size() < contentLength)
                if (!readMore())
                    goto done;
            request.body = buffer.substr(0, contentLength);
            buffer.erase(0, contentLength);

            Handler handler;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.push_back(request);
                handler = m_handler;
            }
            StubAnswer answer = handler(request);
            auto until =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(answer.delayMs);
            while (!m_stopping && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (answer.closeWithoutAnswer || m_stopping)
                goto done;
            std::string response =
                "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) +
                "\r\nContent-Type: application/json\r\n" +
                "Content-Length: " + std::to_string(answer.body.size()) + "\r\n\r\n" + answer.body;
            if (request.method == "HEAD")
                response.resize(response.size() - answer.body.size());
            if (!SendAll(fd, response))
                goto done;
        }
    }
done:
    std::lock_guard<std::mutex> lock(m_mutex);
    m_openFds.erase(std::remove(m_openFds.begin(), m_openFds.end(), fd), m_openFds.end());
    close(fd);
}

}  // namespace testsupport
