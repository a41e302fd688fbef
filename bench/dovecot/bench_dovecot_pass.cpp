// Whole passes of the real agent (`ovo once`, `ovo remove`) over the users
// of a private Dovecot, each beside its floor measured in the same run by a
// bare doveadm client with as many threads as the agent has workers:
//
//   first        the agent makes every user's spam folder and rule;
//                floor: mailboxCreate and sievePut per user
//   steady       every rule valid; floor: sieveGet of the active script and
//                a mailboxList per user (the least that proves rule and folder);
//                the median of three passes and of three floors taken in turn
//   maintenance  the window open, 10 old messages in every spam folder;
//                floor: the pass's writes, an expunge per message and the
//                report's save per user
//   remove       the rule taken out of every script; floor: sievePut per user
//
//   bench_dovecot_pass [USERS] [WORKERS...]      (defaults 1000 and 1 5 20)
//
// Each worker count gets a Dovecot of its own, its users' Maildirs made
// before anything is timed, and every timed run (agent or floor) starts on
// freshly started doveadm workers. The agent's time is its pass as its
// metrics give it (sortwell_last_pass_seconds: the mailbox list and every
// mailbox), with the whole process's (start, profile, pass, end) beside it;
// the floor's is the bare client's wall-clock time. Beside them, the CPU the
// ovo process took per user, and how many of the machine's cores were busy
// on average during the agent's process and during the floor.
#include "bench/dovecot/doveadm_pass.h"
#include "platform/dovecot/doveadm_client.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/files.h"
#include "tests/support/hive.h"
#include "tests/support/process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDoveadm = "/usr/bin/doveadm";
constexpr int kOldMessages = 10;
const std::string kRule =
    "# rule:[_Corvane Spam Folder Rule_]\n"
    "if header :contains \"X-Spam-Flag\" \"YES\"\n{\n\tfileinto \"Spam\";\n}\n";

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// One timed run, the agent's or a floor's.
struct Run {
    double seconds = -1; // the agent's pass from its metrics, or the floor's; -1 failed
    double process = 0;  // the agent's whole process
    double own_cpu = 0;  // the ovo process's CPU seconds, or the bare client's
    double busy = 0;     // the machine's cores busy on average (agent, Dovecot and the rest)
};

// Runs `timed` on fresh doveadm workers and fills `run`'s CPU figures over
// `wall()` seconds: this process's own CPU, or (`child`) that of the child
// it waited for.
template <typename Timed, typename Wall>
void Measure(const swtest::DovecotServer& server, bool child, Run* run, Timed timed, Wall wall) {
    benchdovecot::FreshWorkers(server);
    const benchdovecot::CpuSample before = benchdovecot::CpuSample::Now();
    timed();
    const benchdovecot::CpuSample after = benchdovecot::CpuSample::Now();
    run->own_cpu = child ? after.children - before.children : after.self - before.self;
    run->busy = (after.machine - before.machine) / wall();
}

class Bench {
public:
    Bench(int count, int workers) : workers_(workers) {
        std::vector<swtest::DovecotUser> accounts{{"sortwell", ""}};
        for (int i = 1; i <= count; ++i) {
            users_.push_back("user" + std::to_string(i));
            accounts.push_back({users_.back(), ""});
        }
        server_ = std::make_unique<swtest::DovecotServer>(accounts);
        users_.insert(users_.begin(), "sortwell");
        env_ = {"SORTWELL_INFOSTORE=" + server_->location(),
                "SORTWELL_DOVECOT_KEY_FILE=" + server_->key_file(),
                "SORTWELL_REGISTRY=" + dir_.file("hive.reg"),
                "SORTWELL_PROFILES=" + dir_.file("profiles"),
                "SORTWELL_EVENTLOG=FILE",
                "SORTWELL_EVENTLOG_FILE=" + dir_.file("events"),
                "XAL_LOG_FILE=" + dir_.file("agent.log"),
                "XAL_LOG_LEVEL=4",
                "SORTWELL_METRICS_FILE=" + dir_.file("metrics.prom")};
    }
    bool ok() const { return server_->running(); }

    // Every user's Maildir, INBOX and (when `spam`) Spam folder exist.
    bool Prepare(bool spam) {
        return benchdovecot::TimedPass(*server_, users_, 5,
                                       [spam](dovecot::Client& c, const std::string& u) {
                                           std::vector<dovecot::MailboxStatusInfo> status;
                                           return c.MailboxStatus(u, {"INBOX"}, &status) == S_OK &&
                                                  (!spam || c.MailboxCreate(u, "Spam") == S_OK);
                                       }) >= 0;
    }

    // Runs the agent; the pass's seconds as the agent's metrics give them,
    // or -1 when it failed or reported a problem.
    Run Agent(const std::string& mode, bool window_open) {
        std::vector<std::string> hive{"\"Alias\"=\"sortwell\"",
                                      "\"Spam Folder\"=\"Spam\"",
                                      "\"Spam SubString\"=\"X-Spam-Flag: YES\"",
                                      swtest::Dword("ThreadCount", workers_),
                                      swtest::Dword("Spam Retention (Days)", 30),
                                      swtest::Dword("Expunge Report", 1)};
        swtest::WriteFile(dir_.file("hive.reg"),
                          swtest::HiveText(window_open ? swtest::WindowOpenNow(hive)
                                                       : swtest::WindowClosedNow(hive)));
        std::remove(dir_.file("agent.log").c_str());
        Run run;
        swtest::ProcessResult r;
        Measure(
            *server_, true, &run,
            [&] {
                const auto start = Clock::now();
                r = swtest::RunProgram(swtest::OvoProgram(), {mode}, env_, "", 600000);
                run.process = Seconds(start);
            },
            [&] { return run.process; });
        std::string log = swtest::ReadFile(dir_.file("agent.log"));
        if (r.exit_code != 0 || !log.empty()) {
            std::fprintf(stderr, "ovo %s: exit %d\n%s%s\n", mode.c_str(), r.exit_code,
                         r.err.c_str(), log.substr(0, 2000).c_str());
            return run;
        }
        const std::string metrics = swtest::ReadFile(dir_.file("metrics.prom"));
        const std::string name = "sortwell_last_pass_seconds ";
        std::size_t at = metrics.find("\n" + name);
        if (at != std::string::npos)
            run.seconds = std::atof(metrics.c_str() + at + 1 + name.size());
        return run;
    }

    Run FloorFirst() {
        return Floor([](dovecot::Client& c, const std::string& u) {
            return c.MailboxCreate(u, "Spam") == S_OK &&
                   c.SievePut(u, "sortwell", "require [\"fileinto\"];\n" + kRule, true) == S_OK;
        });
    }
    Run FloorSteady() { return Floor(benchdovecot::SteadyFloor); }
    Run FloorMaintenance() {
        return Floor([](dovecot::Client& c, const std::string& u) {
            std::vector<dovecot::MessageRef> found;
            if (c.Search(u, {"mailbox", "Spam", "before", "30d"}, &found) != S_OK)
                return false;
            for (const dovecot::MessageRef& m : found)
                if (c.Expunge(u, {"mailbox-guid", m.mailbox_guid, "uid", std::to_string(m.uid)}) !=
                    S_OK)
                    return false;
            return c.Save(u, "Spam", "Subject: Sortwell Maintenance Report\n\nreport\n") == S_OK;
        });
    }
    Run FloorRemove() {
        return Floor([](dovecot::Client& c, const std::string& u) {
            return c.SievePut(u, "sortwell", "require [\"fileinto\"];\n", false) == S_OK;
        });
    }

    // Undoes the first pass's writes without timing: no Spam folder, no
    // script.
    bool Undo() {
        const std::string conf = server_->config_file();
        swtest::ProcessResult a =
            swtest::RunProgram(kDoveadm, {"-c", conf, "mailbox", "delete", "-A", "-s", "Spam"}, {});
        swtest::ProcessResult b =
            swtest::RunProgram(kDoveadm, {"-c", conf, "sieve", "deactivate", "-A"}, {});
        swtest::ProcessResult d =
            swtest::RunProgram(kDoveadm, {"-c", conf, "sieve", "delete", "-A", "sortwell"}, {});
        return a.exit_code == 0 && b.exit_code == 0 && d.exit_code == 0;
    }

    void PlaceOldMessages() {
        for (const std::string& u : users_)
            for (int i = 0; i < kOldMessages; ++i)
                server_->PlaceMessage(
                    u, "Spam", "Subject: old " + std::to_string(i) + "\nX-Spam-Flag: YES\n\nold\n",
                    40L * 86400);
    }

    std::size_t users() const { return users_.size(); }

    // A floor pass by the bare client.
    Run Floor(const benchdovecot::PerUser& work) {
        Run run;
        Measure(
            *server_, false, &run,
            [&] { run.seconds = benchdovecot::TimedPass(*server_, users_, workers_, work); },
            [&] { return run.seconds; });
        return run;
    }

private:
    int workers_;
    swtest::TempDir dir_{"sortwell-bench"};
    std::vector<std::string> users_;
    std::unique_ptr<swtest::DovecotServer> server_;
    std::vector<std::string> env_;
};

// One line of the table: the agent's run and its floor, then the CPU both
// took: the agent process's per user, and how many of the machine's cores
// were busy on average (agent, Dovecot and the rest together) during each.
void Row(const char* pass, int workers, std::size_t users, const Run& agent, const Run& floor) {
    if (agent.seconds < 0 || floor.seconds < 0) {
        std::printf("| %-11s | %2d | FAILED (agent %.2f s, floor %.2f s) |\n", pass, workers,
                    agent.seconds, floor.seconds);
        return;
    }
    const double n = static_cast<double>(users);
    std::printf("| %-11s | %2d | %6.2f s (%6.2f s) | %6.0f /s | %6.2f s | %6.0f /s | %4.2f "
                "| %5.2f ms | %4.2f | %4.2f |\n",
                pass, workers, agent.seconds, agent.process, n / agent.seconds, floor.seconds,
                n / floor.seconds, agent.seconds / floor.seconds, agent.own_cpu * 1000 / n,
                agent.busy, floor.busy);
    std::fflush(stdout);
}

// The run of median seconds; a failed run when any failed.
Run Median(std::vector<Run> runs) {
    for (const Run& r : runs)
        if (r.seconds < 0)
            return r;
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
    return runs[runs.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    std::vector<int> worker_counts;
    for (int i = 2; i < argc; ++i)
        worker_counts.push_back(std::atoi(argv[i]));
    if (worker_counts.empty())
        worker_counts = {1, 5, 20};
    std::printf("| pass | workers | agent pass (process) | users/s | floor | users/s | x floor "
                "| agent CPU/user | busy cores, agent | busy cores, floor |\n"
                "|---|---|---|---|---|---|---|---|---|---|\n");
    std::fflush(stdout);
    for (int workers : worker_counts) {
        Bench bench(count, workers);
        if (!bench.ok() || !bench.Prepare(false))
            return 1;
        const std::size_t n = bench.users();
        // First: the floor's writes, undone, then the agent's pass.
        const Run first_floor = bench.FloorFirst();
        if (!bench.Undo())
            return 1;
        Row("first", workers, n, bench.Agent("once", false), first_floor);
        // Steady: three agent passes and three floors taken in turn, the
        // median of each (one pair is at the mercy of the machine's other
        // work).
        std::vector<Run> agents, floors;
        for (int i = 0; i < 3; ++i) {
            agents.push_back(bench.Agent("once", false));
            floors.push_back(bench.FloorSteady());
        }
        Row("steady", workers, n, Median(agents), Median(floors));
        // Maintenance: the agent's pass, then the same old mail again for
        // the floor.
        bench.PlaceOldMessages();
        const Run maintenance = bench.Agent("once", true);
        bench.PlaceOldMessages();
        Row("maintenance", workers, n, maintenance, bench.FloorMaintenance());
        const Run remove = bench.Agent("remove", false);
        Row("remove", workers, n, remove, bench.FloorRemove());
    }
    return 0;
}
