// The commands of the tool. Each returns the process's exit status (Tool.h).
#pragma once

#include <string>
#include <vector>

#include "Reporter.h"
#include "Tool.h"

namespace tool {

struct BackupOptions {
    std::string hdfsPath;
    std::string destDir;
    std::string previous;  // --incremental PREVIOUS_DEST
    std::vector<std::string> excludes;
    bool dryRun = false;
    bool noAcl = false;
    // Return without waiting for the copies to reach the disk: faster, but a system crash soon
    // after may leave files the manifest vouches for empty or short (verify finds them).
    bool noSync = false;
    unsigned threads = 4;  // copy threads
};

struct RestoreOptions {
    std::string destDir;
    std::string target;
    bool force = false;
    bool noAcl = false;
    unsigned threads = 4;  // files restored at the same time
};

struct VerifyOptions {
    std::string destDir;
    std::string hdfsPath;  // empty: only the backup is checked
    bool noAcl = false;
    bool noAtime = false;
    unsigned threads = 4;  // files checked at the same time
};

struct DemoOptions {
    bool kerberos = false;
    bool keep = false;
    bool setupOnly = false;  // build the world, say how to use it, run nothing
    bool json = false;
};

int RunDoctor(const ConnectOptions& connect, bool json);
int RunBackup(const BackupOptions& options, const ConnectOptions& connect, CReporter& reporter);
int RunRestore(const RestoreOptions& options, const ConnectOptions& connect, CReporter& reporter);
int RunVerify(const VerifyOptions& options, const ConnectOptions& connect, CReporter& reporter);
int RunDemo(const DemoOptions& options);

}  // namespace tool
