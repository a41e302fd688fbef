// Shared pieces of the logging tests: a time zone set for a while, civil
// times, the event file switched on, the settings record.
#pragma once
#include "controller/win32logging.h"
#include "log/xal_log_internal.h"
#include "platform/win32/win32_base.h"
#include "platform/xalshareddata/xal_shared_log_settings.h"
#include "runtime/vtxpr_time.h"
#include "tests/support/clock.h"
#include "tests/support/events.h"
#include "tests/support/files.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <unistd.h>

namespace logtest {

using swtest::CapturedStderr;
using swtest::FakeClock;
using swtest::ReadFile;
using ScratchDir = swtest::TempDir;

// Sets the process's time zone for the life of the object.
class TimeZone {
public:
    explicit TimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            old_ = old;
        }
        Set(zone);
    }
    ~TimeZone() { Set(old_ ? old_->c_str() : nullptr); }

private:
    static void Set(const char* zone) {
        zone != nullptr ? ::setenv("TZ", zone, 1) : ::unsetenv("TZ");
        ::tzset();
        xal_log_reset_zone_cache();
    }
    std::optional<std::string> old_;
};

// UTC seconds of a civil date and time in UTC.
inline std::int64_t Utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return static_cast<std::int64_t>(::timegm(&t));
}

// Sends events to a fresh event file from the next event on: the event
// source is closed, so the next event registers it again under the
// environment set here.
inline void UseEventFile(const std::string& path) {
    ::setenv("SORTWELL_EVENTLOG", "FILE", 1);
    ::setenv("SORTWELL_EVENTLOG_FILE", path.c_str(), 1);
    if (event_log_toggle_source(u"Sortwell") > 1) {
        event_log_toggle_source(u"Sortwell"); // it was open: closed now
    }
}

inline std::u16string U16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

inline XAL_SHARED_LOG_SETTINGS& Settings() {
    return xal_shared_log_settings;
}

inline int Lines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// "pid.tid" of the calling thread, as a line's prefix shows them.
inline std::string Ids() {
    return std::to_string(GetCurrentProcessId()) + "." + std::to_string(GetCurrentThreadId());
}

} // namespace logtest
