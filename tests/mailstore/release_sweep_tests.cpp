// Every operation gives back every MAPI buffer and object on every path.
// For each store or profile operation that can be made to fail, and for each of its
// calls in turn, the sweep lets the earlier calls through (with a harmless
// warning) and fails that one, runs the operation, and compares the
// runtime's live counts with those before the run.
#include <functional>

#include "tests/support/store_fixture.h"

namespace testing_store {
namespace {

class ReleaseSweep : public SpamFolderTest {
protected:
    // Runs `prepare` (faults off) and then `run` with the n-th call of each
    // operation failing, for every n the run reaches.
    void Sweep(
        const std::function<void()>& run, const std::function<void()>& prepare = [] {}) {
        // A first run without faults lets the objects fill what they keep
        // for their lifetime (a view holds its rows once read).
        prepare();
        run();
        int failed_calls = 0;
        for (const std::string& operation : infostore::FaultOperations()) {
            for (int n = 1; n < 100; ++n) {
                ASSERT_EQ(admin_->ClearFaults(), S_OK);
                prepare();
                if (n > 1)
                    Fault(operation, S_FALSE, n - 1);
                Fault(operation, MAPI_E_NO_ACCESS, 1);
                const ULONG buffers = MAPIDebugLiveBuffers(), objects = MAPIDebugLiveObjects();
                run();
                EXPECT_EQ(MAPIDebugLiveBuffers(), buffers) << operation << " call " << n;
                EXPECT_EQ(MAPIDebugLiveObjects(), objects) << operation << " call " << n;
                std::vector<infostore::FaultInfo> faults;
                ASSERT_EQ(admin_->ListFaults(&faults), S_OK);
                if (faults.empty() || faults.back().remaining != 0)
                    break; // the run made fewer than n calls of this operation
                ++failed_calls;
            }
        }
        ASSERT_EQ(admin_->ClearFaults(), S_OK);
        EXPECT_GT(failed_calls, 0) << "no call of the store was ever failed";
        RecordProperty("failed_calls", failed_calls);
        last_failed_calls_ = failed_calls;
    }
    void Logoff(LPMDB* store) {
        if (FAILED(HrMailboxLogoff(store)))
            UlRelease(*store);
    }
    void NoRules() {
        for (const infostore::RuleInfo& rule : Rules())
            ASSERT_EQ(admin_->DeleteRule(alice_.alias, rule.id), S_OK);
    }

    int last_failed_calls_ = 0;
};

TEST_F(ReleaseSweep, PrivateStoreLogonInboxRulesTablesAndFolders) {
    std::u16string alice = W(alice_.dn);
    Sweep([&] {
        LPMDB store = nullptr;
        if (SUCCEEDED(HrOpenStoreByProvider(session_, &PRIVATE_STORE_PROVIDER_UID, &store)))
            store->Release();
        Mailbox box;
        if (SUCCEEDED(MailboxLogonAndOpenInbox(session_, private_store_, store_dn_.c_str(),
                                               alice.c_str(), &box.store, &box.inbox)) &&
            SUCCEEDED(mapi_GetRulesTables(box.inbox, &box.rules, &box.view)))
            mapi_ReleaseRulesTables(box.rules, box.view);
        for (const char16_t* name : {u"spam", static_cast<const char16_t*>(nullptr), u"None"}) {
            LPMAPIFOLDER folder = nullptr;
            if (box.store != nullptr && SUCCEEDED(mapi_OpenMailboxFolder(box.store, name, &folder)))
                folder->Release();
        }
        UlRelease(box.inbox);
        Logoff(&box.store);
    });
}

TEST_F(ReleaseSweep, ValidateOpenRuleFolderDeleteAndAddRule) {
    std::u16string marker = W(kMarker);
    Sweep(
        [&] {
            mapi_ValidateRule(box_.store, box_.rules, box_.view, kRuleName);
            LPMAPIFOLDER folder = nullptr;
            if (SUCCEEDED(mapi_OpenRuleFolder(box_.store, box_.view, kRuleName, &folder)))
                folder->Release();
            mapi_DeleteRule(box_.rules, box_.view, kRuleName);
            mapi_AddMessageMoveRule(box_.rules, box_.store, kRuleName, 0, marker.c_str(), spam_);
        },
        [&] {
            NoRules();
            for (const char16_t* name : {kRuleName, u"_CORVANE SPAM FOLDER RULE_"})
                ASSERT_EQ(
                    mapi_AddMessageMoveRule(box_.rules, box_.store, name, 0, marker.c_str(), spam_),
                    S_OK);
        });
}

TEST_F(ReleaseSweep, Expunge) {
    Sweep([&] { mapi_ExpungeItems(spam_, 0, 1); },
          [&] {
              infostore::DeliveryOptions options;
              options.apply_rules = false;
              options.folder_path = "Spam";
              options.age_days = 3;
              for (int i = 0; i < 2; ++i)
                  ASSERT_EQ(admin_->Deliver(alice_.alias, "Subject: old\n\nx\n", options), S_OK);
          });
}

TEST_F(ReleaseSweep, Profiles) {
    Sweep([&] {
        char16_t dn[256];
        if (SUCCEEDED(mapi_CreateProfile(u"swl_sweep", u"sortwell", u"MX1")))
            mapi_GetProfileServerDN(u"swl_sweep", dn, 256);
        mapi_DeleteProfile(u"swl_sweep");
    });
    // Every profile call of the runtime is failed in turn, not only the
    // service configuration: admin object, profile table, deletion,
    // creation, service admin, service creation, service table,
    // configuration, section and its property, and the final deletion.
    EXPECT_GE(last_failed_calls_, 12);
}

} // namespace
} // namespace testing_store
