// The process runner with real children: exit status, both streams, standard input, descriptor
// hygiene, deadlines that kill the whole group, no zombies, another user's identity, and
// commands built with shell quoting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "host/Process.h"
#include "host/ShellQuote.h"
#include "support/TestSupport.h"

using testsupport::CountZombieChildren;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

// True when `pid` is gone or only a zombie waiting for someone else's reaping, at one of
// `attempts` looks 5 ms apart.
bool IsDead(pid_t pid, int attempts = 1) {
    for (int i = 0; i < attempts; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            return true;
        size_t close = line.rfind(')');
        if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z')
            return true;
    }
    return false;
}

struct Outcome {
    int status;
    std::string out, err;
};

Outcome RunShell(const std::string& command, const DxRunOptions& options = DxRunOptions()) {
    Outcome run;
    run.status = DxProcess::system(command, &run.out, &run.err, options);
    return run;
}

DxRunOptions WithTimeoutMs(long timeoutMs) {
    DxRunOptions options;
    options.timeoutMs = timeoutMs;
    return options;
}

DxRunOptions As(DxProcessIdentity* identity, uid_t id, const char* userName) {
    identity->uid = id;
    identity->gid = id;
    identity->userName = userName;
    DxRunOptions options;
    options.identity = identity;
    return options;
}

class HostProcess : public ::testing::Test {
  protected:
    TempDir m_dir;
    ScopedEnv m_log{"HDFSAGENT_LOG_DIR", m_dir / "log"};
};

}  // namespace

TEST_F(HostProcess, ExitStatusAndSeparateStreams) {
    Outcome run = RunShell("echo out; echo err >&2; exit 3");
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "out\n");
    EXPECT_EQ(run.err, "err\n");
    EXPECT_EQ(RunShell("true").status, 0);
    EXPECT_EQ(RunShell("kill -9 $$").status, 128 + SIGKILL);
    EXPECT_EQ(RunShell("no_such_program_here_x 2>/dev/null").status, 127);

    // The whole of stderr comes first: a runner that reads stdout alone would block forever.
    auto start = std::chrono::steady_clock::now();
    run = RunShell(
        "head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string(1048576, 'o'));
    EXPECT_EQ(run.err, std::string(1048576, 'e'));
    EXPECT_LT(ElapsedMs(start), 5000);

    // Runs from several threads at once keep their own output.
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < 10; ++i) {
                std::string expected = std::to_string(t) + "-" + std::to_string(i);
                Outcome run = RunShell("echo " + expected + "; echo e" + expected + " >&2");
                if (run.status != 0 || run.out != expected + "\n" ||
                    run.err != "e" + expected + "\n")
                    ++mismatches;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(CountZombieChildren(), 0);
}

// A child that writes without end is read to its end, but only the first 64 MiB of a stream are
// kept (and the cut is logged): the runner's memory stays bounded.
TEST_F(HostProcess, CapturedOutputIsCutAt64MiB) {
    Outcome run = RunShell("head -c 100000000 /dev/zero | tr '\\0' o; echo done >&2");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.size(), 64u << 20);
    EXPECT_EQ(run.out.find_first_not_of('o'), std::string::npos);
    EXPECT_EQ(run.err, "done\n");
    EXPECT_NE(ReadFile(m_dir / "log/hdfsagent.log")
                  .find("bytes to standard output; the rest was dropped"),
              std::string::npos);
}

// Standard input is /dev/null, no descriptor of ours leaks, signal dispositions and mask are
// reset, and environment additions reach only the child.
TEST_F(HostProcess, ChildStartsWithACleanSlate) {
    EXPECT_EQ(RunShell("cat; readlink /proc/self/fd/0").out, "/dev/null\n");
    // A descriptor opened without close-on-exec (as other code in the agent might) must not
    // reach the child.
    int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    ASSERT_EQ(dup2(leaked, 200), 200);
    Outcome run = RunShell("ls /proc/self/fd");
    close(200);
    close(leaked);
    EXPECT_EQ(run.out, "0\n1\n2\n3\n");  // 3 is the directory ls reads

    struct sigaction ignore = {}, oldAction = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTERM, &ignore, &oldAction);
    sigset_t blocked, oldMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &oldMask);
    run = RunShell("grep -E '^(SigBlk|SigIgn)' /proc/self/status");
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGTERM, &oldAction, nullptr);
    EXPECT_EQ(run.status, 0);
    // Signals 32 and 33 belong to the C library's threads implementation: no program can change
    // them through sigaction, so an ignored state inherited from our own parent may remain.
    const unsigned long long reservedBits = 0x180000000ULL;
    unsigned long long blockedBits = ~0ULL, ignoredBits = ~0ULL;
    ASSERT_EQ(2,
              sscanf(run.out.c_str(), "SigBlk:\t%llx\nSigIgn:\t%llx", &blockedBits, &ignoredBits))
        << run.out;
    EXPECT_EQ(0ULL, blockedBits & ~reservedBits) << run.out;
    EXPECT_EQ(0ULL, ignoredBits & ~reservedBits) << run.out;
    struct sigaction now = {};
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, oldAction.sa_handler);  // the caller's own is untouched

    ScopedEnv existing("HOSTPROCESS_EXISTING", "old");
    DxRunOptions options;
    options.environment["HOSTPROCESS_EXISTING"] = "new";
    options.environment["HOSTPROCESS_ADDED"] = "a b";
    run = RunShell("echo \"$HOSTPROCESS_EXISTING|$HOSTPROCESS_ADDED|$PATH\"", options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "new|a b|" + std::string(getenv("PATH")) + "\n");
    EXPECT_STREQ(getenv("HOSTPROCESS_EXISTING"), "old");  // ours is unchanged
    options.environment["BAD=NAME"] = "x";
    run = RunShell("true", options);
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.err, "invalid environment variable name 'BAD=NAME'");
}

TEST_F(HostProcess, DeadlineKillsTheWholeGroupAndLeavesNoZombie) {
    std::string pidFile = m_dir / "grandchild.pid";
    auto start = std::chrono::steady_clock::now();
    Outcome run = RunShell("trap '' TERM; sleep 30 & echo $! > " + pidFile + "; echo started; wait",
                           WithTimeoutMs(300));
    long elapsed = ElapsedMs(start);
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.err, "timedout");
    EXPECT_EQ(run.out, "started\n");
    // 300 ms deadline + 200 ms grace before SIGKILL for the shell that ignores TERM.
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 900);
    EXPECT_TRUE(IsDead(std::stoi(ReadFile(pidFile)), 100));
    EXPECT_EQ(CountZombieChildren(), 0);
    // What the child wrote before the deadline is kept.
    run = RunShell("echo partial >&2; sleep 5", WithTimeoutMs(100));
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.err, "partial\ntimedout");
}

TEST_F(HostProcess, BackgroundGrandchildHoldingOrFillingThePipesDoesNotHang) {
    // The shell exits at once; its background child keeps the pipes open (for 5 seconds, or
    // writing without pause) and says its pid on one stream.
    for (const char* command : {"sleep 5 & echo $!", "yes & echo $! >&2"}) {
        auto start = std::chrono::steady_clock::now();
        Outcome run = RunShell(command);
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_LT(ElapsedMs(start), 1000) << command;
        kill(std::stoi(command[0] == 's' ? run.out : run.err), SIGKILL);
    }
}

// Root runs a child as nobody and stays root; nobody cannot run a child as root: the child says
// so and exits 126 without running the command.
TEST_F(HostProcess, RunAsAnotherUserChangesOnlyTheChild) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    DxProcessIdentity identity;
    Outcome run = RunShell("id -u; id -g; id -G", As(&identity, 65534, "nobody"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "65534\n65534\n65534\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(getuid(), 0u);
    EXPECT_EQ(geteuid(), 0u);
    EXPECT_EQ(getgid(), 0u);

    pid_t pid = fork();
    if (pid == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            _exit(90);
        run = RunShell("echo should-not-run", As(&identity, 0, "root"));
        _exit(run.status != 126                                 ? 91
              : run.err != "Failed to switch to user root(0)\n" ? 92
              : !run.out.empty()                                ? 93
                                                                : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// StartProcess splits the command line without a shell. A missing program fails to start; a
// started child outlives a wait deadline, and is killed and reaped by KillAndReap (harmless
// twice) or by the destructor.
TEST_F(HostProcess, StartProcessSplitsWithoutShellAndTheChildIsAlwaysReaped) {
    EXPECT_EQ(DxProcess::SplitCommandLine("  locate  libhdfs.so "),
              (std::vector<std::string>{"locate", "libhdfs.so"}));
    EXPECT_EQ(DxProcess::SplitCommandLine("java -cp 'a b:c' -Dx=\"y z\" Main\\ Class"),
              (std::vector<std::string>{"java", "-cp", "a b:c", "-Dx=y z", "Main Class"}));
    EXPECT_EQ(DxProcess::SplitCommandLine("a '' \"\""), (std::vector<std::string>{"a", "", ""}));
    EXPECT_TRUE(DxProcess::SplitCommandLine(" \t ").empty());

    std::string error;
    DxProcess printer;
    printer.SetCaptureStdout(true);
    ASSERT_TRUE(printer.StartProcess("printf", "printf '%s|' 'a b' \"c \\\"d\\\"\" e\\ f $HOME ''",
                                     &error));
    int status = -1;
    std::string message;
    ASSERT_TRUE(printer.WaitForProcessToEndMs(&status, &message, 5000));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(printer.GetStdout(), "a b|c \"d\"|e f|$HOME||");
    EXPECT_FALSE(printer.IsRunning());

    {
        DxProcess process;
        EXPECT_FALSE(process.StartProcess("no_such_program_x", "no_such_program_x", &error));
        EXPECT_EQ(error, "no_such_program_x: command not found on PATH");
        EXPECT_FALSE(process.StartProcess("/nonexistent/prog", "prog", &error));
        EXPECT_EQ(error, "cannot execute /nonexistent/prog: No such file or directory");
        EXPECT_FALSE(process.IsRunning());
        EXPECT_EQ(CountZombieChildren(), 0);

        ASSERT_TRUE(process.StartProcess("sleep", "sleep 30", &error));
        EXPECT_FALSE(process.WaitForProcessToEndMs(&status, &message, 100));
        EXPECT_EQ(message, "timedout");
        EXPECT_TRUE(process.IsRunning());
        EXPECT_EQ(kill(process.GetPid(), 0), 0);
        process.KillAndReap();
        EXPECT_FALSE(process.IsRunning());
        EXPECT_EQ(CountZombieChildren(), 0);
        process.KillAndReap();  // harmless twice
    }
    pid_t pid;
    {
        DxProcess process;
        ASSERT_TRUE(process.StartProcess("sleep", std::vector<std::string>{"sleep", "30"}, &error));
        pid = process.GetPid();
    }
    EXPECT_TRUE(IsDead(pid));
    EXPECT_EQ(CountZombieChildren(), 0);
}

TEST_F(HostProcess, ShellQuotedPiecesRoundTripThroughTheShell) {
    for (const std::string piece : {"plain", "/opt/my dir/bin", "it's", "a;echo injected", "$HOME",
                                    "`id`", "\"q\"", "back\\slash", "*", "new\nline", "", "-n"}) {
        Outcome run = RunShell("printf '%s' " + ShellQuote(piece));
        EXPECT_EQ(run.status, 0) << piece;
        EXPECT_EQ(run.out, piece);
        EXPECT_EQ(run.err, "");
    }
}
