// Preloaded into `ovo` (LD_PRELOAD): every non-throwing allocation of the
// size of a mailbox worker fails, as when memory runs out just as the
// workers are made. Everything else is allocated as usual.
#include "agent/thread_pool.h"

#include <cstdlib>
#include <new>

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (size == sizeof(mailbox_worker))
        return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}
