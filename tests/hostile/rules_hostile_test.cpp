// Rules left in an Inbox by other programs, with one property missing or
// its stored data damaged: the agent's rule operations stop at the first row
// that is not well formed, as they promise, and never delete it; delivery
// passes over the rules it cannot use while the agent's rule keeps working.
// A table of more rules than the agent reads is refused whole.
#include "tests/support/store_fixture.h"

namespace testing_store {
namespace {

class HostileRules : public SpamFolderTest {
protected:
    void SetUp() override {
        SpamFolderTest::SetUp();
        ASSERT_EQ(admin_->StoreEntryId(alice_.alias, &store_id_), S_OK);
        spam_id_ = FolderId("Spam");
        action_.acttype = OP_MOVE;
        action_.actMoveCopy = {
            static_cast<ULONG>(store_id_.size()), reinterpret_cast<LPENTRYID>(store_id_.data()),
            static_cast<ULONG>(spam_id_.size()), reinterpret_cast<LPENTRYID>(spam_id_.data())};
    }
    // Another program's rule with every property given (list mail to
    // Spam); the cases take one away.
    infostore::RuleSpec Theirs(const std::string& name) {
        infostore::RuleSpec spec;
        spec.sequence = 10;
        spec.state = ST_ENABLED;
        spec.level = 0;
        spec.user_flags = 7;
        spec.provider = "Other.Provider";
        spec.name = name;
        spec.condition = &condition_;
        spec.actions = &actions_;
        return spec;
    }
    std::int64_t Add(const infostore::RuleSpec& spec) {
        std::int64_t id = 0;
        EXPECT_EQ(admin_->AddRule(alice_.alias, "", spec, &id), S_OK) << admin_->LastError();
        return id;
    }
    HRESULT AddMine() {
        return mapi_AddMessageMoveRule(box_.rules, box_.store, kRuleName, 0, W(kMarker).c_str(),
                                       spam_);
    }
    // The ids of the rules in the Inbox.
    std::vector<std::int64_t> Ids() {
        std::vector<std::int64_t> ids;
        for (const auto& rule : Rules())
            ids.push_back(rule.id);
        return ids;
    }
    BOOL Validate() { return mapi_ValidateRule(box_.store, box_.rules, box_.view, kRuleName); }
    HRESULT OpenRuleFolder() {
        LPMAPIFOLDER folder = nullptr;
        HRESULT hr = mapi_OpenRuleFolder(box_.store, box_.view, kRuleName, &folder);
        EXPECT_EQ(folder == nullptr, FAILED(hr));
        UlRelease(folder);
        return hr;
    }
    HRESULT Delete() { return mapi_DeleteRule(box_.rules, box_.view, kRuleName); }

    std::vector<BYTE> store_id_, spam_id_;
    char list_id_[8] = "List-Id";
    SPropValue value_ = {PR_TRANSPORT_MESSAGE_HEADERS, 0, {.lpszA = list_id_}};
    SRestriction condition_ = {
        RES_CONTENT, {.resContent = {FL_SUBSTRING, PR_TRANSPORT_MESSAGE_HEADERS, &value_}}};
    ACTION action_{};
    ACTIONS actions_ = {EDK_RULES_VERSION, 1, &action_};
};

TEST_F(HostileRules, TheAgentsOperationsStopAtTheFirstRowThatIsNotWellFormed) {
    // A rule of another program that has everything is passed over.
    const std::int64_t theirs = Add(Theirs("theirs"));
    ASSERT_EQ(AddMine(), S_OK);
    EXPECT_TRUE(Validate());
    EXPECT_EQ(OpenRuleFolder(), S_OK);
    EXPECT_EQ(Delete(), S_OK);
    EXPECT_EQ(Ids(), std::vector<std::int64_t>{theirs});
    ASSERT_EQ(admin_->DeleteRule(alice_.alias, theirs), S_OK);

    std::vector<std::pair<const char*, infostore::RuleSpec>> cases = {
        {"every property missing", infostore::RuleSpec()}};
    auto without = [&](const char* what, auto drop) {
        cases.emplace_back(what, Theirs("theirs"));
        drop(cases.back().second);
    };
    without("no state", [](auto& s) { s.state.reset(); });
    without("no condition", [](auto& s) { s.condition = nullptr; });
    without("no actions", [](auto& s) { s.actions = nullptr; });
    without("damaged condition", [](auto& s) { s.raw_condition = std::vector<BYTE>{1, 2, 3}; });
    without("no level", [](auto& s) { s.level.reset(); });
    without("no name in either width", [](auto& s) { s.name.reset(); });
    without("the agent's name, no provider", [](auto& s) {
        s.name = A(kRuleName);
        s.provider.reset();
    });
    for (const auto& [what, spec] : cases) {
        SCOPED_TRACE(what);
        // The malformed row first: nothing after it is looked at.
        const std::int64_t malformed = Add(spec);
        ASSERT_EQ(AddMine(), S_OK);
        EXPECT_FALSE(Validate());
        EXPECT_EQ(OpenRuleFolder(), E_NOTIMPL);
        EXPECT_EQ(Delete(), E_INVALIDARG);
        EXPECT_EQ(Ids().size(), 2u) << "a row that is not well formed is never deleted";
        infostore::DeliveryResult delivered;
        ASSERT_EQ(admin_->Deliver(alice_.alias, "X-Spam-Flag: YES\r\n\r\nb", {}, &delivered), S_OK);
        EXPECT_EQ(delivered.folder_path, "Spam");

        // The agent's rule first: it is found, and deleting deals with it
        // before stopping at the malformed row.
        ASSERT_EQ(admin_->DeleteRule(alice_.alias, malformed), S_OK);
        const std::int64_t after = Add(spec);
        EXPECT_TRUE(Validate());
        EXPECT_EQ(OpenRuleFolder(), S_OK);
        EXPECT_EQ(Delete(), E_INVALIDARG);
        EXPECT_EQ(Ids(), std::vector<std::int64_t>{after});
        ASSERT_EQ(admin_->DeleteRule(alice_.alias, after), S_OK);
    }
    EXPECT_TRUE(Rules().empty());
}

TEST_F(HostileRules, MoreRulesThanTheAgentReadsAreRefusedWhole) {
    EXPECT_EQ(OpenRuleFolder(), E_FAIL) << "no rules at all";
    ASSERT_EQ(AddMine(), S_OK);
    for (int i = 1; i < 1024; ++i)
        Add(Theirs("Other " + std::to_string(i)));
    EXPECT_TRUE(Validate()) << "1,024 rules are still read";
    Add(Theirs("One too many"));
    EXPECT_EQ(Delete(), MAPI_E_TABLE_TOO_BIG);
    EXPECT_EQ(OpenRuleFolder(), MAPI_E_TABLE_TOO_BIG);
    EXPECT_FALSE(Validate());
    EXPECT_EQ(Rules().size(), 1025u);
}

} // namespace
} // namespace testing_store
