// Helpers for the agent's tests: the values every hive needs and a fake
// clock; processes, hives and files come from the shared test support.
#pragma once
#include "tests/controller/controller_test_support.h"
#include "tests/support/hive.h"
#include "tests/support/process.h"

#include "runtime/vtxpr_time.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace swtest {

// The three values without which the agent does not start.
inline std::vector<std::string> RequiredValues() {
    return {"\"Alias\"=\"sortwell-admin\"", "\"Server\"=\"MAIL01\"",
            "\"Spam Folder\"=\"Junk Mail\"", "\"Spam SubString\"=\"X-Spam-Flag: YES\""};
}

// A clock that only moves when the program sleeps, starting at a given UTC
// time; the tests run with TZ=UTC so that local time is that time.
class FakeClock {
public:
    explicit FakeClock(std::int64_t start_seconds) : now_ns_(start_seconds * 1000000000LL) {
        VTXPR_CLOCK clock{&FakeClock::Now, &FakeClock::Sleep, this};
        VTXPR_SetClock(&clock);
    }
    ~FakeClock() { VTXPR_SetClock(nullptr); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    std::int64_t seconds() const { return now_ns_.load() / 1000000000LL; }
    // Called after every sleep with the new time in seconds.
    std::function<void(std::int64_t)> after_sleep;

private:
    static std::int64_t Now(void* context) {
        return static_cast<FakeClock*>(context)->now_ns_.load();
    }
    static void Sleep(void* context, std::uint32_t milliseconds) {
        FakeClock* self = static_cast<FakeClock*>(context);
        self->now_ns_ += static_cast<std::int64_t>(milliseconds) * 1000000LL;
        if (self->after_sleep) {
            self->after_sleep(self->seconds());
        }
    }
    std::atomic<std::int64_t> now_ns_;
};

// Seconds since 1970 of day `day` (0 = 1 March 2027) at hh:mm, UTC.
inline std::int64_t At(int day, int hour, int minute) {
    const std::int64_t march_1_2027 = 1803859200; // 2027-03-01 00:00:00 UTC
    return march_1_2027 + day * 86400LL + hour * 3600LL + minute * 60LL;
}

} // namespace swtest
