// The operator's view of a pass: the status line and the metrics file.
#include "agent/pass_status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "runtime/vtx_str.h"
#include "tests/support/files.h"
#include "tests/support/metrics.h"

namespace {

std::string Line(const pass_summary& pass) {
    char16_t buffer[256];
    pass_status_line(pass, buffer, 256);
    return VTX_ToUtf8(buffer);
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
    const auto samples = swtest::ParseMetrics(pass_metrics_text(pass, totals, 1796000000));
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

    swtest::TempDir dir("sw-metrics");
    const std::string path = dir.file("metrics.prom");
    ASSERT_EQ(pass_metrics_write(path, "first\n"), 0);
    ASSERT_EQ(pass_metrics_write(path, "second\n"), 0);
    EXPECT_EQ(swtest::ReadFile(path), "second\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_EQ(pass_metrics_write(dir.file("missing/metrics.prom"), "x"), ENOENT);
}
