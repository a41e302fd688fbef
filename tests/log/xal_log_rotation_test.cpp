// Rotation of the log file by local-time periods, and removal of old files.
#include "log/xal_log.h"
#include "log/xal_log_internal.h"
#include "platform/win32/win32_base.h"
#include "tests/log/log_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

namespace {

using swtest::EventRecord;
using swtest::ReadEventFile;

using logtest::Ids;
using logtest::Lines;
using logtest::ReadFile;
using logtest::Settings;
using logtest::Utc;
namespace fs = std::filesystem;

std::set<std::string> Names(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

void Touch(const std::string& path, const std::string& content = "old\n") {
    swtest::WriteFile(path, content);
}

// Configures the record from the environment for a log file in a scratch
// directory; the events of the rotation reports go to an event file beside
// it. The environment and the record are put back afterwards. The zone is
// UTC and the clock starts at 10:17 on 28 March 2026 unless a test says
// otherwise.
class Rotation : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(logs_);
        logtest::UseEventFile(events_);
    }
    void TearDown() override {
        ::unsetenv("XAL_LOG_FILE");
        ::unsetenv("XAL_LOG_ROTATE");
        ::unsetenv("XAL_LOG_KEEP");
        ::unsetenv("XAL_LOG_LEVEL");
        xal_shared_log_settings_reload();
    }
    void Configure(const std::string& file, const char* rotate, const char* keep = "0") {
        ::setenv("XAL_LOG_FILE", file.c_str(), 1);
        ::setenv("XAL_LOG_ROTATE", rotate, 1);
        ::setenv("XAL_LOG_KEEP", keep, 1);
        ::setenv("XAL_LOG_LEVEL", "7", 1);
        xal_shared_log_settings_reload();
        ASSERT_NE(Settings().stream, nullptr);
        ASSERT_NE(Settings().stream, stderr);
        xal_log_message(XAL_LOG_NOTICE, 28018); // the first line, at the clock's time
    }
    std::vector<EventRecord> Events() { return ReadEventFile(events_); }
    // Moves the clock to that UTC time in March 2026 and logs `id`.
    void LogAt(int day, int hour, int minute, int second, int id = 28018) {
        clock_.Set(Utc(2026, 3, day, hour, minute, second));
        xal_log_message(XAL_LOG_NOTICE, id);
    }

    logtest::TimeZone zone_{"UTC"};
    logtest::FakeClock clock_{Utc(2026, 3, 28, 10, 17, 0)};
    logtest::ScratchDir dir_;
    std::string logs_ = dir_ / "logs";
    std::string log_ = logs_ + "/agent.log";
    std::string events_ = dir_ / "events.jsonl";
};

TEST_F(Rotation, HourlyFilesMoveAtTheFirstLineAfterTheBoundary) {
    Configure(log_, "hour");
    EXPECT_EQ(Settings().rotate_period, 3600);
    LogAt(28, 10, 59, 59, 28019);
    EXPECT_EQ(Names(logs_), (std::set<std::string>{"agent.log"}));

    clock_.Set(Utc(2026, 3, 28, 11, 0, 5));
    xal_log_message(XAL_LOG_ERR, 28014, 1u);
    EXPECT_EQ(Names(logs_), (std::set<std::string>{"agent.log", "agent.log202603281000.log"}));
    const std::string closed = ReadFile(logs_ + "/agent.log202603281000.log");
    EXPECT_EQ(Lines(closed), 2);
    EXPECT_NE(closed.find("28 Mar 2026 10:17:00 (NOTICE:"), std::string::npos);
    EXPECT_NE(closed.find("28 Mar 2026 10:59:59 (NOTICE:"), std::string::npos);
    const std::string current = ReadFile(log_);
    EXPECT_EQ(Lines(current), 1);
    EXPECT_NE(current.find("28 Mar 2026 11:00:05 (ERROR:"), std::string::npos);

    // A skipped hour: the name carries the start of the period that ended.
    LogAt(28, 13, 10, 0);
    EXPECT_EQ(Names(logs_), (std::set<std::string>{"agent.log", "agent.log202603281000.log",
                                                   "agent.log202603281100.log"}));
    EXPECT_TRUE(Events().empty());
}

TEST_F(Rotation, HoursAreAlignedToLocalTimeNotToUtc) {
    logtest::TimeZone zone("IST-5:30");     // UTC+5:30 all year
    clock_.Set(Utc(2026, 3, 28, 4, 47, 0)); // 10:17 local
    Configure(log_, "3600");
    LogAt(28, 5, 29, 0); // 10:59 local: a UTC hour ended, no local one
    EXPECT_EQ(Names(logs_).size(), 1u);
    LogAt(28, 5, 30, 1, 28019); // 11:00:01 local
    EXPECT_EQ(Names(logs_), (std::set<std::string>{"agent.log", "agent.log202603281000.log"}));
}

TEST_F(Rotation, DailyFilesTurnAtLocalMidnightAcrossADaylightSavingChange) {
    // Central European time: summer time from 02:00 on 29 March 2026.
    logtest::TimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    clock_.Set(Utc(2026, 3, 28, 11, 0, 0)); // 12:00 CET
    Configure(log_, "day");
    LogAt(28, 22, 59, 59); // 23:59:59 CET
    EXPECT_EQ(Names(logs_).size(), 1u);

    LogAt(28, 23, 0, 1, 28019); // 00:00:01 CET, 29 March
    EXPECT_EQ(Lines(ReadFile(logs_ + "/agent.log202603280000.log")), 2);

    // The offset cached at the last move is the winter one, so the first
    // boundary after the change falls an hour late, at 01:00 summer time...
    LogAt(29, 22, 30, 0); // 00:30 CEST, 30 March
    EXPECT_EQ(Names(logs_).size(), 2u);
    LogAt(29, 23, 0, 1); // 01:00:01 CEST
    EXPECT_EQ(Lines(ReadFile(logs_ + "/agent.log202603290000.log")), 2);

    // ...and from then on the day turns at local midnight in summer time.
    LogAt(30, 21, 59, 59); // 23:59:59 CEST
    EXPECT_EQ(Names(logs_).size(), 3u);
    LogAt(30, 22, 0, 1, 28019); // 00:00:01 CEST, 31 March
    EXPECT_EQ(Lines(ReadFile(logs_ + "/agent.log202603300000.log")), 2);
    EXPECT_EQ(Lines(ReadFile(log_)), 1);
}

TEST_F(Rotation, AnExistingRotatedNameIsNeverOverwritten) {
    Touch(logs_ + "/agent.log202603281000.log", "kept as it was\n");
    Configure(log_, "hour");
    LogAt(28, 11, 0, 5, 28019);
    EXPECT_EQ(ReadFile(logs_ + "/agent.log202603281000.log"), "kept as it was\n");
    EXPECT_EQ(Lines(ReadFile(log_)), 2); // the current file keeps growing
    // The next period moves it as usual.
    LogAt(28, 12, 0, 5);
    EXPECT_EQ(Lines(ReadFile(logs_ + "/agent.log202603281100.log")), 2);
    EXPECT_EQ(Lines(ReadFile(log_)), 1);
    EXPECT_TRUE(Events().empty());
}

TEST_F(Rotation, AFileWithoutExtensionGetsTheStampAtTheEnd) {
    Configure(logs_ + "/agentlog", "hour", "1");
    EXPECT_EQ(std::u16string(Settings().log_extension), u"");
    LogAt(28, 11, 0, 5);
    LogAt(28, 12, 0, 5);
    // Keep 1: the older rotated file is gone, the live file never matches.
    EXPECT_EQ(Names(logs_), (std::set<std::string>{"agentlog", "agentlog202603281100"}));
}

TEST_F(Rotation, WithoutAPeriodTheFileNeverRotates) {
    Configure(log_, "0");
    EXPECT_EQ(Settings().rotate_period, 0);
    for (int day = 0; day < 3; ++day) {
        clock_.Advance(86400);
        xal_log_message(XAL_LOG_NOTICE, 28018);
    }
    EXPECT_EQ(Names(logs_), (std::set<std::string>{"agent.log"}));
    EXPECT_EQ(Lines(ReadFile(log_)), 4);
}

TEST_F(Rotation, CleanUpKeepsTheNewestAndLeavesEveryOtherNameAlone) {
    const std::set<std::string> rotated = {"agent.log202603270800.log", "agent.log202603270900.log",
                                           // Plain code-unit order puts upper case first: this one
                                           // counts as the oldest.
                                           "AGENT.LOG202603271000.LOG",
                                           "agent.log202603271100.log"};
    const std::set<std::string> others = {
        "agent.log20260327080.log",    // one character short
        "agent.log2026032708000.log",  // one character long
        "agent.log202603270700.txt",   // another extension
        "agent.log202603270700",       // no extension
        "other.log202603270700.log",   // another file's
        "agent.log.202603270700.log"}; // stamp after an extra dot: stem too long
    for (const auto& name : rotated) {
        Touch(logs_ + "/" + name);
    }
    for (const auto& name : others) {
        Touch(logs_ + "/" + name);
    }
    Configure(log_, "hour", "2");
    LogAt(28, 11, 0, 5);

    std::set<std::string> expected = others;
    expected.insert({"agent.log", "agent.log202603271100.log", "agent.log202603281000.log"});
    EXPECT_EQ(Names(logs_), expected);
    EXPECT_TRUE(Events().empty());
}

TEST_F(Rotation, CleanUpOfTheCurrentDirectoryAndItsFailures) {
    XAL_SHARED_LOG_SETTINGS settings{};
    settings.keep = 1;
    std::u16string name = u"agent.log";
    std::copy(name.begin(), name.end(), settings.log_file_name);
    std::u16string extension = u".log";
    std::copy(extension.begin(), extension.end(), settings.log_extension);
    Touch(logs_ + "/agent.log202601010000.log");
    Touch(logs_ + "/agent.log202601020000.log");
    Touch(logs_ + "/agent.log202601030000.log");

    const fs::path before = fs::current_path();
    fs::current_path(logs_);
    const int result = xal_log_cleanup(&settings, nullptr);
    fs::current_path(before);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Names(logs_), (std::set<std::string>{"agent.log202601030000.log"}));

    // Nothing beyond the number to keep: nothing deleted.
    settings.keep = 5;
    const std::u16string logs = logtest::U16(logs_);
    EXPECT_EQ(xal_log_cleanup(&settings, logs.c_str()), 0);
    EXPECT_EQ(Names(logs_).size(), 1u);
}

TEST_F(Rotation, AFailedCleanUpIsReportedAsAnErrorEvent) {
    Configure(log_, "hour", "3");
    // The directory to clean is one that cannot be listed.
    const std::u16string missing = logtest::U16(dir_ / "gone");
    std::fill(std::begin(Settings().log_directory), std::end(Settings().log_directory), u'\0');
    std::copy(missing.begin(), missing.end(), Settings().log_directory);
    LogAt(28, 11, 0, 5, 28019);
    const auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].category, 10); // from the error number, 10024 / 1000
    EXPECT_EQ(events[0].strings[0],
              "[Corvane] (ERROR:" + Ids() +
                  "): [10024] Deletion of some or all of the old logs failed with errno 10024. "
                  "Undeleted files will remain in the log directory.\n");
    // The line itself still went to the new file.
    EXPECT_NE(ReadFile(log_).find("[28019]"), std::string::npos);
}

TEST_F(Rotation, EveryFourthFailedMoveIsReported) {
    Configure(log_, "hour");
    // The file vanishes under the writer before each boundary: the move
    // fails with ENOENT and a new file is opened in its place.
    for (int hour = 11; hour <= 14; ++hour) {
        fs::remove(log_);
        LogAt(28, hour, 0, 5, 28019);
        EXPECT_EQ(Events().size(), hour < 14 ? 0u : 1u) << "after the move at " << hour;
        EXPECT_EQ(Lines(ReadFile(log_)), 1);
    }
    const auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].category, 0); // 2 / 1000
    EXPECT_EQ(events[0].strings[0],
              "[Corvane] (ERROR:" + Ids() +
                  "): [2] Rename of log file failed with errno 2. Logs will continue to be "
                  "written to the file specified in the config.\n");
    EXPECT_EQ(Settings().rotate_failures, 0);
    fs::remove(log_);
    LogAt(28, 15, 0, 5, 28019);
    EXPECT_EQ(Events().size(), 1u);
    EXPECT_EQ(Settings().rotate_failures, 1);
}

TEST_F(Rotation, AFailedMoveWithAFailedReopenIsReportedAtOnce) {
    Configure(log_, "hour");
    fs::remove_all(logs_);
    LogAt(28, 11, 0, 5, 28019); // lost: no file, and not sent elsewhere
    EXPECT_EQ(Settings().stream, nullptr);
    xal_log_message(XAL_LOG_NOTICE, 28018); // now goes to the event log
    const auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_NE(events[0].strings[0].find("): [2] Rename of log file failed with errno 2."),
              std::string::npos);
    EXPECT_NE(events[1].strings[0].find("): [28018] Maintenance Starting.\n"), std::string::npos);
    EXPECT_EQ(events[1].type, 0);
}

} // namespace
