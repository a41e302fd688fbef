// One pass of a bare doveadm client over a private Dovecot's users, shared by
// the Dovecot benchmarks: the floor every agent pass is measured against.
#pragma once
#include "platform/dovecot/doveadm_client.h"
#include "tests/support/dovecot_server.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace benchdovecot {

using PerUser = std::function<bool(dovecot::Client&, const std::string&)>;

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
