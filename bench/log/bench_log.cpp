// Throughput of the logging paths: lines to a log file from 1 and 20
// threads (with and without a rotation period to check), events to the
// event file, and the cost of a message that the threshold drops.
#include "controller/win32logging.h"
#include "log/xal_log.h"
#include "platform/xalshareddata/xal_shared_log_settings.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

XAL_SHARED_LOG_SETTINGS& Settings() {
    return xal_shared_log_settings;
}

std::string g_directory;

std::string Scratch(const std::string& name) {
    if (g_directory.empty()) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "sortwell-bench-log-XXXXXX").string();
        g_directory = ::mkdtemp(pattern.data());
    }
    return g_directory + "/" + name;
}

void ToLogFile(std::int32_t period) {
    xal_shared_log_settings_load();
    Settings().level = 5;
    Settings().rotate_period = period;
    Settings().keep = 0;
    Settings().stream = std::fopen(Scratch("agent.log").c_str(), "w");
}

void SetUpFile(const benchmark::State&) {
    ToLogFile(0);
}
void SetUpRotatingFile(const benchmark::State&) {
    ToLogFile(86400);
}

void TearDownFile(const benchmark::State&) {
    std::FILE* stream = Settings().stream;
    Settings().stream = nullptr;
    Settings().rotate_period = 0;
    std::fclose(stream);
    std::filesystem::remove(Scratch("agent.log"));
}

void SetUpEventFile(const benchmark::State&) {
    xal_shared_log_settings_load();
    Settings().level = 5;
    Settings().stream = nullptr;
    ::setenv("SORTWELL_EVENTLOG", "FILE", 1);
    ::setenv("SORTWELL_EVENTLOG_FILE", Scratch("events.jsonl").c_str(), 1);
    if (event_log_toggle_source(u"Sortwell") > 1) {
        event_log_toggle_source(u"Sortwell");
    }
}

void TearDownEventFile(const benchmark::State&) {
    event_log_toggle_source(u"Sortwell");
    std::filesystem::remove(Scratch("events.jsonl"));
}

// A typical per-mailbox warning: a wide address and a result code.
void LogWarning(benchmark::State& state) {
    for (auto _ : state) {
        xal_log_message(XAL_LOG_WARNING, 28007, u"someone.with.a.long.name@example.org",
                        0x80040111u);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_FileLines(benchmark::State& state) {
    LogWarning(state);
}
BENCHMARK(BM_FileLines)
    ->Setup(SetUpFile)
    ->Teardown(TearDownFile)
    ->Threads(1)
    ->Threads(20)
    ->UseRealTime();

void BM_FileLinesWithDailyRotation(benchmark::State& state) {
    LogWarning(state);
}
BENCHMARK(BM_FileLinesWithDailyRotation)
    ->Setup(SetUpRotatingFile)
    ->Teardown(TearDownFile)
    ->Threads(1)
    ->Threads(20)
    ->UseRealTime();

void BM_EventFileLines(benchmark::State& state) {
    LogWarning(state);
}
BENCHMARK(BM_EventFileLines)
    ->Setup(SetUpEventFile)
    ->Teardown(TearDownEventFile)
    ->Threads(1)
    ->Threads(20)
    ->UseRealTime();

void SetUpDropped(const benchmark::State&) {
    xal_shared_log_settings_load();
    Settings().level = 5;
    Settings().stream = nullptr;
}

// Level 6 under threshold 5: looked up and dropped, nothing formatted.
void BM_DroppedMessage(benchmark::State& state) {
    for (auto _ : state) {
        xal_log_message(XAL_LOG_INFO, 28007, u"someone@example.org", 0x80040111u);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DroppedMessage)->Setup(SetUpDropped)->Threads(1)->Threads(20)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!g_directory.empty()) {
        std::filesystem::remove_all(g_directory);
    }
    return 0;
}
