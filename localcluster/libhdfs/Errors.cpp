#include "Errors.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace localhdfs {

namespace {

struct CallState {
    bool failed = false;
    int code = 0;
    std::string rootCause;
    std::string stackTrace;
};

thread_local CallState t_call;

// "java.io.FileNotFoundException: text" -> "FileNotFoundException: text", as the root cause
// message of the real library reads.
std::string ShortClassName(const std::string& exceptionText) {
    const size_t colon = exceptionText.find(':');
    const size_t dot = exceptionText.rfind('.', colon);
    if (colon == std::string::npos || dot == std::string::npos)
        return exceptionText;
    return exceptionText.substr(dot + 1);
}

}  // namespace

int Fail(int code, const std::string& exceptionText) {
    t_call.failed = true;
    t_call.code = code;
    try {
        t_call.rootCause = ShortClassName(exceptionText);
        t_call.stackTrace = exceptionText +
                            "\n\tat org.apache.hadoop.localcluster.LocalHdfs.call(LocalHdfs.java)"
                            "\n\tat org.apache.hadoop.fs.FileSystem.call(FileSystem.java)\n";
    } catch (...) {
        t_call.rootCause.clear();
        t_call.stackTrace.clear();
    }
    return -1;
}

int FailNotFound(const std::string& path) {
    return Fail(ENOENT, "java.io.FileNotFoundException: File does not exist: " + path);
}

int FailInvalid(const std::string& message) {
    return Fail(EINVAL, "java.lang.IllegalArgumentException: " + message);
}

int FailInternal(const std::string& message) {
    return Fail(EINTERNAL, "java.io.IOException: " + message);
}

int FailBadHandle(const std::string& message) {
    return Fail(EBADF, "java.io.IOException: " + message);
}

int FailSystem(int systemErrno, const std::string& what, const std::string& path) {
    const std::string text = what + " " + path + ": " + strerror(systemErrno);
    switch (systemErrno) {
        case ENOENT:
            return Fail(ENOENT, "java.io.FileNotFoundException: " + text);
        case EACCES:
        case EPERM:
            return Fail(EACCES, "org.apache.hadoop.security.AccessControlException: " + text);
        case ENOTDIR:
            return Fail(ENOTDIR, "org.apache.hadoop.fs.ParentNotDirectoryException: " + text);
        case EEXIST:
            return Fail(EEXIST, "org.apache.hadoop.fs.FileAlreadyExistsException: " + text);
        case EDQUOT:
            return Fail(EDQUOT, "org.apache.hadoop.hdfs.protocol.QuotaExceededException: " + text);
        case EROFS:
            return Fail(EROFS, "org.apache.hadoop.hdfs.server.namenode.SafeModeException: " + text);
        default:
            return Fail(EINTERNAL, "java.io.IOException: " + text);
    }
}

bool CallFailed() {
    return t_call.failed;
}
int FailureCode() {
    return t_call.code;
}

char* LastRootCause() {
    return t_call.failed ? t_call.rootCause.data() : nullptr;
}
char* LastStackTrace() {
    return t_call.failed ? t_call.stackTrace.data() : nullptr;
}

void BeginCall() {
    t_call.failed = false;
    t_call.code = 0;
}

void EndCall(const char* entryPoint, int callerErrno, ErrnoOnSuccess mode) {
    if (!t_call.failed) {
        errno = mode == ErrnoOnSuccess::Zero ? 0 : callerErrno;
        return;
    }
    // The real library prints each failure's exception with its stack trace on stderr; the
    // stand-in only does when asked to.
    const char* trace = getenv("LOCALHDFS_TRACE");
    if (trace && *trace && strcmp(trace, "0") != 0)
        fprintf(stderr, "%s: errno %d error:\n%s", entryPoint, t_call.code,
                t_call.stackTrace.c_str());
    errno = t_call.code;
}

}  // namespace localhdfs
