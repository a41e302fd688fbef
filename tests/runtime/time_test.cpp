// Time through the replaceable clock, sleeping, and local time in set zones.
#include "runtime/vtxpr_time.h"
#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <vector>

using runtime_test::TimeZone;

namespace {

// Seconds of 2005-12-04 00:00:00 UTC.
constexpr std::int64_t kDec4th2005 = 1133654400;
// Seconds of 2005-03-27 01:00:00 UTC, when central European summer time
// began that year.
constexpr std::int64_t kSummerStart2005 = 1111885200;

// A clock that reads a set time and records every sleep instead of sleeping.
class RecordingClock {
public:
    RecordingClock() {
        const VTXPR_CLOCK clock{&RecordingClock::Now, &RecordingClock::Sleep, this};
        VTXPR_SetClock(&clock);
    }
    ~RecordingClock() { VTXPR_SetClock(nullptr); }
    RecordingClock(const RecordingClock&) = delete;
    RecordingClock& operator=(const RecordingClock&) = delete;

    std::int64_t now_ns = 0;
    std::vector<std::uint32_t> sleeps;

private:
    static std::int64_t Now(void* context) { return static_cast<RecordingClock*>(context)->now_ns; }
    static void Sleep(void* context, std::uint32_t milliseconds) {
        static_cast<RecordingClock*>(context)->sleeps.push_back(milliseconds);
    }
};

VTXPR_TM Local(std::int64_t seconds) {
    VTXPR_TM tm{};
    EXPECT_EQ(VTXPR_LocalTime(seconds, &tm), 0);
    return tm;
}

} // namespace

TEST(RuntimeTime, SleepTruncatesToWholeMillisecondsThroughTheInstalledClock) {
    RecordingClock clock;
    VTXPR_Sleep(0.0005);
    VTXPR_Sleep(0.01);
    VTXPR_Sleep(0.0109);
    VTXPR_Sleep(1);
    VTXPR_Sleep(0.29); // no exact binary form, still 290
    VTXPR_Sleep(2.5);
    VTXPR_Sleep(-3);
    VTXPR_Sleep(std::nan(""));
    VTXPR_Sleep(1e12); // capped at the counter's range
    const std::vector<std::uint32_t> expected = {
        0, 10, 10, 1000, 290, 2500, 0, 0, std::numeric_limits<std::uint32_t>::max()};
    EXPECT_EQ(clock.sleeps, expected);
}

TEST(RuntimeTime, TimeReadsTheInstalledClockUntilTheRealOneIsBack) {
    {
        RecordingClock clock;
        clock.now_ns = kDec4th2005 * 1000000000 + 999999999;
        EXPECT_EQ(VTXPR_TimeNs(), clock.now_ns);
        EXPECT_EQ(VTXPR_Time(), kDec4th2005);
        // Before 1970 a part second still belongs to the earlier second.
        clock.now_ns = -1;
        EXPECT_EQ(VTXPR_Time(), -1);
        clock.now_ns = -1000000000;
        EXPECT_EQ(VTXPR_Time(), -1);

        // A second clock replaces the first.
        RecordingClock later;
        later.now_ns = 5000000000;
        EXPECT_EQ(VTXPR_Time(), 5);
    }
    // Both gone: the real clock again.
    const std::int64_t real = std::time(nullptr);
    EXPECT_LE(std::llabs(VTXPR_Time() - real), 2);
    EXPECT_LE(std::llabs(VTXPR_TimeNs() / 1000000000 - real), 2);

    // A clock missing an operation cannot be installed.
    const VTXPR_CLOCK broken{nullptr, nullptr, nullptr};
    VTXPR_SetClock(&broken);
    EXPECT_LE(std::llabs(VTXPR_Time() - real), 2);
}

TEST(RuntimeTime, LocalTimeHasTheFullYearAndEveryField) {
    TimeZone zone("UTC0");
    VTXPR_TM tm = Local(kDec4th2005 + 3 * 3600 + 25 * 60 + 7);
    EXPECT_EQ(tm.tm_year, 2005);
    EXPECT_EQ(tm.tm_mon, 11);
    EXPECT_EQ(tm.tm_mday, 4);
    EXPECT_EQ(tm.tm_hour, 3);
    EXPECT_EQ(tm.tm_min, 25);
    EXPECT_EQ(tm.tm_sec, 7);
    EXPECT_EQ(tm.tm_wday, 0); // a Sunday
    EXPECT_EQ(tm.tm_yday, 337);
    EXPECT_EQ(tm.tm_isdst, 0);
    EXPECT_EQ(VTXPR_ZoneOffsetWest(kDec4th2005), 0);

    // 1969-12-31 23:59:59.
    tm = Local(-1);
    EXPECT_EQ(tm.tm_year, 1969);
    EXPECT_EQ(tm.tm_mon, 11);
    EXPECT_EQ(tm.tm_mday, 31);

    EXPECT_EQ(VTXPR_LocalTime(kDec4th2005, nullptr), -1);
}

TEST(RuntimeTime, LocalTimeAndZoneOffsetFollowTheZoneAndItsSummerTime) {
    {
        TimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
        // Winter: UTC+1.
        VTXPR_TM tm = Local(kDec4th2005);
        EXPECT_EQ(tm.tm_hour, 1);
        EXPECT_EQ(tm.tm_isdst, 0);
        EXPECT_EQ(VTXPR_ZoneOffsetWest(kDec4th2005), -3600);

        // The last second of winter time and the first of summer time.
        EXPECT_EQ(VTXPR_ZoneOffsetWest(kSummerStart2005 - 1), -3600);
        EXPECT_EQ(VTXPR_ZoneOffsetWest(kSummerStart2005), -7200);
        tm = Local(kSummerStart2005);
        EXPECT_EQ(tm.tm_mon, 2);
        EXPECT_EQ(tm.tm_mday, 27);
        EXPECT_EQ(tm.tm_hour, 3);
        EXPECT_EQ(tm.tm_isdst, 1);
    }
    {
        // West of Greenwich, and across midnight into the previous day.
        TimeZone zone("EST5EDT,M3.2.0,M11.1.0");
        const VTXPR_TM tm = Local(kDec4th2005);
        EXPECT_EQ(tm.tm_mday, 3);
        EXPECT_EQ(tm.tm_hour, 19);
        EXPECT_EQ(tm.tm_wday, 6);
        EXPECT_EQ(VTXPR_ZoneOffsetWest(kDec4th2005), 18000);
    }
    {
        TimeZone zone("IST-5:30");
        EXPECT_EQ(VTXPR_ZoneOffsetWest(kDec4th2005), -19800);
        EXPECT_EQ(Local(kDec4th2005).tm_min, 30);
    }
}
