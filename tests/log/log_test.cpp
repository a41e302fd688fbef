// The logging core and the log file: the levels, the lines written to the
// event log and to the file, the settings read from the environment,
// rotation by local-time periods and the removal of old rotated files.
#include "controller/win32logging.h"
#include "log/xal_log.h"
#include "log/xal_log_internal.h"
#include "log/xal_log_limits.h"
#include "platform/win32/win32_base.h"
#include "platform/xalshareddata/xal_shared_log_settings.h"
#include "runtime/vtx_str.h"
#include "tests/support/clock.h"
#include "tests/support/events.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <pty.h>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
XAL_SHARED_LOG_SETTINGS& shared = xal_shared_log_settings;
using swtest::ReadFile;

const char* const kVariables[] = {"XAL_LOG_LEVEL", "XAL_LOG_FILE", "XAL_LOG_ROTATE",
                                  "XAL_LOG_KEEP"};

int Lines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// "pid.tid" of the calling thread, as a line shows them.
std::string Ids() {
    return std::to_string(GetCurrentProcessId()) + "." + std::to_string(GetCurrentThreadId());
}

// UTC seconds of a civil time in UTC.
std::int64_t Utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{second, minute, hour, day, month - 1, year - 1900, 0, 0, 0, 0, nullptr};
    return static_cast<std::int64_t>(::timegm(&t));
}

// Sets the process's time zone to a POSIX rule (no zone files needed).
void Zone(const char* rule) {
    ::setenv("TZ", rule, 1);
    ::tzset();
    xal_log_reset_zone_cache();
}

std::set<std::string> Names(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

// Every test starts in UTC at 10:17 on 28 March 2026 with none of the
// XAL_LOG_ variables set, events going to a fresh event file and the record
// at level 5 with no stream (the event log); afterwards the record is read
// again from the environment.
class Log : public ::testing::Test {
protected:
    void SetUp() override {
        Zone("UTC");
        for (const char* name : kVariables)
            ::unsetenv(name);
        ::setenv("SORTWELL_EVENTLOG", "FILE", 1);
        ::setenv("SORTWELL_EVENTLOG_FILE", events_.c_str(), 1);
        // The next event registers the source again under this environment.
        if (event_log_toggle_source(u"Sortwell") > 1)
            event_log_toggle_source(u"Sortwell");
        xal_shared_log_settings_load();
        shared.level = 5;
        shared.stream = nullptr;
        shared.rotate_period = 0;
        shared.keep = 0;
        fs::create_directory(logs_);
    }
    void TearDown() override {
        for (const char* name : kVariables)
            ::unsetenv(name);
        xal_shared_log_settings_reload();
    }
    std::vector<swtest::EventRecord> Events() { return swtest::ReadEventFile(events_); }
    // Reads the record again from the environment; returns what was said.
    std::string Reload() {
        swtest::CapturedStderr captured(dir_ / "stderr.txt");
        xal_shared_log_settings_reload();
        return captured.Text();
    }
    static void Set(const std::string& file, const char* rotate, const char* keep,
                    const char* level) {
        const char* values[] = {level, file.c_str(), rotate, keep};
        for (int i = 0; i < 4; ++i)
            ::setenv(kVariables[i], values[i], 1);
    }
    // A log file rotated every `rotate` keeping `keep`, and its first line.
    void Configure(const std::string& file, const char* rotate, const char* keep = "0") {
        Set(file, rotate, keep, "7");
        ASSERT_EQ(Reload(), "");
        ASSERT_NE(shared.stream, nullptr);
        xal_log_message(XAL_LOG_NOTICE, 28018);
    }
    // Moves the clock to that UTC time in March 2026 and logs `id`.
    void LogAt(int day, int hour, int minute, int second, int id = 28018) {
        clock_.Set(Utc(2026, 3, day, hour, minute, second));
        xal_log_message(XAL_LOG_NOTICE, id);
    }

    swtest::FakeClock clock_{Utc(2026, 3, 28, 10, 17, 0)};
    swtest::TempDir dir_;
    std::string events_ = dir_ / "events.jsonl";
    std::string logs_ = dir_ / "logs";
    std::string log_ = logs_ + "/agent.log";
};

// ---------------------------------------------------------------- messages

TEST_F(Log, EventLogLinesCarryPrefixTypeIdAndCategory) {
    xal_log_message(XAL_LOG_ERR, 28004, 0x80004005u);
    xal_log_message(XAL_LOG_NOTICE, 28018);
    xal_log_message(2, 10009);
    xal_log_message(XAL_LOG_WARNING, 28007, u"alice@example.org", 5u);
    // Ids without a text, whatever the level, are internal errors.
    shared.level = 3;
    for (const int id : {28024, 0, 43035})
        xal_log_message(XAL_LOG_DEBUG, id);
    const auto events = Events();
    ASSERT_EQ(events.size(), 7u);
    const std::string line0 = "[Corvane] (ERROR:" + Ids() +
                              "): [28004] Could not retrieve local server DN. The local machine "
                              "may not be an Exchange Server. (hr=80004005).\n";
    EXPECT_EQ(events[0].source, "Sortwell");
    EXPECT_EQ(std::tuple(events[0].type, events[0].event_id, events[0].category, events[0].data),
              std::tuple(1, 0xC0000202u, 28, std::string()));
    EXPECT_EQ(events[0].strings, std::vector<std::string>{line0});
    EXPECT_EQ(events[0].message, "ERROR: '" + line0 + "'.");
    EXPECT_EQ(std::tuple(events[1].type, events[1].strings[0]), // a notice is a success event
              std::tuple(0, "[Corvane] (NOTICE:" + Ids() + "): [28018] Maintenance Starting.\n"));
    EXPECT_EQ(events[1].message, "INFO: '" + events[1].strings[0] + "'.");
    EXPECT_EQ(
        std::tuple(events[2].type, events[2].category, events[2].strings[0]),
        std::tuple(4, 10, "[Corvane] (DEBUG:" + Ids() + "): [10009] Could not create new lock.\n"));
    // Line feeds inside a text stay; only a missing last one is added.
    EXPECT_EQ(std::tuple(events[3].type, events[3].strings[0]),
              std::tuple(2, "[Corvane] (WARNING:" + Ids() +
                                "): [28007] Unable to open Mailbox:\nalice@example.org\n"
                                "(hr=00000005).\n"));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(std::tuple(events[4 + i].type, events[4 + i].category, events[4 + i].strings[0]),
                  std::tuple(1, 1,
                             "[Corvane] (ERROR:" + Ids() +
                                 "): [1003] Internal logging error.  Error code: " +
                                 std::to_string(std::vector<int>{28024, 0, 43035}[i]) + ".\n"));
}

TEST_F(Log, MessagesAboveTheLevelAreNeverFormattedOrWritten) {
    // Text on an unreadable page: formatting it would crash the test.
    void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    const auto* poison = static_cast<const char16_t*>(page);
    xal_log_message(XAL_LOG_INFO, 28001, poison);
    shared.level = 0; // nothing at all, not even alerts
    xal_log_message(XAL_LOG_ALERT, 28001, poison);
    std::FILE* stream = std::fopen(log_.c_str(), "a+");
    shared.stream = stream;
    xal_log_message(XAL_LOG_ERR, 28001, poison);
    shared.level = 3;
    xal_log_message(XAL_LOG_WARNING, 28001, poison);
    shared.stream = nullptr;
    std::fclose(stream);
    ::munmap(page, 4096);
    EXPECT_EQ(ReadFile(log_), "");
    EXPECT_TRUE(Events().empty());
    shared.level = 6; // the level itself goes through
    xal_log_message(XAL_LOG_INFO, 28018);
    EXPECT_EQ(Events().size(), 1u);
}

TEST_F(Log, LongMessagesAreCutAtTheBufferEndAndStillEndInALineFeed) {
    xal_log_message(XAL_LOG_WARNING, 28007, std::u16string(5000, u'a').c_str(), 1u);
    // A surrogate pair cut in half loses its first half rather than turning
    // into a replacement character.
    const std::string prefix =
        "[Corvane] (WARNING:" + Ids() + "): [28007] Unable to open Mailbox:\n";
    std::u16string pair_at_end(XAL_LOG_LINE_CHARS - 2 - prefix.size(), u'b');
    pair_at_end += u"\U0001F600 and more";
    xal_log_message(XAL_LOG_WARNING, 28007, pair_at_end.c_str(), 1u);
    const auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    const std::u16string line = VTX_FromUtf8(events[0].strings[0]);
    EXPECT_EQ(std::tuple(line.size(), line.back(), line.substr(0, prefix.size())),
              std::tuple(XAL_LOG_LINE_CHARS, u'\n', VTX_FromUtf8(prefix)));
    const std::u16string cut = VTX_FromUtf8(events[1].strings[0]);
    EXPECT_EQ(std::tuple(cut.size(), cut.substr(cut.size() - 2)),
              std::tuple(XAL_LOG_LINE_CHARS - 1, u"b\n"));
}

TEST_F(Log, FileLinesAreDateStampedUtf8AndNeverTouchTheEventLog) {
    clock_.Set(Utc(2026, 12, 4, 7, 5, 9));
    std::FILE* stream = std::fopen(log_.c_str(), "a+");
    shared.stream = stream;
    xal_log_message(XAL_LOG_NOTICE, 28018);
    clock_.Set(Utc(2027, 1, 15, 23, 0, 0));
    xal_log_message(XAL_LOG_ERR, 28003, u"J\u00fcrgen \u65e5\u672c@example.org", 0x8004010Fu);
    shared.stream = nullptr;
    std::fclose(stream);
    EXPECT_EQ(ReadFile(log_),
              "4 Dec 2026 07:05:09 (NOTICE:" + Ids() +
                  "): [28018] Maintenance Starting.\n15 Jan 2027 23:00:00 (ERROR:" + Ids() +
                  "): [28003] Unable to log on to mailbox:\n"
                  "J\xc3\xbcrgen \xe6\x97\xa5\xe6\x9c\xac@example.org\n"
                  "(hr=8004010f).\n");
    EXPECT_TRUE(Events().empty());
}

TEST_F(Log, AnEventFileThatCannotBeOpenedIsNamedAndSyslogTakesOver) {
    const std::string events = dir_ / "no-such-dir/events.jsonl";
    ::setenv("SORTWELL_EVENTLOG_FILE", events.c_str(), 1);
    swtest::CapturedStderr captured(dir_ / "stderr.txt");
    xal_log_message(XAL_LOG_NOTICE, 28018);
    EXPECT_EQ(captured.Text(), "sortwell: cannot open the event file " + events +
                                   " (SORTWELL_EVENTLOG_FILE): No such file or directory; events "
                                   "go to syslog instead\n");
}

// ---------------------------------------------------------------- settings

TEST_F(Log, NothingSetMeansNoticeToTheEventLogOrTheTerminal) {
    EXPECT_EQ(Reload(), ""); // standard error is a plain file here
    EXPECT_EQ(std::tuple(shared.initialized, shared.level, shared.rotate_period, shared.stream),
              std::tuple(1, 5, 0, static_cast<std::FILE*>(nullptr)));
    // With a terminal on standard error, lines go there.
    int master = -1, terminal = -1;
    ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    const int saved = ::dup(2);
    ::dup2(terminal, 2);
    xal_shared_log_settings_reload();
    std::FILE* chosen = shared.stream;
    ::dup2(saved, 2);
    for (const int fd : {saved, terminal, master})
        ::close(fd);
    EXPECT_EQ(chosen, stderr);
    ::setenv("XAL_LOG_FILE", "stderr", 1);
    EXPECT_EQ((std::tuple{Reload(), shared.stream}), std::tuple("", stderr));
}

TEST_F(Log, EveryVariableIsReadIntoTheRecord) {
    Set(log_, "2 hours", "3", "debug");
    EXPECT_EQ(Reload(), "");
    EXPECT_EQ(std::tuple(shared.level, shared.rotate_period, shared.keep, shared.period_start,
                         std::u16string(shared.log_path)),
              std::tuple(7, 7200, 3, Utc(2026, 3, 28, 10, 17, 0), VTX_FromUtf8(log_)));
    xal_log_message(XAL_LOG_DEBUG, 28018);
    EXPECT_NE(ReadFile(log_).find("(DEBUG:"), std::string::npos);

    const std::pair<const char*, std::int32_t> periods[] = {
        {"3600", 3600},       {"hour", 3600},   {"hourly", 3600}, {"day", 86400}, {"2days", 172800},
        {"90 minutes", 5400}, {"week", 604800}, {"Daily", 86400}, {"0", 0},       {"0 day", 0}};
    for (const auto& [text, seconds] : periods) {
        ::setenv("XAL_LOG_ROTATE", text, 1);
        EXPECT_EQ(Reload(), "") << text;
        EXPECT_EQ(shared.rotate_period, seconds) << text;
    }
    const std::pair<const char*, std::int32_t> levels[] = {
        {"alert", 1}, {"ERROR", 3}, {"warning", 4}, {"notice", 5}, {"info", 6}, {"4", 4}, {"0", 0}};
    for (const auto& [text, level] : levels) {
        ::setenv("XAL_LOG_LEVEL", text, 1);
        EXPECT_EQ(Reload(), "") << text;
        EXPECT_EQ(shared.level, level) << text;
    }
}

TEST_F(Log, BadValuesAreNamedInOneLineAndDefaultsTakeTheirPlace) {
    ::setenv("XAL_LOG_FILE", log_.c_str(), 1);
    const std::pair<const char*, const char*> bad[] = {{"XAL_LOG_LEVEL", "abc"},
                                                       {"XAL_LOG_LEVEL", "9"},
                                                       {"XAL_LOG_LEVEL", "-1"},
                                                       {"XAL_LOG_ROTATE", "fortnight"},
                                                       {"XAL_LOG_ROTATE", "hour2"},
                                                       {"XAL_LOG_KEEP", "-1"},
                                                       {"XAL_LOG_ROTATE", "99999999 week"},
                                                       {"XAL_LOG_KEEP", "three"}};
    for (const auto& [variable, value] : bad) {
        ::setenv(variable, value, 1);
        const std::string said = Reload();
        EXPECT_EQ(Lines(said), 1) << said;
        EXPECT_NE(said.find(std::string(variable) + "=" + value), std::string::npos) << said;
        EXPECT_EQ(std::tuple(shared.level, shared.rotate_period, shared.keep), std::tuple(5, 0, 0));
        EXPECT_NE(shared.stream, nullptr) << "the log file is still used";
        ::unsetenv(variable);
    }
    ::setenv("XAL_LOG_LEVEL", "abc", 1);
    EXPECT_EQ(Reload(), "sortwell: XAL_LOG_LEVEL=abc is not a level (0 to 7, or alert, error, "
                        "warning, notice, info, debug); the level stays 5 (notice)\n");

    // A file that cannot be opened leaves the default destination, and
    // rotation without a file says so too.
    ::unsetenv("XAL_LOG_LEVEL");
    const std::string missing = dir_ / "missing-directory/agent.log";
    ::setenv("XAL_LOG_FILE", missing.c_str(), 1);
    std::string said = Reload();
    EXPECT_EQ(Lines(said), 1) << said;
    EXPECT_NE(said.find(missing + ": No such file or directory"), std::string::npos) << said;
    EXPECT_EQ(shared.stream, nullptr);
    ::setenv("XAL_LOG_ROTATE", "day", 1);
    said = Reload();
    EXPECT_EQ(Lines(said), 2) << said;
    EXPECT_NE(said.find("XAL_LOG_ROTATE"), std::string::npos);
    EXPECT_EQ(shared.rotate_period, 0);
    ::unsetenv("XAL_LOG_ROTATE");
    // A path too long for the record, and a directory.
    ::setenv("XAL_LOG_FILE", (dir_ / std::string(140, 'x')).c_str(), 1);
    EXPECT_NE(Reload().find("longer than 129 characters"), std::string::npos);
    EXPECT_EQ(shared.stream, nullptr);
    ::setenv("XAL_LOG_FILE", (dir_.path() + "/").c_str(), 1);
    EXPECT_NE(Reload().find("names a directory"), std::string::npos);
}

// ---------------------------------------------------------------- rotation

TEST_F(Log, HourlyFilesMoveAtTheFirstLineAfterTheBoundary) {
    Configure(log_, "hour");
    EXPECT_EQ(shared.rotate_period, 3600);
    LogAt(28, 10, 59, 59, 28019);
    EXPECT_EQ(Names(logs_), (std::set<std::string>{"agent.log"}));
    clock_.Set(Utc(2026, 3, 28, 11, 0, 5));
    xal_log_message(XAL_LOG_ERR, 28014, 1u);
    EXPECT_EQ(Names(logs_), (std::set<std::string>{"agent.log", "agent.log202603281000.log"}));
    const std::string closed = ReadFile(logs_ + "/agent.log202603281000.log");
    EXPECT_EQ(Lines(closed), 2);
    EXPECT_NE(closed.find("28 Mar 2026 10:59:59 (NOTICE:"), std::string::npos);
    EXPECT_EQ(ReadFile(log_).find("28 Mar 2026 11:00:05 (ERROR:"), 0u);
    EXPECT_EQ(Lines(ReadFile(log_)), 1);
    // A skipped hour: the name carries the start of the period that ended.
    LogAt(28, 13, 10, 0);
    EXPECT_EQ(Names(logs_), (std::set<std::string>{"agent.log", "agent.log202603281000.log",
                                                   "agent.log202603281100.log"}));
    EXPECT_TRUE(Events().empty());
}

TEST_F(Log, PeriodsFollowLocalTimeAcrossADaylightSavingChange) {
    Zone("IST-5:30");                       // UTC+5:30 all year
    clock_.Set(Utc(2026, 3, 28, 4, 47, 0)); // 10:17 local
    Configure(log_, "3600");
    LogAt(28, 5, 29, 0); // 10:59 local: a UTC hour ended, no local one
    EXPECT_EQ(Names(logs_).size(), 1u);
    LogAt(28, 5, 30, 1); // 11:00:01 local
    EXPECT_EQ(Names(logs_), (std::set<std::string>{"agent.log", "agent.log202603281000.log"}));

    // Central European time: summer time from 02:00 on 29 March 2026.
    fs::remove_all(logs_);
    fs::create_directory(logs_);
    Zone("CET-1CEST,M3.5.0,M10.5.0/3");
    clock_.Set(Utc(2026, 3, 28, 11, 0, 0)); // 12:00 CET
    Configure(log_, "day");
    LogAt(28, 22, 59, 59); // 23:59:59 CET
    EXPECT_EQ(Names(logs_).size(), 1u);
    LogAt(28, 23, 0, 1); // 00:00:01 CET, 29 March
    EXPECT_EQ(Lines(ReadFile(logs_ + "/agent.log202603280000.log")), 2);
    // The offset cached at the last move is the winter one, so the first
    // boundary after the change falls an hour late, at 01:00 summer time...
    LogAt(29, 22, 30, 0); // 00:30 CEST, 30 March
    EXPECT_EQ(Names(logs_).size(), 2u);
    LogAt(29, 23, 0, 1); // 01:00:01 CEST
    EXPECT_EQ(Lines(ReadFile(logs_ + "/agent.log202603290000.log")), 2);
    // ...and from then on the day turns at local midnight in summer time.
    LogAt(30, 21, 59, 59);
    EXPECT_EQ(Names(logs_).size(), 3u);
    LogAt(30, 22, 0, 1); // 00:00:01 CEST, 31 March
    EXPECT_EQ(Lines(ReadFile(logs_ + "/agent.log202603300000.log")), 2);
}

TEST_F(Log, AFileFromAnEarlierRunRotatesIntoItsOwnPeriod) {
    clock_.Set(Utc(2026, 5, 1, 9, 30, 0));
    swtest::WriteFile(log_, "a line of the last run\n");
    const timespec times[2] = {{Utc(2026, 5, 1, 7, 45, 0), 0}, {Utc(2026, 5, 1, 7, 45, 0), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, log_.c_str(), times, 0), 0);
    Configure(log_, "hour");
    EXPECT_EQ(ReadFile(logs_ + "/agent.log202605010700.log"), "a line of the last run\n");
    EXPECT_EQ(Lines(ReadFile(log_)), 1);
}

TEST_F(Log, AnExistingRotatedNameIsNeverOverwritten) {
    swtest::WriteFile(logs_ + "/agent.log202603281000.log", "kept as it was\n");
    Configure(log_, "hour");
    LogAt(28, 11, 0, 5);
    EXPECT_EQ(ReadFile(logs_ + "/agent.log202603281000.log"), "kept as it was\n");
    EXPECT_EQ(Lines(ReadFile(log_)), 2); // the current file keeps growing
    LogAt(28, 12, 0, 5);                 // the next period moves it as usual
    EXPECT_EQ(Lines(ReadFile(logs_ + "/agent.log202603281100.log")), 2);
    EXPECT_TRUE(Events().empty());

    // Without an extension the stamp goes at the end; keeping 1, the older
    // rotated file goes and the live file never counts.
    Configure(logs_ + "/agentlog", "hour", "1");
    LogAt(28, 13, 0, 5);
    LogAt(28, 14, 0, 5);
    const auto names = Names(logs_);
    EXPECT_EQ(std::tuple(names.count("agentlog202603281200"), names.count("agentlog202603281300"),
                         names.count("agentlog")),
              std::tuple(0u, 1u, 1u));
}

TEST_F(Log, CleanUpKeepsTheNewestAndLeavesEveryOtherNameAlone) {
    const std::set<std::string> others = {
        "agent.log20260327080.log",    // one character short
        "agent.log2026032708000.log",  // one character long
        "agent.log202603270700.txt",   // another extension
        "agent.log202603270700",       // no extension
        "other.log202603270700.log",   // another file's
        "agent.log.202603270700.log"}; // stamp after an extra dot: stem too long
    // Plain code-unit order puts upper case first: that one counts as oldest.
    for (const char* name : {"agent.log202603270800.log", "agent.log202603270900.log",
                             "AGENT.LOG202603271000.LOG", "agent.log202603271100.log"})
        swtest::WriteFile(logs_ + "/" + name, "old\n");
    for (const std::string& name : others)
        swtest::WriteFile(logs_ + "/" + name, "old\n");
    Configure(log_, "hour", "2");
    LogAt(28, 11, 0, 5);
    std::set<std::string> expected = others;
    expected.insert({"agent.log", "agent.log202603271100.log", "agent.log202603281000.log"});
    EXPECT_EQ(Names(logs_), expected);
    EXPECT_TRUE(Events().empty());

    // The current directory when none is named; nothing beyond the number
    // to keep, nothing deleted.
    XAL_SHARED_LOG_SETTINGS settings{};
    settings.keep = 1;
    std::u16string(u"agent.log").copy(settings.log_file_name, 9);
    std::u16string(u".log").copy(settings.log_extension, 4);
    const fs::path before = fs::current_path();
    fs::current_path(logs_);
    EXPECT_EQ(xal_log_cleanup(&settings, nullptr), 0);
    fs::current_path(before);
    expected.erase("agent.log202603271100.log");
    EXPECT_EQ(Names(logs_), expected);
    settings.keep = 5;
    EXPECT_EQ(xal_log_cleanup(&settings, VTX_FromUtf8(logs_).c_str()), 0);
    EXPECT_EQ(Names(logs_), expected);
}

TEST_F(Log, FailedMovesAndCleanUpsAreReportedAsErrorEvents) {
    // The file vanishes under the writer before each boundary: the move
    // fails with ENOENT, a new file is opened, and every fourth failure is
    // reported.
    Configure(log_, "hour");
    for (int hour = 11; hour <= 15; ++hour) {
        fs::remove(log_);
        LogAt(28, hour, 0, 5, 28019);
        EXPECT_EQ(Events().size(), hour < 14 ? 0u : 1u) << "after the move at " << hour;
        EXPECT_EQ(Lines(ReadFile(log_)), 1);
    }
    EXPECT_EQ(shared.rotate_failures, 1);
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].category, 0); // 2 / 1000
    EXPECT_EQ(events[0].strings[0],
              "[Corvane] (ERROR:" + Ids() +
                  "): [2] Rename of log file failed with errno 2. Logs will continue to be "
                  "written to the file specified in the config.\n");

    // A failed move whose new file cannot be opened is reported at once; the
    // line is lost and the next one goes to the event log.
    fs::remove_all(logs_);
    LogAt(28, 16, 0, 5, 28019);
    EXPECT_EQ(shared.stream, nullptr);
    xal_log_message(XAL_LOG_NOTICE, 28018);
    events = Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_NE(events[1].strings[0].find("): [2] Rename of log file failed"), std::string::npos);
    EXPECT_NE(events[2].strings[0].find("): [28018] Maintenance Starting.\n"), std::string::npos);

    // A directory to clean that cannot be listed.
    fs::create_directory(logs_);
    Configure(log_, "hour", "3");
    const std::u16string gone = VTX_FromUtf8(dir_ / "gone");
    std::fill(std::begin(shared.log_directory), std::end(shared.log_directory), u'\0');
    gone.copy(shared.log_directory, gone.size());
    LogAt(28, 17, 0, 5, 28019);
    events = Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[3].category, 10); // from the error number, 10024 / 1000
    EXPECT_EQ(events[3].strings[0],
              "[Corvane] (ERROR:" + Ids() +
                  "): [10024] Deletion of some or all of the old logs failed with errno 10024. "
                  "Undeleted files will remain in the log directory.\n");
    EXPECT_NE(ReadFile(log_).find("[28019]"), std::string::npos) << "the line went to the file";
}

} // namespace
