// Time through the replaceable clock, sleeping, and local time in set zones.
#include "runtime/vtxpr_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <vector>

namespace {

// Sets the process's time zone (a POSIX zone rule, so no zone files are
// needed) until the object goes; then the zone is unset again.
struct TimeZone {
    explicit TimeZone(const char* zone) {
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZone() {
        ::unsetenv("TZ");
        ::tzset();
    }
};

constexpr std::int64_t kDec4th2005 = 1133654400; // 2005-12-04 00:00:00 UTC

// A clock that reads a set time and records every sleep instead of sleeping.
struct RecordingClock {
    RecordingClock() {
        const VTXPR_CLOCK clock{&RecordingClock::Now, &RecordingClock::Sleep, this};
        VTXPR_SetClock(&clock);
    }
    ~RecordingClock() { VTXPR_SetClock(nullptr); }
    static std::int64_t Now(void* self) { return static_cast<RecordingClock*>(self)->now_ns; }
    static void Sleep(void* self, std::uint32_t ms) {
        static_cast<RecordingClock*>(self)->sleeps.push_back(ms);
    }
    std::int64_t now_ns = 0;
    std::vector<std::uint32_t> sleeps;
};

VTXPR_TM Local(std::int64_t seconds) {
    VTXPR_TM tm{};
    EXPECT_EQ(VTXPR_LocalTime(seconds, &tm), 0);
    return tm;
}

} // namespace

TEST(RuntimeTime, SleepTruncatesToWholeMillisecondsThroughTheInstalledClock) {
    RecordingClock clock;
    for (const double seconds : {0.0005, 0.01, 0.0109, 1.005, 2.5, -3.0, std::nan(""), 1e12}) {
        VTXPR_Sleep(seconds);
    }
    // 1.005 has no exact binary form and still sleeps 1005; the largest wait
    // is capped at the counter's range.
    const std::vector<std::uint32_t> expected = {
        0, 10, 10, 1005, 2500, 0, 0, std::numeric_limits<std::uint32_t>::max()};
    EXPECT_EQ(clock.sleeps, expected);
}

TEST(RuntimeTime, TimeReadsTheInstalledClockUntilTheRealOneIsBack) {
    {
        RecordingClock clock;
        clock.now_ns = kDec4th2005 * 1000000000 + 999999999;
        EXPECT_EQ(VTXPR_TimeNs(), clock.now_ns);
        EXPECT_EQ(VTXPR_Time(), kDec4th2005);
        clock.now_ns = -1; // before 1970 a part second belongs to the second before
        EXPECT_EQ(VTXPR_Time(), -1);
        RecordingClock later; // a second clock replaces the first
        later.now_ns = 5000000000;
        EXPECT_EQ(VTXPR_Time(), 5);
    }
    const std::int64_t real = std::time(nullptr);
    EXPECT_LE(std::llabs(VTXPR_Time() - real), 2);
    EXPECT_LE(std::llabs(VTXPR_TimeNs() / 1000000000 - real), 2);
}

TEST(RuntimeTime, LocalTimeHasTheFullYearAndEveryField) {
    TimeZone zone("UTC0");
    const VTXPR_TM tm = Local(kDec4th2005 + 3 * 3600 + 25 * 60 + 7);
    const int expected[9] = {7, 25, 3, 4, 11, 2005, 0 /* Sunday */, 337, 0};
    const int actual[9] = {tm.tm_sec,  tm.tm_min,  tm.tm_hour, tm.tm_mday, tm.tm_mon,
                           tm.tm_year, tm.tm_wday, tm.tm_yday, tm.tm_isdst};
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(actual[i], expected[i]) << "field " << i;
    }
    EXPECT_EQ(Local(-1).tm_year, 1969);
    EXPECT_EQ(VTXPR_ZoneOffsetWest(kDec4th2005), 0);
    EXPECT_EQ(VTXPR_LocalTime(kDec4th2005, nullptr), -1);
}

// Central European summer time shows in the log rotation tests, whose days
// turn at local midnight across the change.
TEST(RuntimeTime, WestOfGreenwichLocalTimeGoesBackAcrossMidnight) {
    TimeZone zone("EST5EDT,M3.2.0,M11.1.0");
    const VTXPR_TM tm = Local(kDec4th2005);
    EXPECT_EQ(tm.tm_mday, 3);
    EXPECT_EQ(tm.tm_hour, 19);
    EXPECT_EQ(tm.tm_wday, 6);
    EXPECT_EQ(VTXPR_ZoneOffsetWest(kDec4th2005), 18000);
}
