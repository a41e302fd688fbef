// Reads the event file back: one JSON object a line, parsed strictly enough
// that a torn or interleaved line fails to parse.
#pragma once
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

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

namespace event_file_detail {

inline bool ParseString(const std::string& s, std::size_t& i, std::string* out) {
    if (i >= s.size() || s[i] != '"') {
        return false;
    }
    ++i;
    while (i < s.size() && s[i] != '"') {
        if (s[i] == '\\') {
            if (i + 1 >= s.size()) {
                return false;
            }
            const char e = s[i + 1];
            i += 2;
            switch (e) {
            case 'n':
                *out += '\n';
                break;
            case 'r':
                *out += '\r';
                break;
            case 't':
                *out += '\t';
                break;
            case '"':
                *out += '"';
                break;
            case '\\':
                *out += '\\';
                break;
            case 'u': {
                if (i + 4 > s.size()) {
                    return false;
                }
                *out += static_cast<char>(std::stoi(s.substr(i, 4), nullptr, 16));
                i += 4;
                break;
            }
            default:
                return false;
            }
            continue;
        }
        if (static_cast<unsigned char>(s[i]) < 0x20) {
            return false; // raw control characters are never allowed
        }
        *out += s[i++];
    }
    if (i >= s.size()) {
        return false;
    }
    ++i;
    return true;
}

inline bool ParseNumber(const std::string& s, std::size_t& i, std::uint64_t* out) {
    const std::size_t start = i;
    std::uint64_t value = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        value = value * 10 + static_cast<std::uint64_t>(s[i] - '0');
        ++i;
    }
    *out = value;
    return i > start;
}

inline bool Expect(const std::string& s, std::size_t& i, char c) {
    if (i < s.size() && s[i] == c) {
        ++i;
        return true;
    }
    return false;
}

} // namespace event_file_detail

// Parses one line (without its line feed). False for anything malformed or
// for keys other than the known ones, in their fixed order.
inline bool ParseEventLine(const std::string& line, EventRecord* event) {
    using namespace event_file_detail;
    std::size_t i = 0;
    std::string key;
    std::uint64_t number = 0;
    const char* const keys[] = {"time",     "source",  "type", "category",
                                "event_id", "strings", "data", "message"};
    if (!Expect(line, i, '{')) {
        return false;
    }
    for (int k = 0; k < 8; ++k) {
        if (k > 0 && !Expect(line, i, ',')) {
            return false;
        }
        key.clear();
        if (!ParseString(line, i, &key) || key != keys[k] || !Expect(line, i, ':')) {
            return false;
        }
        bool ok = true;
        switch (k) {
        case 0:
            ok = ParseString(line, i, &event->time);
            break;
        case 1:
            ok = ParseString(line, i, &event->source);
            break;
        case 2:
            ok = ParseNumber(line, i, &number);
            event->type = static_cast<int>(number);
            break;
        case 3:
            ok = ParseNumber(line, i, &number);
            event->category = static_cast<int>(number);
            break;
        case 4:
            ok = ParseNumber(line, i, &number);
            event->event_id = static_cast<std::uint32_t>(number);
            break;
        case 5:
            ok = Expect(line, i, '[');
            while (ok && !Expect(line, i, ']')) {
                if (!event->strings.empty()) {
                    ok = Expect(line, i, ',');
                }
                std::string item;
                ok = ok && ParseString(line, i, &item);
                event->strings.push_back(item);
            }
            break;
        case 6:
            ok = ParseString(line, i, &event->data);
            break;
        case 7:
            ok = ParseString(line, i, &event->message);
            break;
        }
        if (!ok) {
            return false;
        }
    }
    return Expect(line, i, '}') && i == line.size();
}

// Every event of the file; a line that does not parse is returned in
// `bad_lines`.
inline std::vector<EventRecord> ReadEventFile(const std::string& path,
                                              std::vector<std::string>* bad_lines = nullptr) {
    std::vector<EventRecord> events;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        EventRecord event;
        if (ParseEventLine(line, &event)) {
            events.push_back(event);
        } else if (bad_lines != nullptr) {
            bad_lines->push_back(line);
        }
    }
    return events;
}
