// Recursive locks built in place over std::recursive_mutex.
#include "runtime/vtxpr_sync.h"

#include "runtime/vtxpr_mem.h"

#include <new>
#include <system_error>

namespace {

std::recursive_mutex* MutexOf(VTXPR_LOCK* lock) {
    return std::launder(reinterpret_cast<std::recursive_mutex*>(lock->storage));
}

} // namespace

int VTXPR_InitLock(VTXPR_LOCK* lock) {
    if (lock == nullptr) {
        return -1;
    }
    ::new (static_cast<void*>(lock->storage)) std::recursive_mutex();
    return 0;
}

VTXPR_LOCK* VTXPR_CreateLock() {
    void* memory = VTXPR_Malloc(sizeof(VTXPR_LOCK));
    if (memory == nullptr) {
        return nullptr;
    }
    VTXPR_LOCK* lock = static_cast<VTXPR_LOCK*>(memory);
    VTXPR_InitLock(lock);
    return lock;
}

int VTXPR_DestroyLock(VTXPR_LOCK* lock) {
    if (lock == nullptr) {
        return -1;
    }
    MutexOf(lock)->~recursive_mutex();
    return 0;
}

int VTXPR_Lock(VTXPR_LOCK* lock) {
    if (lock == nullptr) {
        return -1;
    }
    // The platform refuses only when one thread has nested the same lock
    // beyond its counter; that surfaces as -1 instead of an exception.
    try {
        MutexOf(lock)->lock();
    } catch (const std::system_error&) {
        return -1;
    }
    return 0;
}

int VTXPR_Unlock(VTXPR_LOCK* lock) {
    if (lock == nullptr) {
        return -1;
    }
    MutexOf(lock)->unlock();
    return 0;
}
