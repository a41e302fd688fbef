// The logging entry: catalogue, level filter, event-log lines and file lines.
#include "log/xal_log.h"
#include "log/xal_log_catalogue.h"
#include "log/xal_log_internal.h"
#include "log/xal_log_limits.h"
#include "platform/win32/win32_base.h"
#include "runtime/vtx_str.h"
#include "runtime/vtxpr_sync.h"
#include "tests/log/log_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <set>
#include <tuple>
#include <sys/mman.h>
#include <thread>

namespace {

using swtest::EventRecord;
using swtest::ReadEventFile;

using logtest::Ids;
using logtest::ReadFile;
using logtest::Settings;

// Each test starts with threshold 5, no stream (event log), events going to
// a fresh event file, and gets the record back as it was.
class LogCore : public ::testing::Test {
protected:
    static auto Fields() {
        return std::tie(Settings().level, Settings().stream, Settings().rotate_period,
                        Settings().keep);
    }
    void SetUp() override {
        xal_shared_log_settings_load();
        saved_ = Fields();
        Fields() = std::make_tuple(5, nullptr, 0, 0);
        logtest::UseEventFile(events_);
    }
    void TearDown() override { Fields() = saved_; }
    std::vector<EventRecord> Events() {
        std::vector<std::string> bad;
        auto events = ReadEventFile(events_, &bad);
        EXPECT_TRUE(bad.empty()) << bad.front();
        return events;
    }

    logtest::ScratchDir dir_;
    std::string events_ = dir_ / "events.jsonl";
    std::tuple<std::int32_t, std::FILE*, std::int32_t, std::int32_t> saved_;
};

TEST(Catalogue, EveryLoggedIdHasItsTextAndEverythingElseIsEmpty) {
    // Most texts show whole in the tests of the code that logs them (this
    // file, rotation, the agent, the failure and fault sweep tests); the
    // texts of the rest are here.
    const std::map<int, std::u16string> texts = {
        {10010, u"Could not create new thread."},
        {10013, u"Malloc error while attempting to allocate memory."},
        {19001, u"The new signal supercedes the previous signal; it will still be deferred until "
                u"server is fully operational."},
        {19002, u"The shutdown signal is deferred and will be acted on as soon as the server is "
                u"fully operational."},
        {19003, u"The shutdown signal supercedes the new signal; it will still be deferred "
                u"until server is fully operational."},
        {19011, u"The thread count is already %d, you cannot initialize the thread pool twice."},
        {19012, u"The thread count is still %d, error in killing thread pool."},
        {28006, u"Unable to log on to recipient's Mailbox:\n%s\n(hr=%.08x)."},
        {28016, u"The maintenance operation took too long to complete (%ld seconds). You may "
                u"want to increase your maintenance window."},
        {28022, u"verbose: (%s) made call to (%s) for data (%s) returned: (hr=%.08x)."},
        {28023, u"Unable to open inbox for Mailbox:\n%s\n(hr=%.08x)."},
    };
    std::set<int> logged = {1003,  2066,  2067,  10009, 10010, 10013,
                            19001, 19002, 19003, 19004, 19011, 19012}; // and 28001 to 28023
    for (int id = 28001; id <= 28023; ++id) {
        logged.insert(id);
    }
    for (int id = -5; id < XAL_LOG_CATALOGUE_SIZE + 5; ++id) {
        const char16_t* text = xal_log_catalogue_text(id);
        EXPECT_EQ(text != nullptr, logged.count(id) == 1) << "slot " << id;
        if (text != nullptr && texts.count(id) == 1) {
            EXPECT_EQ(std::u16string(text), texts.at(id)) << "slot " << id;
        }
    }
    // The table ends with the last category's shorter row.
    EXPECT_EQ(XAL_LOG_CATALOGUE_SIZE, 43 * 1000 + 35);
}

TEST(Levels, NamesEventTypesAndEventIdsFollowTheLevel) {
    // Level, its name, its event type and event id.
    const std::tuple<int, const char16_t*, std::uint16_t, std::uint32_t> rows[] = {
        {1, u"ALERT", 1, 0xC0000202u},  {2, u"DEBUG", 4, 0x40000200u},
        {3, u"ERROR", 1, 0xC0000202u},  {4, u"WARNING", 2, 0x80000201u},
        {5, u"NOTICE", 0, 0x40000200u}, {6, u"INFO", 4, 0x40000200u},
        {7, u"DEBUG", 4, 0x40000200u},  {0, u"DEBUG", 4, 0x40000200u},
        {8, u"DEBUG", 4, 0x40000200u},  {-3, u"DEBUG", 4, 0x40000200u},
    };
    for (const auto& [level, name, type, event_id] : rows) {
        EXPECT_EQ(std::u16string(xal_log_level_name(level)), name) << level;
        EXPECT_EQ(xal_log_event_type(level), type) << level;
        EXPECT_EQ(xal_log_event_id(xal_log_event_type(level)), event_id) << level;
    }
}

TEST_F(LogCore, EventLogLinesCarryPrefixTypeIdAndCategory) {
    xal_log_message(XAL_LOG_ERR, 28004, static_cast<unsigned>(0x80004005u));
    xal_log_message(XAL_LOG_NOTICE, 28018);
    xal_log_message(2, 10009);
    xal_log_message(XAL_LOG_WARNING, 28007, u"alice@example.org", static_cast<unsigned>(5));
    const auto events = Events();
    ASSERT_EQ(events.size(), 4u);

    EXPECT_EQ(events[0].source, "Sortwell");
    EXPECT_EQ(events[0].type, 1);
    EXPECT_EQ(events[0].event_id, 0xC0000202u);
    EXPECT_EQ(events[0].category, 28);
    ASSERT_EQ(events[0].strings.size(), 1u);
    const std::string line0 = "[Corvane] (ERROR:" + Ids() +
                              "): [28004] Could not retrieve local server DN. The local machine "
                              "may not be an Exchange Server. (hr=80004005).\n";
    EXPECT_EQ(events[0].strings[0], line0);
    EXPECT_EQ(events[0].message, "ERROR: '" + line0 + "'.");
    EXPECT_EQ(events[0].data, "");

    EXPECT_EQ(events[1].type, 0); // notice: a success event
    EXPECT_EQ(events[1].strings[0],
              "[Corvane] (NOTICE:" + Ids() + "): [28018] Maintenance Starting.\n");
    EXPECT_EQ(events[1].message, "INFO: '" + events[1].strings[0] + "'.");

    EXPECT_EQ(events[2].type, 4);
    EXPECT_EQ(events[2].category, 10);
    EXPECT_EQ(events[2].strings[0],
              "[Corvane] (DEBUG:" + Ids() + "): [10009] Could not create new lock.\n");

    // Line feeds inside a text stay; only a missing last one is added.
    EXPECT_EQ(events[3].type, 2);
    EXPECT_EQ(events[3].strings[0], "[Corvane] (WARNING:" + Ids() +
                                        "): [28007] Unable to open Mailbox:\nalice@example.org\n"
                                        "(hr=00000005).\n");
}

TEST_F(LogCore, AnIdWithoutTextIsLoggedAsInternalErrorWithThatId) {
    Settings().level = 3; // 1003 goes out at level 3 whatever the message's level was
    xal_log_message(XAL_LOG_DEBUG, 28024);
    xal_log_message(XAL_LOG_NOTICE, 0);
    xal_log_message(XAL_LOG_NOTICE, 43035); // beyond the table
    const auto events = Events();
    ASSERT_EQ(events.size(), 3u);
    const int ids[] = {28024, 0, 43035};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(events[i].type, 1);
        EXPECT_EQ(events[i].category, 1);
        EXPECT_EQ(events[i].strings[0], "[Corvane] (ERROR:" + Ids() +
                                            "): [1003] Internal logging error.  Error code: " +
                                            std::to_string(ids[i]) + ".\n");
    }
}

TEST_F(LogCore, DroppedMessagesAreNeverFormattedOrWritten) {
    // Text on an unreadable page: formatting it would crash the test.
    void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    const auto* poison = static_cast<const char16_t*>(page);
    Settings().level = 5;
    xal_log_message(XAL_LOG_INFO, 28001, poison);
    xal_log_message(XAL_LOG_DEBUG, 28007, poison, 1u);
    // A zeroed threshold logs nothing at all, not even alerts.
    Settings().level = 0;
    xal_log_message(XAL_LOG_ALERT, 28001, poison);
    // The same with a stream: no line reaches the file either.
    const std::string file = dir_ / "agent.log";
    std::FILE* stream = std::fopen(file.c_str(), "a+");
    Settings().stream = stream;
    xal_log_message(XAL_LOG_ERR, 28001, poison);
    Settings().level = 3;
    xal_log_message(XAL_LOG_WARNING, 28001, poison);
    Settings().stream = nullptr;
    std::fclose(stream);
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(ReadFile(file), "");
    // And the threshold itself lets through what is at or under it.
    Settings().level = 6;
    xal_log_message(XAL_LOG_INFO, 28018);
    EXPECT_EQ(Events().size(), 1u);
    ::munmap(page, 4096);
}

TEST_F(LogCore, LongMessagesAreCutAtTheBufferEndAndStillEndInALineFeed) {
    std::u16string address(5000, u'a');
    xal_log_message(XAL_LOG_WARNING, 28007, address.c_str(), 1u);
    // A pair of surrogates cut in half loses its first half rather than
    // turning into a replacement character.
    const std::string prefix =
        "[Corvane] (WARNING:" + Ids() + "): [28007] Unable to open Mailbox:\n";
    const std::size_t fill = XAL_LOG_LINE_CHARS - 2 - prefix.size();
    std::u16string pair_at_end(fill, u'b');
    pair_at_end += u"\U0001F600 and more";
    xal_log_message(XAL_LOG_WARNING, 28007, pair_at_end.c_str(), 1u);
    const auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    const std::u16string line = VTX_FromUtf8(events[0].strings[0]);
    EXPECT_EQ(line.size(), XAL_LOG_LINE_CHARS);
    EXPECT_EQ(line.back(), u'\n');
    EXPECT_EQ(line.substr(0, prefix.size()), logtest::U16(prefix));
    EXPECT_EQ(line.find(u"(hr="), std::u16string::npos);

    const std::u16string cut = VTX_FromUtf8(events[1].strings[0]);
    EXPECT_EQ(cut.size(), XAL_LOG_LINE_CHARS - 1);
    EXPECT_EQ(cut.back(), u'\n');
    EXPECT_EQ(cut[cut.size() - 2], u'b');
    EXPECT_EQ(cut.find(u'\uFFFD'), std::u16string::npos);
}

TEST_F(LogCore, FileLinesAreDateStampedUtf8AndNeverTouchTheEventLog) {
    logtest::TimeZone zone("UTC");
    logtest::FakeClock clock(logtest::Utc(2026, 12, 4, 7, 5, 9));
    const std::string file = dir_ / "agent.log";
    std::FILE* stream = std::fopen(file.c_str(), "a+");
    Settings().stream = stream;
    xal_log_message(XAL_LOG_NOTICE, 28018);
    clock.Set(logtest::Utc(2027, 1, 15, 23, 0, 0));
    xal_log_message(XAL_LOG_ERR, 28003, u"J\u00fcrgen \u65e5\u672c@example.org",
                    static_cast<unsigned>(0x8004010Fu));
    Settings().stream = nullptr;
    std::fclose(stream);
    EXPECT_EQ(ReadFile(file), "4 Dec 2026 07:05:09 (NOTICE:" + Ids() +
                                  "): [28018] Maintenance Starting.\n"
                                  "15 Jan 2027 23:00:00 (ERROR:" +
                                  Ids() +
                                  "): [28003] Unable to log on to mailbox:\n"
                                  "J\xc3\xbcrgen \xe6\x97\xa5\xe6\x9c\xac@example.org\n"
                                  "(hr=8004010f).\n");
    EXPECT_TRUE(Events().empty());
}

TEST_F(LogCore, TheEventLogPathNeverWaitsForTheRecordLock) {
    std::promise<void> locked;
    std::promise<void> release;
    std::thread holder([&] {
        VTXPR_Lock(&Settings().lock);
        locked.set_value();
        release.get_future().wait();
        VTXPR_Unlock(&Settings().lock);
    });
    locked.get_future().wait();
    auto logged = std::async(std::launch::async, [] { xal_log_message(XAL_LOG_NOTICE, 28019); });
    const bool finished = logged.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    release.set_value();
    holder.join();
    logged.wait();
    EXPECT_TRUE(finished) << "logging to the event log waited for the record's lock";
    EXPECT_EQ(Events().size(), 1u);
}

void WriteFileLine(const char16_t* stamp, const char16_t* level, std::uint32_t pid,
                   std::uint32_t tid, int id, const char16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    xal_log_write_file(stamp, level, pid, tid, id, format, arguments);
    va_end(arguments);
}

TEST_F(LogCore, AStreamClearedMeanwhileSendsTheLineToStandardError) {
    logtest::CapturedStderr captured(dir_ / "stderr.txt");
    Settings().stream = nullptr;
    WriteFileLine(u"4 Dec 2026 07:05:09", u"NOTICE", 12, 34, 28018, u"Maintenance %s.",
                  u"Starting");
    EXPECT_EQ(captured.Text(),
              "4 Dec 2026 07:05:09 (NOTICE:12.34): [28018] Maintenance Starting.\n");
}

TEST_F(LogCore, AWriteErrorSwitchesToStandardErrorWithOneNotice) {
    std::FILE* full = std::fopen("/dev/full", "a+");
    ASSERT_NE(full, nullptr);
    logtest::CapturedStderr captured(dir_ / "stderr.txt");
    Settings().stream = full;
    xal_log_message(XAL_LOG_NOTICE, 28018);
    xal_log_message(XAL_LOG_NOTICE, 28019);
    const std::string text = captured.Text();
    Settings().stream = nullptr;
    std::fclose(full);
    // The failed line itself reaching standard error: the hardening tests.
    const std::string notice = "*** could not write to log file, switching to stderr\n";
    ASSERT_EQ(text.find(notice), 0u) << text;
    EXPECT_EQ(text.find(notice, 1), std::string::npos) << "the notice is written once";
    EXPECT_NE(text.find("): [28019] Maintenance Complete.\n"), std::string::npos);
    EXPECT_LT(text.find("[28018]"), text.find("[28019]")) << "the failed line comes first";
    EXPECT_TRUE(Events().empty());
}

TEST_F(LogCore, ThreadsWritingToOneFileNeverMixTheirLines) {
    const std::string file = dir_ / "agent.log";
    std::FILE* stream = std::fopen(file.c_str(), "a+");
    Settings().stream = stream;
    Settings().rotate_period = 86400; // the rotation check runs for every line too
    constexpr int kThreads = 8;
    constexpr int kLines = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::u16string address = std::u16string(static_cast<std::size_t>(50 + 40 * t),
                                                          static_cast<char16_t>(u'a' + t));
            for (int i = 0; i < kLines; ++i) {
                xal_log_message(XAL_LOG_WARNING, 28013, address.c_str(), 7u);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Settings().stream = nullptr;
    std::fclose(stream);
    // Each message is three lines: the text, the address, the result.
    std::istringstream lines(ReadFile(file));
    std::string first;
    std::string address;
    std::string result;
    std::vector<int> per_thread(kThreads);
    while (std::getline(lines, first)) {
        ASSERT_TRUE(std::getline(lines, address));
        ASSERT_TRUE(std::getline(lines, result));
        ASSERT_NE(first.find("): [28013] Could not create rule for Mailbox:"), std::string::npos)
            << first;
        ASSERT_FALSE(address.empty());
        const int t = address[0] - 'a';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(address, std::string(static_cast<std::size_t>(50 + 40 * t), address[0]));
        EXPECT_EQ(result, "(hr=00000007).");
        ++per_thread[static_cast<std::size_t>(t)];
    }
    for (int count : per_thread) {
        EXPECT_EQ(count, kLines);
    }
}

} // namespace
