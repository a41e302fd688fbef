// The operator's view of a pass: the status line and the metrics file.
#include "agent/pass_status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "runtime/vtx_str.h"

namespace {

std::string Line(const pass_summary& pass) {
    char16_t buffer[256];
    pass_status_line(pass, buffer, 256);
    return VTX_ToUtf8(buffer);
}

// name -> value of every sample in a metrics document; fails the test on a
// sample without its HELP and TYPE lines.
std::map<std::string, double> Samples(const std::string& text) {
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

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

} // namespace

TEST(PassStatus, TheLineSaysWhatThePassDidAndHowLong) {
    pass_summary pass;
    pass.pass_number = 3;
    pass.queued = 120;
    pass.done = 120;
    pass.elapsed_ns = 2'440'000'000;
    pass.maintenance = true;
    EXPECT_EQ(Line(pass), "Pass 3: 120 of 120 mailboxes done in 2.4 s (maintenance)");

    pass.maintenance = false;
    pass.done = 7;
    pass.elapsed_ns = 50'000'000; // rounds up to a tenth
    EXPECT_EQ(Line(pass), "Pass 3: 7 of 120 mailboxes done in 0.1 s");

    pass.remove = true;
    pass.elapsed_ns = 61'949'000'000;
    EXPECT_EQ(Line(pass), "Pass 3: 7 of 120 mailboxes done in 61.9 s (remove)");

    pass.remove = false;
    pass.maintenance_only = true;
    EXPECT_EQ(Line(pass), "Pass 3: 7 of 120 mailboxes done in 61.9 s (maintenance only, idle)");
    pass.maintenance = true;
    EXPECT_EQ(Line(pass), "Pass 3: 7 of 120 mailboxes done in 61.9 s (maintenance only)");

    // A short buffer cuts the line but keeps it terminated.
    char16_t small[10];
    pass_status_line(pass, small, 10);
    EXPECT_EQ(VTX_ToUtf8(small), "Pass 3: 7");
}

TEST(PassStatus, MetricsCarryThePassAndTheTotals) {
    pass_summary pass;
    pass.pass_number = 12;
    pass.queued = 10000;
    pass.done = 9998;
    pass.elapsed_ns = 1'250'000'000;
    pass.maintenance = true;
    pass_totals totals{12, 2, 119990, 120000};
    const auto samples = Samples(pass_metrics_text(pass, totals, 1796000000));
    EXPECT_EQ(samples.at("sortwell_passes_total"), 12);
    EXPECT_EQ(samples.at("sortwell_maintenance_passes_total"), 2);
    EXPECT_EQ(samples.at("sortwell_mailboxes_done_total"), 119990);
    EXPECT_EQ(samples.at("sortwell_mailboxes_queued_total"), 120000);
    EXPECT_EQ(samples.at("sortwell_last_pass_number"), 12);
    EXPECT_EQ(samples.at("sortwell_last_pass_mailboxes_queued"), 10000);
    EXPECT_EQ(samples.at("sortwell_last_pass_mailboxes_done"), 9998);
    EXPECT_DOUBLE_EQ(samples.at("sortwell_last_pass_seconds"), 1.25);
    EXPECT_EQ(samples.at("sortwell_last_pass_maintenance"), 1);
    EXPECT_EQ(samples.at("sortwell_last_pass_remove"), 0);
    EXPECT_EQ(samples.at("sortwell_last_pass_end_timestamp_seconds"), 1796000000);
    EXPECT_EQ(samples.size(), 11u);
}

TEST(PassStatus, TheMetricsFileIsFoundAndReplacedWhole) {
    {
        ScopedEnv file("SORTWELL_METRICS_FILE", nullptr);
        ScopedEnv state("STATE_DIRECTORY", "/var/lib/sortwell:/var/lib/other");
        EXPECT_EQ(pass_metrics_path(), "/var/lib/sortwell/metrics.prom");
    }
    {
        ScopedEnv file("SORTWELL_METRICS_FILE", "");
        ScopedEnv state("STATE_DIRECTORY", "/var/lib/sortwell");
        EXPECT_EQ(pass_metrics_path(), "") << "an empty name turns the file off";
    }
    {
        ScopedEnv file("SORTWELL_METRICS_FILE", nullptr);
        ScopedEnv state("STATE_DIRECTORY", nullptr);
        EXPECT_EQ(pass_metrics_path(), "") << "a console run writes no file unless asked";
    }

    const auto dir =
        std::filesystem::temp_directory_path() / ("sw-metrics-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "metrics.prom").string();
    ASSERT_EQ(pass_metrics_write(path, "first\n"), 0);
    ASSERT_EQ(pass_metrics_write(path, "second\n"), 0);
    std::ifstream in(path);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "second\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_EQ(pass_metrics_write((dir / "missing" / "metrics.prom").string(), "x"), ENOENT);
    std::filesystem::remove_all(dir);
}
