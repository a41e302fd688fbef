// Recursive locks and threads with exit codes.
#include "runtime/vtxpr_mem.h"
#include "runtime/vtxpr_sync.h"
#include "runtime/vtxpr_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Waits (really) until `done` holds, for at most five seconds.
template <typename Predicate> bool WaitFor(Predicate done) {
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!done() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

struct Gate {
    std::atomic<bool> open{false};
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    std::uint32_t result = 0;
    VTXPR_LOCK* lock = nullptr;
};

std::uint32_t WaitAtGate(void* argument) {
    Gate* gate = static_cast<Gate*>(argument);
    const std::uint32_t result = gate->result;
    gate->started = true;
    while (!gate->open) {
        std::this_thread::sleep_for(1ms);
    }
    gate->finished = true; // the gate may be gone once this is seen
    return result;
}

std::uint32_t TakeAndRelease(void* argument) {
    Gate* gate = static_cast<Gate*>(argument);
    gate->started = true;
    VTXPR_Lock(gate->lock);
    gate->finished = true;
    VTXPR_Unlock(gate->lock);
    return 0;
}

} // namespace

TEST(RuntimeLocks, RecursiveForItsHolderExclusiveForOthers) {
    VTXPR_LOCK embedded{}; // zero-filled storage, constructed in place
    ASSERT_EQ(VTXPR_InitLock(&embedded), 0);
    Gate shared;
    shared.lock = &embedded;
    EXPECT_EQ(VTXPR_Lock(shared.lock), 0);
    EXPECT_EQ(VTXPR_Lock(shared.lock), 0);

    VTXPR_THREAD other = nullptr;
    ASSERT_EQ(VTXPR_CreateThread(&other, nullptr, TakeAndRelease, &shared), 0);
    ASSERT_TRUE(WaitFor([&] { return shared.started.load(); }));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(shared.finished) << "entered a lock held by another thread";
    EXPECT_EQ(VTXPR_Unlock(shared.lock), 0);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(shared.finished) << "entered after only one of two releases";
    EXPECT_EQ(VTXPR_Unlock(shared.lock), 0);
    EXPECT_EQ(VTXPR_JoinThread(other), 0);
    EXPECT_TRUE(shared.finished);
    EXPECT_EQ(VTXPR_CloseThread(&other), 0);
    EXPECT_EQ(VTXPR_DestroyLock(&embedded), 0);

    // A lock of its own on the heap works the same way.
    VTXPR_LOCK* created = VTXPR_CreateLock();
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(VTXPR_Lock(created), 0);
    EXPECT_EQ(VTXPR_Lock(created), 0);
    EXPECT_EQ(VTXPR_Unlock(created), 0);
    EXPECT_EQ(VTXPR_Unlock(created), 0);
    EXPECT_EQ(VTXPR_DestroyLock(created), 0);
    VTXPR_Free(created);
}

TEST(RuntimeThreads, ExitCodeIsStillActiveUntilTheRoutineReturns) {
    Gate gate;
    gate.result = 42;
    VTXPR_THREAD thread = nullptr;
    // The attributes argument is ignored, whatever it is.
    ASSERT_EQ(VTXPR_CreateThread(&thread, &gate, WaitAtGate, &gate), 0);
    ASSERT_TRUE(WaitFor([&] { return gate.started.load(); }));
    std::uint32_t code = 0;
    EXPECT_EQ(VTXPR_GetExitCodeThread(thread, &code), 0);
    EXPECT_EQ(code, VTXPR_STILL_ACTIVE);

    gate.open = true;
    EXPECT_EQ(VTXPR_JoinThread(thread), 0);
    EXPECT_TRUE(gate.finished);
    EXPECT_EQ(VTXPR_GetExitCodeThread(thread, &code), 0);
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(VTXPR_CloseThread(&thread), 0);
    EXPECT_EQ(thread, nullptr);

    EXPECT_EQ(VTXPR_GetExitCodeThread(nullptr, &code), -1);
    EXPECT_EQ(VTXPR_JoinThread(nullptr), -1);
    EXPECT_EQ(VTXPR_CloseThread(&thread), -1);
    thread = reinterpret_cast<VTXPR_THREAD>(0x1);
    EXPECT_EQ(VTXPR_CreateThread(&thread, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(thread, nullptr);

    // A routine that breaks the rule and returns 259 does not hang its join.
    Gate rule_breaker;
    rule_breaker.result = VTXPR_STILL_ACTIVE;
    rule_breaker.open = true;
    ASSERT_EQ(VTXPR_CreateThread(&thread, nullptr, WaitAtGate, &rule_breaker), 0);
    EXPECT_EQ(VTXPR_JoinThread(thread), 0);
    EXPECT_TRUE(rule_breaker.finished);
    EXPECT_EQ(VTXPR_CloseThread(&thread), 0);
}

TEST(RuntimeThreads, ClosingARunningThreadLetsItFinish) {
    Gate gate;
    VTXPR_THREAD thread = nullptr;
    ASSERT_EQ(VTXPR_CreateThread(&thread, nullptr, WaitAtGate, &gate), 0);
    ASSERT_TRUE(WaitFor([&] { return gate.started.load(); }));
    EXPECT_EQ(VTXPR_CloseThread(&thread), 0);
    EXPECT_EQ(thread, nullptr);
    EXPECT_FALSE(gate.finished);
    // It runs on and frees its own record (the leak checker sees to that).
    gate.open = true;
    EXPECT_TRUE(WaitFor([&] { return gate.finished.load(); }));
}
