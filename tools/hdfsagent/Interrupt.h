// SIGINT, SIGTERM and SIGHUP stop a command between two steps: the handler only sets a flag
// (system calls are restarted, so the library never sees EINTR); the command checks the flag
// between blocks and files, cleans up (temporary manifest, temporary restore file) and then ends
// the process by the same signal, so a calling shell sees the interruption.
#pragma once

#include <functional>

namespace tool {

void InstallInterruptHandlers();
bool Interrupted();
// Runs `cleanup` (on the calling thread) before EndByInterrupt raises the signal again: what a
// destructor would have stopped, e.g. a child service, is stopped although none runs. One
// cleanup at a time; an empty function removes it.
void SetInterruptCleanup(std::function<void()> cleanup);
// Runs the cleanup, restores the default action of the signal that interrupted us and raises it
// again.
[[noreturn]] void EndByInterrupt();

}  // namespace tool
