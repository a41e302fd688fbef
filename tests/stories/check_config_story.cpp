// sortwell-check-config against one hive for each mistake an administrator
// makes: a line names it (every line led by the hive's path), and the exit
// status says whether the agent would start, which the agent itself
// confirms where it would not.
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace swtest {
namespace {

TEST(CheckConfig, NamesEachMistakeInAHiveMadeForIt) {
    struct Case {
        std::vector<std::string> hive; // beside the required values; or "(none)", "(folder)"
        int status;
        std::string said; // in exactly one line of the output
    };
    const std::vector<Case> cases = {
        {{}, 0, "\"Interval (Seconds)\" = 3600 seconds (default)"},
        {{Dword("ThreadCount", 0)},
         0,
         "\"ThreadCount\" = 1 (from the hive, which holds 0, brought into range)"},
        {{Dword("Threads", 4)}, 0, "no effect (did you mean \"ThreadCount\"?)"},
        {{"\"ThreadCount\"=\"4\""},
         0,
         "\"ThreadCount\" is text, but the agent reads a number (dword:): it takes its 4 bytes "
         "as the number 52"},
        {{Dword("Server", 7)}, 0, "\"Server\" is a dword, but the agent reads text"},
        {{"\"Spam SubString\"=\"\""}, 0, "WARNING: \"Spam SubString\" is empty"},
        {{"\"Spam SubString\"=\" \""}, 0, "WARNING: \"Spam SubString\" is only white space"},
        {{"\"Spam Folder\"=\"   \""}, 0, "\"Spam Folder\" is empty once the blanks around it"},
        {{Dword("Maintenance Begin (Hour)", 24)},
         0,
         "\"Maintenance Begin (Hour)\" is 24, above 23"},
        {{Dword("Maintenance Begin (Hour)", 5), Dword("Maintenance End (Hour)", 5)},
         0,
         "invalid: begin and end are both 5"},
        {{"\"Spam Folder\"=-"},
         1,
         "would not start: \"Spam Folder\" is required and is missing (error 28001)"},
        {{"Alias=sortwell"}, 1, "the hive cannot be parsed: line 7:"},
        {{"(none)"}, 1, "the hive does not exist"},
        {{"(folder)"}, 1, "the hive cannot be read: Is a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        Sandbox sandbox;
        if (c.hive == std::vector<std::string>{"(folder)"})
            std::filesystem::create_directory(sandbox.hive_path());
        else if (c.hive != std::vector<std::string>{"(none)"})
            sandbox.WriteHive(c.hive);
        const ProcessResult r = RunProgram(CheckConfigProgram(), {}, sandbox.Env());
        EXPECT_EQ(r.exit_code, c.status) << r.out;
        std::istringstream out(r.out);
        int lines = 0, saying = 0;
        for (std::string line; std::getline(out, line); ++lines) {
            EXPECT_EQ(line.rfind(sandbox.hive_path() + ": ", 0), 0u) << line;
            saying += line.find(c.said) != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(saying, 1) << r.out;
        EXPECT_GT(lines, 11) << "a line for every setting, and the verdict";
        if (c.status != 0) {
            EXPECT_EQ(sandbox.RunAgent({"once"}).exit_code, 1);
            EXPECT_EQ(sandbox.LogCount(28001), 1) << sandbox.Log();
        }
    }
    EXPECT_EQ(RunProgram(CheckConfigProgram(), {"--hive"}, {}).exit_code, 2);
    EXPECT_EQ(RunProgram(CheckConfigProgram(), {"--help"}, {}).exit_code, 0);
}

} // namespace
} // namespace swtest
