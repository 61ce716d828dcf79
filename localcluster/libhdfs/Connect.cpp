// Connecting: configuration, name node resolution, authentication, shared instances.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <set>

#include "Errors.h"
#include "Kerberos.h"
#include "Operations.h"

namespace localhdfs {

namespace {

constexpr int kDefaultNameNodePort = 8020;

struct Uri {
    std::string scheme;
    std::string authority;
};

bool ParseUri(const std::string& text, Uri& uri) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    uri.scheme = text.substr(0, colon);
    for (char& c : uri.scheme)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    uri.authority.clear();
    if (text.compare(colon + 1, 2, "//") == 0) {
        const size_t end = text.find('/', colon + 3);
        uri.authority = text.substr(colon + 3, end == std::string::npos ? end : end - colon - 3);
    }
    return true;
}

bool EndsWithPort(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size())
        return false;
    for (size_t i = colon + 1; i < text.size(); ++i)
        if (!isdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

void SplitHostPort(const std::string& authority, std::string& host, int& port) {
    const size_t colon = authority.rfind(':');
    host = authority.substr(0, colon);
    port = colon == std::string::npos ? kDefaultNameNodePort : atoi(authority.c_str() + colon + 1);
}

std::string ThisHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return std::string();
    return name;
}

// The name node of this stand-in answers at the authority of fs.defaultFS, under the names of
// this machine and the extra names of localcluster.namenode.hosts. Anything else is refused as a
// connection to an unreachable host would be.
bool NameNodeAnswers(const Config& conf, const std::string& authority) {
    Uri defaultFs;
    std::optional<std::string> configured = conf.Get(kDefaultFsKey);
    if (!configured)
        configured = conf.Get(kDefaultFsOldKey);
    std::string clusterHost = "localhost";
    int clusterPort = kDefaultNameNodePort;
    if (configured && ParseUri(*configured, defaultFs) && defaultFs.scheme == "hdfs")
        SplitHostPort(defaultFs.authority, clusterHost, clusterPort);

    std::string host;
    int port = 0;
    SplitHostPort(authority, host, port);
    if (port != clusterPort)
        return false;

    std::set<std::string> names = {clusterHost, "localhost", "127.0.0.1", "::1", ThisHostName()};
    if (std::optional<std::string> extra = conf.Get(kNameNodeHostsKey)) {
        size_t start = 0;
        while (start <= extra->size()) {
            size_t comma = extra->find(',', start);
            if (comma == std::string::npos)
                comma = extra->size();
            std::string name = extra->substr(start, comma - start);
            name.erase(0, name.find_first_not_of(" \t"));
            name.erase(name.find_last_not_of(" \t") + 1);
            if (!name.empty())
                names.insert(name);
            start = comma + 1;
        }
    }
    for (const std::string& name : names)
        if (!name.empty() && strcasecmp(name.c_str(), host.c_str()) == 0)
            return true;
    return false;
}

std::string ConnectionFailure(const std::string& uri, const std::string& cause) {
    return "Call From " + ThisHostName() + " to " + uri +
           " failed on connection exception: " + cause;
}

// The URI the connection's paths are qualified with; false with the failure recorded when the
// name node cannot be resolved.
bool ResolveFileSystemUri(const ConnectRequest& request, const Config& conf, Uri& uri) {
    if (!request.nameNode) {
        uri = Uri{"file", ""};
        return true;
    }
    std::string text = request.nameNode;
    if (text == "default") {
        // Hadoop would fall back to file:///; the stand-in refuses rather than serve this
        // machine's root file system to a test whose configuration lacks the key.
        std::optional<std::string> configured = conf.Get(kDefaultFsKey);
        if (!configured)
            configured = conf.Get(kDefaultFsOldKey);
        if (!configured || configured->empty()) {
            FailInternal("no default file system: " + std::string(kDefaultFsKey) +
                         " is not configured");
            return false;
        }
        text = *configured;
    } else {
        if (text.find("://") == std::string::npos)
            text = "hdfs://" + text;
        if (request.port != 0) {
            if (EndsWithPort(text)) {
                FailInvalid("the name node " + std::string(request.nameNode) +
                            " already has a port; port " + std::to_string(request.port) +
                            " given as well");
                return false;
            }
            text += ":" + std::to_string(request.port);
        }
    }
    if (!ParseUri(text, uri)) {
        FailInvalid("Invalid file system URI: " + text);
        return false;
    }
    if (uri.scheme != "hdfs" && uri.scheme != "file") {
        FailInternal("No FileSystem for scheme \"" + uri.scheme + "\"");
        return false;
    }
    if (uri.scheme == "hdfs" && uri.authority.empty()) {
        FailInternal("Incomplete HDFS URI, no host: " + text);
        return false;
    }
    return true;
}

bool ReadAuthentication(const Config& conf, bool& kerberos) {
    const std::string value = conf.Get(kAuthenticationKey).value_or("simple");
    if (strcasecmp(value.c_str(), "kerberos") == 0) {
        kerberos = true;
        return true;
    }
    if (strcasecmp(value.c_str(), "simple") == 0) {
        kerberos = false;
        return true;
    }
    FailInvalid("Invalid attribute value for " + std::string(kAuthenticationKey) + " of " + value);
    return false;
}

// Reads the numbers the instance needs from its configuration.
bool ApplyConfiguration(Instance& instance) {
    std::string error;
    int32_t replication = kDefaultReplication;
    if (!instance.conf.GetLongBytes(kBlockSizeKey, instance.defaultBlockSize, error) ||
        !instance.conf.GetInt(kReplicationKey, replication, error)) {
        Fail(EINTERNAL, error);
        return false;
    }
    instance.defaultReplication = replication;
    if (std::optional<std::string> umask = instance.conf.Get(kUmaskKey)) {
        char* end = nullptr;
        const long value = strtol(umask->c_str(), &end, 8);
        if (!umask->empty() && *end == '\0' && value >= 0 && value <= 0777)
            instance.umask = static_cast<mode_t>(value);
    }
    return true;
}

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? buffer : "/";
}

// The site files, then the builder's overrides (applied in call order; a key keeps its first
// value).
bool LoadConfiguration(const ConnectRequest& request, Config& conf) {
    std::string error;
    if (!conf.Load(error)) {
        FailInternal(error);
        return false;
    }
    // Without a configuration there is no cluster to talk to (the real library cannot even start
    // its JVM without the class path that carries the configuration).
    if (conf.Directory().empty()) {
        FailInternal("no Hadoop configuration: HADOOP_CONF_DIR is not set");
        return false;
    }
    std::set<std::string> overridden;
    for (const auto& [key, value] : request.conf) {
        if (key && value && overridden.insert(key).second)
            conf.Set(key, value);
    }
    return true;
}

// A name node that does not answer at the URI's authority is only noted: the real client
// connects without contacting it, and the first call that needs it fails. One that answers must
// serve a namespace (a stand-in set-up error, reported at once).
bool ReachNameNode(Instance& instance) {
    if (!NameNodeAnswers(instance.conf, instance.authority)) {
        instance.unreachable =
            ConnectionFailure(instance.uri, "java.net.ConnectException: Connection refused");
        return true;
    }
    instance.root = instance.conf.Get(kNamespaceRootKey).value_or("");
    struct stat st;
    if (instance.root.empty() || stat(instance.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        FailInternal(ConnectionFailure(instance.uri, "the name node has no namespace (" +
                                                         std::string(kNamespaceRootKey) + " = '" +
                                                         instance.root + "' is not a directory)"));
        return false;
    }
    while (instance.root.size() > 1 && instance.root.back() == '/')
        instance.root.pop_back();
    return true;
}

// A secured cluster accepts the client only with a valid ticket-granting ticket; the client is
// then the ticket's principal, whatever user name was asked for.
bool Authenticate(const ConnectRequest& request, std::string& user) {
    const TicketCheck tickets =
        CheckTicketCache(request.ticketCachePath ? request.ticketCachePath : "");
    if (!tickets.valid) {
        FailInternal(
            "javax.security.sasl.SaslException: GSS initiate failed [Caused by GSSException: No "
            "valid credentials provided (Mechanism level: " +
            tickets.reason + ")]");
        return false;
    }
    user = ShortUserName(tickets.principal);
    return true;
}

// Hadoop's FileSystem cache: hit only without a user name, ticket cache or forced new instance.
hdfsFS RegisterConnection(const ConnectRequest& request, const InstancePtr& instance) {
    const bool shared = !request.forceNewInstance && !request.userName && !request.ticketCachePath;
    if (shared) {
        instance->cacheKey = instance->uri + "|" + instance->user;
        if (InstancePtr cached = FindSharedInstance(instance->cacheKey))
            return RegisterFileSystem(cached);
        AddSharedInstance(instance);
    }
    return RegisterFileSystem(instance);
}

}  // namespace

hdfsFS Connect(const ConnectRequest& request) {
    auto instance = std::make_shared<Instance>();
    Uri uri;
    bool kerberos = false;
    if (!LoadConfiguration(request, instance->conf) ||
        !ResolveFileSystemUri(request, instance->conf, uri) ||
        !ReadAuthentication(instance->conf, kerberos))
        return nullptr;
    instance->scheme = uri.scheme;
    instance->authority = uri.authority;
    instance->local = uri.scheme == "file";
    instance->uri = instance->local ? "file:" : uri.scheme + "://" + uri.authority;
    instance->user = request.userName && *request.userName ? request.userName : LoginUserName();
    // The local file system needs neither a name node nor tickets.
    if (!instance->local &&
        (!ReachNameNode(*instance) || (kerberos && !Authenticate(request, instance->user))))
        return nullptr;
    instance->workingDirectory = instance->local ? CurrentDirectory() : "/user/" + instance->user;
    if (!ApplyConfiguration(*instance))
        return nullptr;
    if (instance->local) {
        instance->defaultBlockSize = kLocalBlockSize;
        instance->defaultReplication = kLocalReplication;
    }
    return RegisterConnection(request, instance);
}

int Disconnect(hdfsFS fs) {
    return ReleaseFileSystem(fs) ? 0 : -1;
}

}  // namespace localhdfs
