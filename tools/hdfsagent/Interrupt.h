// SIGINT, SIGTERM and SIGHUP stop a command between two steps: the handler only sets a flag
// (system calls are restarted, so the library never sees EINTR); the command checks the flag
// between blocks and files, cleans up (temporary manifest, temporary restore file) and then ends
// the process by the same signal, so a calling shell sees the interruption.
#pragma once

namespace tool {

void InstallInterruptHandlers();
bool Interrupted();
// Restores the default action of the signal that interrupted us and raises it again.
[[noreturn]] void EndByInterrupt();

}  // namespace tool
