// hdfsagent demo: the embedded default. Builds a throwaway product home and localcluster
// installation with a sample namespace (DemoSetup.h) and runs the real commands against it, each
// as its own process the way a user would: doctor, a full backup, a change, an incremental
// backup, a restore into a second path and a verify of the restored tree. Exit status 0 only
// when every step succeeded and the restored tree is identical to the backed-up one.
#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Commands.h"
#include "DemoSetup.h"
#include "Interrupt.h"
#include "Launch.h"
#include "Paths.h"

namespace tool {

namespace {

class CDemo {
  public:
    explicit CDemo(const DemoOptions& options) : m_oOptions(options) {}
    int Run();

  private:
    void Say(const std::string& text, const nlohmann::ordered_json& event);
    // Runs the tool with `args` in the demo's environment; its exit status.
    int RunTool(const std::vector<std::string>& args);
    bool Step(const std::string& title, const std::vector<std::string>& args,
              bool mayDiffer = false);
    // Finds the localcluster pieces and builds the throwaway world; false (said on standard
    // error) when either fails.
    bool CreateSetup();
    nlohmann::ordered_json SetupEvent() const;
    // --setup-only: how to run the tool in the world just built.
    void SayHowToUseSetup(const nlohmann::ordered_json& setup);
    void SayWhatIsSetUp(const nlohmann::ordered_json& setup);
    // The round trip: doctor, full backup, change, incremental backup, restore, verify. Stops
    // at the first failed step or an interruption.
    bool RunRoundTrip();
    // Rewrites one file and adds another in the sample namespace, as a step of its own.
    bool ChangeSampleStep();
    void SaySummary(bool ok);

    const DemoOptions& m_oOptions;
    CDemoSetup m_oSetup;
    int m_nStep = 0;
    int m_nSteps = 6;
    int m_nFailure = 0;
};

void CDemo::Say(const std::string& text, const nlohmann::ordered_json& event) {
    if (m_oOptions.json) {
        nlohmann::ordered_json line = event;
        printf("%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
        printf("%s\n", text.c_str());
    }
    fflush(stdout);
}

// This process's environment with the demo installation's settings applied (an empty value
// removes the variable), as "NAME=value" strings for execve.
std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& changes) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (changes.count(text.substr(0, text.find('='))) == 0)
            entries.push_back(text);
    }
    for (const auto& [name, value] : changes) {
        if (!value.empty())
            entries.push_back(name + "=" + value);
    }
    return entries;
}

std::vector<char*> PointersOf(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings)
        pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    return pointers;
}

int CDemo::RunTool(const std::vector<std::string>& args) {
    const std::string self = ExecutablePath();
    std::vector<std::string> argv = {"hdfsagent"};
    if (m_oOptions.json)
        argv.push_back("--json");
    argv.push_back("--user");
    argv.push_back(m_oSetup.User());
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = ChildEnvironment(m_oSetup.Environment());
    // Everything the child needs is prepared here: between fork and exec it may only make
    // async-signal-safe calls.
    const std::vector<char*> argvPointers = PointersOf(argv);
    const std::vector<char*> envPointers = PointersOf(env);
    const std::string failure = "hdfsagent demo: cannot run " + self + "\n";

    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0)
        return 127;
    if (pid == 0) {
        execve(self.c_str(), argvPointers.data(), envPointers.data());
        ssize_t ignored = write(STDERR_FILENO, failure.data(), failure.size());
        (void)ignored;
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return 127;
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

bool CDemo::Step(const std::string& title, const std::vector<std::string>& args, bool mayDiffer) {
    ++m_nStep;
    std::string command = "hdfsagent";
    for (const std::string& arg : args)
        command += " " + arg;
    nlohmann::ordered_json start;
    start["event"] = "demo_step";
    start["step"] = m_nStep;
    start["title"] = title;
    start["command"] = command;
    Say("\n[" + std::to_string(m_nStep) + "/" + std::to_string(m_nSteps) + "] " + title +
            "\n    $ " + command,
        start);
    const double begin = MonotonicSeconds();
    const int status = args.empty() ? 0 : RunTool(args);
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f s", MonotonicSeconds() - begin);
    nlohmann::ordered_json done;
    done["event"] = "demo_result";
    done["step"] = m_nStep;
    done["exit_status"] = status;
    done["seconds"] = MonotonicSeconds() - begin;
    const bool ok = status == kExitOk || (mayDiffer && status == kExitPartial);
    Say(std::string("    -> ") + (ok ? "ok" : "FAILED") + " (exit status " +
            std::to_string(status) + ", " + seconds + ")",
        done);
    if (!ok && m_nFailure == 0)
        m_nFailure = status == kExitPartial ? kExitPartial : kExitFatal;
    return ok;
}

bool CDemo::CreateSetup() {
    LocalclusterPieces pieces;
    std::string error;
    if (!FindLocalcluster(pieces, error)) {
        fprintf(stderr, "hdfsagent demo: %s\n", error.c_str());
        return false;
    }
    if (m_oOptions.keep || m_oOptions.setupOnly)
        m_oSetup.Keep();
    if (!m_oSetup.Create(pieces, m_oOptions.kerberos, error)) {
        fprintf(stderr, "hdfsagent demo: cannot set up the demo: %s\n", error.c_str());
        return false;
    }
    return true;
}

nlohmann::ordered_json CDemo::SetupEvent() const {
    nlohmann::ordered_json setup;
    setup["event"] = "demo_setup";
    setup["root"] = m_oSetup.Root();
    setup["home"] = m_oSetup.Home();
    setup["installation"] = m_oSetup.InstallDir();
    setup["namespace"] = m_oSetup.NamespaceRoot();
    setup["kerberos"] = m_oOptions.kerberos;
    setup["environment"] = m_oSetup.Environment();
    return setup;
}

void CDemo::SayHowToUseSetup(const nlohmann::ordered_json& setup) {
    std::string unset;
    std::string set;
    for (const auto& [name, value] : m_oSetup.Environment())
        (value.empty() ? unset : set) += value.empty() ? " -u " + name : " " + name + "=" + value;
    const std::string env = unset + set;
    Say("hdfsagent demo: a throwaway HDFS (localcluster) in " + m_oSetup.Root() +
            " with the sample namespace /demo/src; run the tool against it with\n    env" + env +
            " " + ExecutablePath() + " --user " + m_oSetup.User() + " doctor\nand remove " +
            m_oSetup.Root() + " when done" +
            (m_oOptions.kerberos ? " (stop its KDC first: " + m_oSetup.KdcStopCommand() + ")" : ""),
        setup);
}

void CDemo::SayWhatIsSetUp(const nlohmann::ordered_json& setup) {
    Say("hdfsagent demo: a throwaway " +
            std::string(m_oOptions.kerberos ? "Kerberos-secured " : "") +
            "HDFS (localcluster) in " + m_oSetup.Root() + "\n    product home  " + m_oSetup.Home() +
            "\n    installation  " + m_oSetup.InstallDir() + "\n    namespace     " +
            m_oSetup.NamespaceRoot() +
            " (HDFS /demo/src: nested directories, empty and large files, owners, modes, a sticky "
            "directory, ACLs, extended attributes, an encryption zone)",
        setup);
}

bool CDemo::ChangeSampleStep() {
    ++m_nStep;
    std::string error;
    const bool ok = m_oSetup.ChangeSample(error);
    nlohmann::ordered_json change;
    change["event"] = "demo_step";
    change["step"] = m_nStep;
    change["title"] = "change the sample";
    change["ok"] = ok;
    Say("\n[" + std::to_string(m_nStep) + "/" + std::to_string(m_nSteps) +
            "] change the sample: rewrite /demo/src/data/part-00001, add "
            "/demo/src/logs/2024-03-02.log" +
            (ok ? "" : "\n    -> FAILED: " + error),
        change);
    if (!ok)
        m_nFailure = kExitFatal;
    return ok;
}

bool CDemo::RunRoundTrip() {
    const std::string full = m_oSetup.BackupDir() + "/full";
    const std::string incremental = m_oSetup.BackupDir() + "/incremental";
    const bool backedUp = Step("doctor: the library's set-up, step by step", {"doctor"}) &&
                          Step("full backup of /demo/src", {"backup", "/demo/src", full}) &&
                          !Interrupted();
    return backedUp && ChangeSampleStep() && !Interrupted() &&
           Step("incremental backup: only what changed is copied",
                {"backup", "--incremental", full, "/demo/src", incremental}) &&
           !Interrupted() &&
           Step("restore into a second path", {"restore", incremental, "/demo/restored"}) &&
           !Interrupted() &&
           Step("verify the restored tree against the backup",
                {"verify", incremental, "/demo/restored"});
}

void CDemo::SaySummary(bool ok) {
    nlohmann::ordered_json result;
    result["event"] = "demo_summary";
    result["ok"] = ok;
    if (m_oOptions.keep)
        result["kept"] = m_oSetup.Root();
    std::string text =
        ok ? "\ndemo PASSED: /demo/restored is identical to /demo/src as backed up (content, "
             "permissions, owners, times, ACLs, extended attributes)"
           : "\ndemo FAILED";
    if (m_oOptions.keep) {
        text += "\nkept in " + m_oSetup.Root() +
                "; `hdfsagent demo --setup-only` prints how to run the tool in such a world";
        if (m_oOptions.kerberos)
            text += "; its KDC still runs: " + m_oSetup.KdcStopCommand();
    }
    Say(text, result);
}

int CDemo::Run() {
    InstallInterruptHandlers();
    if (!CreateSetup())
        return kExitFatal;
    const nlohmann::ordered_json setup = SetupEvent();
    if (m_oOptions.setupOnly) {
        SayHowToUseSetup(setup);
        return kExitOk;
    }
    SayWhatIsSetUp(setup);
    const bool ok = RunRoundTrip();
    if (Interrupted()) {
        fprintf(stderr, "hdfsagent demo: interrupted\n");
        m_oSetup.Cleanup();
        EndByInterrupt();
    }
    SaySummary(ok);
    return ok ? kExitOk : (m_nFailure != 0 ? m_nFailure : kExitFatal);
}

}  // namespace

int RunDemo(const DemoOptions& options) {
    CDemo demo(options);
    return demo.Run();
}

}  // namespace tool
