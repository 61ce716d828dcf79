// Helpers of the Kerberos ticket-cache handling that need no connection. Internal to the library
// (not exported); the connection uses them and the tests and fuzz targets reach them directly.
#pragma once

#include <sys/types.h>

#include <string>

#include "host/TimeStamp.h"

namespace HadoopKerberos {

// Name of the library's own ticket cache file of a user: "dx_krb5cc_<uid>".
std::string CacheFileName(uid_t uid);

// Longest value taken from a start-up environment entry; a longer one is cut to this length.
constexpr size_t kMaxEnvironmentValue = 4095;

// Reads the value of `name` from a file of NUL-terminated NAME=value entries (the layout of
// /proc/<pid>/environ). The first entry that starts with "<name>=" decides; at most
// kMaxEnvironmentValue bytes of its value are kept. True when such an entry exists with a
// non-empty value; false (and `value` empty) when the file cannot be opened, holds no such entry,
// or the value is empty.
bool ReadStartupEnvironmentValue(const std::string& environFile, const std::string& name,
                                 std::string& value);

// Reads a ticket expiry as `klist` prints it in the C locale: "MM/DD/YY HH:MM:SS" as local time,
// after trailing blanks, tabs, carriage returns and newlines are removed. The daylight-saving
// state is left to mktime, so an expiry in summer time is not read an hour late. True with
// `expiry` set on success; false with `expiry` zero when the text does not parse or the time
// cannot be represented.
bool ParseKlistExpiry(const std::string& text, CTimeStamp& expiry);

// Removes a leading "FILE:" cache type, giving the file-system path of a file cache. Other
// cache types (DIR:, KEYRING:, KCM:, MEMORY:) are returned unchanged.
std::string CacheFilePath(const std::string& cacheName);

// Gives an existing regular file at `path` to `uid` (group unchanged) without following a
// symbolic link: examined with lstat, opened with O_NOFOLLOW and changed with fchown only when
// the opened file is the one examined. Results for the caller's log:
enum class EOwnerChange {
    eMissing,       // nothing at the path
    eAlreadyOwned,  // owned by uid already
    eChanged,       // owner changed; `previousOwner` holds the old owner
    eNotRegular,    // a symbolic link or anything but a regular file: left alone
    eFailed,        // lstat, open or fchown failed, or the file changed under us; `error` = errno
};
EOwnerChange GiveCacheFileToUser(const std::string& path, uid_t uid, uid_t& previousOwner,
                                 int& error);

// The JVM that libhdfs starts reads its realm profile from /etc/krb5.conf, not from KRB5_CONFIG;
// it follows KRB5_CONFIG only through -Djava.security.krb5.conf in LIBHDFS_OPTS.
constexpr char kJvmKrb5ConfOption[] = "-Djava.security.krb5.conf=";

// What LIBHDFS_OPTS must hold for the JVM to read the realm profile `krb5Config`:
//   - `jvmOptions` unchanged when `krb5Config` is empty, or when `jvmOptions` already has a
//     kJvmKrb5ConfOption option (whatever its value: the user's choice stands);
//   - `jvmOptions` unchanged and `refusal` set when `krb5Config` holds a blank: libhdfs splits
//     LIBHDFS_OPTS at blanks, so such a path cannot be passed;
//   - otherwise `jvmOptions` followed by " -Djava.security.krb5.conf=<krb5Config>" (no leading
//     blank when `jvmOptions` is empty).
std::string JvmOptionsWithKrb5Config(const std::string& jvmOptions, const std::string& krb5Config,
                                     std::string& refusal);

// Applies JvmOptionsWithKrb5Config to the process's LIBHDFS_OPTS and KRB5_CONFIG (logged).
// Not thread-safe (changes the environment): called while the library is being set up, before
// libhdfs starts its JVM.
void PassKrb5ConfigToLibhdfsJvm();

}  // namespace HadoopKerberos
