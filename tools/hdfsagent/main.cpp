// hdfsagent: back up and restore HDFS trees with the hdfsagent library.
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Interrupt.h"
#include "Launch.h"
#include "Paths.h"
#include "StandardError.h"
#include "Tool.h"

namespace {

const char kDescription[] =
    "Back up and restore HDFS trees through the hdfsagent library.\n"
    "Exit status: 0 ok, 1 failure, 2 usage error, 3 done with problems or differences.";

struct GlobalOptions {
    bool json = false;
    std::string home;
    tool::ConnectOptions connect;
};

void AddGlobalOptions(CLI::App& app, GlobalOptions& global) {
    app.add_flag("--json", global.json, "JSON lines on standard output instead of text");
    app.add_option("--home", global.home,
                   "product home (default $HDFSAGENT_HOME, else /opt/hdfsagent)");
    app.add_option("--instance", global.connect.instanceId,
                   "instance id of the configuration message <home>/instances/<id>.json")
        ->capture_default_str();
    app.add_option("--namenode", global.connect.nameNode,
                   "name node: \"default\" (fs.defaultFS) or hdfs://host:port")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](std::string& value) {
                return tool::IsValidNameNode(value)
                           ? std::string()
                           : "\"" + value +
                                 "\" is not \"default\" or [hdfs://]HOST[:PORT] with a port "
                                 "of 1-65535";
            },
            "NAMENODE"));
    app.add_option("--user", global.connect.user,
                   "HDFS user (default $HADOOP_USER_NAME, else the current user)");
}

// The worker threads of backup, restore and verify: one option, one range, one default.
void AddThreadsOption(CLI::App& command, unsigned& threads, const std::string& description) {
    command.add_option("--threads", threads, description)
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
}

CLI::App* AddBackupCommand(CLI::App& app, tool::BackupOptions& backup) {
    CLI::App* command = app.add_subcommand("backup", "back up an HDFS tree into a directory");
    command->add_option("HDFS_PATH", backup.hdfsPath, "absolute HDFS path")->required();
    command->add_option("DEST_DIR", backup.destDir, "new or empty local directory")->required();
    command->add_option("--incremental", backup.previous,
                        "copy only files changed since this earlier backup");
    command
        ->add_option("--exclude", backup.excludes,
                     "skip paths matching GLOB (a name, or a path with /); repeatable")
        ->type_name("GLOB");
    command->add_flag("--dry-run", backup.dryRun, "list what would be copied, write nothing");
    command->add_flag("--no-acl", backup.noAcl,
                      "skip ACLs and extended attributes (no REST service needed)");
    command->add_flag("--no-sync", backup.noSync,
                      "do not wait for the copies to reach the disk (faster; a system crash "
                      "soon after may leave the backup incomplete)");
    AddThreadsOption(*command, backup.threads, "files copied at the same time");
    return command;
}

CLI::App* AddRestoreCommand(CLI::App& app, tool::RestoreOptions& restore) {
    CLI::App* command = app.add_subcommand("restore", "restore a backup into HDFS");
    command->add_option("DEST_DIR", restore.destDir, "backup directory")->required();
    command->add_option("HDFS_TARGET", restore.target, "absolute HDFS path")->required();
    command->add_flag("--force", restore.force, "restore into a non-empty target");
    command->add_flag("--no-acl", restore.noAcl, "skip ACLs and extended attributes");
    AddThreadsOption(*command, restore.threads, "files restored at the same time");
    return command;
}

CLI::App* AddVerifyCommand(CLI::App& app, tool::VerifyOptions& verify) {
    CLI::App* command =
        app.add_subcommand("verify", "check a backup, and compare it with a live HDFS tree");
    command->add_option("DEST_DIR", verify.destDir, "backup directory")->required();
    command->add_option("HDFS_PATH", verify.hdfsPath, "HDFS tree to compare with");
    command->add_flag("--no-acl", verify.noAcl, "do not compare ACLs and extended attributes");
    command->add_flag("--no-atime", verify.noAtime,
                      "do not compare access times (reading a file may update them)");
    AddThreadsOption(*command, verify.threads, "files checked at the same time");
    return command;
}

CLI::App* AddDemoCommand(CLI::App& app, tool::DemoOptions& demo) {
    CLI::App* command = app.add_subcommand(
        "demo", "doctor, backup, restore and verify on a throwaway localcluster installation");
    command->add_flag("--kerberos", demo.kerberos, "secure the cluster with a throwaway MIT realm");
    command->add_flag("--keep", demo.keep, "keep the temporary installation and print where");
    command->add_flag("--setup-only", demo.setupOnly,
                      "only build the temporary installation (kept) and print how to use it");
    return command;
}

// The command line: the global options, one set of options per command and the command that
// was given.
struct CommandLine {
    GlobalOptions global;
    tool::BackupOptions backup;
    tool::RestoreOptions restore;
    tool::VerifyOptions verify;
    tool::DemoOptions demo;
    CLI::App* doctorCommand = nullptr;
    CLI::App* backupCommand = nullptr;
    CLI::App* restoreCommand = nullptr;
    CLI::App* verifyCommand = nullptr;
    CLI::App* demoCommand = nullptr;
};

void DefineCommandLine(CLI::App& app, CommandLine& line) {
    app.require_subcommand(1);
    app.fallthrough();
    AddGlobalOptions(app, line.global);
    line.doctorCommand = app.add_subcommand("doctor", "check the set-up and report each finding");
    line.backupCommand = AddBackupCommand(app, line.backup);
    line.restoreCommand = AddRestoreCommand(app, line.restore);
    line.verifyCommand = AddVerifyCommand(app, line.verify);
    line.demoCommand = AddDemoCommand(app, line.demo);
}

// Parses the command line; -1 when a command is to run, else the exit status (help, usage).
int Parse(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return tool::kExitUsage;
    }
    return -1;
}

// What every command but the demo runs in: the product home, the loader path (which may
// re-execute the program), standard error routed to the log and Ctrl-C handled.
void PrepareProcess(const GlobalOptions& global, char** argv) {
    if (!global.home.empty())
        setenv("HDFSAGENT_HOME", global.home.c_str(), 1);
    tool::EnsureLoaderPath(argv);
    // libhdfs prints Java stack traces on fd 2: they go to the log, the tool's lines do not.
    std::string routeError;
    if (!tool::RouteStandardErrorToLog(tool::ProductLogFile(), routeError))
        fprintf(stderr, "hdfsagent: warning: %s; library traces stay on standard error\n",
                routeError.c_str());
    tool::InstallInterruptHandlers();
}

int RunCommand(const CommandLine& line) {
    const GlobalOptions& global = line.global;
    if (line.doctorCommand->parsed())
        return tool::RunDoctor(global.connect, global.json);
    if (line.backupCommand->parsed()) {
        tool::CReporter reporter("backup", global.json);
        return tool::RunBackup(line.backup, global.connect, reporter);
    }
    if (line.restoreCommand->parsed()) {
        tool::CReporter reporter("restore", global.json);
        return tool::RunRestore(line.restore, global.connect, reporter);
    }
    tool::CReporter reporter("verify", global.json);
    return tool::RunVerify(line.verify, global.connect, reporter);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(kDescription, "hdfsagent");
    CommandLine line;
    DefineCommandLine(app, line);
    const int parseStatus = Parse(app, argc, argv);
    if (parseStatus >= 0)
        return parseStatus;
    if (line.demoCommand->parsed()) {
        line.demo.json = line.global.json;
        return tool::RunDemo(line.demo);
    }
    PrepareProcess(line.global, argv);
    return RunCommand(line);
}
