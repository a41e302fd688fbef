// Process and thread numbers and the per-thread last error.
#include "platform/win32/win32_base.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(Win32Base, ThreadIdsAreTheKernelsAndLastErrorsStayWithTheirThread) {
    // The main thread's kernel id is the process id.
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentProcessId());
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(::getpid()));

    SetLastError(ERROR_MORE_DATA);
    DWORD other_id = 0;
    DWORD other_error = 0;
    std::thread other([&] {
        other_id = GetCurrentThreadId();
        SetLastError(ERROR_BAD_NETPATH);
        other_error = GetLastError();
    });
    other.join();
    EXPECT_NE(other_id, GetCurrentThreadId());
    EXPECT_NE(other_id, 0u);
    EXPECT_EQ(other_error, ERROR_BAD_NETPATH);
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);

    // A forked child reports its own numbers.
    const DWORD parent = GetCurrentThreadId();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const DWORD id = GetCurrentThreadId();
        ::_exit(id != parent && id == static_cast<DWORD>(::getpid()) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
}

} // namespace
