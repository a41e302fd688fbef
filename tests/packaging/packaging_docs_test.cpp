// What the package ships for the administrator must agree with the program:
// the example hive reads, through the agent's own settings code, as the
// settings its comments promise, and the README's troubleshooting table
// quotes every message the agent logs exactly as the catalogue holds it.
#include "agent/agent_settings.h"
#include "log/xal_log_catalogue.h"
#include "platform/win32/sysinfo.h"
#include "resources/eventlog_messages.h"
#include "runtime/vtx_str.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

using swtest::ReadFile;
using swtest::WriteFile;

std::string Utf8(const char16_t* text) {
    return VTX_ToUtf8(std::u16string_view(text));
}

// A directory of this test's own, with the event log sent to a file in it so
// that nothing reaches the machine's syslog.
class PackagingDocs : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("SORTWELL_EVENTLOG", "FILE", 1);
        ::setenv("SORTWELL_EVENTLOG_FILE", dir_.file("events.jsonl").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("SORTWELL_REGISTRY"); }

    // Reads the settings from `hive_path` with the agent's code.
    std::int32_t ReadSettings(const std::string& hive_path, agent_settings* settings) {
        ::setenv("SORTWELL_REGISTRY", hive_path.c_str(), 1);
        return agent_settings_read(settings);
    }

    std::string Events() { return ReadFile(dir_.file("events.jsonl")); }

    swtest::TempDir dir_{"sortwell-packaging"};
};

const char* const kDisplayName = "Altavane Sortwell for Exchange";
const std::string kExample = std::string(SW_SOURCE_DIR) + "/packaging/registry.reg.example";

// ---- The example hive ---------------------------------------------------------------------

TEST_F(PackagingDocs, ExampleHiveReadsAsItsCommentsSay) {
    // As shipped: the three required values set, "Server" left to the host
    // name, and every number at the agent's own default, so that copying
    // the file changes nothing the administrator has not chosen.
    agent_settings settings{};
    ASSERT_EQ(ReadSettings(kExample, &settings), 0);
    EXPECT_EQ(Utf8(settings.alias), "sortwell");
    EXPECT_EQ(Utf8(settings.spam_folder), "Spam");
    EXPECT_EQ(Utf8(settings.spam_substring), "X-Spam-Flag: YES");
    char16_t host[VTXPR_MAX_PATH] = {};
    DWORD size = VTXPR_MAX_PATH;
    GetComputerNameW(host, &size);
    EXPECT_EQ(Utf8(settings.server), Utf8(host));
    EXPECT_EQ(settings.interval, AGENT_DEFAULT_INTERVAL);
    EXPECT_EQ(settings.thread_count, AGENT_DEFAULT_THREADS);
    EXPECT_EQ(settings.spam_retention, AGENT_DEFAULT_RETENTION);
    EXPECT_EQ(settings.expunge_report, 0u);
    EXPECT_EQ(settings.maintenance_begin, AGENT_DEFAULT_BEGIN_HOUR);
    EXPECT_EQ(settings.maintenance_end, AGENT_DEFAULT_END_HOUR);
    EXPECT_EQ(settings.maintenance_only, 0);
    // A valid window and maintenance-only off: neither warning nor notice.
    EXPECT_EQ(Events().find("28017"), std::string::npos) << Events();
    EXPECT_EQ(Events().find("28021"), std::string::npos) << Events();

    // The commented "Server" line is a working line once its ';' goes.
    std::string text = ReadFile(kExample);
    const std::size_t server = text.find(";\"Server\"=");
    ASSERT_NE(server, std::string::npos);
    text.erase(server, 1);
    const std::string edited = dir_.file("server.reg");
    WriteFile(edited, text);
    agent_settings with_server{};
    ASSERT_EQ(ReadSettings(edited, &with_server), 0);
    EXPECT_EQ(Utf8(with_server.server), "mail01");
    EXPECT_EQ(Utf8(with_server.alias), "sortwell");
}

TEST_F(PackagingDocs, EachNumberOfTheExampleHiveTakesEffect) {
    // Changing each number in the file changes the setting: the lines are
    // under the agent's key, spelled as the agent reads them, and not
    // overridden by a later line of the same name.
    std::string edited = ReadFile(kExample);
    struct Change {
        const char* from;
        const char* to;
    } const kChanges[] = {
        {"\"Interval (Seconds)\"=dword:00000e10", "\"Interval (Seconds)\"=dword:00000078"},
        {"\"ThreadCount\"=dword:00000005", "\"ThreadCount\"=dword:00000003"},
        {"\"Spam Retention (Days)\"=dword:0000001e", "\"Spam Retention (Days)\"=dword:00000007"},
        {"\"Expunge Report\"=dword:00000000", "\"Expunge Report\"=dword:0000000a"},
        {"\"Maintenance Begin (Hour)\"=dword:00000001",
         "\"Maintenance Begin (Hour)\"=dword:00000016"},
        {"\"Maintenance End (Hour)\"=dword:00000002", "\"Maintenance End (Hour)\"=dword:00000006"},
        {"\"RunMaintenanceOnly\"=dword:00000000", "\"RunMaintenanceOnly\"=dword:00000001"},
    };
    for (const Change& change : kChanges) {
        const std::size_t at = edited.find(change.from);
        ASSERT_NE(at, std::string::npos) << change.from;
        edited.replace(at, std::string(change.from).size(), change.to);
    }
    const std::string path = dir_.file("changed.reg");
    WriteFile(path, edited);
    agent_settings settings{};
    ASSERT_EQ(ReadSettings(path, &settings), 0);
    EXPECT_EQ(settings.interval, 120u);
    EXPECT_EQ(settings.thread_count, 3u);
    EXPECT_EQ(settings.spam_retention, 7u);
    EXPECT_EQ(settings.expunge_report, 10u);
    EXPECT_EQ(settings.maintenance_begin, 22u);
    EXPECT_EQ(settings.maintenance_end, 6u);
    EXPECT_EQ(settings.maintenance_only, 1);
    EXPECT_NE(Events().find("[28021]"), std::string::npos) << Events();
}

// ---- The README's troubleshooting table ---------------------------------------------------

// The table row of `key` ("| 28007 |" and on to the end of the line), or "".
std::string Row(const std::string& readme, const std::string& key) {
    const std::string start = "\n| " + key + " |";
    const std::size_t at = readme.find(start);
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t end = readme.find('\n', at + 1);
    return readme.substr(at + 1, end - at - 1);
}

// The catalogue text as the README quotes it: line feeds written as \n.
std::string Quoted(const char16_t* text) {
    std::string quoted;
    for (char c : Utf8(text))
        quoted += c == '\n' ? std::string("\\n") : std::string(1, c);
    return quoted;
}

TEST_F(PackagingDocs, ReadmeExplainsEveryLoggedMessageInTheCataloguesWords) {
    const std::string readme = ReadFile(std::string(SW_SOURCE_DIR) + "/README.md");
    ASSERT_FALSE(readme.empty());
    // Category 28 keeps four texts that nothing in the agent logs; the
    // table must not send an administrator looking for them.
    const std::set<int> kNeverLogged = {28006, 28016, 28022, 28023};
    int documented = 0;
    for (int id = 0; id <= 43034; ++id) {
        const char16_t* text = xal_log_catalogue_text(id);
        if (text == nullptr) {
            continue;
        }
        const std::string row = Row(readme, std::to_string(id));
        if (kNeverLogged.count(id) != 0) {
            EXPECT_EQ(row, "") << id << " is never logged";
            continue;
        }
        ASSERT_NE(row, "") << "no troubleshooting row for message " << id;
        EXPECT_NE(row.find("`" + Quoted(text) + "`"), std::string::npos)
            << "row of " << id << " does not quote the catalogue text `" << Quoted(text) << "`:\n"
            << row;
        ++documented;
    }
    // 1003, 2066, 2067, 10009, 10010, 10013, 19001-19004, 19011, 19012,
    // 28001-28005, 28007-28015, 28017-28021.
    EXPECT_EQ(documented, 31);

    // The service's own events, as the event table renders them with the
    // display name (or the error number, shown as N) put in.
    const struct {
        const char* key;
        std::uint32_t id;
    } kEvents[] = {
        {"0x40000600", MSG_SERVICE_STARTED},
        {"0x40000601", MSG_SERVICE_STOPPED},
        {"0xC0000602", MSG_SERVICE_STATUS_ERROR},
    };
    for (const auto& event : kEvents) {
        const std::string row = Row(readme, event.key);
        ASSERT_NE(row, "") << "no troubleshooting row for event " << event.key;
        std::string shown = Utf8(EventMessageText(event.id));
        ASSERT_FALSE(shown.empty()) << event.key;
        for (const auto& [from, to] : {std::pair<std::string, std::string>{"%1!s!", kDisplayName},
                                       {"%1!d!", "N"},
                                       {"\r\n", ""}}) {
            const std::size_t at = shown.find(from);
            if (at != std::string::npos) {
                shown.replace(at, from.size(), to);
            }
        }
        EXPECT_NE(row.find("`" + shown + "`"), std::string::npos)
            << event.key << " should quote `" << shown << "`:\n"
            << row;
    }
}

} // namespace
