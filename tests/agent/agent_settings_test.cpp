// The settings read from registry hive files: required values, defaults,
// range rules, trimming, full fields and the maintenance window.
#include "agent/agent_settings.h"
#include "platform/win32/sysinfo.h"
#include "tests/agent/agent_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const bool kLogFiles = swtest::UseLogFiles();

class AgentSettings : public ::testing::Test {
protected:
    // Reads the settings from a hive holding `lines`; returns the result and
    // leaves what was logged in `logged`.
    std::int32_t Read(const std::vector<std::string>& lines) {
        static int serial = 0;
        const std::string path = dir.file("hive" + std::to_string(++serial) + ".reg");
        swtest::WriteFile(path, swtest::HiveText(lines));
        ::setenv("SORTWELL_REGISTRY", path.c_str(), 1);
        const std::size_t mark = swtest::LogFiles::get().log_mark();
        const std::int32_t result = agent_settings_read(&settings);
        logged = swtest::LogFiles::get().log_since(mark);
        return result;
    }
    std::vector<std::string> With(std::vector<std::string> extra) {
        std::vector<std::string> lines = swtest::RequiredValues();
        lines.insert(lines.end(), extra.begin(), extra.end());
        return lines;
    }
    // The three required texts as given (.reg lines), then `extra`.
    std::int32_t ReadTexts(const std::string& alias, const std::string& folder,
                           const std::string& marker, std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {alias, folder, marker});
        return Read(extra);
    }
    static std::u16string Host() {
        char16_t host[260];
        DWORD size = 260;
        EXPECT_EQ(GetComputerNameW(host, &size), TRUE);
        return host;
    }
    void TearDown() override { ::unsetenv("SORTWELL_REGISTRY"); }

    swtest::TempDir dir;
    agent_settings settings{};
    std::string logged;
};

TEST_F(AgentSettings, RequiredValuesAreNamedWhenMissing) {
    EXPECT_EQ(Read({}), 28001);
    EXPECT_EQ(swtest::LoggedIds(logged), std::vector<int>{28001});
    EXPECT_NE(logged.find("(ERROR:"), std::string::npos);
    EXPECT_NE(logged.find("Error reading configuration from Windows registry: Alias."),
              std::string::npos)
        << logged;

    EXPECT_EQ(Read({"\"Alias\"=\"admin\"", "\"Spam SubString\"=\"X\""}), 28001);
    EXPECT_NE(logged.find("registry: Spam Folder."), std::string::npos) << logged;
    EXPECT_EQ(Read({"\"Alias\"=\"admin\"", "\"Spam Folder\"=\"Junk\""}), 28001);
    EXPECT_NE(logged.find("registry: Spam SubString."), std::string::npos) << logged;

    // A value too large for its field is missing too.
    EXPECT_EQ(Read({"\"Alias\"=\"" + std::string(300, 'a') + "\"", "\"Spam Folder\"=\"J\"",
                    "\"Spam SubString\"=\"X\""}),
              28001);
    EXPECT_NE(logged.find("registry: Alias."), std::string::npos);
}

TEST_F(AgentSettings, DefaultsForEverythingElse) {
    ASSERT_EQ(
        Read({"\"Alias\"=\"admin\"", "\"Spam Folder\"=\"Junk\"", "\"Spam SubString\"=\"X-Spam\""}),
        0);
    EXPECT_TRUE(swtest::LoggedIds(logged).empty()) << logged;
    EXPECT_EQ(std::u16string(settings.alias), u"admin");
    EXPECT_EQ(std::u16string(settings.spam_folder), u"Junk");
    EXPECT_EQ(std::u16string(settings.spam_substring), u"X-Spam");
    EXPECT_EQ(settings.interval, 3600u);
    EXPECT_EQ(settings.thread_count, 5u);
    EXPECT_EQ(settings.expunge_report, 0u);
    EXPECT_EQ(settings.spam_retention, 30u);
    EXPECT_EQ(settings.maintenance_only, 0);
    EXPECT_EQ(settings.maintenance_begin, 1u);
    EXPECT_EQ(settings.maintenance_end, 2u);
    EXPECT_EQ(std::u16string(settings.server), Host()) << "the missing server is this computer";
}

TEST_F(AgentSettings, NumbersAreBroughtIntoRange) {
    struct Case {
        const char* name;
        std::uint32_t stored;
        std::uint32_t agent_settings::*field;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"Interval (Seconds)", 0, &agent_settings::interval, 60},
        {"Interval (Seconds)", 59, &agent_settings::interval, 60},
        {"Interval (Seconds)", 60, &agent_settings::interval, 60},
        {"Interval (Seconds)", 61, &agent_settings::interval, 61},
        {"Interval (Seconds)", 4294967295u, &agent_settings::interval, 4294967295u},
        {"ThreadCount", 0, &agent_settings::thread_count, 1},
        {"ThreadCount", 7, &agent_settings::thread_count, 7},
        {"ThreadCount", 20, &agent_settings::thread_count, 20},
        {"ThreadCount", 21, &agent_settings::thread_count, 20},
        {"ThreadCount", 4294967295u, &agent_settings::thread_count, 20},
        {"Spam Retention (Days)", 0, &agent_settings::spam_retention, 1},
        {"Spam Retention (Days)", 90, &agent_settings::spam_retention, 90},
        {"Expunge Report", 10, &agent_settings::expunge_report, 10},
        {"Expunge Report", 4294967295u, &agent_settings::expunge_report, 4294967295u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " = " << c.stored);
        ASSERT_EQ(Read(With({swtest::Dword(c.name, c.stored)})), 0);
        EXPECT_EQ(settings.*c.field, c.expected);
    }

    // The type is not looked at, only the size: text longer than four bytes
    // cannot be read as a number and the default applies, while "7" and its
    // terminator are four bytes, taken as stored (0x37, 55, so 20).
    ASSERT_EQ(Read(With({"\"ThreadCount\"=\"700\""})), 0);
    EXPECT_EQ(settings.thread_count, 5u);
    ASSERT_EQ(Read(With({"\"ThreadCount\"=\"7\""})), 0);
    EXPECT_EQ(settings.thread_count, 20u);
    ASSERT_EQ(Read(With({"\"Spam Retention (Days)\"=hex:07,00"})), 0);
    EXPECT_EQ(settings.spam_retention, 7u) << "shorter data fills the low bytes";
}

TEST_F(AgentSettings, MaintenanceOnlyOnlyForExactlyOne) {
    ASSERT_EQ(Read(With({swtest::Dword("RunMaintenanceOnly", 1)})), 0);
    EXPECT_EQ(settings.maintenance_only, 1);
    EXPECT_EQ(swtest::LoggedIds(logged), std::vector<int>{28021});
    EXPECT_NE(logged.find("(NOTICE:"), std::string::npos);
    EXPECT_NE(logged.find("The Sortwell will be running in 'Maintenance Only Mode'."),
              std::string::npos);

    for (std::uint32_t other : {0u, 2u, 257u}) {
        ASSERT_EQ(Read(With({swtest::Dword("RunMaintenanceOnly", other)})), 0);
        EXPECT_EQ(settings.maintenance_only, 0) << other;
        EXPECT_TRUE(swtest::LoggedIds(logged).empty()) << other;
    }
}

TEST_F(AgentSettings, MaintenanceWindow) {
    // Across midnight is valid; one of them alone keeps the other's default.
    const std::vector<std::pair<std::vector<std::string>, std::pair<std::uint32_t, std::uint32_t>>>
        valid = {{{swtest::Dword("Maintenance Begin (Hour)", 22),
                   swtest::Dword("Maintenance End (Hour)", 6)},
                  {22, 6}},
                 {{swtest::Dword("Maintenance Begin (Hour)", 0),
                   swtest::Dword("Maintenance End (Hour)", 23)},
                  {0, 23}},
                 {{swtest::Dword("Maintenance End (Hour)", 5)}, {1, 5}}};
    for (const auto& [values, window] : valid) {
        SCOPED_TRACE(values.back());
        ASSERT_EQ(Read(With(values)), 0);
        EXPECT_EQ(std::pair(settings.maintenance_begin, settings.maintenance_end), window);
        EXPECT_TRUE(swtest::LoggedIds(logged).empty());
    }

    const std::vector<std::vector<std::string>> invalid = {
        {swtest::Dword("Maintenance Begin (Hour)", 5), swtest::Dword("Maintenance End (Hour)", 5)},
        {swtest::Dword("Maintenance Begin (Hour)", 24), swtest::Dword("Maintenance End (Hour)", 3)},
        {swtest::Dword("Maintenance Begin (Hour)", 3), swtest::Dword("Maintenance End (Hour)", 24)},
        {swtest::Dword("Maintenance Begin (Hour)", 4294967295u)},
        {swtest::Dword("Maintenance End (Hour)", 1)}, // equal to the default begin
    };
    for (const auto& values : invalid) {
        SCOPED_TRACE(values.front());
        ASSERT_EQ(Read(With(values)), 0);
        EXPECT_EQ(std::pair(settings.maintenance_begin, settings.maintenance_end),
                  std::pair(1u, 2u));
        EXPECT_EQ(swtest::LoggedIds(logged), std::vector<int>{28017});
        EXPECT_NE(logged.find("(WARNING:"), std::string::npos);
        EXPECT_NE(logged.find("The maintenance window specificied is invalid. Using defaults."),
                  std::string::npos);
    }
}

TEST_F(AgentSettings, SpamFolderIsTrimmedAndTheMarkerIsNot) {
    struct Case {
        std::string stored; // .reg text of the value
        std::u16string expected;
    };
    const Case cases[] = {
        {"\"  Junk Mail  \"", u"Junk Mail"},
        {"\"   \"", u""},
        {"\"\"", u""},
        {"\"\tSpam\tBox\t\"", u"Spam\tBox"},
        {"\"X\"", u"X"},
        {"\" X \"", u"X"},
        // Unicode spaces: ideographic space before, no-break space after.
        {"\"\xE3\x80\x80Spam\xC2\xA0\"", u"Spam"},
        // Line breaks count as white space as well (stored as hex).
        {"hex(1):0a,00,4a,00,0d,00,00,00", u"J"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        ASSERT_EQ(Read({"\"Alias\"=\"admin\"", "\"Spam Folder\"=" + c.stored,
                        "\"Spam SubString\"=\"  X-Spam: yes \""}),
                  0);
        EXPECT_EQ(std::u16string(settings.spam_folder), c.expected);
        EXPECT_EQ(std::u16string(settings.spam_substring), u"  X-Spam: yes ");
    }
}

TEST_F(AgentSettings, TextsThatFillTheirWholeFieldAreRefused) {
    // 255 characters and a terminator fit exactly.
    ASSERT_EQ(Read({"\"Alias\"=\"" + std::string(255, 'a') + "\"",
                    "\"Spam Folder\"=\"" + std::string(259, 'f') + "\"",
                    "\"Spam SubString\"=\"" + std::string(259, 's') + "\"",
                    "\"Server\"=\"" + std::string(259, 'v') + "\""}),
              0);
    EXPECT_EQ(std::u16string(settings.alias), std::u16string(255, u'a'));
    EXPECT_EQ(std::u16string(settings.spam_folder), std::u16string(259, u'f'));
    EXPECT_EQ(std::u16string(settings.server), std::u16string(259, u'v'));

    // The whole field without a terminator is refused; a server that fills
    // its field gives way to the computer's name.
    const std::string alias = "\"Alias\"=\"a\"", folder = "\"Spam Folder\"=\"J\"",
                      marker = "\"Spam SubString\"=\"X\"";
    EXPECT_EQ(ReadTexts(swtest::HexText("Alias", 256, 'a'), folder, marker), 28001);
    EXPECT_NE(logged.find("registry: Alias."), std::string::npos);
    EXPECT_EQ(ReadTexts(alias, swtest::HexText("Spam Folder", 260, 'f'), marker), 28001);
    EXPECT_NE(logged.find("registry: Spam Folder."), std::string::npos);
    EXPECT_EQ(ReadTexts(alias, folder, swtest::HexText("Spam SubString", 260, 's')), 28001);
    EXPECT_NE(logged.find("registry: Spam SubString."), std::string::npos);
    ASSERT_EQ(ReadTexts(alias, folder, marker, {swtest::HexText("Server", 260, 'v')}), 0);
    EXPECT_EQ(std::u16string(settings.server), Host());

    // Text without a terminator that leaves room is taken as it is.
    ASSERT_EQ(ReadTexts(swtest::HexText("Alias", 10, 'b'), folder, marker), 0);
    EXPECT_EQ(std::u16string(settings.alias), std::u16string(10, u'b'));
}

TEST_F(AgentSettings, ReadingAgainForgetsWhatWasRemoved) {
    ASSERT_EQ(Read(With({swtest::Dword("Interval (Seconds)", 120), swtest::Dword("ThreadCount", 9),
                         "\"Server\"=\"OLDSERVER-WITH-A-LONG-NAME\""})),
              0);
    EXPECT_EQ(settings.interval, 120u);
    ASSERT_EQ(ReadTexts("\"Alias\"=\"b\"", "\"Spam Folder\"=\"J\"", "\"Spam SubString\"=\"X\"",
                        {"\"Server\"=\"NEW\""}),
              0);
    EXPECT_EQ(settings.interval, 3600u);
    EXPECT_EQ(settings.thread_count, 5u);
    EXPECT_EQ(std::u16string(settings.server), u"NEW") << "no tail of the longer old name";
    EXPECT_EQ(std::u16string(settings.alias), u"b");
}

} // namespace
