#include "Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <utility>

namespace tool {

namespace {

// Set by the handler, read by the copying threads: a lock-free atomic is both safe in a signal
// handler and free of data races between threads (a volatile sig_atomic_t is only the former).
std::atomic<int> g_nSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal flag must be lock-free");

std::function<void()>& InterruptCleanup() {
    static std::function<void()> s_cleanup;
    return s_cleanup;
}

void OnSignal(int signal) {
    // The interrupted code may be between a failing call and its read of errno.
    const int savedErrno = errno;
    g_nSignal.store(signal);
    errno = savedErrno;
}

}  // namespace

void InstallInterruptHandlers() {
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

bool Interrupted() {
    return g_nSignal.load() != 0;
}

void SetInterruptCleanup(std::function<void()> cleanup) {
    InterruptCleanup() = std::move(cleanup);
}

void EndByInterrupt() {
    if (InterruptCleanup())
        InterruptCleanup()();
    const int received = g_nSignal.load();
    const int signal = received != 0 ? received : SIGINT;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal);
}

}  // namespace tool
