// Helpers for the agent's tests: hives of the values the agent needs, and
// the days of the fake clock.
#pragma once
#include "tests/controller/controller_test_support.h"
#include "tests/support/clock.h"
#include "tests/support/files.h"
#include "tests/support/hive.h"
#include "tests/support/process.h"

#include <cstdint>
#include <string>
#include <vector>

namespace swtest {

// Writes to `path` a hive of the values without which the agent does not
// start (unless `with_required` is false), then `extra`.
inline void WriteAgentHive(const std::string& path, const std::vector<std::string>& extra,
                           bool with_required = true) {
    std::vector<std::string> lines;
    if (with_required)
        lines = {"\"Alias\"=\"sortwell-admin\"", "\"Server\"=\"MAIL01\"",
                 "\"Spam Folder\"=\"Junk Mail\"", "\"Spam SubString\"=\"X-Spam-Flag: YES\""};
    lines.insert(lines.end(), extra.begin(), extra.end());
    WriteFile(path, HiveText(lines));
}

// Seconds since 1970 of day `day` (0 = 1 March 2027) at hh:mm, UTC.
inline std::int64_t At(int day, int hour, int minute) {
    const std::int64_t march_1_2027 = 1803859200; // 2027-03-01 00:00:00 UTC
    return march_1_2027 + day * 86400LL + hour * 3600LL + minute * 60LL;
}

} // namespace swtest
