// Helpers shared by the controller and agent tests: the process's own log
// and event files, set up once before anything logs.
#pragma once
#include "platform/xalshareddata/xal_shared_log_settings.h"
#include "tests/support/files.h"
#include "tests/support/log_entries.h"
#include "tests/support/notify.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace swtest {

// The process's log file (every level, debug included) and event file,
// set up once for the whole test program before anything logs.
class LogFiles : public ::testing::Environment {
public:
    static LogFiles& get() {
        static LogFiles* files = new LogFiles();
        return *files;
    }
    void SetUp() override {
        ::setenv("XAL_LOG_FILE", log_path().c_str(), 1);
        ::setenv("XAL_LOG_LEVEL", "7", 1);
        ::setenv("SORTWELL_EVENTLOG", "FILE", 1);
        ::setenv("SORTWELL_EVENTLOG_FILE", event_path().c_str(), 1);
        xal_shared_log_settings_reload();
    }
    std::string log_path() const { return dir_.file("test.log"); }
    std::string event_path() const { return dir_.file("events.jsonl"); }
    // What was logged (or evented) since `mark` (a size returned by mark()).
    std::size_t log_mark() const { return ReadFile(log_path()).size(); }
    std::string log_since(std::size_t mark) const { return ReadFile(log_path()).substr(mark); }
    std::size_t event_mark() const { return ReadFile(event_path()).size(); }
    std::string events_since(std::size_t mark) const {
        const std::string all = ReadFile(event_path());
        return mark <= all.size() ? all.substr(mark) : std::string();
    }

private:
    LogFiles() = default;
    TempDir dir_;
};

// Registers LogFiles with the test framework once per program, however many
// test files ask (the framework deletes what it is given).
inline bool UseLogFiles() {
    static const bool registered = (::testing::AddGlobalTestEnvironment(&LogFiles::get()), true);
    return registered;
}

} // namespace swtest
