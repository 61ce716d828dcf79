// Which ticket cache file a connection uses, and KRB5CCNAME pointing at it.
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "hadoop/HadoopBinding.h"
#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopKerberos.h"
#include "host/Loader.h"
#include "host/Log.h"
#include "host/Path.h"
#include "host/Strings.h"

namespace {

typedef int32_t krb5_error_code;
struct _krb5_context;
typedef struct _krb5_context* krb5_context;
typedef krb5_error_code (*krb5_init_context_t)(krb5_context*);
typedef const char* (*krb5_cc_default_name_t)(krb5_context);

// A default name may carry its cache type ("FILE:/tmp/krb5cc_0"); the directory of a file cache
// is the parent of the path after the type.
std::string WithoutFileCacheType(const std::string& name) {
    static const std::string kFileType = "FILE:";
    return name.compare(0, kFileType.size(), kFileType) == 0 ? name.substr(kFileType.size()) : name;
}
typedef void (*krb5_free_context_t)(krb5_context);

// The Kerberos libraries tried in order. Tests may name another library in
// $HDFSAGENT_KRB5_LIBRARY (one that cannot be loaded, or one without the entry points).
std::vector<std::string> KerberosLibraryNames() {
    const char* replacement = getenv("HDFSAGENT_KRB5_LIBRARY");
    if (replacement != nullptr && *replacement != '\0')
        return {replacement};
    return {"libkrb5.so", "libkrb5.so.3"};
}

// Closes the Kerberos context (when the library offers the call) before the library goes.
class KerberosContext {
  public:
    KerberosContext(krb5_context context, krb5_free_context_t freeContext)
        : m_pContext(context), m_pFree(freeContext) {}
    ~KerberosContext() {
        if (m_pContext != nullptr && m_pFree != nullptr)
            m_pFree(m_pContext);
    }
    KerberosContext(const KerberosContext&) = delete;
    KerberosContext& operator=(const KerberosContext&) = delete;

  private:
    krb5_context m_pContext;
    krb5_free_context_t m_pFree;
};

// Asks the Kerberos library for its default cache name and returns its parent directory in
// `directory` ("" when there is none). `failure` receives the reason when the library could not
// answer (the caller then falls back). Returns a failure only when the library loads but lacks
// krb5_init_context.
CEkError DefaultCacheDirectoryFromLibrary(std::string& directory, CEkError& failure) {
    directory.clear();
    // Kept loaded: unloading a library with finalisers of its own buys nothing here.
    CEkLibrary library;
    CEkError err;
    for (const std::string& name : KerberosLibraryNames()) {
        err = library.Load(name, false);
        if (err.Succeeded())
            break;
    }
    if (err.Failed()) {
        failure = err;
        return CEkError();
    }

    krb5_init_context_t initContext = nullptr;
    err = library.GetAddress("krb5_init_context", initContext);
    if (err.Failed())
        return err.Push(FX_LOCATION);

    krb5_context context = nullptr;
    krb5_error_code rc = initContext(&context);
    if (rc != 0 || context == nullptr) {
        DXLOG(-1,
              "Failed to init context to get default kerberos credential cache default value. "
              "rc %d",
              rc);
        failure = FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "krb5_init_context failed, rc %d", rc);
        return CEkError();
    }
    krb5_free_context_t freeContext = nullptr;
    (void)library.GetAddress("krb5_free_context", freeContext);
    KerberosContext contextOwner(context, freeContext);

    krb5_cc_default_name_t defaultName = nullptr;
    err = library.GetAddress("krb5_cc_default_name", defaultName);
    if (err.Failed()) {
        failure = err;
        return CEkError();
    }
    if (defaultName == nullptr) {
        DXLOG(-1,
              "Failed to get krb5_cc_default_name to get default kerberos credential cache "
              "default value.");
        failure = FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "krb5_cc_default_name is null");
        return CEkError();
    }
    const char* name = defaultName(context);
    if (name == nullptr) {
        failure = FXErrorUtil::ErrorWin32(
            FX_LOCATION, 1627, "Failed to get default kerberos credential cache default value.");
        return CEkError();
    }
    // Copied before the context (which owns the text) and the library go.
    DXLOG(0, "Cache path(krb5_cc_default_name): %s", name);
    directory = CEkPath(WithoutFileCacheType(name)).GetParent();
    return CEkError();
}

}  // namespace

CEkError CHadoopFS::CHadoopConnection::LoadDefaultKerberosCachePath(
    uid_t uid, const std::string& fallbackDirectory) {
    // Settled once per process; the lock keeps two connections from settling it at once.
    static std::mutex s_oKerberosCacheDirLock;
    static std::string s_sKerberosCacheDir;

    m_sKerberosCachePath.clear();
    std::string directory;
    {
        std::lock_guard<std::mutex> lock(s_oKerberosCacheDirLock);
        if (s_sKerberosCacheDir.empty()) {
            CEkError failure;
            CEkError err = DefaultCacheDirectoryFromLibrary(directory, failure);
            if (err.Failed())
                return err.Push(FX_LOCATION);
            if (directory.empty() || !FXPath::DoesPathExist(directory) || failure.Failed()) {
                DXLOG(-1, "Failed to get default kerberos credential cache default value. %s",
                      failure.AsString().c_str());
                directory = fallbackDirectory;
            }
            s_sKerberosCacheDir = directory;
        }
        directory = s_sKerberosCacheDir;
    }

    m_sKerberosCachePath = FXPath::Append(directory, HadoopKerberos::CacheFileName(uid));
    int rc = setenv("KRB5CCNAME", m_sKerberosCachePath.c_str(), 1);
    if (rc != 0)
        DXLOG(-1, "Failed to set KRB5CCNAME, error=%d", rc);
    return CEkError();
}

CEkError CHadoopFS::CHadoopConnection::DiscoverKerberosCachePath() {
    if (!gbLibraryInitialized)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, 14, "not initialized");
    m_sKerberosCachePath.clear();

    // The start-up environment, not the current one, which this very code changes.
    std::string inherited;
    bool hasInherited = HadoopKerberos::ReadStartupEnvironmentValue(
        FXString::Format("/proc/%d/environ", static_cast<int>(getpid())), "KRB5CCNAME", inherited);

    uid_t uid = 0;
    CEkError err = m_pFS->GetUserID(m_sUser, uid);
    if (err.Failed()) {
        DXLOG(-1, "Failed to convert %s to an ID, will use current user ID, error=%s",
              m_sUser.c_str(), err.AsString().c_str());
        uid = getuid();
    }

    if (!hasInherited) {
        err = LoadDefaultKerberosCachePath(uid, "/tmp");
        if (err.Failed())
            return err.Push(FX_LOCATION, "Failed to get default kerberos credential cache path");
    } else {
        DXLOG(0, "Value of KRB5CCNAME== read from env: %s", inherited.c_str());
        if (FXString::EndsWith(inherited, HadoopKerberos::CacheFileName(uid))) {
            m_sKerberosCachePath = inherited;
        } else {
            int rc = unsetenv("KRB5CCNAME");
            if (rc != 0)
                DXLOG(-1, "Failed to unset KRB5CCNAME, error=%d", rc);
            DXLOG(-1, "%s does not belong to %d. Read default cache from krb5.conf",
                  inherited.c_str(), static_cast<int>(uid));
            std::string parent, name;
            (void)FXPath::SplitParentPath(inherited, parent, name);
            err = LoadDefaultKerberosCachePath(uid, parent);
            if (err.Failed())
                return err.Push(FX_LOCATION,
                                "Failed to get default kerberos credential cache path");
        }
    }

    if (m_sKerberosCachePath.empty()) {
        m_sLastError = "Failed to derive Kerberos cache path, Kerberos authentication will fail";
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "failed to derive Kerberos cache path");
    }

    // The cache lies in a shared directory under a predictable name: hand over only a regular
    // file, never what a symbolic link planted there points to.
    const std::string path = HadoopKerberos::CacheFilePath(m_sKerberosCachePath);
    uid_t previousOwner = 0;
    int error = 0;
    switch (HadoopKerberos::GiveCacheFileToUser(path, uid, previousOwner, error)) {
        case HadoopKerberos::EOwnerChange::eChanged:
            DXLOG(0, "%s ownership changed from %d to %d", path.c_str(),
                  static_cast<int>(previousOwner), static_cast<int>(uid));
            break;
        case HadoopKerberos::EOwnerChange::eNotRegular:
            DXLOG(-1, "%s is not a regular file (a symbolic link?), leaving it alone",
                  path.c_str());
            break;
        case HadoopKerberos::EOwnerChange::eFailed:
            DXLOG(-1, "Failed to set %d as owner for %s, errno(%d)", static_cast<int>(uid),
                  path.c_str(), error);
            break;
        case HadoopKerberos::EOwnerChange::eMissing:
        case HadoopKerberos::EOwnerChange::eAlreadyOwned:
            break;
    }
    DXLOG(0, "using Kerberos cache path - '%s'", m_sKerberosCachePath.c_str());
    return CEkError();
}
