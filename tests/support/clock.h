// A clock the test owns, installed as the runtime's clock for the life of
// the object: it stands still until the test moves it, and every sleep
// moves it by the time slept instead of waiting.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>

namespace swtest {

class FakeClock {
public:
    explicit FakeClock(std::int64_t start_seconds);
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    std::int64_t seconds() const { return now_ns_.load() / 1000000000LL; }
    void Set(std::int64_t seconds) { now_ns_ = seconds * 1000000000LL; }
    // Called after every sleep with the new time in seconds.
    std::function<void(std::int64_t)> after_sleep;

private:
    static std::int64_t Now(void* context);
    static void Sleep(void* context, std::uint32_t milliseconds);
    std::atomic<std::int64_t> now_ns_;
};

} // namespace swtest
