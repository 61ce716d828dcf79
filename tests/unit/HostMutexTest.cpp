// Mutex, MutexLock and CondVar: exclusion between threads, and waits that hold the mutex again
// when they return. The code here is itself checked by the thread-safety analysis.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "host/Mutex.h"

namespace {

using hdfsagent::CondVar;
using hdfsagent::Mutex;
using hdfsagent::MutexLock;

class Counter {
  public:
    void Add() EXCLUDES(m_oLock) {
        MutexLock lock(m_oLock);
        // A read and a write apart: without the lock, increments of other threads get lost.
        const int seen = m_nValue;
        std::this_thread::yield();
        m_nValue = seen + 1;
    }
    int Value() EXCLUDES(m_oLock) {
        MutexLock lock(m_oLock);
        return m_nValue;
    }

  private:
    Mutex m_oLock;
    int m_nValue GUARDED_BY(m_oLock) = 0;
};

// One value handed from a producer thread to a waiting consumer.
class Handover {
  public:
    void Put(int value) EXCLUDES(m_oLock) {
        MutexLock lock(m_oLock);
        m_nValue = value;
        m_bReady = true;
        m_oReady.Signal();
    }
    int Take() EXCLUDES(m_oLock) {
        MutexLock lock(m_oLock);
        while (!m_bReady)
            m_oReady.Wait(m_oLock);
        return m_nValue;
    }
    // False when nothing arrives within `timeout`; the lock is held again either way.
    bool TryTake(std::chrono::milliseconds timeout, int& value) EXCLUDES(m_oLock) {
        MutexLock lock(m_oLock);
        if (!m_bReady && !m_oReady.WaitFor(m_oLock, timeout))
            return false;
        value = m_nValue;
        return m_bReady;
    }

  private:
    Mutex m_oLock;
    CondVar m_oReady;
    bool m_bReady GUARDED_BY(m_oLock) = false;
    int m_nValue GUARDED_BY(m_oLock) = 0;
};

}  // namespace

TEST(HostMutex, MutexLockExcludesOtherThreads) {
    Counter counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&counter] {
            for (int i = 0; i < 2000; ++i)
                counter.Add();
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter.Value(), 8000);
}

TEST(HostMutex, WaitReturnsWithTheValueTheSignallerPublished) {
    Handover handover;
    std::thread producer([&handover] { handover.Put(42); });
    EXPECT_EQ(handover.Take(), 42);
    producer.join();
}

TEST(HostMutex, WaitForWithoutSignalTimesOutAndKeepsTheMutexUsable) {
    Handover handover;
    int value = 0;
    EXPECT_FALSE(handover.TryTake(std::chrono::milliseconds(1), value));
    handover.Put(7);
    EXPECT_TRUE(handover.TryTake(std::chrono::milliseconds(1), value));
    EXPECT_EQ(value, 7);
}
