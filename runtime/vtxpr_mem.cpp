// Heap memory on the C library's heap.
//
// A request for zero bytes still gets a block of its own (one byte), so a
// null result always means the heap is exhausted and a caller never has to
// tell "nothing allocated" from "failed". Realloc to zero bytes likewise keeps
// a valid block rather than freeing behind the caller's back.
#include "runtime/vtxpr_mem.h"

#include <cstdlib>
#include <limits>

void* VTXPR_Malloc(std::size_t size) {
    return std::malloc(size == 0 ? 1 : size);
}

void* VTXPR_Calloc(std::size_t count, std::size_t size) {
    if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) {
        return nullptr;
    }
    if (count == 0 || size == 0) {
        return std::calloc(1, 1);
    }
    return std::calloc(count, size);
}

void* VTXPR_Realloc(void* pointer, std::size_t size) {
    return std::realloc(pointer, size == 0 ? 1 : size);
}

void VTXPR_Free(void* pointer) {
    std::free(pointer);
}
