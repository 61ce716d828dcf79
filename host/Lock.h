// Locking primitives: FXLockableResource, FXMutex (recursive), auto_lock, DxCriticalSectionH, and
// the scope guards FXMutexLock and DxCriticalSectionLock.
//
// The lock types are thread-safety capabilities (host/ThreadAnnotations.h): data marked
// GUARDED_BY one of them is checked by clang's -Wthread-safety. The analysis does not follow
// recursion: code that checks clean takes each lock once and passes it on to helpers marked
// REQUIRES. auto_lock locks conditionally and is not checked; FXMutexLock is its checked form.
//
// FXMutex is a recursive pthread mutex that counts its holds and remembers its owner thread.
// The exact bookkeeping (what Unlock does at count 0, what the destructor releases) is part of the
// contract and pinned by tests: callers and subclasses rely on it. Count and owner are atomics of
// the plain fields' size, so any thread may read them (an Unlock by a stranger does) without a
// data race, and the layout stays that of the host's class.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "host/Export.h"
#include "host/ThreadAnnotations.h"

// The host's time-interval value type; FXMutex::TryLock(CTimeInterval) does not read it.
struct HDFSAGENT_API CTimeInterval {
    int64_t milliseconds = 0;
    CTimeInterval() = default;
    explicit CTimeInterval(int64_t ms) : milliseconds(ms) {}
};

class CAPABILITY("mutex") HDFSAGENT_API FXLockableResource {
  public:
    virtual ~FXLockableResource() = default;
    virtual void Lock() ACQUIRE() = 0;
    virtual void Unlock() RELEASE() = 0;
};

class CAPABILITY("mutex") HDFSAGENT_API FXMutex : public FXLockableResource {
  public:
    FXMutex();
    // Releases the mutex as many times as the calling thread holds it and sets count and owner to
    // 0; never destroys the pthread mutex.
    ~FXMutex() override;
    FXMutex(const FXMutex&) = delete;
    FXMutex& operator=(const FXMutex&) = delete;

    // One pthread_mutex_trylock; true and count+1 on success, false and nothing changed otherwise.
    virtual bool TryLock() TRY_ACQUIRE(true);
    // Does not wait: returns the virtual TryLock()'s result; the interval is not read.
    virtual bool TryLock(CTimeInterval interval) TRY_ACQUIRE(true);
    // Blocks; on success count+1 and the caller becomes owner; on failure nothing changes.
    void Lock() override ACQUIRE();
    // By the holding thread: count-1 (owner cleared when it reaches 0), then one
    // pthread_mutex_unlock. By any other thread, or at count 0: a misuse, reported as a level -1
    // log line; count, owner and the pthread mutex are left as they are.
    void Unlock() override RELEASE();
    // Owner to 0 and the mutex initialised again (recursive, unlocked: the calling thread's holds
    // are released first); the count is kept.
    virtual void Init();

    uint32_t GetOwnerThread() const { return m_nOwnerThread.load(std::memory_order_relaxed); }
    int32_t GetLockCount() const { return m_nLockCount.load(std::memory_order_relaxed); }

  private:
    bool HeldByCallingThread() const;

    std::atomic<uint32_t> m_nOwnerThread{0};
    pthread_mutex_t m_hMutex;
    std::atomic<int32_t> m_nLockCount{0};
};
static_assert(std::atomic<uint32_t>::is_always_lock_free &&
                  std::atomic<int32_t>::is_always_lock_free,
              "FXMutex's bookkeeping must not take a lock of its own");

// Scope guard: locks `resource` when `lock` is true and resource is not null; unlocks on exit.
class HDFSAGENT_API auto_lock {
  public:
    auto_lock(FXLockableResource* resource, bool lock = true);
    ~auto_lock();
    auto_lock(const auto_lock&) = delete;
    auto_lock& operator=(const auto_lock&) = delete;

  private:
    FXLockableResource* m_pResource;
    bool m_bLocked;
};

// Holds an FXMutex for a scope: the form of auto_lock that the thread-safety analysis checks.
class SCOPED_CAPABILITY FXMutexLock {
  public:
    explicit FXMutexLock(FXMutex& mutex) ACQUIRE(mutex) : m_oMutex(mutex) { m_oMutex.Lock(); }
    ~FXMutexLock() RELEASE() { m_oMutex.Unlock(); }
    FXMutexLock(const FXMutexLock&) = delete;
    FXMutexLock& operator=(const FXMutexLock&) = delete;

  private:
    FXMutex& m_oMutex;
};

// A blocking critical section (a plain recursive mutex).
class CAPABILITY("mutex") HDFSAGENT_API DxCriticalSectionH {
  public:
    DxCriticalSectionH();
    ~DxCriticalSectionH();
    DxCriticalSectionH(const DxCriticalSectionH&) = delete;
    DxCriticalSectionH& operator=(const DxCriticalSectionH&) = delete;

    // Blocks when `wait` is true; with false returns false at once when another thread holds it.
    bool enter(bool wait = true) TRY_ACQUIRE(true);
    void leave() RELEASE();

  private:
    pthread_mutex_t m_hMutex;
};

// Holds a DxCriticalSectionH for a scope (waiting for it); leaves it only when it was entered.
class SCOPED_CAPABILITY DxCriticalSectionLock {
  public:
    explicit DxCriticalSectionLock(DxCriticalSectionH& section) ACQUIRE(section)
        : m_oSection(section), m_bEntered(EnterWaiting(section)) {}
    ~DxCriticalSectionLock() RELEASE() { LeaveIfEntered(); }
    DxCriticalSectionLock(const DxCriticalSectionLock&) = delete;
    DxCriticalSectionLock& operator=(const DxCriticalSectionLock&) = delete;

  private:
    // A recursive mutex fails to lock only when its hold count would overflow; the analysis sees
    // the section as held either way, the release below knows better.
    static bool EnterWaiting(DxCriticalSectionH& section) NO_THREAD_SAFETY_ANALYSIS {
        return section.enter(true);
    }
    void LeaveIfEntered() NO_THREAD_SAFETY_ANALYSIS {
        if (m_bEntered)
            m_oSection.leave();
    }

    DxCriticalSectionH& m_oSection;
    const bool m_bEntered;
};
