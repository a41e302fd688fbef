// MAPI memory: buffer chains and the live counts.
//
// Every block starts with a small header. A chain head (MAPIAllocateBuffer)
// keeps a singly linked list of the blocks linked to it; MAPIAllocateMore
// pushes the new block at the front of that list with one compare-and-swap,
// so linking costs the same however long the chain already is, and several
// threads may link to one chain at once. A block from MAPIAllocateMore knows
// its head, so linking to any block of a chain links to the chain's head.
// MAPIFreeBuffer of the head frees every block of the chain and the head.
//
// Blocks are not zero-filled; callers that need zeros write them.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "platform/mapi/mapi_internal.h"

namespace {

constexpr std::uint32_t kHeadMagic = 0x4D415048u;  // a chain head
constexpr std::uint32_t kMoreMagic = 0x4D41504Du;  // a block linked to a head
constexpr std::uint32_t kFreedMagic = 0x46524545u; // stamped on free

struct alignas(std::max_align_t) Block {
    std::uint32_t magic;
    std::uint32_t size;
    Block* head;               // the chain's head (itself for a head)
    Block* next;               // the next block linked to the same head
    std::atomic<Block*> chain; // heads only: the most recently linked block
};
static_assert(sizeof(Block) % alignof(std::max_align_t) == 0);

std::atomic<ULONG> g_live_buffers{0};
std::atomic<ULONG> g_live_objects{0};
std::atomic<ULONG> g_live_blocks{0};

Block* NewBlock(ULONG size) {
    void* raw = std::malloc(sizeof(Block) + static_cast<std::size_t>(size));
    if (raw == nullptr)
        return nullptr;
    Block* block = new (raw) Block;
    g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    block->size = size;
    block->next = nullptr;
    block->chain.store(nullptr, std::memory_order_relaxed);
    return block;
}

void* Payload(Block* block) {
    return block + 1;
}
Block* HeaderOf(void* payload) {
    return static_cast<Block*>(payload) - 1;
}

void DestroyBlock(Block* block) {
    block->magic = kFreedMagic;
    g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
    block->~Block();
    std::free(block);
}

} // namespace

SCODE MAPIAllocateBuffer(ULONG size, LPVOID* buffer) {
    if (buffer == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *buffer = nullptr;
    Block* block = NewBlock(size);
    if (block == nullptr)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    block->magic = kHeadMagic;
    block->head = block;
    g_live_buffers.fetch_add(1, std::memory_order_relaxed);
    *buffer = Payload(block);
    return S_OK;
}

SCODE MAPIAllocateMore(ULONG size, LPVOID object, LPVOID* buffer) {
    if (buffer == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *buffer = nullptr;
    if (object == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    Block* parent = HeaderOf(object);
    if (parent->magic != kHeadMagic && parent->magic != kMoreMagic)
        return MAPI_E_INVALID_PARAMETER;
    Block* head = parent->head;
    Block* block = NewBlock(size);
    if (block == nullptr)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    block->magic = kMoreMagic;
    block->head = head;
    Block* first = head->chain.load(std::memory_order_relaxed);
    do {
        block->next = first;
    } while (!head->chain.compare_exchange_weak(first, block, std::memory_order_release,
                                                std::memory_order_relaxed));
    *buffer = Payload(block);
    return S_OK;
}

// Frees a whole chain given its head. A block linked with MAPIAllocateMore is
// freed only with its chain: handing it here changes nothing and gives
// MAPI_E_INVALID_PARAMETER, as does a pointer this runtime did not allocate.
ULONG MAPIFreeBuffer(LPVOID buffer) {
    if (buffer == nullptr)
        return S_OK;
    Block* head = HeaderOf(buffer);
    if (head->magic != kHeadMagic)
        return static_cast<ULONG>(MAPI_E_INVALID_PARAMETER);
    Block* block = head->chain.exchange(nullptr, std::memory_order_acquire);
    while (block != nullptr) {
        Block* next = block->next;
        DestroyBlock(block);
        block = next;
    }
    DestroyBlock(head);
    g_live_buffers.fetch_sub(1, std::memory_order_relaxed);
    return S_OK;
}

ULONG MAPIDebugLiveBuffers() {
    return g_live_buffers.load(std::memory_order_relaxed);
}
ULONG MAPIDebugLiveObjects() {
    return g_live_objects.load(std::memory_order_relaxed);
}

ULONG mapi_detail::DebugLiveBlocks() {
    return g_live_blocks.load(std::memory_order_relaxed);
}

MAPIObject::MAPIObject() {
    g_live_objects.fetch_add(1, std::memory_order_relaxed);
}
MAPIObject::~MAPIObject() {
    g_live_objects.fetch_sub(1, std::memory_order_relaxed);
}
