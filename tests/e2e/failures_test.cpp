// What the administrator reads when something fails: every mailbox failure
// names the mailbox and the eight-digit result code, the per-mailbox
// warnings only in the first pass after start (a reload does not count as a
// start), a maintenance failure in every pass, and a start that fails names
// its reason and leaves no temporary profile behind.
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>

namespace swtest {
namespace {

// Result codes the store hands back unchanged, one per failure, so that each
// message can be matched to its cause.
constexpr std::uint32_t kLuckless = 0x80040115;
// What the folder lookups report for any failure of theirs.
constexpr std::uint32_t kLookupFailed = 0x80004005;  // E_FAIL
constexpr std::uint32_t kNotFound = 0x8004010f;      // MAPI_E_NOT_FOUND
constexpr std::uint32_t kStringTooLong = 0x80040105; // MAPI_E_STRING_TOO_LONG

std::string Hex8(std::uint32_t hr) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", hr);
    return text;
}

// The messages of `id` in the log, as "LEVEL text".
std::vector<std::string> Logged(const Sandbox& sandbox, int id) {
    std::vector<std::string> found;
    for (const LogEntry& entry : sandbox.LogEntries())
        if (entry.id == id)
            found.push_back(entry.level + " " + entry.text);
    return found;
}

// Waits for the status line a service gives at the end of pass `number`.
bool WaitForPass(NotifySocket& notify, int number) {
    return notify.WaitFor("STATUS=Pass " + std::to_string(number) + ":", 30000);
}

// After the first pass: a reload, the second pass, and a stop.
void ReloadOnceAndStop(const Sandbox& sandbox, Process& agent, NotifySocket& notify) {
    ASSERT_TRUE(agent.Signal(SIGHUP));
    ASSERT_TRUE(WaitForPass(notify, 2)) << sandbox.Log();
    ASSERT_TRUE(agent.Signal(SIGTERM));
    ASSERT_TRUE(agent.Wait(10000));
    EXPECT_EQ(agent.result().exit_code, 0);
}

TEST(Failures, MailboxFailuresAreReportedInTheFirstPassOnlyAlsoAfterAReload) {
    Sandbox sandbox;
    sandbox.WriteHive({Dword("ThreadCount", 2)});
    sandbox.CreateStore({"f07", "f08", "f09", "f10", "f11", "f12", "f13", "healthy"});

    sandbox.AddFault("IMsgStore::OpenEntry", "f07", kLuckless);
    sandbox.AddFault("IMAPIFolder::OpenProperty", "f08", kLuckless + 1);
    // An invalid rule whose removal fails.
    const std::int64_t f09_rule = sandbox.AddAgentRule("f09", "Inbox", {"--state", "0"});
    sandbox.AddFault("IExchangeModifyTable::ModifyTable", "f09", kLuckless + 2);
    // The top folder cannot be found, so the folder cannot be made.
    sandbox.AddFault("IMsgStore::GetProps", "f10", kLuckless + 3);
    sandbox.AddFault("IMAPIFolder::CreateFolder", "f11", kLuckless + 4);
    sandbox.AddFault("IMAPIFolder::SaveChanges", "f12", kLuckless + 5);
    sandbox.AddFault("IExchangeModifyTable::ModifyTable", "f13", kLuckless + 6);

    NotifySocket notify;
    auto agent = sandbox.StartAgent({}, &notify);
    ASSERT_TRUE(WaitForPass(notify, 1)) << sandbox.Log();

    struct Expected {
        int id;
        const char* alias;
        const char* intro;
        std::uint32_t hr;
    };
    const Expected expected[] = {
        {28007, "f07", "Unable to open Mailbox", kLuckless},
        {28008, "f08", "Unable to open Rules Table for Mailbox", kLuckless + 1},
        {28009, "f09", "Unable to enumerate Rules for Mailbox", kLuckless + 2},
        {28010, "f10",
         "Problem encountered during folder creation. Could not open root folder for Mailbox",
         kLookupFailed},
        {28011, "f11",
         "Problem encountered during folder creation. Could not create subfolder for Mailbox",
         kLuckless + 4},
        {28012, "f12",
         "Problem encountered during folder creation. Could not save newly created subfolder "
         "for Mailbox",
         kLuckless + 5},
        {28013, "f13", "Could not create rule for Mailbox", kLuckless + 6},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.id);
        EXPECT_EQ(Logged(sandbox, e.id),
                  std::vector<std::string>{
                      "WARNING " + MailboxFailure(e.intro, sandbox.MailboxDn(e.alias), e.hr)});
        if (e.id != 28009) {
            EXPECT_TRUE(sandbox.AgentRules(e.alias).empty()) << "no rule";
        }
    }
    const std::vector<Rule> f09 = sandbox.AgentRules("f09");
    ASSERT_EQ(f09.size(), 1u) << "its removal failed, so it stays";
    EXPECT_EQ(f09[0].id, f09_rule);
    EXPECT_FALSE(sandbox.FindFolder("f11", "Spam").has_value());
    EXPECT_TRUE(sandbox.FindFolder("f13", "Spam").has_value()) << "made before the rule failed";
    ExpectOneAgentRule(sandbox, "healthy", "Spam");
    const std::size_t first_pass_lines = sandbox.LogEntries().size();

    // A reload is no new start: the next pass fails the same way, silently.
    ReloadOnceAndStop(sandbox, *agent, notify);
    EXPECT_EQ(sandbox.LogEntries().size(), first_pass_lines) << sandbox.Log();
    ExpectOneAgentRule(sandbox, "healthy", "Spam");
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
}

TEST(Failures, MaintenanceFailureIsReportedInEveryPass) {
    Sandbox sandbox;
    sandbox.WriteHive(WindowOpenNow({Dword("RunMaintenanceOnly", 1)}));
    sandbox.CreateStore({"lost", "closed"});
    sandbox.AddAgentRule("lost", "Junk");
    sandbox.StoreCommand({"folder", "delete", "lost", "Junk"});
    sandbox.AddFault("IMsgStore::OpenEntry", "closed", kLuckless);

    NotifySocket notify;
    auto agent = sandbox.StartAgent({}, &notify);
    ASSERT_TRUE(WaitForPass(notify, 1)) << sandbox.Log();
    ReloadOnceAndStop(sandbox, *agent, notify);

    const std::string lost = "ERROR " + MailboxFailure("Error during maintenance. Unable to "
                                                       "determine Spam Folder for Mailbox",
                                                       sandbox.MailboxDn("lost"), kNotFound);
    const std::vector<std::string> maintenance = Logged(sandbox, 28020);
    EXPECT_EQ(std::count(maintenance.begin(), maintenance.end(), lost), 2) << sandbox.Log();
    EXPECT_EQ(Logged(sandbox, 28007),
              std::vector<std::string>{"WARNING " + MailboxFailure("Unable to open Mailbox",
                                                                   sandbox.MailboxDn("closed"),
                                                                   kLuckless)});
    EXPECT_EQ(sandbox.AgentRules("lost").size(), 1u) << "maintenance-only repairs nothing";
}

TEST(Failures, StartupFailuresNameTheirCauseAndLeaveNoProfile) {
    struct Case {
        const char* name;
        std::function<void(Sandbox&)> arrange;
        int exit_code;
        std::string message;
    };
    const Case cases[] = {
        {"profile",
         [](Sandbox& s) {
             s.CreateStore({});
             s.AddFault("IMsgServiceAdmin::ConfigureMsgService", "", kLuckless);
         },
         1,
         "ERROR [28002] " +
             MailboxFailure("Unable to create MAPI profile for mailbox", "sortwell", kLuckless)},
        {"logon",
         [](Sandbox& s) {
             s.CreateStore({});
             s.AddFault("MAPILogonEx", "", kLuckless, 1);
         },
         1,
         "ERROR [28003] " + MailboxFailure("Unable to log on to mailbox", "sortwell", kLuckless)},
        {"server name",
         [](Sandbox& s) {
             // An organisation whose server name does not fit 256 characters.
             s.StoreCommand({"init", "--server", HostName(), "--org", std::string(240, 'O')});
             s.StoreCommand({"add-mailbox", "sortwell"});
         },
         1,
         "ERROR [28004] Could not retrieve local server DN. The local machine may not be an "
         "Exchange Server. (hr=" +
             Hex8(kStringTooLong) + ")."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        sandbox.WriteHive({Dword("ThreadCount", 2)});
        c.arrange(sandbox);
        const ProcessResult run = sandbox.RunAgent({"once"});
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        std::vector<std::string> problems;
        for (const LogEntry& entry : sandbox.LogEntries())
            problems.push_back(entry.level + " [" + std::to_string(entry.id) + "] " + entry.text);
        EXPECT_EQ(problems, std::vector<std::string>{c.message});
        EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles())) << sandbox.Profiles();
    }
}

// The one worker left does the whole pass when the other could not open
// the server's store.
TEST(Failures, OneWorkerThatCannotStartLeavesTheWorkToTheOthers) {
    Sandbox sandbox;
    sandbox.WriteHive({Dword("ThreadCount", 2)});
    sandbox.CreateStore({"a", "b", "c"});
    sandbox.AddFault("IMAPISession::OpenMsgStore", "", kLuckless, 1);
    const ProcessResult run = sandbox.RunAgent({"once"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(Logged(sandbox, 28014),
              std::vector<std::string>{
                  "ERROR Unable to open local mailbox store. (hr=" + Hex8(kLookupFailed) + ")."});
    for (const char* alias : {"a", "b", "c"})
        ExpectOneAgentRule(sandbox, alias, "Spam");
}

TEST(Failures, NoMemoryForTheWorkersFailsTheStart) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a preloaded allocator cannot come before the sanitizer's runtime";
#endif
    Sandbox sandbox;
    sandbox.WriteHive({Dword("ThreadCount", 3)});
    sandbox.CreateStore({"user"});
    auto agent = sandbox.StartAgent({"once"}, nullptr,
                                    {std::string("LD_PRELOAD=") + SW_E2E_NO_WORKER_MEMORY});
    ASSERT_TRUE(agent->Wait(30000));
    EXPECT_EQ(agent->result().exit_code, 1) << agent->result().err;
    EXPECT_EQ(Problems(sandbox),
              "ERROR [28005] Internal Error: Unable to create 3 worker threads.\n");
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
    EXPECT_TRUE(sandbox.AgentRules("user").empty());
}

} // namespace
} // namespace swtest
