// What the package ships for the administrator must agree with the program:
// the example hive reads, through the agent's own settings code, as the
// agent's defaults and each of its numbers takes effect; the README's
// troubleshooting table quotes every message the agent logs exactly as the
// catalogue holds it.
#include "agent/agent_settings.h"
#include "log/xal_log_catalogue.h"
#include "log/xal_log_limits.h"
#include "runtime/vtx_str.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <set>
#include <string>

namespace {

const std::string kExample = std::string(SW_SOURCE_DIR) + "/packaging/registry.reg.example";

// The settings the agent reads from a hive of `text`.
agent_settings Read(const swtest::TempDir& dir, const std::string& text) {
    static int serial = 0;
    const std::string path = dir.file("hive" + std::to_string(++serial) + ".reg");
    swtest::WriteFile(path, text);
    ::setenv("SORTWELL_REGISTRY", path.c_str(), 1);
    agent_settings settings{};
    EXPECT_EQ(agent_settings_read(&settings), 0) << text;
    return settings;
}

std::vector<std::uint32_t> Numbers(const agent_settings& s) {
    return {s.interval,          s.thread_count,    s.spam_retention,  s.expunge_report,
            s.maintenance_begin, s.maintenance_end, s.maintenance_only};
}

TEST(PackagingDocs, TheExampleHiveHoldsTheDefaultsAndEachNumberTakesEffect) {
    swtest::TempDir dir("sortwell-packaging");
    ::setenv("SORTWELL_EVENTLOG", "FILE", 1);
    ::setenv("SORTWELL_EVENTLOG_FILE", dir.file("events.jsonl").c_str(), 1);
    const std::string example = swtest::ReadFile(kExample);
    const agent_settings shipped = Read(dir, example);
    EXPECT_EQ(VTX_ToUtf8(shipped.alias), "sortwell");
    EXPECT_EQ(VTX_ToUtf8(shipped.spam_folder), "Spam");
    EXPECT_EQ(VTX_ToUtf8(shipped.spam_substring), "X-Spam-Flag: YES");
    // Its numbers are what the agent takes when they are missing, and its
    // commented "Server" line works once its ';' goes.
    std::istringstream lines(example);
    std::string without_numbers;
    for (std::string line; std::getline(lines, line);)
        without_numbers += line.find("=dword:") == std::string::npos ? line + "\n" : "";
    const agent_settings defaults = Read(dir, without_numbers);
    EXPECT_EQ(Numbers(shipped), Numbers(defaults));
    EXPECT_EQ(VTX_ToUtf8(shipped.server), VTX_ToUtf8(defaults.server));
    std::string edited = example;
    edited.erase(edited.find(";\"Server\"="), 1);
    EXPECT_EQ(VTX_ToUtf8(Read(dir, edited).server), "mail01");
    // Each number changed changes its setting: the lines are under the
    // agent's key, spelled as the agent reads them, and not overridden by a
    // later line of the same name.
    edited = example;
    for (const auto& [name, to] : {std::pair{"Interval (Seconds)", "00000078"},
                                   {"ThreadCount", "00000003"},
                                   {"Spam Retention (Days)", "00000007"},
                                   {"Expunge Report", "0000000a"},
                                   {"Maintenance Begin (Hour)", "00000016"},
                                   {"Maintenance End (Hour)", "00000006"},
                                   {"RunMaintenanceOnly", "00000001"}}) {
        const std::size_t at = edited.find("\n\"" + std::string(name) + "\"=dword:");
        ASSERT_NE(at, std::string::npos) << name;
        edited.replace(at + std::string(name).size() + 10, 8, to);
    }
    EXPECT_EQ(Numbers(Read(dir, edited)), (std::vector<std::uint32_t>{120, 3, 7, 10, 22, 6, 1}));
    ::unsetenv("SORTWELL_REGISTRY");
}

TEST(PackagingDocs, ReadmeExplainsEveryLoggedMessageInTheCataloguesWords) {
    const std::string readme = swtest::ReadFile(std::string(SW_SOURCE_DIR) + "/README.md");
    // Category 28 keeps four texts that nothing in the agent logs; the table
    // must not send an administrator looking for them.
    const std::set<int> never_logged = {28006, 28016, 28022, 28023};
    int documented = 0;
    for (int id = 0; id < XAL_LOG_CATALOGUE_SIZE; ++id) {
        const char16_t* text = xal_log_catalogue_text(id);
        if (text == nullptr)
            continue;
        const std::size_t at = readme.find("\n| " + std::to_string(id) + " |");
        const std::string row = at == std::string::npos
                                    ? ""
                                    : readme.substr(at + 1, readme.find('\n', at + 1) - at - 1);
        if (never_logged.count(id) != 0) {
            EXPECT_EQ(row, "") << id << " is never logged";
            continue;
        }
        // The row quotes the text with its line feeds written as \n.
        std::string quoted;
        for (const char c : VTX_ToUtf8(text))
            quoted += c == '\n' ? std::string("\\n") : std::string(1, c);
        EXPECT_NE(row.find("`" + quoted + "`"), std::string::npos)
            << "the row of " << id << " does not quote `" << quoted << "`:\n"
            << row;
        ++documented;
    }
    EXPECT_EQ(documented, 31);
}

} // namespace
