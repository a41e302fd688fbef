// Events over abstract Unix sockets: creating, opening, setting, waiting,
// their lifetime, and the credential check on opening.
#include "platform/win32/named_event.h"
#include "tests/support/held_in_child.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// A name no other test or program uses.
std::u16string UniqueName(const char* what) {
    static int serial = 0;
    const std::string text = std::string("Global\\swtest-") + what + "-" +
                             std::to_string(::getpid()) + "-" + std::to_string(++serial);
    return std::u16string(text.begin(), text.end());
}

TEST(NamedEvent, OpenSetAndWaitAcrossHandles) {
    const std::u16string name = UniqueName("basic");
    HANDLE created = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(created, 0), WAIT_TIMEOUT);

    HANDLE opened = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(WaitForSingleObject(created, 50), WAIT_TIMEOUT) << "opening does not set it";
    ASSERT_EQ(SetEvent(opened), TRUE);
    EXPECT_EQ(WaitForSingleObject(created, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(created, 0), WAIT_TIMEOUT) << "an auto-reset event clears";

    // The opener's state lives with the creator: it cannot be waited on.
    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // Closing the opener alone does not set the event.
    EXPECT_EQ(CloseHandle(opened), TRUE);
    EXPECT_EQ(WaitForSingleObject(created, 50), WAIT_TIMEOUT);
    EXPECT_EQ(CloseHandle(created), TRUE);
    EXPECT_EQ(CloseHandle(created), FALSE) << "a handle closes once";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(NamedEvent, ManualResetStaysSetUntilReset) {
    const std::u16string name = UniqueName("manual");
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(created, nullptr);
    HANDLE opened = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    ASSERT_NE(opened, nullptr);
    ASSERT_EQ(SetEvent(opened), TRUE);
    EXPECT_EQ(WaitForSingleObject(created, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(created, 0), WAIT_OBJECT_0);
    EXPECT_EQ(ResetEvent(created), TRUE);
    EXPECT_EQ(WaitForSingleObject(created, 0), WAIT_TIMEOUT);
    EXPECT_EQ(ResetEvent(opened), FALSE) << "only the creator holds the state";
    CloseHandle(opened);
    CloseHandle(created);

    // Created already set.
    HANDLE initially = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(initially, nullptr);
    EXPECT_EQ(WaitForSingleObject(initially, 0), WAIT_OBJECT_0);
    CloseHandle(initially);
}

TEST(NamedEvent, ExistsExactlyAsLongAsItsCreatorHoldsIt) {
    const std::u16string name = UniqueName("lifetime");
    EXPECT_EQ(OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    HANDLE created = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    ASSERT_NE(created, nullptr);
    HANDLE opened = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    ASSERT_NE(opened, nullptr);
    CloseHandle(created);
    EXPECT_EQ(OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()), nullptr)
        << "the name goes with the creator's handle";
    EXPECT_EQ(SetEvent(opened), FALSE) << "setting an event whose creator has gone fails";
    CloseHandle(opened);

    // A creator that dies leaves nothing behind.
    swtest::HeldInChild creator(
        [&] { return CreateEventW(nullptr, FALSE, FALSE, name.c_str()) != nullptr; });
    ASSERT_TRUE(creator.held());
    HANDLE while_alive = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    EXPECT_NE(while_alive, nullptr);
    creator.End();
    EXPECT_EQ(OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    if (while_alive != nullptr) {
        CloseHandle(while_alive);
    }
}

TEST(NamedEvent, AccessAndBadArguments) {
    const std::u16string name = UniqueName("access");
    HANDLE created = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    ASSERT_NE(created, nullptr);
    HANDLE watch_only = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
    ASSERT_NE(watch_only, nullptr);
    EXPECT_EQ(SetEvent(watch_only), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(WaitForSingleObject(created, 50), WAIT_TIMEOUT);
    CloseHandle(watch_only);
    CloseHandle(created);

    EXPECT_EQ(OpenEventW(EVENT_MODIFY_STATE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const std::u16string too_long(200, u'x');
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, too_long.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

    int not_an_event = 0;
    EXPECT_EQ(SetEvent(&not_an_event), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CloseHandle(&not_an_event), FALSE);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
}

TEST(NamedEvent, UnnamedEventWakesAWaiterAndTimesOut) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));

    std::thread setter([event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(event);
}

TEST(NamedEvent, OnlyRootOrTheSameUserIsTrusted) {
    // Listening: root's or our own user's events only. Setting: root's event
    // hears from system accounts (the agent's service user), nobody else's
    // from another user. Rows: peer, own user, listener trusted, opener trusted.
    const unsigned rows[][4] = {{0, 1000, 1, 1},    {1000, 1000, 1, 1}, {0, 0, 1, 1},
                                {1001, 1000, 0, 0}, {1000, 0, 0, 0},    {65534, 1000, 0, 0},
                                {998, 0, 0, 1},     {65534, 0, 0, 0},   {998, 1000, 0, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row[0] << " and " << row[1]);
        EXPECT_EQ(NamedEventListenerTrusted(row[0], row[1]), row[2] != 0);
        EXPECT_EQ(NamedEventOpenerTrusted(row[0], row[1]), row[3] != 0);
    }
}

// An event another user created cannot be opened: the agent's process
// tests see the agent ignore such a remove event. Creating a name that
// exists is the companion's one-request-at-a-time check, tested there.
TEST(NamedEvent, AnotherUserCannotSetOurEvent) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to open the event as another user";
    }
    const std::u16string name = UniqueName("stranger-sets");
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(created, nullptr);
    swtest::HeldInChild stranger([&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            return false;
        HANDLE opened = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
        return opened != nullptr && SetEvent(opened) == TRUE;
    });
    ASSERT_TRUE(stranger.held()) << "root's event opens for anyone; setting it is what counts";
    EXPECT_EQ(WaitForSingleObject(created, 300), WAIT_TIMEOUT);
    stranger.End();
    EXPECT_EQ(WaitForSingleObject(created, 100), WAIT_TIMEOUT);
    CloseHandle(created);
}

} // namespace
