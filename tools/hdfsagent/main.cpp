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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(kDescription, "hdfsagent");
    app.require_subcommand(1);
    app.fallthrough();
    GlobalOptions global;
    AddGlobalOptions(app, global);

    CLI::App* doctor = app.add_subcommand("doctor", "check the set-up and report each finding");

    tool::BackupOptions backup;
    CLI::App* backupCmd = app.add_subcommand("backup", "back up an HDFS tree into a directory");
    backupCmd->add_option("HDFS_PATH", backup.hdfsPath, "absolute HDFS path")->required();
    backupCmd->add_option("DEST_DIR", backup.destDir, "new or empty local directory")->required();
    backupCmd->add_option("--incremental", backup.previous,
                          "copy only files changed since this earlier backup");
    backupCmd
        ->add_option("--exclude", backup.excludes,
                     "skip paths matching GLOB (a name, or a path with /); repeatable")
        ->type_name("GLOB");
    backupCmd->add_flag("--dry-run", backup.dryRun, "list what would be copied, write nothing");
    backupCmd->add_flag("--no-acl", backup.noAcl,
                        "skip ACLs and extended attributes (no REST service needed)");
    backupCmd->add_flag("--no-sync", backup.noSync,
                        "do not wait for the copies to reach the disk (faster; a system crash "
                        "soon after may leave the backup incomplete)");
    backupCmd->add_option("--threads", backup.threads, "files copied at the same time")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();

    tool::RestoreOptions restore;
    CLI::App* restoreCmd = app.add_subcommand("restore", "restore a backup into HDFS");
    restoreCmd->add_option("DEST_DIR", restore.destDir, "backup directory")->required();
    restoreCmd->add_option("HDFS_TARGET", restore.target, "absolute HDFS path")->required();
    restoreCmd->add_flag("--force", restore.force, "restore into a non-empty target");
    restoreCmd->add_flag("--no-acl", restore.noAcl, "skip ACLs and extended attributes");

    tool::VerifyOptions verify;
    CLI::App* verifyCmd =
        app.add_subcommand("verify", "check a backup, and compare it with a live HDFS tree");
    verifyCmd->add_option("DEST_DIR", verify.destDir, "backup directory")->required();
    verifyCmd->add_option("HDFS_PATH", verify.hdfsPath, "HDFS tree to compare with");
    verifyCmd->add_flag("--no-acl", verify.noAcl, "do not compare ACLs and extended attributes");
    verifyCmd->add_flag("--no-atime", verify.noAtime,
                        "do not compare access times (reading a file may update them)");

    tool::DemoOptions demo;
    CLI::App* demoCmd = app.add_subcommand(
        "demo", "doctor, backup, restore and verify on a throwaway localcluster installation");
    demoCmd->add_flag("--kerberos", demo.kerberos, "secure the cluster with a throwaway MIT realm");
    demoCmd->add_flag("--keep", demo.keep, "keep the temporary installation and print where");
    demoCmd->add_flag("--setup-only", demo.setupOnly,
                      "only build the temporary installation (kept) and print how to use it");

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

    if (demoCmd->parsed()) {
        demo.json = global.json;
        return tool::RunDemo(demo);
    }
    if (!global.home.empty())
        setenv("HDFSAGENT_HOME", global.home.c_str(), 1);
    tool::EnsureLoaderPath(argv);
    // libhdfs prints Java stack traces on fd 2: they go to the log, the tool's lines do not.
    std::string routeError;
    if (!tool::RouteStandardErrorToLog(tool::ProductLogFile(), routeError))
        fprintf(stderr, "hdfsagent: warning: %s; library traces stay on standard error\n",
                routeError.c_str());
    tool::InstallInterruptHandlers();

    if (doctor->parsed())
        return tool::RunDoctor(global.connect, global.json);
    if (backupCmd->parsed()) {
        tool::CReporter reporter("backup", global.json);
        return tool::RunBackup(backup, global.connect, reporter);
    }
    if (restoreCmd->parsed()) {
        tool::CReporter reporter("restore", global.json);
        return tool::RunRestore(restore, global.connect, reporter);
    }
    tool::CReporter reporter("verify", global.json);
    return tool::RunVerify(verify, global.connect, reporter);
}
