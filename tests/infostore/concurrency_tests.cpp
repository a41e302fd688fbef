// Twenty sessions on twenty threads and another logon, against one store:
// every call succeeds (no busy store ever surfaces as a failure) and every
// mailbox ends in the state its thread made. Each thread works its mailbox
// with the agent's own operations.
#include <atomic>
#include <thread>

#include "exchange_util/exchange_util.h"
#include "tests/infostore/support.h"

namespace storetest {
namespace {

using Concurrency = StoreTest;

constexpr int kThreads = 20;
constexpr int kMessages = 4;

// What one worker does for its own mailbox, with a session of its own: the
// spam folder and the rule, mail through it, half of it deleted again.
void Worker(const std::string& profile, const std::u16string& store_dn, const std::string& dn,
            const std::string& store_path, std::atomic<int>* failures) {
    auto check = [&](HRESULT hr, const char* what) {
        if (hr != S_OK) {
            ++*failures;
            ADD_FAILURE() << what << " gave " << std::hex << hr << " for " << dn;
        }
        return hr == S_OK;
    };
    MAPIINIT_0 init = {MAPI_INIT_VERSION, MAPI_NT_SERVICE};
    if (!check(MAPIInitialize(&init), "MAPIInitialize"))
        return;
    {
        Obj<IMAPISession> session;
        Obj<IMsgStore> own;
        LPMDB store = nullptr;
        Obj<IMAPIFolder> inbox, top, spam;
        std::u16string mailbox(dn.begin(), dn.end());
        if (check(Logon(profile, session.out()), "logon") &&
            check(HrOpenStoreByProvider(session.get(), &PRIVATE_STORE_PROVIDER_UID, own.out()),
                  "private store") &&
            check(MailboxLogonAndOpenInbox(session.get(), own.get(), store_dn.c_str(),
                                           mailbox.c_str(), &store, inbox.out()),
                  "mailbox logon") &&
            check(mapi_OpenMailboxFolder(store, nullptr, top.out()), "top folder")) {
            char name[] = "Spam";
            check(top->CreateFolder(FOLDER_GENERIC, name, nullptr, nullptr, OPEN_IF_EXISTS,
                                    spam.out()),
                  "create folder");
            LPEXCHANGEMODIFYTABLE rules = nullptr;
            LPMAPITABLE view = nullptr;
            check(mapi_GetRulesTables(inbox.get(), &rules, &view), "rules");
            check(mapi_AddMessageMoveRule(rules, store, u"_Corvane Spam Folder Rule_", 0,
                                          u"X-Spam-Flag: YES", spam.get()),
                  "add rule");
            mapi_ReleaseRulesTables(rules, view);

            // Mail through the rule, over a connection of the thread's own.
            std::unique_ptr<infostore::Admin> admin;
            check(infostore::Admin::Open(store_path, &admin), "admin open");
            for (int i = 0; admin && i < kMessages; ++i) {
                std::string text =
                    "Subject: m" + std::to_string(i) + "\r\nX-Spam-Flag: YES\r\n\r\nx";
                check(admin->Deliver(dn, text, {}), "deliver");
            }
            Obj<IMAPITable> contents;
            check(spam->GetContentsTable(0, contents.out()), "contents");
            Rows messages;
            SizedSPropTagArray<1> ids = {1, {PR_ENTRYID}};
            check(HrQueryAllRows(contents.get(), ids.get(), nullptr, nullptr, 0, messages.out()),
                  "contents rows");
            for (ULONG i = 0; i < messages.size() / 2; ++i) {
                SBinary id = messages[i].lpProps[0].Value.bin;
                ENTRYLIST list = {1, &id};
                check(spam->DeleteMessages(&list, 0, nullptr, 0), "delete");
            }
        }
        spam.reset();
        top.reset();
        inbox.reset();
        if (store != nullptr)
            check(HrMailboxLogoff(&store), "logoff");
        if (session)
            session->Logoff(0, 0, 0);
    }
    MAPIUninitialize();
}

TEST_F(Concurrency, TwentySessionsAndAnotherLogonNeverSeeABusyStore) {
    ASSERT_EQ(admin_->AddMailboxes(kThreads, "user", "mail1"), S_OK);
    std::string server = agent_.server_dn + "/cn=Microsoft Private MDB";
    std::u16string store_dn(server.begin(), server.end());
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 1; t <= kThreads; ++t) {
        std::string dn = "/o=Example/ou=Lab/cn=Recipients/cn=user" + std::to_string(t);
        threads.emplace_back(Worker, profile_, store_dn, dn, path_, &failures);
    }
    // Meanwhile another session logs on and off.
    int logons = 0;
    std::thread other([&] {
        MAPIINIT_0 init = {MAPI_INIT_VERSION, MAPI_NT_SERVICE};
        if (MAPIInitialize(&init) != S_OK) {
            ++failures;
            return;
        }
        do {
            Obj<IMAPISession> session;
            HRESULT hr = Logon(profile_, session.out());
            if (hr != S_OK) {
                ++failures;
                ADD_FAILURE() << "extra logon gave " << std::hex << hr;
                break;
            }
            ++logons;
            session->Logoff(0, 0, 0);
        } while (!done);
        MAPIUninitialize();
    });
    for (std::thread& t : threads)
        t.join();
    done = true;
    other.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(logons, 0);

    for (int t = 1; t <= kThreads; ++t) {
        std::string alias = "user" + std::to_string(t);
        EXPECT_EQ(Messages(alias, "Spam").size(), static_cast<std::size_t>(kMessages / 2)) << alias;
        EXPECT_TRUE(Messages(alias, "Inbox").empty()) << alias;
        std::vector<infostore::RuleInfo> rules;
        ASSERT_EQ(admin_->ListRules(alias, "", &rules), S_OK);
        ASSERT_EQ(rules.size(), 1u) << alias;
        EXPECT_EQ(rules[0].move_target, std::optional<std::string>("Spam"));
    }
}

} // namespace
} // namespace storetest
