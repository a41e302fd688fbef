// The agent's log file read back as catalogue messages.
#pragma once
#include <string>
#include <vector>

namespace swtest {

// One catalogue message as the log file holds it: the level word, the id and
// the text, whose continuation lines are joined with '\n'.
struct LogEntry {
    std::string level;
    int id = 0;
    std::string text;
};

std::vector<LogEntry> ParseLog(const std::string& log);

// The catalogue ids in `log`, in order ("[28018]" -> 28018).
std::vector<int> LoggedIds(const std::string& log);

} // namespace swtest
