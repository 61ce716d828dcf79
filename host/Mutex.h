// Mutex, MutexLock, CondVar: std::mutex and std::condition_variable in a form that clang's
// thread-safety analysis checks (host/ThreadAnnotations.h); libstdc++'s own types carry no
// annotations.
//
// Mutex is not recursive. MutexLock holds a Mutex for a scope. CondVar's waits take the Mutex
// the waiting thread holds, before and after the wait (write waits as
// `while (!condition) cv.Wait(mutex);`, so the analysis sees every read of the condition under
// the lock). Header-only, in namespace hdfsagent; thread-safe as the standard types are.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "host/ThreadAnnotations.h"

namespace hdfsagent {

class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() ACQUIRE() { m_oMutex.lock(); }
    void Unlock() RELEASE() { m_oMutex.unlock(); }

  private:
    friend class CondVar;
    std::mutex m_oMutex;
};

class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_oMutex(mutex) { m_oMutex.Lock(); }
    ~MutexLock() RELEASE() { m_oMutex.Unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& m_oMutex;
};

class CondVar {
  public:
    CondVar() = default;
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    // Releases `mutex` while waiting for a signal (or a spurious wake-up), holds it again on
    // return. Every waiter of one CondVar passes the same mutex.
    void Wait(Mutex& mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.m_oMutex, std::adopt_lock);
        m_oCondition.wait(lock);
        lock.release();
    }
    // The same, returning false when `timeout` passed without a signal.
    template <typename Rep, typename Period>
    bool WaitFor(Mutex& mutex, const std::chrono::duration<Rep, Period>& timeout) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.m_oMutex, std::adopt_lock);
        const bool signalled = m_oCondition.wait_for(lock, timeout) == std::cv_status::no_timeout;
        lock.release();
        return signalled;
    }
    void Signal() { m_oCondition.notify_one(); }
    void SignalAll() { m_oCondition.notify_all(); }

  private:
    std::condition_variable m_oCondition;
};

}  // namespace hdfsagent
