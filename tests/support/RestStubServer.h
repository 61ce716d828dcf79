// A small in-process HTTP/1.1 server for the REST client's tests: it records every request and
// answers as the test tells it (a status and a body, closing the connection without an answer,
// or waiting first). Keep-alive connections are served until the client closes them. Each
// connection runs on its own thread; the server stops and joins them on destruction.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct StubRequest {
    std::string method;
    std::string target;                          // "/REST/hadoop/hello.json"
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

struct StubAnswer {
    int status = 200;
    std::string body;
    bool closeWithoutAnswer = false;
    int delayMs = 0;  // wait this long before answering (or closing)
};

class RestStubServer {
  public:
    using Handler = std::function<StubAnswer(const StubRequest&)>;

    // Listens on 127.0.0.1 on a free port. The default handler answers 200 with "{}".
    RestStubServer();
    ~RestStubServer();
    RestStubServer(const RestStubServer&) = delete;
    RestStubServer& operator=(const RestStubServer&) = delete;

    unsigned port() const { return m_port; }
    void SetHandler(Handler handler);
    // Every request so far, in arrival order.
    std::vector<StubRequest> Requests() const;
    size_t RequestCount() const;

  private:
    void AcceptLoop();
    void Serve(int fd);

    int m_listenFd = -1;
    unsigned m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;
    mutable std::mutex m_mutex;
    Handler m_handler;
    std::vector<StubRequest> m_requests;
    std::vector<std::thread> m_connections;
    std::vector<int> m_openFds;
};

}  // namespace testsupport
