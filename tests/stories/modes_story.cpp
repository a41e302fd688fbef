// The kinds of pass: remove mode takes the agent's rule out of every
// mailbox; maintenance-only mode leaves every rule as it is; a maintenance
// pass expunges old items from the folder each rule moves to and may leave a
// report there.
#include "tests/stories/stories.h"

namespace swtest {
namespace {

using Modes = Story;

TEST_P(Modes, RemoveDeletesEveryRuleOfTheNameAndTouchesNoFolder) {
    sandbox.WriteHive();
    const std::vector<std::string> aliases{"two", "none", "lost"};
    world.AddMailboxes(aliases);
    world.AddRule("two", {.folder = "Spam"});
    world.AddRule(
        "two",
        {.name = "Newsletters", .marker = "List-Id: news", .folder = "Inbox", .foreign = true});
    world.AddRule("two",
                  {.name = "_corvane spam folder rule_", .folder = "Spam", .enabled = false});
    world.Deliver("two", "Cheap watches", true, 2, "Spam");
    world.AddRule("lost", {.folder = "Junk"});
    world.DeleteFolder("lost", "Junk");
    std::string client_rule;
    for (const RuleView& rule : world.Rules("two"))
        client_rule = rule.foreign ? rule.key : client_rule;
    const std::string folders_before = Describe(world, aliases, false);

    const ProcessResult run = sandbox.RunAgent({"remove"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "Removing all rules from mailboxes. This may take a few moments...");
    EXPECT_EQ(Problems(sandbox), "");
    for (const std::string& alias : aliases)
        EXPECT_TRUE(world.AgentRules(alias).empty()) << Describe(world, {alias});
    const std::vector<RuleView> left = world.Rules("two");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].key, client_rule) << "the user's own rule stays";
    EXPECT_EQ(Describe(world, aliases, false), folders_before) << "remove mode touches no folder";
}

TEST_P(Modes, MaintenanceOnlyNeitherValidatesNorDeletesAlsoWhenRemoving) {
    const std::vector<std::string> aliases{"disabled", "pointed", "bare"};
    world.AddMailboxes(aliases);
    // A disabled rule: a normal pass would replace it.
    world.AddRule("disabled", {.folder = "Spam", .enabled = false});
    world.Deliver("disabled", "old one", true, 40, "Spam");
    // A rule that moves to Quarantine while a folder of the spam folder's
    // name exists as well.
    world.CreateFolder("pointed", "Spam");
    world.AddRule("pointed", {.folder = "Quarantine"});
    world.Deliver("pointed", "old in quarantine", true, 40, "Quarantine");
    world.Deliver("pointed", "old in spam", true, 40, "Spam");
    const std::string before = Describe(world, aliases);

    // Window closed: nothing at all happens, in normal and in remove mode.
    sandbox.WriteHive({Dword("RunMaintenanceOnly", 1)});
    for (const char* mode : {"once", "remove"}) {
        SCOPED_TRACE(mode);
        const ProcessResult run = sandbox.RunAgent({mode});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(Describe(world, aliases), before);
    }
    EXPECT_EQ(Logged(sandbox, 28021),
              std::vector<std::string>(
                  2, "NOTICE The Sortwell will be running in 'Maintenance Only Mode'."));
    EXPECT_EQ(sandbox.LogEntries().size(), 2u) << sandbox.Log();

    // Window open, remove asked for: the rules still stay, and the old items
    // go from the folder each rule moves to, enabled or not.
    sandbox.WriteHive(WindowOpenNow({Dword("RunMaintenanceOnly", 1)}));
    const ProcessResult run = sandbox.RunAgent({"remove"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::vector<RuleView> disabled = world.AgentRules("disabled");
    ASSERT_EQ(disabled.size(), 1u);
    EXPECT_FALSE(disabled[0].enabled);
    EXPECT_EQ(world.AgentRules("pointed").size(), 1u);
    EXPECT_TRUE(world.AgentRules("bare").empty());
    EXPECT_FALSE(world.FindFolder("bare", "Spam").has_value());
    EXPECT_TRUE(world.Messages("disabled", "Spam").empty());
    EXPECT_TRUE(world.Messages("pointed", "Quarantine").empty());
    EXPECT_EQ(Subjects(world.Messages("pointed", "Spam")), std::vector<std::string>{"old in spam"});
}

TEST_P(Modes, MaintenancePassExpungesOldItemsAndReports) {
    const std::vector<std::string> aliases{"full", "few", "clean", "pointed"};
    world.AddMailboxes(aliases);
    for (const std::string& alias : aliases)
        world.CreateFolder(alias, "Spam");
    // "full": four items past the retention, one within (and on the embedded
    // store one deletion that fails). "few": fewer old items than the report
    // threshold. "pointed": its rule moves to Quarantine, which is expunged
    // instead of Spam.
    world.AddRule("pointed", {.folder = "Quarantine"});
    for (int i = 1; i <= 3; ++i)
        world.Deliver("pointed", "old in quarantine", true, 40, "Quarantine");
    world.Deliver("pointed", "old in spam", true, 40, "Spam");
    for (int i = 1; i <= 4; ++i)
        world.Deliver("full", "old " + std::to_string(i), true, 30.5 + i, "Spam");
    world.Deliver("full", "recent", true, 29.5, "Spam");
    world.Deliver("full", "old in inbox", false, 60, "Inbox");
    world.Deliver("few", "old 1", true, 45, "Spam");
    world.Deliver("few", "old 2", true, 45, "Spam");
    const int failing = Embedded() ? 1 : 0;
    if (failing)
        Embedded()->AddFault("IMAPIFolder::DeleteMessages", "full", 0x80040102, 1);
    std::vector<std::string> hive{Dword("Spam Retention (Days)", 30), Dword("Expunge Report", 3)};

    // Outside the window the pass expunges nothing.
    sandbox.WriteHive(hive);
    ProcessResult run = sandbox.RunAgent({"once"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(world.Messages("full", "Spam").size(), 5u);
    EXPECT_EQ(sandbox.LogCount(28018), 0);

    sandbox.WriteHive(WindowOpenNow(hive));
    run = sandbox.RunAgent({"once"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(std::tuple(Problems(sandbox), sandbox.LogCount(28018), sandbox.LogCount(28019)),
              std::tuple("", 1, 1));

    // The report counts what went and what could not be deleted.
    const std::vector<Message> full = world.Messages("full", "Spam");
    const std::vector<std::string> subjects = Subjects(full);
    ASSERT_EQ(subjects.size(), 2u + failing);
    EXPECT_EQ(subjects.front(), kReportSubject);
    EXPECT_EQ(subjects.back(), "recent");
    if (failing) {
        EXPECT_EQ(subjects[1].rfind("old ", 0), 0u) << "the item whose deletion failed";
    }
    for (const Message& message : full) {
        if (message.subject == kReportSubject) {
            EXPECT_EQ(message.body, "Succesfully expunged " + std::to_string(4 - failing) +
                                        " items.\nFailed to expunge " + std::to_string(failing) +
                                        " items.");
        }
    }
    EXPECT_EQ(world.Messages("full", "Inbox").size(), 1u) << "only the spam folder is expunged";
    EXPECT_TRUE(world.Messages("few", "Spam").empty()) << "expunged, below the threshold";
    EXPECT_TRUE(world.Messages("clean").empty()) << "nothing old: no report";
    EXPECT_EQ(Subjects(world.Messages("pointed", "Quarantine")),
              std::vector<std::string>{kReportSubject});
    EXPECT_EQ(Subjects(world.Messages("pointed", "Spam")), std::vector<std::string>{"old in spam"});
    EXPECT_EQ(world.AgentRules("pointed").size(), 1u) << "the valid rule stays";
}

SW_STORY_WORLDS(Modes);

} // namespace
} // namespace swtest
