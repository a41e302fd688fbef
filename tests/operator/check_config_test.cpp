// sortwell-check-config against one hive for each mistake an administrator
// makes: the line that names it (every line led by the hive's path), and the
// exit status that says whether the agent would start, which the agent
// itself confirms where it would not.
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace swtest {
namespace {

struct Case {
    const char* mistake;
    std::vector<std::string> lines; // the hive, with the required values unless replaced
    int status;
    std::string said; // one whole line of the output, after the path
};

const std::string kKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]";

TEST(CheckConfig, NamesEachMistakeInAHiveMadeForIt) {
    const std::vector<Case> cases = {
        {"none", {}, 0, "\"Interval (Seconds)\" = 3600 seconds (default)"},
        {"a misspelt name",
         {Dword("Threads", 4)},
         0,
         "\"Threads\" is not a value the agent reads, so it has no effect (did you mean "
         "\"ThreadCount\"?)"},
        {"a shortened name",
         {Dword("interval", 600)},
         0,
         "\"interval\" is not a value the agent reads, so it has no effect (did you mean "
         "\"Interval (Seconds)\"?)"},
        {"text for a number",
         {"\"ThreadCount\"=\"4\""},
         0,
         "\"ThreadCount\" is text, but the agent reads a number (dword:): it takes its 4 bytes "
         "as the number 52"},
        {"its effect",
         {"\"ThreadCount\"=\"4\""},
         0,
         "\"ThreadCount\" = 20 (from the hive, which holds 52, brought into range)"},
        {"a number for text",
         {Dword("Server", 7)},
         0,
         "\"Server\" is a dword, but the agent reads text (\"...\"): it takes the 4 bytes as they "
         "are, as UTF-16 text"},
        {"an empty marker",
         {"\"Spam SubString\"=\"\""},
         0,
         "WARNING: \"Spam SubString\" is empty: every message's headers contain the empty text, "
         "so the rule would file EVERY incoming message as spam"},
        {"a blank marker",
         {"\"Spam SubString\"=\" \""},
         0,
         "WARNING: \"Spam SubString\" is only white space: every message's headers contain it, "
         "so the rule would file EVERY incoming message as spam"},
        {"a blank folder",
         {"\"Spam Folder\"=\"   \""},
         0,
         "\"Spam Folder\" is empty once the blanks around it are removed: no mailbox can get a "
         "spam folder or a rule (warning 28011 for each)"},
        {"a late begin hour",
         {Dword("Maintenance Begin (Hour)", 24)},
         0,
         "the maintenance window is invalid: \"Maintenance Begin (Hour)\" is 24, above 23; the "
         "agent uses the window 1:00 to 2:00 instead (warning 28017)"},
        {"a late end hour",
         {Dword("Maintenance End (Hour)", 30)},
         0,
         "the maintenance window is invalid: \"Maintenance End (Hour)\" is 30, above 23; the "
         "agent uses the window 1:00 to 2:00 instead (warning 28017)"},
        {"equal hours",
         {Dword("Maintenance Begin (Hour)", 5), Dword("Maintenance End (Hour)", 5)},
         0,
         "the maintenance window is invalid: begin and end are both 5; the agent uses the window "
         "1:00 to 2:00 instead (warning 28017)"},
        {"a required value missing",
         {"\"Spam Folder\"=-"},
         1,
         "the agent would not start: \"Spam Folder\" is required and is missing (error 28001)"},
        {"a required value too long",
         {HexText("Alias", 256, 'a')},
         1,
         "\"Alias\" is too long: the agent reads at most 255 characters, and takes it as missing"},
        {"the key misspelt",
         {"Windows Registry Editor Version 5.00",
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwel]", "\"Alias\"=\"sortwell\""},
         1,
         "the hive has no key " + kKey},
        {"a line that cannot be parsed",
         {"Alias=sortwell"},
         1,
         "the hive cannot be parsed: line 7: expected a key in [...], a value \"Name\"=... or "
         "@=..., or a comment starting with ';'; the agent finds no settings in it"},
        {"no hive", {"(none)"}, 1, "the hive does not exist; the agent finds no settings in it"},
        {"a hive that is no file",
         {"(folder)"},
         1,
         "the hive cannot be read: Is a directory; the agent finds no settings in it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mistake);
        Sandbox sandbox;
        const std::string first = c.lines.empty() ? "" : c.lines.front();
        if (first == "(folder)") {
            std::filesystem::create_directory(sandbox.hive_path());
        } else if (first.rfind("Windows", 0) == 0) {
            std::string text;
            for (const std::string& line : c.lines)
                text += line + "\n";
            WriteFile(sandbox.hive_path(), text);
        } else if (first != "(none)") {
            sandbox.WriteHive(c.lines);
        }
        const ProcessResult r = RunProgram(CheckConfigProgram(), {}, sandbox.Env());
        EXPECT_EQ(r.exit_code, c.status) << r.out;
        std::istringstream out(r.out);
        bool said = false;
        int count = 0;
        for (std::string line; std::getline(out, line); ++count) {
            ASSERT_EQ(line.rfind(sandbox.hive_path() + ": ", 0), 0u) << line;
            said = said || line.substr(sandbox.hive_path().size() + 2) == c.said;
        }
        EXPECT_TRUE(said) << r.out;
        EXPECT_GT(count, 11) << "a line for every setting, and the verdict";
        if (c.status != 0) {
            // The agent, on the same hive, stops for the same reason.
            EXPECT_EQ(sandbox.RunAgent({"once"}).exit_code, 1);
            EXPECT_EQ(sandbox.LogCount(28001), 1) << sandbox.Log();
        }
    }
    EXPECT_EQ(RunProgram(CheckConfigProgram(), {"--hive"}, {}).exit_code, 2);
    EXPECT_EQ(RunProgram(CheckConfigProgram(), {"--help"}, {}).exit_code, 0);
}

} // namespace
} // namespace swtest
