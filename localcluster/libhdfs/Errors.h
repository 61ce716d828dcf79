// Failure reporting of the libhdfs stand-in.
//
// The real libhdfs turns a Java exception into an errno (a short fixed table, 255 for everything
// else) and keeps the exception's text per thread. The stand-in does the same: operations record a
// failure with Fail() (errno code + Java-style text) and return their failure value; the entry
// point wrapper (Run) sets errno from the recorded failure just before returning, so nothing that
// runs after the failure (cleanup, frees) can clobber it.
#pragma once

#include <cerrno>
#include <new>
#include <string>

#include "hadoop/LibHdfs.h"

namespace localhdfs {

// Records a failure of the current call: errno `code` and the exception text ("class: message").
// Always returns -1.
int Fail(int code, const std::string& exceptionText);

// Common failures, with the exception class the real library would map to the code.
int FailNotFound(const std::string& path);      // ENOENT
int FailInvalid(const std::string& message);    // EINVAL
int FailInternal(const std::string& message);   // EINTERNAL
int FailBadHandle(const std::string& message);  // EBADF
// A failure of a system call on the backing store, mapped as the real library maps the
// corresponding Java exception: ENOENT, EACCES (also for EPERM), ENOTDIR, EEXIST, EDQUOT, EROFS
// keep their meaning; anything else becomes EINTERNAL.
int FailSystem(int systemErrno, const std::string& what, const std::string& path);

bool CallFailed();
int FailureCode();

// Thread-local text of the last failure; null when the last call succeeded.
char* LastRootCause();
char* LastStackTrace();

// What an entry point leaves in errno when it succeeds.
enum class ErrnoOnSuccess { Keep, Zero };

// Begin/end of an entry point call (used by Run).
void BeginCall();
void EndCall(const char* entryPoint, int callerErrno, ErrnoOnSuccess mode);

// Consults the fault injection table; records the injected failure and returns true when this
// call must fail.
bool InjectedFailure(const char* entryPoint);

// Runs one entry point: the injected fault (if any) or the body, then `always` (cleanup that must
// happen on every path), then sets errno. No exception leaves it.
template <typename R, typename Body, typename Always>
R Run(const char* entryPoint, R failure, Body&& body, Always&& always,
      ErrnoOnSuccess mode = ErrnoOnSuccess::Keep) {
    const int callerErrno = errno;
    BeginCall();
    R result = failure;
    try {
        if (!InjectedFailure(entryPoint))
            result = body();
    } catch (const std::bad_alloc&) {
        result = failure;
        Fail(ENOMEM, "java.lang.OutOfMemoryError: out of memory");
    } catch (const std::exception& e) {
        result = failure;
        FailInternal(e.what());
    } catch (...) {
        result = failure;
        FailInternal("unexpected failure");
    }
    try {
        always();
    } catch (...) {
    }
    EndCall(entryPoint, callerErrno, mode);
    return result;
}

template <typename R, typename Body>
R Run(const char* entryPoint, R failure, Body&& body, ErrnoOnSuccess mode = ErrnoOnSuccess::Keep) {
    return Run(
        entryPoint, failure, body, [] {}, mode);
}

}  // namespace localhdfs
