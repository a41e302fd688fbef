// Whole passes of the real mailbox engine over a store of 10,000 mailboxes,
// with 1, 5 and 20 workers: the first pass (every mailbox bare), a steady
// pass (every mailbox in order), a remove pass, and a maintenance pass that
// expunges 10 old items a mailbox.
//
// Each configuration runs in a process of its own, forked from this one, on
// a fresh copy of a prepared store, with the real clock and sleeps:
//   mailboxes_per_s   queued mailboxes over the time from the first push to
//                     the last mark_mailbox_done (the engine's own stamps, so
//                     the one-second completion poll does not count)
//   peak_B_per_mbx    the process's peak resident memory during the pass
//                     above the idle process (workers started, sessions
//                     open), per queued mailbox
//   heap_B_per_mbx    the same for the heap in use (malloc's own count,
//                     chunk overhead included, sampled every millisecond)
//   sqlite_B_per_mbx  SQLite's part of it: the peak of the memory SQLite
//                     holds (page caches, statements) above the idle process
//   pass_s            run_pass as the cycle sees it, poll included
// Every pass is checked afterwards (all items done, no warning logged, and
// a sample of mailboxes in the state the pass must leave), so a broken pass
// is reported as an error rather than as a fast one.
//
// With --floor FILE (bench_infostore's --benchmark_format=json output) each
// pass also reports floor_mailboxes_per_s, the rate of the bare SQL that one
// mailbox of that pass needs at the least, and x_floor, how many times
// slower than that floor the pass is. bench/agent/run_bench.sh runs both.
// With --single KIND WORKERS one pass runs in this process, for profilers.
//
// BM_Floor breaks the memory of a queued mailbox down into what the design
// fixes: the mailbox table held through the pass, the row set of all its
// rows, and the work item with its place in the queue (heap bytes a mailbox,
// overhead included).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/mailbox_engine.h"
#include "agent/mailbox_work_item.h"
#include "mailstore/mapitags.h"
#include "mailstore/mapix.h"
#include "platform/infostore/infostore_admin.h"
#include "runtime/vtx_str.h"
#include "runtime/vtxpr_time.h"

namespace {

constexpr std::uint32_t kUsers = 9999; // and the agent's own mailbox: 10,000
constexpr int kOldItems = 10;
constexpr const char* kServer = "mail1";
constexpr const char* kAgent = "agent";
constexpr const char16_t* kSpamFolder = u"Spam";
constexpr const char16_t* kMarker = u"X-Spam-Flag: YES";
constexpr int kSample = 50; // mailboxes checked after each pass

enum class Kind { First, Steady, Remove, Maintenance };
const char* const kKindNames[] = {"first", "steady", "remove", "maintenance"};

// ---- Prepared stores --------------------------------------------------------------------

struct Stores {
    std::string dir;
    std::string bare;     // every mailbox as created
    std::string repaired; // after a first pass (lazily)
    std::string old_spam; // repaired, with 10 old items in every spam folder (lazily)
    std::vector<std::string> sample;
    std::string error;
};

void Die(const std::string& what) {
    std::fprintf(stderr, "bench_agent: %s\n", what.c_str());
    std::exit(1);
}

std::string UserAlias(std::uint32_t n) {
    return "user" + std::to_string(n);
}

void CopyStore(const std::string& from, const std::string& to) {
    std::error_code error;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    if (error)
        Die("cannot copy " + from + ": " + error.message());
}

// Runs `body` in a child process and waits; true when it exited with 0.
template <typename Body> bool InChild(Body body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body() ? 0 : 1);
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// What a pass measured, sent from the child to the parent.
struct PassResult {
    std::uint32_t queued = 0;
    std::uint32_t done = 0;
    std::int64_t first_push_ns = 0;
    std::int64_t last_done_ns = 0;
    std::int64_t run_pass_ns = 0;
    long idle_kib = 0;
    long peak_kib = 0;
    std::int64_t idle_heap = 0;
    std::int64_t peak_heap = 0;
    std::int64_t idle_sqlite = 0;
    std::int64_t peak_sqlite = 0;
    char problem[200] = {};
};

// Bytes of heap in use: small chunks and mapped ones, overhead included.
std::int64_t HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<std::int64_t>(info.uordblks + info.hblkhd);
}

// Samples the heap in use every millisecond on a thread of its own until it
// is destroyed; keeps the highest figure.
class HeapPeak {
public:
    HeapPeak()
        : peak_(HeapInUse()), thread_([this] {
              while (!done_.load()) {
                  const std::int64_t now = HeapInUse();
                  if (now > peak_.load())
                      peak_.store(now);
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    ~HeapPeak() { Stop(); }
    std::int64_t Stop() {
        done_.store(true);
        if (thread_.joinable())
            thread_.join();
        return peak_.load();
    }

private:
    std::atomic<bool> done_{false};
    std::atomic<std::int64_t> peak_;
    std::thread thread_;
};

long StatusKib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

// Makes VmHWM start again from the current resident size; false when the
// kernel does not allow it (the peak then counts from the process's start).
bool ResetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

// The agent rules of a mailbox (ids), read through the store's own admin
// interface.
std::vector<std::int64_t> AgentRuleIds(infostore::Admin& admin, const std::string& alias) {
    std::vector<infostore::RuleInfo> rules;
    std::vector<std::int64_t> ids;
    if (FAILED(admin.ListRules(alias, "", &rules)))
        return {-1};
    for (const auto& rule : rules)
        if (rule.name && *rule.name == "_Corvane Spam Folder Rule_")
            ids.push_back(rule.id);
    return ids;
}

std::size_t SpamItems(infostore::Admin& admin, const std::string& alias) {
    std::vector<infostore::MessageInfo> messages;
    if (FAILED(admin.ListMessages(alias, "Spam", &messages)))
        return static_cast<std::size_t>(-1);
    return messages.size();
}

// One pass in this (child) process on the store at `path`.
PassResult RunPass(const std::string& dir, const std::string& path, Kind kind,
                   std::uint32_t workers, const std::vector<std::string>& sample) {
    PassResult result;
    auto problem = [&](const std::string& text) {
        std::snprintf(result.problem, sizeof result.problem, "%s", text.c_str());
        return result;
    };
    const std::string log = dir + "/pass.log";
    ::setenv("SORTWELL_PROFILES", (dir + "/profiles").c_str(), 1);
    ::setenv("XAL_LOG_FILE", log.c_str(), 1);
    ::setenv("XAL_LOG_LEVEL", "4", 1);
    infostore::SetStorePathOverride(path);

    std::map<std::string, std::vector<std::int64_t>> rules_before;
    {
        std::unique_ptr<infostore::Admin> admin;
        if (FAILED(infostore::Admin::Open(path, &admin)))
            return problem("cannot open the store");
        for (const std::string& alias : sample)
            rules_before[alias] = AgentRuleIds(*admin, alias);
    }

    const std::u16string agent = VTX_FromUtf8(kAgent);
    const std::u16string server = VTX_FromUtf8(kServer);
    auto engine = std::make_unique<mailbox_engine>();
    if (engine->setup(workers, 30, 0, agent.c_str(), server.c_str(), kSpamFolder, kMarker) != 0)
        return problem("setup failed (see " + log + ")");
    if (kind == Kind::Maintenance)
        engine->maintenance_state = MAINTENANCE_DUE;
    agent_flag stop{0};
    agent_flag reconfigure{0};

    // The idle process: workers started, their sessions open.
    const bool reset = ResetPeak();
    result.idle_kib = reset ? StatusKib("VmRSS:") : StatusKib("VmHWM:");
    result.idle_heap = HeapInUse();
    sqlite3_int64 sqlite_now = 0;
    sqlite3_int64 sqlite_peak = 0;
    sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &sqlite_now, &sqlite_peak, 1);
    result.idle_sqlite = sqlite_now;
    HeapPeak heap;
    const std::int64_t start = VTXPR_TimeNs();
    engine->run_pass(stop, reconfigure, 0, kind == Kind::Remove ? 1 : 0, 0);
    result.run_pass_ns = VTXPR_TimeNs() - start;
    result.peak_heap = heap.Stop();
    sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &sqlite_now, &sqlite_peak, 0);
    result.peak_sqlite = sqlite_peak;
    result.peak_kib = StatusKib("VmHWM:");
    result.queued = engine->last_queued;
    result.done = engine->completed;
    result.first_push_ns = engine->first_push_ns;
    result.last_done_ns = engine->last_done_ns;
    engine->teardown();
    engine.reset();

    if (result.done != result.queued || result.queued != kUsers + 1)
        return problem(std::to_string(result.done) + " of " + std::to_string(result.queued) +
                       " mailboxes done");
    std::ifstream written(log);
    std::string first_line;
    if (std::getline(written, first_line))
        return problem("the pass logged: " + first_line);

    std::unique_ptr<infostore::Admin> admin;
    if (FAILED(infostore::Admin::Open(path, &admin)))
        return problem("cannot open the store after the pass");
    for (const std::string& alias : sample) {
        const std::vector<std::int64_t> ids = AgentRuleIds(*admin, alias);
        switch (kind) {
        case Kind::First:
            if (ids.size() != 1)
                return problem(alias + " has no rule after the first pass");
            break;
        case Kind::Steady:
        case Kind::Maintenance:
            if (ids != rules_before[alias])
                return problem(alias + "'s valid rule was replaced");
            if (kind == Kind::Maintenance && SpamItems(*admin, alias) != 0)
                return problem(alias + "'s spam folder still holds old items");
            break;
        case Kind::Remove:
            if (!ids.empty())
                return problem(alias + " still has the rule");
            break;
        }
    }
    return result;
}

// Runs `measure` in a forked process, so that each measurement starts from
// a heap and a peak of its own, and hands back the result it sent through a
// pipe (its `problem` says so when the process ended before sending one).
// The folder `dir` is removed afterwards.
template <typename Result, typename Measure>
Result InChildProcess(const std::string& dir, Measure measure) {
    Result result;
    int fds[2];
    if (::pipe(fds) != 0)
        Die("pipe");
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const Result child = measure();
        const ssize_t ignored = ::write(fds[1], &child, sizeof child);
        (void)ignored;
        ::_exit(0);
    }
    ::close(fds[1]);
    if (::read(fds[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result))
        std::snprintf(result.problem, sizeof result.problem, "the measuring process ended early");
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return result;
}

// Runs one pass in a fresh process on a copy of `store`.
PassResult PassInChild(const Stores& stores, const std::string& store, Kind kind,
                       std::uint32_t workers) {
    char pattern[] = "/tmp/bench_agent_pass.XXXXXX";
    const std::string dir = ::mkdtemp(pattern) ? pattern : "";
    PassResult result;
    if (dir.empty()) {
        std::snprintf(result.problem, sizeof result.problem, "mkdtemp failed");
        return result;
    }
    const std::string copy = dir + "/store.db";
    CopyStore(store, copy);
    return InChildProcess<PassResult>(
        dir, [&] { return RunPass(dir, copy, kind, workers, stores.sample); });
}

Stores* g_prepared = nullptr;

Stores& Prepared() {
    static Stores* stores = [] {
        auto* s = new Stores();
        char pattern[] = "/tmp/bench_agent.XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            Die("mkdtemp failed");
        s->dir = pattern;
        s->bare = s->dir + "/bare.db";
        for (int i = 0; i < kSample; ++i)
            s->sample.push_back(UserAlias(1 + static_cast<std::uint32_t>(i) * (kUsers / kSample)));
        s->sample.push_back(UserAlias(kUsers));

        {
            std::unique_ptr<infostore::Admin> admin;
            if (FAILED(infostore::Admin::Create(s->bare, "Bench", "Lab", &admin)) ||
                FAILED(admin->AddServer(kServer)) ||
                FAILED(admin->AddMailbox(kAgent, kServer, "Agent")) ||
                FAILED(admin->AddMailboxes(kUsers, "user", kServer)))
                Die("cannot build the store: " + (admin ? admin->LastError() : std::string()));
        }

        return s;
    }();
    g_prepared = stores;
    return *stores;
}

// The store as a first pass leaves it, made the first time a pass asks for
// it.
const std::string& RepairedStore() {
    Stores& stores = Prepared();
    if (!stores.repaired.empty())
        return stores.repaired;
    stores.repaired = stores.dir + "/repaired.db";
    CopyStore(stores.bare, stores.repaired);
    const std::string& dir = stores.dir;
    if (!InChild([&] {
            const PassResult r = RunPass(dir, stores.repaired, Kind::First, 5, stores.sample);
            if (r.problem[0] != '\0')
                std::fprintf(stderr, "bench_agent: preparing: %s\n", r.problem);
            return r.problem[0] == '\0';
        }))
        Die("the first pass that prepares the repaired store failed");
    std::filesystem::remove(dir + "/profiles");
    std::filesystem::remove(dir + "/profiles.lock");
    return stores.repaired;
}

// The repaired store with ten items of 40 days in every spam folder, made
// the first time a maintenance pass asks for it.
const std::string& OldSpamStore() {
    Stores& stores = Prepared();
    if (!stores.old_spam.empty())
        return stores.old_spam;
    stores.old_spam = stores.dir + "/old_spam.db";
    CopyStore(RepairedStore(), stores.old_spam);
    std::unique_ptr<infostore::Admin> admin;
    if (FAILED(infostore::Admin::Open(stores.old_spam, &admin)))
        Die("cannot open the store to fill it");
    infostore::DeliveryOptions old;
    old.age_days = 40;
    old.apply_rules = false;
    old.folder_path = "Spam";
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::string> aliases{kAgent};
    for (std::uint32_t n = 1; n <= kUsers; ++n)
        aliases.push_back(UserAlias(n));
    for (const std::string& alias : aliases)
        for (int i = 0; i < kOldItems; ++i)
            if (FAILED(admin->Deliver(
                    alias, "X-Spam-Flag: YES\nSubject: old " + std::to_string(i) + "\n\nBuy now.\n",
                    old)))
                Die("cannot deliver: " + admin->LastError());
    std::fprintf(stderr, "bench_agent: %zu old items delivered in %.1f s\n",
                 aliases.size() * kOldItems,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return stores.old_spam;
}

// ---- The store's floor --------------------------------------------------------------------

std::map<std::string, double> g_floor_rates; // bare-SQL operation -> items a second

// Reads "name": "BM_Sql_X" ... "items_per_second": N pairs from
// bench_infostore's JSON output.
void ReadFloor(const std::string& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    const std::string json = text.str();
    if (json.empty())
        Die("cannot read the floor file " + file);
    for (std::size_t at = json.find("\"name\": \"BM_Sql_"); at != std::string::npos;
         at = json.find("\"name\": \"BM_Sql_", at + 1)) {
        const std::size_t begin = at + std::strlen("\"name\": \"");
        const std::size_t end = json.find('"', begin);
        const std::size_t rate = json.find("\"items_per_second\":", end);
        const std::size_t next = json.find("\"name\":", end);
        if (end == std::string::npos || rate == std::string::npos || rate > next)
            continue;
        g_floor_rates[json.substr(begin, end - begin)] =
            std::atof(json.c_str() + rate + std::strlen("\"items_per_second\":"));
    }
}

// The bare-SQL operations one mailbox of a pass needs at the least, or 0
// when the floor file lacks one.
double FloorRate(Kind kind) {
    std::vector<std::pair<const char*, int>> ops{
        {"BM_Sql_OpenMailbox", 1}, {"BM_Sql_FindInbox", 1}, {"BM_Sql_ScanRules", 1}};
    if (kind == Kind::First) {
        ops.push_back({"BM_Sql_CreateFolder", 1});
        ops.push_back({"BM_Sql_AddRule", 1});
    } else if (kind == Kind::Remove) {
        ops.push_back({"BM_Sql_AddRule", 1}); // a deletion of one row costs about as much
    } else if (kind == Kind::Maintenance) {
        ops.push_back({"BM_Sql_DeleteMessage", kOldItems});
    }
    double seconds = 0;
    for (const auto& [name, times] : ops) {
        auto found = g_floor_rates.find(name);
        if (found == g_floor_rates.end() || found->second <= 0)
            return 0;
        seconds += times / found->second;
    }
    return 1.0 / seconds;
}

// ---- The benchmarks -----------------------------------------------------------------------

void BM_Pass(benchmark::State& state) {
    const auto kind = static_cast<Kind>(state.range(0));
    const auto workers = static_cast<std::uint32_t>(state.range(1));
    const Stores& stores = Prepared();
    const std::string& store = kind == Kind::First         ? stores.bare
                               : kind == Kind::Maintenance ? OldSpamStore()
                                                           : RepairedStore();
    state.SetLabel(std::string(kKindNames[state.range(0)]) + ", " + std::to_string(workers) +
                   (workers == 1 ? " worker" : " workers"));
    PassResult result;
    for (auto _ : state) {
        result = PassInChild(stores, store, kind, workers);
        if (result.problem[0] != '\0') {
            state.SkipWithError(result.problem);
            return;
        }
        const double seconds =
            static_cast<double>(result.last_done_ns - result.first_push_ns) / 1e9;
        state.SetIterationTime(seconds > 0 ? seconds : 1e-9);
    }
    const double seconds = static_cast<double>(result.last_done_ns - result.first_push_ns) / 1e9;
    const double rate = result.queued / seconds;
    state.counters["mailboxes"] = result.queued;
    state.counters["mailboxes_per_s"] = rate;
    state.counters["pass_s"] = static_cast<double>(result.run_pass_ns) / 1e9;
    state.counters["peak_KiB_above_idle"] = static_cast<double>(result.peak_kib - result.idle_kib);
    state.counters["peak_B_per_mbx"] =
        static_cast<double>(result.peak_kib - result.idle_kib) * 1024.0 / result.queued;
    state.counters["heap_B_per_mbx"] =
        static_cast<double>(result.peak_heap - result.idle_heap) / result.queued;
    state.counters["sqlite_B_per_mbx"] =
        static_cast<double>(result.peak_sqlite - result.idle_sqlite) / result.queued;
    if (!g_floor_rates.empty()) {
        const double floor = FloorRate(kind);
        state.counters["floor_mailboxes_per_s"] = floor;
        state.counters["x_floor"] = floor > 0 ? floor / rate : 0;
    }
}

void Configurations(benchmark::internal::Benchmark* bench) {
    for (int kind = 0; kind < 4; ++kind)
        for (int workers : {1, 5, 20})
            bench->Args({kind, workers});
}

BENCHMARK(BM_Pass)
    ->Apply(Configurations)
    ->ArgNames({"kind", "workers"})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// What a queued mailbox costs in the parts the design fixes, heap bytes a
// mailbox: the mailbox table as the pass holds it, the row set of all its
// rows, and the work items with their places in a queue.
struct FloorResult {
    std::uint32_t rows = 0;
    double table = 0;
    double row_set = 0;
    double item = 0;
    char problem[200] = {};
};

FloorResult MeasureFloor(const std::string& dir, const std::string& path) {
    FloorResult result;
    ::setenv("SORTWELL_PROFILES", (dir + "/profiles").c_str(), 1);
    ::setenv("XAL_LOG_FILE", (dir + "/floor.log").c_str(), 1);
    infostore::SetStorePathOverride(path);
    const std::u16string agent = VTX_FromUtf8(kAgent);
    const std::u16string server = VTX_FromUtf8(kServer);
    auto engine = std::make_unique<mailbox_engine>();
    if (engine->setup(1, 30, 0, agent.c_str(), server.c_str(), kSpamFolder, kMarker) != 0) {
        std::snprintf(result.problem, sizeof result.problem, "setup failed");
        return result;
    }
    char16_t address[VTXPR_NAME_CHARS] = {};
    // The table and the rows as first_mailbox leaves them for the pass.
    if (!engine->first_mailbox(address) || engine->rows == nullptr) {
        std::snprintf(result.problem, sizeof result.problem, "no mailbox listed");
        engine->teardown();
        return result;
    }
    const std::int64_t with_rows = HeapInUse();
    result.rows = engine->rows->cRows;
    FreeProws(engine->rows);
    engine->rows = nullptr;
    const std::int64_t with_table = HeapInUse();
    engine->mailbox_table->Release();
    engine->mailbox_table = nullptr;
    const std::int64_t without_table = HeapInUse();
    engine->manage_store->Release();
    engine->manage_store = nullptr;
    engine->private_store->Release();
    engine->private_store = nullptr;
    result.row_set = static_cast<double>(with_rows - with_table) / result.rows;
    result.table = static_cast<double>(with_table - without_table) / result.rows;

    // The items as run_pass makes them, in a queue of the pool's kind.
    std::deque<mailbox_work_item*> queue;
    const std::int64_t before_items = HeapInUse();
    for (std::uint32_t i = 0; i < result.rows; ++i)
        queue.push_back(new mailbox_work_item());
    result.item = static_cast<double>(HeapInUse() - before_items) / result.rows;
    for (mailbox_work_item* item : queue)
        delete item;
    engine->teardown();
    return result;
}

void BM_Floor(benchmark::State& state) {
    const Stores& stores = Prepared();
    FloorResult result;
    for (auto _ : state) {
        char pattern[] = "/tmp/bench_agent_floor.XXXXXX";
        const std::string dir = ::mkdtemp(pattern) ? pattern : "";
        if (dir.empty()) {
            state.SkipWithError("mkdtemp failed");
            return;
        }
        CopyStore(stores.bare, dir + "/store.db");
        result =
            InChildProcess<FloorResult>(dir, [&] { return MeasureFloor(dir, dir + "/store.db"); });
        if (result.problem[0] != '\0') {
            state.SkipWithError(result.problem);
            return;
        }
    }
    state.counters["mailboxes"] = result.rows;
    state.counters["table_B_per_mbx"] = result.table;
    state.counters["rows_B_per_mbx"] = result.row_set;
    state.counters["item_B_per_mbx"] = result.item;
    state.counters["floor_B_per_mbx"] = result.row_set + result.item;
}

BENCHMARK(BM_Floor)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

// --single KIND WORKERS: one pass in this very process, for a profiler
// (perf, heaptrack) to look at; prints what it measured.
int RunSingle(const char* kind_name, const char* workers_text) {
    int kind = 0;
    while (kind < 4 && std::strcmp(kKindNames[kind], kind_name) != 0)
        ++kind;
    const int workers = std::atoi(workers_text);
    if (kind == 4 || workers < 1)
        Die("--single takes first|steady|remove|maintenance and a worker count");
    const Stores& stores = Prepared();
    const std::string& store = kind == 0   ? stores.bare
                               : kind == 3 ? OldSpamStore()
                                           : RepairedStore();
    const std::string dir = stores.dir + "/single";
    std::filesystem::create_directory(dir);
    CopyStore(store, dir + "/store.db");
    const PassResult r = RunPass(dir, dir + "/store.db", static_cast<Kind>(kind),
                                 static_cast<std::uint32_t>(workers), stores.sample);
    const double seconds = static_cast<double>(r.last_done_ns - r.first_push_ns) / 1e9;
    std::printf("%s, %d workers: %u mailboxes, %.0f a second, peak %ld KiB above idle "
                "(%.0f B a mailbox)%s%s\n",
                kind_name, workers, r.queued, r.queued / seconds, r.peak_kib - r.idle_kib,
                static_cast<double>(r.peak_kib - r.idle_kib) * 1024.0 / r.queued,
                r.problem[0] != '\0' ? "; " : "", r.problem);
    std::error_code ignored;
    std::filesystem::remove_all(stores.dir, ignored);
    return r.problem[0] == '\0' ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--single") == 0)
        return RunSingle(argv[2], argv[3]);
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--floor") == 0 && i + 1 < argc) {
            ReadFloor(argv[++i]);
            continue;
        }
        args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_prepared != nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(g_prepared->dir, ignored);
    }
    return 0;
}
