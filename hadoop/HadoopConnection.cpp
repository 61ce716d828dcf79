#include "hadoop/HadoopConnection.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "hadoop/HadoopBinding.h"
#include "host/Log.h"
#include "host/Strings.h"

namespace {

const char* AuthTypeText(AuthType_t type) {
    switch (type) {
        case 0:
            return "simple";
        case 1:
            return "kerberos";
        default:
            return "none";
    }
}

// The port text after the last colon, read as atoi does (leading digits; 0 when there are
// none), but refusing values that cannot be a port instead of wrapping them into one.
// An empty port means the default one; anything but digits (a port with trailing characters
// such as "8020;x") is refused rather than cut short.
bool ReadPort(const std::string& text, int& port) {
    if (text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long value = text.empty() ? 0 : strtol(text.c_str(), nullptr, 10);
    if (value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

// Restores errno on scope exit: logging between a libhdfs call and the reading of its errno must
// not change what the caller sees.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : m_nErrno(errno) {}
    ~ErrnoKeeper() { errno = m_nErrno; }

  private:
    int m_nErrno;
};

}  // namespace

CHadoopFS::CHadoopConnection::CHadoopConnection(CHadoopFS* fs)
    : m_sNameNode("default"),
      m_sUser("hdfs"),
      m_eAuthType(0),
      m_hFS(nullptr),
      m_pFS(fs),
      m_bGood(true) {
    ConnectOnConstruction("\"default\", \"hdfs\"");
}

CHadoopFS::CHadoopConnection::CHadoopConnection(CHadoopFS* fs, const std::string& nameNode,
                                                std::string user)
    : m_sNameNode(nameNode),
      m_sUser(std::move(user)),
      m_eAuthType(0),
      m_hFS(nullptr),
      m_pFS(fs),
      m_bGood(true) {
    ConnectOnConstruction(nameNode + ", " + m_sUser);
}

void CHadoopFS::CHadoopConnection::ConnectOnConstruction(const std::string& target) {
    CEkError err = Connect();
    if (err.Failed()) {
        DXLOG(-1, "Failed to connect to HDFS (%s), error=[%s]", target.c_str(),
              err.AsString().c_str());
        m_bGood = false;
    }
}

CHadoopFS::CHadoopConnection::~CHadoopConnection() {
    (void)Disconnect();
    // m_pHandle goes with the object: a handle kept by a connection whose first connection failed
    // is released by its last owner all the same.
}

void CHadoopFS::CHadoopConnection::SetHandle(hdfs_internal* fs) {
    m_pHandle = AdoptHdfsHandle(fs);
    m_hFS = m_pHandle.get();
}

CEkError CHadoopFS::CHadoopConnection::Connect() {
    FXMutexLock lock(m_oConnectionLock);
    return ConnectLocked();
}

CEkError CHadoopFS::CHadoopConnection::ConnectLocked() {
    if (!gbLibraryInitialized)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, 14, "not initialized");

    if (m_hFS != nullptr) {
        CEkError err = DisconnectLocked();
        if (err.Failed())
            return err.Push(FX_LOCATION, "Disconnect failed");
        if (m_hFS != nullptr)
            return CEkError();
    }

    CEkError err = DiscoverKerberosCachePath();
    if (err.Failed())
        return err.Push(FX_LOCATION);

    DXLOG(0, "HDFS URI on instance property %s", m_sNameNode.c_str());
    int port = 0;
    if (m_sNameNode != "default") {
        err = ParseNameNode(port);
        if (err.Failed())
            return err.Push(FX_LOCATION);
    } else {
        err = DiscoverDefaultFSName();
        if (err.Failed()) {
            err.Push(FX_LOCATION, "DiscoverDefaultFSName failed");
            DXLOG(-1, "%s: %s", err.AsString(eErrorFormatShort).c_str(), err.AsString().c_str());
            return err;
        }
        DXLOG(0, "Default HDFS URI - '%s'", m_sPathPrefix.c_str());
    }

    DXLOG(0, "Connecting to HDFS(%s%s) as %s ...", m_sNameNode.c_str(),
          port != 0 ? FXString::Format(", %d", port).c_str() : "", m_sUser.c_str());
    time_t started = time(nullptr);
    err = ConnectUsingApiLocked(port);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    if (m_hFS == nullptr)
        return ConnectFailure(errno);

    DXLOG(0, "Connected! - %f", difftime(time(nullptr), started));
    return CEkError();
}

CEkError CHadoopFS::CHadoopConnection::ParseNameNode(int& port) {
    FXString::RemoveLeft(m_sNameNode, "hdfs://");
    m_sPathPrefix = FXString::Format("hdfs://%s", m_sNameNode.c_str());
    port = 0;
    size_t colon = m_sNameNode.rfind(':');
    if (colon != std::string::npos) {
        const std::string portText = m_sNameNode.substr(colon + 1);
        if (!ReadPort(portText, port)) {
            m_sLastError = FXString::Format("Invalid HDFS name node port '%s' in '%s'",
                                            portText.c_str(), m_sPathPrefix.c_str());
            DXLOG(-1, "%s", m_sLastError.c_str());
            return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "%s", m_sLastError.c_str());
        }
        m_sNameNode.erase(colon);
        m_nNameNodePort = port;
    } else if (m_nNameNodePort != 0) {
        // A reconnection (an expired ticket): the first connection split the port off already.
        port = m_nNameNodePort;
        m_sPathPrefix += FXString::Format(":%d", port);
    }
    DXLOG(0, "Non default HDFS URI '%s' set on Instance property, using %sdefault port %s",
          m_sPathPrefix.c_str(), port != 0 ? "non " : "",
          port != 0 ? FXString::Format("%d", port).c_str() : "");
    return CEkError();
}

CEkError CHadoopFS::CHadoopConnection::ConnectFailure(int error) {
    if (error == 255) {
        m_sLastError =
            "HDFS actively refused connection, please check Hadoop logs, verify authentication "
            "configurations, and environment variables CLASSPATH \t\t\t\t\t\tLD_LIBRARY_PATH for "
            "libhdfs.so, libjvm.so is set properly, check documentation for correct "
            "configuration steps";
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, 111, "connect failed");
    }
    m_sLastError =
        "Internal error occurred while connecting to HDFS, please check logs. Please make sure "
        "environment variables CLASSPATH \t\t\t\t\t\t\t\t\t\tLD_LIBRARY_PATH for libhdfs.so, "
        "libjvm.so is set properly, check documentation for correct configuration steps";
    // A libhdfs that returns no handle without an errno must still be reported as a failure.
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, error != 0 ? error : EIO, "connect failed");
}

CEkError CHadoopFS::CHadoopConnection::ConnectUsingApi(int port) {
    FXMutexLock lock(m_oConnectionLock);
    return ConnectUsingApiLocked(port);
}

CEkError CHadoopFS::CHadoopConnection::ConnectUsingApiLocked(int port) {
    const tPort hdfsPort = static_cast<tPort>(port);
    if (IsOldHadoopVersion()) {
        hdfs_internal* fs =
            func_table.hdfsConnectAsUser(m_sNameNode.c_str(), hdfsPort, m_sUser.c_str());
        ErrnoKeeper keepErrno;
        SetHandle(fs);
        return CEkError();
    }

    // The authentication type and the tickets come before the builder: hdfsBuilderConnect is the
    // only call that releases a builder, so nothing may fail between creating and connecting it.
    m_eAuthType = DiscoverAuthType();
    DXLOG(0, "AuthType - %s", AuthTypeText(m_eAuthType));
    if (m_eAuthType == 1) {
        CEkError err = InitKerberosCache();
        if (err.Failed()) {
            err.Push(FX_LOCATION, "InitKerberosCache failed");
            DXLOG(-1, "%s: %s", err.AsString(eErrorFormatShort).c_str(), err.AsString().c_str());
            return err;
        }
    }

    errno = 0;
    hdfsBuilder* builder = func_table.hdfsNewBuilder();
    if (builder == nullptr) {
        const int error = errno != 0 ? errno : ENOMEM;
        m_sLastError =
            "Internal error occurred while creating Hadoop connection object, please check logs";
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, error, "failed to create connection builder");
    }
    // The setters keep the pointers only; the strings are members that stay put until
    // hdfsBuilderConnect has returned.
    func_table.hdfsBuilderSetForceNewInstance(builder);
    func_table.hdfsBuilderSetNameNode(builder, m_sNameNode.c_str());
    func_table.hdfsBuilderSetUserName(builder, m_sUser.c_str());
    func_table.hdfsBuilderSetNameNodePort(builder, hdfsPort);
    if (m_eAuthType == 1)
        func_table.hdfsBuilderSetKerbTicketCachePath(builder, m_sKerberosCachePath.c_str());
    errno = 0;
    hdfs_internal* fs = func_table.hdfsBuilderConnect(builder);
    ErrnoKeeper keepErrno;
    SetHandle(fs);
    return CEkError();
}

bool CHadoopFS::CHadoopConnection::IsOldHadoopVersion() {
    return func_table.hdfsNewBuilder == nullptr ||
           func_table.hdfsBuilderSetForceNewInstance == nullptr ||
           func_table.hdfsBuilderSetNameNode == nullptr ||
           func_table.hdfsBuilderSetUserName == nullptr ||
           func_table.hdfsBuilderSetNameNodePort == nullptr ||
           func_table.hdfsBuilderSetKerbTicketCachePath == nullptr ||
           func_table.hdfsBuilderConnect == nullptr;
}

AuthType_t CHadoopFS::CHadoopConnection::DiscoverAuthType() {
    if (!gbLibraryInitialized) {
        DXLOG(-1, "Library not initialized");
        return 2;
    }
    static const char* const kKey = "hadoop.security.authentication";
    std::string value;
    if (m_pFS->GetConfString(kKey, value) == 0 && !value.empty()) {
        DXLOG(0, "ConfKey-'%s' val-'%s'\n", kKey, value.c_str());
        return value == "kerberos" ? 1 : 0;
    }
    DXLOG(0, "Authentication type could not be found, this might result in connection failure");
    return 2;
}

CEkError CHadoopFS::CHadoopConnection::DiscoverDefaultFSName() {
    static const char* const kDefaultFS = "fs.defaultFS";
    static const char* const kDefaultName = "fs.default.name";
    if (m_pFS->GetConfString(kDefaultFS, m_sPathPrefix) == 0) {
        DXLOG(0, "%s exists with value %s", kDefaultFS, m_sPathPrefix.c_str());
    } else if (m_pFS->GetConfString(kDefaultName, m_sPathPrefix) == 0) {
        DXLOG(0, "%s exists with value %s", kDefaultName, m_sPathPrefix.c_str());
    } else {
        m_sLastError = FXString::Format(
            "Failed to read both '%s and '%s' keys from hadoop configuration, atleast one of them "
            "should be available",
            kDefaultFS, kDefaultName);
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, m_sLastError);
    }
    if (m_sPathPrefix.empty()) {
        m_sLastError = "Empty default FS name found in Hadoop config, please verify configuration";
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627,
                                       "Empty default FS name found in Hadoop configs");
    }
    return CEkError();
}

CEkError CHadoopFS::CHadoopConnection::CheckAndRefreshConnection() {
    FXMutexLock lock(m_oConnectionLock);
    return RefreshLocked();
}

CEkError CHadoopFS::CHadoopConnection::RefreshLocked() {
    if (m_eAuthType != 1)
        return CEkError();
    CEkError err = CheckCacheValidity();
    if (err.Succeeded())
        return CEkError();
    DXLOG(-1, "Kerberos cache has expired, refreshing connection, [%s]", err.AsString().c_str());
    return ConnectLocked();
}

CEkError CHadoopFS::CHadoopConnection::Disconnect() {
    FXMutexLock lock(m_oConnectionLock);
    return DisconnectLocked();
}

CEkError CHadoopFS::CHadoopConnection::DisconnectLocked() {
    if (!gbLibraryInitialized)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, 14, "not initialized");
    if (!m_bGood)
        return CEkError();
    DXLOG(0, "Disconnecting hdfs(%s, %s)", m_sNameNode.c_str(), m_sUser.c_str());
    if (m_pHandle) {
        // The handle goes in every case: after a failed hdfsDisconnect libhdfs has dropped it
        // all the same, and files opened on it keep their own reference.
        m_hFS = nullptr;
        if (ReleaseHdfsHandle(m_pHandle) != 0)
            return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno != 0 ? errno : EIO,
                                           "disconnect failed");
    }
    m_hFS = nullptr;
    return CEkError();
}

HdfsHandlePtr CHadoopFS::CHadoopConnection::ReconnectAfterKerberosFailure(
    const HdfsHandlePtr& failed) {
    FXMutexLock lock(m_oConnectionLock);
    if (m_eAuthType != 1)
        return HdfsHandlePtr();
    if (m_pHandle == failed) {
        DXLOG(-1, "An operation failed with an internal error: obtaining new Kerberos tickets");
        if (ConnectLocked().Failed())
            return HdfsHandlePtr();
    }
    return m_pHandle;
}

hdfs_internal* CHadoopFS::CHadoopConnection::GetHDFS() {
    FXMutexLock lock(m_oConnectionLock);
    if (RefreshLocked().Failed())
        return nullptr;
    return m_hFS;
}

HdfsHandlePtr CHadoopFS::CHadoopConnection::GetHDFSHandle() {
    FXMutexLock lock(m_oConnectionLock);
    if (RefreshLocked().Failed())
        return HdfsHandlePtr();
    return m_pHandle;
}
