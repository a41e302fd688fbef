// The event file read back: one JSON object a line with exactly the keys
// time, source, type, category, event_id, strings, data and message, so
// that a torn or interleaved line fails to read.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace swtest {

struct EventRecord {
    std::string time;
    std::string source;
    int type = -1;
    int category = -1;
    std::uint32_t event_id = 0;
    std::vector<std::string> strings;
    std::string data;
    std::string message;
};

// Every event of the file; a line that does not read fails the test.
std::vector<EventRecord> ReadEventFile(const std::string& path);

} // namespace swtest
