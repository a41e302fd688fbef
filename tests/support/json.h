// A small reader for the JSON that sortwell-store prints with --json.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace swtest {

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    std::int64_t number = 0; // sortwell-store prints integers only
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    // Missing members and items read as null.
    const Json& operator[](const std::string& key) const;
    const Json& operator[](std::size_t index) const;
    std::size_t size() const { return kind == Array ? items.size() : members.size(); }
    bool is_null() const { return kind == Null; }
};

// Parses one JSON document; false with a reason when it is not one.
bool ParseJson(const std::string& text, Json* value, std::string* error);

} // namespace swtest
