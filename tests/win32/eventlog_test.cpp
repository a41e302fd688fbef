// The event writers over the event file, the rendering through the message
// table, and the syslog line.
#include "controller/win32logging.h"
#include "platform/win32/eventlog.h"
#include "resources/eventlog_messages.h"
#include "tests/log/log_test_support.h"

#include "tests/support/events.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using swtest::EventRecord;
using swtest::ReadEventFile;

// Events go to a fresh event file; the program's source is closed first so
// that the next event opens it on demand under the environment set here.
class EventLog : public ::testing::Test {
protected:
    void SetUp() override { logtest::UseEventFile(events_); }
    void TearDown() override {
        if (event_log_toggle_source(u"Sortwell") > 1) {
            event_log_toggle_source(u"Sortwell");
        }
        ::unsetenv("SORTWELL_EVENTLOG");
        ::unsetenv("SORTWELL_EVENTLOG_FILE");
    }
    std::vector<EventRecord> Events(std::vector<std::string>* bad = nullptr) {
        return ReadEventFile(events_, bad);
    }

    logtest::ScratchDir dir_;
    std::string events_ = dir_ / "events.jsonl";
};

TEST(EventText, RenderingAndSyslogLines) {
    // Whole texts show in the tests of the writers that use them. A missing
    // insertion shows as written; an unknown id shows its strings.
    EXPECT_EQ(EventLogRenderText(MSG_SERVICE_STATUS_ERROR, 0, nullptr),
              u"%1!d! Service Status Error.");
    const char16_t* two[] = {u"a", u"b"};
    EXPECT_EQ(EventLogRenderText(0x12345678u, 2, two), u"a b");
    EXPECT_EQ(std::u16string(EventCategoryName(0)), u"None");
    EXPECT_EQ(EventCategoryName(27), nullptr);

    // Syslog lines are one line with id, category and data.
    const char16_t* line[] = {u"[Corvane] (WARNING:1.2): [28007] Unable:\n\ta\\b\x01\n"};
    EXPECT_EQ(EventLogSyslogLine(28, MSG_XAL_LOG_WARNING, 1, line, 0, nullptr),
              "event_id=0x80000201 category=28 (Sortwell): WARNING: '[Corvane] (WARNING:1.2): "
              "[28007] Unable:\\n\\ta\\\\b\\x01\\n'.");
    const std::uint32_t datum = 1063;
    const char16_t* number[] = {u"1063"};
    EXPECT_EQ(EventLogSyslogLine(39, MSG_SERVICE_STATUS_ERROR, 1, number, 4, &datum),
              "event_id=0xC0000602 category=39 (Service Controller): 1063 Service Status "
              "Error. data=27040000");
    EXPECT_EQ(EventLogSyslogLine(77, MSG_XAL_LOG_INFO, 1, line, 0, nullptr).substr(0, 32),
              "event_id=0x40000200 category=77:");
}

TEST_F(EventLog, TheFirstEventRegistersTheDefaultSourceAndCarriesItsFields) {
    EXPECT_NE(event_log_report(EVENTLOG_WARNING_TYPE, 28, 0x80000201u,
                               u"[Corvane] (WARNING:1.2): [28007] \"quoted\" \u00e9\n"),
              0);
    std::vector<std::string> bad;
    const auto events = Events(&bad);
    EXPECT_TRUE(bad.empty());
    ASSERT_EQ(events.size(), 1u);
    // Type, category, id and message: the logging core's event tests.
    EXPECT_EQ(events[0].source, "Sortwell");
    EXPECT_EQ(events[0].strings,
              std::vector<std::string>{"[Corvane] (WARNING:1.2): [28007] \"quoted\" \xc3\xa9\n"});
    // A UTC stamp: "2026-12-04T07:05:09.123Z".
    int part[7] = {};
    char zone[2] = {};
    EXPECT_EQ(std::sscanf(events[0].time.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%1[Z]", &part[0],
                          &part[1], &part[2], &part[3], &part[4], &part[5], &part[6], zone),
              8)
        << events[0].time;
    EXPECT_EQ(events[0].time.size(), 24u);
}

TEST_F(EventLog, FourBytesOfDataAddTheirLow16BitsAsAnInsertion) {
    const std::uint32_t five = 5;
    const std::uint32_t big = 65541; // 0x10005: shown as 5 too
    const std::uint64_t eight = 5;
    const char16_t* given[] = {u"given"};
    event_log_report_data(EVENTLOG_ERROR_TYPE, 39, 0xC0000602u, 0, 4, nullptr, &five);
    event_log_report_data(EVENTLOG_ERROR_TYPE, 39, 0xC0000602u, 0, 4, nullptr, &big);
    event_log_report_data(EVENTLOG_ERROR_TYPE, 39, 0xC0000602u, 1, 4, given, &big);
    event_log_report_data(EVENTLOG_ERROR_TYPE, 39, 0xC0000602u, 0, 8, nullptr, &eight);
    event_log_report_data(EVENTLOG_INFORMATION_TYPE, 39, 0x40000600u, 1, 0, given, nullptr);
    const auto events = Events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].strings, (std::vector<std::string>{"5"}));
    EXPECT_EQ(events[0].data, "05000000");
    EXPECT_EQ(events[0].message, "5 Service Status Error.");
    EXPECT_EQ(events[1].strings, (std::vector<std::string>{"5"}));
    EXPECT_EQ(events[1].data, "05000100");
    EXPECT_EQ(events[2].strings, (std::vector<std::string>{"given", "5"}));
    EXPECT_TRUE(events[3].strings.empty());
    EXPECT_EQ(events[3].data, "0500000000000000");
    EXPECT_EQ(events[4].strings, (std::vector<std::string>{"given"}));
    EXPECT_EQ(events[4].message, "given started.");
    EXPECT_EQ(events[4].category, 39);
}

TEST_F(EventLog, ToggleOpensAndClosesAndEventsReopenUnderTheDefaultName) {
    const std::intptr_t opened = event_log_toggle_source(u"ovo");
    EXPECT_GT(opened, 1);
    EXPECT_NE(event_log_report(EVENTLOG_SUCCESS, 1, 0x40000200u, u"first"), 0);
    EXPECT_EQ(event_log_toggle_source(u"ovo"), 1) << "closing reports success";
    EXPECT_NE(event_log_report(EVENTLOG_SUCCESS, 1, 0x40000200u, u"second"), 0);
    // The handle of a closed source is refused, not reused.
    EXPECT_FALSE(
        ReportEventW(reinterpret_cast<HANDLE>(opened), 0, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DeregisterEventSource(reinterpret_cast<HANDLE>(opened)));
    const auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].source, "ovo");
    EXPECT_EQ(events[1].source, "Sortwell");

    // The calls beneath refuse what they cannot do.
    EXPECT_EQ(RegisterEventSourceW(u"\\\\elsewhere.example.org", u"Sortwell"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);
    EXPECT_EQ(RegisterEventSourceW(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(EventLog, ConcurrentWritersOnlyEverProduceWholeLines) {
    constexpr int kThreads = 16;
    constexpr int kEvents = 400;
    constexpr int kProcesses = 2;
    // Other processes append to the same file at the same time.
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const std::u16string text = u"thread " + std::u16string(1, u'a' + p) + u" " +
                                        std::u16string(static_cast<std::size_t>(333 + p), u'y');
            for (int i = 0; i < kEvents; ++i) {
                event_log_report(EVENTLOG_INFORMATION_TYPE, 28, 0x40000200u, text.c_str());
            }
            ::_exit(0);
        }
        children.push_back(child);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            // Long lines of varying length, so a torn write would show.
            const std::u16string body(static_cast<std::size_t>(200 + 97 * t), u'x');
            for (int i = 0; i < kEvents; ++i) {
                const std::u16string text = u"thread " + std::u16string(1, u'A' + t) + u" " + body;
                event_log_report(EVENTLOG_INFORMATION_TYPE, 28, 0x40000200u, text.c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const pid_t child : children) {
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(status, 0);
    }
    std::vector<std::string> bad;
    const auto events = Events(&bad);
    EXPECT_TRUE(bad.empty()) << bad.size() << " torn lines, e.g. " << bad.front().substr(0, 120);
    ASSERT_EQ(events.size(), static_cast<std::size_t>((kThreads + kProcesses) * kEvents));
    std::vector<int> per_writer(kThreads + kProcesses);
    for (const auto& event : events) {
        ASSERT_EQ(event.strings.size(), 1u);
        const char letter = event.strings[0][7];
        if (letter >= 'a') {
            const int p = letter - 'a';
            ASSERT_LT(p, kProcesses);
            EXPECT_EQ(event.strings[0].size(), 9u + 333u + static_cast<unsigned>(p));
            ++per_writer[static_cast<std::size_t>(kThreads + p)];
            continue;
        }
        const int t = letter - 'A';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(event.strings[0].size(), 9u + 200u + 97u * static_cast<unsigned>(t));
        ++per_writer[static_cast<std::size_t>(t)];
    }
    for (int count : per_writer) {
        EXPECT_EQ(count, kEvents);
    }
}

TEST(EventSink, AnUnknownModeIsNamedAndSyslogIsUsed) {
    logtest::ScratchDir dir;
    ::setenv("SORTWELL_EVENTLOG", "JOURNAL", 1);
    logtest::CapturedStderr captured(dir / "stderr.txt");
    HANDLE source = RegisterEventSourceW(nullptr, u"sortwell-test");
    const std::string said = captured.Text();
    ::unsetenv("SORTWELL_EVENTLOG");
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(said, "sortwell: SORTWELL_EVENTLOG=JOURNAL is neither FILE nor SYSLOG; events go "
                    "to syslog\n");
    const char16_t* strings[] = {u"to syslog"};
    EXPECT_TRUE(
        ReportEventW(source, EVENTLOG_SUCCESS, 1, 0x40000200u, nullptr, 1, 0, strings, nullptr));
    EXPECT_FALSE(
        ReportEventW(source, EVENTLOG_SUCCESS, 1, 0x40000200u, nullptr, 1, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(DeregisterEventSource(source));
}

} // namespace
