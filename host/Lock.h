// Locking primitives: FXLockableResource, FXMutex (recursive), auto_lock, DxCriticalSectionH.
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

// The host's time-interval value type; FXMutex::TryLock(CTimeInterval) does not read it.
struct HDFSAGENT_API CTimeInterval {
    int64_t milliseconds = 0;
    CTimeInterval() = default;
    explicit CTimeInterval(int64_t ms) : milliseconds(ms) {}
};

class HDFSAGENT_API FXLockableResource {
  public:
    virtual ~FXLockableResource() = default;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
};

class HDFSAGENT_API FXMutex : public FXLockableResource {
  public:
    FXMutex();
    // Releases the mutex as many times as the calling thread holds it and sets count and owner to
    // 0; never destroys the pthread mutex.
    ~FXMutex() override;
    FXMutex(const FXMutex&) = delete;
    FXMutex& operator=(const FXMutex&) = delete;

    // One pthread_mutex_trylock; true and count+1 on success, false and nothing changed otherwise.
    virtual bool TryLock();
    // Does not wait: returns the virtual TryLock()'s result; the interval is not read.
    virtual bool TryLock(CTimeInterval interval);
    // Blocks; on success count+1 and the caller becomes owner; on failure nothing changes.
    void Lock() override;
    // By the holding thread: count-1 (owner cleared when it reaches 0), then one
    // pthread_mutex_unlock. By any other thread, or at count 0: a misuse, reported as a level -1
    // log line; count, owner and the pthread mutex are left as they are.
    void Unlock() override;
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

// A blocking critical section (a plain recursive mutex).
class HDFSAGENT_API DxCriticalSectionH {
  public:
    DxCriticalSectionH();
    ~DxCriticalSectionH();
    DxCriticalSectionH(const DxCriticalSectionH&) = delete;
    DxCriticalSectionH& operator=(const DxCriticalSectionH&) = delete;

    // Blocks when `wait` is true; with false returns false at once when another thread holds it.
    bool enter(bool wait = true);
    void leave();

  private:
    pthread_mutex_t m_hMutex;
};
