// The program as a user meets it: its command line, its console signals,
// its life as a systemd service and the remove-rules event. The program is
// the real entry, controller and platform code; its mailbox engine is the
// test double, which writes what it is asked to do to a trace file.
#include "agent/agent_controller.h"
#include "platform/win32/named_event.h"
#include "tests/agent/agent_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <thread>
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
constexpr const char* kStoppedId = "\"event_id\":1073743361";

class AgentProcess : public ::testing::Test {
protected:
    // A hive with the required values (or an empty one).
    void Hive(bool with_required, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> lines;
        if (with_required) {
            lines = swtest::RequiredValues();
        }
        lines.insert(lines.end(), extra.begin(), extra.end());
        swtest::WriteFile(hive(), swtest::HiveText(lines));
    }
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
            {{"foo"}, kUnrecognized},
            {{"foo", "remove"}, kUnrecognized},
            {{"remove"}, kBanner},
            {{"REMOVE"}, kBanner},
            {{"remove", "once"}, ""}, // more than one argument: no banner
            {{"remove", "foo"}, ""},
            {{"once", "foo"}, ""},
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

// ---------------------------------------------------------------- console

TEST_F(AgentProcess, ControlCAndSigtermEndThroughUninitialize) {
    Hive(true);
    for (int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        swtest::WriteFile(trace(), "");
        auto child = Start({});
        ASSERT_TRUE(swtest::WaitForText(trace(), "pass_end", 10000)) << Trace();
        ::kill(child->pid(), signal_number);
        ASSERT_TRUE(child->Wait(5000)) << "the cycle looks at the stop flag every second";
        EXPECT_EQ(child->result().exit_code, 0);
        const std::string trace_text = Trace();
        EXPECT_NE(trace_text.find("run_pass pass=0 remove=0 maintenance_only=0"), std::string::npos)
            << trace_text;
        EXPECT_EQ(trace_text.substr(trace_text.size() - 17), "teardown\ndestroy\n") << trace_text;
        EXPECT_EQ(swtest::CountOf(trace_text, "run_pass"), 1);
    }
}

TEST_F(AgentProcess, ControlBreakAndClosingTheConsoleEndAtOnce) {
    Hive(true);
    for (int signal_number : {SIGQUIT, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        swtest::WriteFile(trace(), "");
        auto child = Start({});
        ASSERT_TRUE(swtest::WaitForText(trace(), "pass_end", 10000)) << Trace();
        ::kill(child->pid(), signal_number);
        ASSERT_TRUE(child->Wait(5000));
        EXPECT_EQ(child->result().signal, signal_number);
        EXPECT_EQ(Trace().find("teardown"), std::string::npos) << "nothing is torn down";
    }
}

// ---------------------------------------------------------------- service

// The service's state reports, without the per-pass status lines that come
// between them.
std::vector<std::string> Lifecycle(const std::vector<std::string>& messages) {
    std::vector<std::string> states;
    for (const std::string& message : messages) {
        if (message.rfind("STATUS=Pass ", 0) != 0) {
            states.push_back(message);
        }
    }
    return states;
}

TEST_F(AgentProcess, ServiceReportsItsStatesReloadsAndStops) {
    Hive(true);
    swtest::NotifySocket notify;
    auto child = Start({}, {"NOTIFY_SOCKET=" + notify.address()});
    std::vector<std::string> seen;
    ASSERT_TRUE(notify.WaitFor("READY=1", 10000, &seen));
    ASSERT_TRUE(swtest::WaitForText(trace(), "pass_end", 10000));
    EXPECT_EQ(Lifecycle(seen),
              (std::vector<std::string>{"STATUS=Starting", "READY=1\nSTATUS=Running"}));
    // After its pass the service says how it went.
    seen.clear();
    ASSERT_TRUE(notify.WaitFor("STATUS=Pass 1: ", 5000, &seen));
    EXPECT_EQ(seen.back().rfind("STATUS=Pass 1: 0 of 0 mailboxes done in ", 0), 0u) << seen.back();

    // Reload: the engine is torn down and set up again, and the next pass
    // runs on with the next number.
    ::kill(child->pid(), SIGHUP);
    seen.clear();
    ASSERT_TRUE(notify.WaitFor("READY=1", 5000, &seen));
    ASSERT_TRUE(swtest::WaitForText(trace(), "run_pass pass=1", 5000)) << Trace();
    EXPECT_NE(Trace().find("teardown\ndestroy\nsetup threads=5"), std::string::npos) << Trace();

    // The user control changes nothing the agent does.
    ::kill(child->pid(), SIGUSR1);
    seen.clear();
    ASSERT_TRUE(notify.WaitFor("READY=1", 5000, &seen));

    ::kill(child->pid(), SIGTERM);
    ASSERT_TRUE(child->Wait(5000));
    EXPECT_EQ(child->result().exit_code, 0);
    seen.clear();
    notify.WaitFor("STATUS=Stopped", 1000, &seen);
    EXPECT_EQ(Lifecycle(seen),
              (std::vector<std::string>{"STOPPING=1\nSTATUS=Stopping", "STATUS=Stopped"}));
    EXPECT_EQ(swtest::CountOf(Trace(), "run_pass"), 2);

    const std::string written = swtest::ReadFile(events());
    EXPECT_EQ(swtest::CountOf(written, kStartedId), 1) << written;
    EXPECT_EQ(swtest::CountOf(written, kStoppedId), 1) << written;
    EXPECT_NE(written.find("Altavane Sortwell for Exchange started."), std::string::npos);
    EXPECT_NE(written.find("Altavane Sortwell for Exchange stopped."), std::string::npos);
}

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
    EXPECT_EQ(Lifecycle(notify.Take()),
              (std::vector<std::string>{"STATUS=Starting", "STOPPING=1\nSTATUS=Stopping",
                                        "READY=1\nSTATUS=Running", "STATUS=Stopped"}));
    const std::string written = swtest::ReadFile(events());
    EXPECT_NE(written.find("[19004] Signal delivery deferred until server is fully operational."),
              std::string::npos)
        << written;
}

TEST_F(AgentProcess, ServiceThatCannotInitializeStopsWithoutStarting) {
    Hive(false);
    swtest::NotifySocket notify;
    auto child = Start({}, {"NOTIFY_SOCKET=" + notify.address()});
    ASSERT_TRUE(child->Wait(10000));
    EXPECT_EQ(child->result().exit_code, 0) << "a service reports its end through its status";
    EXPECT_EQ(Lifecycle(notify.Take()),
              (std::vector<std::string>{"STATUS=Starting", "STATUS=Stopped"}));
    const std::string written = swtest::ReadFile(events());
    EXPECT_EQ(swtest::CountOf(written, kStartedId), 0);
    EXPECT_EQ(swtest::CountOf(written, kStoppedId), 1);
    EXPECT_NE(written.find("registry: Alias."), std::string::npos);
}

TEST_F(AgentProcess, ServiceArgumentsComeFromTheCommandLine) {
    Hive(true);
    swtest::NotifySocket notify;
    auto child = Start({"once"}, {"NOTIFY_SOCKET=" + notify.address()});
    ASSERT_TRUE(child->Wait(10000)) << "once mode ends by itself";
    EXPECT_EQ(child->result().exit_code, 0);
    EXPECT_EQ(swtest::CountOf(Trace(), "run_pass pass=0 remove=0"), 1) << Trace();
    EXPECT_EQ(
        Lifecycle(notify.Take()),
        (std::vector<std::string>{"STATUS=Starting", "READY=1\nSTATUS=Running", "STATUS=Stopped"}));
}

// ---------------------------------------------------------------- remove event

TEST_F(AgentProcess, RemoveEventAsksForOneRemovePassAndIsSetAfterIt) {
    Hive(true);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, AGENT_REMOVE_EVENT_NAME);
    ASSERT_NE(event, nullptr);
    ASSERT_NE(GetLastError(), ERROR_ALREADY_EXISTS) << "another program holds the event";
    auto child = Start({});
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(child->Wait(10000));
    EXPECT_EQ(child->result().exit_code, 0);
    EXPECT_EQ(child->result().out, "") << "the banner is only for the argument";
    const std::string trace_text = Trace();
    EXPECT_EQ(swtest::CountOf(trace_text, "run_pass"), 1);
    EXPECT_NE(trace_text.find("run_pass pass=0 remove=1"), std::string::npos) << trace_text;
    CloseHandle(event);
}

TEST_F(AgentProcess, RemoveEventOfAnotherUserIsIgnored) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to create the event as another user";
    }
    Hive(true);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t creator = ::fork();
    ASSERT_GE(creator, 0);
    if (creator == 0) {
        char state = 'n';
        if (::setgid(65534) == 0 && ::setuid(65534) == 0 &&
            CreateEventW(nullptr, FALSE, FALSE, AGENT_REMOVE_EVENT_NAME) != nullptr) {
            state = 'y';
        }
        ssize_t ignored = ::write(ready[1], &state, 1);
        (void)ignored;
        ::pause();
        ::_exit(0);
    }
    char state = 0;
    ASSERT_EQ(::read(ready[0], &state, 1), 1);
    ASSERT_EQ(state, 'y');

    auto child = Start({});
    ASSERT_TRUE(swtest::WaitForText(trace(), "pass_end", 10000));
    ::kill(child->pid(), SIGTERM);
    ASSERT_TRUE(child->Wait(5000));
    EXPECT_EQ(child->result().exit_code, 0) << "normal mode runs until stopped";
    EXPECT_NE(Trace().find("run_pass pass=0 remove=0"), std::string::npos) << Trace();
    ::kill(creator, SIGKILL);
    ::waitpid(creator, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(AgentProcess, CompanionRunsTheAgentAndReportsThePass) {
    Hive(true);
    auto child = swtest::Process::Start(swtest::RemoveRulesProgram(), {SW_AGENT_TESTPROG}, Env());
    ASSERT_TRUE(child->Wait(15000));
    EXPECT_EQ(child->result().exit_code, 0);
    EXPECT_EQ(child->result().out, "The remove pass is over.\n");
    EXPECT_NE(Trace().find("run_pass pass=0 remove=1"), std::string::npos) << Trace();

    // A command that is no agent finishes no pass.
    auto idle = swtest::Process::Start(swtest::RemoveRulesProgram(), {"true"}, Env());
    ASSERT_TRUE(idle->Wait(10000));
    EXPECT_EQ(idle->result().exit_code, 1);
    EXPECT_EQ(idle->result().out, "");
}

TEST_F(AgentProcess, CompanionWaitsForAnAgentAndRefusesASecondRequest) {
    Hive(true);
    auto waiting = swtest::Process::Start(swtest::RemoveRulesProgram(), {"--wait", "20"}, Env());
    // The event exists once the companion is waiting.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    HANDLE probe = nullptr;
    while (probe == nullptr && std::chrono::steady_clock::now() < end) {
        probe = OpenEventW(SYNCHRONIZE, FALSE, AGENT_REMOVE_EVENT_NAME);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(probe, nullptr);
    CloseHandle(probe);

    auto second = swtest::Process::Start(swtest::RemoveRulesProgram(), {"--wait", "1"}, Env());
    ASSERT_TRUE(second->Wait(10000));
    EXPECT_EQ(second->result().exit_code, 2) << "one request at a time";

    // An agent that starts now does the pass and sets the event.
    auto agent = Start({});
    ASSERT_TRUE(agent->Wait(10000));
    EXPECT_EQ(agent->result().exit_code, 0);
    ASSERT_TRUE(waiting->Wait(10000));
    EXPECT_EQ(waiting->result().exit_code, 0);
    EXPECT_EQ(waiting->result().out, "The remove pass is over.\n");

    // Nobody to do the pass: the wait runs out. A bad wait is refused.
    auto alone = swtest::Process::Start(swtest::RemoveRulesProgram(), {"--wait", "1"}, Env());
    ASSERT_TRUE(alone->Wait(10000));
    EXPECT_EQ(alone->result().exit_code, 1);
    auto bad = swtest::Process::Start(swtest::RemoveRulesProgram(), {"--wait", "soon"}, Env());
    ASSERT_TRUE(bad->Wait(10000));
    EXPECT_EQ(bad->result().exit_code, 2);
}

} // namespace
