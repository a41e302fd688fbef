// Shared pieces of the logging tests: a scratch directory, an injected
// clock, standard error captured into a file, the event file switched on.
#pragma once
#include "controller/win32logging.h"
#include "log/xal_log_internal.h"
#include "platform/xalshareddata/xal_shared_log_settings.h"
#include "runtime/vtxpr_time.h"
#include "tests/log/event_file_reader.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace logtest {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// A fresh directory under the system's temporary directory, removed again.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "sortwell-log-XXXXXX").string();
        char* made = ::mkdtemp(pattern.data());
        path_ = made != nullptr ? made : "";
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A clock that stands still until a test moves it; sleeps move it too.
class FakeClock {
public:
    explicit FakeClock(std::int64_t seconds) : now_ns_(seconds * 1000000000) {
        VTXPR_CLOCK clock{&FakeClock::Now, &FakeClock::Sleep, this};
        VTXPR_SetClock(&clock);
    }
    ~FakeClock() { VTXPR_SetClock(nullptr); }
    void Set(std::int64_t seconds) { now_ns_ = seconds * 1000000000; }
    void Advance(std::int64_t seconds) { now_ns_ += seconds * 1000000000; }

private:
    static std::int64_t Now(void* context) {
        return static_cast<FakeClock*>(context)->now_ns_.load();
    }
    static void Sleep(void* context, std::uint32_t milliseconds) {
        static_cast<FakeClock*>(context)->now_ns_ += std::int64_t{milliseconds} * 1000000;
    }
    std::atomic<std::int64_t> now_ns_;
};

// Sets the process's time zone for the life of the object.
class TimeZone {
public:
    explicit TimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) {
            old_ = old;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
        xal_log_reset_zone_cache();
    }
    ~TimeZone() {
        if (had_) {
            ::setenv("TZ", old_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
        xal_log_reset_zone_cache();
    }

private:
    bool had_ = false;
    std::string old_;
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

// Everything written to file descriptor 2 while the object lives.
class CapturedStderr {
public:
    explicit CapturedStderr(const std::string& path) : path_(path) {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~CapturedStderr() { Restore(); }
    std::string Text() {
        Restore();
        return ReadFile(path_);
    }

private:
    void Restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
    }
    std::string path_;
    int saved_ = -1;
};

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

} // namespace logtest
