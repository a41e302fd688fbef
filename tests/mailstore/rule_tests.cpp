// The spam folder rule against the embedded store: the row that is added,
// the validation, deletion by name, the folder the rule names, and the rule
// at work when mail is delivered.
#include <cstring>

#include "tests/mailstore/fakes.h"
#include "tests/support/store_fixture.h"

namespace testing_store {
namespace {

class SpamRule : public SpamFolderTest {
protected:
    void SetUp() override {
        SpamFolderTest::SetUp();
        ASSERT_EQ(admin_->CreateFolder(alice_.alias, "Junk"), S_OK);
    }
    BOOL Validate() { return mapi_ValidateRule(box_.store, box_.rules, box_.view, kRuleName); }
    HRESULT Delete() { return mapi_DeleteRule(box_.rules, box_.view, kRuleName); }
    HRESULT OpenRuleFolder(std::vector<BYTE>* id) {
        LPMAPIFOLDER folder = nullptr;
        HRESULT hr = mapi_OpenRuleFolder(box_.store, box_.view, kRuleName, &folder);
        if (folder != nullptr) {
            *id = EntryId(folder);
            folder->Release();
        }
        return hr;
    }
    HRESULT AddRuleTo(const std::string& folder_path, LPEXCHANGEMODIFYTABLE rules,
                      ULONG subject_flag = 0) {
        LPMAPIFOLDER folder = OpenFolder(box_, folder_path);
        std::u16string marker = W(kMarker);
        HRESULT hr = mapi_AddMessageMoveRule(rules, box_.store, kRuleName, subject_flag,
                                             marker.c_str(), folder);
        folder->Release();
        return hr;
    }
    std::string Deliver(const std::string& message) {
        infostore::DeliveryResult result;
        EXPECT_EQ(admin_->Deliver(alice_.alias, message, {}, &result), S_OK);
        return result.folder_path;
    }
};

TEST_F(SpamRule, TheAddedRowIsExactlyTheSevenValuesOfTheRuleInOneBufferChain) {
    ULONG buffers = MAPIDebugLiveBuffers();
    fakes::RuleRecorder capture;
    ASSERT_EQ(AddRuleTo("Spam", &capture), S_OK);
    EXPECT_EQ(MAPIDebugLiveBuffers(), buffers + 1) << "only the fake's own copy may remain";
    EXPECT_EQ(capture.seen_flags, 0u);
    ASSERT_EQ(capture.entries.size(), 1u);
    const fakes::RuleRecorder::Entry& row = capture.entries[0];
    EXPECT_EQ(row.row_flags, ROW_ADD);
    ASSERT_EQ(row.count, 7u);
    const SPropValue* v = row.values;
    const ULONG tags[] = {PR_RULE_SEQUENCE, PR_RULE_STATE, PR_RULE_CONDITION, PR_RULE_ACTIONS,
                          PR_RULE_PROVIDER, PR_RULE_NAME,  PR_RULE_LEVEL};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(v[i].ulPropTag, tags[i]) << "value " << i;
    EXPECT_EQ(v[0].Value.l, 1001);
    EXPECT_EQ(v[1].Value.l, 1);
    EXPECT_STREQ(v[4].Value.lpszA, "MSExchange.Rules");
    EXPECT_STREQ(v[5].Value.lpszA, "_Corvane Spam Folder Rule_");
    EXPECT_EQ(v[6].Value.l, 0);

    const auto* condition = static_cast<const SRestriction*>(v[2].Value.lpv);
    ASSERT_EQ(condition->rt, RES_CONTENT);
    EXPECT_EQ(condition->res.resContent.ulFuzzyLevel, 0x00050001u);
    EXPECT_EQ(condition->res.resContent.ulPropTag, PR_TRANSPORT_MESSAGE_HEADERS);
    EXPECT_EQ(condition->res.resContent.lpProp->ulPropTag, PR_TRANSPORT_MESSAGE_HEADERS);
    EXPECT_EQ(condition->res.resContent.lpProp->dwAlignPad, 0u);
    EXPECT_STREQ(condition->res.resContent.lpProp->Value.lpszA, kMarker);

    const auto* actions = static_cast<const ACTIONS*>(v[3].Value.lpv);
    EXPECT_EQ(actions->ulVersion, 1u);
    ASSERT_EQ(actions->cActions, 1u);
    const ACTION& move = actions->lpAction[0];
    EXPECT_EQ(move.acttype, OP_MOVE);
    EXPECT_EQ(move.ulActionFlavor, 0u);
    EXPECT_EQ(move.lpRes, nullptr);
    EXPECT_EQ(move.lpPropTagArray, nullptr);
    EXPECT_EQ(move.ulFlags, 0u);
    const ACTMOVECOPY& ids = move.actMoveCopy;
    EXPECT_EQ(std::vector<BYTE>(ids.lpStoreEntryId->abFlags,
                                ids.lpStoreEntryId->abFlags + ids.cbStoreEntryId),
              EntryId(box_.store));
    EXPECT_EQ(
        std::vector<BYTE>(ids.lpFldEntryId->abFlags, ids.lpFldEntryId->abFlags + ids.cbFldEntryId),
        FolderId("Spam"));

    // The subject flag switches the tested property, and a failing
    // ModifyTable is what the caller gets.
    capture.result = MAPI_E_NO_ACCESS;
    EXPECT_EQ(AddRuleTo("Spam", &capture, 1), MAPI_E_NO_ACCESS);
    const auto* subject = static_cast<const SRestriction*>(capture.entries[1].values[2].Value.lpv);
    EXPECT_EQ(subject->res.resContent.ulPropTag, PR_SUBJECT);
    EXPECT_EQ(subject->res.resContent.lpProp->ulPropTag, PR_SUBJECT);
}

TEST_F(SpamRule, AnAddedRuleIsValidOpensItsFolderAndMovesMarkedMailThere) {
    EXPECT_EQ(Validate(), 0) << "no rule yet";
    ASSERT_EQ(AddRuleTo("Spam", box_.rules), S_OK);
    // The row as stored (the values are the recorder test's and the
    // end-to-end tests' business): nothing more than the agent gave.
    std::vector<infostore::RuleInfo> rules = Rules();
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_FALSE(rules[0].user_flags.has_value());
    EXPECT_FALSE(rules[0].provider_data.has_value());
    EXPECT_EQ(rules[0].move_target, "Spam");

    EXPECT_EQ(Validate(), 1);
    std::vector<BYTE> id;
    EXPECT_EQ(OpenRuleFolder(&id), S_OK);
    EXPECT_EQ(id, FolderId("Spam"));

    // The marker in any header line, in any case, sends the message to Spam.
    EXPECT_EQ(Deliver("From: a@example.org\nX-Spam-Flag: YES\nSubject: buy\n\nbody\n"), "Spam");
    EXPECT_EQ(Deliver("x-spam-flag: yes\nFrom: b@example.org\nSubject: hi\n\nbody\n"), "Spam");
    EXPECT_EQ(Deliver("From: c@example.org\nSubject: X-Spam-Flag: YES\nX-SPAM-FLAG: YES\n\nb\n"),
              "Spam");
    EXPECT_EQ(Deliver("From: d@example.org\nX-Spam-Flag: NO\nSubject: hello\n\nX-Spam-Flag: YES\n"),
              "Inbox")
        << "the marker in the body alone is not enough";
}

TEST_F(SpamRule, ValidationLooksOnlyAtTheFirstRuleOfTheNameItsStateAndItsFolder) {
    std::int64_t broken = AddRule("_CORVANE spam folder RULE_", 3, "Spam");
    AddRule("_Corvane Spam Folder Rule_", 1, "Spam");
    EXPECT_EQ(Validate(), 0) << "state 3 (enabled with the error bit) is not valid";
    ASSERT_EQ(admin_->DeleteRule(alice_.alias, broken), S_OK);
    EXPECT_EQ(Validate(), 1);

    // An older marker or another folder that still opens stays valid.
    ASSERT_EQ(Delete(), S_OK);
    AddRule("_Corvane Spam Folder Rule_", 1, "Junk", true, "MSExchange.Rules", "X-Old-Marker");
    EXPECT_EQ(Validate(), 1);
    std::vector<BYTE> id;
    EXPECT_EQ(OpenRuleFolder(&id), S_OK);
    EXPECT_EQ(id, FolderId("Junk"));

    // A rule whose folder has gone is not valid.
    ASSERT_EQ(admin_->DeleteFolder(alice_.alias, "Junk"), S_OK);
    EXPECT_EQ(Validate(), 0);
    EXPECT_LT(OpenRuleFolder(&id), 0);

    // A disabled rule is not valid, yet still names its folder; a rule
    // without any action names none.
    ASSERT_EQ(Delete(), S_OK);
    AddRule("_Corvane Spam Folder Rule_", 0, "Spam");
    EXPECT_EQ(Validate(), 0);
    id.clear();
    EXPECT_EQ(OpenRuleFolder(&id), S_OK);
    EXPECT_EQ(id, FolderId("Spam"));
    ASSERT_EQ(Delete(), S_OK);
    AddRule("_Corvane Spam Folder Rule_", 1, "");
    EXPECT_EQ(Validate(), 0);
    EXPECT_EQ(OpenRuleFolder(&id), E_NOTIMPL);
}

TEST_F(SpamRule, DeletionRemovesEveryRuleOfTheNameAndLeavesOthers) {
    AddRule("_corvane spam folder rule_", 1, "Spam");
    AddRule("Vacation", 1, "Junk", true, "Other.Provider");
    AddRule("_CORVANE SPAM FOLDER RULE_", 0, "Junk");
    AddRule("_Corvane Spam Folder Rule_ old", 1, "Spam");
    EXPECT_EQ(Delete(), S_OK);
    std::vector<infostore::RuleInfo> left = Rules();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].name, "Vacation");
    EXPECT_EQ(left[1].name, "_Corvane Spam Folder Rule_ old");
    // Nothing of the name left: the query's result, 0.
    EXPECT_EQ(Delete(), S_OK);

    // A failing ModifyTable does not stop the later deletions, and the last
    // one's result is returned.
    AddRule("_Corvane Spam Folder Rule_", 1, "Spam");
    AddRule("_Corvane Spam Folder Rule_", 1, "Spam");
    Fault("IExchangeModifyTable::ModifyTable", MAPI_E_NO_ACCESS, 1);
    EXPECT_EQ(Delete(), S_OK);
    EXPECT_EQ(Rules().size(), 3u);
    Fault("IExchangeModifyTable::ModifyTable", MAPI_E_NO_ACCESS, 1);
    EXPECT_EQ(Delete(), MAPI_E_NO_ACCESS);
    EXPECT_EQ(Rules().size(), 3u);
    EXPECT_EQ(Delete(), S_OK);
    EXPECT_EQ(Rules().size(), 2u);
}

TEST_F(SpamRule, EmptyAndOversizedTables) {
    std::vector<BYTE> id;
    EXPECT_EQ(Delete(), S_OK);
    EXPECT_EQ(Validate(), 0);
    EXPECT_EQ(OpenRuleFolder(&id), E_FAIL);

    AddRule("_Corvane Spam Folder Rule_", 1, "Spam");
    for (int i = 1; i < 1024; ++i)
        AddRule("Other " + std::to_string(i), 1, "Junk", true, "Other.Provider");
    EXPECT_EQ(Validate(), 1) << "1,024 rules are still read";
    AddRule("One too many", 1, "Junk", true, "Other.Provider");
    EXPECT_EQ(Delete(), MAPI_E_TABLE_TOO_BIG);
    EXPECT_EQ(OpenRuleFolder(&id), MAPI_E_TABLE_TOO_BIG);
    EXPECT_EQ(Validate(), 0);
    EXPECT_EQ(Rules().size(), 1025u);
}

TEST_F(SpamRule, ScanFailuresAreReportedAsEachOperationDefines) {
    AddRule("_Corvane Spam Folder Rule_", 1, "Spam");
    std::vector<BYTE> id;
    Fault("IMAPITable::SetColumns", MAPI_E_BUSY);
    EXPECT_EQ(Delete(), MAPI_E_BUSY);
    EXPECT_EQ(OpenRuleFolder(&id), MAPI_E_BUSY);
    EXPECT_EQ(Validate(), 0);
    ASSERT_EQ(admin_->ClearFaults(), S_OK);
    Fault("IMAPITable::QueryRows", MAPI_E_NETWORK_ERROR);
    EXPECT_EQ(Delete(), S_OK) << "an unreadable table counts as empty";
    EXPECT_EQ(OpenRuleFolder(&id), E_FAIL);
    EXPECT_EQ(Validate(), 0);
    ASSERT_EQ(admin_->ClearFaults(), S_OK);
    LPMAPIFOLDER occupied = box_.inbox;
    EXPECT_EQ(mapi_OpenRuleFolder(box_.store, box_.view, kRuleName, &occupied), E_INVALIDARG);
    EXPECT_EQ(Rules().size(), 1u);
}

} // namespace
} // namespace testing_store
