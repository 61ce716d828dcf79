// Clang thread-safety annotations: they let the compiler check which lock guards which data.
//
// Under clang with -Wthread-safety every access to a member marked GUARDED_BY(lock) outside a
// scope that holds `lock`, every call to a function marked REQUIRES(lock) without it, and every
// lock taken twice or not released on some path is reported at compile time. With any other
// compiler the macros expand to nothing. A definition the including code already made (another
// project's copy of these macros) is kept.
//
// See https://clang.llvm.org/docs/ThreadSafetyAnalysis.html for the meaning of each attribute.
#pragma once

#if defined(__clang__)
#define HDFSAGENT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HDFSAGENT_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks.
#ifndef CAPABILITY
#define CAPABILITY(name) HDFSAGENT_THREAD_ANNOTATION(capability(name))
#endif

// A type whose objects hold a lock for their lifetime (scope guards).
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY HDFSAGENT_THREAD_ANNOTATION(scoped_lockable)
#endif

// A data member read or written only while the given lock is held.
#ifndef GUARDED_BY
#define GUARDED_BY(x) HDFSAGENT_THREAD_ANNOTATION(guarded_by(x))
#endif

// A pointer member whose pointee is read or written only while the given lock is held.
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) HDFSAGENT_THREAD_ANNOTATION(pt_guarded_by(x))
#endif

// Lock order: this lock is taken only after (before) the given ones.
#ifndef ACQUIRED_AFTER
#define ACQUIRED_AFTER(...) HDFSAGENT_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#endif
#ifndef ACQUIRED_BEFORE
#define ACQUIRED_BEFORE(...) HDFSAGENT_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#endif

// The caller holds (does not hold) the given locks.
#ifndef REQUIRES
#define REQUIRES(...) HDFSAGENT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) HDFSAGENT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif

// The function takes (releases) the given locks, or the object itself when none is named.
#ifndef ACQUIRE
#define ACQUIRE(...) HDFSAGENT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) HDFSAGENT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
// The function takes the lock when it returns the given value.
#ifndef TRY_ACQUIRE
#define TRY_ACQUIRE(...) HDFSAGENT_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#endif

// The function returns a reference to the given lock.
#ifndef RETURN_CAPABILITY
#define RETURN_CAPABILITY(x) HDFSAGENT_THREAD_ANNOTATION(lock_returned(x))
#endif

// The function's body is not checked: the lock primitives themselves, and the few places whose
// correctness rests on something the analysis cannot see (say why at the place).
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS HDFSAGENT_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif
