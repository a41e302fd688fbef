// The wide formatter against the C library's swprintf on the shapes of the
// program's own messages: the line prefix, a message with a text and an
// eight-digit result code, and a date stamp. Each pair reports ns per call;
// the "Ratio" benchmarks time both in one loop and report ours / theirs as
// a counter (target: at most 1.0).
#include "runtime/vtxpr_strings.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <cwchar>

namespace {

constexpr std::size_t kSize = 512;

const char16_t kMailbox16[] = u"/o=Altavane/ou=First Administrative Group/cn=Recipients/cn=jdoe";
const wchar_t kMailboxW[] = L"/o=Altavane/ou=First Administrative Group/cn=Recipients/cn=jdoe";
const char16_t kFile16[] = u"mailbox_engine.cpp";
const wchar_t kFileW[] = L"mailbox_engine.cpp";
const char16_t kMonth16[] = u"Dec";
const wchar_t kMonthW[] = L"Dec";

int OursPrefix(char16_t* buffer, unsigned i) {
    return VTXPR_Snprintf(buffer, kSize, u"[Corvane] (%s:%u.%u): [%u] ", kFile16, 412u, i & 7u,
                          1000u + (i & 1023u));
}
int TheirsPrefix(wchar_t* buffer, unsigned i) {
    return std::swprintf(buffer, kSize, L"[Corvane] (%ls:%u.%u): [%u] ", kFileW, 412u, i & 7u,
                         1000u + (i & 1023u));
}
int OursMessage(char16_t* buffer, unsigned i) {
    return VTXPR_Snprintf(buffer, kSize, u"Unable to open Mailbox:\n%s\n(hr=%.08x).", kMailbox16,
                          0x80004005u + i);
}
int TheirsMessage(wchar_t* buffer, unsigned i) {
    return std::swprintf(buffer, kSize, L"Unable to open Mailbox:\n%ls\n(hr=%.08x).", kMailboxW,
                         0x80004005u + i);
}
int OursDate(char16_t* buffer, unsigned i) {
    return VTXPR_Snprintf(buffer, kSize, u"%u %s %u %.02u:%.02u:%.02u", 5u, kMonth16, 2026u,
                          i % 24u, i % 60u, (i / 60u) % 60u);
}
int TheirsDate(wchar_t* buffer, unsigned i) {
    return std::swprintf(buffer, kSize, L"%u %ls %u %.02u:%.02u:%.02u", 5u, kMonthW, 2026u, i % 24u,
                         i % 60u, (i / 60u) % 60u);
}

template <int (*Format)(char16_t*, unsigned)> void Ours(benchmark::State& state) {
    char16_t buffer[kSize];
    unsigned i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Format(buffer, i++));
        benchmark::ClobberMemory();
    }
}

template <int (*Format)(wchar_t*, unsigned)> void Theirs(benchmark::State& state) {
    wchar_t buffer[kSize];
    unsigned i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Format(buffer, i++));
        benchmark::ClobberMemory();
    }
}

// This thread's CPU time in ns: other processes on a busy machine do not
// count against either side.
double ThreadNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Times batches of both alternately so that both see the same machine
// conditions, and reports CPU ns per call for each and their ratio.
template <int (*OursFormat)(char16_t*, unsigned), int (*TheirsFormat)(wchar_t*, unsigned)>
void Ratio(benchmark::State& state) {
    constexpr int kBatch = 256;
    char16_t ours[kSize];
    wchar_t theirs[kSize];
    double ours_ns = 0;
    double theirs_ns = 0;
    unsigned i = 0;
    for (auto _ : state) {
        double start = ThreadNs();
        for (int k = 0; k < kBatch; ++k) {
            benchmark::DoNotOptimize(OursFormat(ours, i + static_cast<unsigned>(k)));
            benchmark::ClobberMemory();
        }
        double middle = ThreadNs();
        for (int k = 0; k < kBatch; ++k) {
            benchmark::DoNotOptimize(TheirsFormat(theirs, i + static_cast<unsigned>(k)));
            benchmark::ClobberMemory();
        }
        double end = ThreadNs();
        i += kBatch;
        ours_ns += middle - start;
        theirs_ns += end - middle;
    }
    double calls = static_cast<double>(state.iterations()) * kBatch;
    state.counters["ours_ns"] = ours_ns / calls;
    state.counters["theirs_ns"] = theirs_ns / calls;
    state.counters["ratio"] = theirs_ns > 0 ? ours_ns / theirs_ns : 0;
}

BENCHMARK(Ours<OursPrefix>)->Name("Prefix/ours");
BENCHMARK(Theirs<TheirsPrefix>)->Name("Prefix/swprintf");
BENCHMARK(Ratio<OursPrefix, TheirsPrefix>)->Name("Prefix/ratio");
BENCHMARK(Ours<OursMessage>)->Name("Message/ours");
BENCHMARK(Theirs<TheirsMessage>)->Name("Message/swprintf");
BENCHMARK(Ratio<OursMessage, TheirsMessage>)->Name("Message/ratio");
BENCHMARK(Ours<OursDate>)->Name("Date/ours");
BENCHMARK(Theirs<TheirsDate>)->Name("Date/swprintf");
BENCHMARK(Ratio<OursDate, TheirsDate>)->Name("Date/ratio");

} // namespace

BENCHMARK_MAIN();
