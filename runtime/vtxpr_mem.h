// Heap memory. A failed allocation gives null; nothing throws.
#pragma once
#include <cstddef>

void* VTXPR_Malloc(std::size_t size);
// count times size bytes, zero-filled; null also when the product overflows.
void* VTXPR_Calloc(std::size_t count, std::size_t size);
// A null pointer allocates.
void* VTXPR_Realloc(void* pointer, std::size_t size);
// A null pointer is ignored.
void VTXPR_Free(void* pointer);
