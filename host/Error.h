// Errors: CEkError, FXCodeLocation, FXErrorUtil.
//
// CEkError is a value type. A default-constructed error is success (code 0, no frames) and costs
// nothing. A failure carries a signed code and a shared stack of frames (location + message); a
// negative code() is failure. POSIX error numbers and host codes (1627 operation failed, 1168 not
// found, 2250 no usable answer, 5006 service unavailable) are stored as their negation, so
// Code() returns the positive number and code() the signed result. Copies share the frame stack;
// Push() copies it on write, so pushing onto one copy never changes another.
//
// Thread-safety: distinct objects may be used from different threads; one object is not
// synchronised.
#pragma once

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#include "host/Export.h"

struct HDFSAGENT_API FXCodeLocation {
    const char* file = "";      // source file name without directories, e.g. "HadoopFS.cpp"
    const char* function = "";  // full function signature text
    int line = 0;

    FXCodeLocation() = default;
    FXCodeLocation(const char* f, const char* fn, int l);
};

// The location of the current line: FX_LOCATION.
#define FX_LOCATION FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__)

// Output formats for AsString(EErrorOutputFormat).
enum EErrorOutputFormat {
    eErrorFormatFull = 0,      // every frame, newest first, with locations
    eErrorFormatMessages = 1,  // every frame's message, newest first, without locations
    eErrorFormatShort = 2,     // the code and the newest message only (for user-facing lines)
};

class [[nodiscard]] HDFSAGENT_API_ATTR CEkError {
  public:
    struct Frame {
        FXCodeLocation location;
        std::string message;
    };

    CEkError() = default;

    // A failure with `code` (a positive POSIX or host number; a negative one is taken as the
    // signed result; 0 becomes 1627, so a failure never reads as success) and a first frame.
    static CEkError Failure(int code, const FXCodeLocation& location, std::string message);

    bool Failed() const { return m_nCode < 0; }
    bool Succeeded() const { return m_nCode >= 0; }
    explicit operator bool() const = delete;  // test with Failed()/Succeeded(), never by truth

    int code() const { return m_nCode; }   // signed result: 0 success, negative failure
    int Code() const { return -m_nCode; }  // the positive error number (0 on success)

    // Adds a frame and returns the error (so `return err.Push(FX_LOCATION);` passes it up).
    // Pushing onto a success adds nothing.
    CEkError& Push(const FXCodeLocation& location);
    CEkError& Push(const FXCodeLocation& location, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // The newest non-empty frame message ("" when none), so a bare Push(FX_LOCATION) keeps the
    // callee's message visible; all frames, newest first.
    std::string Message() const;
    const std::vector<Frame>& Frames() const;

    // Text for log lines and for messages that embed a callee's error: "" for success.
    //   full:     one "file:line function: message" line per frame (": message" only when there
    //             is one), newest first, joined by "\n", the last followed by " (error <code>)";
    //   messages: the non-empty messages, newest first, joined by ": " ("error <code>" if none);
    //   short:    "error <code>: <Message()>" (or "error <code>").
    std::string AsString() const { return AsString(eErrorFormatFull); }
    std::string AsString(EErrorOutputFormat format) const;

  private:
    int m_nCode = 0;
    std::shared_ptr<std::vector<Frame>> m_pFrames;
};

class HDFSAGENT_API FXErrorUtil {
  public:
    // A failure from a POSIX error number, with an optional printf message; the message is
    // "<formatted>: <strerror text>" (just the strerror text without a format). An errNo of 0
    // or less (a lost errno) becomes EIO.
    static CEkError ErrorErrNo(const FXCodeLocation& location, int errNo);
    static CEkError ErrorErrNo(const FXCodeLocation& location, int errNo, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // A failure from a host code (1627, 1168, 2250, 5006 ...), with an optional message;
    // without one the message is a fixed text for the known codes, else "error <code>".
    static CEkError ErrorWin32(const FXCodeLocation& location, int code);
    static CEkError ErrorWin32(const FXCodeLocation& location, int code, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    static CEkError ErrorWin32(const FXCodeLocation& location, int code,
                               const std::string& message);
    // True when `error` is a failure carrying `code`.
    static bool IsErrNo(const CEkError& error, int code);
};
