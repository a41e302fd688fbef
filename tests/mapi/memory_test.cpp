// Buffer chains, their counts, and deep property copies onto chains.
#include <cstring>
#include <thread>

#include "tests/mapi/mapi_test_support.h"

namespace {

using namespace mapi_test;

class MapiMemory : public LeakCheckedTest {};

TEST_F(MapiMemory, OneFreeReleasesTheWholeChainWhereverBlocksWereLinked) {
    const ULONG heads = MAPIDebugLiveBuffers();
    const ULONG blocks = mapi_detail::DebugLiveBlocks();
    void* head = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(64, &head), S_OK);
    ASSERT_NE(head, nullptr);
    void* child = nullptr;
    ASSERT_EQ(MAPIAllocateMore(32, head, &child), S_OK);
    // Linking to a linked block links to the chain's head.
    void* grandchild = nullptr;
    ASSERT_EQ(MAPIAllocateMore(16, child, &grandchild), S_OK);
    void* empty = nullptr;
    ASSERT_EQ(MAPIAllocateMore(0, grandchild, &empty), S_OK);
    EXPECT_NE(empty, nullptr);
    std::memset(head, 1, 64);
    std::memset(child, 2, 32);
    std::memset(grandchild, 3, 16);
    EXPECT_EQ(MAPIDebugLiveBuffers(), heads + 1);
    EXPECT_EQ(mapi_detail::DebugLiveBlocks(), blocks + 4);

    // Freeing a linked block on its own is refused and frees nothing.
    EXPECT_EQ(MAPIFreeBuffer(child), static_cast<ULONG>(MAPI_E_INVALID_PARAMETER));
    EXPECT_EQ(mapi_detail::DebugLiveBlocks(), blocks + 4);
    EXPECT_EQ(static_cast<unsigned char*>(child)[31], 2);

    EXPECT_EQ(MAPIFreeBuffer(head), 0u);
    EXPECT_EQ(MAPIDebugLiveBuffers(), heads);
    EXPECT_EQ(mapi_detail::DebugLiveBlocks(), blocks);
    EXPECT_EQ(MAPIFreeBuffer(nullptr), 0u);
}

TEST_F(MapiMemory, BadArgumentsAreRefusedAndClearTheOutput) {
    EXPECT_EQ(MAPIAllocateBuffer(8, nullptr), MAPI_E_INVALID_PARAMETER);
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(MAPIAllocateMore(8, nullptr, &out), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(out, nullptr);
    // A pointer the runtime did not hand out is not linked to or freed.
    alignas(64) unsigned char foreign[128] = {};
    EXPECT_EQ(MAPIAllocateMore(8, foreign + 64, &out), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(MAPIFreeBuffer(foreign + 64), static_cast<ULONG>(MAPI_E_INVALID_PARAMETER));
}

TEST_F(MapiMemory, ThreadsLinkingToOneChainAtOnceLoseNoBlock) {
    const ULONG blocks = mapi_detail::DebugLiveBlocks();
    void* head = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(8, &head), S_OK);
    constexpr int kThreads = 8;
    constexpr int kEach = 500;
    std::vector<std::vector<unsigned char*>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, head, &got] {
            void* parent = head;
            for (int i = 0; i < kEach; ++i) {
                void* block = nullptr;
                if (MAPIAllocateMore(24, parent, &block) != S_OK)
                    return;
                std::memset(block, t * 31 + i % 7, 24);
                got[t].push_back(static_cast<unsigned char*>(block));
                parent = block; // link through ever-deeper blocks too
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(mapi_detail::DebugLiveBlocks(), blocks + 1 + kThreads * kEach);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(got[t].size(), static_cast<std::size_t>(kEach));
        for (int i = 0; i < kEach; ++i)
            ASSERT_EQ(got[t][i][23], static_cast<unsigned char>(t * 31 + i % 7));
    }
    MAPIFreeBuffer(head);
    EXPECT_EQ(mapi_detail::DebugLiveBlocks(), blocks);
}

TEST_F(MapiMemory, RestrictionCopiesStopAtTheDepthLimit) {
    std::vector<SRestriction> chain(70);
    chain.back() = Exist(PR_SUBJECT);
    for (std::size_t i = 0; i + 1 < chain.size(); ++i)
        chain[i] = Not(&chain[i + 1]);
    void* parent = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(1, &parent), S_OK);
    LPSRestriction copy = nullptr;
    EXPECT_EQ(ScCopyRestriction(&copy, &chain[0], parent), MAPI_E_TOO_COMPLEX);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(ScCopyRestriction(&copy, &chain[chain.size() - 64], parent), S_OK);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->rt, RES_NOT);
    MAPIFreeBuffer(parent);
}

} // namespace
