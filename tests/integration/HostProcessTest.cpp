// The process runner with real children: exit status, both streams, standard input, descriptor
// hygiene, deadlines that kill the whole group, no zombies, another user's identity, and
// commands built with shell quoting.
#include <fcntl.h>
#include <gmock/gmock.h>
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

using ::testing::HasSubstr;
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

// True when `pid` is gone or only a zombie waiting for someone else's reaping.
bool IsDeadProcess(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

bool EventuallyDead(pid_t pid) {
    for (int i = 0; i < 100; ++i) {
        if (IsDeadProcess(pid))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

int RunShell(const std::string& command, std::string* out = nullptr, std::string* err = nullptr) {
    std::string o, e;
    return DxProcess::system(command, out ? out : &o, err ? err : &e);
}

class HostProcess : public ::testing::Test {
  protected:
    TempDir m_dir;
    ScopedEnv m_log{"HDFSAGENT_LOG_DIR", m_dir / "log"};
};

}  // namespace

TEST_F(HostProcess, ExitStatusAndSeparateStreams) {
    std::string out, err;
    EXPECT_EQ(DxProcess::system("echo out; echo err >&2; exit 3", &out, &err), 3);
    EXPECT_EQ(out, "out\n");
    EXPECT_EQ(err, "err\n");
    EXPECT_EQ(RunShell("true"), 0);
    EXPECT_EQ(RunShell("kill -9 $$"), 128 + SIGKILL);
    EXPECT_EQ(RunShell("no_such_program_here_x 2>/dev/null"), 127);
}

TEST_F(HostProcess, LargeOutputOnBothStreamsDoesNotDeadlock) {
    // The whole of stderr comes first: a runner that reads stdout alone would block forever.
    std::string out, err;
    auto start = std::chrono::steady_clock::now();
    int status = DxProcess::system(
        "head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o", &out,
        &err);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, std::string(1048576, 'o'));
    EXPECT_EQ(err, std::string(1048576, 'e'));
    EXPECT_LT(ElapsedMs(start), 5000);
}

TEST_F(HostProcess, StandardInputIsDevNullAndOurDescriptorsAreClosed) {
    std::string out;
    EXPECT_EQ(RunShell("cat; readlink /proc/self/fd/0", &out), 0);
    EXPECT_EQ(out, "/dev/null\n");
    // A descriptor opened without close-on-exec (as other code in the agent might) must not
    // reach the child.
    int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    ASSERT_EQ(dup2(leaked, 200), 200);
    EXPECT_EQ(RunShell("ls /proc/self/fd", &out), 0);
    close(200);
    close(leaked);
    EXPECT_EQ(out, "0\n1\n2\n3\n");  // 3 is the directory ls reads
}

TEST_F(HostProcess, SignalDispositionsAndMaskAreReset) {
    struct sigaction ignore = {}, oldAction = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTERM, &ignore, &oldAction);
    sigset_t blocked, oldMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &oldMask);
    std::string out;
    int status = RunShell("grep -E '^(SigBlk|SigIgn)' /proc/self/status", &out);
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGTERM, &oldAction, nullptr);
    EXPECT_EQ(status, 0);
    // Signals 32 and 33 belong to the C library's threads implementation: no program can change
    // them through sigaction, so an ignored state inherited from our own parent may remain.
    const unsigned long long reservedBits = 0x180000000ULL;
    unsigned long long blockedBits = ~0ULL, ignoredBits = ~0ULL;
    ASSERT_EQ(2, sscanf(out.c_str(), "SigBlk:\t%llx\nSigIgn:\t%llx", &blockedBits, &ignoredBits))
        << out;
    EXPECT_EQ(0ULL, blockedBits & ~reservedBits) << out;
    EXPECT_EQ(0ULL, ignoredBits & ~reservedBits) << out;
    // The caller's own disposition is untouched.
    struct sigaction now = {};
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, oldAction.sa_handler);
}

TEST_F(HostProcess, DeadlineKillsTheWholeGroupAndLeavesNoZombie) {
    std::string pidFile = m_dir / "grandchild.pid";
    DxRunOptions options;
    options.timeoutMs = 300;
    std::string out, err;
    auto start = std::chrono::steady_clock::now();
    int status =
        DxProcess::system("trap '' TERM; sleep 30 & echo $! > " + pidFile + "; echo started; wait",
                          &out, &err, options);
    long elapsed = ElapsedMs(start);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(err, "timedout");
    EXPECT_EQ(out, "started\n");
    // 300 ms deadline + 200 ms grace before SIGKILL for the shell that ignores TERM.
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 900);
    pid_t grandchild = std::stoi(ReadFile(pidFile));
    EXPECT_TRUE(EventuallyDead(grandchild));
    EXPECT_EQ(CountZombieChildren(), 0);
}

TEST_F(HostProcess, TimedOutStderrKeepsWhatWasWritten) {
    DxRunOptions options;
    options.timeoutMs = 100;
    std::string out, err;
    EXPECT_EQ(DxProcess::system("echo partial >&2; sleep 5", &out, &err, options), -1);
    EXPECT_EQ(err, "partial\ntimedout");
}

TEST_F(HostProcess, BackgroundGrandchildHoldingOrFillingThePipesDoesNotHang) {
    // The shell exits at once; its background child keeps the pipes open (for 5 seconds, or
    // writing without pause) and says its pid on one stream.
    for (const char* command : {"sleep 5 & echo $!", "yes & echo $! >&2"}) {
        std::string out, err;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(DxProcess::system(command, &out, &err), 0) << command;
        EXPECT_LT(ElapsedMs(start), 1000) << command;
        kill(std::stoi(command[0] == 's' ? out : err), SIGKILL);
    }
}

TEST_F(HostProcess, EnvironmentAdditions) {
    ScopedEnv existing("HOSTPROCESS_EXISTING", "old");
    DxRunOptions options;
    options.environment["HOSTPROCESS_EXISTING"] = "new";
    options.environment["HOSTPROCESS_ADDED"] = "a b";
    std::string out, err;
    EXPECT_EQ(DxProcess::system("echo \"$HOSTPROCESS_EXISTING|$HOSTPROCESS_ADDED|$PATH\"", &out,
                                &err, options),
              0);
    EXPECT_EQ(out, "new|a b|" + std::string(getenv("PATH")) + "\n");
    EXPECT_STREQ(getenv("HOSTPROCESS_EXISTING"), "old");  // ours is unchanged
    options.environment["BAD=NAME"] = "x";
    EXPECT_EQ(DxProcess::system("true", &out, &err, options), -1);
    EXPECT_EQ(err, "invalid environment variable name 'BAD=NAME'");
}

TEST_F(HostProcess, RunAsNobodyChangesOnlyTheChild) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    DxProcessIdentity nobody;
    nobody.uid = 65534;
    nobody.gid = 65534;
    nobody.userName = "nobody";
    DxRunOptions options;
    options.identity = &nobody;
    std::string out, err;
    EXPECT_EQ(DxProcess::system("id -u; id -g; id -G", &out, &err, options), 0);
    EXPECT_EQ(out, "65534\n65534\n65534\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(getuid(), 0u);
    EXPECT_EQ(geteuid(), 0u);
    EXPECT_EQ(getgid(), 0u);
}

TEST_F(HostProcess, FailedIdentitySwitchReports126AndTheUser) {
    // An unprivileged process cannot become root: the child says so and exits 126.
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 &&
            (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0))
            _exit(90);
        DxProcessIdentity root;
        root.uid = 0;
        root.gid = 0;
        root.userName = "root";
        DxRunOptions options;
        options.identity = &root;
        std::string out, err;
        int status = DxProcess::system("echo should-not-run", &out, &err, options);
        if (status != 126)
            _exit(91);
        if (err != "Failed to switch to user root(0)\n")
            _exit(92);
        if (!out.empty())
            _exit(93);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(HostProcess, ConcurrentRunsKeepTheirOwnOutput) {
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < 10; ++i) {
                std::string expected = std::to_string(t) + "-" + std::to_string(i);
                std::string out, err;
                if (DxProcess::system("echo " + expected + "; echo e" + expected + " >&2", &out,
                                      &err) != 0 ||
                    out != expected + "\n" || err != "e" + expected + "\n")
                    ++mismatches;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(CountZombieChildren(), 0);
}

TEST_F(HostProcess, StartProcessSplitsWithoutShell) {
    DxProcess process;
    process.SetCaptureStdout(true);
    std::string error;
    ASSERT_TRUE(process.StartProcess("printf", "printf '%s|' 'a b' \"c \\\"d\\\"\" e\\ f $HOME ''",
                                     &error));
    int status = -1;
    std::string message;
    ASSERT_TRUE(process.WaitForProcessToEnd(&status, &message, 5));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(process.GetStdout(), "a b|c \"d\"|e f|$HOME||");
    EXPECT_FALSE(process.IsRunning());
}

TEST_F(HostProcess, SplitCommandLine) {
    EXPECT_EQ(DxProcess::SplitCommandLine("  locate  libhdfs.so "),
              (std::vector<std::string>{"locate", "libhdfs.so"}));
    EXPECT_EQ(DxProcess::SplitCommandLine("java -cp 'a b:c' -Dx=\"y z\" Main\\ Class"),
              (std::vector<std::string>{"java", "-cp", "a b:c", "-Dx=y z", "Main Class"}));
    EXPECT_EQ(DxProcess::SplitCommandLine("a '' \"\""), (std::vector<std::string>{"a", "", ""}));
    EXPECT_TRUE(DxProcess::SplitCommandLine(" \t ").empty());
}

TEST_F(HostProcess, StartProcessReportsMissingProgram) {
    DxProcess process;
    std::string error;
    EXPECT_FALSE(process.StartProcess("no_such_program_x", "no_such_program_x", &error));
    EXPECT_EQ(error, "no_such_program_x: command not found on PATH");
    EXPECT_FALSE(process.StartProcess("/nonexistent/prog", "prog", &error));
    EXPECT_EQ(error, "cannot execute /nonexistent/prog: No such file or directory");
    EXPECT_FALSE(process.IsRunning());
    EXPECT_EQ(CountZombieChildren(), 0);
}

TEST_F(HostProcess, WaitDeadlineLeavesChildRunningUntilKilled) {
    DxProcess process;
    std::string error;
    ASSERT_TRUE(process.StartProcess("sleep", "sleep 30", &error));
    int status = -1;
    std::string message;
    EXPECT_FALSE(process.WaitForProcessToEndMs(&status, &message, 100));
    EXPECT_EQ(message, "timedout");
    EXPECT_TRUE(process.IsRunning());
    pid_t pid = process.GetPid();
    EXPECT_EQ(kill(pid, 0), 0);
    process.KillAndReap();
    EXPECT_FALSE(process.IsRunning());
    EXPECT_EQ(CountZombieChildren(), 0);
    process.KillAndReap();  // harmless twice
}

TEST_F(HostProcess, DestructorKillsAndReapsAStartedChild) {
    pid_t pid;
    {
        DxProcess process;
        std::string error;
        ASSERT_TRUE(process.StartProcess("sleep", std::vector<std::string>{"sleep", "30"}, &error));
        pid = process.GetPid();
    }
    EXPECT_TRUE(IsDeadProcess(pid));
    EXPECT_EQ(CountZombieChildren(), 0);
}

TEST_F(HostProcess, ShellQuotedPiecesRoundTripThroughTheShell) {
    for (const std::string piece : {"plain", "/opt/my dir/bin", "it's", "a;echo injected", "$HOME",
                                    "`id`", "\"q\"", "back\\slash", "*", "new\nline", "", "-n"}) {
        std::string out, err;
        EXPECT_EQ(DxProcess::system("printf '%s' " + ShellQuote(piece), &out, &err), 0) << piece;
        EXPECT_EQ(out, piece);
        EXPECT_EQ(err, "");
    }
}
