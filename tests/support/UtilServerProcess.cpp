#include "support/UtilServerProcess.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

namespace {

const std::string kJarDir = LOCALCLUSTER_UTILSERVER_DIR;

// Replaces the line "key=<anything>" of a property text with "key=value".
std::string SetPropertyLine(const std::string& text, const std::string& key,
                            const std::string& value) {
    std::istringstream in(text);
    std::string line, out;
    bool found = false;
    while (std::getline(in, line)) {
        if (line.rfind(key + "=", 0) == 0) {
            line = key + "=" + value;
            found = true;
        }
        out += line + "\n";
    }
    if (!found)
        out += key + "=" + value + "\n";
    return out;
}

void ReplaceFile(const std::string& path, const std::string& content) {
    std::string temporary = path + ".new";
    WriteFile(temporary, content);
    std::filesystem::rename(temporary, path);
}

}  // namespace

void WriteUtilServerProperties(const std::string& serviceDir, const std::string& hadoopConfDir,
                               const std::string& extraLines) {
    std::string text = ReadFile(kJarDir + "/dxhadooputil.properties");
    ReplaceFile(serviceDir + "/dxhadooputil.properties",
                SetPropertyLine(text, "util.hadoop.config", hadoopConfDir) + extraLines);
}

void WriteUtilServerLog4j(const std::string& serviceDir, const std::string& rootLogger,
                          const std::string& logFile) {
    std::string text = ReadFile(kJarDir + "/dxhadooplog4j.properties");
    text = SetPropertyLine(text, "log4j.rootLogger", rootLogger);
    ReplaceFile(serviceDir + "/dxhadooplog4j.properties",
                SetPropertyLine(text, "log4j.appender.R.File", logFile));
}

void WriteNamespaceConf(const std::string& confDir, const std::string& namespaceRoot) {
    WriteFile(
        confDir + "/core-site.xml",
        "<?xml version=\"1.0\"?>\n<configuration>\n"
        "  <property><name>fs.defaultFS</name><value>hdfs://localhost:8020</value></property>\n"
        "  <property><name>localcluster.namespace.root</name><value>" +
            namespaceRoot + "</value></property>\n</configuration>\n");
}

unsigned FreeLocalPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("bind to a free port failed");
    }
    close(fd);
    return ntohs(address.sin_port);
}

std::string FindOnPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

std::string RandomServiceSecret() {
    std::random_device random;
    std::string secret = "test-";
    for (int i = 0; i < 4; ++i)
        secret += std::to_string(random());
    return secret;
}

UtilServerProcess::UtilServerProcess(const std::string& configLocation,
                                     const std::string& outputFile, unsigned port,
                                     std::optional<std::string> secret,
                                     const std::string& extraClassPath,
                                     const std::vector<std::string>& jvmArgs)
    : m_port(port ? port : FreeLocalPort()), m_secret(secret.value_or("")) {
    std::string java = FindOnPath("java");
    if (java.empty())
        throw std::runtime_error("no java on PATH");
    std::vector<std::string> args = {java,
                                     "-Ddxutil.config.file=" + configLocation,
                                     "-cp",
                                     kJarDir + "/dxhdfsutil.jar:" + kJarDir +
                                         "/dxhdfsutil-nodep.jar" +
                                         (extraClassPath.empty() ? "" : ":" + extraClassPath),
                                     "webserver.UtilServer",
                                     std::to_string(m_port)};
    args.insert(args.begin() + 1, jvmArgs.begin(), jvmArgs.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::string(*entry).rfind("HDFSAGENT_RESTUTIL_SECRET=", 0) != 0)
            environment.push_back(*entry);
    }
    if (secret)
        environment.push_back("HDFSAGENT_RESTUTIL_SECRET=" + *secret);
    std::vector<char*> envp;
    for (auto& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int in[2] = {-1, -1};
    if (out < 0 || pipe2(in, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot open " + outputFile + " or a pipe");
    fflush(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        dup2(in[0], 0);
        dup2(out, 1);
        dup2(out, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out);
    close(in[0]);
    m_stdinWrite = in[1];
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
}

UtilServerProcess::~UtilServerProcess() {
    CloseStdin();
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

void UtilServerProcess::CloseStdin() {
    if (m_stdinWrite >= 0)
        close(m_stdinWrite);
    m_stdinWrite = -1;
}

std::string UtilServerProcess::baseUrl(const std::string& application) const {
    return "http://localhost:" + std::to_string(m_port) + "/REST/" + application;
}

bool UtilServerProcess::WaitUntilAnswering(int timeoutMs) {
    HttpClient client;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (m_pid <= 0 || waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        if (client.Get(baseUrl() + "/hello.json", 1000).status != 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int UtilServerProcess::WaitForExit(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_pid > 0) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return status;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

namespace {

size_t CollectBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

}  // namespace

HttpClient::HttpClient() {
    static std::once_flag initialized;
    std::call_once(initialized, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    m_curl = curl_easy_init();
    if (!m_curl)
        throw std::runtime_error("curl_easy_init failed");
}

HttpClient::~HttpClient() {
    curl_easy_cleanup(static_cast<CURL*>(m_curl));
}

HttpClient::Answer HttpClient::Request(const std::string& method, const std::string& url,
                                       const std::string& body, long timeoutMs) {
    CURL* curl = static_cast<CURL*>(m_curl);
    Answer answer;
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    if (!m_secret.empty())
        headers = curl_slist_append(headers, ("X-Hdfsagent-Secret: " + m_secret).c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    if (method == "GET") {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    answer.curlCode = curl_easy_perform(curl);
    if (answer.curlCode == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    return answer;
}

}  // namespace testsupport
