// Calendar time, local time and sleeping.
//
// All of it reads one process-wide clock. Normally that is the system's real
// clock; tests install a clock of their own with VTXPR_SetClock, so that a
// whole day of one-second waits runs in milliseconds. Every other part of the
// system (the cycle, the pass wait, log rotation, the maintenance window, the
// expunge cut-off) takes its time and its sleeps from here.
#pragma once
#include <cstdint>

// Broken-down time: nine fields in this order. The year is the full year
// (2005, not 105); the month counts from 0.
struct VTXPR_TM {
    int tm_sec;
    int tm_min;
    int tm_hour;
    int tm_mday;
    int tm_mon;
    int tm_year;
    int tm_wday;
    int tm_yday;
    int tm_isdst;
};

// Seconds since 1 January 1970 UTC, as a signed 32-bit number.
std::int32_t VTXPR_Time();
// Nanoseconds since 1 January 1970 UTC (for finer time such as FILETIME).
std::int64_t VTXPR_TimeNs();
// Local time of `seconds`, in the process's time zone (TZ). Returns 0, or -1
// when the conversion fails.
int VTXPR_LocalTime(std::int64_t seconds, VTXPR_TM* out);
// The offset of local time from UTC in force at `seconds`, in seconds west
// of UTC, daylight saving time included (UTC+1 in summer time gives -7200).
std::int32_t VTXPR_ZoneOffsetWest(std::int64_t seconds);
// Sleeps for a real number of seconds, truncated to whole milliseconds
// (0.0005 sleeps 0 ms, 0.01 sleeps 10 ms).
void VTXPR_Sleep(double seconds);

// A replacement clock. `now_ns` gives nanoseconds since 1970 UTC; `sleep_ms`
// sleeps (or pretends to) for that many milliseconds. Both get `context`.
struct VTXPR_CLOCK {
    std::int64_t (*now_ns)(void* context);
    void (*sleep_ms)(void* context, std::uint32_t milliseconds);
    void* context;
};
// Installs `clock` for the whole process (copied); null restores the real
// clock. Meant for tests; not to be switched while other threads read time.
void VTXPR_SetClock(const VTXPR_CLOCK* clock);
