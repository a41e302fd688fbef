// A normal pass brings every mailbox into shape: a spam folder below the top
// folder and one valid rule of the agent's name moving marked mail into it.
// Invalid rules of the name are replaced, not mended; a valid one stays
// whatever its marker or folder; other people's rules stay as they are. The
// server then files marked mail into the spam folder and the rest into the
// Inbox, and a second pass changes nothing at all.
#include "tests/stories/stories.h"

#include <algorithm>
#include <map>

namespace swtest {
namespace {

using Repair = Story;

TEST_P(Repair, FirstPassRepairsEveryStateAndASecondChangesNothing) {
    sandbox.WriteHive({Dword("ThreadCount", 3)});
    std::vector<std::string> aliases{"bare",  "cased",  "disabled", "lostfolder",
                                     "twice", "client", "oldmarker"};
    world.AddMailboxes(aliases);
    // The spam folder is there already, named in other letters.
    world.CreateFolder("cased", "SPAM");
    const std::string cased_folder = world.FindFolder("cased", "SPAM")->key;
    world.AddRule("disabled", {.folder = "Spam", .enabled = false});
    // A rule whose folder has been deleted since.
    world.AddRule("lostfolder", {.folder = "Junk"});
    world.DeleteFolder("lostfolder", "Junk");
    // Two rules of the name; the first in table order is disabled, so both go.
    world.AddRule("twice", {.name = "_CORVANE SPAM FOLDER RULE_",
                            .marker = "X-Spam: yes",
                            .folder = "Spam",
                            .enabled = false});
    world.AddRule("twice", {.folder = "Spam"});
    // The user's own rule, which is none of the agent's business.
    world.AddRule("client", {.name = "Newsletters",
                             .marker = "List-Id: news",
                             .folder = "Newsletters",
                             .foreign = true});
    // A valid rule with an older marker and another folder.
    world.AddRule("oldmarker", {.marker = "X-Old-Marker: 1", .folder = "Quarantine"});
    std::vector<std::string> replaced{"disabled", "lostfolder", "twice"};
    std::vector<std::string> kept{"client", "oldmarker"};
    if (Embedded()) {
        // A rule in state 3 (enabled, with the error bit), and a valid rule
        // of the name that another provider made.
        EmbeddedStore& store = *Embedded();
        store.AddMailboxes({"state3", "otherprovider"});
        store.CreateFolder("state3", "Spam");
        store.AddRuleRow("state3", {"--name", kRuleName, "--marker", kMarker, "--folder", "Spam",
                                    "--state", "3"});
        store.CreateFolder("otherprovider", "Spam");
        store.AddRuleRow("otherprovider", {"--provider", "Other.Rules", "--name", kRuleName,
                                           "--marker", kMarker, "--folder", "Spam"});
        aliases.insert(aliases.end(), {"state3", "otherprovider"});
        replaced.push_back("state3");
        kept.push_back("otherprovider");
    }
    std::map<std::string, std::vector<RuleView>> before;
    for (const std::string& alias : aliases)
        before[alias] = world.Rules(alias);

    ProcessResult run = sandbox.RunAgent({"once"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Problems(sandbox), "");

    for (const char* alias : {"bare", "lostfolder", "sortwell"}) {
        SCOPED_TRACE(alias);
        ExpectOneAgentRule(world, alias, "Spam");
        EXPECT_TRUE(world.FindFolder(alias, "Spam").has_value());
    }
    EXPECT_FALSE(world.FindFolder("lostfolder", "Junk").has_value());
    // The existing folder is reused, whatever its letters.
    ExpectOneAgentRule(world, "cased", "SPAM");
    EXPECT_EQ(world.FindFolder("cased", "SPAM")->key, cased_folder);
    EXPECT_FALSE(world.FindFolder("cased", "Spam").has_value()) << "no second folder";
    // Invalid rules are replaced by a new one.
    for (const std::string& alias : replaced) {
        const RuleView rule = ExpectOneAgentRule(world, alias, "Spam");
        for (const RuleView& old : before[alias])
            EXPECT_NE(rule.key, old.key) << alias;
    }
    // Valid rules and other people's rules stay as they were; the user's
    // own rule gets ours beside it.
    for (const std::string& alias : kept)
        for (const RuleView& old : before[alias]) {
            const std::vector<RuleView> now = world.Rules(alias);
            EXPECT_TRUE(std::any_of(now.begin(), now.end(),
                                    [&](const RuleView& rule) { return rule.key == old.key; }))
                << alias << ":\n"
                << Describe(world, {alias});
        }
    EXPECT_FALSE(world.FindFolder("oldmarker", "Spam").has_value()) << "no folder made";
    EXPECT_EQ(world.AgentRules("oldmarker").size(), 1u);
    ExpectOneAgentRule(world, "client", "Spam");
    EXPECT_EQ(world.Rules("client").size(), 2u);

    // The server files marked mail into the spam folder, whatever the
    // marker's letters, and leaves the rest in the Inbox.
    world.Deliver("bare", "Cheap watches", true);
    world.Deliver("bare", "Minutes of the meeting", false);
    world.Deliver("cased", "Cheap watches", true);
    const std::vector<Message> bare_mail = world.Messages("bare");
    ASSERT_EQ(bare_mail.size(), 2u);
    for (const Message& message : bare_mail)
        EXPECT_EQ(message.folder, message.subject == "Cheap watches" ? "Spam" : "Inbox");
    EXPECT_EQ(world.Messages("cased", "SPAM").size(), 1u);

    aliases.push_back("sortwell");
    const std::string after_first = Describe(world, aliases);
    run = sandbox.RunAgent({"once"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(Describe(world, aliases), after_first) << "the second pass changed the store";
    EXPECT_EQ(Problems(sandbox), "");
}

SW_STORY_WORLDS(Repair);

} // namespace
} // namespace swtest
