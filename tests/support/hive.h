// Registry hive files (.reg text) for the agent's key.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace swtest {

// A hive file holding `lines` (already in .reg syntax) under the agent's key.
std::string HiveText(const std::vector<std::string>& lines);

// A hive line "Name"=dword:HHHHHHHH.
std::string Dword(const std::string& name, std::uint32_t value);

// A line "Name"=hex(1):.. holding `units` UTF-16 code units of `c` and no
// terminator.
std::string HexText(const std::string& name, std::size_t units, char c);

// `lines` and the hive lines for a maintenance window that is open now and
// stays open for the next 23 hours (it begins at the current local hour and
// ends at the hour before it), so that no hour boundary during a test
// closes it.
std::vector<std::string> WindowOpenNow(std::vector<std::string> lines = {});
// `lines` and the hive lines for a window that opens three hours from now and
// lasts one hour: closed now and through the next hour boundary, also when
// summer time skips an hour. Every test that is not about maintenance runs
// with such a window (Sandbox::WriteHive adds it), since the default window
// (hours 1 to 2) would make its passes maintenance passes one hour a day.
std::vector<std::string> WindowClosedNow(std::vector<std::string> lines = {});
// True when `lines` name a maintenance hour themselves.
bool NamesWindow(const std::vector<std::string>& lines);

} // namespace swtest
