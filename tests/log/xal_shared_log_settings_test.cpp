// Filling the shared log settings record from the environment.
#include "log/xal_log.h"
#include "platform/xalshareddata/xal_shared_log_settings.h"
#include "tests/log/log_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <fstream>
#include <stdlib.h>
#include <sys/stat.h>

namespace {

using logtest::Lines;
using logtest::ReadFile;
using logtest::Settings;
using logtest::Utc;

const char* const kVariables[] = {"XAL_LOG_LEVEL", "XAL_LOG_FILE", "XAL_LOG_ROTATE",
                                  "XAL_LOG_KEEP"};

class SettingsFromEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : kVariables) {
            ::unsetenv(name);
        }
    }
    void TearDown() override {
        for (const char* name : kVariables) {
            ::unsetenv(name);
        }
        xal_shared_log_settings_reload();
    }
    // Reloads with standard error going to a file; returns what was said.
    std::string Reload() {
        logtest::CapturedStderr captured(dir_ / "stderr.txt");
        xal_shared_log_settings_reload();
        return captured.Text();
    }

    logtest::ScratchDir dir_;
};

TEST_F(SettingsFromEnvironment, NothingSetMeansNoticeToTheEventLogOrTheTerminal) {
    const std::string said = Reload(); // standard error is a plain file here
    EXPECT_EQ(said, "");
    EXPECT_EQ(Settings().initialized, 1);
    EXPECT_EQ(Settings().level, 5);
    EXPECT_EQ(Settings().stream, nullptr);
    EXPECT_EQ(Settings().rotate_period, 0);

    // With a terminal on standard error, lines go there.
    int master = -1;
    int terminal = -1;
    ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    const int saved = ::dup(2);
    ::dup2(terminal, 2);
    xal_shared_log_settings_reload();
    std::FILE* chosen = Settings().stream;
    ::dup2(saved, 2);
    ::close(saved);
    ::close(terminal);
    ::close(master);
    EXPECT_EQ(chosen, stderr);
}

TEST_F(SettingsFromEnvironment, EveryVariableIsReadIntoTheRecord) {
    logtest::FakeClock clock(Utc(2026, 5, 1, 8, 0, 0));
    const std::string path = dir_ / "agent.log";
    ::setenv("XAL_LOG_LEVEL", "debug", 1);
    ::setenv("XAL_LOG_FILE", path.c_str(), 1);
    ::setenv("XAL_LOG_ROTATE", "2 hours", 1);
    ::setenv("XAL_LOG_KEEP", "3", 1);
    EXPECT_EQ(Reload(), "");
    EXPECT_EQ(Settings().level, 7);
    ASSERT_NE(Settings().stream, nullptr);
    EXPECT_NE(Settings().stream, stderr);
    EXPECT_EQ(std::u16string(Settings().log_path), logtest::U16(path));
    // Directory, file name and extension show in the rotated files' names.
    EXPECT_EQ(Settings().rotate_period, 7200);
    EXPECT_EQ(Settings().keep, 3);
    EXPECT_EQ(Settings().period_start, Utc(2026, 5, 1, 8, 0, 0));

    xal_log_message(XAL_LOG_DEBUG, 28018);
    EXPECT_NE(ReadFile(path).find("(DEBUG:"), std::string::npos);

    // The periods that can be asked for.
    const std::pair<const char*, std::int32_t> periods[] = {
        {"3600", 3600},       {"hour", 3600},   {"hourly", 3600}, {"day", 86400}, {"2days", 172800},
        {"90 minutes", 5400}, {"week", 604800}, {"Daily", 86400}, {"0", 0},       {"0 day", 0}};
    for (const auto& [text, seconds] : periods) {
        ::setenv("XAL_LOG_ROTATE", text, 1);
        EXPECT_EQ(Reload(), "") << text;
        EXPECT_EQ(Settings().rotate_period, seconds) << text;
    }
    // Level names and numbers.
    const std::pair<const char*, std::int32_t> levels[] = {
        {"alert", 1}, {"ERROR", 3}, {"warning", 4}, {"notice", 5}, {"info", 6}, {"4", 4}, {"0", 0}};
    for (const auto& [text, level] : levels) {
        ::setenv("XAL_LOG_LEVEL", text, 1);
        EXPECT_EQ(Reload(), "") << text;
        EXPECT_EQ(Settings().level, level) << text;
    }
}

TEST_F(SettingsFromEnvironment, BadValuesAreNamedInOneLineAndDefaultsTakeTheirPlace) {
    const std::string path = dir_ / "agent.log";
    ::setenv("XAL_LOG_FILE", path.c_str(), 1);
    const std::pair<const char*, const char*> bad[] = {{"XAL_LOG_LEVEL", "abc"},
                                                       {"XAL_LOG_LEVEL", "9"},
                                                       {"XAL_LOG_LEVEL", "-1"},
                                                       {"XAL_LOG_ROTATE", "fortnight"},
                                                       {"XAL_LOG_ROTATE", "99999999 week"},
                                                       {"XAL_LOG_ROTATE", "hour2"},
                                                       {"XAL_LOG_KEEP", "-1"},
                                                       {"XAL_LOG_KEEP", "three"}};
    for (const auto& [variable, value] : bad) {
        ::setenv(variable, value, 1);
        const std::string said = Reload();
        EXPECT_EQ(Lines(said), 1) << said;
        EXPECT_NE(said.find(std::string(variable) + "=" + value), std::string::npos) << said;
        EXPECT_EQ(Settings().level, 5);
        EXPECT_EQ(Settings().rotate_period, 0);
        EXPECT_EQ(Settings().keep, 0);
        EXPECT_NE(Settings().stream, nullptr) << "the log file is still used";
        ::unsetenv(variable);
    }
}

TEST_F(SettingsFromEnvironment, ALogFileThatCannotBeOpenedLeavesTheDefaultDestination) {
    const std::string path = dir_ / "missing-directory/agent.log";
    ::setenv("XAL_LOG_FILE", path.c_str(), 1);
    std::string said = Reload();
    EXPECT_EQ(Lines(said), 1) << said;
    EXPECT_NE(said.find(path), std::string::npos);
    EXPECT_NE(said.find("No such file or directory"), std::string::npos);
    EXPECT_EQ(Settings().stream, nullptr);

    // Rotation without a file cannot be used, and says so.
    ::setenv("XAL_LOG_ROTATE", "day", 1);
    said = Reload();
    EXPECT_EQ(Lines(said), 2) << said;
    EXPECT_NE(said.find("XAL_LOG_ROTATE"), std::string::npos);
    EXPECT_EQ(Settings().rotate_period, 0);

    // A path too long for the record, and a directory.
    ::unsetenv("XAL_LOG_ROTATE");
    const std::string long_path = dir_ / std::string(140, 'x');
    ::setenv("XAL_LOG_FILE", long_path.c_str(), 1);
    said = Reload();
    EXPECT_NE(said.find("longer than 129 characters"), std::string::npos) << said;
    EXPECT_EQ(Settings().stream, nullptr);
    ::setenv("XAL_LOG_FILE", (dir_.path() + "/").c_str(), 1);
    said = Reload();
    EXPECT_NE(said.find("names a directory"), std::string::npos) << said;
}

TEST_F(SettingsFromEnvironment, StandardErrorCanBeNamed) {
    ::setenv("XAL_LOG_FILE", "stderr", 1);
    EXPECT_EQ(Reload(), "");
    EXPECT_EQ(Settings().stream, stderr);
    EXPECT_EQ(Settings().rotate_period, 0);
    logtest::CapturedStderr captured(dir_ / "stderr.txt");
    xal_log_message(XAL_LOG_WARNING, 28017);
    const std::string text = captured.Text();
    EXPECT_NE(text.find("(WARNING:"), std::string::npos);
    EXPECT_NE(text.find("): [28017] The maintenance window specificied is invalid. Using "
                        "defaults.\n"),
              std::string::npos);
}

TEST_F(SettingsFromEnvironment, ALogFileFromAnEarlierRunRotatesIntoItsOwnPeriod) {
    logtest::TimeZone zone("UTC");
    logtest::FakeClock clock(Utc(2026, 5, 1, 9, 30, 0));
    const std::string path = dir_ / "agent.log";
    std::ofstream(path) << "a line of the last run\n";
    const timespec times[2] = {{Utc(2026, 5, 1, 7, 45, 0), 0}, {Utc(2026, 5, 1, 7, 45, 0), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ::setenv("XAL_LOG_FILE", path.c_str(), 1);
    ::setenv("XAL_LOG_ROTATE", "hour", 1);
    EXPECT_EQ(Reload(), "");
    EXPECT_EQ(Settings().period_start, Utc(2026, 5, 1, 7, 45, 0));
    xal_log_message(XAL_LOG_NOTICE, 28018);
    EXPECT_EQ(ReadFile(dir_ / "agent.log202605010700.log"), "a line of the last run\n");
    EXPECT_EQ(Lines(ReadFile(path)), 1);
}

} // namespace
