#include "host/Error.h"

#include <cstring>

#include "host/Strings.h"

namespace {

const char* BaseName(const char* file) {
    if (!file)
        return "";
    const char* slash = strrchr(file, '/');
    return slash ? slash + 1 : file;
}

// Fixed texts for the host codes, used when a failure is built without a message.
const char* HostCodeText(int code) {
    switch (code) {
        case 14:
            return "Out of memory";
        case 1168:
            return "Element not found";
        case 1627:
            return "Function failed during execution";
        case 2250:
            return "No usable answer";
        case 5006:
            return "Service unavailable";
        default:
            return nullptr;
    }
}

std::string ErrNoText(int errNo) {
    char buffer[256];
    // GNU strerror_r: returns a pointer to the text (maybe not into buffer).
    return strerror_r(errNo, buffer, sizeof buffer);
}

const std::vector<CEkError::Frame>& NoFrames() {
    static const std::vector<CEkError::Frame> s_empty;
    return s_empty;
}

}  // namespace

FXCodeLocation::FXCodeLocation(const char* f, const char* fn, int l)
    : file(BaseName(f)), function(fn ? fn : ""), line(l) {}

CEkError CEkError::Failure(int code, const FXCodeLocation& location, std::string message) {
    CEkError error;
    // A failure must never read as success: a zero code becomes "operation failed".
    if (code == 0)
        code = 1627;
    error.m_nCode = code > 0 ? -code : code;
    error.m_pFrames = std::make_shared<std::vector<Frame>>();
    error.m_pFrames->push_back(Frame{location, std::move(message)});
    return error;
}

CEkError& CEkError::Push(const FXCodeLocation& location) {
    if (Succeeded())
        return *this;
    // Copy on write: other copies keep their own view of the stack.
    if (!m_pFrames)
        m_pFrames = std::make_shared<std::vector<Frame>>();
    else if (m_pFrames.use_count() > 1)
        m_pFrames = std::make_shared<std::vector<Frame>>(*m_pFrames);
    // Frames are kept newest first, so Frames() can hand them out as they are.
    m_pFrames->insert(m_pFrames->begin(), Frame{location, std::string()});
    return *this;
}

CEkError& CEkError::Push(const FXCodeLocation& location, const char* format, ...) {
    if (Succeeded())
        return *this;
    Push(location);
    va_list args;
    va_start(args, format);
    m_pFrames->front().message = FXString::FormatV(format, args);
    va_end(args);
    return *this;
}

std::string CEkError::Message() const {
    for (const Frame& frame : Frames())
        if (!frame.message.empty())
            return frame.message;
    return std::string();
}

const std::vector<CEkError::Frame>& CEkError::Frames() const {
    return m_pFrames ? *m_pFrames : NoFrames();
}

std::string CEkError::AsString(EErrorOutputFormat format) const {
    if (Succeeded())
        return std::string();
    std::string text;
    switch (format) {
        case eErrorFormatShort:
            text = FXString::Format("error %d", Code());
            if (!Message().empty())
                text += ": " + Message();
            return text;
        case eErrorFormatMessages:
            for (const Frame& frame : Frames()) {
                if (frame.message.empty())
                    continue;
                if (!text.empty())
                    text += ": ";
                text += frame.message;
            }
            if (text.empty())
                text = FXString::Format("error %d", Code());
            return text;
        case eErrorFormatFull:
        default:
            for (const Frame& frame : Frames()) {
                if (!text.empty())
                    text += "\n";
                text += FXString::Format("%s:%d %s", frame.location.file, frame.location.line,
                                         frame.location.function);
                if (!frame.message.empty())
                    text += ": " + frame.message;
            }
            text += FXString::Format(" (error %d)", Code());
            return text;
    }
}

CEkError FXErrorUtil::ErrorErrNo(const FXCodeLocation& location, int errNo) {
    // errno 0 here means the caller lost the real cause; still report a failure.
    if (errNo <= 0)
        errNo = EIO;
    return CEkError::Failure(errNo, location, ErrNoText(errNo));
}

CEkError FXErrorUtil::ErrorErrNo(const FXCodeLocation& location, int errNo, const char* format,
                                 ...) {
    if (errNo <= 0)
        errNo = EIO;
    va_list args;
    va_start(args, format);
    std::string message = FXString::FormatV(format, args);
    va_end(args);
    if (!message.empty())
        message += ": ";
    message += ErrNoText(errNo);
    return CEkError::Failure(errNo, location, std::move(message));
}

CEkError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, int code) {
    const char* text = HostCodeText(code);
    return CEkError::Failure(code, location,
                             text ? std::string(text) : FXString::Format("error %d", code));
}

CEkError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, int code, const char* format,
                                 ...) {
    va_list args;
    va_start(args, format);
    std::string message = FXString::FormatV(format, args);
    va_end(args);
    return CEkError::Failure(code, location, std::move(message));
}

CEkError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, int code,
                                 const std::string& message) {
    return CEkError::Failure(code, location, message);
}

bool FXErrorUtil::IsErrNo(const CEkError& error, int code) {
    return error.Failed() && error.Code() == code;
}
