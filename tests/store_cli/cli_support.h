// Running sortwell-store as a separate process, and reading its JSON.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace clitest {

struct Result {
    int status = -1; // exit status; -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs sortwell-store with `args` and `input` on standard input. The store
// is named by SORTWELL_INFOSTORE=`store` unless `store` is empty (then the
// variable is removed from the child's environment).
Result RunStore(const std::vector<std::string>& args, const std::string& store,
                const std::string& input = "");

// A parsed JSON value.
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json& operator[](const std::string& key) const;
    const Json& operator[](std::size_t index) const;
    std::size_t size() const { return kind == Array ? items.size() : members.size(); }
    bool is_null() const { return kind == Null; }
};

// Parses a whole JSON document; false (with a reason) when it is not one.
bool ParseJson(const std::string& text, Json* value, std::string* error);

std::string ScratchDir();

} // namespace clitest
