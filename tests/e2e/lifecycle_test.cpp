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

// A stop during a pass lets each worker finish the mailbox in hand and
// drops the queued ones. Making a spam folder is slow here (a fault that
// delays each mailbox's first CreateFolder); once both workers are held in
// it, the stop arrives. The newest worker is stopped first, the other may
// take one more mailbox meanwhile. Every mailbox ends whole (folder and
// rule) or untouched, the held ones whole, nothing is reported, the profile
// goes and every MAPI buffer and object is given back.
TEST(Lifecycle, StopDuringAPassFinishesTheMailboxesInHand) {
    Sandbox sandbox;
    sandbox.WriteHive({Dword("ThreadCount", 2)});
    const std::vector<std::string> aliases{"m1", "m2", "m3", "m4", "m5", "m6"};
    sandbox.CreateStore(aliases);
    for (const std::string& alias : aliases)
        sandbox.AddFault("IMAPIFolder::CreateFolder", alias, 0, 1, 0, 3000);

    auto agent = sandbox.StartAgent({}, nullptr, {"SORTWELL_MAPI_LEAK_CHECK=1"});
    // A fault is used up as its call begins to wait.
    std::vector<std::string> held;
    ASSERT_TRUE(WaitUntil(
        [&] {
            held.clear();
            for (const Fault& fault : sandbox.Faults())
                if (fault.remaining == std::optional<std::int64_t>(0))
                    held.push_back(fault.mailbox);
            return held.size() >= 2;
        },
        20000));
    ExpectStopWithin(*agent, 10.0);
    int untouched = 0;
    for (const std::string& alias : aliases) {
        const bool whole = sandbox.FindFolder(alias, "Spam").has_value();
        EXPECT_EQ(sandbox.AgentRules(alias).size(), whole ? 1u : 0u) << alias;
        untouched += whole ? 0 : 1;
    }
    for (const std::string& alias : held)
        ExpectOneAgentRule(sandbox, alias, "Spam");
    EXPECT_GE(untouched, 2) << "the queued mailboxes are dropped";
    EXPECT_EQ(Problems(sandbox), "");
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
    EXPECT_NE(agent->result().err.find("live buffers 0 objects 0\n"), std::string::npos)
        << agent->result().err;
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
