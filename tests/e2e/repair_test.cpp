// A normal pass brings every mailbox into shape: a spam folder below the top
// folder and one valid rule of the agent's name moving marked mail into it.
// Whatever is already in order is left as it is, so a second pass changes
// nothing at all.
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

namespace swtest {
namespace {

TEST(Repair, FirstPassRepairsEveryMailboxState) {
    Sandbox sandbox;
    sandbox.WriteHive({Dword("ThreadCount", 3)});
    sandbox.CreateStore({"bare", "cased", "state3", "disabled", "lostfolder", "twice", "client"});

    // The spam folder is there already, named in other letters.
    sandbox.StoreCommand({"folder", "create", "cased", "SPAM"});
    const std::string cased_folder_id = sandbox.FindFolder("cased", "SPAM")->entry_id;

    // A rule of the name in state 3 (enabled, with the error bit).
    const std::int64_t state3_rule = sandbox.AddAgentRule("state3", "Spam", {"--state", "3"});

    // A disabled rule of the name.
    const std::int64_t disabled_rule = sandbox.AddAgentRule("disabled", "Spam");
    sandbox.StoreCommand({"rule", "disable", "disabled", std::to_string(disabled_rule)});

    // A rule whose folder has been deleted since.
    const std::int64_t lost_rule = sandbox.AddAgentRule("lostfolder", "Junk");
    sandbox.StoreCommand({"folder", "delete", "lostfolder", "Junk"});

    // Two rules of the name; the first in table order is disabled, so both go.
    sandbox.StoreCommand({"folder", "create", "twice", "Spam"});
    const std::int64_t twice_first =
        sandbox.AddRule("twice", {"--name", "_CORVANE SPAM FOLDER RULE_", "--marker", "spam",
                                  "--folder", "Spam", "--state", "0"});
    const std::int64_t twice_second = sandbox.AddAgentRule("twice", "Spam");

    // A rule of another provider, which is none of the agent's business.
    sandbox.StoreCommand({"folder", "create", "client", "Newsletters"});
    const std::int64_t client_rule =
        sandbox.AddRule("client", {"--provider", "Client.Rules", "--name", "Newsletters",
                                   "--subject-marker", "newsletter", "--folder", "Newsletters"});

    const ProcessResult run = sandbox.RunAgent({"once"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Problems(sandbox), "");

    for (const char* alias : {"bare", "lostfolder", "sortwell"}) {
        SCOPED_TRACE(alias);
        ExpectOneAgentRule(sandbox, alias, "Spam");
        EXPECT_TRUE(sandbox.FindFolder(alias, "Spam").has_value()) << "created";
    }
    EXPECT_FALSE(sandbox.FindFolder("lostfolder", "Junk").has_value());

    // The existing folder is reused, whatever its letters.
    ExpectOneAgentRule(sandbox, "cased", "SPAM");
    EXPECT_EQ(sandbox.FindFolder("cased", "SPAM")->entry_id, cased_folder_id);
    EXPECT_FALSE(sandbox.FindFolder("cased", "Spam").has_value()) << "no second folder";

    // Invalid rules are replaced by a new one, not repaired in place.
    const Rule state3 = ExpectOneAgentRule(sandbox, "state3", "Spam");
    EXPECT_NE(state3.id, state3_rule);
    const Rule disabled = ExpectOneAgentRule(sandbox, "disabled", "Spam");
    EXPECT_NE(disabled.id, disabled_rule);
    const Rule lost = ExpectOneAgentRule(sandbox, "lostfolder", "Spam");
    EXPECT_NE(lost.id, lost_rule);
    const Rule twice = ExpectOneAgentRule(sandbox, "twice", "Spam");
    EXPECT_NE(twice.id, twice_first);
    EXPECT_NE(twice.id, twice_second);

    // The other provider's rule stays, and ours comes beside it.
    ExpectOneAgentRule(sandbox, "client", "Spam");
    const std::vector<Rule> client_rules = sandbox.Rules("client");
    ASSERT_EQ(client_rules.size(), 2u);
    EXPECT_EQ(client_rules[0].id, client_rule);
    EXPECT_EQ(client_rules[0].provider, std::optional<std::string>("Client.Rules"));

    // The server now files marked mail into the spam folder, whatever the
    // marker's letters... and leaves the rest in the Inbox.
    sandbox.Deliver("bare", "Cheap watches", true);
    sandbox.Deliver("bare", "Minutes of the meeting", false);
    sandbox.Deliver("cased", "Cheap watches", true);
    const std::vector<Message> bare_mail = sandbox.Messages("bare");
    ASSERT_EQ(bare_mail.size(), 2u);
    for (const Message& message : bare_mail)
        EXPECT_EQ(message.folder, message.subject == "Cheap watches" ? "Spam" : "Inbox");
    ASSERT_EQ(sandbox.Messages("cased", "SPAM").size(), 1u);
}

// A valid rule is left alone even when it carries an older marker, moves to
// another folder or names another provider; after one pass every mailbox is
// in order, so a second pass leaves every rule id and folder as it was.
TEST(Repair, ValidRulesStayAndASecondPassChangesNothing) {
    Sandbox sandbox;
    sandbox.WriteHive({Dword("ThreadCount", 2)});
    const std::vector<std::string> aliases{"oldmarker", "otherprovider", "bare", "disabled",
                                           "sortwell"};
    sandbox.CreateStore({"oldmarker", "otherprovider", "bare", "disabled"});

    sandbox.StoreCommand({"folder", "create", "oldmarker", "Quarantine"});
    const std::int64_t oldmarker_rule =
        sandbox.AddRule("oldmarker", {"--name", kRuleName, "--marker", "X-Old-Marker: 1",
                                      "--folder", "Quarantine"});
    sandbox.StoreCommand({"folder", "create", "otherprovider", "Spam"});
    const std::int64_t otherprovider_rule =
        sandbox.AddRule("otherprovider", {"--provider", "Other.Rules", "--name", kRuleName,
                                          "--marker", "X-Spam-Flag: YES", "--folder", "Spam"});
    const std::int64_t disabled_rule = sandbox.AddAgentRule("disabled", "Spam");
    sandbox.StoreCommand({"rule", "disable", "disabled", std::to_string(disabled_rule)});

    ProcessResult run = sandbox.RunAgent({"once"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(Problems(sandbox), "");

    const std::vector<Rule> oldmarker = sandbox.AgentRules("oldmarker");
    ASSERT_EQ(oldmarker.size(), 1u);
    EXPECT_EQ(oldmarker[0].id, oldmarker_rule) << "a valid rule is not replaced";
    EXPECT_EQ(oldmarker[0].target, std::optional<std::string>("Quarantine"));
    EXPECT_FALSE(sandbox.FindFolder("oldmarker", "Spam").has_value()) << "no folder made";
    const std::vector<Rule> otherprovider = sandbox.AgentRules("otherprovider");
    ASSERT_EQ(otherprovider.size(), 1u);
    EXPECT_EQ(otherprovider[0].id, otherprovider_rule);
    ExpectOneAgentRule(sandbox, "bare", "Spam");
    EXPECT_NE(ExpectOneAgentRule(sandbox, "disabled", "Spam").id, disabled_rule);

    const std::string after_first = Describe(sandbox, aliases);
    run = sandbox.RunAgent({"once"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(Describe(sandbox, aliases), after_first) << "the second pass changed the store";
    EXPECT_EQ(Problems(sandbox), "");
}

} // namespace
} // namespace swtest
