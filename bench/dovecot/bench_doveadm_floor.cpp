// The floor for a Dovecot pass: the least doveadm work that proves one user's
// rule and folder (sieveGet of the active script and a mailboxList), from 1, 5
// and 20 threads with a client each, and the first pass's writes
// (mailboxCreate and sievePut) from one thread, on a private Dovecot. Beside
// the steady floor, the read the agent's backend makes of each user (the
// mailboxes with their GUIDs, which script is active, and its text: three
// commands in one POST), so the two can be told apart from the agent's own
// work.
//
//   bench_doveadm_floor [USERS] [REPEATS]      (defaults 200 and 3)
//
// Each figure is the best of REPEATS passes over every user, each on freshly
// started doveadm workers, in ms per user and users per second, for one POST
// per call and for one POST per user.
#include "bench/dovecot/doveadm_pass.h"
#include "platform/dovecot/doveadm_client.h"
#include "tests/support/dovecot_server.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

void Report(const char* what, int threads, std::size_t users, double best) {
    if (best < 0) {
        std::printf("%-44s %2d threads: FAILED\n", what, threads);
        return;
    }
    std::printf("%-44s %2d threads: %6.2f ms/user  %7.0f users/s\n", what, threads,
                best * 1000 / static_cast<double>(users), static_cast<double>(users) / best);
}

// The best of `repeats` passes, each on freshly started doveadm workers.
double Best(const swtest::DovecotServer& server, int repeats, const std::function<double()>& pass) {
    double best = -1;
    for (int r = 0; r < repeats; ++r) {
        benchdovecot::FreshWorkers(server);
        double s = pass();
        if (s < 0)
            return -1;
        if (best < 0 || s < best)
            best = s;
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 200;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
    std::vector<swtest::DovecotUser> accounts;
    std::vector<std::string> users;
    for (int i = 1; i <= count; ++i) {
        users.push_back("user" + std::to_string(i));
        accounts.push_back({users.back(), ""});
    }
    swtest::DovecotServer server(accounts);
    if (!server.running())
        return 1;
    const std::string script = "require [\"fileinto\"];\n# rule:[Spam]\n"
                               "if header :contains \"X-Spam-Flag\" \"YES\"\n"
                               "{\n\tfileinto \"Spam\";\n}\n";
    // Every user's Maildir exists before anything is timed, as on a server
    // in use.
    if (benchdovecot::TimedPass(server, users, 1, [](dovecot::Client& c, const std::string& u) {
            std::vector<std::string> names;
            return c.MailboxList(u, &names) == S_OK;
        }) < 0)
        return 1;

    // First-pass writes from one thread, on fresh folder names each repeat.
    int round = 0;
    double writes = Best(server, repeats, [&] {
        std::string folder = "Spam" + std::to_string(++round);
        return benchdovecot::TimedPass(server, users, 1,
                                       [&](dovecot::Client& c, const std::string& u) {
                                           return c.MailboxCreate(u, folder) == S_OK &&
                                                  c.SievePut(u, "sortwell", script, true) == S_OK;
                                       });
    });
    Report("mailboxCreate + sievePut, a POST each", 1, users.size(), writes);
    double writes_batched = Best(server, repeats, [&] {
        std::string folder = "Spam" + std::to_string(++round);
        return benchdovecot::TimedPass(
            server, users, 1, [&](dovecot::Client& c, const std::string& u) {
                dovecot::Batch b;
                HRESULT hr[2];
                b.MailboxCreate(u, {folder}, &hr[0]);
                b.SievePut(u, "sortwell", script, true, &hr[1]);
                return c.Execute(b) == S_OK && hr[0] == S_OK && hr[1] == S_OK;
            });
    });
    Report("mailboxCreate + sievePut, one POST", 1, users.size(), writes_batched);

    // The steady floor.
    for (int threads : {1, 5, 20}) {
        double separate = Best(server, repeats, [&] {
            return benchdovecot::TimedPass(server, users, threads,
                                           [](dovecot::Client& c, const std::string& u) {
                                               std::string text;
                                               std::vector<std::string> names;
                                               return c.SieveGet(u, "sortwell", &text) == S_OK &&
                                                      c.MailboxList(u, &names) == S_OK;
                                           });
        });
        Report("sieveGet + mailboxList, a POST each", threads, users.size(), separate);
        double batched = Best(server, repeats, [&] {
            return benchdovecot::TimedPass(server, users, threads, benchdovecot::SteadyFloor);
        });
        Report("sieveGet + mailboxList, one POST", threads, users.size(), batched);
        double read = Best(server, repeats, [&] {
            return benchdovecot::TimedPass(server, users, threads, benchdovecot::AgentRead);
        });
        Report("agent's read: status + sieveList + sieveGet", threads, users.size(), read);
    }
    return 0;
}
