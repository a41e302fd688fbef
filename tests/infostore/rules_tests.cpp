// Changes to the Inbox's rules table and the rules at work when mail is
// delivered. What the agent's own rule looks like read back, the rules
// and hostile-rules tests show.
#include <cstring>

#include "tests/infostore/support.h"

namespace storetest {
namespace {

class Rules : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        ASSERT_EQ(admin_->CreateFolder("alice", "Spam"), S_OK);
        ASSERT_EQ(admin_->CreateFolder("alice", "Lists"), S_OK);
        ASSERT_EQ(OpenMailbox(alice_.dn, &store_), S_OK);
        Obj<IMAPIFolder> inbox;
        ASSERT_EQ(OpenFolder(store_, "alice", "Inbox", inbox.out()), S_OK);
        ASSERT_EQ(inbox->OpenProperty(PR_RULES_TABLE, &IID_IExchangeModifyTable, 0,
                                      MAPI_DEFERRED_ERRORS, reinterpret_cast<LPUNKNOWN*>(&rules_)),
                  S_OK);
        Buf<SPropValue> store_id;
        ASSERT_EQ(HrGetOneProp(store_, PR_ENTRYID, store_id.out()), S_OK);
        store_id_ = Bytes(store_id->Value.bin);
    }
    void TearDown() override {
        UlRelease(rules_);
        UlRelease(store_);
        StoreTest::TearDown();
    }

    // The agent's kind of rule: headers hold `marker` (any case) -> move to
    // `folder` of alice.
    struct RuleRow {
        SPropValue values[7] = {};
        SPropValue marker_value = {};
        SRestriction condition = {};
        ACTION action = {};
        ACTIONS actions = {EDK_RULES_VERSION, 1, &action};
        std::string marker, name, provider;
        std::vector<BYTE> store_id, folder_id;
        ROWLIST list = {1, {{ROW_ADD, 7, values}}};

        RuleRow(const std::string& rule_name, const std::string& text, ULONG sequence, ULONG state,
                std::vector<BYTE> store, std::vector<BYTE> folder,
                const std::string& rule_provider = "MSExchange.Rules")
            : marker(text), name(rule_name), provider(rule_provider), store_id(std::move(store)),
              folder_id(std::move(folder)) {
            marker_value.ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
            marker_value.Value.lpszA = marker.data();
            condition.rt = RES_CONTENT;
            condition.res.resContent = {FL_SUBSTRING | FL_IGNORECASE | FL_LOOSE,
                                        PR_TRANSPORT_MESSAGE_HEADERS, &marker_value};
            action.acttype = OP_MOVE;
            action.actMoveCopy = {static_cast<ULONG>(store_id.size()),
                                  reinterpret_cast<LPENTRYID>(store_id.data()),
                                  static_cast<ULONG>(folder_id.size()),
                                  reinterpret_cast<LPENTRYID>(folder_id.data())};
            values[0].ulPropTag = PR_RULE_SEQUENCE;
            values[0].Value.l = static_cast<LONG>(sequence);
            values[1].ulPropTag = PR_RULE_STATE;
            values[1].Value.l = static_cast<LONG>(state);
            values[2].ulPropTag = PR_RULE_CONDITION;
            values[2].Value.lpv = &condition;
            values[3].ulPropTag = PR_RULE_ACTIONS;
            values[3].Value.lpv = &actions;
            values[4].ulPropTag = PR_RULE_PROVIDER;
            values[4].Value.lpszA = provider.data();
            values[5].ulPropTag = PR_RULE_NAME;
            values[5].Value.lpszA = name.data();
            values[6].ulPropTag = PR_RULE_LEVEL;
            values[6].Value.l = 0;
        }
    };

    HRESULT AddMoveRule(const std::string& name, const std::string& marker, ULONG sequence,
                        const std::string& folder, ULONG state = ST_ENABLED) {
        RuleRow row(name, marker, sequence, state, store_id_, FolderId("alice", folder));
        return rules_->ModifyTable(0, &row.list);
    }

    std::string Where(const std::string& subject) {
        for (const auto& m : Messages("alice", ""))
            if (m.subject == subject)
                return m.folder_path;
        return "<nowhere>";
    }

    LPMDB store_ = nullptr;
    LPEXCHANGEMODIFYTABLE rules_ = nullptr;
    std::vector<BYTE> store_id_;
};

TEST_F(Rules, BadRowListsChangeNothing) {
    ASSERT_EQ(AddMoveRule("keep", "k", 1, "Spam"), S_OK);
    // The second entry is bad: the first must not have been applied.
    SPropValue wrong_type = {};
    wrong_type.ulPropTag = PROP_TAG(PT_STRING8, PROP_ID(PR_RULE_STATE));
    wrong_type.Value.lpszA = const_cast<char*>("1");
    RuleRow good("new", "n", 2, ST_ENABLED, store_id_, FolderId("alice", "Spam"));
    ROWLIST* list = nullptr;
    ASSERT_EQ(
        MAPIAllocateBuffer(static_cast<ULONG>(CbNewROWLIST(2)), reinterpret_cast<LPVOID*>(&list)),
        S_OK);
    list->cEntries = 2;
    ROWENTRY* entries = list->aEntries;
    entries[0] = {ROW_ADD, 7, good.values};
    entries[1] = {ROW_ADD, 1, &wrong_type};
    EXPECT_EQ(rules_->ModifyTable(0, list), MAPI_E_INVALID_TYPE);
    SPropValue unknown = {};
    unknown.ulPropTag = PR_RULE_ID;
    unknown.Value.li = 424242;
    entries[1] = {ROW_REMOVE, 1, &unknown};
    EXPECT_EQ(rules_->ModifyTable(0, list), MAPI_E_NOT_FOUND);
    SRestriction broken{};
    broken.rt = RES_NOT;
    good.values[2].Value.lpv = &broken;
    list->cEntries = 1;
    EXPECT_EQ(rules_->ModifyTable(0, list), MAPI_E_INVALID_PARAMETER);
    MAPIFreeBuffer(list);
    EXPECT_EQ(rules_->ModifyTable(0, nullptr), MAPI_E_INVALID_PARAMETER);
    std::vector<infostore::RuleInfo> listed;
    ASSERT_EQ(admin_->ListRules("alice", "", &listed), S_OK);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "keep");
}

TEST_F(Rules, DeliveryAppliesEnabledRulesInSequenceOrder) {
    ASSERT_EQ(admin_->CreateFolder("alice", "Other"), S_OK);
    ASSERT_EQ(AddMoveRule("spam", "x-spam-flag: yes", 1001, "Spam"), S_OK);

    Deliver("alice", "marked", "X-SPAM-FLAG: yes\r\n");
    Deliver("alice", "clean", "X-Spam-Flag: NO\r\n");
    EXPECT_EQ(Where("marked"), "Spam");
    EXPECT_EQ(Where("clean"), "Inbox");

    // A rule with a lower sequence runs first, whenever it was added; a
    // disabled rule does nothing.
    ASSERT_EQ(AddMoveRule("lists", "list-id", 10, "Lists"), S_OK);
    ASSERT_EQ(AddMoveRule("other", "list-id", 5, "Other", ST_DISABLED), S_OK);
    Deliver("alice", "both", "List-Id: <x>\r\nX-Spam-Flag: yes\r\n");
    EXPECT_EQ(Where("both"), "Lists");
    std::vector<infostore::RuleInfo> listed;
    ASSERT_EQ(admin_->ListRules("alice", "", &listed), S_OK);
    ASSERT_EQ(listed.size(), 3u);
    ASSERT_EQ(admin_->SetRuleState("alice", listed[2].id, ST_ENABLED), S_OK);
    Deliver("alice", "both again", "List-Id: <x>\r\nX-Spam-Flag: yes\r\n");
    EXPECT_EQ(Where("both again"), "Other");
    ASSERT_EQ(admin_->DisableRule("alice", listed[2].id), S_OK);
    ASSERT_EQ(admin_->DisableRule("alice", listed[1].id), S_OK);

    // A rule whose folder is gone leaves the message in the Inbox, and the
    // next matching rule still gets its turn.
    ASSERT_EQ(admin_->DeleteFolder("alice", "Spam"), S_OK);
    Deliver("alice", "orphan", "X-Spam-Flag: yes\r\n");
    EXPECT_EQ(Where("orphan"), "Inbox");
    ASSERT_EQ(AddMoveRule("fallback", "x-spam", 2000, "Other"), S_OK);
    Deliver("alice", "fallback", "X-Spam-Flag: yes\r\n");
    EXPECT_EQ(Where("fallback"), "Other");

    // A rule whose stored data is damaged is passed over.
    infostore::RuleSpec damaged;
    damaged.name = "damaged";
    damaged.provider = "MSExchange.Rules";
    damaged.state = ST_ENABLED;
    damaged.level = 0;
    damaged.sequence = 1;
    damaged.raw_condition = std::vector<BYTE>{'S', 'W', 'R', 'C', 1, 3, 0, 0};
    damaged.raw_actions = std::vector<BYTE>{'n', 'o', 'n', 's', 'e', 'n', 's', 'e'};
    ASSERT_EQ(admin_->AddRule("alice", "", damaged), S_OK);
    Deliver("alice", "past damage", "X-Spam-Flag: yes\r\n");
    EXPECT_EQ(Where("past damage"), "Other");

    // Only the Inbox's rules run, and only for that mailbox.
    Deliver("bob", "bob's", "X-Spam-Flag: yes\r\n");
    EXPECT_EQ(Messages("bob", "Inbox").size(), 1u);
}

TEST_F(Rules, AMoveIntoAnotherMailboxIsNotCarriedOut) {
    // An action naming bob's folder (through alice's store id or bob's) is
    // not carried out in alice's mailbox.
    ASSERT_EQ(admin_->CreateFolder("bob", "Spam"), S_OK);
    RuleRow row("cross", "marker", 1, ST_ENABLED, store_id_, FolderId("bob", "Spam"));
    ASSERT_EQ(rules_->ModifyTable(0, &row.list), S_OK);
    std::vector<BYTE> bob_store;
    ASSERT_EQ(admin_->StoreEntryId("bob", &bob_store), S_OK);
    RuleRow other("cross2", "marker", 2, ST_ENABLED, bob_store, FolderId("alice", "Spam"));
    ASSERT_EQ(rules_->ModifyTable(0, &other.list), S_OK);
    Deliver("alice", "stays", "X: marker\r\n");
    EXPECT_EQ(Where("stays"), "Inbox");
    EXPECT_TRUE(Messages("bob", "Spam").empty());
    std::vector<infostore::RuleInfo> listed;
    ASSERT_EQ(admin_->ListRules("alice", "", &listed), S_OK);
    EXPECT_EQ(listed[0].actions_text, "move(<missing folder>)");
    EXPECT_FALSE(listed[0].move_target.has_value());
}

} // namespace
} // namespace storetest
