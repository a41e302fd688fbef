// Recursive locks.
//
// A VTXPR_LOCK is plain storage: it may sit zero-filled inside a record
// (static or heap) until VTXPR_InitLock constructs the lock in place, and it
// stays unusable after VTXPR_DestroyLock. A lock taken twice by one thread
// must be released twice.
#pragma once
#include <mutex>

struct VTXPR_LOCK {
    alignas(std::recursive_mutex) unsigned char storage[sizeof(std::recursive_mutex)];
};

// Constructs the lock in place. Returns 0.
int VTXPR_InitLock(VTXPR_LOCK* lock);
// Allocates a lock with VTXPR_Malloc and initialises it; null when the
// allocation fails. The owner destroys it with VTXPR_DestroyLock and then
// frees the memory with VTXPR_Free.
VTXPR_LOCK* VTXPR_CreateLock();
// Destroys the lock (not its memory). Returns 0.
int VTXPR_DestroyLock(VTXPR_LOCK* lock);
// Enters the lock, waiting as long as needed. Returns 0.
int VTXPR_Lock(VTXPR_LOCK* lock);
// Leaves the lock. Returns 0.
int VTXPR_Unlock(VTXPR_LOCK* lock);
