// The Agent controller's cycle over whole days on a fake clock, with the
// engine's test double: the maintenance window, re-arming, reloads, once
// mode, the interval wait and its overrun. Then what the settings make of
// the numbers and texts in a hive, and the status line and metrics of a pass.
#include "agent/agent_controller.h"
#include "agent/agent_entry.h"
#include "agent/pass_status.h"
#include "platform/win32/sysinfo.h"
#include "runtime/vtx_str.h"
#include "tests/agent/agent_test_support.h"
#include "tests/agent/engine_double.h"
#include "tests/support/metrics.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <set>

namespace {

const bool kLogFiles = swtest::UseLogFiles();
using swtest::At;
using swtest::Dword;
using Args = std::vector<std::u16string>;

TEST(MaintenanceWindow, OpenAndPassedHoursOfBothKindsOfWindow) {
    const std::set<std::uint32_t> open_1_2 = {1};
    const std::set<std::uint32_t> held_1_2 = {1, 2};
    const std::set<std::uint32_t> open_22_6 = {22, 23, 0, 1, 2, 3, 4, 5};
    const std::set<std::uint32_t> held_22_6 = {22, 23, 0, 1, 2, 3, 4, 5, 6};
    for (std::uint32_t hour = 0; hour < 24; ++hour) {
        SCOPED_TRACE(hour);
        EXPECT_EQ(maintenance_window_open(1, 2, hour), open_1_2.count(hour) == 1);
        EXPECT_EQ(maintenance_window_passed(1, 2, hour), held_1_2.count(hour) == 0);
        EXPECT_EQ(maintenance_window_open(22, 6, hour), open_22_6.count(hour) == 1);
        EXPECT_EQ(maintenance_window_passed(22, 6, hour), held_22_6.count(hour) == 0);
        EXPECT_EQ(maintenance_window_open(0, 23, hour), hour != 23); // all day but an hour
    }
}

class AgentCycle : public ::testing::Test {
protected:
    void SetUp() override {
        engine_double_script() = {};
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        agent_load_ui_strings();
        WriteHive({});
    }
    void TearDown() override {
        if (controller)
            controller->uninitialize();
        ::unsetenv("SORTWELL_REGISTRY");
        ::unsetenv("SORTWELL_METRICS_FILE");
    }
    // The hive: the required values (unless not wanted) and `extra`.
    void WriteHive(const std::vector<std::string>& extra, bool with_required = true) {
        static int serial = 0;
        const std::string path = dir.file("hive" + std::to_string(++serial) + ".reg");
        swtest::WriteAgentHive(path, extra, with_required);
        ::setenv("SORTWELL_REGISTRY", path.c_str(), 1);
    }
    // A new controller initialised with the program name and `args`; a
    // previous one is uninitialised first and the double starts anew.
    std::int32_t Initialize(const Args& args) {
        if (controller)
            controller->uninitialize();
        engine_double_script() = {};
        texts = {u"/usr/sbin/ovo"};
        texts.insert(texts.end(), args.begin(), args.end());
        argv.clear();
        for (std::u16string& text : texts)
            argv.push_back(text.data());
        argv.push_back(nullptr);
        controller = std::make_unique<agent_controller>();
        log_mark = swtest::LogFiles::get().log_mark();
        return controller->initialize(static_cast<std::int32_t>(texts.size()), argv.data());
    }
    std::int32_t Run() {
        return controller->run(static_cast<std::int32_t>(texts.size()), argv.data());
    }
    // Reads the settings from a hive of `lines` (after the required values
    // when asked); what was logged is left in `logged`.
    std::int32_t ReadSettings(const std::vector<std::string>& lines, bool with_required = false) {
        WriteHive(lines, with_required);
        const std::size_t mark = swtest::LogFiles::get().log_mark();
        const std::int32_t result = agent_settings_read(&settings);
        logged = swtest::LogFiles::get().log_since(mark);
        return result;
    }
    std::string Log() const { return swtest::LogFiles::get().log_since(log_mark); }
    std::vector<int> Logged() const { return swtest::LoggedIds(Log()); }
    std::uint32_t StateAt(std::int64_t when) const {
        for (const engine_double_pass& pass : engine_double_script().passes)
            if (pass.started == when)
                return pass.state;
        ADD_FAILURE() << "no pass began at " << when;
        return 99;
    }
    // Runs from day 0 00:00 for three days, a pass every ten minutes, and
    // returns the start times of the maintenance passes. The metrics file
    // must count those after the first pass.
    std::vector<std::int64_t> RunThreeDays(std::vector<std::string> extra) {
        extra.push_back(Dword("Interval (Seconds)", 600));
        WriteHive(extra);
        const std::string metrics = dir.file("metrics.prom");
        ::setenv("SORTWELL_METRICS_FILE", metrics.c_str(), 1);
        swtest::FakeClock clock(At(0, 0, 0));
        EXPECT_EQ(Initialize({}), 0);
        double after_first = 0;
        engine_double_script().on_pass = [&](std::uint32_t pass) {
            if (pass == 1)
                after_first = swtest::ParseMetrics(
                    swtest::ReadFile(metrics))["sortwell_maintenance_passes_total"];
        };
        clock.after_sleep = [this](std::int64_t now) {
            if (now >= At(3, 0, 0))
                controller->on_shutdown();
        };
        EXPECT_EQ(Run(), 0);
        const auto& passes = engine_double_script().passes;
        EXPECT_EQ(passes.size(), 3u * 24 * 6) << "one pass every ten minutes for three days";
        std::vector<std::int64_t> times;
        for (std::size_t i = 0; i < passes.size(); ++i) {
            EXPECT_EQ(passes[i].pass, i);
            EXPECT_EQ(passes[i].started, At(0, 0, 0) + static_cast<std::int64_t>(i) * 600);
            if (passes[i].state == MAINTENANCE_DUE)
                times.push_back(passes[i].started);
        }
        const auto counted = swtest::ParseMetrics(swtest::ReadFile(metrics));
        EXPECT_EQ(counted.at("sortwell_maintenance_passes_total") - after_first,
                  static_cast<double>(times.size() - (times.front() == At(0, 0, 0) ? 1 : 0)));
        return times;
    }

    swtest::TempDir dir;
    std::vector<std::u16string> texts;
    std::vector<char16_t*> argv;
    std::unique_ptr<agent_controller> controller;
    std::size_t log_mark = 0;
    agent_settings settings{};
    std::string logged;
};

TEST_F(AgentCycle, WindowOneToTwoRunsMaintenanceOncePerDay) {
    EXPECT_EQ(RunThreeDays({}), (std::vector<std::int64_t>{At(0, 1, 0), At(1, 1, 0), At(2, 1, 0)}));
    EXPECT_EQ(StateAt(At(1, 0, 50)), MAINTENANCE_IDLE);
    EXPECT_EQ(StateAt(At(1, 1, 10)), MAINTENANCE_DONE);
    EXPECT_EQ(StateAt(At(1, 2, 10)), MAINTENANCE_DONE) << "the end hour holds";
    EXPECT_EQ(StateAt(At(1, 3, 0)), MAINTENANCE_DONE);
    EXPECT_EQ(StateAt(At(1, 3, 10)), MAINTENANCE_IDLE) << "re-armed after 03:00";
    EXPECT_EQ(Logged(), (std::vector<int>{28018, 28019, 28018, 28019, 28018, 28019}));
}

TEST_F(AgentCycle, WindowAcrossMidnightOpensAtStartAndEveryEvening) {
    // Open at start-up (00:00 lies in the window), then at 22:00 each day.
    EXPECT_EQ(
        RunThreeDays({Dword("Maintenance Begin (Hour)", 22), Dword("Maintenance End (Hour)", 6)}),
        (std::vector<std::int64_t>{At(0, 0, 0), At(0, 22, 0), At(1, 22, 0), At(2, 22, 0)}));
    EXPECT_EQ(std::vector({StateAt(At(1, 5, 50)), StateAt(At(1, 6, 50)), StateAt(At(1, 7, 0)),
                           StateAt(At(1, 7, 10)), StateAt(At(1, 21, 50)), StateAt(At(1, 23, 0))}),
              std::vector<std::uint32_t>({MAINTENANCE_DONE, MAINTENANCE_DONE, MAINTENANCE_DONE,
                                          MAINTENANCE_IDLE, MAINTENANCE_IDLE, MAINTENANCE_DONE}));
    for (const char* said : {"Maintenance Starting.", "Maintenance Complete."})
        EXPECT_EQ(swtest::CountOf(Log(), said), 4) << said;
}

// A reload late in an overlong maintenance pass ends it at once without the
// overrun message, and the new engine starts idle, so maintenance runs
// again; in once mode the reload is ignored. A reload whose settings are
// gone ends the cycle.
TEST_F(AgentCycle, ReloadDuringAPassStartsIdleAndIsIgnoredInOnceMode) {
    for (const bool once : {false, true}) {
        SCOPED_TRACE(once ? "once" : "normal");
        WriteHive({Dword("Interval (Seconds)", 60)});
        swtest::FakeClock clock(At(0, 1, 30));
        ASSERT_EQ(Initialize(once ? Args{u"once"} : Args{}), 0);
        engine_double_script().pass_seconds = 120;
        clock.after_sleep = [&](std::int64_t now) {
            if (now == At(0, 1, 30) + 100)
                controller->on_reload();
        };
        engine_double_script().on_pass = [this](std::uint32_t pass) {
            if (pass == 1)
                controller->on_shutdown();
        };
        EXPECT_EQ(Run(), 0);
        const auto& script = engine_double_script();
        EXPECT_EQ(script.passes[0].waited, 100u) << "the reload ends the pass's wait";
        if (once) {
            EXPECT_EQ(script.calls, (std::vector<std::string>{"setup", "run_pass", "pass_end"}));
            EXPECT_EQ(Logged(), (std::vector<int>{28018, 28019}));
            continue;
        }
        ASSERT_EQ(script.passes.size(), 2u);
        // The new engine starts idle; the pass number runs on; no interval wait.
        EXPECT_EQ(std::tuple(script.passes[0].state, script.passes[1].state, script.passes[1].pass,
                             script.passes[1].started - script.passes[0].started),
                  std::tuple(MAINTENANCE_DUE, MAINTENANCE_DUE, 1u, std::int64_t{100}));
        EXPECT_EQ(script.calls,
                  (std::vector<std::string>{"setup", "run_pass", "pass_end", "teardown", "destroy",
                                            "setup", "run_pass", "pass_end"}));
        EXPECT_EQ(Logged(), (std::vector<int>{28018, 28019, 28018, 28019})) << "no 28015";
    }

    swtest::FakeClock clock(At(0, 12, 0));
    ASSERT_EQ(Initialize({}), 0);
    engine_double_script().on_pass = [this](std::uint32_t) {
        WriteHive({}, false); // the values are gone by the time of the reload
        controller->on_reload();
    };
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(controller->stop_flag.load(), 1);
    EXPECT_EQ(engine_double_script().passes.size(), 1u);
    EXPECT_EQ(Logged(), std::vector<int>{28001});
}

TEST_F(AgentCycle, OverrunIsReportedAndTheIntervalIsCountedFromThePassWait) {
    // Seconds a pass takes, seconds between passes, whether 28015 is logged.
    const std::tuple<std::uint32_t, std::int64_t, bool> cases[] = {
        {100, 100, true},                  // no wait after an overrun
        {61, 61, true},   {60, 60, false}, // exactly the interval: no message, no extra wait
        {10, 60, false},  {0, 60, false},
    };
    for (const auto& [pass_seconds, between, overrun] : cases) {
        SCOPED_TRACE(pass_seconds);
        WriteHive({Dword("Interval (Seconds)", 60)});
        swtest::FakeClock clock(At(0, 12, 0));
        ASSERT_EQ(Initialize({}), 0);
        engine_double_script().pass_seconds = pass_seconds;
        engine_double_script().on_pass = [this](std::uint32_t pass) {
            if (pass == 2)
                controller->on_shutdown();
        };
        EXPECT_EQ(Run(), 0);
        const auto& passes = engine_double_script().passes;
        ASSERT_EQ(passes.size(), 3u);
        EXPECT_EQ(passes[1].started - passes[0].started, between);
        EXPECT_EQ(passes[2].started - passes[1].started, between);
        if (!overrun) {
            EXPECT_TRUE(Logged().empty()) << Log();
            continue;
        }
        EXPECT_EQ(Logged(), (std::vector<int>{28015, 28015})) << Log();
        for (const std::string& said :
             {"(WARNING:" + std::to_string(::getpid()),
              "The operation took too long to complete (" + std::to_string(pass_seconds) +
                  " seconds), so there will be no delay before continuing. You may want to "
                  "increase your Sortwell interval."})
            EXPECT_EQ(swtest::CountOf(Log(), said), 2) << Log();
    }
}

// ---------------------------------------------------------------- settings

TEST_F(AgentCycle, NumbersAreBroughtIntoRangeAndTheWindowChecked) {
    using Field = std::uint32_t agent_settings::*;
    const Field interval = &agent_settings::interval, threads = &agent_settings::thread_count,
                retention = &agent_settings::spam_retention,
                report = &agent_settings::expunge_report;
    const std::tuple<std::string, Field, std::uint32_t> cases[] = {
        {"", interval, 3600},
        {"", threads, 5},
        {"", retention, 30},
        {"", report, 0},
        {Dword("Interval (Seconds)", 0), interval, 60},
        {Dword("Interval (Seconds)", 59), interval, 60},
        {Dword("Interval (Seconds)", 61), interval, 61},
        {Dword("Interval (Seconds)", 4294967295u), interval, 4294967295u},
        {Dword("ThreadCount", 20), threads, 20},
        {Dword("ThreadCount", 21), threads, 20},
        {Dword("ThreadCount", 4294967295u), threads, 20},
        {Dword("Spam Retention (Days)", 0), retention, 1},
        {Dword("Spam Retention (Days)", 90), retention, 90},
        {Dword("Expunge Report", 4294967295u), report, 4294967295u},
        // Only the size is looked at: text of more than four bytes cannot be
        // read and the default applies; shorter data fills the low bytes.
        {"\"ThreadCount\"=\"700\"", threads, 5},
        {"\"Spam Retention (Days)\"=hex:07,00", retention, 7},
    };
    for (const auto& [line, field, expected] : cases) {
        SCOPED_TRACE(line);
        ASSERT_EQ(ReadSettings({line}, true), 0);
        EXPECT_EQ(settings.*field, expected);
        EXPECT_TRUE(swtest::LoggedIds(logged).empty());
    }
    // Maintenance-only mode for exactly 1, said as a notice.
    for (const std::uint32_t stored : {1u, 0u, 2u, 257u}) {
        ASSERT_EQ(ReadSettings({Dword("RunMaintenanceOnly", stored)}, true), 0);
        EXPECT_EQ(settings.maintenance_only, stored == 1 ? 1 : 0) << stored;
        for (const char* said : {"(NOTICE:", "[28021] The Sortwell will be running in "
                                             "'Maintenance Only Mode'."})
            EXPECT_EQ(swtest::CountOf(logged, said), stored == 1 ? 1 : 0) << logged;
    }
    // The window: across midnight is valid; one of the hours alone keeps the
    // other's default; an invalid window gives the default and a warning.
    const std::string begin = "Maintenance Begin (Hour)", end = "Maintenance End (Hour)";
    const std::tuple<std::vector<std::string>, std::uint32_t, std::uint32_t> windows[] = {
        {{}, 1, 2},
        {{Dword(begin, 22), Dword(end, 6)}, 22, 6},
        {{Dword(begin, 0), Dword(end, 23)}, 0, 23},
        {{Dword(end, 5)}, 1, 5},
        {{Dword(begin, 5), Dword(end, 5)}, 0, 0},
        {{Dword(begin, 24), Dword(end, 3)}, 0, 0},
        {{Dword(begin, 3), Dword(end, 24)}, 0, 0},
        {{Dword(begin, 4294967295u)}, 0, 0},
        {{Dword(end, 1)}, 0, 0}, // equal to the default begin
    };
    for (const auto& [lines, first, last] : windows) {
        SCOPED_TRACE(lines.empty() ? "(none)" : lines.front());
        ASSERT_EQ(ReadSettings(lines, true), 0);
        const bool valid = first != last;
        EXPECT_EQ(std::pair(settings.maintenance_begin, settings.maintenance_end),
                  valid ? std::pair(first, last) : std::pair(1u, 2u));
        EXPECT_EQ(swtest::LoggedIds(logged), valid ? std::vector<int>{} : std::vector<int>{28017});
        EXPECT_EQ(swtest::CountOf(logged, "(WARNING:"), valid ? 0 : 1);
    }
}

TEST_F(AgentCycle, TextsAreTrimmedCutOrRefused) {
    // The spam folder loses the white space around it; the marker keeps it.
    const std::pair<std::string, std::u16string> folders[] = {
        {"\"  Junk Mail  \"", u"Junk Mail"},
        {"\"\"", u""},
        {"\"\tSpam\tBox\t\"", u"Spam\tBox"},
        {"\" X \"", u"X"},
        // Ideographic space before, no-break space after.
        {"\"\xE3\x80\x80Spam\xC2\xA0\"", u"Spam"},
        // Line breaks count as white space as well (stored as hex).
        {"hex(1):0a,00,4a,00,0d,00,00,00", u"J"},
    };
    for (const auto& [stored, expected] : folders) {
        SCOPED_TRACE(stored);
        ASSERT_EQ(ReadSettings({"\"Alias\"=\"admin\"", "\"Spam Folder\"=" + stored,
                                "\"Spam SubString\"=\"  X-Spam: yes \""}),
                  0);
        EXPECT_EQ(std::u16string(settings.spam_folder), expected);
        EXPECT_EQ(std::u16string(settings.spam_substring), u"  X-Spam: yes ");
    }

    // 255 and 259 characters and a terminator fit exactly.
    ASSERT_EQ(ReadSettings({"\"Alias\"=\"" + std::string(255, 'a') + "\"",
                            "\"Spam Folder\"=\"" + std::string(259, 'f') + "\"",
                            "\"Spam SubString\"=\"" + std::string(259, 's') + "\"",
                            "\"Server\"=\"" + std::string(259, 'v') + "\""}),
              0);
    EXPECT_EQ(std::u16string(settings.alias), std::u16string(255, u'a'));
    EXPECT_EQ(std::u16string(settings.spam_folder), std::u16string(259, u'f'));
    EXPECT_EQ(std::u16string(settings.server), std::u16string(259, u'v'));
    // A required text that is missing, or fills its whole field without a
    // terminator, is named; a server that does gives way to the computer's
    // name; text without a terminator that leaves room is taken as it is.
    const std::string alias = "\"Alias\"=\"a\"", folder = "\"Spam Folder\"=\"J\"",
                      marker = "\"Spam SubString\"=\"X\"";
    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{}, "Alias"},
        {{swtest::HexText("Alias", 256, 'a'), folder, marker}, "Alias"},
        {{alias, marker}, "Spam Folder"},
        {{alias, swtest::HexText("Spam Folder", 260, 'f'), marker}, "Spam Folder"},
        {{alias, folder}, "Spam SubString"},
        {{alias, folder, swtest::HexText("Spam SubString", 260, 's')}, "Spam SubString"},
    };
    for (const auto& [lines, name] : refused) {
        EXPECT_EQ(ReadSettings(lines), 28001) << name;
        EXPECT_EQ(swtest::LoggedIds(logged), std::vector<int>{28001});
        for (const std::string& said :
             {std::string("(ERROR:"),
              std::string("Error reading configuration from Windows registry: ") + name + "."})
            EXPECT_NE(logged.find(said), std::string::npos) << logged;
    }
    ASSERT_EQ(ReadSettings({alias, folder, marker, swtest::HexText("Server", 260, 'v')}), 0);
    char16_t host[260];
    DWORD size = 260;
    ASSERT_EQ(GetComputerNameW(host, &size), TRUE);
    EXPECT_EQ(std::u16string(settings.server), host);
    ASSERT_EQ(ReadSettings({swtest::HexText("Alias", 10, 'b'), folder, marker}), 0);
    EXPECT_EQ(std::u16string(settings.alias), std::u16string(10, u'b'));

    // Reading again forgets what is gone, also the tail of a longer text.
    ASSERT_EQ(
        ReadSettings({alias, folder, marker, Dword("ThreadCount", 9), "\"Server\"=\"OLD-LONGER\""}),
        0);
    ASSERT_EQ(ReadSettings({alias, folder, marker, "\"Server\"=\"NEW\""}), 0);
    EXPECT_EQ(settings.thread_count, 5u);
    EXPECT_EQ(std::u16string(settings.server), u"NEW");
    ASSERT_EQ(ReadSettings({alias, folder, marker}), 0);
    EXPECT_EQ(std::u16string(settings.server), host);
}

// ---------------------------------------------------------------- pass status

std::string Line(const pass_summary& pass, std::size_t count = 256) {
    char16_t buffer[256];
    pass_status_line(pass, buffer, count);
    return VTX_ToUtf8(buffer);
}

TEST(PassStatus, TheLineAndTheMetricsSayWhatThePassDid) {
    pass_summary pass{3, 120, 120, 2'440'000'000, true};
    EXPECT_EQ(Line(pass), "Pass 3: 120 of 120 mailboxes done, 0 failed, in 2.4 s (maintenance)");
    pass.failed = 4;
    pass.maintenance_failed = 2;
    EXPECT_EQ(Line(pass),
              "Pass 3: 120 of 120 mailboxes done, 4 failed, in 2.4 s (maintenance, 2 not cleaned)");
    pass = {3, 120, 7, 50'000'000, false, false, false, 4}; // rounds up to a tenth
    EXPECT_EQ(Line(pass), "Pass 3: 7 of 120 mailboxes done, 4 failed, in 0.1 s");
    pass = {3, 120, 7, 61'949'000'000, false, true, false, 4, 2};
    EXPECT_EQ(Line(pass), "Pass 3: 7 of 120 mailboxes done, 4 failed, in 61.9 s (remove)");
    pass = {3, 120, 7, 61'949'000'000, false, false, true};
    EXPECT_EQ(Line(pass),
              "Pass 3: 7 of 120 mailboxes done, 0 failed, in 61.9 s (maintenance only, idle)");
    pass.maintenance = true;
    EXPECT_EQ(Line(pass),
              "Pass 3: 7 of 120 mailboxes done, 0 failed, in 61.9 s (maintenance only)");
    EXPECT_EQ(Line(pass, 10), "Pass 3: 7") << "a short buffer cuts the line, terminated";

    pass = {12, 10000, 9998, 1'250'000'000, true, false, false, 3, 1};
    const std::map<std::string, double> expected = {
        {"sortwell_passes_total", 12},
        {"sortwell_maintenance_passes_total", 2},
        {"sortwell_mailboxes_done_total", 119990},
        {"sortwell_mailboxes_queued_total", 120000},
        {"sortwell_mailboxes_failed_total", 17},
        {"sortwell_last_pass_mailboxes_failed", 3},
        {"sortwell_last_pass_maintenance_failed", 1},
        {"sortwell_last_pass_number", 12},
        {"sortwell_last_pass_mailboxes_queued", 10000},
        {"sortwell_last_pass_mailboxes_done", 9998},
        {"sortwell_last_pass_seconds", 1.25},
        {"sortwell_last_pass_maintenance", 1},
        {"sortwell_last_pass_remove", 0},
        {"sortwell_last_pass_end_timestamp_seconds", 1796000000}};
    EXPECT_EQ(
        swtest::ParseMetrics(pass_metrics_text(pass, {12, 2, 119990, 120000, 17}, 1796000000)),
        expected);
}

TEST(PassStatus, TheMetricsFileIsNamedOrFoundInTheStateDirectory) {
    const std::tuple<const char*, const char*, std::string> paths[] = {
        {nullptr, "/var/lib/sortwell:/var/lib/other", "/var/lib/sortwell/metrics.prom"},
        {"", "/var/lib/sortwell", ""}, // an empty name turns the file off
        {nullptr, nullptr, ""},        // a console run writes no file unless asked
    };
    for (const auto& [file, state, expected] : paths) {
        file != nullptr ? ::setenv("SORTWELL_METRICS_FILE", file, 1)
                        : ::unsetenv("SORTWELL_METRICS_FILE");
        state != nullptr ? ::setenv("STATE_DIRECTORY", state, 1) : ::unsetenv("STATE_DIRECTORY");
        EXPECT_EQ(pass_metrics_path(), expected);
    }
    ::unsetenv("SORTWELL_METRICS_FILE");
    ::unsetenv("STATE_DIRECTORY");
    EXPECT_EQ(pass_metrics_write("/nonexistent-sortwell/metrics.prom", "x"), ENOENT);
}

} // namespace
