// Tickets from a keytab into the connection's cache, their expiry, and the expiry test.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "hadoop/HadoopBinding.h"
#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopKerberos.h"
#include "host/Log.h"
#include "host/Process.h"
#include "host/Settings.h"
#include "host/ShellQuote.h"
#include "host/Strings.h"

namespace {

// kinit and klist normally answer within milliseconds; a KDC that never answers must not hold
// the connection (and its lock) for ever.
constexpr long kKerberosCommandTimeoutMs = 120 * 1000;

const char* const kSwitchFailurePrefix = "Failed to switch to user ";

// The process runner's child reports a failed identity switch with exit status 126 and this line.
bool IsIdentitySwitchFailure(int rc, const std::string& err) {
    return rc == 126 && FXString::StartsWith(err, kSwitchFailurePrefix);
}

// Runs a kinit or klist command line and keeps its output: a failed identity switch is EPERM with
// the runner's line, any other failure error 1627 with the command's error output.
CEkError RunKerberosCommand(const std::string& command, const DxRunOptions& options,
                            std::string& out) {
    DXLOG(0, "running command '%s'\n", command.c_str());
    std::string err;
    int rc = DxProcess::system(command, &out, &err, options);
    if (IsIdentitySwitchFailure(rc, err))
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EPERM, "%s", FXString::TrimRight(err).c_str());
    if (rc != 0) {
        DXLOG(-1, "Error: %s", err.c_str());
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, err);
    }
    return CEkError();
}

}  // namespace

std::string CHadoopFS::CHadoopConnection::DoNotKinitMarker() {
    const char* marker = getenv("HDFSAGENT_DONOT_KINIT_MARKER");
    return marker != nullptr && *marker != '\0' ? marker : "/tmp/donot_kinit";
}

CEkError CHadoopFS::CHadoopConnection::KerberosRunOptions(DxRunOptions& options,
                                                          DxProcessIdentity& identity, uid_t& uid) {
    options = DxRunOptions();
    options.timeoutMs = kKerberosCommandTimeoutMs;
    // Some commands pipe klist output through sort; the C locale keeps all of it predictable.
    options.environment["LC_ALL"] = "C";
    uid = 0;
    if (m_sUser == "root")
        return CEkError();

    CEkError err = m_pFS->GetUserID(m_sUser, uid);
    if (err.Failed()) {
        m_sLastError = FXString::Format(
            "Failed to convert user %s to a valid user ID, cannot authenticate to Kerberos",
            m_sUser.c_str());
        return err.Push(FX_LOCATION, "GetUserID(%s) failed", m_sUser.c_str());
    }
    // Already running as that user: nothing to switch.
    if (uid == geteuid() && uid == getuid())
        return CEkError();
    if (geteuid() != 0)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EPERM, "Failed to switch to user %s(%d)",
                                       m_sUser.c_str(), static_cast<int>(uid));

    std::string name;
    ID id = {uid, 0};
    err = m_pFS->GetUserName(uid, name);
    if (err.Succeeded())
        err = m_pFS->GetID(name, id);
    if (err.Failed())
        return err.Push(FX_LOCATION, "Failed to switch to user %s(%d)", m_sUser.c_str(),
                        static_cast<int>(uid));
    identity.uid = uid;
    identity.gid = id.gid;
    identity.userName = name;
    options.identity = &identity;
    return CEkError();
}

template <typename Command>
CEkError CHadoopFS::CHadoopConnection::RunAsConnectionUser(Command command) {
    DxRunOptions options;
    DxProcessIdentity identity;
    uid_t uid = 0;
    CEkError err = KerberosRunOptions(options, identity, uid);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    err = command(options);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    return CEkError();
}

CEkError CHadoopFS::CHadoopConnection::RunKinit(const std::string& principal) {
    return RunAsConnectionUser(
        [&](const DxRunOptions& options) { return RunKinit(principal, options); });
}

CEkError CHadoopFS::CHadoopConnection::RunKinit(const std::string& principal,
                                                const DxRunOptions& options) {
    const std::string command = ShellQuote(m_sKinitCommand) + " " + ShellQuote(principal) +
                                " -kt " + ShellQuote(m_sKeytabFile) + " -c " +
                                ShellQuote(m_sKerberosCachePath);
    std::string out;
    CEkError err = RunKerberosCommand(command, options, out);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    m_sUser = principal;
    return CEkError();
}

CEkError CHadoopFS::CHadoopConnection::GetPrincipalsFromKeyTab(const std::string& user,
                                                               std::list<std::string>& principals) {
    return RunAsConnectionUser([&](const DxRunOptions& options) {
        return GetPrincipalsFromKeyTab(user, principals, options);
    });
}

CEkError CHadoopFS::CHadoopConnection::GetPrincipalsFromKeyTab(const std::string& user,
                                                               std::list<std::string>& principals,
                                                               const DxRunOptions& options) {
    // The first grep drops the header line naming the keytab; "grep -w" keeps the keys whose
    // principal holds the user name as a whole word (with or without instance and realm); awk
    // takes the principal column. Both patterns are fixed strings, not expressions.
    const std::string keytab = ShellQuote(m_sKeytabFile);
    const std::string command = "klist -k " + keytab + " | grep -v -F -e " + keytab +
                                " | grep -w -F -e " + ShellQuote(user) +
                                " | awk '{print $2}' | sort | uniq";
    std::string out;
    CEkError err = RunKerberosCommand(command, options, out);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    principals.clear();
    std::list<std::string> lines;
    FXString::Split(out, "\n", lines, 1);
    for (std::string& line : lines)
        if (!FXString::Trim(line).empty())
            principals.push_back(line);
    return CEkError();
}

CEkError CHadoopFS::CHadoopConnection::ObtainTickets(const DxRunOptions& options) {
    CEkError outcome = RunKinit(m_sUser, options);
    // A child that cannot take the user's identity will not manage it for another principal.
    if (outcome.Succeeded() || FXErrorUtil::IsErrNo(outcome, EPERM))
        return outcome;

    DXLOG(-1, "Retrying kinit using hostname");
    char host[64] = {0};
    if (gethostname(host, sizeof host - 1) != 0) {
        DXLOG(-1, "Failed to get hostname");
    } else {
        outcome = RunKinit(m_sUser + "/" + host, options);
        if (outcome.Succeeded())
            return outcome;
    }

    // m_sUser is unchanged here: only a successful attempt replaces it.
    std::list<std::string> principals;
    outcome = GetPrincipalsFromKeyTab(m_sUser, principals, options);
    if (outcome.Failed())
        return outcome.Push(FX_LOCATION);
    for (const std::string& principal : principals) {
        outcome = RunKinit(principal, options);
        if (outcome.Succeeded())
            break;
    }
    return outcome;
}

CEkError CHadoopFS::CHadoopConnection::CheckCacheOwner(uid_t uid) {
    const std::string path = HadoopKerberos::CacheFilePath(m_sKerberosCachePath);
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, errno, "Failed to stat %s",
                                       m_sKerberosCachePath.c_str());
    if (st.st_uid != uid)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "uid mismatch %d != %d",
                                       static_cast<int>(st.st_uid), static_cast<int>(uid));
    return CEkError();
}

CEkError CHadoopFS::CHadoopConnection::InitKerberosCache() {
    if (!gbLibraryInitialized)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, 14, "not initialized");

    static const char* const kKeytabSetting = "sHdfsKeytabFile";
    static const char* const kKeytabKey = "hadoop.user.keytab.file";
    static const char* const kKinitKey = "hadoop.kerberos.kinit.command";
    m_sKeytabFile.clear();
    if (DXPlatformInfo::getString("FileSystemAgent", kKeytabSetting, m_sKeytabFile) &&
        !m_sKeytabFile.empty()) {
        DXLOG(0, "Additional Setting %s: %s", kKeytabSetting, m_sKeytabFile.c_str());
    } else if (m_pFS->GetConfString(kKeytabKey, m_sKeytabFile) != 0) {
        m_sLastError =
            "Failed to find Kerberos keytab file location config hadoop.user.keytab.file, "
            "connection will fail";
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, m_sLastError);
    }
    if (m_sKeytabFile.empty()) {
        m_sLastError =
            "Empty Kerberos keytab file location found in config hadoop.user.keytab.file, "
            "connection will fail";
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, m_sLastError);
    }

    // A key that libhdfs does not know reads as 0 with no value: kinit stays the program then,
    // since an empty program would make every attempt fail.
    m_sKinitCommand = "kinit";
    std::string kinit;
    if (m_pFS->GetConfString(kKinitKey, kinit) != 0)
        DXLOG(0, "Failed to find kinit command config '%s'", kKinitKey);
    else if (!kinit.empty())
        m_sKinitCommand = kinit;
    DXLOG(0, "User Kerberos keytab file - '%s'", m_sKeytabFile.c_str());
    DXLOG(0, "kinit command - '%s'", m_sKinitCommand.c_str());

    if (access(DoNotKinitMarker().c_str(), F_OK) != 0) {
        DxRunOptions options;
        DxProcessIdentity identity;
        uid_t uid = 0;
        CEkError err = KerberosRunOptions(options, identity, uid);
        if (err.Failed())
            return err.Push(FX_LOCATION);
        err = ObtainTickets(options);
        if (FXErrorUtil::IsErrNo(err, EPERM))
            return err.Push(FX_LOCATION);
        if (err.Failed()) {
            m_sLastError =
                "Failed to authenticate to Kerberos via kinit, please check keytab file or try "
                "kinit manually for exact error";
            return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, m_sLastError);
        }
        err = CheckCacheOwner(uid);
        if (err.Failed())
            return err.Push(FX_LOCATION);
    }

    CEkError err = GetKerberoscacheExpiryTime();
    if (err.Failed())
        return err.Push(FX_LOCATION);
    return CEkError();
}

time_t CHadoopFS::CHadoopConnection::RenewMarginSeconds(time_t remainingLife) {
    // Half the life of a short ticket, at most a minute of a long one.
    constexpr time_t kMaxMarginSeconds = 60;
    return remainingLife <= 0 ? 0 : std::min(kMaxMarginSeconds, remainingLife / 2);
}

CEkError CHadoopFS::CHadoopConnection::GetKerberoscacheExpiryTime() {
    m_oCacheExpiryTime = CTimeStamp();
    m_nRenewMarginSeconds = 0;
    // Line 5 of the listing is the first ticket; its fields 3 and 4 are the expiry date and time.
    const std::string command =
        "klist -c " + ShellQuote(m_sKerberosCachePath) + " | awk 'NR==5 {print $3 \" \" $4}' ";
    DxRunOptions options;
    options.timeoutMs = kKerberosCommandTimeoutMs;
    // Dates follow the locale: only the C locale prints the "%m/%d/%y %H:%M:%S" read below.
    options.environment["LC_ALL"] = "C";
    std::string out, err;
    int rc = DxProcess::system(command, &out, &err, options);
    if (rc != 0) {
        DXLOG(0,
              "Failed to determine Kerberos session expiration time, operations may fail later, "
              "error=[%s]",
              err.c_str());
        return CEkError();
    }
    FXString::TrimRight(out, " \r\n\t");
    CTimeStamp expiry;
    if (!HadoopKerberos::ParseKlistExpiry(out, expiry)) {
        DXLOG(0, "Failed to parse cache m_oCacheExpiryTime time [%s], operations may fail later",
              out.c_str());
        return CEkError();
    }
    m_oCacheExpiryTime = expiry;
    m_nRenewMarginSeconds = RenewMarginSeconds(expiry.ToTimeT() - time(nullptr));
    DXLOG(0, "Cache expires [%s] [%s]", out.c_str(),
          m_oCacheExpiryTime.AsLocalDateTimeString().c_str());
    return CEkError();
}

CEkError CHadoopFS::CHadoopConnection::CheckCacheValidity() {
    if (m_oCacheExpiryTime.IsZero())
        return CEkError();
    const time_t nowSeconds = time(nullptr);
    const CTimeStamp now = CTimeStamp::FromTimeT(nowSeconds);
    // A ticket that runs out between this test and the JVM's use of it fails the operation
    // ("Failed to find any Kerberos tgt"), so the cache counts as expired a margin early.
    if (m_oCacheExpiryTime > CTimeStamp::FromTimeT(nowSeconds + m_nRenewMarginSeconds))
        return CEkError();
    return FXErrorUtil::ErrorErrNo(FX_LOCATION, 62, "Kerberos cache [%s] has expired [%s] >= [%s]",
                                   m_sKerberosCachePath.c_str(),
                                   now.AsLocalDateTimeString().c_str(),
                                   m_oCacheExpiryTime.AsLocalDateTimeString().c_str());
}
