// Fault injection and read shaping, for tests that need the failure branches of the real library.
//
//   LOCALHDFS_FAULTS=entryPoint=errno[:count][,...]
//       The named entry point fails with its failure value and that errno, `count` times (default:
//       every call). Rules for the same entry point apply in order, so "hdfsRead=4:1,hdfsRead=5:1"
//       fails the first read with EINTR and the second with EIO. The variable is read at each call;
//       changing its text restarts the counts.
//   LOCALHDFS_SHORT_READS=N
//       hdfsRead and hdfsPread return at most N bytes per call (N > 0).
#pragma once

#include <cstddef>

namespace localhdfs {

// bool InjectedFailure(const char* entryPoint) is declared in Errors.h (used by Run).

// Largest byte count one read may return; 0 = no limit.
size_t ShortReadLimit();

}  // namespace localhdfs
