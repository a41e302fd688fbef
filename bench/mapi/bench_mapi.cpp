// How the MAPI runtime's costs grow: linking to a long buffer chain, table
// restriction over many rows, a header-substring condition, and a profile
// change written to disk.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "mailstore/mapitags.h"
#include "platform/mapi/mapi_runtime.h"

namespace {

// The cost of one MAPIAllocateMore must not depend on how many blocks the
// chain already holds.
void BM_AllocateMoreOnChainOf(benchmark::State& state) {
    void* head = nullptr;
    MAPIAllocateBuffer(16, &head);
    for (std::int64_t i = 0; i < state.range(0); ++i) {
        void* block = nullptr;
        MAPIAllocateMore(16, head, &block);
    }
    std::int64_t added = 0;
    for (auto _ : state) {
        void* block = nullptr;
        benchmark::DoNotOptimize(MAPIAllocateMore(32, head, &block));
        if (++added == 100000) {
            state.PauseTiming();
            MAPIFreeBuffer(head);
            MAPIAllocateBuffer(16, &head);
            for (std::int64_t i = 0; i < state.range(0); ++i) {
                void* more = nullptr;
                MAPIAllocateMore(16, head, &more);
            }
            added = 0;
            state.ResumeTiming();
        }
    }
    MAPIFreeBuffer(head);
}
BENCHMARK(BM_AllocateMoreOnChainOf)->Arg(0)->Arg(10000)->Arg(1000000);

// An expunge-shaped query: delivery time before a cut-off over a folder.
void BM_RestrictContentsTable(benchmark::State& state) {
    const auto rows = static_cast<ULONG>(state.range(0));
    std::vector<SPropValue> values(rows * 2);
    std::vector<BYTE> entry(46, 0x42);
    std::vector<SRow> srows(rows);
    for (ULONG i = 0; i < rows; ++i) {
        values[2 * i].ulPropTag = PR_ENTRYID;
        values[2 * i].Value.bin = {static_cast<ULONG>(entry.size()), entry.data()};
        values[2 * i + 1].ulPropTag = PR_MESSAGE_DELIVERY_TIME;
        values[2 * i + 1].Value.ft = {i, 0x01D00000};
        srows[i] = SRow{0, 2, &values[2 * i]};
    }
    LPMAPITABLE table = nullptr;
    MAPICreateRowTable(rows, srows.data(), &table);
    SPropValue cutoff{};
    cutoff.ulPropTag = PR_CREATION_TIME;
    cutoff.Value.ft = {rows / 2, 0x01D00000};
    SRestriction r{};
    r.rt = RES_PROPERTY;
    r.res.resProperty = {RELOP_LT, PR_MESSAGE_DELIVERY_TIME, &cutoff};
    for (auto _ : state) {
        ULONG count = 0;
        table->Restrict(&r, 0);
        table->GetRowCount(0, &count);
        benchmark::DoNotOptimize(count);
    }
    table->Release();
    state.SetItemsProcessed(state.iterations() * rows);
}
BENCHMARK(BM_RestrictContentsTable)->Arg(1000)->Arg(100000);

// The agent's rule condition against a message's transport headers.
void BM_HeaderSubstringIgnoringCase(benchmark::State& state) {
    std::string headers;
    for (int i = 0; i < 40; ++i)
        headers +=
            "Received: from relay" + std::to_string(i) + ".example.org by mx.example.org\r\n";
    headers += "X-Spam-Flag: YES\r\n";
    SPropValue message{};
    message.ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
    message.Value.lpszA = headers.data();
    SPropValue needle{};
    needle.ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
    needle.Value.lpszA = const_cast<char*>("x-spam-flag: yes");
    SRestriction r{};
    r.rt = RES_CONTENT;
    r.res.resContent = {FL_SUBSTRING | FL_IGNORECASE | FL_LOOSE, PR_TRANSPORT_MESSAGE_HEADERS,
                        &needle};
    for (auto _ : state)
        benchmark::DoNotOptimize(MAPIEvaluateRestriction(&r, 1, &message));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(headers.size()));
}
BENCHMARK(BM_HeaderSubstringIgnoringCase);

// One profile created and deleted: two locked, flushed, renamed writes.
void BM_ProfileCreateDelete(benchmark::State& state) {
    char tmpl[] = "/tmp/bench_mapi_XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string path = std::string(tmpl) + "/profiles";
    ::setenv("SORTWELL_PROFILES", path.c_str(), 1);
    MAPIInitialize(nullptr);
    LPPROFADMIN admin = nullptr;
    MAPIAdminProfiles(0, &admin);
    char name[] = "bench-profile";
    for (auto _ : state) {
        admin->CreateProfile(name, nullptr, 0, 0);
        admin->DeleteProfile(name, 0);
    }
    admin->Release();
    MAPIUninitialize();
    std::filesystem::remove_all(tmpl);
}
BENCHMARK(BM_ProfileCreateDelete)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
