// The REST utility service: a small Java web server ("webserver.UtilServer", shipped as
// dxhdfsutil.jar and dxhdfsutil-nodep.jar in <base>/dxjars) that reads and writes what libhdfs
// does not offer (ACLs, extended attributes). DXHadoop::CHadoopRestUtil starts it as a child
// process on a free local port, prepares its property files, probes it until it answers, sends
// it JSON requests over HTTP and stops it. It can also be a pure client of a service that runs
// already (any mode other than eModeOwnService).
//
// Lifecycle. Start (own service): stops whatever service this object started before, picks a
// free port, finds Java, prepares the property files, starts
//   <java> <hdp arg> <extra args> -Ddxutil.config.file=<config dir or /etc/Rezod/>
//          -cp <base>/dxjars/dxhdfsutil.jar:<base>/dxjars/dxhdfsutil-nodep.jar[:<jars>]
//          webserver.UtilServer <port>
// (arguments passed without a shell), creates the HTTP client and sends "hello.json" until the
// service answers: one attempt per 10 seconds of the wait time (120 s, raised by the setting
// "nHadoopRestUtilWaitTime"); only "no usable answer" (2250) is retried; the check also ends
// when the process has exited. A failed Start leaves no process running. Stop kills the process
// and reaps it; the destructor does the same.
//
// Requests. Many threads may share one started object and send at once: each exchange borrows
// an HTTP client (a libcurl handle that keeps its connection to the service open) from the
// object's pool and gives it back afterwards, so exchanges from several threads run side by side
// instead of queuing behind one another. The pool grows to the number of callers at once and
// keeps at most kMaxIdleClients between exchanges. Codes: 22 invalid input (nothing sent), 2250 not
// initialised or no usable answer (any status but 503, or no answer at all; the body, if any, in
// `response`), 5006 the service answered 503 (`response` untouched), 1627 a header refused.
//
// Authentication. Every request, hello included, carries the service's secret in the header
// "X-Hdfsagent-Secret"; the service answers 401 without the right one. Start (own service)
// makes a fresh secret of 256 random bits (getrandom) and hands it to the child in its
// environment (HDFSAGENT_RESTUTIL_SECRET), never on its command line. A client of a service
// started elsewhere takes the secret given by SetServiceSecret, else the setting
// "sHadoopRestUtilSecret" (section "FileSystemAgent"); without either it sends none.
//
// Lifetime. The own service gets a pipe as its standard input whose write end only this object
// holds (close-on-exec); the service ends when it reads end-of-file, so it cannot outlive the
// process that started it, whether that process stops it, exits or is killed.
//
// Time-outs of each exchange: settings "nHadoopRestUtilConnectTimeoutMs" and
// "nHadoopRestUtilRequestTimeoutMs" (section "FileSystemAgent"), read by Start; defaults 10 s
// and 60 s. The pause between hello attempts is 10 s; the environment variable
// HDFSAGENT_RESTUTIL_RETRY_MS replaces it (tests).
//
// Thread-safety: requests (sendReq, Get, Post, Put, Del and the ACL functions below) may run
// from any number of threads at once. Start, Stop and the destructor take no lock; callers finish
// Start before sending requests and stop sending before Stop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/Error.h"
#include "host/Export.h"
#include "host/Http.h"
#include "host/Lock.h"
#include "host/Process.h"

namespace DXHadoop {

enum eHadoopAppType : int32_t {
    eAppTypeHadoop = 1,
    eAppTypeHBase = 2,
};

enum eMode : int32_t {
    eModeOwnService = 0,  // this object starts, probes and stops its own service
    eModeExternal = 1,    // a service already listens on the given port
};

enum eReqType : int32_t {
    eReqGet = 0,
    eReqPost = 1,
    eReqPut = 2,
    eReqDelete = 3,
    eReqInvalid = 6,
};

class HDFSAGENT_API CHadoopRestUtil {
  public:
    CHadoopRestUtil(const std::string& javaPath, const std::string& baseDirectory,
                    const std::string& hadoopUser, eHadoopAppType appType,
                    const std::string& configDirectory, const std::string& hbaseUser);
    CHadoopRestUtil(eMode mode, eHadoopAppType appType, unsigned int port);
    // Stops (kills and reaps) a service this object started, then releases the HTTP client,
    // the process object and the lock.
    ~CHadoopRestUtil();
    CHadoopRestUtil(const CHadoopRestUtil&) = delete;
    CHadoopRestUtil& operator=(const CHadoopRestUtil&) = delete;

    // --- Lifecycle ---
    CEkError Start();
    // Kills the service process (SIGKILL) and reaps it; clears the initialised flag. Success
    // when there is no process or it has ended already. Fails with kill()'s errno and
    // "Unable to stop service, error [%s]" (the flag then stays as it was).
    CEkError Stop();
    bool IsInitialized() const { return m_bInitialized; }
    // A free TCP port on `host` (bound with port 0 and released again). 1627 with "Name lookup
    // failed", "EKNET_socket failed. rc [%d]" or "Bind failed rc [%d]".
    CEkError GetUnUsedPort(const std::string& host, unsigned int& port);
    // The hello check (see above). Failures keep the last request's code, with "Utils hello
    // check failed" (an answer other than 2250) or "JAVA Utils hello check failed" pushed.
    CEkError checkConnection();

    // --- Configuration ---
    // Makes m_sJavaPath name the Java program: the field, the setting "sJavaPath", JAVA_HOME of
    // `hadoop envvars`, `which java`, JAVA_HOME of the installation's conf/hadoop-env.sh,
    // `whereis java`. 1168 "Failed to get java path" (and the field emptied) when none yields one.
    CEkError GetJavaPath();
    // The client configuration directory for `type`: `candidate` when it holds the required
    // files, else HADOOP_CONF_DIR / HBASE_CONF_DIR of `<program> envvars`, else the first entry
    // of `<program> classpath --glob` that holds them. 1168 "Failed to get conf path".
    CEkError GetConfPath(std::string& confPath, eHadoopAppType type, const std::string& candidate);
    // True when `files` is not empty and every `dir`/file exists as a file.
    bool IsValidConfigPath(const std::string& dir, const std::vector<std::string>& files);
    // Creates or refreshes dxhadooputil.properties and dxhadooplog4j.properties in m_sConfigDir
    // from the templates in <base>/dxjars and writes the users, configuration directories,
    // Kerberos cache path, log file and log level. Nothing when m_sConfigDir is empty.
    CEkError PopulateConfigFilePath();

    // --- Requests ---
    CEkError sendReq(eReqType type, const std::string& path, const std::string& body,
                     std::string& response);
    CEkError Get(const std::string& path, std::string& response);
    CEkError Post(const std::string& path, const std::string& body, std::string& response);
    CEkError Put(const std::string& path, const std::string& body, std::string& response);
    CEkError Del(const std::string& path, const std::string& body, std::string& response);
    // The headers every request carries (content type, agent, the secret) set on `client`.
    CEkError SetCommonCurlHeaders(DXLibCurl& client);
    // The answer body of `client`'s last exchange (up to its first NUL byte).
    void recvResp(DXLibCurl& client, std::string& response);
    // Appends "?" (or "&" when `url` has a "?") and one printf-formatted, already encoded
    // name=value pair (at most 2047 characters).
    void appendQueryStringArgument(std::string& url, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // The value of the first line "key=value" of `file` whose key equals `key` exactly (no
    // trimming, no comments); `value` unchanged when there is none. Fails only when the file
    // cannot be opened (its errno).
    CEkError GetValueForKey(const std::string& file, const std::string& key, std::string& value);

    // --- Observers (diagnostics, tests, benchmarks) ---
    const std::string& GetPort() const { return m_sPort; }
    const std::string& GetBaseUrl() const { return m_sBaseUrl; }
    const std::string& GetJavaPathField() const { return m_sJavaPath; }
    uint64_t GetWaitTime() const { return m_nWaitTime; }
    // Hello requests sent by the last hello check.
    unsigned int GetHelloAttempts() const { return m_nHelloAttempts; }
    // The service process's pid, or -1 when there is none.
    pid_t GetServicePid() const;
    // The command line of the last Start (for logs and diagnostics).
    const std::string& GetServiceCommandLine() const { return m_sCommandLine; }

    // --- Authentication ---
    // The secret requests carry: made by Start for an own service; for a service started
    // elsewhere the one given here (before Start), else the setting "sHadoopRestUtilSecret".
    void SetServiceSecret(const std::string& secret) { m_sSecret = secret; }
    const std::string& GetServiceSecret() const { return m_sSecret; }

    // Idle HTTP clients kept between exchanges; more callers at once get clients of their own,
    // which are released when they come back to a full pool.
    static const size_t kMaxIdleClients = 16;

  private:
    CEkError StartGuarded();
    CEkError StartOwnProcess();
    CEkError CreateHttpClient();
    void DiscardOwnService();
    bool ServiceProcessEnded(int& exitStatus);
    bool RunProbe(const std::string& command, std::string& out, const char* exitFailureFormat,
                  const char* outputFailureFormat);
    bool TakeJavaHome(const std::string& javaHome);
    bool JavaFromHadoopEnvSh();
    bool JavaFromWhereis();
    CEkError RefreshServiceProperties(const std::string& target);
    CEkError WriteConfigDirectory(const std::string& propertiesFile, const char* key,
                                  eHadoopAppType type, const char* failureMessage);
    CEkError PrepareLog4jProperties();
    CEkError WriteKerberosCachePath(const std::string& propertiesFile);
    // A client from the idle pool, or a new one when every client is busy.
    CEkError TakeClient(std::unique_ptr<DXLibCurl>& client) EXCLUDES(*m_pLock);
    void ReturnClient(std::unique_ptr<DXLibCurl> client) EXCLUDES(*m_pLock);
    CEkError NewClient(std::unique_ptr<DXLibCurl>& client);
    CEkError SendWith(DXLibCurl& client, eReqType type, const std::string& path,
                      const std::string& body, std::string& response);

    std::string m_sJavaPath;
    std::string m_sBaseDir;
    std::string m_sHadoopUser;
    std::string m_sBaseUrl;
    std::string m_sPort;
    bool m_bInitialized = false;
    uint64_t m_nWaitTime = 120;
    std::string m_sConfigDir;
    std::string m_sHBaseUser;
    std::string m_sDependencyJars;
    std::string m_sCmdArgs;
    std::unique_ptr<DxProcess> m_pProcess;
    eHadoopAppType m_eAppType;
    // Guards m_vIdleClients only; held to take or give back a client, never during an exchange.
    std::unique_ptr<DxCriticalSectionH> m_pLock;
    std::vector<std::unique_ptr<DXLibCurl>> m_vIdleClients GUARDED_BY(*m_pLock);
    // Time-outs of every client, read by Start (0: the client's defaults).
    long m_nConnectTimeoutMs = 0;
    long m_nTotalTimeoutMs = 0;
    eMode m_eMode;
    unsigned int m_nHelloAttempts = 0;
    std::string m_sCommandLine;
    std::string m_sSecret;
};

}  // namespace DXHadoop

// ACLs and extended attributes of one HDFS path, through a started CHadoopRestUtil (passed as
// an untyped pointer). Exported under plain C names.
//
// GetACLandXattr posts {"path":"<path>"} to "getacl" and returns the service's answer body in
// `response`. SetACLandXattr posts the caller's JSON object with "path" inserted as its first
// member to "setacl". The path is written as a JSON string (quotes, backslashes and control
// characters escaped). Errors: 22 "ptrHadoopRestUtil is NULL"; 22 "Path is not valid UTF-8"
// (an HDFS path is Unicode text; nothing is sent); for SetACLandXattr 22 "ACL and xattr
// request is not a JSON object" when the text does not begin with "{" after blanks (nothing
// sent); otherwise the request layer's error with this function's location pushed.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
HDFSAGENT_C_API CEkError GetACLandXattr(void* ptrHadoopRestUtil, const std::string& path,
                                        std::string& response);
HDFSAGENT_C_API CEkError SetACLandXattr(void* ptrHadoopRestUtil, const std::string& path,
                                        const std::string& aclAndXattrJson);

// ACLs and extended attributes of many paths with few exchanges: posts {"paths":[...]} to
// "getaclbatch", at most kAclBatchPaths paths per exchange. `answers` gets one entry per path,
// in order: status 200 and the same body GetACLandXattr returns for it, or the HTTP status and
// the error body ({"RemoteException":{...}}) the service gave for that path alone. A path that
// cannot be read does not fail the call. Errors: 22 "ptrHadoopRestUtil is NULL"; 22 "Path is not
// valid UTF-8" naming the path's position (nothing sent); the request layer's error for an
// exchange that fails as a whole; 2250 "Unexpected getaclbatch answer" when the service's answer
// does not hold one answer per path. On failure `answers` is empty. Thread-safe as the requests.
namespace DXHadoop {
struct AclAndXattrAnswer {
    long status = 0;
    std::string body;
};
const size_t kAclBatchPaths = 1000;
}  // namespace DXHadoop
HDFSAGENT_C_API CEkError GetACLandXattrBatch(void* ptrHadoopRestUtil,
                                             const std::vector<std::string>& paths,
                                             std::vector<DXHadoop::AclAndXattrAnswer>& answers);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

namespace hdfsagent {
namespace restutil {

// `text` as the inside of a JSON string: '"' and '\' escaped, control characters written as
// \b \f \n \r \t or \u00XX; every other byte unchanged.
std::string JsonEscape(const std::string& text);
bool IsValidUtf8(const std::string& text);
// The request bodies of GetACLandXattr and SetACLandXattr (same errors as they have).
CEkError BuildGetAclBody(const std::string& path, std::string& body);
CEkError BuildSetAclBody(const std::string& path, const std::string& callerObject,
                         std::string& body);
// The body of one getaclbatch exchange for paths[first, first + count) (UTF-8 checked before).
std::string BuildGetAclBatchBody(const std::vector<std::string>& paths, size_t first, size_t count);
// Appends the answers of a getaclbatch exchange for `count` paths to `answers`; 2250
// "Unexpected getaclbatch answer" (with the reason) when `response` is not such an answer.
CEkError ParseGetAclBatchAnswer(const std::string& response, size_t count,
                                std::vector<DXHadoop::AclAndXattrAnswer>& answers);

// The service's command line and the same as an argument vector (argv[0] the Java program;
// `cmdArgs` split as a command line; empty pieces dropped from the vector, kept as blanks in the
// line).
struct ServiceCommand {
    std::string line;
    std::vector<std::string> argv;
};
ServiceCommand BuildServiceCommand(const std::string& javaPath, const std::string& hdpArgument,
                                   const std::string& cmdArgs, const std::string& configDir,
                                   const std::string& baseDir, const std::string& dependencyJars,
                                   const std::string& port);

// The request header and the child's environment variable that carry the service's secret.
extern const char* const kSecretHeader;
extern const char* const kSecretEnvironment;
// A fresh secret: `bytes` bytes from getrandom as lower-case hex. Fails with getrandom's errno
// and "Cannot make the REST utility service's secret".
CEkError NewServiceSecret(std::string& secret, size_t bytes = 32);

// The administrator's extra JVM arguments, followed by -Djava.security.krb5.conf=<krb5Config>
// (quoted for the command-line split) when `krb5Config` is not empty and the arguments do not
// set that property already: the service's JVM must read the same realm profile as kinit does.
std::string JvmArgumentsWithRealmProfile(const std::string& cmdArgs, const std::string& krb5Config);
// The class path entries after the service's own jars: the setting's dependency jars, then the
// installation's Hadoop client class path (CLASSPATH as the library's set-up left it), which the
// service's Hadoop backend runs on. Empty pieces are left out.
std::string ServiceExtraClassPath(const std::string& dependencyJars, const std::string& classPath);

// Milliseconds between two hello attempts: 10000, or HDFSAGENT_RESTUTIL_RETRY_MS when set.
unsigned long HelloRetryDelayMs();

}  // namespace restutil
}  // namespace hdfsagent
