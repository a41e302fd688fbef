// Twenty sessions on twenty threads and another logon, against one store:
// every call succeeds (no busy store ever surfaces as a failure) and every
// mailbox ends in the state its thread made.
#include <atomic>
#include <thread>

#include "tests/infostore/support.h"

namespace storetest {
namespace {

using Concurrency = StoreTest;

constexpr int kThreads = 20;
constexpr int kMessages = 4;

// What one worker does for its own mailbox, with a session of its own.
void Worker(const std::string& profile, const std::string& store_dn, const std::string& dn,
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
        if (!check(Logon(profile, session.out()), "logon")) {
            MAPIUninitialize();
            return;
        }
        Obj<IMAPITable> stores;
        Rows rows;
        SizedSPropTagArray<1> columns = {1, {PR_ENTRYID}};
        check(session->GetMsgStoresTable(0, stores.out()), "stores table");
        check(HrQueryAllRows(stores.get(), columns.get(), nullptr, nullptr, 0, rows.out()),
              "stores rows");
        Obj<IMsgStore> own;
        const SBinary& own_id = rows[0].lpProps[0].Value.bin;
        check(session->OpenMsgStore(0, own_id.cb, reinterpret_cast<LPENTRYID>(own_id.lpb), nullptr,
                                    MAPI_BEST_ACCESS, own.out()),
              "private store");
        Obj<IExchangeManageStore> manage;
        check(own->QueryInterface(IID_IExchangeManageStore, reinterpret_cast<void**>(manage.out())),
              "manage store");
        std::string sdn = store_dn, mdn = dn;
        Buf<ENTRYID> entry;
        ULONG size = 0;
        check(manage->CreateStoreEntryID(sdn.data(), mdn.data(), 9, &size, entry.out()),
              "store entry id");
        Obj<IMsgStore> store;
        if (!check(session->OpenMsgStore(0, size, entry.get(), nullptr, 0xB1, store.out()),
                   "mailbox logon"))
            return;
        Obj<IMAPIFolder> root, top, spam, inbox;
        ULONG type = 0;
        check(store->OpenEntry(0, nullptr, nullptr, 9, &type, root.unk()), "root");
        Buf<SPropValue> top_id, store_id, spam_id;
        check(HrGetOneProp(store.get(), PR_IPM_SUBTREE_ENTRYID, top_id.out()), "top id");
        check(HrGetOneProp(store.get(), PR_ENTRYID, store_id.out()), "store id");
        check(root->OpenEntry(top_id->Value.bin.cb,
                              reinterpret_cast<LPENTRYID>(top_id->Value.bin.lpb), nullptr, 9, &type,
                              top.unk()),
              "top folder");
        char name[] = "Spam";
        check(top->CreateFolder(FOLDER_GENERIC, name, nullptr, nullptr, OPEN_IF_EXISTS, spam.out()),
              "create folder");
        check(spam->SaveChanges(KEEP_OPEN_READWRITE), "save folder");
        check(HrGetOneProp(spam.get(), PR_ENTRYID, spam_id.out()), "spam id");
        Buf<ENTRYID> inbox_id;
        char ipm[] = "IPM";
        check(store->GetReceiveFolder(ipm, 0, &size, inbox_id.out(), nullptr), "inbox id");
        check(root->OpenEntry(size, inbox_id.get(), nullptr, 9, &type, inbox.unk()), "inbox");

        // The rule, then mail through it, delivered over a connection of the
        // thread's own.
        Obj<IExchangeModifyTable> rules;
        check(inbox->OpenProperty(PR_RULES_TABLE, &IID_IExchangeModifyTable, 0, 8, rules.unk()),
              "rules");
        SPropValue marker{};
        marker.ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
        marker.Value.lpszA = const_cast<char*>("x-spam-flag: yes");
        SRestriction condition{};
        condition.rt = RES_CONTENT;
        condition.res.resContent = {0x00050001, PR_TRANSPORT_MESSAGE_HEADERS, &marker};
        ACTION action{};
        action.acttype = OP_MOVE;
        action.actMoveCopy = {
            store_id->Value.bin.cb, reinterpret_cast<LPENTRYID>(store_id->Value.bin.lpb),
            spam_id->Value.bin.cb, reinterpret_cast<LPENTRYID>(spam_id->Value.bin.lpb)};
        ACTIONS actions{EDK_RULES_VERSION, 1, &action};
        SPropValue values[7] = {};
        values[0].ulPropTag = PR_RULE_SEQUENCE;
        values[0].Value.l = 1001;
        values[1].ulPropTag = PR_RULE_STATE;
        values[1].Value.l = ST_ENABLED;
        values[2].ulPropTag = PR_RULE_CONDITION;
        values[2].Value.lpv = &condition;
        values[3].ulPropTag = PR_RULE_ACTIONS;
        values[3].Value.lpv = &actions;
        values[4].ulPropTag = PR_RULE_PROVIDER;
        values[4].Value.lpszA = const_cast<char*>("MSExchange.Rules");
        values[5].ulPropTag = PR_RULE_NAME;
        values[5].Value.lpszA = const_cast<char*>("_Corvane Spam Folder Rule_");
        values[6].ulPropTag = PR_RULE_LEVEL;
        ROWLIST add = {1, {{ROW_ADD, 7, values}}};
        check(rules->ModifyTable(0, &add), "add rule");

        std::unique_ptr<infostore::Admin> admin;
        check(infostore::Admin::Open(store_path, &admin), "admin open");
        for (int i = 0; i < kMessages; ++i) {
            std::string text = "Subject: m" + std::to_string(i) + "\r\nX-Spam-Flag: YES\r\n\r\nx";
            check(admin->Deliver(dn, text, {}), "deliver");
        }
        Obj<IMAPITable> view;
        check(rules->GetTable(0, view.out()), "rules view");
        Rows rule_rows;
        check(HrQueryAllRows(view.get(), nullptr, nullptr, nullptr, 1024, rule_rows.out()),
              "rule rows");
        if (rule_rows.size() != 1)
            check(E_FAIL, "one rule");

        // Delete half of the spam again through the contents table.
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
        ULONG flags = LOGOFF_NO_WAIT;
        check(store->StoreLogoff(&flags), "logoff");
        session->Logoff(0, 0, 0);
    }
    MAPIUninitialize();
}

TEST_F(Concurrency, TwentySessionsAndAnotherLogonNeverSeeABusyStore) {
    ASSERT_EQ(admin_->AddMailboxes(kThreads, "user", "mail1"), S_OK);
    std::string store_dn = agent_.server_dn + "/cn=Microsoft Private MDB";
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 1; t <= kThreads; ++t) {
        std::string dn = "/o=Example/ou=Lab/cn=Recipients/cn=user" + std::to_string(t);
        threads.emplace_back(Worker, profile_, store_dn, dn, path_, &failures);
    }
    // Meanwhile another session logs on and off and reads the mailbox list.
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
