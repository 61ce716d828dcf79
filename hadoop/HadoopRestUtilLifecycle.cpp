// CHadoopRestUtil: construction, Start, Stop, the free-port search and the hello check.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "hadoop/HadoopCommon.h"
#include "hadoop/HadoopRestUtil.h"
#include "host/Log.h"
#include "host/Net.h"
#include "host/Path.h"
#include "host/Settings.h"
#include "host/ShellQuote.h"
#include "host/Strings.h"

namespace {

const char* const kSection = "FileSystemAgent";
const unsigned long kDefaultHelloRetryMs = 10000;

// Releases a socket on every path.
class SocketGuard {
  public:
    explicit SocketGuard(EKSOCKET socket) : m_hSocket(socket) {}
    ~SocketGuard() {
        if (m_hSocket != EKNET_INVALID_SOCKET)
            EKNET_close(m_hSocket);
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;

  private:
    EKSOCKET m_hSocket;
};

// How often a hello retry looks whether the service has begun to listen.
const unsigned long kListenPollMs = 50;

// Whether something accepts TCP connections on `port` of one of `addresses`.
bool PortAccepts(const EKNET_HOSTENT& addresses, unsigned int port) {
    for (EKNET_ADDRESS address : addresses.m_vAddresses) {
        EKSOCKET socket = EKNET_INVALID_SOCKET;
        if (EKNET_socket(address.Family(), socket) != 0)
            continue;
        SocketGuard guard(socket);
        EKNET_SetPort(address, htons(static_cast<uint16_t>(port)));
        if (EKNET_connect(socket, address) == 0)
            return true;
    }
    return false;
}

// Sleeps `retryMs`, or less when `port` on localhost, closed as the sleep begins, starts to
// accept connections: the service's JVM listens a second or two after its start, and the hello
// check should then ask at once rather than sleep out the rest of a ten-second delay. A port that
// already accepts (a service that listens but cannot answer yet) gets the whole delay.
void SleepUntilListening(unsigned int port, unsigned long retryMs) {
    EKNET_HOSTENT* addresses = nullptr;
    if (EKNET_name2ip("localhost", addresses, 0) != 0 || PortAccepts(*addresses, port)) {
        EKNET_freehostent(addresses);
        EKSLEEP(retryMs);
        return;
    }
    for (unsigned long slept = 0; slept < retryMs; slept += kListenPollMs) {
        EKSLEEP(std::min(kListenPollMs, retryMs - slept));
        if (PortAccepts(*addresses, port))
            break;
    }
    EKNET_freehostent(addresses);
}

std::string ApplicationName(DXHadoop::eHadoopAppType type) {
    switch (type) {
        case DXHadoop::eAppTypeHadoop:
            return "hadoop";
        case DXHadoop::eAppTypeHBase:
            return "hbase";
        default:
            return "unknown";
    }
}

std::string ReadStringSetting(const char* key) {
    std::string value;
    DXPlatformInfo::getString(kSection, key, value);
    return value;
}

}  // namespace

namespace hdfsagent {
namespace restutil {

const char* const kSecretHeader = "X-Hdfsagent-Secret";
const char* const kSecretEnvironment = "HDFSAGENT_RESTUTIL_SECRET";

CEkError NewServiceSecret(std::string& secret, size_t bytes) {
    std::vector<unsigned char> random(bytes);
    size_t filled = 0;
    while (filled < bytes) {
        const ssize_t got = getrandom(random.data() + filled, bytes - filled, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno,
                                           "Cannot make the REST utility service's secret");
        filled += static_cast<size_t>(got);
    }
    static const char kHex[] = "0123456789abcdef";
    secret.clear();
    for (unsigned char byte : random) {
        secret += kHex[byte >> 4];
        secret += kHex[byte & 0x0f];
    }
    return CEkError();
}

std::string JvmArgumentsWithRealmProfile(const std::string& cmdArgs,
                                         const std::string& krb5Config) {
    const char* const property = "-Djava.security.krb5.conf=";
    if (krb5Config.empty() || cmdArgs.find(property) != std::string::npos)
        return cmdArgs;
    return (cmdArgs.empty() ? "" : cmdArgs + " ") + ShellQuote(property + krb5Config);
}

std::string ServiceExtraClassPath(const std::string& dependencyJars, const std::string& classPath) {
    if (dependencyJars.empty() || classPath.empty())
        return dependencyJars + classPath;
    return dependencyJars + ":" + classPath;
}

unsigned long HelloRetryDelayMs() {
    long value = 0;
    return FXMillisecondsFromEnvironment("HDFSAGENT_RESTUTIL_RETRY_MS", value)
               ? static_cast<unsigned long>(value)
               : kDefaultHelloRetryMs;
}

ServiceCommand BuildServiceCommand(const std::string& javaPath, const std::string& hdpArgument,
                                   const std::string& cmdArgs, const std::string& configDir,
                                   const std::string& baseDir, const std::string& dependencyJars,
                                   const std::string& port) {
    const std::string jarDir = FXPath::Append(baseDir, "dxjars");
    const std::string jar = FXPath::Append(jarDir, "dxhdfsutil.jar");
    const std::string nodepJar = FXPath::Append(jarDir, "dxhdfsutil-nodep.jar");
    const std::string config = configDir.empty() ? std::string("/etc/Rezod/") : configDir;
    const std::string extraJars = dependencyJars.empty() ? "" : ":" + dependencyJars;
    const std::string classPath = jar + ":" + nodepJar + extraJars;

    ServiceCommand command;
    // Empty pieces keep their separating blanks in the text form.
    command.line = FXString::Format(
        "%s %s %s %s%s %s %s:%s%s %s %s", javaPath.c_str(), hdpArgument.c_str(), cmdArgs.c_str(),
        "-Ddxutil.config.file=", config.c_str(), "-cp", jar.c_str(), nodepJar.c_str(),
        extraJars.c_str(), "webserver.UtilServer", port.c_str());
    // The vector keeps every path whole, blanks included; only the administrator's extra
    // arguments are split (quotes group them).
    command.argv.push_back(javaPath);
    if (!hdpArgument.empty())
        command.argv.push_back(hdpArgument);
    for (std::string& arg : DxProcess::SplitCommandLine(cmdArgs))
        command.argv.push_back(arg);
    command.argv.push_back("-Ddxutil.config.file=" + config);
    command.argv.push_back("-cp");
    command.argv.push_back(classPath);
    command.argv.push_back("webserver.UtilServer");
    command.argv.push_back(port);
    return command;
}

}  // namespace restutil
}  // namespace hdfsagent

namespace DXHadoop {

using hdfsagent::restutil::BuildServiceCommand;
using hdfsagent::restutil::HelloRetryDelayMs;
using hdfsagent::restutil::JvmArgumentsWithRealmProfile;
using hdfsagent::restutil::kSecretEnvironment;
using hdfsagent::restutil::NewServiceSecret;
using hdfsagent::restutil::ServiceCommand;
using hdfsagent::restutil::ServiceExtraClassPath;

CHadoopRestUtil::CHadoopRestUtil(const std::string& javaPath, const std::string& baseDirectory,
                                 const std::string& hadoopUser, eHadoopAppType appType,
                                 const std::string& configDirectory, const std::string& hbaseUser)
    : m_sJavaPath(javaPath),
      m_sBaseDir(baseDirectory),
      m_sHadoopUser(hadoopUser),
      m_sPort("9999"),
      m_sConfigDir(configDirectory),
      m_sHBaseUser(hbaseUser),
      m_eAppType(appType),
      m_pLock(new DxCriticalSectionH),
      m_eMode(eModeOwnService) {}

CHadoopRestUtil::CHadoopRestUtil(eMode mode, eHadoopAppType appType, unsigned int port)
    : m_sPort(FXString::Format("%u", port)),
      m_eAppType(appType),
      m_pLock(new DxCriticalSectionH),
      m_eMode(mode) {}

CHadoopRestUtil::~CHadoopRestUtil() {
    // A process that was started but never became ready is stopped too: nothing outlives the
    // object that started it.
    if (m_bInitialized || m_pProcess) {
        CEkError err = Stop();
        if (err.Failed())
            DXLOG(-1, "Stop failed with error [%s]", err.AsString().c_str());
    }
    DiscardOwnService();
}

pid_t CHadoopRestUtil::GetServicePid() const {
    return m_pProcess && m_pProcess->GetPid() > 0 ? m_pProcess->GetPid() : -1;
}

void CHadoopRestUtil::DiscardOwnService() {
    if (m_pProcess)
        m_pProcess->KillAndReap();
    m_pProcess.reset();
}

CEkError CHadoopRestUtil::Start() {
    try {
        return StartGuarded();
    } catch (const std::bad_alloc&) {
        DiscardOwnService();
        m_bInitialized = false;
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ENOMEM, "Out of memory while starting");
    } catch (const std::exception& e) {
        DiscardOwnService();
        m_bInitialized = false;
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "Start failed: %s", e.what());
    }
}

CEkError CHadoopRestUtil::StartGuarded() {
    if (m_eMode == eModeOwnService) {
        CEkError err = StartOwnProcess();
        if (err.Failed())
            return err;
    } else if (m_sSecret.empty()) {
        m_sSecret = ReadStringSetting("sHadoopRestUtilSecret");
    }

    CEkError err = CreateHttpClient();
    if (err.Failed()) {
        DiscardOwnService();
        return err;
    }
    m_bInitialized = true;
    // The hello check always goes to the Hadoop path, whatever the application.
    m_sBaseUrl = "http://localhost:" + m_sPort + "/REST/hadoop";

    if (m_eMode == eModeOwnService) {
        err = checkConnection();
        if (err.Failed()) {
            m_bInitialized = false;
            CEkError stopErr = Stop();
            if (stopErr.Failed())
                DXLOG(-1, "Stop failed with error [%s]", stopErr.AsString().c_str());
            DiscardOwnService();
            return err.Push(FX_LOCATION, "Failed to establish utils connection");
        }
    }
    m_sBaseUrl = "http://localhost:" + m_sPort + "/REST/" + ApplicationName(m_eAppType);
    return CEkError();
}

CEkError CHadoopRestUtil::StartOwnProcess() {
    // A service started by an earlier Start would otherwise run on with nobody to stop it.
    if (m_pProcess) {
        CEkError err = Stop();
        if (err.Failed())
            DXLOG(-1, "Stop failed with error [%s]", err.AsString().c_str());
        DiscardOwnService();
    }
    m_bInitialized = false;

    unsigned int port = 0;
    CEkError err = GetUnUsedPort("localhost", port);
    if (err.Failed() || port == 0)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "Could not find a un-used port to use");
    m_sPort = FXString::Format("%u", port);

    m_pProcess.reset(new DxProcess);

    err = GetJavaPath();
    if (err.Failed())
        return err.Push(FX_LOCATION, "Failed to get java path");
    err = PopulateConfigFilePath();
    if (err.Failed())
        return err.Push(FX_LOCATION, "Failed to populate config file path");

    m_sDependencyJars = ReadStringSetting("nHadoopRestUtilDependencyJars");
    m_sCmdArgs = ReadStringSetting("nHadoopRestUtilCmdArgs");
    DXLOG(0, "Debug %s %s", m_sDependencyJars.c_str(), m_sCmdArgs.c_str());

    std::string hdpArgument;
    CEkError ignored = GetHDPversionArg(hdpArgument);
    (void)ignored;

    const char* krb5Config = getenv("KRB5_CONFIG");
    const char* classPath = getenv("CLASSPATH");
    const ServiceCommand command = BuildServiceCommand(
        m_sJavaPath, hdpArgument,
        JvmArgumentsWithRealmProfile(m_sCmdArgs, krb5Config ? krb5Config : ""), m_sConfigDir,
        m_sBaseDir, ServiceExtraClassPath(m_sDependencyJars, classPath ? classPath : ""), m_sPort);
    m_sCommandLine = command.line;
    DXLOG(0, "Starting Hadoop REST utility: %s", command.line.c_str());
    err = NewServiceSecret(m_sSecret);
    if (err.Failed()) {
        m_pProcess.reset();
        return err;
    }
    // The secret travels in the child's environment, which only its own user can read; the
    // stdin pipe ends the service when we end.
    m_pProcess->SetStartEnvironment({{kSecretEnvironment, m_sSecret}});
    m_pProcess->SetStdinPipe(true);
    std::string error;
    if (!m_pProcess->StartProcess(m_sJavaPath, command.argv, &error, 0)) {
        m_pProcess.reset();
        return FXErrorUtil::ErrorWin32(
            FX_LOCATION, 1627, "Failed to start Hadoop REST utility, error=[%s]", error.c_str());
    }

    long waitTime = 0;
    if (DXPlatformInfo::getNumber(kSection, "nHadoopRestUtilWaitTime", waitTime) && waitTime > 0 &&
        static_cast<uint64_t>(waitTime) > m_nWaitTime) {
        m_nWaitTime = static_cast<uint64_t>(waitTime);
        DXLOG(0, "User setting enabled to have Hadoop REST service Wait time as [%lu] secs",
              static_cast<unsigned long>(m_nWaitTime));
    }
    return CEkError();
}

// Reads the time-outs and makes the first client, so that a client that cannot be made fails
// Start rather than the first request.
CEkError CHadoopRestUtil::CreateHttpClient() {
    {
        DxCriticalSectionLock lock(*m_pLock);
        m_vIdleClients.clear();
    }
    m_nConnectTimeoutMs = 0;
    m_nTotalTimeoutMs = 0;
    DXPlatformInfo::getNumber(kSection, "nHadoopRestUtilConnectTimeoutMs", m_nConnectTimeoutMs);
    DXPlatformInfo::getNumber(kSection, "nHadoopRestUtilRequestTimeoutMs", m_nTotalTimeoutMs);
    std::unique_ptr<DXLibCurl> client;
    CEkError err = NewClient(client);
    if (err.Failed())
        return err;
    DxCriticalSectionLock lock(*m_pLock);
    m_vIdleClients.push_back(std::move(client));
    return CEkError();
}

CEkError CHadoopRestUtil::NewClient(std::unique_ptr<DXLibCurl>& client) {
    client.reset(new DXLibCurl);
    if (!client->DXLibCurlInit(nullptr, false, false, nullptr)) {
        DXLOG(-1, "Curl initialization failed: %s", client->GetLastErrorText().c_str());
        client.reset();
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "Curl initialization failed");
    }
    client->SetTimeouts(m_nConnectTimeoutMs, m_nTotalTimeoutMs);
    return CEkError();
}

CEkError CHadoopRestUtil::Stop() {
    if (m_pProcess && m_pProcess->IsRunning()) {
        const pid_t pid = m_pProcess->GetPid();
        if (pid > 0 && kill(pid, 0) == 0 && kill(pid, SIGKILL) != 0) {
            const int errNo = errno;
            return FXErrorUtil::ErrorWin32(FX_LOCATION, errNo, "Unable to stop service, error [%s]",
                                           strerror(errNo));
        }
        // Reaping here is what keeps a killed service from lingering as a zombie.
        m_pProcess->KillAndReap();
    }
    m_bInitialized = false;
    return CEkError();
}

CEkError CHadoopRestUtil::GetUnUsedPort(const std::string& host, unsigned int& port) {
    char hostName[1024];
    std::strncpy(hostName, host.c_str(), sizeof(hostName) - 1);
    hostName[sizeof(hostName) - 1] = '\0';
    DXLOG(0, "Fetching free port for host name [%s]", hostName);

    EKNET_ADDRESS address;
    if (EKNET_str2ip(hostName, address) != 0) {
        EKNET_HOSTENT* result = nullptr;
        if (EKNET_name2ip(hostName, result, 0) != 0 || result == nullptr ||
            result->m_vAddresses.empty()) {
            EKNET_freehostent(result);
            DXLOG(-1, "Name lookup failed");
            return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "Name lookup failed");
        }
        address = result->m_vAddresses.front();
        EKNET_freehostent(result);
    }

    EKSOCKET socket = EKNET_INVALID_SOCKET;
    int rc = EKNET_socket(address.Family(), socket);
    if (rc != 0) {
        DXLOG(-1, "EKNET_socket failed. rc [%d]", rc);
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "EKNET_socket failed. rc [%d]", rc);
    }
    SocketGuard guard(socket);
    EKNET_SetPort(address, 0);
    rc = EKNET_bind(socket, address);
    if (rc != 0) {
        DXLOG(-1, "Bind failed rc [%d]", rc);
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "Bind failed rc [%d]", rc);
    }
    EKNET_ADDRESS bound;
    rc = EKNET_getsockname(socket, bound);
    if (rc != 0) {
        DXLOG(-1, "getsockname failed rc [%d]", rc);
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "getsockname failed rc [%d]", rc);
    }
    port = ntohs(EKNET_GetPort(bound));
    DXLOG(0, "UnUsed port going to be used [%d]", static_cast<int>(port));
    return CEkError();
}

bool CHadoopRestUtil::ServiceProcessEnded(int& exitStatus) {
    if (!m_pProcess || !m_pProcess->IsRunning())
        return false;
    std::string message;
    return m_pProcess->WaitForProcessToEndMs(&exitStatus, &message, 1);
}

CEkError CHadoopRestUtil::checkConnection() {
    const uint64_t attempts = m_nWaitTime / 10 > 0 ? m_nWaitTime / 10 : 1;
    const unsigned long retryMs = HelloRetryDelayMs();
    m_nHelloAttempts = 0;
    CEkError last;
    for (uint64_t attempt = 0; attempt < attempts; ++attempt) {
        std::string response;
        ++m_nHelloAttempts;
        CEkError err = Get("hello.json", response);
        if (err.Succeeded())
            return CEkError();
        if (err.Code() != 2250)
            return err.Push(FX_LOCATION, "Utils hello check failed");
        last = err;
        // A service that has exited will never answer: no reason to wait out the whole time.
        int exitStatus = 0;
        if (ServiceProcessEnded(exitStatus)) {
            DXLOG(-1, "Hadoop REST utility exited with status [%d]", exitStatus);
            return last.Push(FX_LOCATION,
                             "JAVA Utils hello check failed: the service exited with status [%d]",
                             exitStatus);
        }
        DXLOG(0, "Resource unavailable, sleeping 10 secs");
        SleepUntilListening(static_cast<unsigned int>(std::strtoul(m_sPort.c_str(), nullptr, 10)),
                            retryMs);
    }
    return last.Push(FX_LOCATION, "JAVA Utils hello check failed");
}

}  // namespace DXHadoop
