// Worker threads run the operations at the same time, each with its own
// MAPI initialisation, session and mailbox, as the agent's pool does.
#include <thread>

#include "tests/support/store_fixture.h"

namespace testing_store {
namespace {

using Workers = StoreTest;

// One worker's life: its own session, then two passes over its mailbox.
void Work(const std::string& profile, const std::u16string& store_dn, const std::u16string& dn,
          int* valid_rules) {
    MAPIInitialize(nullptr);
    LPMAPISESSION session = nullptr;
    LPMDB agent_store = nullptr;
    std::string name = profile;
    char password[] = "";
    if (MAPILogonEx(0, name.data(), password, 0x18032, &session) == S_OK &&
        HrOpenStoreByProvider(session, &PRIVATE_STORE_PROVIDER_UID, &agent_store) == S_OK) {
        for (int pass = 0; pass < 2; ++pass) {
            Mailbox box;
            LPMAPIFOLDER spam = nullptr;
            if (SUCCEEDED(MailboxLogonAndOpenInbox(session, agent_store, store_dn.c_str(),
                                                   dn.c_str(), &box.store, &box.inbox)) &&
                SUCCEEDED(mapi_GetRulesTables(box.inbox, &box.rules, &box.view))) {
                if (!mapi_ValidateRule(box.store, box.rules, box.view, kRuleName) &&
                    SUCCEEDED(mapi_DeleteRule(box.rules, box.view, kRuleName)) &&
                    SUCCEEDED(mapi_OpenMailboxFolder(box.store, u"Spam", &spam)))
                    mapi_AddMessageMoveRule(box.rules, box.store, kRuleName, 0, u"X-Spam", spam);
                *valid_rules += mapi_ValidateRule(box.store, box.rules, box.view, kRuleName);
            }
            UlRelease(spam);
            mapi_ReleaseRulesTables(box.rules, box.view);
            UlRelease(box.inbox);
            HrMailboxLogoff(&box.store);
        }
    }
    UlRelease(agent_store);
    if (session != nullptr) {
        session->Logoff(0, 0, 0);
        session->Release();
    }
    MAPIUninitialize();
}

TEST_F(Workers, EightThreadsRepairAndCheckTheirOwnMailboxesAtOnce) {
    constexpr int kThreads = 8;
    ASSERT_EQ(admin_->AddMailboxes(kThreads, "worker", "MX1"), S_OK);
    std::vector<infostore::MailboxInfo> mailboxes;
    ASSERT_EQ(admin_->ListMailboxes("MX1", &mailboxes), S_OK);
    std::vector<std::u16string> workers;
    for (const infostore::MailboxInfo& mailbox : mailboxes) {
        if (mailbox.alias.rfind("worker", 0) != 0)
            continue;
        ASSERT_EQ(admin_->CreateFolder(mailbox.alias, "Spam"), S_OK);
        workers.push_back(W(mailbox.dn));
    }
    ASSERT_EQ(workers.size(), static_cast<size_t>(kThreads));
    std::vector<int> valid(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(Work, A(profile_), store_dn_, workers[i], &valid[i]);
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ(valid[i], 2) << "worker " << i << ": added in the first pass, kept in the second";
    for (const infostore::MailboxInfo& mailbox : mailboxes) {
        std::vector<infostore::RuleInfo> rules;
        ASSERT_EQ(admin_->ListRules(mailbox.alias, "", &rules), S_OK);
        EXPECT_EQ(rules.size(), mailbox.alias.rfind("worker", 0) == 0 ? 1u : 0u) << mailbox.alias;
    }
}

} // namespace
} // namespace testing_store
