// The agent's life as a service and in a console: its states, reloads and
// stops, and the remove pass another program asks for; each story says how.
#include "tests/stories/stories.h"

#include "agent/agent_controller.h"
#include "platform/win32/named_event.h"
#include "tests/support/metrics.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <thread>

namespace swtest {
namespace {

const std::string kStarting = "STATUS=Starting";
const std::string kRunning = "READY=1\nSTATUS=Running";
const std::string kStopping = "STOPPING=1\nSTATUS=Stopping";
const std::string kStopped = "STATUS=Stopped";
// Running again after a control, still showing how the last pass went.
const std::string kRunningAfterPass = "READY=1\nSTATUS=Pass ...";
constexpr const char* kStartedEvent = "\"event_id\":1073743360";
constexpr const char* kStoppedEvent = "\"event_id\":1073743361";
constexpr const char* kPassOver = "The remove pass is over.\n";

// The service's state changes among its notifications; the rest are the
// status lines that tell how each pass went.
std::vector<std::string> States(const std::vector<std::string>& messages) {
    std::vector<std::string> states;
    for (const std::string& message : messages) {
        if (message.rfind("READY=1\nSTATUS=Pass ", 0) == 0)
            states.push_back(kRunningAfterPass);
        else if (message == kStarting || message == kStopped || message.rfind("READY=1", 0) == 0 ||
                 message.rfind("STOPPING=1", 0) == 0)
            states.push_back(message);
        else
            EXPECT_EQ(message.rfind("STATUS=Pass ", 0), 0u) << message;
    }
    return states;
}

// Stops the running agent (SIGTERM, or `signal_number`) and expects it to
// end with status 0 within `seconds`.
void ExpectStopWithin(Process& agent, double seconds, int signal_number = SIGTERM) {
    using Clock = std::chrono::steady_clock;
    EXPECT_TRUE(agent.Running());
    const auto signalled = Clock::now();
    ASSERT_TRUE(agent.Signal(signal_number));
    ASSERT_TRUE(agent.Wait(20000));
    EXPECT_EQ(agent.result().exit_code, 0) << agent.result().err;
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - signalled).count(), seconds);
}

using Service = Story;

// A reload tears the engine down and sets it up from the hive as it is now:
// a mailbox added meanwhile gets the new spam folder; a valid rule made
// with the old name stays. Until the next pass ends the status line still
// tells of the last one; the metrics file counts on across the reload.
TEST_P(Service, ReportsItsStatesAndPassesReloadsWithTheNewHiveAndStops) {
    sandbox.WriteHive({Dword("ThreadCount", 1)});
    world.AddMailboxes({"a", "b"});
    const std::string metrics = sandbox.file("metrics.prom");
    NotifySocket notify;
    auto agent = sandbox.StartAgent({}, &notify, {"SORTWELL_METRICS_FILE=" + metrics});
    std::vector<std::string> seen;
    ASSERT_TRUE(WaitForPass(notify, 1, &seen)) << sandbox.Log();
    EXPECT_EQ(States(notify.messages()), (std::vector<std::string>{kStarting, kRunning}));
    EXPECT_EQ(seen.back().rfind("STATUS=Pass 1: 3 of 3 mailboxes done, 0 failed, in ", 0), 0u)
        << seen.back();
    std::map<std::string, double> samples = ParseMetrics(ReadFile(metrics));
    EXPECT_EQ(samples["sortwell_passes_total"], 1);
    EXPECT_EQ(samples["sortwell_last_pass_number"], 1);
    EXPECT_EQ(samples["sortwell_last_pass_mailboxes_queued"], 3);
    EXPECT_EQ(samples["sortwell_last_pass_mailboxes_done"], 3);
    EXPECT_EQ(samples["sortwell_last_pass_maintenance"], 0);
    EXPECT_GT(samples["sortwell_last_pass_seconds"], 0);
    EXPECT_LT(samples["sortwell_last_pass_seconds"], 15);
    const RuleView a_rule = ExpectOneAgentRule(world, "a", "Spam");

    sandbox.WriteHive({Dword("ThreadCount", 1), "\"Spam Folder\"=\"  Junk Mail \""});
    world.AddMailboxes({"c"});
    ASSERT_TRUE(agent->Signal(SIGHUP));
    seen.clear();
    ASSERT_TRUE(WaitForPass(notify, 2, &seen)) << sandbox.Log();
    EXPECT_EQ(seen.front().rfind("READY=1\nSTATUS=Pass 1: 3 of 3 mailboxes done", 0), 0u)
        << seen.front();
    EXPECT_EQ(seen.back().rfind("STATUS=Pass 2: 4 of 4 mailboxes done", 0), 0u) << seen.back();
    samples = ParseMetrics(ReadFile(metrics));
    EXPECT_EQ(samples["sortwell_passes_total"], 2);
    EXPECT_EQ(samples["sortwell_mailboxes_done_total"], 7);
    ExpectOneAgentRule(world, "c", "Junk Mail");
    EXPECT_FALSE(world.FindFolder("c", "Spam").has_value());
    EXPECT_EQ(ExpectOneAgentRule(world, "a", "Spam").key, a_rule.key);
    EXPECT_FALSE(world.FindFolder("a", "Junk Mail").has_value());

    ExpectStopWithin(*agent, 5.0);
    notify.Take(200);
    EXPECT_EQ(
        States(notify.messages()),
        (std::vector<std::string>{kStarting, kRunning, kRunningAfterPass, kStopping, kStopped}));
    const std::string events = sandbox.Events();
    EXPECT_EQ(CountOf(events, kStartedEvent), 1) << events;
    EXPECT_EQ(CountOf(events, kStoppedEvent), 1) << events;
    EXPECT_NE(events.find("Altavane Sortwell for Exchange started."), std::string::npos);
    EXPECT_NE(events.find("Altavane Sortwell for Exchange stopped."), std::string::npos);
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
    EXPECT_EQ(Problems(sandbox), "");
    EXPECT_FALSE(std::filesystem::exists(metrics + ".tmp"));
}

// Control-C and SIGTERM end the agent gracefully between passes: the engine
// is torn down and the temporary profile deleted. Control-\ and a closed
// terminal end it at once, leaving the profile in the profiles file.
TEST_P(Service, ConsoleSignalsBetweenPasses) {
    sandbox.WriteHive({Dword("ThreadCount", 1)});
    world.AddMailboxes({"user"});
    for (int signal_number : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        std::filesystem::remove(sandbox.profiles_path());
        auto agent = sandbox.StartAgent({});
        ASSERT_TRUE(WaitUntil([&] { return HoldsAgentProfile(sandbox.Profiles()); }, 20000));
        ASSERT_TRUE(WaitUntil([&] { return !world.AgentRules("user").empty(); }, 20000));
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

SW_STORY_WORLDS(Service);

// A start that fails (here the "Alias" has no mailbox) goes from starting
// straight to stopped, with the reason logged and a stopped event only.
TEST(ServiceStart, AFailedStartReportsStoppedAndLeavesNoProfile) {
    Sandbox sandbox;
    sandbox.WriteHive({"\"Alias\"=\"nobody\""});
    sandbox.world().AddMailboxes({"user"});
    NotifySocket notify;
    auto agent = sandbox.StartAgent({}, &notify);
    ASSERT_TRUE(agent->Wait(20000));
    EXPECT_EQ(agent->result().exit_code, 0) << "a service reports its end through its status";
    notify.Take(200);
    EXPECT_EQ(States(notify.messages()), (std::vector<std::string>{kStarting, kStopped}));
    const std::string events = sandbox.Events();
    EXPECT_EQ(CountOf(events, kStartedEvent), 0) << events;
    EXPECT_EQ(CountOf(events, kStoppedEvent), 1) << events;
    EXPECT_EQ(Problems(sandbox),
              "ERROR [28002] " +
                  MailboxFailure("Unable to create MAPI profile for mailbox", "nobody", kNotFound) +
                  "\n");
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
    EXPECT_TRUE(sandbox.world().AgentRules("user").empty());
}

// A stop during a pass lets each worker finish the mailbox in hand and
// drops the queued ones. Making a spam folder is slow here (a fault that
// delays each mailbox's first CreateFolder); once both workers are held in
// it, the stop arrives. The newest worker is stopped first, the other may
// take one more mailbox meanwhile. Every mailbox ends whole (folder and
// rule) or untouched, the held ones whole, nothing is reported, the profile
// goes and every MAPI buffer and object is given back.
TEST(ServiceStop, StopDuringAPassFinishesTheMailboxesInHand) {
    Sandbox sandbox;
    EmbeddedStore& store = sandbox.store();
    sandbox.WriteHive({Dword("ThreadCount", 2)});
    const std::vector<std::string> aliases{"m1", "m2", "m3", "m4", "m5", "m6"};
    store.AddMailboxes(aliases);
    for (const std::string& alias : aliases)
        store.AddFault("IMAPIFolder::CreateFolder", alias, 0, 1, 0, 3000);

    auto agent = sandbox.StartAgent({}, nullptr, {"SORTWELL_MAPI_LEAK_CHECK=1"});
    // A fault is used up as its call begins to wait.
    std::vector<std::string> held;
    ASSERT_TRUE(WaitUntil(
        [&] {
            held.clear();
            for (const Fault& fault : store.Faults())
                if (fault.remaining == std::optional<std::int64_t>(0))
                    held.push_back(fault.mailbox);
            return held.size() >= 2;
        },
        20000));
    ExpectStopWithin(*agent, 10.0);
    int untouched = 0;
    for (const std::string& alias : aliases) {
        const bool whole = store.FindFolder(alias, "Spam").has_value();
        EXPECT_EQ(store.AgentRules(alias).size(), whole ? 1u : 0u) << alias;
        untouched += whole ? 0 : 1;
    }
    for (const std::string& alias : held)
        ExpectOneAgentRule(store, alias, "Spam");
    EXPECT_GE(untouched, 2) << "the queued mailboxes are dropped";
    EXPECT_EQ(Problems(sandbox), "");
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
    EXPECT_NE(agent->result().err.find("live buffers 0 objects 0\n"), std::string::npos)
        << agent->result().err;
}

// With its only worker unable to start, a pass never ends by itself, even
// in once mode; a stop ends it, and the queued mailboxes are dropped
// untouched. When the mailbox list cannot be had, the pass finds no mailbox
// and returns at once; the cycle then waits its whole interval (60 seconds)
// and still answers a stop within about a second.
TEST(ServiceStop, PassesWithoutAWorkerOrWithoutMailboxesWaitForAStop) {
    for (const bool no_mailboxes : {false, true}) {
        SCOPED_TRACE(no_mailboxes ? "no mailboxes" : "no worker");
        Sandbox sandbox;
        EmbeddedStore& store = sandbox.store();
        sandbox.WriteHive({Dword("ThreadCount", 1), Dword("Interval (Seconds)", 60)});
        store.AddMailboxes({"a", "b"});
        // Fails the first two listings; how many are left shows how many
        // passes began.
        store.AddFault(no_mailboxes ? "IExchangeManageStore::GetMailboxTable"
                                    : "IMAPISession::OpenMsgStore",
                       "", 0x80040115, no_mailboxes ? 2 : 1);
        auto agent = sandbox.StartAgent(no_mailboxes ? std::vector<std::string>{}
                                                     : std::vector<std::string>{"once"});
        auto remaining = [&] { return store.Faults().at(0).remaining.value_or(-1); };
        ASSERT_TRUE(WaitUntil(
            [&] { return no_mailboxes ? remaining() == 1 : sandbox.LogCount(28014) == 1; }, 20000))
            << sandbox.Log();
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        EXPECT_EQ(remaining(), no_mailboxes ? 1 : 0) << "no second pass began";
        ExpectStopWithin(*agent, 4.0);
        for (const std::string& alias : store.Aliases())
            EXPECT_TRUE(store.AgentRules(alias).empty()) << alias;
        EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
        EXPECT_EQ(Problems(sandbox).empty(), no_mailboxes) << "an empty list is no failure";
    }
}

// The companion creates the remove-rules event and runs the agent, which
// removes the rule everywhere, sets the event and ends. A running service
// that is reloaded while the companion waits does one remove pass, sets the
// event and ends.
TEST(RemoveRequest, TheCompanionRunsTheAgentOrWaitsForARunningOne) {
    Sandbox sandbox;
    EmbeddedStore& store = sandbox.store();
    sandbox.WriteHive({Dword("ThreadCount", 1)});
    store.AddMailboxes({"a", "b"});
    for (const char* alias : {"a", "b"})
        store.AddRule(alias, {.folder = "Spam"});
    const ProcessResult run = RunProgram(RemoveRulesProgram(), {OvoProgram()}, sandbox.Env());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, kPassOver) << "the agent prints no banner without its argument";
    for (const char* alias : {"a", "b"}) {
        EXPECT_TRUE(store.AgentRules(alias).empty()) << alias;
        EXPECT_TRUE(store.FindFolder(alias, "Spam").has_value()) << alias;
    }
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));

    NotifySocket notify;
    auto agent = sandbox.StartAgent({}, &notify);
    ASSERT_TRUE(WaitForPass(notify, 1));
    ASSERT_FALSE(store.AgentRules("b").empty());
    auto companion = Process::Start(RemoveRulesProgram(), {"--wait", "30"}, sandbox.Env());
    ASSERT_NE(companion, nullptr);
    ASSERT_TRUE(WaitUntil(
        [] {
            HANDLE probe = OpenEventW(SYNCHRONIZE, FALSE, AGENT_REMOVE_EVENT_NAME);
            return probe != nullptr && CloseHandle(probe);
        },
        10000));
    EXPECT_TRUE(agent->Running()) << "a running agent does not look for the event by itself";
    ASSERT_TRUE(agent->Signal(SIGHUP));
    ASSERT_TRUE(companion->Wait(30000));
    EXPECT_EQ(companion->result().exit_code, 0);
    EXPECT_EQ(companion->result().out, kPassOver);
    ASSERT_TRUE(agent->Wait(10000)) << "the remove pass is the last one";
    EXPECT_EQ(agent->result().exit_code, 0);
    for (const std::string& alias : store.Aliases())
        EXPECT_TRUE(store.AgentRules(alias).empty()) << alias;
    notify.Take(200);
    ASSERT_FALSE(notify.messages().empty());
    EXPECT_EQ(notify.messages().back(), kStopped);
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
}

} // namespace
} // namespace swtest
