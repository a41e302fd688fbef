// What the stories share: a fixture that gives each story a sandbox on one
// kind of mail server, and the worlds every story runs against.
#pragma once
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace swtest {

inline auto AllWorlds() {
    return ::testing::Values(WorldKind::Embedded, WorldKind::Dovecot);
}
inline std::string WorldParamName(const ::testing::TestParamInfo<WorldKind>& info) {
    return WorldName(info.param);
}

class Story : public ::testing::TestWithParam<WorldKind> {
protected:
    // The embedded store, for what only it can do; null on other servers.
    EmbeddedStore* Embedded() const { return dynamic_cast<EmbeddedStore*>(&world); }

    Sandbox sandbox{GetParam()};
    World& world = sandbox.world();
};

// Runs the suite's stories against every world.
#define SW_STORY_WORLDS(suite) INSTANTIATE_TEST_SUITE_P(Worlds, suite, AllWorlds(), WorldParamName)

constexpr const char* kReportSubject = "Sortwell Maintenance Report";
constexpr std::uint32_t kNotFound = 0x8004010f; // MAPI_E_NOT_FOUND

// The messages of `id` in the log, as "LEVEL text".
inline std::vector<std::string> Logged(const Sandbox& sandbox, int id) {
    std::vector<std::string> found;
    for (const LogEntry& entry : sandbox.LogEntries())
        if (entry.id == id)
            found.push_back(entry.level + " " + entry.text);
    return found;
}

// Waits for the status line a service gives at the end of pass `number`;
// `seen` gets what arrived meanwhile.
inline bool WaitForPass(NotifySocket& notify, int number,
                        std::vector<std::string>* seen = nullptr) {
    return notify.WaitFor("STATUS=Pass " + std::to_string(number) + ":", 30000, seen);
}

} // namespace swtest
