// The operator's view of a pass: the status line and the metrics file.
#include "agent/pass_status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "runtime/vtx_str.h"
#include "tests/support/files.h"
#include "tests/support/metrics.h"

namespace {

std::string Line(const pass_summary& pass) {
    char16_t buffer[256];
    pass_status_line(pass, buffer, 256);
    return VTX_ToUtf8(buffer);
}

// The metrics path with both variables set as given (nullptr: unset).
std::string MetricsPath(const char* file, const char* state) {
    for (const auto& [name, value] :
         {std::pair{"SORTWELL_METRICS_FILE", file}, std::pair{"STATE_DIRECTORY", state}}) {
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    std::string path = pass_metrics_path();
    ::unsetenv("SORTWELL_METRICS_FILE");
    ::unsetenv("STATE_DIRECTORY");
    return path;
}

} // namespace

TEST(PassStatus, TheLineSaysWhatThePassDidAndHowLong) {
    // Pass 3, 120 queued, 120 done, 2.44 s, maintenance.
    pass_summary pass{3, 120, 120, 2'440'000'000, true};
    EXPECT_EQ(Line(pass), "Pass 3: 120 of 120 mailboxes done, 0 failed, in 2.4 s (maintenance)");
    pass.failed = 4;
    pass.maintenance_failed = 2;
    EXPECT_EQ(Line(pass),
              "Pass 3: 120 of 120 mailboxes done, 4 failed, in 2.4 s (maintenance, 2 not cleaned)");

    pass.maintenance = false;
    pass.maintenance_failed = 0;
    pass.done = 7;
    pass.elapsed_ns = 50'000'000; // rounds up to a tenth
    EXPECT_EQ(Line(pass), "Pass 3: 7 of 120 mailboxes done, 4 failed, in 0.1 s");

    pass.remove = true;
    pass.elapsed_ns = 61'949'000'000;
    EXPECT_EQ(Line(pass), "Pass 3: 7 of 120 mailboxes done, 4 failed, in 61.9 s (remove)");

    pass.remove = false;
    pass.failed = 0;
    pass.maintenance_only = true;
    EXPECT_EQ(Line(pass),
              "Pass 3: 7 of 120 mailboxes done, 0 failed, in 61.9 s (maintenance only, idle)");
    pass.maintenance = true;
    EXPECT_EQ(Line(pass),
              "Pass 3: 7 of 120 mailboxes done, 0 failed, in 61.9 s (maintenance only)");

    // A short buffer cuts the line but keeps it terminated.
    char16_t small[10];
    pass_status_line(pass, small, 10);
    EXPECT_EQ(VTX_ToUtf8(small), "Pass 3: 7");
}

TEST(PassStatus, MetricsCarryThePassAndTheTotals) {
    const pass_summary pass{12, 10000, 9998, 1'250'000'000, true, false, false, 3, 1};
    pass_totals totals{12, 2, 119990, 120000, 17};
    const std::map<std::string, double> expected = {
        {"sortwell_passes_total", 12},
        {"sortwell_maintenance_passes_total", 2},
        {"sortwell_mailboxes_done_total", 119990},
        {"sortwell_mailboxes_queued_total", 120000},
        {"sortwell_mailboxes_failed_total", 17},
        {"sortwell_last_pass_mailboxes_failed", 3},
        {"sortwell_last_pass_maintenance_failed", 1},
        {"sortwell_last_pass_number", 12},
        {"sortwell_last_pass_mailboxes_queued", 10000},
        {"sortwell_last_pass_mailboxes_done", 9998},
        {"sortwell_last_pass_seconds", 1.25},
        {"sortwell_last_pass_maintenance", 1},
        {"sortwell_last_pass_remove", 0},
        {"sortwell_last_pass_end_timestamp_seconds", 1796000000}};
    EXPECT_EQ(swtest::ParseMetrics(pass_metrics_text(pass, totals, 1796000000)), expected);
}

TEST(PassStatus, TheMetricsFileIsFoundAndReplacedWhole) {
    EXPECT_EQ(MetricsPath(nullptr, "/var/lib/sortwell:/var/lib/other"),
              "/var/lib/sortwell/metrics.prom");
    EXPECT_EQ(MetricsPath("", "/var/lib/sortwell"), "") << "an empty name turns the file off";
    EXPECT_EQ(MetricsPath(nullptr, nullptr), "") << "a console run writes no file unless asked";

    swtest::TempDir dir("sw-metrics");
    const std::string path = dir.file("metrics.prom");
    ASSERT_EQ(pass_metrics_write(path, "first\n"), 0);
    ASSERT_EQ(pass_metrics_write(path, "second\n"), 0);
    EXPECT_EQ(swtest::ReadFile(path), "second\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_EQ(pass_metrics_write(dir.file("missing/metrics.prom"), "x"), ENOENT);
}
