// Shared definitions of the hdfsagent tool: exit codes and the connection options every command
// that talks to a cluster takes.
#pragma once

#include <string>

namespace tool {

// Exit statuses of every command.
enum ExitCode {
    kExitOk = 0,       // done, nothing to report
    kExitFatal = 1,    // the command could not do its work
    kExitUsage = 2,    // the command line is wrong
    kExitPartial = 3,  // done with problems (files skipped, differences found)
};

// How a command reaches the cluster through the library.
struct ConnectOptions {
    unsigned long instanceId = 1;  // the instance whose configuration message the library reads
    std::string nameNode = "default";
    std::string user;          // empty: $HADOOP_USER_NAME, else the name of the process's user
    std::string logConfigDir;  // empty: <product home>/conf
};

// The connection user when none was given.
std::string DefaultUser();

}  // namespace tool
