#include "tests/support/events.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace swtest {
namespace {

// One line (without its line feed); false for anything else.
bool ParseEventLine(const std::string& line, EventRecord* event) {
    const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    if (!object.is_object() || object.size() != 8 || !object.contains("strings") ||
        !object["strings"].is_array())
        return false;
    for (const char* key : {"time", "source", "data", "message"})
        if (!object.contains(key) || !object[key].is_string())
            return false;
    for (const char* key : {"type", "category", "event_id"})
        if (!object.contains(key) || !object[key].is_number_unsigned())
            return false;
    *event = EventRecord();
    for (const nlohmann::json& item : object["strings"]) {
        if (!item.is_string())
            return false;
        event->strings.push_back(item.get<std::string>());
    }
    event->time = object["time"];
    event->source = object["source"];
    event->type = object["type"];
    event->category = object["category"];
    event->event_id = object["event_id"];
    event->data = object["data"];
    event->message = object["message"];
    return true;
}

} // namespace

std::vector<EventRecord> ReadEventFile(const std::string& path) {
    std::vector<EventRecord> events;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        EventRecord event;
        if (ParseEventLine(line, &event))
            events.push_back(event);
        else
            ADD_FAILURE() << path << ": an event line that does not read: " << line;
    }
    return events;
}

} // namespace swtest
