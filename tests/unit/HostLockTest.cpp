// Locking primitives: FXMutex bookkeeping, auto_lock, DxCriticalSectionH and their scope guards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <new>
#include <thread>

#include "host/Lock.h"
#include "support/HadoopConnectionSupport.h"

// These tests drive the primitives' own contract, misuse included (nested holds, releases by a
// thread that holds nothing, holds left to the destructor): exactly what the thread-safety
// analysis refuses in the code that uses them.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace {

uint32_t Self() {
    return static_cast<uint32_t>(pthread_self());
}

bool TryLockFromOtherThread(FXMutex& mutex) {
    bool result = true;
    std::thread other([&] {
        result = mutex.TryLock();
        if (result)
            mutex.Unlock();
    });
    other.join();
    return result;
}

bool EnterFromOtherThread(DxCriticalSectionH& section) {
    bool entered = false;
    std::thread other([&] {
        entered = section.enter(false);
        if (entered)
            section.leave();
    });
    other.join();
    return entered;
}

// Counts calls instead of locking.
class CountingResource : public FXLockableResource {
  public:
    void Lock() override { ++locks; }
    void Unlock() override { ++unlocks; }
    int locks = 0;
    int unlocks = 0;
};

// A mutex whose TryLock() always refuses, to see which TryLock the interval form calls.
class RefusingMutex : public FXMutex {
  public:
    bool TryLock() override {
        ++calls;
        return false;
    }
    using FXMutex::TryLock;
    int calls = 0;
};

}  // namespace

// Count and owner follow nested holds; a second thread's TryLock fails without changing them;
// an Unlock at count zero keeps the count zero.
TEST(HostFXMutex, NestedLocksCountAndRelease) {
    FXMutex mutex;
    auto expectHeld = [&](int count, uint32_t owner) {
        EXPECT_EQ(mutex.GetLockCount(), count);
        EXPECT_EQ(mutex.GetOwnerThread(), owner);
    };
    expectHeld(0, 0u);
    ASSERT_TRUE(mutex.TryLock());
    expectHeld(1, Self());
    ASSERT_TRUE(mutex.TryLock());  // recursive for the holder
    mutex.Lock();
    expectHeld(3, Self());
    mutex.Unlock();
    mutex.Unlock();
    expectHeld(1, Self());
    EXPECT_FALSE(TryLockFromOtherThread(mutex));  // still held
    expectHeld(1, Self());
    mutex.Unlock();
    expectHeld(0, 0u);
    EXPECT_TRUE(TryLockFromOtherThread(mutex));  // free
    mutex.Unlock();
    expectHeld(0, 0u);
    EXPECT_TRUE(TryLockFromOtherThread(mutex));
}

// The interval form returns at once, and calls the (overridable) TryLock().
TEST(HostFXMutex, TryLockWithIntervalReturnsAtOnce) {
    FXMutex mutex;
    mutex.Lock();
    bool result = true;
    auto start = std::chrono::steady_clock::now();
    std::thread([&] { result = mutex.TryLock(CTimeInterval(60000)); }).join();
    EXPECT_FALSE(result);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(mutex.TryLock(CTimeInterval(60000)));  // holder: same as TryLock()
    EXPECT_EQ(mutex.GetLockCount(), 2);
    mutex.Unlock();
    mutex.Unlock();

    RefusingMutex refusing;
    EXPECT_FALSE(refusing.TryLock(CTimeInterval(5)));
    EXPECT_EQ(refusing.calls, 1);
    EXPECT_EQ(refusing.GetLockCount(), 0);
}

TEST(HostFXMutex, InitClearsOwnerAndKeepsCount) {
    FXMutex mutex;
    mutex.Lock();
    mutex.Init();
    EXPECT_EQ(mutex.GetOwnerThread(), 0u);
    EXPECT_EQ(mutex.GetLockCount(), 1);
    EXPECT_TRUE(TryLockFromOtherThread(mutex));  // a fresh mutex
}

// A stranger's Unlock must not open the holder's critical section to a third thread.
TEST(HostFXMutex, UnlockByAThreadThatDoesNotHoldItReleasesTheHoldersMutex) {
    testsupport::LogCapture log(-1);
    FXMutex mutex;
    mutex.Lock();
    const uint32_t holder = Self();
    uint32_t stranger = 0;
    std::thread([&] {
        stranger = Self();
        mutex.Unlock();
    }).join();
    EXPECT_EQ(mutex.GetLockCount(), 1);
    EXPECT_EQ(mutex.GetOwnerThread(), holder);
    EXPECT_FALSE(TryLockFromOtherThread(mutex));  // still held
    EXPECT_EQ(1, log.Count("Unlock by thread " + std::to_string(stranger) +
                           ", which does not hold it (owner " + std::to_string(holder) +
                           ", count 1): left as it is"));
    mutex.Unlock();
    EXPECT_TRUE(TryLockFromOtherThread(mutex));
}

TEST(HostFXMutex, UnlockOfAnUnlockedMutexIsReportedAndChangesNothing) {
    testsupport::LogCapture log(-1);
    FXMutex mutex;
    mutex.Unlock();
    EXPECT_EQ(mutex.GetLockCount(), 0);
    EXPECT_EQ(mutex.GetOwnerThread(), 0u);
    EXPECT_EQ(1, log.Count("Unlock by thread " + std::to_string(Self()) +
                           ", which does not hold it (owner 0, count 0): left as it is"));
    // Still a working mutex: a later hold excludes other threads.
    mutex.Lock();
    EXPECT_FALSE(TryLockFromOtherThread(mutex));
    mutex.Unlock();
}

// The fields in their fixed order, to look at a mutex after its destructor has run (its member
// functions may no longer be called then).
struct FXMutexLayout {
    void* vtable;
    uint32_t ownerThread;
    pthread_mutex_t mutex;
    int32_t lockCount;
};
static_assert(sizeof(FXMutexLayout) == sizeof(FXMutex), "FXMutex fields changed");

TEST(HostFXMutex, DestructorReleasesEveryHold) {
    alignas(FXMutex) unsigned char storage[sizeof(FXMutex)];
    FXMutex* mutex = new (storage) FXMutex;
    mutex->Lock();
    mutex->Lock();
    mutex->~FXMutex();
    FXMutexLayout after;
    memcpy(&after, storage, sizeof after);
    EXPECT_EQ(after.lockCount, 0);
    EXPECT_EQ(after.ownerThread, 0u);
    // Held twice by this thread: only two unlocks let another thread take it.
    pthread_mutex_t* raw =
        reinterpret_cast<pthread_mutex_t*>(storage + offsetof(FXMutexLayout, mutex));
    int result = -1;
    std::thread([&] {
        result = pthread_mutex_trylock(raw);
        if (result == 0)
            pthread_mutex_unlock(raw);
    }).join();
    EXPECT_EQ(result, 0);
}

TEST(HostAutoLock, LocksAndUnlocksOnceUnlessTheFlagIsFalseAndNullIsHarmless) {
    CountingResource resource;
    {
        auto_lock guard(&resource);
        EXPECT_EQ(resource.locks, 1);
        EXPECT_EQ(resource.unlocks, 0);
    }
    EXPECT_EQ(resource.unlocks, 1);
    { auto_lock guard(&resource, false); }
    EXPECT_EQ(resource.locks, 1);
    EXPECT_EQ(resource.unlocks, 1);
    auto_lock none(nullptr);
    auto_lock noneUnlocked(nullptr, false);

    FXMutex mutex;
    {
        auto_lock guard(&mutex);
        EXPECT_EQ(mutex.GetLockCount(), 1);
        EXPECT_FALSE(TryLockFromOtherThread(mutex));
    }
    EXPECT_EQ(mutex.GetLockCount(), 0);
    EXPECT_TRUE(TryLockFromOtherThread(mutex));
}

TEST(HostCriticalSection, EnterWithoutWaitFailsWhileHeldElsewhere) {
    DxCriticalSectionH section;
    ASSERT_TRUE(section.enter());
    EXPECT_TRUE(section.enter(false));  // recursive for the holder
    section.leave();
    bool other = true;
    std::thread([&] { other = section.enter(false); }).join();
    EXPECT_FALSE(other);
    section.leave();
    std::thread([&] {
        other = section.enter(false);
        if (other)
            section.leave();
    }).join();
    EXPECT_TRUE(other);
}

TEST(HostScopeGuards, HoldTheirLockForTheScopeOnly) {
    FXMutex mutex;
    {
        FXMutexLock guard(mutex);
        EXPECT_EQ(mutex.GetLockCount(), 1);
        EXPECT_EQ(mutex.GetOwnerThread(), Self());
        EXPECT_FALSE(TryLockFromOtherThread(mutex));
    }
    EXPECT_EQ(mutex.GetLockCount(), 0);
    EXPECT_TRUE(TryLockFromOtherThread(mutex));

    DxCriticalSectionH section;
    {
        DxCriticalSectionLock guard(section);
        EXPECT_FALSE(EnterFromOtherThread(section));
    }
    EXPECT_TRUE(EnterFromOtherThread(section));
}
