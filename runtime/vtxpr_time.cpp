// Calendar time, local time and sleeping, over one replaceable clock.
//
// The clock in force is an atomic pointer: null means the system's real
// clock, so the hot path costs one atomic load. Installed clocks are copied
// into records that stay alive until the process ends (there are only ever a
// handful, one per test), so a reader that loaded the pointer just before a
// switch still reads a whole, unchanged clock.
//
// Local time goes through the C library's conversion, which reads TZ each
// time; its shared result buffer is guarded by a lock of our own.
#include "runtime/vtxpr_time.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <forward_list>
#include <limits>
#include <mutex>
#include <new>
#include <thread>

namespace {

std::atomic<const VTXPR_CLOCK*> g_clock{nullptr};

std::mutex& InstalledClocksLock() {
    static std::mutex lock;
    return lock;
}

// Never destroyed: a thread still running while the process ends may read
// time after static destructors have run.
std::forward_list<VTXPR_CLOCK>& InstalledClocks() {
    static auto* clocks = new std::forward_list<VTXPR_CLOCK>;
    return *clocks;
}

std::mutex& LocalTimeLock() {
    static std::mutex lock;
    return lock;
}

std::int64_t RealNowNs() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
}

// Days from 1970-01-01 to the given civil date of the proleptic Gregorian
// calendar (month 1-12); negative before 1970.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// Milliseconds for a sleep of `seconds`, truncated. The product is nudged by
// a millionth of a millisecond first, so decimal values with no exact binary
// form (1.005 times 1000 is 1004.99...) still give the milliseconds they
// were written with. Negative and not-a-number waits are no wait; waits beyond the
// counter's range are capped (about 49 days).
std::uint32_t SleepMilliseconds(double seconds) {
    const double milliseconds = seconds * 1000.0 + 1e-6;
    if (!(milliseconds >= 1.0)) {
        return 0;
    }
    constexpr double kMax = static_cast<double>(std::numeric_limits<std::uint32_t>::max());
    if (milliseconds >= kMax) {
        return std::numeric_limits<std::uint32_t>::max();
    }
    return static_cast<std::uint32_t>(std::trunc(milliseconds));
}

} // namespace

std::int64_t VTXPR_TimeNs() {
    const VTXPR_CLOCK* clock = g_clock.load(std::memory_order_acquire);
    if (clock != nullptr) {
        return clock->now_ns(clock->context);
    }
    return RealNowNs();
}

std::int32_t VTXPR_Time() {
    const std::int64_t ns = VTXPR_TimeNs();
    // Whole seconds, rounded towards the past also before 1970.
    std::int64_t seconds = ns / 1000000000;
    if (ns % 1000000000 < 0) {
        --seconds;
    }
    return static_cast<std::int32_t>(seconds);
}

int VTXPR_LocalTime(std::int64_t seconds, VTXPR_TM* out) {
    if (out == nullptr) {
        return -1;
    }
    if (seconds < std::numeric_limits<std::time_t>::min() ||
        seconds > std::numeric_limits<std::time_t>::max()) {
        return -1;
    }
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::lock_guard<std::mutex> hold(LocalTimeLock());
    const std::tm* local = std::localtime(&when);
    if (local == nullptr) {
        return -1;
    }
    out->tm_sec = local->tm_sec;
    out->tm_min = local->tm_min;
    out->tm_hour = local->tm_hour;
    out->tm_mday = local->tm_mday;
    out->tm_mon = local->tm_mon;
    out->tm_year = local->tm_year + 1900;
    out->tm_wday = local->tm_wday;
    out->tm_yday = local->tm_yday;
    out->tm_isdst = local->tm_isdst;
    return 0;
}

std::int32_t VTXPR_ZoneOffsetWest(std::int64_t seconds) {
    VTXPR_TM local{};
    if (VTXPR_LocalTime(seconds, &local) != 0) {
        // No local time to compare with: treat the zone as UTC.
        return 0;
    }
    const std::int64_t local_as_utc =
        DaysFromCivil(local.tm_year, static_cast<unsigned>(local.tm_mon + 1),
                      static_cast<unsigned>(local.tm_mday)) *
            86400 +
        local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    return static_cast<std::int32_t>(seconds - local_as_utc);
}

void VTXPR_Sleep(double seconds) {
    const std::uint32_t milliseconds = SleepMilliseconds(seconds);
    const VTXPR_CLOCK* clock = g_clock.load(std::memory_order_acquire);
    if (clock != nullptr) {
        clock->sleep_ms(clock->context, milliseconds);
        return;
    }
    if (milliseconds == 0) {
        // A zero wait still gives other threads their turn.
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void VTXPR_SetClock(const VTXPR_CLOCK* clock) {
    if (clock == nullptr || clock->now_ns == nullptr || clock->sleep_ms == nullptr) {
        // Also a clock without both operations: the real clock is the only
        // one that can stand in for a missing part.
        g_clock.store(nullptr, std::memory_order_release);
        return;
    }
    std::lock_guard<std::mutex> hold(InstalledClocksLock());
    try {
        InstalledClocks().push_front(*clock);
    } catch (const std::bad_alloc&) {
        g_clock.store(nullptr, std::memory_order_release);
        return;
    }
    g_clock.store(&InstalledClocks().front(), std::memory_order_release);
}
