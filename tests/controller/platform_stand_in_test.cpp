// The other stand-ins the controller and the agent rely on: the version and
// computer name, the string table, the service manager's refusals outside a
// service, and the console control events.
#include "platform/win32/console.h"
#include "platform/win32/service.h"
#include "platform/win32/sysinfo.h"
#include "resources/string_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

namespace {

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

TEST(SystemInfo, VersionAndComputerName) {
    struct utsname name;
    ASSERT_EQ(::uname(&name), 0);
    const DWORD version = GetVersion();
    EXPECT_EQ(static_cast<int>(version & 0xFF), std::atoi(name.release));
    const char* dot = std::strchr(name.release, '.');
    ASSERT_NE(dot, nullptr);
    EXPECT_EQ(static_cast<int>((version >> 8) & 0xFF), std::atoi(dot + 1));
    EXPECT_EQ(version >> 16, 0u);

    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof(host) - 1), 0);
    const std::u16string expected = Wide(host);
    char16_t buffer[260];
    DWORD size = 260;
    ASSERT_EQ(GetComputerNameW(buffer, &size), TRUE);
    EXPECT_EQ(std::u16string(buffer), expected);
    EXPECT_EQ(size, expected.size());

    // Too small by one (no room for the terminator): the size needed comes back.
    size = static_cast<DWORD>(expected.size());
    EXPECT_EQ(GetComputerNameW(buffer, &size), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(size, expected.size() + 1);
    EXPECT_EQ(GetComputerNameW(nullptr, &size), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(StringTable, TextsLoadCutOrAsAView) {
    HINSTANCE self = GetModuleHandleW(nullptr);
    ASSERT_NE(self, nullptr);
    // The texts themselves show in the agent's command-line tests.
    char16_t small[5];
    EXPECT_EQ(LoadStringW(self, IDS_REMOVE_BANNER, small, 5), 4);
    EXPECT_EQ(std::u16string(small), u"Remo");

    const char16_t* view = nullptr;
    EXPECT_EQ(LoadStringW(self, IDS_PROGRAM_NAME, reinterpret_cast<LPWSTR>(&view), 0), 8);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::u16string(view, 8), u"Sortwell");

    char16_t buffer[16] = u"untouched";
    EXPECT_EQ(LoadStringW(self, 107, buffer, 16), 0);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(LoadStringW(self, 100, buffer, 16), 0);
    int other = 0;
    EXPECT_EQ(LoadStringW(reinterpret_cast<HINSTANCE>(&other), 101, buffer, 16), 0);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
    EXPECT_EQ(GetModuleHandleW(u"kernel32.dll"), nullptr);
}

TEST(ServiceManager, OutsideAServiceEverythingIsRefused) {
    ::unsetenv("NOTIFY_SOCKET");
    char16_t name[] = u"XALSWL";
    const SERVICE_TABLE_ENTRYW table[] = {{name, [](DWORD, LPWSTR*) {}}, {nullptr, nullptr}};
    EXPECT_EQ(StartServiceCtrlDispatcherW(table), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    ::setenv("NOTIFY_SOCKET", "", 1);
    EXPECT_EQ(StartServiceCtrlDispatcherW(table), FALSE) << "an empty address is no service";
    ::unsetenv("NOTIFY_SOCKET");

    EXPECT_EQ(RegisterServiceCtrlHandlerW(u"XALSWL", [](DWORD) {}), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    SERVICE_STATUS status{};
    status.dwCurrentState = SERVICE_RUNNING;
    EXPECT_EQ(SetServiceStatus(nullptr, &status), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// Console events run in a fresh process each (a death test re-runs this
// program), since they block signals and start the control thread.

std::atomic<int> g_order{0};
BOOL Declines(DWORD) {
    g_order = g_order * 10 + 1;
    return FALSE;
}
BOOL Takes(DWORD event) {
    g_order = g_order * 10 + 2;
    return event == CTRL_C_EVENT ? TRUE : FALSE;
}

// Waits up to ten seconds for the handlers' record to reach `at_least`.
void WaitForOrder(int at_least) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_order.load() < at_least && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

[[noreturn]] void NewestHandlerFirst() {
    SetConsoleCtrlHandler(Takes, TRUE);
    SetConsoleCtrlHandler(Declines, TRUE);
    ::kill(::getpid(), SIGINT);
    WaitForOrder(10);
    // Declines ran first, then Takes: 12.
    std::exit(g_order.load() == 12 ? 0 : 1);
}

[[noreturn]] void SigtermWithARemovedHandler() {
    SetConsoleCtrlHandler(Takes, TRUE);
    SetConsoleCtrlHandler(Declines, TRUE);
    if (SetConsoleCtrlHandler(Declines, FALSE) != TRUE) {
        std::exit(3);
    }
    if (SetConsoleCtrlHandler(Declines, FALSE) != FALSE) {
        std::exit(4);
    }
    ::kill(::getpid(), SIGTERM);
    WaitForOrder(1);
    std::exit(g_order.load() == 2 ? 0 : 1);
}

[[noreturn]] void ControlCNobodyTakes() {
    SetConsoleCtrlHandler(Declines, TRUE);
    ::kill(::getpid(), SIGINT);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    std::exit(0);
}

[[noreturn]] void IgnoredControlC() {
    SetConsoleCtrlHandler(nullptr, TRUE);
    SetConsoleCtrlHandler(Declines, TRUE);
    ::kill(::getpid(), SIGINT);
    WaitForOrder(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::exit(g_order.load() == 1 ? 5 : 1);
}

class ConsoleControl : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ConsoleControl, NewestHandlerFirstUntilOneTakesTheEvent) {
    EXPECT_EXIT(NewestHandlerFirst(), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(SigtermWithARemovedHandler(), ::testing::ExitedWithCode(0), "")
        << "SIGTERM is Control-C too; a removed handler is not called";
}

// Control-break and a closed terminal that no handler takes: the agent's
// console signal tests see them end the real program.
TEST_F(ConsoleControl, ControlCThatNobodyTakesEndsTheProcessUnlessIgnored) {
    EXPECT_EXIT(ControlCNobodyTakes(), ::testing::KilledBySignal(SIGINT), "");
    // ...unless the process asked to ignore it.
    EXPECT_EXIT(IgnoredControlC(), ::testing::ExitedWithCode(5), "");
}

} // namespace
