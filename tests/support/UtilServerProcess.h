// The REST utility service (localcluster/utilserver) run directly by a test, and a small HTTP
// client to talk to it.
//
// The service is started the way the library starts it:
//   java -Ddxutil.config.file=<config> -cp <dir>/dxhdfsutil.jar:<dir>/dxhdfsutil-nodep.jar
//        webserver.UtilServer <port>
// with <dir> = LOCALCLUSTER_UTILSERVER_DIR (the built jars and property templates). A test that
// wants the library to talk to a service it did not start (a mode other than 0) can use it too.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Writes <serviceDir>/dxhadooputil.properties from the built template, with util.hadoop.config
// set to `hadoopConfDir`, followed by `extraLines` (each ending with "\n"). The file is replaced
// atomically (new inode), so a running service always notices the change.
void WriteUtilServerProperties(const std::string& serviceDir, const std::string& hadoopConfDir,
                               const std::string& extraLines = "");

// Writes <serviceDir>/dxhadooplog4j.properties from the built template with the given root
// logger ("DEBUG, R") and log file (empty: standard error).
void WriteUtilServerLog4j(const std::string& serviceDir, const std::string& rootLogger,
                          const std::string& logFile);

// Writes <confDir>/core-site.xml naming `namespaceRoot` as localcluster.namespace.root.
void WriteNamespaceConf(const std::string& confDir, const std::string& namespaceRoot);

// A free TCP port on 127.0.0.1 (the operating system's choice; not reserved afterwards).
unsigned FreeLocalPort();

// The first executable `name` on PATH; empty when there is none.
std::string FindOnPath(const std::string& name);

// A fresh random secret for a service a test starts.
std::string RandomServiceSecret();

class UtilServerProcess {
  public:
    // Starts the service with -Ddxutil.config.file=`configLocation` on `port` (0: a free one),
    // `secret` in its environment (none when it is nullopt) and a pipe as its standard input
    // whose write end this object keeps; `extraClassPath` (e.g. Hadoop's client jars) follows the
    // service's own jars; `jvmArgs` come before the configuration property. Standard output and
    // error go to `outputFile`. Throws std::runtime_error when java is missing or fork fails.
    UtilServerProcess(const std::string& configLocation, const std::string& outputFile,
                      unsigned port = 0, std::optional<std::string> secret = RandomServiceSecret(),
                      const std::string& extraClassPath = "",
                      const std::vector<std::string>& jvmArgs = {});
    // Kills the process (SIGKILL) if it still runs, and reaps it.
    ~UtilServerProcess();
    UtilServerProcess(const UtilServerProcess&) = delete;
    UtilServerProcess& operator=(const UtilServerProcess&) = delete;

    pid_t pid() const { return m_pid; }
    const std::string& secret() const { return m_secret; }
    // Closes our end of the service's standard input, as the death of its parent would.
    void CloseStdin();
    unsigned port() const { return m_port; }
    // "http://localhost:<port>/REST/<application>"
    std::string baseUrl(const std::string& application = "hadoop") const;

    // Polls GET hello.json until the service gives any HTTP answer. False when the process ends
    // first or `timeoutMs` passes.
    bool WaitUntilAnswering(int timeoutMs = 30000);
    // Waits for the process to end and reaps it; its wait status, or -1 after `timeoutMs`.
    int WaitForExit(int timeoutMs);

  private:
    pid_t m_pid = -1;
    unsigned m_port = 0;
    std::string m_secret;
    int m_stdinWrite = -1;
};

// One libcurl easy handle, reused (keep-alive) for every request; not thread-safe: one per
// thread. Sends "Content-Type: application/json" like the library, and the service's secret
// header once SetSecret gave one.
class HttpClient {
  public:
    void SetSecret(const std::string& secret) { m_secret = secret; }

    struct Answer {
        int curlCode = 0;  // CURLcode of the exchange (0: an HTTP answer arrived)
        long status = 0;   // HTTP status, 0 without an answer
        std::string body;
    };

    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    Answer Request(const std::string& method, const std::string& url, const std::string& body = "",
                   long timeoutMs = 10000);
    Answer Get(const std::string& url, long timeoutMs = 10000) {
        return Request("GET", url, "", timeoutMs);
    }
    Answer Post(const std::string& url, const std::string& body, long timeoutMs = 10000) {
        return Request("POST", url, body, timeoutMs);
    }

  private:
    void* m_curl;
    std::string m_secret;
};

}  // namespace testsupport
