// Input no administrator should give, but some will: mailbox addresses too
// long for the agent, a log file on a full disk, a store another process has
// locked or that is damaged, and a remove request from a stranger. Each time
// the real agent ends on its own, says what is wrong, keeps serving what it
// can, and gives back every MAPI buffer and object.
#include "tests/hardening/hardening_support.h"
#include "tests/support/held_in_child.h"

#include "platform/win32/named_event.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace swtest {
namespace {

constexpr const char* kDnPrefix = "/o=Sortwell/ou=Site/cn=Recipients/cn=";

// The sandbox's environment with `replace` ("NAME=value") in place of the
// sandbox's own value of NAME.
std::vector<std::string> EnvWith(const Sandbox& s, const std::string& replace) {
    std::vector<std::string> env = s.Env();
    const std::string name = replace.substr(0, replace.find('=') + 1);
    std::replace_if(
        env.begin(), env.end(), [&](const std::string& e) { return e.rfind(name, 0) == 0; },
        replace);
    return env;
}

// Runs `statements` on the store file; with `keep`, the connection stays
// open (with whatever it holds) until the process ends.
bool Sql(const std::string& path, const std::string& statements, bool keep = false) {
    sqlite3* db = nullptr;
    const bool ok =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
        sqlite3_exec(db, statements.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!keep)
        sqlite3_close(db);
    return ok;
}

std::string DnOfLength(char fill, std::size_t length) {
    return kDnPrefix + std::string(length - std::string(kDnPrefix).size(), fill);
}

TEST(BadInput, AddressesTooLongForAWorkItemAreNamedAndServeNoOtherMailbox) {
    Sandbox s;
    s.WriteHive({Dword("ThreadCount", 3)});
    s.store().AddMailboxes({"plain", "fits", "over", "far", "twin"});
    // "twin" is "fits" with one character more: cut to fit, its address would
    // be that of "fits".
    const std::string fits = DnOfLength('a', 255);
    auto set_dn = [&](const char* alias, const std::string& dn) {
        EXPECT_TRUE(Sql(s.store_path(),
                        "UPDATE mailboxes SET dn = '" + dn + "' WHERE alias = '" + alias + "';"))
            << alias;
    };
    set_dn("fits", fits);
    set_dn("over", DnOfLength('b', 256));
    set_dn("far", DnOfLength('c', 1000));
    set_dn("twin", fits + "x");

    const ProcessResult run = RunCounted(s.Env(), "once");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, kNothingLeft);
    // Named by their first 255 characters, in the first pass, and not served.
    std::string expected;
    for (const std::string& cut : {DnOfLength('b', 255), DnOfLength('c', 255), fits})
        expected +=
            "WARNING [28007] " + MailboxFailure("Unable to open Mailbox", cut, 0x80040105) + "\n";
    EXPECT_EQ(Problems(s), expected);
    for (const char* alias : {"over", "far", "twin"})
        EXPECT_TRUE(s.store().AgentRules(alias).empty()) << alias;
    // The mailbox whose address is exactly 255 characters long is served, once.
    ExpectOneAgentRule(s.world(), "fits", "Spam");
    ExpectOneAgentRule(s.world(), "plain", "Spam");
}

TEST(BadInput, ALogFileOnAFullDiskMovesTheMessagesToStandardError) {
    Sandbox s;
    s.WriteHive();
    s.store().AddMailboxes({"healthy", "failing"});
    s.store().AddFault("IMAPIFolder::CreateFolder", "failing", 0x80040115);
    const ProcessResult run = RunCounted(EnvWith(s, "XAL_LOG_FILE=/dev/full"), "once");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    // The message that could not be written is not lost.
    const std::vector<LogEntry> entries = ParseLog(run.err.substr(0, run.err.find(kNothingLeft)));
    ASSERT_EQ(entries.size(), 1u) << run.err;
    EXPECT_EQ(entries[0].id, 28011);
    EXPECT_EQ(entries[0].text.substr(entries[0].text.find(":\n") + 2),
              s.store().Address("failing") + "\n(hr=80040115).");
    EXPECT_EQ(run.err.find("*** could not write to log file, switching to stderr\n"), 0u)
        << run.err;
    EXPECT_NE(run.err.find(kNothingLeft), std::string::npos) << run.err;
    ExpectOneAgentRule(s.world(), "healthy", "Spam");
    ExpectOneAgentRule(s.world(), "sortwell", "Spam");
}

TEST(BadInput, AStoreLockedByAnotherProcessForAMomentIsWaitedFor) {
    Sandbox s;
    s.WriteHive();
    s.store().AddMailboxes({"user"});
    HeldInChild holder([&] {
        return Sql(s.store_path(),
                   "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                   "UPDATE meta SET value = value WHERE key = 'org';",
                   true);
    });
    ASSERT_TRUE(holder.held());
    auto agent = StartCounted(s.Env(), "once");
    ASSERT_NE(agent, nullptr);
    // A pass over two mailboxes ends in about a second; this one waits.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_TRUE(agent->Running()) << agent->result().err;
    holder.End();
    ASSERT_TRUE(agent->Wait(30000));
    EXPECT_EQ(std::tuple(agent->result().exit_code, agent->result().err, Problems(s)),
              std::tuple(0, kNothingLeft, ""));
    ExpectOneAgentRule(s.world(), "user", "Spam");
}

// A damaged store, and an organisation whose server name does not fit the
// agent's 256 characters, stop the start with the reason.
TEST(BadInput, ADamagedStoreOrAnOverlongServerNameStopsTheStartWithItsReason) {
    const std::string kProfile =
        "ERROR [28002] " +
        MailboxFailure("Unable to create MAPI profile for mailbox", "sortwell", 0x80040600) + "\n";
    const struct {
        const char* name;
        std::function<void(const Sandbox&)> damage;
        std::string problem;
    } cases[] = {
        {"not a store",
         [](const Sandbox& s) {
             s.store().AddMailboxes({"user"});
             std::ofstream(s.store_path(), std::ios::binary | std::ios::trunc)
                 << std::string(8192, '\x5a');
         },
         kProfile},
        {"cut short",
         [](const Sandbox& s) {
             s.store().AddMailboxes({"user"});
             ::truncate(s.store_path().c_str(), 9000);
         },
         kProfile},
        {"server name",
         [](const Sandbox& s) {
             s.store().Command({"init", "--server", HostName(), "--org", std::string(240, 'O')});
             s.store().Command({"add-mailbox", "sortwell"});
         },
         "ERROR [28004] Could not retrieve local server DN. The local machine may not be an "
         "Exchange Server. (hr=80040105).\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox s;
        s.WriteHive();
        c.damage(s);
        const ProcessResult run = RunCounted(s.Env(), "once");
        EXPECT_EQ(std::tuple(run.exit_code, run.err, Problems(s)),
                  std::tuple(1, kNothingLeft, c.problem));
        EXPECT_FALSE(HoldsAgentProfile(s.Profiles())) << s.Profiles();
    }
}

TEST(BadInput, ARemoveRequestFromAnotherUserIsPassedOverAndSaidSo) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can create the event as another user";
    Sandbox s;
    s.WriteHive();
    s.store().AddMailboxes({"kept", "bare"});
    s.store().Command({"folder", "create", "kept", "Spam"});
    const std::int64_t rule = s.store().AddRuleRow(
        "kept", {"--name", kRuleName, "--marker", "X-Spam-Flag: YES", "--folder", "Spam"});
    HeldInChild stranger([] {
        return ::setgid(65534) == 0 && ::setuid(65534) == 0 &&
               CreateEventW(nullptr, TRUE, FALSE, u"Global\\REMOVE_RULES") != nullptr;
    });
    ASSERT_TRUE(stranger.held());

    const ProcessResult run = RunCounted(s.Env(), "once");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "sortwell: the event Global\\REMOVE_RULES is passed over: its creator runs "
                       "as user 65534, neither root nor this program's user (0)\n" +
                           std::string(kNothingLeft));
    // A normal pass: the rule stays and the bare mailbox gets one.
    EXPECT_EQ(ExpectOneAgentRule(s.world(), "kept", "Spam").key, std::to_string(rule));
    ExpectOneAgentRule(s.world(), "bare", "Spam");
    EXPECT_EQ(Problems(s), "");
}

} // namespace
} // namespace swtest
