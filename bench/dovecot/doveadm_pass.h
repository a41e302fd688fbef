// One pass of a bare doveadm client over a private Dovecot's users, shared by
// the Dovecot benchmarks: the floor every agent pass is measured against.
#pragma once
#include "platform/dovecot/doveadm_client.h"
#include "tests/support/dovecot_server.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

namespace benchdovecot {

using PerUser = std::function<bool(dovecot::Client&, const std::string&)>;

// CPU seconds spent so far by this process (its own threads) and by its
// ended, waited-for children, and by the whole machine (every core's busy
// time, from /proc/stat).
struct CpuSample {
    double self = 0;
    double children = 0;
    double machine = 0;

    static CpuSample Now() {
        CpuSample s;
        rusage u{};
        ::getrusage(RUSAGE_SELF, &u);
        s.self = Seconds(u);
        ::getrusage(RUSAGE_CHILDREN, &u);
        s.children = Seconds(u);
        std::ifstream stat("/proc/stat");
        std::string cpu;
        long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
        stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq;
        s.machine = static_cast<double>(user + nice + system + irq + softirq) /
                    static_cast<double>(::sysconf(_SC_CLK_TCK));
        return s;
    }

private:
    static double Seconds(const rusage& u) {
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    }
};

// Ends the server's kept doveadm workers, so that the next pass is served by
// freshly started ones: a kept worker grows slower as it serves, and two
// passes compared on one server would otherwise be compared on workers of
// different ages. The master starts new workers on the next request.
inline void FreshWorkers(const swtest::DovecotServer& server) {
    // The master is the process whose command line names the server's
    // configuration; its doveadm workers are its children of that name.
    std::vector<std::pair<pid_t, pid_t>> workers; // pid, parent
    pid_t master = 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return;
    while (dirent* e = ::readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        if (pid <= 0)
            continue;
        std::ifstream cmdline("/proc/" + std::string(e->d_name) + "/cmdline");
        std::string args((std::istreambuf_iterator<char>(cmdline)), {});
        if (args.find(server.config_file()) != std::string::npos)
            master = pid;
        std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        const std::size_t close = line.rfind(')');
        if (line.find("(doveadm-server)") == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        workers.emplace_back(pid, parent);
    }
    ::closedir(proc);
    for (auto [pid, parent] : workers)
        if (master != 0 && parent == master)
            ::kill(pid, SIGTERM);
    // Give the master a moment to notice; new workers start on demand.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// Seconds for one pass over `users` by `threads` threads, each with its own
// client; -1 when a call failed.
inline double TimedPass(const swtest::DovecotServer& server, const std::vector<std::string>& users,
                        int threads, const PerUser& work) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            dovecot::Client client({server.base_url(), server.api_key()});
            for (std::size_t i; (i = next++) < users.size();)
                if (!work(client, users[i])) {
                    std::fprintf(stderr, "%s: %s\n", users[i].c_str(), client.LastError().c_str());
                    failed = true;
                }
        });
    for (std::thread& t : pool)
        t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return failed ? -1 : seconds;
}

// The steady floor for one user: the active script and the mailbox names,
// the least that proves the rule and the folder, in one POST.
inline bool SteadyFloor(dovecot::Client& c, const std::string& user) {
    std::string text;
    std::vector<std::string> names;
    dovecot::Batch b;
    HRESULT hr[2];
    b.SieveGet(user, "sortwell", &text, &hr[0]);
    b.MailboxList(user, {}, &names, &hr[1]);
    return c.Execute(b) == S_OK && hr[0] == S_OK && hr[1] == S_OK;
}

// The read the agent's backend makes of one user, in one POST: every mailbox
// with its GUID, which script is active, and (its name guessed) its text.
inline bool AgentRead(dovecot::Client& c, const std::string& user) {
    std::string text;
    std::vector<dovecot::MailboxStatusInfo> boxes;
    std::vector<dovecot::SieveScriptInfo> scripts;
    dovecot::Batch b;
    HRESULT hr[3];
    b.MailboxStatus(user, dovecot::kEveryMailboxMasks, &boxes, &hr[0]);
    b.SieveList(user, &scripts, &hr[1]);
    b.SieveGet(user, "sortwell", &text, &hr[2]);
    return c.Execute(b) == S_OK && hr[0] == S_OK && hr[1] == S_OK && hr[2] == S_OK;
}

} // namespace benchdovecot
