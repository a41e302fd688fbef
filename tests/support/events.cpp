#include "tests/support/events.h"

#include "tests/support/json.h"

#include <fstream>

namespace swtest {

bool ParseEventLine(const std::string& line, EventRecord* event) {
    Json object;
    std::string error;
    if (!ParseJson(line, &object, &error) || object.kind != Json::Object || object.size() != 8)
        return false;
    for (const char* key : {"time", "source", "data", "message"})
        if (object[key].kind != Json::String)
            return false;
    for (const char* key : {"type", "category", "event_id"})
        if (object[key].kind != Json::Number || object[key].number < 0)
            return false;
    if (object["strings"].kind != Json::Array)
        return false;
    *event = EventRecord();
    for (const Json& item : object["strings"].items) {
        if (item.kind != Json::String)
            return false;
        event->strings.push_back(item.text);
    }
    event->time = object["time"].text;
    event->source = object["source"].text;
    event->type = static_cast<int>(object["type"].number);
    event->category = static_cast<int>(object["category"].number);
    event->event_id = static_cast<std::uint32_t>(object["event_id"].number);
    event->data = object["data"].text;
    event->message = object["message"].text;
    return true;
}

std::vector<EventRecord> ReadEventFile(const std::string& path,
                                       std::vector<std::string>* bad_lines) {
    std::vector<EventRecord> events;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        EventRecord event;
        if (ParseEventLine(line, &event))
            events.push_back(event);
        else if (bad_lines != nullptr)
            bad_lines->push_back(line);
    }
    return events;
}

} // namespace swtest
