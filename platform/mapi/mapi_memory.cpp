// MAPI memory: buffer chains and the live counts.
//
// Every block carries a header of 16 bytes right before its payload: a link
// word, a magic number telling what the block is, and the size asked for. A
// chain head (MAPIAllocateBuffer) uses the link word for the most recently
// linked block of its chain; that is all a head costs, so a row set's rows,
// each a head holding its values and their strings, stay small. A block from
// MAPIAllocateMore uses the link word for its head, and keeps the next block
// of the chain in another 16 bytes in front of the header. MAPIAllocateMore
// pushes the new block at the front of the head's list with one
// compare-and-swap, so linking costs the same however long the chain already
// is, and several threads may link to one chain at once. Linking to any block
// of a chain links to the chain's head. MAPIFreeBuffer of the head frees
// every block of the chain and the head.
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

struct alignas(16) Header {
    std::atomic<Header*> link; // a head: the last block linked; a linked block: its head
    std::uint32_t magic;
    std::uint32_t size;
};
static_assert(sizeof(Header) == 16);

// What a linked block has in front of its header.
struct alignas(16) Prefix {
    Header* next; // the block linked before this one, or null
};
static_assert(sizeof(Prefix) == 16);
static_assert(alignof(std::max_align_t) <= 16);

std::atomic<ULONG> g_live_buffers{0};
std::atomic<ULONG> g_live_objects{0};
std::atomic<ULONG> g_live_blocks{0};

// A new block of `size` payload bytes, with room for a prefix when `linked`.
Header* NewBlock(ULONG size, bool linked) {
    const std::size_t front = linked ? sizeof(Prefix) + sizeof(Header) : sizeof(Header);
    void* raw = std::malloc(front + static_cast<std::size_t>(size));
    if (raw == nullptr)
        return nullptr;
    if (linked)
        new (raw) Prefix{nullptr};
    Header* header = new (static_cast<char*>(raw) + front - sizeof(Header)) Header;
    header->link.store(nullptr, std::memory_order_relaxed);
    header->size = size;
    g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    return header;
}

Prefix* PrefixOf(Header* linked) {
    return reinterpret_cast<Prefix*>(linked) - 1;
}

void* Payload(Header* header) {
    return header + 1;
}
Header* HeaderOf(void* payload) {
    return static_cast<Header*>(payload) - 1;
}

void DestroyBlock(Header* header) {
    const bool linked = header->magic == kMoreMagic;
    header->magic = kFreedMagic;
    g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
    header->~Header();
    if (linked)
        std::free(PrefixOf(header));
    else
        std::free(header);
}

} // namespace

SCODE MAPIAllocateBuffer(ULONG size, LPVOID* buffer) {
    if (buffer == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *buffer = nullptr;
    Header* head = NewBlock(size, false);
    if (head == nullptr)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    head->magic = kHeadMagic;
    g_live_buffers.fetch_add(1, std::memory_order_relaxed);
    *buffer = Payload(head);
    return S_OK;
}

SCODE MAPIAllocateMore(ULONG size, LPVOID object, LPVOID* buffer) {
    if (buffer == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *buffer = nullptr;
    if (object == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    Header* parent = HeaderOf(object);
    Header* head = nullptr;
    if (parent->magic == kHeadMagic)
        head = parent;
    else if (parent->magic == kMoreMagic)
        head = parent->link.load(std::memory_order_relaxed);
    else
        return MAPI_E_INVALID_PARAMETER;
    Header* block = NewBlock(size, true);
    if (block == nullptr)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    block->magic = kMoreMagic;
    block->link.store(head, std::memory_order_relaxed);
    Prefix* prefix = PrefixOf(block);
    Header* first = head->link.load(std::memory_order_relaxed);
    do {
        prefix->next = first;
    } while (!head->link.compare_exchange_weak(first, block, std::memory_order_release,
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
    Header* head = HeaderOf(buffer);
    if (head->magic != kHeadMagic)
        return static_cast<ULONG>(MAPI_E_INVALID_PARAMETER);
    Header* block = head->link.exchange(nullptr, std::memory_order_acquire);
    while (block != nullptr) {
        Header* next = PrefixOf(block)->next;
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
