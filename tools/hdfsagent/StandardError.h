// The tool's own standard error, apart from the process's file descriptor 2.
//
// libhdfs prints every failed call's Java exception with its whole stack trace on the process's
// standard error (through fd 2, from C and from the JVM alike). The tool's output is one line per
// problem, so once set up (RouteStandardErrorToLog) the tool writes its messages and progress to a
// duplicate of the original standard error, and fd 2 — and with it everything libhdfs, its JVM
// and the programs the library starts print there — goes to the product's log file.
#pragma once

#include <cstdio>
#include <string>

namespace tool {

// The stream for the tool's own messages: the original standard error once routed, else stderr.
// Unbuffered, like stderr.
FILE* ToolErr();

// Keeps the original standard error as ToolErr() and points fd 2 at `logFile` (created 0600 if
// missing, appended to, never through a symbolic link). Call once, before the library is used.
// False with `error` set, and nothing changed, when the log file cannot be opened.
bool RouteStandardErrorToLog(const std::string& logFile, std::string& error);

// <log directory>/hdfsagent.log: the file the library's own log lines go to.
std::string ProductLogFile();

}  // namespace tool
