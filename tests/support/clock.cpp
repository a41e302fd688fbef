#include "tests/support/clock.h"

#include "runtime/vtxpr_time.h"

namespace swtest {

FakeClock::FakeClock(std::int64_t start_seconds) : now_ns_(start_seconds * 1000000000LL) {
    VTXPR_CLOCK clock{&FakeClock::Now, &FakeClock::Sleep, this};
    VTXPR_SetClock(&clock);
}

FakeClock::~FakeClock() {
    VTXPR_SetClock(nullptr);
}

std::int64_t FakeClock::Now(void* context) {
    return static_cast<FakeClock*>(context)->now_ns_.load();
}

void FakeClock::Sleep(void* context, std::uint32_t milliseconds) {
    FakeClock* self = static_cast<FakeClock*>(context);
    self->now_ns_ += static_cast<std::int64_t>(milliseconds) * 1000000LL;
    if (self->after_sleep)
        self->after_sleep(self->seconds());
}

} // namespace swtest
