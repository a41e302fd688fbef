// The program as a user meets it where the real engine cannot show it: its
// command line, a stop while the engine is still starting, and a companion
// kept waiting or refused. The test program is the real entry, controller
// and platform code with the engine's test double, which writes what it is
// asked to do to a trace file; the product `ovo` is run too.
#include "agent/agent_controller.h"
#include "platform/win32/named_event.h"
#include "tests/agent/agent_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

namespace {

class AgentProcess : public ::testing::Test {
protected:
    std::vector<std::string> Env(std::vector<std::string> extra = {}) const {
        std::vector<std::string> env{"SORTWELL_REGISTRY=" + hive, "SORTWELL_EVENTLOG=FILE",
                                     "SORTWELL_EVENTLOG_FILE=" + events, "XAL_LOG_LEVEL=7",
                                     "SWTEST_ENGINE_TRACE=" + trace};
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }

    swtest::TempDir dir;
    std::string hive = dir.file("registry.reg");
    std::string events = dir.file("events.jsonl");
    std::string trace = dir.file("trace.txt");
};

TEST_F(AgentProcess, CommandLineTextsExitStatusAndTheMissingAlias) {
    swtest::WriteAgentHive(hive, {}, false);
    const std::string banner = "Removing all rules from mailboxes. This may take a few moments...";
    for (const char* program : {SW_AGENT_TESTPROG, swtest::OvoProgram()}) {
        SCOPED_TRACE(program);
        // The first argument alone chooses the mode, in any case; the
        // stories show what each mode does.
        const std::string usage = "Unrecognized argument.\n\n\nUsage: ovo.exe [remove] [once]\n";
        const std::pair<std::vector<std::string>, std::string> cases[] = {
            {{"foo", "remove"}, usage},
            {{"removes"}, usage},
            {{""}, usage},
            {{"REMOVE"}, banner},
            {{"remove", "once"}, ""}, // more than one argument: no banner
            {{}, ""},
        };
        for (const auto& [args, out] : cases) {
            swtest::WriteFile(events, "");
            const swtest::ProcessResult run = swtest::RunProgram(program, args, Env());
            EXPECT_EQ(run.out, out);
            // An unknown argument, or the empty registry: status 1.
            EXPECT_EQ(run.exit_code, 1);
        }
        // In a console without a log file the one error goes to the event
        // log, naming the missing value; no service events.
        const std::string written = swtest::ReadFile(events);
        EXPECT_EQ(swtest::CountOf(written, "\n"), 1) << written;
        EXPECT_NE(written.find("[28001] Error reading configuration from Windows registry: Alias."),
                  std::string::npos)
            << written;
        EXPECT_NE(written.find("\"source\":\"Sortwell\""), std::string::npos) << written;
        EXPECT_NE(written.find("\"category\":28,"), std::string::npos);
        EXPECT_NE(written.find("\"event_id\":3221225986"), std::string::npos) << "an error event";
    }
}

TEST_F(AgentProcess, ServiceStopDuringStartupIsHeldUntilTheCycleBegins) {
    swtest::WriteAgentHive(hive, {});
    swtest::NotifySocket notify;
    auto child = swtest::Process::Start(
        SW_AGENT_TESTPROG, {},
        Env({"NOTIFY_SOCKET=" + notify.address(), "SWTEST_ENGINE_SETUP_MS=1500"}));
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(swtest::WaitForText(trace, "setup threads", 10000));
    ASSERT_TRUE(child->Signal(SIGTERM));
    ASSERT_TRUE(child->Wait(10000));
    EXPECT_EQ(child->result().exit_code, 0);
    const std::string calls = swtest::ReadFile(trace);
    EXPECT_EQ(swtest::CountOf(calls, "run_pass"), 0) << calls;
    EXPECT_EQ(swtest::CountOf(calls, "teardown"), 1) << calls;
    EXPECT_EQ(notify.Take(),
              (std::vector<std::string>{"STATUS=Starting", "STOPPING=1\nSTATUS=Stopping",
                                        "READY=1\nSTATUS=Running", "STATUS=Stopped"}));
    EXPECT_NE(swtest::ReadFile(events).find(
                  "[19004] Signal delivery deferred until server is fully operational."),
              std::string::npos);
}

TEST_F(AgentProcess, CompanionWaitsForAnAgentAndRefusesASecondRequest) {
    swtest::WriteAgentHive(hive, {});
    const std::string companion = swtest::RemoveRulesProgram();
    auto waiting = swtest::Process::Start(companion, {"--wait", "20"}, Env());
    ASSERT_NE(waiting, nullptr);
    ASSERT_TRUE(swtest::WaitUntil(
        [] {
            HANDLE probe = OpenEventW(SYNCHRONIZE, FALSE, AGENT_REMOVE_EVENT_NAME);
            return probe != nullptr && CloseHandle(probe);
        },
        10000));
    EXPECT_EQ(swtest::RunProgram(companion, {"--wait", "1"}, Env()).exit_code, 2)
        << "one request at a time";
    // An agent that starts now does a remove pass, sets the event and ends.
    const swtest::ProcessResult agent = swtest::RunProgram(SW_AGENT_TESTPROG, {}, Env());
    EXPECT_EQ(agent.exit_code, 0);
    EXPECT_NE(swtest::ReadFile(trace).find("run_pass pass=0 remove=1"), std::string::npos);
    ASSERT_TRUE(waiting->Wait(10000));
    EXPECT_EQ(waiting->result().exit_code, 0);
    EXPECT_EQ(waiting->result().out, "The remove pass is over.\n");

    // Nobody to do the pass: the wait runs out, and a command that is no
    // agent finishes no pass, said with its own exit status. A bad wait is
    // refused; --help and --version answer.
    EXPECT_EQ(swtest::RunProgram(companion, {"--wait", "1"}, Env()).exit_code, 1);
    const swtest::ProcessResult idle = swtest::RunProgram(companion, {"sh", "-c", "exit 3"}, Env());
    EXPECT_EQ(idle.exit_code, 1);
    EXPECT_EQ(idle.out, "");
    EXPECT_EQ(idle.err, "sortwell-remove-rules: the command ended without a remove pass (exit "
                        "status 3).\n");
    EXPECT_EQ(swtest::RunProgram(companion, {"--wait", "soon"}, Env()).exit_code, 2);
    EXPECT_EQ(swtest::RunProgram(companion, {"--help"}, Env()).exit_code, 0);
    EXPECT_EQ(swtest::RunProgram(companion, {"--version"}, Env()).exit_code, 0);
}

} // namespace
