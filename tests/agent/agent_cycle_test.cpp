// The Agent controller's initialisation and cycle, with the engine's test
// double and a fake clock: modes, the maintenance window over whole days,
// reloads, the interval wait and its overrun, once and remove mode.
#include "agent/agent_controller.h"
#include "agent/agent_entry.h"
#include "platform/win32/named_event.h"
#include "tests/agent/agent_test_support.h"
#include "tests/agent/engine_double.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

const bool kLogFiles = swtest::UseLogFiles();

class AgentCycle : public ::testing::Test {
protected:
    void SetUp() override {
        engine_double_reset();
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        agent_load_ui_strings();
        WriteHive({});
    }
    void TearDown() override {
        if (controller) {
            controller->uninitialize();
            controller.reset();
        }
        engine_double_reset();
        ::unsetenv("SORTWELL_REGISTRY");
    }

    // The hive: the required values plus `extra`.
    void WriteHive(const std::vector<std::string>& extra, bool with_required = true) {
        static int serial = 0;
        const std::string path = dir.file("hive" + std::to_string(++serial) + ".reg");
        swtest::WriteAgentHive(path, extra, with_required);
        ::setenv("SORTWELL_REGISTRY", path.c_str(), 1);
    }

    // A new controller initialised with the program name and `args`; a
    // previous one is uninitialised first and the engine double starts anew.
    std::int32_t Initialize(const std::vector<std::u16string>& args) {
        if (controller) {
            controller->uninitialize();
            engine_double_reset();
        }
        texts = {u"/usr/sbin/ovo"};
        texts.insert(texts.end(), args.begin(), args.end());
        argv.clear();
        for (std::u16string& text : texts) {
            argv.push_back(text.data());
        }
        argv.push_back(nullptr);
        controller = std::make_unique<agent_controller>();
        log_mark = swtest::LogFiles::get().log_mark();
        return controller->initialize(static_cast<std::int32_t>(texts.size()), argv.data());
    }
    std::int32_t Run() {
        return controller->run(static_cast<std::int32_t>(texts.size()), argv.data());
    }
    std::vector<int> Logged() const {
        return swtest::LoggedIds(swtest::LogFiles::get().log_since(log_mark));
    }
    const engine_double_pass* PassAt(std::int64_t when) const {
        for (const engine_double_pass& pass : engine_double_script().passes) {
            if (pass.started == when) {
                return &pass;
            }
        }
        return nullptr;
    }
    // Runs the agent from day 0 00:00 for three days, a pass every ten minutes.
    void RunThreeDays(std::vector<std::string> extra) {
        extra.push_back(swtest::Dword("Interval (Seconds)", 600));
        WriteHive(extra);
        swtest::FakeClock clock(swtest::At(0, 0, 0));
        ASSERT_EQ(Initialize({}), 0);
        clock.after_sleep = [this](std::int64_t now) {
            if (now >= swtest::At(3, 0, 0)) {
                controller->on_shutdown();
            }
        };
        EXPECT_EQ(Run(), 0);
    }
    // The start times of the maintenance passes.
    std::vector<std::int64_t> MaintenancePasses() const {
        std::vector<std::int64_t> times;
        for (const engine_double_pass& pass : engine_double_script().passes) {
            if (pass.state == MAINTENANCE_DUE) {
                times.push_back(pass.started);
            }
        }
        return times;
    }

    swtest::TempDir dir;
    std::vector<std::u16string> texts;
    std::vector<char16_t*> argv;
    std::unique_ptr<agent_controller> controller;
    std::size_t log_mark = 0;
};

TEST(MaintenanceWindow, OpenAndPassedHoursOfBothKindsOfWindow) {
    const std::set<std::uint32_t> open_1_2 = {1};
    const std::set<std::uint32_t> held_1_2 = {1, 2};
    const std::set<std::uint32_t> open_22_6 = {22, 23, 0, 1, 2, 3, 4, 5};
    const std::set<std::uint32_t> held_22_6 = {22, 23, 0, 1, 2, 3, 4, 5, 6};
    for (std::uint32_t hour = 0; hour < 24; ++hour) {
        SCOPED_TRACE(hour);
        EXPECT_EQ(maintenance_window_open(1, 2, hour), open_1_2.count(hour) == 1);
        EXPECT_EQ(maintenance_window_passed(1, 2, hour), held_1_2.count(hour) == 0);
        EXPECT_EQ(maintenance_window_open(22, 6, hour), open_22_6.count(hour) == 1);
        EXPECT_EQ(maintenance_window_passed(22, 6, hour), held_22_6.count(hour) == 0);
        // The whole day but one hour.
        EXPECT_EQ(maintenance_window_open(0, 23, hour), hour != 23);
    }
}

TEST_F(AgentCycle, WindowOneToTwoRunsMaintenanceOncePerDay) {
    RunThreeDays({});

    const auto& passes = engine_double_script().passes;
    ASSERT_EQ(passes.size(), 3u * 24 * 6) << "one pass every ten minutes for three days";
    for (std::size_t i = 0; i < passes.size(); ++i) {
        ASSERT_EQ(passes[i].pass, i);
        ASSERT_EQ(passes[i].started, swtest::At(0, 0, 0) + static_cast<std::int64_t>(i) * 600);
    }
    EXPECT_EQ(
        MaintenancePasses(),
        (std::vector<std::int64_t>{swtest::At(0, 1, 0), swtest::At(1, 1, 0), swtest::At(2, 1, 0)}));
    EXPECT_EQ(PassAt(swtest::At(1, 0, 50))->state, MAINTENANCE_IDLE);
    EXPECT_EQ(PassAt(swtest::At(1, 1, 10))->state, MAINTENANCE_DONE);
    EXPECT_EQ(PassAt(swtest::At(1, 2, 10))->state, MAINTENANCE_DONE) << "the end hour holds";
    EXPECT_EQ(PassAt(swtest::At(1, 3, 0))->state, MAINTENANCE_DONE);
    EXPECT_EQ(PassAt(swtest::At(1, 3, 10))->state, MAINTENANCE_IDLE) << "re-armed after 03:00";
    EXPECT_EQ(Logged(), (std::vector<int>{28018, 28019, 28018, 28019, 28018, 28019}));
}

TEST_F(AgentCycle, WindowAcrossMidnightOpensAtStartAndEveryEvening) {
    RunThreeDays({swtest::Dword("Maintenance Begin (Hour)", 22),
                  swtest::Dword("Maintenance End (Hour)", 6)});

    // Open at start-up (00:00 lies in the window), then at 22:00 each day.
    EXPECT_EQ(MaintenancePasses(),
              (std::vector<std::int64_t>{swtest::At(0, 0, 0), swtest::At(0, 22, 0),
                                         swtest::At(1, 22, 0), swtest::At(2, 22, 0)}));
    EXPECT_EQ(PassAt(swtest::At(1, 5, 50))->state, MAINTENANCE_DONE);
    EXPECT_EQ(PassAt(swtest::At(1, 6, 50))->state, MAINTENANCE_DONE);
    EXPECT_EQ(PassAt(swtest::At(1, 7, 0))->state, MAINTENANCE_DONE);
    EXPECT_EQ(PassAt(swtest::At(1, 7, 10))->state, MAINTENANCE_IDLE);
    EXPECT_EQ(PassAt(swtest::At(1, 21, 50))->state, MAINTENANCE_IDLE);
    EXPECT_EQ(PassAt(swtest::At(1, 23, 0))->state, MAINTENANCE_DONE);
    const std::string logged = swtest::LogFiles::get().log_since(log_mark);
    EXPECT_EQ(swtest::CountOf(logged, "Maintenance Starting."), 4);
    EXPECT_EQ(swtest::CountOf(logged, "Maintenance Complete."), 4);
}

// A reload that arrives late in an overlong maintenance pass: the pass ends
// at once without the overrun message (the interval no longer matters), and
// the new engine starts idle, so maintenance runs again. In once mode the
// same reload is ignored: the agent ends after its one pass.
TEST_F(AgentCycle, ReloadDuringAPassStartsIdleAndIsIgnoredInOnceMode) {
    for (const bool once : {false, true}) {
        SCOPED_TRACE(once ? "once" : "normal");
        WriteHive({swtest::Dword("Interval (Seconds)", 60)});
        swtest::FakeClock clock(swtest::At(0, 1, 30));
        ASSERT_EQ(
            Initialize(once ? std::vector<std::u16string>{u"once"} : std::vector<std::u16string>{}),
            0);
        engine_double_script().pass_seconds = 120;
        clock.after_sleep = [&](std::int64_t now) {
            if (now == swtest::At(0, 1, 30) + 100)
                controller->on_reload();
        };
        engine_double_script().on_pass = [this](mailbox_engine&, std::uint32_t pass) {
            if (pass == 1)
                controller->on_shutdown();
        };
        EXPECT_EQ(Run(), 0);

        const auto& script = engine_double_script();
        EXPECT_EQ(script.passes[0].waited, 100u) << "the reload ends the pass's wait";
        if (once) {
            EXPECT_EQ(script.calls, (std::vector<std::string>{"setup", "run_pass"}));
            EXPECT_EQ(Logged(), (std::vector<int>{28018, 28019}));
            continue;
        }
        ASSERT_EQ(script.passes.size(), 2u);
        EXPECT_EQ(script.passes[0].state, MAINTENANCE_DUE);
        EXPECT_EQ(script.passes[1].state, MAINTENANCE_DUE) << "the new engine starts idle";
        EXPECT_EQ(script.passes[1].pass, 1u) << "the pass number runs on";
        EXPECT_EQ(script.passes[1].started, script.passes[0].started + 100) << "no interval wait";
        EXPECT_EQ(script.calls, (std::vector<std::string>{"setup", "run_pass", "teardown",
                                                          "destroy", "setup", "run_pass"}));
        EXPECT_EQ(script.setups.size(), 2u);
        EXPECT_EQ(Logged(), (std::vector<int>{28018, 28019, 28018, 28019})) << "no 28015";
    }
}

TEST_F(AgentCycle, OverrunIsReportedAndTheIntervalIsCountedFromThePassWait) {
    struct Case {
        std::uint32_t pass_seconds;
        std::int64_t between_passes;
        bool overrun;
    };
    const Case cases[] = {
        {100, 100, true},                  // no wait after an overrun
        {61, 61, true},   {60, 60, false}, // exactly the interval: no message, no extra wait
        {10, 60, false},  {0, 60, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pass_seconds);
        WriteHive({swtest::Dword("Interval (Seconds)", 60)});
        swtest::FakeClock clock(swtest::At(0, 12, 0));
        ASSERT_EQ(Initialize({}), 0);
        engine_double_script().pass_seconds = c.pass_seconds;
        engine_double_script().on_pass = [this](mailbox_engine&, std::uint32_t pass) {
            if (pass == 2) {
                controller->on_shutdown();
            }
        };
        EXPECT_EQ(Run(), 0);
        const auto& passes = engine_double_script().passes;
        ASSERT_EQ(passes.size(), 3u);
        EXPECT_EQ(passes[1].started - passes[0].started, c.between_passes);
        EXPECT_EQ(passes[2].started - passes[1].started, c.between_passes);
        const std::string logged = swtest::LogFiles::get().log_since(log_mark);
        if (c.overrun) {
            EXPECT_EQ(Logged(), (std::vector<int>{28015, 28015})) << logged;
            const std::string text = "The operation took too long to complete (" +
                                     std::to_string(c.pass_seconds) +
                                     " seconds), so there will be no delay before continuing. "
                                     "You may want to increase your Sortwell interval.";
            EXPECT_EQ(swtest::CountOf(logged, text), 2) << logged;
            EXPECT_NE(logged.find("(WARNING:"), std::string::npos);
        } else {
            EXPECT_TRUE(Logged().empty()) << logged;
        }
    }
}

TEST_F(AgentCycle, ShutdownDuringTheIntervalWaitEndsWithinASecond) {
    swtest::FakeClock clock(swtest::At(0, 12, 0));
    ASSERT_EQ(Initialize({}), 0);
    std::int64_t asked = 0;
    clock.after_sleep = [&](std::int64_t now) {
        if (asked == 0 && now >= swtest::At(0, 12, 20)) {
            asked = now;
            controller->on_shutdown();
        }
    };
    EXPECT_EQ(Run(), 0);
    ASSERT_NE(asked, 0);
    EXPECT_LE(clock.seconds() - asked, 1);
    EXPECT_EQ(engine_double_script().passes.size(), 1u);
}

TEST_F(AgentCycle, StopHeldDuringStartupMeansNoPass) {
    ASSERT_EQ(Initialize({}), 0);
    controller->deliver_request(CONTROLLER_REQUEST_SHUTDOWN);
    EXPECT_EQ(controller->stop_flag.load(), 0) << "held until the cycle begins";
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(controller->stop_flag.load(), 1);
    EXPECT_TRUE(engine_double_script().passes.empty());
}

TEST_F(AgentCycle, ModesFromTheFirstArgument) {
    struct Case {
        std::vector<std::u16string> args;
        std::uint8_t once;
        std::uint8_t remove;
    };
    const Case cases[] = {
        {{}, 0, 0},
        {{u"once"}, 1, 0},
        {{u"ONCE"}, 1, 0},
        {{u"remove"}, 1, 1},
        {{u"Remove"}, 1, 1},
        {{u"remove", u"once"}, 1, 1},
        {{u"remove", u"anything"}, 1, 1},
        {{u"once", u"remove"}, 1, 0},
        {{u"once", u"foo"}, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? std::string("(none)")
                                    : std::string(c.args[0].begin(), c.args[0].end()));
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(Initialize(c.args), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(controller->once_flag, c.once);
        EXPECT_EQ(controller->remove_flag, c.remove);
    }

    for (const std::vector<std::u16string>& bad :
         {std::vector<std::u16string>{u"foo"}, {u"foo", u"remove"}, {u""}, {u"removes"}}) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(Initialize(bad), 1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  "Unrecognized argument.\n\n\nUsage: ovo.exe [remove] [once]\n");
        EXPECT_TRUE(engine_double_script().calls.empty()) << "nothing else is set up";
    }
}

TEST_F(AgentCycle, SettingsGoToTheEngineInOrder) {
    WriteHive({swtest::Dword("ThreadCount", 8), swtest::Dword("Spam Retention (Days)", 14),
               swtest::Dword("Expunge Report", 10), swtest::Dword("RunMaintenanceOnly", 1)});
    ASSERT_EQ(Initialize({}), 0);
    const auto& setups = engine_double_script().setups;
    ASSERT_EQ(setups.size(), 1u);
    EXPECT_EQ(setups[0].thread_count, 8u);
    EXPECT_EQ(setups[0].retention, 14u);
    EXPECT_EQ(setups[0].report, 10u);
    EXPECT_EQ(setups[0].alias, u"sortwell-admin");
    EXPECT_EQ(setups[0].server, u"MAIL01");
    EXPECT_EQ(setups[0].spam_folder, u"Junk Mail");
    EXPECT_EQ(setups[0].spam_substring, u"X-Spam-Flag: YES");
    // The texts are the controller's own fields, not copies.
    EXPECT_EQ(controller->engine->alias, controller->settings.alias);
    EXPECT_EQ(controller->engine->spam_folder, controller->settings.spam_folder);

    swtest::FakeClock clock(swtest::At(0, 12, 0));
    engine_double_script().on_pass = [this](mailbox_engine&, std::uint32_t) {
        controller->on_shutdown();
    };
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(engine_double_script().passes.size(), 1u);
    EXPECT_EQ(engine_double_script().passes[0].maintenance_only, 1);
    EXPECT_EQ(engine_double_script().passes[0].remove, 0);
}

TEST_F(AgentCycle, FailedSetupOrSettingsFailInitializeAndLeaveTheRestToUninitialize) {
    engine_double_script().setup_result = 28004;
    EXPECT_EQ(Initialize({}), 1);
    ASSERT_NE(controller->engine, nullptr);
    controller->uninitialize();
    EXPECT_EQ(controller->engine, nullptr);
    EXPECT_EQ(engine_double_script().calls,
              (std::vector<std::string>{"setup", "teardown", "destroy"}));

    WriteHive({}, false);
    EXPECT_EQ(Initialize({}), 1);
    EXPECT_EQ(Logged(), std::vector<int>{28001});
    EXPECT_TRUE(engine_double_script().calls.empty()) << "no setup without settings";
}

TEST_F(AgentCycle, FailedReinitializationEndsTheCycle) {
    swtest::FakeClock clock(swtest::At(0, 12, 0));
    ASSERT_EQ(Initialize({}), 0);
    engine_double_script().on_pass = [this](mailbox_engine&, std::uint32_t) {
        WriteHive({}, false); // the values are gone by the time of the reload
        controller->on_reload();
    };
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(controller->stop_flag.load(), 1);
    EXPECT_EQ(engine_double_script().passes.size(), 1u);
    EXPECT_EQ(Logged(), std::vector<int>{28001});
    controller->uninitialize();
    EXPECT_EQ(engine_double_script().calls,
              (std::vector<std::string>{"setup", "run_pass", "teardown", "destroy", "teardown",
                                        "destroy"}));
}

TEST_F(AgentCycle, OnceModeEndsAfterOnePassWithoutWaiting) {
    swtest::FakeClock clock(swtest::At(0, 12, 0));
    ASSERT_EQ(Initialize({u"once"}), 0);
    engine_double_script().pass_seconds = 3;
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(engine_double_script().passes.size(), 1u);
    EXPECT_EQ(engine_double_script().passes[0].remove, 0);
    EXPECT_EQ(clock.seconds(), swtest::At(0, 12, 0) + 3) << "only the pass's own wait";
    EXPECT_TRUE(Logged().empty());
}

TEST_F(AgentCycle, RemoveEventChoosesRemoveModeAndIsSetAfterThePass) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, AGENT_REMOVE_EVENT_NAME);
    ASSERT_NE(event, nullptr);
    ASSERT_NE(GetLastError(), ERROR_ALREADY_EXISTS) << "another program holds the event";
    swtest::FakeClock clock(swtest::At(0, 12, 0));

    for (const std::vector<std::u16string>& args :
         {std::vector<std::u16string>{}, {u"once"}, {u"remove"}}) {
        ASSERT_EQ(Initialize(args), 0);
        EXPECT_EQ(controller->remove_flag, 1);
        EXPECT_EQ(controller->once_flag, 1);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
        // A stop during the pass does not keep the event from being set.
        engine_double_script().on_pass = [this](mailbox_engine&, std::uint32_t) {
            controller->on_shutdown();
        };
        EXPECT_EQ(Run(), 0);
        ASSERT_EQ(engine_double_script().passes.size(), 1u);
        EXPECT_EQ(engine_double_script().passes[0].remove, 1);
        EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    }
    CloseHandle(event);

    // Once the creator lets go, the agent runs as its arguments say.
    ASSERT_EQ(Initialize({}), 0);
    EXPECT_EQ(controller->remove_flag, 0);
    EXPECT_EQ(controller->once_flag, 0);
    EXPECT_EQ(controller->remove_event, nullptr);
}

} // namespace
