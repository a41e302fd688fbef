// Control signals, last-error numbers and heap memory.
#include "runtime/vtxpr_errno.h"
#include "runtime/vtxpr_mem.h"
#include "runtime/vtxpr_signal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <thread>

// Under the sanitizers an impossible allocation must come back null, as it
// does from the plain heap, instead of stopping the test program.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}
extern "C" const char* __tsan_default_options() {
    return "allocator_may_return_null=1";
}

TEST(RuntimeSignals, ControlCodesMapThroughTheTable) {
    EXPECT_EQ(VTXPR_ControlToSignal(1), 1);   // stop
    EXPECT_EQ(VTXPR_ControlToSignal(5), 1);   // shutdown
    EXPECT_EQ(VTXPR_ControlToSignal(6), 2);   // parameters changed
    EXPECT_EQ(VTXPR_ControlToSignal(128), 4); // user control
    EXPECT_EQ(VTXPR_ControlToSignal(-1), 5);  // the end marker's own code
    for (const int other : {0, 2, 3, 4, 7, 127, 129, -2}) {
        EXPECT_EQ(VTXPR_ControlToSignal(other), 0) << other;
    }
}

TEST(RuntimeErrors, KindsReadErrnoOrThePerThreadPlatformError) {
    VTXPR_SetPlatformError(1332);
    errno = EACCES;
    EXPECT_EQ(VTXPR_LastError(VTXPR_ERR_CRT), EACCES);
    EXPECT_EQ(VTXPR_LastError(VTXPR_ERR_SOCKET), EACCES);
    EXPECT_EQ(VTXPR_LastError(9), EACCES);
    EXPECT_EQ(VTXPR_LastError(VTXPR_ERR_PLATFORM), 1332);

    std::uint32_t seen_elsewhere = 99;
    std::thread other([&] {
        seen_elsewhere = VTXPR_PlatformError();
        VTXPR_SetPlatformError(5);
    });
    other.join();
    EXPECT_EQ(seen_elsewhere, 0u);
    EXPECT_EQ(VTXPR_PlatformError(), 1332u);
    VTXPR_SetPlatformError(0);
}

TEST(RuntimeMemory, AllocationsAreUsableZeroedAndFailCleanly) {
    void* empty = VTXPR_Malloc(0); // a block all the same: null means failure
    EXPECT_NE(empty, nullptr);
    VTXPR_Free(empty);

    unsigned char* zeros = static_cast<unsigned char*>(VTXPR_Calloc(100, 8));
    ASSERT_NE(zeros, nullptr);
    for (int i = 0; i < 800; ++i) {
        ASSERT_EQ(zeros[i], 0) << i;
    }
    VTXPR_Free(zeros);
    const std::size_t half = std::numeric_limits<std::size_t>::max() / 2 + 1;
    EXPECT_EQ(VTXPR_Calloc(half, 2), nullptr); // the product overflows
    EXPECT_EQ(VTXPR_Malloc(half), nullptr);

    char* text = static_cast<char*>(VTXPR_Realloc(nullptr, 6));
    ASSERT_NE(text, nullptr);
    std::memcpy(text, "hello", 6);
    text = static_cast<char*>(VTXPR_Realloc(text, 1 << 20));
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "hello");
    VTXPR_Free(text);
    VTXPR_Free(nullptr);
}
