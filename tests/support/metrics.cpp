#include "tests/support/metrics.h"

#include <gtest/gtest.h>

#include <sstream>

namespace swtest {

std::map<std::string, double> ParseMetrics(const std::string& text) {
    std::map<std::string, double> samples;
    std::map<std::string, int> described;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
            std::istringstream words(line.substr(7));
            std::string name;
            words >> name;
            described[name] += 1;
            continue;
        }
        std::istringstream words(line);
        std::string name;
        double value = 0;
        words >> name >> value;
        EXPECT_EQ(described[name], 2) << "HELP and TYPE before " << name;
        EXPECT_EQ(name.rfind("sortwell_", 0), 0u) << name;
        samples[name] = value;
    }
    return samples;
}

} // namespace swtest
