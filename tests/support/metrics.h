// The agent's metrics file read back.
#pragma once
#include <map>
#include <string>

namespace swtest {

// name -> value of every sample in a metrics document. A sample without its
// HELP and TYPE lines, or whose name lacks the sortwell_ prefix, fails the
// test.
std::map<std::string, double> ParseMetrics(const std::string& text);

} // namespace swtest
