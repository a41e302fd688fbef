// The logging settings as a freshly started program meets them.
#include "tests/log/log_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using swtest::EventRecord;
using swtest::ReadEventFile;

using logtest::ReadFile;

// Runs the probe with exactly `environment` (plus PATH), standard error to
// `stderr_path`. Returns the exit status.
int RunProbe(const std::string& environment, const std::string& stderr_path) {
    const std::string command = "env -i PATH=/usr/bin:/bin " + environment + " '" +
                                SORTWELL_LOG_PROBE + "' 'j\xc3\xb8rn@example.org' 2>'" +
                                stderr_path + "' </dev/null";
    return std::system(command.c_str());
}

TEST(LoggingProcess, AFreshProgramReadsItsSettingsAtTheFirstMessage) {
    logtest::ScratchDir dir;
    const std::string log = dir / "agent.log";
    ASSERT_EQ(RunProbe("XAL_LOG_LEVEL=abc XAL_LOG_FILE='" + log + "'", dir / "err.txt"), 0);
    const std::string said = ReadFile(dir / "err.txt");
    EXPECT_EQ(said, "sortwell: XAL_LOG_LEVEL=abc is not a level (0 to 7, or alert, error, "
                    "warning, notice, info, debug); the level stays 5 (notice)\n");
    const std::string lines = ReadFile(log);
    // Level 5 by default: the notice and the warning, not the debug line.
    EXPECT_NE(lines.find("(NOTICE:"), std::string::npos) << lines;
    EXPECT_NE(lines.find("): [28007] Unable to open Mailbox:\nj\xc3\xb8rn@example.org\n"
                         "(hr=80040111).\n"),
              std::string::npos)
        << lines;
    EXPECT_EQ(lines.find("[28022]"), std::string::npos);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 4);
}

TEST(LoggingProcess, WithNothingSetAProgramWithoutTerminalWritesEvents) {
    logtest::ScratchDir dir;
    const std::string events = dir / "events.jsonl";
    ASSERT_EQ(
        RunProbe("SORTWELL_EVENTLOG=FILE SORTWELL_EVENTLOG_FILE='" + events + "'", dir / "err.txt"),
        0);
    EXPECT_EQ(ReadFile(dir / "err.txt"), "");
    std::vector<std::string> bad;
    const auto records = ReadEventFile(events, &bad);
    EXPECT_TRUE(bad.empty());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[1].message.find("WARNING: '[Corvane] (WARNING:"), std::string::npos);
    // The process's own id is in the line, not ours.
    EXPECT_EQ(records[0].strings[0].find("(NOTICE:" + std::to_string(::getpid()) + "."),
              std::string::npos);
}

TEST(LoggingProcess, AnEventFileThatCannotBeOpenedIsNamedAndSyslogTakesOver) {
    logtest::ScratchDir dir;
    const std::string events = dir / "no-such-dir/events.jsonl";
    ASSERT_EQ(
        RunProbe("SORTWELL_EVENTLOG=FILE SORTWELL_EVENTLOG_FILE='" + events + "'", dir / "err.txt"),
        0);
    const std::string said = ReadFile(dir / "err.txt");
    EXPECT_EQ(said, "sortwell: cannot open the event file " + events +
                        " (SORTWELL_EVENTLOG_FILE): No such file or directory; events go to "
                        "syslog instead\n");
}

} // namespace
