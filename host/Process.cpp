#include "host/Process.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "host/Log.h"
#include "host/Strings.h"

extern char** environ;

namespace {

const long kTermGraceMs = 200;  // between SIGTERM and SIGKILL on a deadline
const long kMaxPollTickMs = 50;
// What is kept of each captured stream; the rest is read and dropped, so a child that writes
// without end neither blocks nor fills our memory.
const size_t kMaxCapturedBytes = 64u << 20;

long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string ErrNoText(int errNo) {
    char buffer[256];
    return strerror_r(errNo, buffer, sizeof buffer);
}

void CloseFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Keeps a descriptor clear of 0..2, so that the child's dup2 onto its standard streams can
// never overwrite another descriptor it still needs.
bool MoveAboveStdio(int& fd) {
    if (fd > 2)
        return true;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0)
        return false;
    close(fd);
    fd = moved;
    return true;
}

bool ReapBlocking(pid_t pid, int* status) {
    while (waitpid(pid, status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

bool HasExited(pid_t pid) {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD;  // nothing left to wait for
    return info.si_pid == pid;
}

int StatusToExitCode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Everything the child needs, prepared in the parent: between fork and exec the child may only
// make async-signal-safe calls, so no allocation, no name service lookups, no locks.
struct ChildPlan {
    std::string path;  // resolved program
    std::vector<std::string> argv;
    std::vector<std::string> env;
    bool switchIdentity = false;
    bool setGroups = false;
    std::vector<gid_t> groups;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string identityFailure;  // the line written when switching fails
    bool stdinPipe = false;       // standard input from a pipe whose write end we keep

    std::vector<char*> argvPointers;
    std::vector<char*> envPointers;
    void Finish() {
        for (std::string& arg : argv)
            argvPointers.push_back(&arg[0]);
        argvPointers.push_back(nullptr);
        for (std::string& var : env)
            envPointers.push_back(&var[0]);
        envPointers.push_back(nullptr);
    }
};

bool IsValidEnvironmentName(const std::string& name) {
    return !name.empty() && name.find('=') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::vector<std::string> BuildEnvironment(const std::map<std::string, std::string>& additions) {
    std::vector<std::string> env;
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* equals = strchr(*entry, '=');
        std::string name = equals ? std::string(*entry, equals - *entry) : std::string(*entry);
        if (additions.count(name) == 0)
            env.push_back(*entry);
    }
    for (const auto& [name, value] : additions)
        env.push_back(name + "=" + value);
    return env;
}

// The program as execve needs it: names without "/" are looked up on PATH like execvp does.
bool ResolveProgram(const std::string& program, std::string& path, std::string* error) {
    if (program.empty()) {
        if (error)
            *error = "no program given";
        return false;
    }
    if (program.find('/') != std::string::npos) {
        path = program;
        return true;
    }
    const char* pathVariable = getenv("PATH");
    std::vector<std::string> directories;
    FXString::Split(pathVariable && *pathVariable ? pathVariable : "/usr/local/bin:/usr/bin:/bin",
                    ":", directories);
    for (std::string directory : directories) {
        if (directory.empty())
            directory = ".";
        std::string candidate = directory + "/" + program;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            path = candidate;
            return true;
        }
    }
    if (error)
        *error = FXString::Format("%s: command not found on PATH", program.c_str());
    return false;
}

bool PlanIdentity(const DxProcessIdentity* identity, ChildPlan& plan, std::string* error) {
    if (!identity)
        return true;
    plan.switchIdentity = true;
    plan.uid = identity->uid;
    plan.gid = identity->gid;
    plan.setGroups = geteuid() == 0;
    plan.groups.assign(1, identity->gid);
    if (!identity->userName.empty()) {
        int count = 32;
        for (int attempt = 0; attempt < 8; ++attempt) {
            plan.groups.assign(static_cast<size_t>(count), 0);
            int wanted = count;
            if (getgrouplist(identity->userName.c_str(), identity->gid, plan.groups.data(),
                             &wanted) >= 0) {
                plan.groups.resize(static_cast<size_t>(wanted));
                break;
            }
            if (wanted <= count) {  // unknown user: only the primary group
                plan.groups.assign(1, identity->gid);
                break;
            }
            count = wanted;
        }
    }
    std::string name =
        identity->userName.empty() ? std::to_string(identity->uid) : identity->userName;
    plan.identityFailure = FXString::Format("Failed to switch to user %s(%d)\n", name.c_str(),
                                            static_cast<int>(identity->uid));
    (void)error;
    return true;
}

void WriteAllSignalSafe(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        length -= static_cast<size_t>(written);
    }
}

void MarkAllAboveStdioCloseOnExec() {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */) == 0)
        return;
#endif
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > 65536)
        limit = 65536;
    for (int fd = 3; fd < limit; ++fd)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Runs in the child after fork: only async-signal-safe calls from here on.
[[noreturn]] void RunChild(const ChildPlan& plan, int stdinFd, int stdoutFd, int stderrFd,
                           int statusFd) {
    struct sigaction defaultAction;
    memset(&defaultAction, 0, sizeof defaultAction);
    defaultAction.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP)
            continue;
        sigaction(sig, &defaultAction, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    setpgid(0, 0);

    const int sources[3] = {stdinFd, stdoutFd, stderrFd};
    for (int target = 0; target < 3; ++target) {
        if (dup2(sources[target], target) < 0) {
            int failure = errno;
            WriteAllSignalSafe(statusFd, reinterpret_cast<const char*>(&failure), sizeof failure);
            _exit(127);
        }
    }
    MarkAllAboveStdioCloseOnExec();

    if (plan.switchIdentity) {
        bool ok = true;
        if (plan.setGroups && setgroups(plan.groups.size(), plan.groups.data()) != 0)
            ok = false;
        if (ok && setresgid(plan.gid, plan.gid, plan.gid) != 0)
            ok = false;
        if (ok && setresuid(plan.uid, plan.uid, plan.uid) != 0)
            ok = false;
        if (!ok) {
            WriteAllSignalSafe(2, plan.identityFailure.data(), plan.identityFailure.size());
            _exit(126);
        }
    }

    execve(plan.path.c_str(), plan.argvPointers.data(), plan.envPointers.data());
    int failure = errno;
    WriteAllSignalSafe(statusFd, reinterpret_cast<const char*>(&failure), sizeof failure);
    _exit(127);
}

// A pipe whose read end (parent side) is non-blocking; both ends close-on-exec, clear of 0..2.
bool MakePipe(int& readEnd, int& writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    readEnd = fds[0];
    writeEnd = fds[1];
    if (!MoveAboveStdio(readEnd) || !MoveAboveStdio(writeEnd))
        return false;
    fcntl(readEnd, F_SETFL, fcntl(readEnd, F_GETFL) | O_NONBLOCK);
    return true;
}

// Blocks every signal for the scope, so that no handler of ours runs in the child before it has
// reset the dispositions; the caller's mask is restored afterwards.
class BlockAllSignals {
  public:
    BlockAllSignals() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &m_old);
    }
    ~BlockAllSignals() { pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }

  private:
    sigset_t m_old;
};

}  // namespace

// The fork/exec machinery shared by system() and StartProcess().
class DxProcessLauncher {
  public:
    static bool Launch(DxProcess& process, ChildPlan& plan, std::string* error) {
        plan.Finish();
        int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (devNull < 0 || !MoveAboveStdio(devNull)) {
            if (error)
                *error = "cannot open /dev/null: " + ErrNoText(errno);
            CloseFd(devNull);
            return false;
        }
        int outRead = -1, outWrite = -1, errRead = -1, errWrite = -1;
        int statusRead = -1, statusWrite = -1;
        int inRead = -1, inWrite = -1;
        auto cleanup = [&] {
            CloseFd(devNull);
            CloseFd(inRead);
            CloseFd(inWrite);
            CloseFd(outRead);
            CloseFd(outWrite);
            CloseFd(errRead);
            CloseFd(errWrite);
            CloseFd(statusRead);
            CloseFd(statusWrite);
        };
        if ((process.m_bCaptureStdout && !MakePipe(outRead, outWrite)) ||
            (process.m_bCaptureStderr && !MakePipe(errRead, errWrite)) ||
            (plan.stdinPipe && !MakePipe(inRead, inWrite)) || !MakePipe(statusRead, statusWrite)) {
            if (error)
                *error = "cannot create a pipe: " + ErrNoText(errno);
            cleanup();
            return false;
        }
        fcntl(statusRead, F_SETFL, fcntl(statusRead, F_GETFL) & ~O_NONBLOCK);
        // The child's end must block: a non-blocking standard input would read as "no data".
        if (inRead >= 0)
            fcntl(inRead, F_SETFL, fcntl(inRead, F_GETFL) & ~O_NONBLOCK);

        pid_t pid;
        {
            BlockAllSignals blocked;
            pid = fork();
            if (pid == 0)
                RunChild(plan, inRead >= 0 ? inRead : devNull, outWrite >= 0 ? outWrite : devNull,
                         errWrite >= 0 ? errWrite : devNull, statusWrite);
        }
        if (pid < 0) {
            if (error)
                *error = "cannot fork: " + ErrNoText(errno);
            cleanup();
            return false;
        }
        setpgid(pid, pid);  // also here, so the group exists before we may signal it
        CloseFd(devNull);
        CloseFd(inRead);
        CloseFd(outWrite);
        CloseFd(errWrite);
        CloseFd(statusWrite);

        // The status pipe closes on a successful exec; otherwise it brings the errno.
        int failure = 0;
        ssize_t got;
        do {
            got = read(statusRead, &failure, sizeof failure);
        } while (got < 0 && errno == EINTR);
        CloseFd(statusRead);
        if (got == static_cast<ssize_t>(sizeof failure)) {
            int status = 0;
            ReapBlocking(pid, &status);
            CloseFd(outRead);
            CloseFd(errRead);
            CloseFd(inWrite);
            if (error)
                *error = FXString::Format("cannot execute %s: %s", plan.path.c_str(),
                                          ErrNoText(failure).c_str());
            return false;
        }
        process.m_nPid = pid;
        process.m_hStdout = outRead;
        process.m_hStderr = errRead;
        process.m_hStdinWrite = inWrite;
        process.m_sStdout.clear();
        process.m_sStderr.clear();
        return true;
    }
};

DxProcess::DxProcess() = default;

DxProcess::~DxProcess() {
    KillAndReap();
    ClosePipes();
}

void DxProcess::ClosePipes() {
    CloseFd(m_hStdout);
    CloseFd(m_hStderr);
    CloseFd(m_hStdinWrite);
}

namespace {

// Reads what is available; false when the stream has ended (EOF or error).
// At most `limit` bytes per call, so that a writer faster than we read cannot keep us from
// checking the deadline and the child's exit.
bool ReadAvailable(int fd, std::string& into, size_t limit = 1 << 20) {
    char buffer[65536];
    while (limit > 0) {
        ssize_t got = read(fd, buffer, std::min(sizeof buffer, limit));
        if (got > 0) {
            const size_t room = kMaxCapturedBytes - std::min(kMaxCapturedBytes, into.size());
            into.append(buffer, std::min(room, static_cast<size_t>(got)));
            limit -= static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        return false;
    }
    return true;
}

// After the child's exit: what it wrote is already in the pipe, so take exactly what is
// buffered now; a background grandchild that keeps writing cannot hold us here. False when
// the stream has ended.
bool ReadBuffered(int fd, std::string& into) {
    int buffered = 0;
    if (ioctl(fd, FIONREAD, &buffered) != 0)
        return false;
    return buffered <= 0 || ReadAvailable(fd, into, static_cast<size_t>(buffered));
}

}  // namespace

// Collects both streams until the child has exited or the deadline (timeoutMs < 0: none) passes.
// A child's exit ends the collection even when a grandchild still holds the pipes open.
void DxProcess::DrainPipes(long timeoutMs, bool* timedOut) {
    *timedOut = false;
    const long deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    long tick = 1;
    while (true) {
        if (HasExited(m_nPid)) {
            if (m_hStdout >= 0 && !ReadBuffered(m_hStdout, m_sStdout))
                CloseFd(m_hStdout);
            if (m_hStderr >= 0 && !ReadBuffered(m_hStderr, m_sStderr))
                CloseFd(m_hStderr);
            return;
        }
        long wait = tick;
        if (deadline >= 0) {
            long remaining = deadline - NowMs();
            if (remaining <= 0) {
                *timedOut = true;
                return;
            }
            if (remaining < wait)
                wait = remaining;
        }
        struct pollfd fds[2];
        int count = 0;
        if (m_hStdout >= 0)
            fds[count++] = {m_hStdout, POLLIN, 0};
        if (m_hStderr >= 0)
            fds[count++] = {m_hStderr, POLLIN, 0};
        int ready = poll(fds, static_cast<nfds_t>(count), static_cast<int>(wait));
        if (ready > 0) {
            tick = 1;
            for (int i = 0; i < count; ++i) {
                if (fds[i].revents == 0)
                    continue;
                bool isOut = fds[i].fd == m_hStdout;
                int& fd = isOut ? m_hStdout : m_hStderr;
                if (!ReadAvailable(fd, isOut ? m_sStdout : m_sStderr))
                    CloseFd(fd);
            }
        } else if (tick < kMaxPollTickMs) {
            tick *= 2;
        }
    }
}

bool DxProcess::StartProcess(const std::string& program, const std::string& commandLine,
                             std::string* error, int flags) {
    return StartProcess(program, SplitCommandLine(commandLine), error, flags);
}

bool DxProcess::StartProcess(const std::string& program, const std::vector<std::string>& argv,
                             std::string* error, int /*flags*/) {
    if (m_nPid > 0) {
        if (error)
            *error = "a child is already running";
        return false;
    }
    ClosePipes();
    ChildPlan plan;
    if (!ResolveProgram(program, plan.path, error))
        return false;
    plan.argv = argv.empty() ? std::vector<std::string>{program} : argv;
    for (const auto& variable : m_mapStartEnvironment) {
        if (!IsValidEnvironmentName(variable.first)) {
            if (error)
                *error = "invalid environment variable name '" + variable.first + "'";
            return false;
        }
    }
    plan.env = BuildEnvironment(m_mapStartEnvironment);
    plan.stdinPipe = m_bStdinPipe;
    DXLOG(3, "starting %s", program.c_str());
    return DxProcessLauncher::Launch(*this, plan, error);
}

bool DxProcess::WaitForProcessToEndMs(int* exitStatus, std::string* message, long timeoutMs) {
    if (m_nPid <= 0) {
        if (message)
            *message = "no child process is running";
        return false;
    }
    bool timedOut = false;
    DrainPipes(timeoutMs > 0 ? timeoutMs : -1, &timedOut);
    if (timedOut) {
        if (message)
            *message = "timedout";
        return false;
    }
    int status = 0;
    bool reaped = ReapBlocking(m_nPid, &status);
    int reapError = errno;
    m_nPid = -1;
    ClosePipes();
    if (!reaped) {
        if (message)
            *message = "cannot get the exit status: " + ErrNoText(reapError);
        return false;
    }
    if (exitStatus)
        *exitStatus = StatusToExitCode(status);
    return true;
}

void DxProcess::KillAndReap() {
    if (m_nPid <= 0)
        return;
    // The child is not reaped yet, so its pid (and group id) cannot have been reused.
    kill(-m_nPid, SIGKILL);
    kill(m_nPid, SIGKILL);
    int status = 0;
    ReapBlocking(m_nPid, &status);
    m_nPid = -1;
    ClosePipes();
}

bool DxProcess::IsRunning() {
    return m_nPid > 0;
}

namespace {

// TERM to the group, a short grace while the pipes are still drained, then KILL.
void StopGroup(DxProcess& process, pid_t pid) {
    kill(-pid, SIGTERM);
    long end = NowMs() + kTermGraceMs;
    while (NowMs() < end && !HasExited(pid)) {
        struct timespec pause = {0, 5 * 1000000L};
        nanosleep(&pause, nullptr);
    }
    process.KillAndReap();
}

}  // namespace

int DxProcess::system(const std::string& command, std::string* out, std::string* err,
                      int timeoutSeconds, bool /*unused*/) {
    DxRunOptions options;
    options.timeoutMs = timeoutSeconds > 0 ? timeoutSeconds * 1000L : 0;
    return system(command, out, err, options);
}

int DxProcess::system(const std::string& command, std::string* out, std::string* err,
                      const DxRunOptions& options) {
    if (out)
        out->clear();
    if (err)
        err->clear();
    ChildPlan plan;
    plan.path = "/bin/sh";
    plan.argv = {"sh", "-c", command};
    for (const auto& variable : options.environment) {
        if (!IsValidEnvironmentName(variable.first)) {
            if (err)
                *err = "invalid environment variable name '" + variable.first + "'";
            return -1;
        }
    }
    plan.env = BuildEnvironment(options.environment);
    std::string error;
    if (!PlanIdentity(options.identity, plan, &error)) {
        if (err)
            *err = error;
        return -1;
    }

    DxProcess process;
    process.SetCaptureStdout(out != nullptr);
    process.SetCaptureStderr(err != nullptr);
    DXLOG(3, "running: %s", command.c_str());
    if (!DxProcessLauncher::Launch(process, plan, &error)) {
        DXLOG(-1, "cannot run '%s': %s", command.c_str(), error.c_str());
        if (err)
            *err = error;
        return -1;
    }
    bool timedOut = false;
    long timeoutMs = options.timeoutMs > 0 ? options.timeoutMs : -1;
    process.DrainPipes(timeoutMs, &timedOut);
    int result = -1;
    if (timedOut) {
        pid_t pid = process.m_nPid;
        StopGroup(process, pid);
        DXLOG(-1, "'%s' did not end within %ld ms and was killed", command.c_str(), timeoutMs);
    } else {
        std::string message;
        if (!process.WaitForProcessToEndMs(&result, &message, 0)) {
            result = -1;
            process.m_sStderr += message;
        }
    }
    for (const std::string* stream : {&process.m_sStdout, &process.m_sStderr})
        if (stream->size() >= kMaxCapturedBytes)
            DXLOG(-1, "'%s' wrote more than %zu bytes to standard %s; the rest was dropped",
                  command.c_str(), kMaxCapturedBytes,
                  stream == &process.m_sStdout ? "output" : "error");
    if (out)
        *out = std::move(process.m_sStdout);
    if (err) {
        *err = std::move(process.m_sStderr);
        if (timedOut) {
            if (!err->empty() && err->back() != '\n')
                *err += "\n";
            *err += "timedout";
        }
    }
    return result;
}

std::vector<std::string> DxProcess::SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> args;
    std::string current;
    bool inWord = false;
    char quote = 0;
    for (size_t i = 0; i < commandLine.size(); ++i) {
        char c = commandLine[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                current += c;
            continue;
        }
        if (c == '\\' && i + 1 < commandLine.size()) {
            current += commandLine[++i];
            inWord = true;
            continue;
        }
        if (quote == '"') {
            if (c == '"')
                quote = 0;
            else
                current += c;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord)
                args.push_back(current);
            current.clear();
            inWord = false;
            continue;
        }
        current += c;
        inWord = true;
    }
    if (inWord)
        args.push_back(current);
    return args;
}
