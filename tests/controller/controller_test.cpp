// The base controller's deferral of requests and its service controls, and
// the named events beneath the remove requests: their lifetime and whom
// they trust.
#include "controller/base_controller.h"
#include "platform/win32/named_event.h"
#include "tests/controller/controller_test_support.h"
#include "tests/support/held_in_child.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

const bool kLogFiles = swtest::UseLogFiles();

// Records every request it gets, with the thread it came on.
class recording_controller : public base_controller {
public:
    std::int32_t run(std::int32_t, char16_t**) override {
        record("run");
        if (body)
            body(*this);
        return 0;
    }
    void on_shutdown() override { record("shutdown"); }
    void on_reload() override {
        record("reload");
        if (on_reload_hook)
            on_reload_hook(*this);
    }
    void on_user_signal() override { record("user"); }

    void record(const char* what) {
        std::lock_guard<std::mutex> hold(mutex);
        calls.emplace_back(what);
        last_thread = std::this_thread::get_id();
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> hold(mutex);
        return calls;
    }

    std::mutex mutex;
    std::vector<std::string> calls;
    std::thread::id last_thread;
    std::function<void(recording_controller&)> body;
    std::function<void(recording_controller&)> on_reload_hook;
};

char16_t kProgram[] = u"/usr/sbin/ovo";
char16_t* kArgv[] = {kProgram, nullptr};

std::vector<int> LoggedSince(std::size_t mark) {
    return swtest::LoggedIds(swtest::LogFiles::get().log_since(mark));
}

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
        const std::size_t mark = swtest::LogFiles::get().log_mark();
        controller.deliver_request(CONTROLLER_REQUEST_NONE); // nothing, and nothing logged
        controller.deliver_request(first);
        EXPECT_EQ(controller.pending_request(), first);
        controller.deliver_request(second);
        EXPECT_EQ(controller.pending_request(), held);
        EXPECT_TRUE(controller.Calls().empty()) << "nothing is delivered before running";
        EXPECT_EQ(LoggedSince(mark), (std::vector<int>{19004, second_message}));
        // Delivered on the thread that calls begin_running, before it returns.
        std::thread([&] {
            controller.begin_running();
            EXPECT_EQ(controller.Calls(), std::vector<std::string>{delivered});
            EXPECT_EQ(controller.last_thread, std::this_thread::get_id());
        }).join();
        EXPECT_EQ(controller.pending_request(), CONTROLLER_REQUEST_NONE);
        // Once running, each request goes straight through: nothing held or logged.
        const std::size_t after = swtest::LogFiles::get().log_mark();
        controller.deliver_request(U);
        controller.deliver_request(S);
        EXPECT_EQ(controller.Calls(), (std::vector<std::string>{delivered, "user", "shutdown"}));
        EXPECT_EQ(controller.last_thread, std::this_thread::get_id());
        EXPECT_EQ(controller.pending_request(), CONTROLLER_REQUEST_NONE);
        EXPECT_TRUE(LoggedSince(after).empty());
    }
}

TEST(ControllerDeferral, NoRequestIsLostOrDeadlockedAroundBeginRunning) {
    // The held operation may itself deliver a request while begin_running
    // still holds the lock.
    recording_controller nested;
    nested.on_reload_hook = [](recording_controller& self) {
        self.deliver_request(CONTROLLER_REQUEST_SHUTDOWN);
    };
    nested.deliver_request(CONTROLLER_REQUEST_RELOAD);
    nested.begin_running();
    EXPECT_EQ(nested.Calls(), (std::vector<std::string>{"reload", "shutdown"}));
    // A shutdown from another thread while the run thread declares itself
    // running is held and delivered, or delivered at once: never lost.
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
        ASSERT_EQ(controller.Calls(), std::vector<std::string>{"shutdown"}) << "round " << round;
    }
}

class ControllerService : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("NOTIFY_SOCKET", notify.address().c_str(), 1); }
    void TearDown() override { ::unsetenv("NOTIFY_SOCKET"); }
    swtest::NotifySocket notify;
};

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
    EXPECT_EQ(controller.Calls(), std::vector<std::string>{"run"});
    EXPECT_EQ(controller.last_state(), SERVICE_STOPPED) << "no report succeeded";
    const std::string written = swtest::LogFiles::get().events_since(events);
    // Starting, running, the extra running report, stopped; the error number
    // (connection refused) is the insertion.
    EXPECT_EQ(swtest::CountOf(written, "\"event_id\":3221227010"), 4) << written;
    EXPECT_EQ(swtest::CountOf(written, "111 Service Status Error."), 4) << written;
}

// ---------------------------------------------------------------- named events

// A name no other test or program uses.
std::u16string UniqueName(const char* what) {
    static int serial = 0;
    const std::string text = std::string("Global\\swtest-") + what + "-" +
                             std::to_string(::getpid()) + "-" + std::to_string(++serial);
    return std::u16string(text.begin(), text.end());
}

// The companion's event exists exactly as long as its creator holds it: a
// companion that dies leaves nothing behind that would turn the next agent
// into a remove pass.
TEST(NamedEvent, ExistsExactlyAsLongAsItsCreatorHoldsIt) {
    const std::u16string name = UniqueName("lifetime");
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    HANDLE opened = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    ASSERT_NE(opened, nullptr);
    CloseHandle(created);
    EXPECT_EQ(OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SetEvent(opened), FALSE) << "setting an event whose creator has gone fails";
    CloseHandle(opened);
    swtest::HeldInChild creator(
        [&] { return CreateEventW(nullptr, TRUE, FALSE, name.c_str()) != nullptr; });
    ASSERT_TRUE(creator.held());
    HANDLE while_alive = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    EXPECT_NE(while_alive, nullptr);
    creator.End();
    EXPECT_EQ(OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()), nullptr);
    if (while_alive != nullptr)
        CloseHandle(while_alive);
}

TEST(NamedEvent, OnlyRootOrTheSameUserIsTrusted) {
    // Listening: root's or our own user's events only. Setting: root's
    // event hears from system accounts (the agent's service user), nobody
    // else's from another user. Rows: peer, own user, listener, opener.
    const unsigned rows[][4] = {{0, 1000, 1, 1},    {1000, 1000, 1, 1}, {0, 0, 1, 1},
                                {1001, 1000, 0, 0}, {1000, 0, 0, 0},    {65534, 1000, 0, 0},
                                {998, 0, 0, 1},     {65534, 0, 0, 0},   {998, 1000, 0, 0}};
    for (const auto& row : rows) {
        EXPECT_EQ(NamedEventListenerTrusted(row[0], row[1]), row[2] != 0)
            << row[0] << " " << row[1];
        EXPECT_EQ(NamedEventOpenerTrusted(row[0], row[1]), row[3] != 0) << row[0] << " " << row[1];
    }
    if (::geteuid() != 0)
        return; // only root can be another user
    // Root's event opens for anyone, but another user cannot set it; and
    // another user's event is refused.
    const std::u16string name = UniqueName("stranger");
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    swtest::HeldInChild stranger([&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            return false;
        HANDLE opened = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
        return opened != nullptr && SetEvent(opened) == TRUE &&
               CreateEventW(nullptr, TRUE, FALSE, (name + u"-own").c_str()) != nullptr;
    });
    ASSERT_TRUE(stranger.held());
    EXPECT_EQ(WaitForSingleObject(created, 300), WAIT_TIMEOUT);
    EXPECT_EQ(OpenEventW(EVENT_MODIFY_STATE, FALSE, (name + u"-own").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(created);
}

} // namespace
