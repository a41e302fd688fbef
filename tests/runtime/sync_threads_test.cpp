// Recursive locks and threads with exit codes.
#include "runtime/vtxpr_mem.h"
#include "runtime/vtxpr_sync.h"
#include "runtime/vtxpr_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Waits (really) until `done` holds, for at most five seconds.
template <typename Predicate> bool WaitFor(Predicate done) {
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct Gate {
    std::atomic<bool> open{false};
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    std::uint32_t result = 0;
};

std::uint32_t WaitAtGate(void* argument) {
    Gate* gate = static_cast<Gate*>(argument);
    const std::uint32_t result = gate->result;
    gate->started = true;
    while (!gate->open) {
        std::this_thread::sleep_for(1ms);
    }
    // The gate may be gone once this is seen.
    gate->finished = true;
    return result;
}

struct Contended {
    VTXPR_LOCK* lock = nullptr;
    std::atomic<bool> trying{false};
    std::atomic<bool> holding{false};
};

std::uint32_t TakeAndRelease(void* argument) {
    Contended* state = static_cast<Contended*>(argument);
    state->trying = true;
    VTXPR_Lock(state->lock);
    state->holding = true;
    VTXPR_Unlock(state->lock);
    return 0;
}

struct Counter {
    VTXPR_LOCK lock;
    long value = 0; // guarded by lock, taken twice per step
};

std::uint32_t CountNested(void* argument) {
    Counter* counter = static_cast<Counter*>(argument);
    for (int i = 0; i < 10000; ++i) {
        VTXPR_Lock(&counter->lock);
        VTXPR_Lock(&counter->lock);
        const long seen = counter->value;
        counter->value = seen + 1;
        VTXPR_Unlock(&counter->lock);
        VTXPR_Unlock(&counter->lock);
    }
    return 7;
}

} // namespace

TEST(RuntimeLocks, RecursiveForItsHolderExclusiveForOthers) {
    Contended state;
    state.lock = VTXPR_CreateLock();
    ASSERT_NE(state.lock, nullptr);

    // Taken twice by this thread without waiting.
    EXPECT_EQ(VTXPR_Lock(state.lock), 0);
    EXPECT_EQ(VTXPR_Lock(state.lock), 0);

    VTXPR_THREAD other = nullptr;
    ASSERT_EQ(VTXPR_CreateThread(&other, nullptr, TakeAndRelease, &state), 0);
    ASSERT_TRUE(WaitFor([&] { return state.trying.load(); }));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(state.holding) << "entered a lock held by another thread";

    // Released once: still held.
    EXPECT_EQ(VTXPR_Unlock(state.lock), 0);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(state.holding) << "entered after only one of two releases";

    EXPECT_EQ(VTXPR_Unlock(state.lock), 0);
    EXPECT_EQ(VTXPR_JoinThread(other), 0);
    EXPECT_TRUE(state.holding);
    EXPECT_EQ(VTXPR_CloseThread(&other), 0);

    EXPECT_EQ(VTXPR_DestroyLock(state.lock), 0);
    VTXPR_Free(state.lock);
}

TEST(RuntimeLocks, EmbeddedZeroFilledLockGuardsNestedUpdates) {
    Counter counter;
    std::memset(&counter.lock, 0, sizeof counter.lock);
    ASSERT_EQ(VTXPR_InitLock(&counter.lock), 0);

    VTXPR_THREAD threads[4] = {};
    for (VTXPR_THREAD& thread : threads) {
        ASSERT_EQ(VTXPR_CreateThread(&thread, nullptr, CountNested, &counter), 0);
    }
    for (VTXPR_THREAD& thread : threads) {
        EXPECT_EQ(VTXPR_JoinThread(thread), 0);
        std::uint32_t code = 0;
        EXPECT_EQ(VTXPR_GetExitCodeThread(thread, &code), 0);
        EXPECT_EQ(code, 7u);
        EXPECT_EQ(VTXPR_CloseThread(&thread), 0);
    }
    EXPECT_EQ(counter.value, 40000);
    EXPECT_EQ(VTXPR_DestroyLock(&counter.lock), 0);
    EXPECT_EQ(VTXPR_Lock(nullptr), -1);
}

TEST(RuntimeThreads, ExitCodeIsStillActiveUntilTheRoutineReturns) {
    Gate gate;
    gate.result = 42;
    VTXPR_THREAD thread = nullptr;
    ASSERT_EQ(VTXPR_CreateThread(&thread, reinterpret_cast<void*>(0x5), WaitAtGate, &gate), 0);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(WaitFor([&] { return gate.started.load(); }));

    std::uint32_t code = 0;
    EXPECT_EQ(VTXPR_GetExitCodeThread(thread, &code), 0);
    EXPECT_EQ(code, VTXPR_STILL_ACTIVE);

    gate.open = true;
    EXPECT_EQ(VTXPR_JoinThread(thread), 0);
    EXPECT_TRUE(gate.finished);
    EXPECT_EQ(VTXPR_GetExitCodeThread(thread, &code), 0);
    EXPECT_EQ(code, 42u);
    // Joining an ended thread again returns at once.
    EXPECT_EQ(VTXPR_JoinThread(thread), 0);

    EXPECT_EQ(VTXPR_CloseThread(&thread), 0);
    EXPECT_EQ(thread, nullptr);

    // Null handles and a missing routine are refused.
    EXPECT_EQ(VTXPR_GetExitCodeThread(nullptr, &code), -1);
    EXPECT_EQ(VTXPR_JoinThread(nullptr), -1);
    EXPECT_EQ(VTXPR_CloseThread(&thread), -1);
    EXPECT_EQ(VTXPR_CloseThread(nullptr), -1);
    thread = reinterpret_cast<VTXPR_THREAD>(0x1);
    EXPECT_EQ(VTXPR_CreateThread(&thread, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(thread, nullptr);
}

TEST(RuntimeThreads, ClosingARunningThreadLetsItFinish) {
    Gate gate;
    VTXPR_THREAD thread = nullptr;
    ASSERT_EQ(VTXPR_CreateThread(&thread, nullptr, WaitAtGate, &gate), 0);
    ASSERT_TRUE(WaitFor([&] { return gate.started.load(); }));

    EXPECT_EQ(VTXPR_CloseThread(&thread), 0);
    EXPECT_EQ(thread, nullptr);
    EXPECT_FALSE(gate.finished);

    gate.open = true;
    EXPECT_TRUE(WaitFor([&] { return gate.finished.load(); }));
}

TEST(RuntimeThreads, JoinEndsEvenForARoutineThatReturnsStillActive) {
    Gate gate;
    gate.result = VTXPR_STILL_ACTIVE;
    gate.open = true;
    VTXPR_THREAD thread = nullptr;
    ASSERT_EQ(VTXPR_CreateThread(&thread, nullptr, WaitAtGate, &gate), 0);
    EXPECT_EQ(VTXPR_JoinThread(thread), 0);
    EXPECT_TRUE(gate.finished);
    EXPECT_EQ(VTXPR_CloseThread(&thread), 0);
}
