// The program as a user meets it where the real engine cannot show it: its
// command line, a stop while the engine is still starting, and the
// remove-rules event of another user or of a companion kept waiting. The
// program is the real entry, controller and platform code; its mailbox
// engine is the test double, which writes what it is asked to do to a trace
// file. The service states, console signals and the companion's remove pass
// are tested end to end with the real engine.
#include "agent/agent_controller.h"
#include "platform/win32/named_event.h"
#include "tests/agent/agent_test_support.h"
#include "tests/support/held_in_child.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

namespace {

const bool kLogFiles = swtest::UseLogFiles();

// The programs whose command line is tested: the test program and the
// product.
std::vector<std::string> Programs() {
    return {SW_AGENT_TESTPROG, swtest::OvoProgram()};
}

const std::string kBanner = "Removing all rules from mailboxes. This may take a few moments...";
const std::string kUnrecognized = "Unrecognized argument.\n\n\nUsage: ovo.exe [remove] [once]\n";
constexpr const char* kStartedId = "\"event_id\":1073743360";

class AgentProcess : public ::testing::Test {
protected:
    // A hive with the required values (or an empty one).
    void Hive(bool with_required) { swtest::WriteAgentHive(hive(), {}, with_required); }
    std::string hive() const { return dir.file("registry.reg"); }
    std::string events() const { return dir.file("events.jsonl"); }
    std::string trace() const { return dir.file("trace.txt"); }

    std::vector<std::string> Env(std::vector<std::string> extra = {}) const {
        std::vector<std::string> env{"SORTWELL_REGISTRY=" + hive(), "SORTWELL_EVENTLOG=FILE",
                                     "SORTWELL_EVENTLOG_FILE=" + events(), "XAL_LOG_LEVEL=7",
                                     "SWTEST_ENGINE_TRACE=" + trace()};
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }
    std::unique_ptr<swtest::Process> Start(const std::vector<std::string>& args,
                                           const std::vector<std::string>& extra_env = {},
                                           const std::string& program = SW_AGENT_TESTPROG) {
        auto child = swtest::Process::Start(program, args, Env(extra_env));
        EXPECT_NE(child, nullptr);
        return child;
    }
    std::string Trace() const { return swtest::ReadFile(trace()); }

    swtest::TempDir dir;
};

// ---------------------------------------------------------------- command line

TEST_F(AgentProcess, CommandLineTextsAndExitStatus) {
    Hive(false);
    for (const std::string& program : Programs()) {
        SCOPED_TRACE(program);
        struct Case {
            std::vector<std::string> args;
            std::string out;
        };
        const Case cases[] = {
            // Which arguments choose which mode is the cycle tests' business.
            {{"foo"}, kUnrecognized},
            {{"REMOVE"}, kBanner},
            {{"remove", "once"}, ""}, // more than one argument: no banner
            {{}, ""},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
            auto child = Start(c.args, {}, program);
            ASSERT_TRUE(child->Wait(10000));
            EXPECT_EQ(child->result().out, c.out);
            // Everything here ends with status 1: an unknown argument, or
            // the empty registry.
            EXPECT_EQ(child->result().exit_code, 1);
        }
    }
}

TEST_F(AgentProcess, EmptyRegistryNamesAliasInTheEventLog) {
    Hive(false);
    for (const std::string& program : Programs()) {
        SCOPED_TRACE(program);
        swtest::WriteFile(events(), "");
        auto child = Start({}, {}, program);
        ASSERT_TRUE(child->Wait(10000));
        EXPECT_EQ(child->result().exit_code, 1);
        const std::string written = swtest::ReadFile(events());
        EXPECT_EQ(swtest::CountOf(written, "\n"), 1) << written;
        EXPECT_NE(written.find("[28001] Error reading configuration from Windows registry: Alias."),
                  std::string::npos)
            << written;
        EXPECT_NE(written.find("\"source\":\"Sortwell\""), std::string::npos) << written;
        EXPECT_NE(written.find("\"category\":28"), std::string::npos);
        EXPECT_NE(written.find("\"event_id\":3221225986"), std::string::npos) << "an error event";
        EXPECT_EQ(written.find("Spam Folder"), std::string::npos);
        EXPECT_EQ(written.find(kStartedId), std::string::npos) << "no service events in a console";
    }
}

// ---------------------------------------------------------------- service and remove event

TEST_F(AgentProcess, ServiceStopDuringStartupIsHeldUntilTheCycleBegins) {
    Hive(true);
    swtest::NotifySocket notify;
    auto child = Start({}, {"NOTIFY_SOCKET=" + notify.address(), "SWTEST_ENGINE_SETUP_MS=1500"});
    ASSERT_TRUE(swtest::WaitForText(trace(), "setup threads", 10000));
    ::kill(child->pid(), SIGTERM);
    ASSERT_TRUE(child->Wait(10000));
    EXPECT_EQ(child->result().exit_code, 0);
    EXPECT_EQ(swtest::CountOf(Trace(), "run_pass"), 0) << Trace();
    EXPECT_NE(Trace().find("teardown"), std::string::npos);
    EXPECT_EQ(notify.Take(),
              (std::vector<std::string>{"STATUS=Starting", "STOPPING=1\nSTATUS=Stopping",
                                        "READY=1\nSTATUS=Running", "STATUS=Stopped"}));
    const std::string written = swtest::ReadFile(events());
    EXPECT_NE(written.find("[19004] Signal delivery deferred until server is fully operational."),
              std::string::npos)
        << written;
}

TEST_F(AgentProcess, RemoveEventOfAnotherUserIsIgnored) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to create the event as another user";
    }
    Hive(true);
    swtest::HeldInChild stranger([] {
        return ::setgid(65534) == 0 && ::setuid(65534) == 0 &&
               CreateEventW(nullptr, FALSE, FALSE, AGENT_REMOVE_EVENT_NAME) != nullptr;
    });
    ASSERT_TRUE(stranger.held());

    auto child = Start({});
    ASSERT_TRUE(swtest::WaitForText(trace(), "pass_end", 10000));
    ::kill(child->pid(), SIGTERM);
    ASSERT_TRUE(child->Wait(5000));
    EXPECT_EQ(child->result().exit_code, 0) << "normal mode runs until stopped";
    EXPECT_NE(Trace().find("run_pass pass=0 remove=0"), std::string::npos) << Trace();
}

TEST_F(AgentProcess, CompanionWaitsForAnAgentAndRefusesASecondRequest) {
    Hive(true);
    const std::string companion = swtest::RemoveRulesProgram();
    auto waiting = swtest::Process::Start(companion, {"--wait", "20"}, Env());
    // The event exists once the companion is waiting.
    ASSERT_TRUE(swtest::WaitUntil(
        [] {
            HANDLE probe = OpenEventW(SYNCHRONIZE, FALSE, AGENT_REMOVE_EVENT_NAME);
            return probe != nullptr && CloseHandle(probe);
        },
        10000));
    EXPECT_EQ(swtest::RunProgram(companion, {"--wait", "1"}, Env()).exit_code, 2)
        << "one request at a time";

    // An agent that starts now does the pass and sets the event.
    auto agent = Start({});
    ASSERT_TRUE(agent->Wait(10000));
    EXPECT_EQ(agent->result().exit_code, 0);
    ASSERT_TRUE(waiting->Wait(10000));
    EXPECT_EQ(waiting->result().exit_code, 0);
    EXPECT_EQ(waiting->result().out, "The remove pass is over.\n");

    // Nobody to do the pass: the wait runs out, and a command that is no
    // agent finishes no pass, reported with its own exit status. A bad wait
    // is refused; --help and --version answer.
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
