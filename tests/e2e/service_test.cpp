// The agent as a systemd service (NOTIFY_SOCKET set): the states it reports,
// SIGTERM as stop, SIGHUP as reload that reads the hive again, and the
// remove-rules event through which another program asks for a remove pass.
#include "tests/support/sandbox.h"

#include "agent/agent_controller.h"
#include "platform/win32/named_event.h"

#include <gtest/gtest.h>

#include <csignal>

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

// A reload tears the engine down and sets it up from the hive as it is now:
// a mailbox added meanwhile gets the new spam folder; a valid rule made
// with the old name stays.
TEST(Service, ReportsItsStatesReloadsWithTheNewHiveAndStops) {
    Sandbox sandbox;
    sandbox.WriteHive({Dword("ThreadCount", 1)});
    sandbox.CreateStore({"a", "b"});
    NotifySocket notify;
    auto agent = sandbox.StartAgent({}, &notify);
    ASSERT_TRUE(notify.WaitFor("STATUS=Pass 1:", 20000));
    EXPECT_EQ(States(notify.messages()), (std::vector<std::string>{kStarting, kRunning}));
    const Rule a_rule = ExpectOneAgentRule(sandbox, "a", "Spam");

    sandbox.WriteHive({Dword("ThreadCount", 1), "\"Spam Folder\"=\"  Junk Mail \""});
    sandbox.StoreCommand({"add-mailbox", "c"});
    ASSERT_TRUE(agent->Signal(SIGHUP));
    ASSERT_TRUE(notify.WaitFor("STATUS=Pass 2: 4 of 4 mailboxes done", 20000))
        << sandbox.Log() << Describe(sandbox, {"a", "c"});
    ExpectOneAgentRule(sandbox, "c", "Junk Mail");
    EXPECT_FALSE(sandbox.FindFolder("c", "Spam").has_value());
    EXPECT_EQ(ExpectOneAgentRule(sandbox, "a", "Spam").id, a_rule.id);
    EXPECT_FALSE(sandbox.FindFolder("a", "Junk Mail").has_value());

    ASSERT_TRUE(agent->Signal(SIGTERM));
    ASSERT_TRUE(agent->Wait(10000));
    EXPECT_EQ(agent->result().exit_code, 0);
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
}

// The service's arguments are the command line's: "once" runs one pass and
// ends. A start that fails goes from starting straight to stopped.
TEST(Service, RunsOncePassAndReportsAFailedStart) {
    {
        Sandbox sandbox;
        sandbox.WriteHive();
        sandbox.CreateStore({"user"});
        NotifySocket notify;
        auto agent = sandbox.StartAgent({"once"}, &notify);
        ASSERT_TRUE(agent->Wait(20000)) << "once mode ends by itself";
        EXPECT_EQ(agent->result().exit_code, 0);
        notify.Take(200);
        EXPECT_EQ(States(notify.messages()),
                  (std::vector<std::string>{kStarting, kRunning, kStopped}));
        ExpectOneAgentRule(sandbox, "user", "Spam");
    }
    {
        Sandbox sandbox;
        sandbox.WriteHive();
        sandbox.CreateStore({"user"});
        sandbox.AddFault("MAPILogonEx", "", 0x80040115, 1);
        NotifySocket notify;
        auto agent = sandbox.StartAgent({}, &notify);
        ASSERT_TRUE(agent->Wait(20000));
        EXPECT_EQ(agent->result().exit_code, 0) << "a service reports its end through its status";
        notify.Take(200);
        EXPECT_EQ(States(notify.messages()), (std::vector<std::string>{kStarting, kStopped}));
        const std::string events = sandbox.Events();
        EXPECT_EQ(CountOf(events, kStartedEvent), 0) << events;
        EXPECT_EQ(CountOf(events, kStoppedEvent), 1) << events;
        EXPECT_EQ(sandbox.LogCount(28003), 1) << sandbox.Log();
        EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
        EXPECT_TRUE(sandbox.AgentRules("user").empty());
    }
}

// The companion creates the remove-rules event and runs the agent, which
// removes the rule everywhere, sets the event and ends.
TEST(Service, CompanionRunsTheAgentForARemovePass) {
    Sandbox sandbox;
    sandbox.WriteHive();
    sandbox.CreateStore({"a", "b"});
    for (const char* alias : {"a", "b"}) {
        sandbox.AddAgentRule(alias, "Spam");
    }
    const ProcessResult run = RunProgram(RemoveRulesProgram(), {OvoProgram()}, sandbox.Env());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, kPassOver) << "the agent prints no banner without its argument";
    for (const char* alias : {"a", "b"}) {
        EXPECT_TRUE(sandbox.AgentRules(alias).empty()) << alias;
        EXPECT_TRUE(sandbox.FindFolder(alias, "Spam").has_value()) << alias;
    }
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
}

// A running service that is reloaded while the companion waits does one
// remove pass, sets the event and ends.
TEST(Service, ReloadWhileTheCompanionWaitsRemovesTheRulesAndEnds) {
    Sandbox sandbox;
    sandbox.WriteHive({Dword("ThreadCount", 1)});
    sandbox.CreateStore({"a", "b"});
    NotifySocket notify;
    auto agent = sandbox.StartAgent({}, &notify);
    ASSERT_TRUE(notify.WaitFor("STATUS=Pass 1:", 20000));
    ASSERT_FALSE(sandbox.AgentRules("b").empty());

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
    for (const std::string& alias : sandbox.Aliases())
        EXPECT_TRUE(sandbox.AgentRules(alias).empty()) << alias;
    notify.Take(200);
    ASSERT_FALSE(notify.messages().empty());
    EXPECT_EQ(notify.messages().back(), kStopped);
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
}

} // namespace
} // namespace swtest
