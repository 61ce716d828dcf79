#include "host/Lock.h"

#include "host/Log.h"

namespace {

uint32_t CurrentThreadTag() {
    // The low 32 bits of the thread handle identify the owner, as the host's callers expect.
    return static_cast<uint32_t>(pthread_self());
}

void InitRecursive(pthread_mutex_t* mutex) {
    // The attribute object is deliberately not destroyed: on Linux it holds no resources.
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attributes);
}

}  // namespace

FXMutex::FXMutex() {
    m_nOwnerThread = 0;
    m_nLockCount = 0;
    InitRecursive(&m_hMutex);
}

FXMutex::~FXMutex() {
    // Release every hold still counted; the pthread mutex itself is left as it is. Only the
    // holder's holds can be released (after Init the count may name holds nobody has).
    const bool held = HeldByCallingThread();
    while (m_nLockCount > 0) {
        --m_nLockCount;
        if (m_nLockCount == 0)
            m_nOwnerThread = 0;
        if (held)
            pthread_mutex_unlock(&m_hMutex);
    }
}

bool FXMutex::TryLock() {
    if (pthread_mutex_trylock(&m_hMutex) != 0)
        return false;
    ++m_nLockCount;
    m_nOwnerThread = CurrentThreadTag();
    return true;
}

bool FXMutex::TryLock(CTimeInterval /*interval*/) {
    // Never waits: the interval is ignored and a subclass's TryLock() is honoured.
    return TryLock();
}

void FXMutex::Lock() {
    if (pthread_mutex_lock(&m_hMutex) != 0)
        return;
    ++m_nLockCount;
    m_nOwnerThread = CurrentThreadTag();
}

bool FXMutex::HeldByCallingThread() const {
    // Only the holder writes count and owner, so a holder sees its own values; another thread
    // sees some other owner or a count of 0.
    return GetLockCount() > 0 && GetOwnerThread() == CurrentThreadTag();
}

void FXMutex::Unlock() {
    // Unlocking for a thread that does not hold the mutex would hand the holder's critical
    // section to a third thread: refuse, and say so.
    if (!HeldByCallingThread()) {
        DXLOG(-1,
              "FXMutex %p: Unlock by thread %u, which does not hold it (owner %u, count %d): "
              "left as it is",
              static_cast<void*>(this), CurrentThreadTag(), GetOwnerThread(), GetLockCount());
        return;
    }
    if (m_nLockCount.fetch_sub(1, std::memory_order_relaxed) == 1)
        m_nOwnerThread.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&m_hMutex);
}

void FXMutex::Init() {
    // Initialising a mutex that is still locked, or not destroyed, is undefined: the caller's own
    // holds are released and the mutex destroyed first, so that it is fresh and unlocked as
    // promised. (A mutex another thread holds cannot be released for it.)
    if (HeldByCallingThread())
        for (int32_t hold = GetLockCount(); hold > 0; --hold)
            pthread_mutex_unlock(&m_hMutex);
    pthread_mutex_destroy(&m_hMutex);
    m_nOwnerThread = 0;
    InitRecursive(&m_hMutex);
}

auto_lock::auto_lock(FXLockableResource* resource, bool lock)
    : m_pResource(resource), m_bLocked(false) {
    if (lock && m_pResource) {
        m_pResource->Lock();
        m_bLocked = true;
    }
}

auto_lock::~auto_lock() {
    if (m_pResource && m_bLocked)
        m_pResource->Unlock();
}

DxCriticalSectionH::DxCriticalSectionH() {
    InitRecursive(&m_hMutex);
}

DxCriticalSectionH::~DxCriticalSectionH() {
    pthread_mutex_destroy(&m_hMutex);
}

bool DxCriticalSectionH::enter(bool wait) {
    if (wait)
        return pthread_mutex_lock(&m_hMutex) == 0;
    return pthread_mutex_trylock(&m_hMutex) == 0;
}

void DxCriticalSectionH::leave() {
    pthread_mutex_unlock(&m_hMutex);
}
