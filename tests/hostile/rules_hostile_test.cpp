// Rules left in an Inbox by other programs, with properties missing or
// their stored data damaged, seen through the store's rules table: the table
// shows each missing or unreadable property as an error value, the agent's
// rule operations stop at such a row as they promise, and delivery passes
// over the rules it cannot use while the agent's rule keeps working.
#include "exchange_util/exchange_util.h"
#include "mailstore/mailbox_ops.h"
#include "platform/infostore/infostore_admin.h"
#include "platform/mapi/mapi_runtime.h"
#include "runtime/vtx_str.h"
#include "tests/hostile/hostile_support.h"
#include "tests/support/store_fixture.h"

#include <cstdlib>

namespace hostile {
namespace {

constexpr const char16_t* kRuleName = u"_Corvane Spam Folder Rule_";
const std::string kMarker = "X-Spam-Flag: YES";

// The eleven columns the agent sets before every scan of the table.
SizedSPropTagArray<11> kColumns = {11,
                                   {PR_RULE_SEQUENCE, PR_RULE_STATE, PR_RULE_CONDITION,
                                    PR_RULE_ACTIONS, PR_RULE_PROVIDER, PR_RULE_NAME, PR_RULE_LEVEL,
                                    PR_RULE_ID, PR_RULE_NAME_W, PR_RULE_USER_FLAGS,
                                    PR_RULE_PROVIDER_DATA}};

class HostileRules : public testing_store::StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        ASSERT_EQ(admin_->CreateFolder(alice_.alias, "Spam", &spam_), S_OK);
        ASSERT_EQ(admin_->StoreEntryId(alice_.alias, &store_id_), S_OK);
        Open(alice_, &box_);
    }
    void TearDown() override {
        Close(&box_);
        StoreTest::TearDown();
    }

    // A rule of another program with every property given; tests take
    // some away.
    static infostore::RuleSpec Theirs(const std::string& name) {
        infostore::RuleSpec spec;
        spec.sequence = 10;
        spec.state = ST_ENABLED;
        spec.level = 0;
        spec.user_flags = 7;
        spec.provider = "Other.Provider";
        spec.name = name;
        spec.provider_data = std::vector<BYTE>{1, 2, 3};
        return spec;
    }

    std::int64_t Add(const infostore::RuleSpec& spec) {
        std::int64_t id = 0;
        EXPECT_EQ(admin_->AddRule("alice", "", spec, &id), S_OK) << admin_->LastError();
        return id;
    }

    bool HasRule(std::int64_t id) {
        for (const auto& rule : Rules()) {
            if (rule.id == id) {
                return true;
            }
        }
        return false;
    }

    // Delivers `message` to alice; the folder it ended up in.
    std::string Deliver(const std::string& message) {
        infostore::DeliveryResult result;
        EXPECT_EQ(admin_->Deliver(alice_.alias, message, infostore::DeliveryOptions(), &result),
                  S_OK);
        return result.folder_path;
    }

    testing_store::Mailbox box_;
    infostore::FolderInfo spam_;
    std::vector<BYTE> store_id_;
};

// The value of `tag`'s column in `row`, by position in kColumns.
const SPropValue& Column(const SRow& row, ULONG tag) {
    for (ULONG i = 0; i < 11; ++i) {
        if (kColumns.aulPropTag[i] == tag) {
            return row.lpProps[i];
        }
    }
    static const SPropValue kNone{};
    ADD_FAILURE() << "no such column";
    return kNone;
}

bool IsError(const SPropValue& value, ULONG tag, SCODE code) {
    return value.ulPropTag == PROP_TAG(PT_ERROR, PROP_ID(tag)) && value.Value.err == code;
}

TEST_F(HostileRules, TheTableShowsMissingAndDamagedPropertiesAsErrorValues) {
    infostore::RuleSpec no_level = Theirs("no level");
    no_level.level.reset();
    const std::int64_t bare = Add(infostore::RuleSpec());
    const std::int64_t without_level = Add(no_level);
    infostore::RuleSpec damaged = Theirs("damaged");
    damaged.raw_condition = std::vector<BYTE>{'S', 'W', 'R', 'C', 1, 0xFF};
    damaged.raw_actions = std::vector<BYTE>{0xDE, 0xAD};
    const std::int64_t broken = Add(damaged);

    ASSERT_EQ(box_.view->SetColumns(kColumns.get(), 0), S_OK);
    LPSRowSet rows = nullptr;
    ASSERT_EQ(HrQueryAllRows(box_.view, nullptr, nullptr, nullptr, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 3u);
    for (ULONG r = 0; r < rows->cRows; ++r) {
        const SRow& row = rows->aRow[r];
        ASSERT_EQ(row.cValues, 11u);
        ASSERT_EQ(Column(row, PR_RULE_ID).ulPropTag, PR_RULE_ID);
        const std::int64_t id = Column(row, PR_RULE_ID).Value.li;
        if (id == bare) {
            // Nothing but the id the store gave it.
            for (ULONG tag : kColumns.aulPropTag) {
                if (tag != PR_RULE_ID) {
                    EXPECT_TRUE(IsError(Column(row, tag), tag, MAPI_E_NOT_FOUND))
                        << std::hex << tag;
                }
            }
        } else if (id == without_level) {
            EXPECT_TRUE(IsError(Column(row, PR_RULE_LEVEL), PR_RULE_LEVEL, MAPI_E_NOT_FOUND));
            EXPECT_EQ(Column(row, PR_RULE_PROVIDER).ulPropTag, PR_RULE_PROVIDER);
            EXPECT_EQ(Column(row, PR_RULE_USER_FLAGS).Value.l, 7);
        } else {
            EXPECT_EQ(id, broken);
            EXPECT_TRUE(
                IsError(Column(row, PR_RULE_CONDITION), PR_RULE_CONDITION, MAPI_E_CORRUPT_DATA));
            EXPECT_TRUE(
                IsError(Column(row, PR_RULE_ACTIONS), PR_RULE_ACTIONS, MAPI_E_CORRUPT_DATA));
            EXPECT_EQ(Column(row, PR_RULE_LEVEL).ulPropTag, PR_RULE_LEVEL);
            EXPECT_EQ(Column(row, PR_RULE_PROVIDER_DATA).Value.bin.cb, 3u);
        }
    }
    FreeProws(rows);

    // The listing says what is wrong instead of failing.
    for (const auto& rule : Rules()) {
        if (rule.id == broken) {
            EXPECT_EQ(rule.condition_text.rfind("<corrupt: ", 0), 0u) << rule.condition_text;
            EXPECT_EQ(rule.actions_text.rfind("<corrupt: ", 0), 0u) << rule.actions_text;
        }
    }
}

TEST_F(HostileRules, TheAgentsOperationsStopAtTheFirstRowThatIsNotWellFormed) {
    AgentRule agent(kMarker, store_id_, spam_.entry_id);
    struct Case {
        const char* what;
        infostore::RuleSpec spec;
    };
    infostore::RuleSpec no_provider = agent.Spec();
    no_provider.provider.reset(); // the agent's own name, but no provider
    infostore::RuleSpec damaged = Theirs("damaged");
    damaged.raw_condition = std::vector<BYTE>{1, 2, 3};
    infostore::RuleSpec no_name = Theirs("");
    no_name.name.reset();
    infostore::RuleSpec no_state = Theirs("no state");
    no_state.state.reset();
    infostore::RuleSpec no_level = Theirs("no level");
    no_level.level.reset();
    const std::vector<Case> cases = {{"every property missing", infostore::RuleSpec()},
                                     {"no level", no_level},
                                     {"no provider", no_provider},
                                     {"damaged condition", damaged},
                                     {"no name in either width", no_name},
                                     {"no state", no_state}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The malformed row first: nothing after it is looked at.
        const std::int64_t malformed = Add(c.spec);
        const std::int64_t mine = Add(agent.Spec());
        EXPECT_FALSE(mapi_ValidateRule(box_.store, box_.rules, box_.view, kRuleName));
        LPMAPIFOLDER folder = nullptr;
        EXPECT_EQ(mapi_OpenRuleFolder(box_.store, box_.view, kRuleName, &folder), E_NOTIMPL);
        EXPECT_EQ(folder, nullptr);
        EXPECT_EQ(mapi_DeleteRule(box_.rules, box_.view, kRuleName), E_INVALIDARG);
        EXPECT_TRUE(HasRule(mine));
        EXPECT_TRUE(HasRule(malformed)) << "a row that is not well formed is never deleted";

        // The agent's rule first: it is found, and deleting deals with it
        // before stopping at the malformed row.
        ASSERT_EQ(admin_->DeleteRule("alice", malformed), S_OK);
        const std::int64_t after = Add(c.spec);
        EXPECT_TRUE(mapi_ValidateRule(box_.store, box_.rules, box_.view, kRuleName));
        ASSERT_EQ(mapi_OpenRuleFolder(box_.store, box_.view, kRuleName, &folder), S_OK);
        UlRelease(folder);
        EXPECT_EQ(mapi_DeleteRule(box_.rules, box_.view, kRuleName), E_INVALIDARG);
        EXPECT_FALSE(HasRule(mine));
        EXPECT_TRUE(HasRule(after));
        ASSERT_EQ(admin_->DeleteRule("alice", after), S_OK);
    }
    EXPECT_TRUE(Rules().empty());
}

TEST_F(HostileRules, DeliveryPassesOverRulesItCannotUseAndTheAgentsRuleStillMoves) {
    // Rules that come before the agent's in sequence order, each unusable
    // in its own way, all enabled.
    infostore::RuleSpec damaged = Theirs("damaged");
    damaged.sequence = 1;
    damaged.raw_condition = std::vector<BYTE>{'S', 'W', 'R', 'C', 1};
    damaged.raw_actions = std::vector<BYTE>{'S', 'W', 'R', 'A', 1, 0, 0};
    Add(damaged);
    infostore::RuleSpec no_actions = Theirs("no actions");
    no_actions.sequence = 2;
    SPropValue everything_value{};
    everything_value.ulPropTag = PR_MESSAGE_CLASS;
    everything_value.Value.lpszA = const_cast<char*>("IPM");
    SRestriction everything{};
    everything.rt = RES_CONTENT;
    everything.res.resContent = {FL_PREFIX, PR_MESSAGE_CLASS, &everything_value};
    no_actions.condition = &everything;
    Add(no_actions);
    infostore::RuleSpec no_condition = Theirs("no condition");
    no_condition.sequence = 3;
    ACTION delete_it{};
    delete_it.acttype = OP_DELETE;
    ACTIONS deleting = {EDK_RULES_VERSION, 1, &delete_it};
    no_condition.actions = &deleting;
    Add(no_condition);
    Add(infostore::RuleSpec()); // no sequence: comes last

    // The agent's rule, added the way the agent adds it, next to them.
    LPMAPIFOLDER spam = nullptr;
    ASSERT_EQ(mapi_OpenMailboxFolder(box_.store, u"Spam", &spam), S_OK);
    EXPECT_EQ(
        mapi_AddMessageMoveRule(box_.rules, box_.store, kRuleName, 0, u"x-spam-flag: yes", spam),
        S_OK);
    UlRelease(spam);

    EXPECT_EQ(Deliver("Subject: hi\r\nX-Spam-Flag: YES\r\n\r\nbody"), "Spam");
    EXPECT_EQ(Deliver("Subject: hi\r\n\r\nX-Spam-Flag: YES"), "Inbox");
    EXPECT_EQ(Rules().size(), 5u) << "no rule was changed by delivery";
}

} // namespace
} // namespace hostile
