#include "Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>
#include <utility>

namespace tool {

namespace {

volatile sig_atomic_t g_nSignal = 0;

std::function<void()>& InterruptCleanup() {
    static std::function<void()> s_cleanup;
    return s_cleanup;
}

void OnSignal(int signal) {
    g_nSignal = signal;
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
    return g_nSignal != 0;
}

void SetInterruptCleanup(std::function<void()> cleanup) {
    InterruptCleanup() = std::move(cleanup);
}

void EndByInterrupt() {
    if (InterruptCleanup())
        InterruptCleanup()();
    const int signal = g_nSignal != 0 ? g_nSignal : SIGINT;
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
