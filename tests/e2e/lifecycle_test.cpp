// The agent's life in a console: how it stops, during a pass and between
// passes, what a pass does when there is nothing to do or nobody to do it,
// and what it leaves behind.
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

namespace swtest {
namespace {

using Clock = std::chrono::steady_clock;

// Stops the running agent (SIGTERM, or `signal_number`) and expects it to
// end with status 0 within `seconds`.
void ExpectStopWithin(Process& agent, double seconds, int signal_number = SIGTERM) {
    EXPECT_TRUE(agent.Running());
    const auto signalled = Clock::now();
    ASSERT_TRUE(agent.Signal(signal_number));
    ASSERT_TRUE(agent.Wait(20000));
    EXPECT_EQ(agent.result().exit_code, 0) << agent.result().err;
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - signalled).count(), seconds);
}

// Control-C and SIGTERM end the agent gracefully: the engine is torn down and
// the temporary profile deleted. Control-\ and a closed terminal end it at
// once, leaving the profile in the profiles file.
TEST(Lifecycle, ConsoleSignalsBetweenPasses) {
    for (int signal_number : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        Sandbox sandbox;
        sandbox.WriteHive({Dword("ThreadCount", 1)});
        sandbox.CreateStore({"user"});
        auto agent = sandbox.StartAgent({});
        ASSERT_TRUE(WaitUntil([&] { return !sandbox.AgentRules("user").empty(); }, 20000));
        EXPECT_TRUE(HoldsAgentProfile(sandbox.Profiles())) << sandbox.Profiles();

        if (signal_number == SIGINT || signal_number == SIGTERM) {
            // The interval wait looks every second.
            ExpectStopWithin(*agent, 4.0, signal_number);
            EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles())) << sandbox.Profiles();
        } else {
            ASSERT_TRUE(agent->Signal(signal_number));
            ASSERT_TRUE(agent->Wait(10000));
            EXPECT_EQ(agent->result().signal, signal_number);
            EXPECT_TRUE(HoldsAgentProfile(sandbox.Profiles())) << "nothing was torn down";
        }
    }
}

// A stop during a pass ends it after the mailbox in hand: the mailboxes
// still queued are dropped, and the profile goes.
TEST(Lifecycle, StopDuringAPassDropsTheQueuedMailboxes) {
    Sandbox sandbox;
    sandbox.WriteHive({Dword("ThreadCount", 1)});
    sandbox.CreateStore({});
    // Enough mailboxes for one worker to be busy for a few seconds.
    sandbox.StoreCommand({"add-mailboxes", "10000", "--prefix", "user"});
    const std::vector<std::string> aliases = sandbox.Aliases();
    ASSERT_EQ(aliases.size(), 10001u);

    auto agent = sandbox.StartAgent({});
    ASSERT_TRUE(WaitUntil([&] { return !sandbox.AgentRules(aliases[1]).empty(); }, 30000));
    ExpectStopWithin(*agent, 5.0);
    EXPECT_TRUE(sandbox.AgentRules(aliases.back()).empty()) << "the last mailbox was reached";
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
    EXPECT_EQ(Problems(sandbox), "");
}

// With its only worker unable to start, a pass never ends by itself, even
// in once mode; a stop ends it, and the queued mailboxes are dropped
// untouched.
TEST(Lifecycle, PassWithoutAWorkerWaitsForAStop) {
    Sandbox sandbox;
    sandbox.WriteHive({Dword("ThreadCount", 1)});
    sandbox.CreateStore({"a", "b"});
    sandbox.AddFault("IMAPISession::OpenMsgStore", "", 0x80040115, 1);

    auto agent = sandbox.StartAgent({"once"});
    ASSERT_TRUE(WaitUntil([&] { return sandbox.LogCount(28014) == 1; }, 20000)) << sandbox.Log();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ExpectStopWithin(*agent, 4.0);
    for (const std::string& alias : sandbox.Aliases())
        EXPECT_TRUE(sandbox.AgentRules(alias).empty()) << alias;
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
}

// When the mailbox list cannot be had, the pass finds no mailbox and
// returns at once; the cycle then waits its whole interval (60 seconds) and
// still answers a stop within about a second.
TEST(Lifecycle, PassWithoutMailboxesWaitsTheWholeInterval) {
    Sandbox sandbox;
    sandbox.WriteHive({Dword("Interval (Seconds)", 60)});
    sandbox.CreateStore({"user"});
    // Fails the first two listings; how many are left shows how many passes
    // began.
    sandbox.AddFault("IExchangeManageStore::GetMailboxTable", "", 0x80040115, 2);
    auto remaining = [&] {
        const std::vector<Fault> faults = sandbox.Faults();
        return faults.size() == 1 && faults[0].remaining ? *faults[0].remaining : -1;
    };

    auto agent = sandbox.StartAgent({});
    ASSERT_TRUE(WaitUntil([&] { return remaining() == 1; }, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    EXPECT_EQ(remaining(), 1) << "no second pass began";
    ExpectStopWithin(*agent, 4.0);
    EXPECT_EQ(remaining(), 1);
    EXPECT_TRUE(sandbox.AgentRules("user").empty());
    EXPECT_EQ(Problems(sandbox), "") << "an empty list is no failure of its own";
}

} // namespace
} // namespace swtest
