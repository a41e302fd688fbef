// The base controller: the deferral of requests before begin_running, the
// console run, and the service run under the stand-in service manager with
// a captured notification socket.
#include "controller/base_controller.h"
#include "platform/win32/console.h"
#include "platform/win32/service.h"
#include "tests/controller/controller_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

const bool kLogFiles = swtest::UseLogFiles();

// Records every derived operation with the thread it ran on.
class recording_controller : public base_controller {
public:
    std::int32_t run(std::int32_t, char16_t**) override {
        record("run");
        if (body) {
            body(*this);
        }
        return run_result;
    }
    void on_shutdown() override {
        record("shutdown");
        ++shutdowns;
    }
    void on_reload() override {
        record("reload");
        if (on_reload_hook) {
            on_reload_hook(*this);
        }
    }
    void on_user_signal() override { record("user"); }
    std::int32_t initialize(std::int32_t argc, char16_t** argv) override {
        record("initialize");
        for (std::int32_t i = 0; i < argc; ++i) {
            init_args.emplace_back(argv[i]);
        }
        return initialize_result;
    }
    void uninitialize() override { record("uninitialize"); }

    void record(const char* what) {
        std::lock_guard<std::mutex> hold(mutex);
        calls.emplace_back(what);
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<std::string> calls_copy() {
        std::lock_guard<std::mutex> hold(mutex);
        return calls;
    }

    std::mutex mutex;
    std::vector<std::string> calls;
    std::vector<std::thread::id> threads;
    std::vector<std::u16string> init_args;
    std::atomic<int> shutdowns{0};
    std::int32_t initialize_result = 0;
    std::int32_t run_result = 0;
    std::function<void(recording_controller&)> body;
    std::function<void(recording_controller&)> on_reload_hook;
};

char16_t kProgram[] = u"/usr/sbin/ovo";
char16_t* kArgv[] = {kProgram, nullptr};

// ---------------------------------------------------------------- deferral

TEST(ControllerDeferral, EveryPairOfRequestsBeforeRunning) {
    constexpr std::int32_t S = CONTROLLER_REQUEST_SHUTDOWN, R = CONTROLLER_REQUEST_RELOAD,
                           U = CONTROLLER_REQUEST_USER_SIGNAL;
    // First request, second, what is held after both, the message logged for
    // the second, and what begin_running calls.
    // clang-format off
    const std::tuple<std::int32_t, std::int32_t, std::int32_t, int, const char*> rows[] = {
        {S, S, S, 19002, "shutdown"}, {S, R, S, 19003, "shutdown"}, {S, U, S, 19003, "shutdown"},
        {R, S, S, 19001, "shutdown"}, {R, R, R, 19001, "reload"},   {R, U, U, 19001, "user"},
        {U, S, S, 19001, "shutdown"}, {U, R, R, 19001, "reload"},   {U, U, U, 19001, "user"},
    };
    // clang-format on
    for (const auto& [first, second, held, second_message, delivered] : rows) {
        SCOPED_TRACE(testing::Message() << "first " << first << ", then " << second);
        recording_controller controller;
        ASSERT_TRUE(controller.constructed());
        const std::size_t mark = swtest::LogFiles::get().log_mark();
        controller.deliver_request(first);
        EXPECT_EQ(controller.pending_request(), first);
        controller.deliver_request(second);
        EXPECT_EQ(controller.pending_request(), held);
        EXPECT_TRUE(controller.calls_copy().empty()) << "nothing is delivered before running";
        EXPECT_EQ(swtest::LoggedIds(swtest::LogFiles::get().log_since(mark)),
                  (std::vector<int>{19004, second_message}));

        controller.begin_running();
        EXPECT_EQ(controller.calls_copy(), std::vector<std::string>{delivered});
        EXPECT_EQ(controller.pending_request(), CONTROLLER_REQUEST_NONE);
    }
}

TEST(ControllerDeferral, DeliveryBeforeAndAfterRunning) {
    recording_controller controller;
    const std::size_t mark = swtest::LogFiles::get().log_mark();

    // No request is no request, before and after running, and logs nothing.
    controller.deliver_request(CONTROLLER_REQUEST_NONE);
    EXPECT_EQ(controller.pending_request(), CONTROLLER_REQUEST_NONE);
    EXPECT_TRUE(swtest::LoggedIds(swtest::LogFiles::get().log_since(mark)).empty());

    // A held reload reaches on_reload on the thread that calls begin_running,
    // before begin_running returns.
    controller.deliver_request(CONTROLLER_REQUEST_RELOAD);
    std::thread runner([&] {
        controller.begin_running();
        EXPECT_EQ(controller.calls_copy(), std::vector<std::string>{"reload"});
        EXPECT_EQ(controller.threads.back(), std::this_thread::get_id());
    });
    runner.join();

    // Once running, each request goes straight to its operation on the
    // calling thread, with nothing logged and nothing held.
    const std::size_t after = swtest::LogFiles::get().log_mark();
    controller.deliver_request(CONTROLLER_REQUEST_USER_SIGNAL);
    controller.deliver_request(CONTROLLER_REQUEST_SHUTDOWN);
    controller.deliver_request(CONTROLLER_REQUEST_SHUTDOWN);
    EXPECT_EQ(controller.calls_copy(),
              (std::vector<std::string>{"reload", "user", "shutdown", "shutdown"}));
    EXPECT_EQ(controller.threads.back(), std::this_thread::get_id());
    EXPECT_EQ(controller.pending_request(), CONTROLLER_REQUEST_NONE);
    EXPECT_TRUE(swtest::LoggedIds(swtest::LogFiles::get().log_since(after)).empty());
}

TEST(ControllerDeferral, HeldRequestMayDeliverAnotherWithoutDeadlock) {
    recording_controller controller;
    // The reload operation asks for a shutdown while begin_running still
    // holds the request lock.
    controller.on_reload_hook = [](recording_controller& self) {
        self.deliver_request(CONTROLLER_REQUEST_SHUTDOWN);
    };
    controller.deliver_request(CONTROLLER_REQUEST_RELOAD);
    controller.begin_running();
    EXPECT_EQ(controller.calls_copy(), (std::vector<std::string>{"reload", "shutdown"}));
}

TEST(ControllerDeferral, NoRequestIsLostAroundBeginRunning) {
    // A control thread delivers shutdowns while the run thread declares
    // itself running: every shutdown is either held and delivered by
    // begin_running, or delivered at once. Held ones fold into one.
    for (int round = 0; round < 200; ++round) {
        recording_controller controller;
        std::atomic<bool> go{false};
        std::thread control([&] {
            while (!go.load()) {
            }
            controller.deliver_request(CONTROLLER_REQUEST_SHUTDOWN);
        });
        go.store(true);
        controller.begin_running();
        control.join();
        ASSERT_EQ(controller.shutdowns.load(), 1) << "round " << round;
        EXPECT_EQ(controller.pending_request(), CONTROLLER_REQUEST_NONE);
    }
}

// ---------------------------------------------------------------- console

class ControllerConsole : public ::testing::Test {
protected:
    void SetUp() override { ::unsetenv("NOTIFY_SOCKET"); }
};

TEST_F(ControllerConsole, RunsInitializeRunUninitializeOnTheMainThread) {
    recording_controller controller;
    controller.run_result = 7;
    const std::size_t events = swtest::LogFiles::get().event_mark();
    const std::int32_t result = controller.start(u"XALSWL", u"Display", 1, kArgv);
    EXPECT_EQ(result, 7) << "in the console the exit status is run's result";
    EXPECT_FALSE(controller.service_mode());
    EXPECT_EQ(controller.calls_copy(),
              (std::vector<std::string>{"initialize", "run", "uninitialize"}));
    for (const std::thread::id& id : controller.threads) {
        EXPECT_EQ(id, std::this_thread::get_id());
    }
    ASSERT_EQ(controller.init_args.size(), 1u);
    EXPECT_EQ(controller.init_args[0], u"/usr/sbin/ovo");
    EXPECT_EQ(swtest::LogFiles::get().events_since(events).find("\"category\":39"),
              std::string::npos)
        << "the console run writes no service events";
}

TEST_F(ControllerConsole, FailedInitializeSkipsRunButNotUninitialize) {
    recording_controller controller;
    controller.initialize_result = 3;
    EXPECT_EQ(controller.start(u"XALSWL", u"Display", 1, kArgv), 3);
    EXPECT_EQ(controller.calls_copy(), (std::vector<std::string>{"initialize", "uninitialize"}));
}

TEST_F(ControllerConsole, MissingNamesRefuseToStartAndLongNamesAreCut) {
    recording_controller refused;
    EXPECT_EQ(refused.start(nullptr, u"Display", 1, kArgv), 1);
    EXPECT_EQ(refused.start(u"XALSWL", nullptr, 1, kArgv), 1);
    EXPECT_TRUE(refused.calls_copy().empty());

    recording_controller controller;
    const std::u16string long_name(300, u'n');
    const std::u16string long_display(400, u'd');
    EXPECT_EQ(controller.start(long_name.c_str(), long_display.c_str(), 1, kArgv), 0);
    EXPECT_EQ(std::u16string(controller.service_name()), long_name.substr(0, 255));
    EXPECT_EQ(std::u16string(controller.display_name()), long_display.substr(0, 255));
}

TEST_F(ControllerConsole, ControlCIsAShutdownAndOtherEventsAreLeftToTheSystem) {
    recording_controller controller;
    controller.body = [](recording_controller& self) {
        self.begin_running();
        EXPECT_EQ(base_controller::console_ctrl_handler(CTRL_BREAK_EVENT), FALSE);
        EXPECT_EQ(base_controller::console_ctrl_handler(CTRL_CLOSE_EVENT), FALSE);
        EXPECT_EQ(base_controller::console_ctrl_handler(CTRL_LOGOFF_EVENT), FALSE);
        EXPECT_EQ(self.shutdowns.load(), 0);
        EXPECT_EQ(base_controller::console_ctrl_handler(CTRL_C_EVENT), TRUE);
        EXPECT_EQ(self.shutdowns.load(), 1);
    };
    EXPECT_EQ(controller.start(u"XALSWL", u"Display", 1, kArgv), 0);
    EXPECT_EQ(controller.calls_copy(),
              (std::vector<std::string>{"initialize", "run", "shutdown", "uninitialize"}));
}

TEST(ControllerStatus, ControlsAcceptedFollowTheMajorVersion) {
    EXPECT_EQ(base_controller::controls_accepted(0x00000004), 5u);
    EXPECT_EQ(base_controller::controls_accepted(0x0A280004), 5u) << "only the low byte counts";
    EXPECT_EQ(base_controller::controls_accepted(0x00000005), 13u);
    EXPECT_EQ(base_controller::controls_accepted(0x00000106), 13u);
    EXPECT_EQ(base_controller::controls_accepted(0x00000003), 5u);
}

// ---------------------------------------------------------------- service

class ControllerService : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("NOTIFY_SOCKET", notify.address().c_str(), 1); }
    void TearDown() override { ::unsetenv("NOTIFY_SOCKET"); }
    swtest::NotifySocket notify;
};

TEST_F(ControllerService, StatusSequenceEventsAndDeferredStop) {
    recording_controller controller;
    controller.run_result = 9;
    std::thread::id main_thread = std::this_thread::get_id();
    controller.body = [&](recording_controller& self) {
        EXPECT_NE(std::this_thread::get_id(), main_thread) << "the service runs on its own thread";
        // An interrogation repeats the last state and delivers nothing.
        base_controller::service_ctrl_handler(SERVICE_CONTROL_INTERROGATE);
        EXPECT_EQ(self.pending_request(), CONTROLLER_REQUEST_NONE);
        // A stop before begin_running is answered at once and held.
        base_controller::service_ctrl_handler(SERVICE_CONTROL_STOP);
        EXPECT_EQ(self.last_state(), SERVICE_STOP_PENDING);
        EXPECT_EQ(self.pending_request(), CONTROLLER_REQUEST_SHUTDOWN);
        EXPECT_EQ(self.shutdowns.load(), 0);
        self.begin_running();
        EXPECT_EQ(self.shutdowns.load(), 1);
    };
    const std::size_t events = swtest::LogFiles::get().event_mark();
    const std::size_t log = swtest::LogFiles::get().log_mark();

    EXPECT_EQ(controller.start(u"XALSWL", u"Altavane Sortwell for Exchange", 1, kArgv), 0)
        << "a service run returns 0 whatever run returned";
    EXPECT_TRUE(controller.service_mode());
    EXPECT_EQ(controller.calls_copy(),
              (std::vector<std::string>{"initialize", "run", "shutdown", "uninitialize"}));
    ASSERT_FALSE(controller.init_args.empty());
    EXPECT_EQ(controller.init_args[0], u"XALSWL") << "argument 0 of a service is its name";

    EXPECT_EQ(notify.Take(),
              (std::vector<std::string>{"STATUS=Starting", "READY=1\nSTATUS=Running",
                                        "READY=1\nSTATUS=Running", "STOPPING=1\nSTATUS=Stopping",
                                        "STATUS=Stopped"}));
    EXPECT_EQ(controller.last_state(), SERVICE_STOP_PENDING)
        << "the stopped state is reported but not kept as the last state";

    // The started and stopped events' texts: the service end-to-end tests.
    const std::string written = swtest::LogFiles::get().events_since(events);
    EXPECT_EQ(swtest::CountOf(written, "\"event_id\":1073743360"), 1) << written; // started
    EXPECT_EQ(swtest::CountOf(written, "\"event_id\":1073743361"), 1) << written; // stopped
    EXPECT_LT(written.find("\"event_id\":1073743360"), written.find("\"event_id\":1073743361"));
    EXPECT_EQ(swtest::CountOf(written, "\"category\":39"), 2) << written;
    EXPECT_EQ(swtest::LoggedIds(swtest::LogFiles::get().log_since(log)), std::vector<int>{19004});
}

TEST_F(ControllerService, ReloadAndUserControlsRepeatTheLastState) {
    recording_controller controller;
    controller.body = [](recording_controller& self) {
        self.begin_running();
        base_controller::service_ctrl_handler(SERVICE_CONTROL_PARAMCHANGE);
        base_controller::service_ctrl_handler(SERVICE_CONTROL_USER_SIGNAL);
        base_controller::service_ctrl_handler(SERVICE_CONTROL_SHUTDOWN);
    };
    EXPECT_EQ(controller.start(u"XALSWL", u"Display", 1, kArgv), 0);
    EXPECT_EQ(controller.calls_copy(),
              (std::vector<std::string>{"initialize", "run", "reload", "user", "shutdown",
                                        "uninitialize"}));
    EXPECT_EQ(notify.Take(),
              (std::vector<std::string>{"STATUS=Starting", "READY=1\nSTATUS=Running",
                                        "READY=1\nSTATUS=Running", "READY=1\nSTATUS=Running",
                                        "STOPPING=1\nSTATUS=Stopping", "STATUS=Stopped"}));
}

TEST_F(ControllerService, FailedReportsBecomeStatusErrorEvents) {
    // Nothing listens at this address: every report fails.
    ::setenv("NOTIFY_SOCKET", "@swtest-nobody-listens-here", 1);
    recording_controller controller;
    controller.body = [](recording_controller& self) {
        self.begin_running();
        EXPECT_EQ(self.report_status(SERVICE_RUNNING), 0);
    };
    const std::size_t events = swtest::LogFiles::get().event_mark();
    EXPECT_EQ(controller.start(u"XALSWL", u"Display", 1, kArgv), 0);
    EXPECT_EQ(controller.calls_copy(),
              (std::vector<std::string>{"initialize", "run", "uninitialize"}))
        << "a failed report changes nothing else";
    EXPECT_EQ(controller.last_state(), SERVICE_STOPPED) << "no report succeeded";
    const std::string written = swtest::LogFiles::get().events_since(events);
    // Starting, running, the extra running report, stopped.
    EXPECT_EQ(swtest::CountOf(written, "\"event_id\":3221227010"), 4) << written;
    EXPECT_EQ(swtest::CountOf(written, "111 Service Status Error."), 4)
        << "the error number (connection refused) is the insertion";
}

} // namespace
