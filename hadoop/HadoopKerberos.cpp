#include "hadoop/HadoopKerberos.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "host/Log.h"
#include "host/Strings.h"

namespace HadoopKerberos {

std::string CacheFileName(uid_t uid) {
    return FXString::Format("%s_%d", "dx_krb5cc", static_cast<int>(uid));
}

namespace {

struct FileCloser {
    void operator()(FILE* file) const {
        if (file)
            fclose(file);
    }
};

// Reads one entry up to its NUL (or the end of the file); false at the end of the file.
// Keeps at most `limit` bytes of it but always consumes the whole entry.
bool ReadEntry(FILE* file, std::string& entry, size_t limit) {
    entry.clear();
    int c = fgetc(file);
    if (c == EOF)
        return false;
    for (; c != EOF && c != '\0'; c = fgetc(file))
        if (entry.size() < limit)
            entry.push_back(static_cast<char>(c));
    return true;
}

}  // namespace

bool ReadStartupEnvironmentValue(const std::string& environFile, const std::string& name,
                                 std::string& value) {
    value.clear();
    std::unique_ptr<FILE, FileCloser> file(fopen(environFile.c_str(), "re"));
    if (!file)
        return false;
    const std::string prefix = name + "=";
    std::string entry;
    // Keeping prefix + the longest value is enough to recognise the entry and cut its value.
    while (ReadEntry(file.get(), entry, prefix.size() + kMaxEnvironmentValue)) {
        if (entry.compare(0, prefix.size(), prefix) != 0)
            continue;
        value = entry.substr(prefix.size());
        return !value.empty();
    }
    return false;
}

bool ParseKlistExpiry(const std::string& text, CTimeStamp& expiry) {
    expiry = CTimeStamp();
    std::string trimmed = text;
    FXString::TrimRight(trimmed, " \r\n\t");
    struct tm parsed;
    memset(&parsed, 0, sizeof parsed);
    if (strptime(trimmed.c_str(), "%m/%d/%y %H:%M:%S", &parsed) == nullptr)
        return false;
    // klist prints local wall-clock time; let mktime decide whether summer time applies to that
    // date instead of forcing standard time, which would put the expiry an hour late.
    parsed.tm_isdst = -1;
    errno = 0;
    time_t seconds = mktime(&parsed);
    if (seconds == static_cast<time_t>(-1) && errno != 0)
        return false;
    expiry = CTimeStamp::FromTimeT(seconds);
    return true;
}

std::string CacheFilePath(const std::string& cacheName) {
    std::string path = cacheName;
    FXString::RemoveLeft(path, "FILE:");
    return path;
}

namespace {

struct Descriptor {
    int fd;
    explicit Descriptor(int d) : fd(d) {}
    ~Descriptor() {
        if (fd >= 0)
            close(fd);
    }
};

}  // namespace

EOwnerChange GiveCacheFileToUser(const std::string& path, uid_t uid, uid_t& previousOwner,
                                 int& error) {
    error = 0;
    struct stat before;
    if (lstat(path.c_str(), &before) != 0) {
        if (errno == ENOENT)
            return EOwnerChange::eMissing;
        error = errno;
        return EOwnerChange::eFailed;
    }
    if (!S_ISREG(before.st_mode))
        return EOwnerChange::eNotRegular;
    previousOwner = before.st_uid;
    if (before.st_uid == uid)
        return EOwnerChange::eAlreadyOwned;

    // O_NOFOLLOW refuses a link planted after the lstat; O_NONBLOCK keeps a FIFO swapped in
    // meanwhile from blocking the open. The descriptor must name the very file examined.
    Descriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.fd < 0) {
        error = errno;
        return errno == ELOOP ? EOwnerChange::eNotRegular : EOwnerChange::eFailed;
    }
    struct stat opened;
    if (fstat(file.fd, &opened) != 0) {
        error = errno;
        return EOwnerChange::eFailed;
    }
    if (!S_ISREG(opened.st_mode))
        return EOwnerChange::eNotRegular;
    if (opened.st_dev != before.st_dev || opened.st_ino != before.st_ino) {
        error = EAGAIN;
        return EOwnerChange::eFailed;
    }
    if (fchown(file.fd, uid, static_cast<gid_t>(-1)) != 0) {
        error = errno;
        return EOwnerChange::eFailed;
    }
    previousOwner = opened.st_uid;
    return EOwnerChange::eChanged;
}

namespace {

// libhdfs cuts LIBHDFS_OPTS into JVM options at each blank (and only there).
bool HasOptionWithPrefix(const std::string& jvmOptions, const std::string& prefix) {
    size_t start = 0;
    while (start < jvmOptions.size()) {
        size_t end = jvmOptions.find(' ', start);
        if (end == std::string::npos)
            end = jvmOptions.size();
        if (jvmOptions.compare(start, prefix.size(), prefix) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

std::string JvmOptionsWithKrb5Config(const std::string& jvmOptions, const std::string& krb5Config,
                                     std::string& refusal) {
    refusal.clear();
    if (krb5Config.empty() || HasOptionWithPrefix(jvmOptions, kJvmKrb5ConfOption))
        return jvmOptions;
    if (krb5Config.find(' ') != std::string::npos) {
        refusal = "KRB5_CONFIG '" + krb5Config +
                  "' holds a blank and cannot be passed to the JVM in LIBHDFS_OPTS";
        return jvmOptions;
    }
    return jvmOptions + (jvmOptions.empty() ? "" : " ") + kJvmKrb5ConfOption + krb5Config;
}

void PassKrb5ConfigToLibhdfsJvm() {
    const char* krb5Config = getenv("KRB5_CONFIG");
    const char* current = getenv("LIBHDFS_OPTS");
    const std::string before = current ? current : "";
    std::string refusal;
    const std::string after =
        JvmOptionsWithKrb5Config(before, krb5Config ? krb5Config : "", refusal);
    if (!refusal.empty())
        DXLOG(-1, "%s; the JVM reads /etc/krb5.conf", refusal.c_str());
    if (after == before)
        return;
    if (setenv("LIBHDFS_OPTS", after.c_str(), 1) != 0) {
        DXLOG(-1, "Failed to set LIBHDFS_OPTS, error=%d", errno);
        return;
    }
    DXLOG(0, "Setting LIBHDFS_OPTS='%s'", after.c_str());
}

}  // namespace HadoopKerberos
