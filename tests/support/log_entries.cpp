#include "tests/support/log_entries.h"

#include <cstdlib>
#include <sstream>

namespace swtest {

// A message's first line reads "5 Dec 2026 18:48:45 (WARNING:123.456): [28007] text".
std::vector<LogEntry> ParseLog(const std::string& log) {
    std::vector<LogEntry> entries;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t open = line.find(" (");
        const std::size_t colon = open == std::string::npos ? open : line.find(':', open);
        const std::size_t close = line.find("): [");
        const std::size_t id_end = close == std::string::npos ? close : line.find("] ", close);
        if (open != std::string::npos && colon != std::string::npos && close != std::string::npos &&
            id_end != std::string::npos && colon < close) {
            LogEntry entry;
            entry.level = line.substr(open + 2, colon - open - 2);
            entry.id = std::atoi(line.c_str() + close + 4);
            entry.text = line.substr(id_end + 2);
            entries.push_back(entry);
        } else if (!entries.empty()) {
            entries.back().text += "\n" + line;
        }
    }
    return entries;
}

std::vector<int> LoggedIds(const std::string& log) {
    std::vector<int> ids;
    for (const LogEntry& entry : ParseLog(log))
        ids.push_back(entry.id);
    return ids;
}

} // namespace swtest
