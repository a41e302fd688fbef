// The kinds of pass: remove mode takes the agent's rule out of every
// mailbox; maintenance-only mode leaves every rule as it is; a maintenance
// pass expunges old items from the folder each rule moves to and may leave a
// report there.
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace swtest {
namespace {

constexpr const char* kBanner = "Removing all rules from mailboxes. This may take a few moments...";
constexpr const char* kReportSubject = "Sortwell Maintenance Report";

std::vector<std::string> Subjects(const std::vector<Message>& messages) {
    std::vector<std::string> subjects;
    for (const Message& message : messages)
        subjects.push_back(message.subject);
    std::sort(subjects.begin(), subjects.end());
    return subjects;
}

TEST(Modes, RemoveDeletesEveryRuleOfTheNameAndTouchesNoFolder) {
    Sandbox sandbox;
    sandbox.WriteHive();
    const std::vector<std::string> aliases{"two", "none", "lost"};
    sandbox.CreateStore(aliases);

    sandbox.AddAgentRule("two", "Spam");
    const std::int64_t client_rule =
        sandbox.AddRule("two", {"--provider", "Client.Rules", "--name", "Newsletters",
                                "--subject-marker", "newsletter", "--folder", "Inbox"});
    sandbox.AddRule("two", {"--name", "_corvane spam folder rule_", "--marker", "X-Spam-Flag: YES",
                            "--folder", "Spam", "--state", "3"});
    sandbox.Deliver("two", "Cheap watches", true, 2, "Spam");
    sandbox.AddAgentRule("lost", "Junk");
    sandbox.StoreCommand({"folder", "delete", "lost", "Junk"});

    const std::string folders_before = Describe(sandbox, aliases, false);

    const ProcessResult run = sandbox.RunAgent({"remove"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, kBanner);
    EXPECT_EQ(Problems(sandbox), "");

    for (const std::string& alias : aliases)
        EXPECT_TRUE(sandbox.AgentRules(alias).empty()) << Describe(sandbox, {alias});
    const std::vector<Rule> left = sandbox.Rules("two");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id, client_rule) << "another provider's rule stays";

    EXPECT_EQ(Describe(sandbox, aliases, false), folders_before) << "remove mode touches no folder";
    EXPECT_FALSE(sandbox.FindFolder("none", "Spam").has_value());
}

TEST(Modes, MaintenanceOnlyNeitherValidatesNorDeletesAlsoWhenRemoving) {
    Sandbox sandbox;
    const std::vector<std::string> aliases{"disabled", "pointed", "bare"};
    sandbox.CreateStore(aliases);

    // A disabled rule: a normal pass would replace it.
    const std::int64_t disabled_rule = sandbox.AddAgentRule("disabled", "Spam");
    sandbox.StoreCommand({"rule", "disable", "disabled", std::to_string(disabled_rule)});
    sandbox.Deliver("disabled", "old one", true, 40, "Spam");
    // A rule that moves to Quarantine while a folder of the spam folder's
    // name exists as well.
    sandbox.StoreCommand({"folder", "create", "pointed", "Spam"});
    sandbox.AddAgentRule("pointed", "Quarantine");
    sandbox.Deliver("pointed", "old in quarantine", true, 40, "Quarantine");
    sandbox.Deliver("pointed", "old in spam", true, 40, "Spam");
    const std::string before = Describe(sandbox, aliases);

    // Window closed: nothing at all happens, in normal and in remove mode.
    sandbox.WriteHive({Dword("RunMaintenanceOnly", 1)});
    for (const char* mode : {"once", "remove"}) {
        SCOPED_TRACE(mode);
        const ProcessResult run = sandbox.RunAgent({mode});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(Describe(sandbox, aliases), before);
    }
    const std::vector<LogEntry> log = sandbox.LogEntries();
    ASSERT_EQ(log.size(), 2u) << sandbox.Log();
    for (const LogEntry& entry : log) {
        EXPECT_EQ(entry.id, 28021);
        EXPECT_EQ(entry.level, "NOTICE");
        EXPECT_EQ(entry.text, "The Sortwell will be running in 'Maintenance Only Mode'.");
    }

    // Window open, remove asked for: the rules still stay, and the old items
    // go from the folder each rule moves to, enabled or not.
    sandbox.WriteHive(WindowOpenNow({Dword("RunMaintenanceOnly", 1)}));
    const ProcessResult run = sandbox.RunAgent({"remove"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::vector<Rule> disabled = sandbox.AgentRules("disabled");
    ASSERT_EQ(disabled.size(), 1u);
    EXPECT_EQ(disabled[0].id, disabled_rule);
    EXPECT_EQ(disabled[0].state, std::optional<std::int64_t>(0));
    EXPECT_EQ(sandbox.AgentRules("pointed").size(), 1u);
    EXPECT_TRUE(sandbox.AgentRules("bare").empty());
    EXPECT_FALSE(sandbox.FindFolder("bare", "Spam").has_value());
    EXPECT_TRUE(sandbox.Messages("disabled", "Spam").empty());
    EXPECT_TRUE(sandbox.Messages("pointed", "Quarantine").empty());
    EXPECT_EQ(Subjects(sandbox.Messages("pointed", "Spam")),
              std::vector<std::string>{"old in spam"});
}

TEST(Modes, MaintenancePassExpungesOldItemsAndReports) {
    Sandbox sandbox;
    const std::vector<std::string> aliases{"full", "few", "clean", "pointed"};
    sandbox.CreateStore(aliases);
    for (const std::string& alias : aliases)
        sandbox.StoreCommand({"folder", "create", alias, "Spam"});
    // "full": four items past the retention, one within, one deletion that
    // fails. "few": fewer old items than the report threshold. "pointed":
    // its rule moves to Quarantine, which is expunged instead of Spam.
    sandbox.AddAgentRule("pointed", "Quarantine");
    for (int i = 1; i <= 3; ++i)
        sandbox.Deliver("pointed", "old in quarantine", true, 40, "Quarantine");
    sandbox.Deliver("pointed", "old in spam", true, 40, "Spam");
    for (int i = 1; i <= 4; ++i)
        sandbox.Deliver("full", "old " + std::to_string(i), true, 30.5 + i, "Spam");
    sandbox.Deliver("full", "recent", true, 29.5, "Spam");
    sandbox.Deliver("full", "old in inbox", false, 60, "Inbox");
    sandbox.Deliver("few", "old 1", true, 45, "Spam");
    sandbox.Deliver("few", "old 2", true, 45, "Spam");
    sandbox.AddFault("IMAPIFolder::DeleteMessages", "full", 0x80040102, 1);
    std::vector<std::string> hive{Dword("Spam Retention (Days)", 30), Dword("Expunge Report", 3)};

    // Outside the window the pass expunges nothing.
    sandbox.WriteHive(hive);
    ProcessResult run = sandbox.RunAgent({"once"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(sandbox.Messages("full", "Spam").size(), 5u);
    EXPECT_EQ(sandbox.LogCount(28018), 0);

    sandbox.WriteHive(WindowOpenNow(hive));
    run = sandbox.RunAgent({"once"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(Problems(sandbox), "");
    EXPECT_EQ(sandbox.LogCount(28018), 1);
    EXPECT_EQ(sandbox.LogCount(28019), 1);

    // One old item could not be deleted; the report counts it.
    const std::vector<Message> full = sandbox.Messages("full", "Spam");
    const std::vector<std::string> subjects = Subjects(full);
    ASSERT_EQ(subjects.size(), 3u);
    EXPECT_EQ(subjects[0], kReportSubject);
    EXPECT_EQ(subjects[1].rfind("old ", 0), 0u) << "the item whose deletion failed";
    EXPECT_EQ(subjects[2], "recent");
    for (const Message& message : full) {
        if (message.subject == kReportSubject) {
            EXPECT_EQ(message.body, "Succesfully expunged 3 items.\nFailed to expunge 1 items.");
        }
    }
    EXPECT_EQ(sandbox.Messages("full", "Inbox").size(), 1u) << "only the spam folder is expunged";
    EXPECT_TRUE(sandbox.Messages("few", "Spam").empty()) << "expunged, below the threshold";
    EXPECT_TRUE(sandbox.Messages("clean").empty()) << "nothing old: no report";
    EXPECT_EQ(Subjects(sandbox.Messages("pointed", "Quarantine")),
              std::vector<std::string>{kReportSubject});
    EXPECT_EQ(Subjects(sandbox.Messages("pointed", "Spam")),
              std::vector<std::string>{"old in spam"});
    EXPECT_EQ(sandbox.AgentRules("pointed").size(), 1u) << "the valid rule stays";
}

} // namespace
} // namespace swtest
