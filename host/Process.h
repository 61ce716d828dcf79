// DxProcess: runs child processes that can neither hang the caller nor leak.
//
// Every child: standard input from /dev/null; standard output and standard error captured
// through pipes drained together with poll() (no deadlock on large outputs); all other
// descriptors closed on exec; signal mask and dispositions reset in the child; its own process
// group, so a deadline kills the whole group (SIGTERM, a short grace, then SIGKILL); always reaped.
// The caller's signal dispositions are never changed. Thread-safe: distinct objects may run
// children from different threads. Collection ends when the child exits, even if a background
// grandchild still holds the pipes open (what it writes later is not collected). A process
// whose SIGCHLD is ignored has its children reaped by the kernel: their status reads as -1.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "host/Error.h"
#include "host/Export.h"

// Identity a child takes before exec (supplementary groups, gid, uid — set in the child only).
struct HDFSAGENT_API DxProcessIdentity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string userName;  // for the supplementary groups (initgroups); empty: only gid
};
// When the child cannot take the identity (setgroups, setresgid or setresuid fails), it writes
// "Failed to switch to user <userName or uid>(<uid>)\n" to its standard error and exits with
// 126 without running the command. Supplementary groups are set only when we run as root.

struct HDFSAGENT_API DxRunOptions {
    long timeoutMs = 0;  // the deadline in milliseconds; 0: none
    // Added to (or replacing in) the child's environment; a name that is empty or holds "="
    // fails the run (-1, the reason in `err`).
    std::map<std::string, std::string> environment;
    const DxProcessIdentity* identity = nullptr;  // run as another user when set
};

class HDFSAGENT_API DxProcess {
  public:
    DxProcess();
    // A started child that was not waited for is killed (process group) and reaped.
    ~DxProcess();
    DxProcess(const DxProcess&) = delete;
    DxProcess& operator=(const DxProcess&) = delete;

    // Runs `command` through "/bin/sh -c", waits, captures standard output and standard error
    // separately and returns the exit status (0 success; 128+signal when killed by a signal;
    // -1 when the shell could not be started, with the reason in `err`). `timeoutSeconds` 0
    // means no deadline; on a deadline the group is killed, "timedout" is appended to `err`
    // and -1 is returned. The last argument is unused (kept for the host's signature).
    // A null `out` or `err` sends that stream to /dev/null; both strings are emptied first.
    // Each captured stream keeps at most its first 64 MiB (the rest is read, dropped and the
    // cut logged), so a child that writes without end cannot exhaust our memory.
    static int system(const std::string& command, std::string* out, std::string* err,
                      int timeoutSeconds = 0, bool unused = false);
    // The same with options (environment additions, another user's identity).
    static int system(const std::string& command, std::string* out, std::string* err,
                      const DxRunOptions& options);

    // Capture options for StartProcess: when true, the stream is collected and available after
    // WaitForProcessToEndMs through GetStdout()/GetStderr(); when false it goes to /dev/null.
    // A captured stream is read only while WaitForProcessToEndMs runs: a long-running child that
    // writes more than a pipe holds (64 KiB) blocks until then, so leave capture off for those.
    void SetCaptureStdout(bool capture) { m_bCaptureStdout = capture; }
    void SetCaptureStderr(bool capture) { m_bCaptureStderr = capture; }
    // When true, StartProcess gives the child a pipe as its standard input and keeps the write
    // end (close-on-exec, never written). The child sees end-of-file once this object closes it
    // (KillAndReap, the destructor, a reap) or once our process ends, however it ends: a child
    // that watches its standard input can tie its life to ours.
    void SetStdinPipe(bool pipe) { m_bStdinPipe = pipe; }
    // Added to (or replacing in) the environment StartProcess gives the child. The values do not
    // appear on the command line, so other users cannot read them from the process table.
    void SetStartEnvironment(const std::map<std::string, std::string>& environment) {
        m_mapStartEnvironment = environment;
    }

    // Starts `program` without waiting. `commandLine` is the whole command line (program name
    // first), split into arguments without a shell: blanks separate arguments, single and double
    // quotes group, a backslash escapes the next character outside single quotes. `program` is
    // looked up on PATH when it holds no "/". Returns false with the reason in `error`:
    // "<program>: command not found on PATH", "cannot execute <path>: <strerror text>" (the
    // failed child is reaped), "a child is already running". `flags` is unused.
    bool StartProcess(const std::string& program, const std::string& commandLine,
                      std::string* error, int flags = 0);
    // The same with an argument vector (argv[0] included).
    bool StartProcess(const std::string& program, const std::vector<std::string>& argv,
                      std::string* error, int flags = 0);

    // Waits at most `timeoutMs` milliseconds (0: no limit). True with the exit status when the
    // child ended. On the deadline: false with `message` exactly "timedout"; the child is left
    // running (the caller decides), KillAndReap() ends it. Other failures: false with a text.
    bool WaitForProcessToEndMs(int* exitStatus, std::string* message, long timeoutMs);

    // Sends SIGKILL to the child's process group and reaps it. Safe when nothing runs.
    void KillAndReap();
    // True while a started child has not been reaped (it may have exited already).
    bool IsRunning();

    pid_t GetPid() const { return m_nPid; }
    const std::string& GetStdout() const { return m_sStdout; }
    const std::string& GetStderr() const { return m_sStderr; }

    // Splits a command line as StartProcess does.
    static std::vector<std::string> SplitCommandLine(const std::string& commandLine);

  private:
    friend class DxProcessLauncher;
    void DrainPipes(long timeoutMs, bool* timedOut);
    void ClosePipes();

    pid_t m_nPid = -1;
    int m_hStdout = -1;
    int m_hStderr = -1;
    int m_hStdinWrite = -1;
    bool m_bCaptureStdout = false;
    bool m_bCaptureStderr = false;
    bool m_bStdinPipe = false;
    std::map<std::string, std::string> m_mapStartEnvironment;
    std::string m_sStdout;
    std::string m_sStderr;
};
