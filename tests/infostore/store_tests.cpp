// The store as the agent reaches it through MAPI: profile configuration,
// logon and sessions, the private store, administrative mailbox logon, the
// mailbox table, folders and messages.
#include <unistd.h>

#include <cstring>

#include "exchange_util/exchange_util.h"
#include "tests/infostore/support.h"

namespace storetest {
namespace {

constexpr FLAGS kAgentLogonFlags =
    MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE | MAPI_EXTENDED | MAPI_NO_MAIL | MAPI_NT_SERVICE;

std::string GlobalSectionText(const std::string& profile, ULONG tag) {
    Obj<IProfAdmin> admin;
    EXPECT_EQ(MAPIAdminProfiles(0, admin.out()), S_OK);
    Obj<IMsgServiceAdmin> services;
    std::string name = profile;
    EXPECT_EQ(admin->AdminServices(name.data(), nullptr, 0, 0, services.out()), S_OK);
    Obj<IProfSect> section;
    if (services)
        services->OpenProfileSection(const_cast<LPMAPIUID>(&pbGlobalProfileSectionGuid), nullptr, 0,
                                     section.out());
    Buf<SPropValue> value;
    if (!section || FAILED(HrGetOneProp(section.get(), tag, value.out())))
        return "<missing>";
    return value->Value.lpszA ? value->Value.lpszA : "<null>";
}

using StoreLogon = StoreTest;

TEST_F(StoreLogon, ConfigurationResolvesServerAndAliasAndNamesTheHomeServer) {
    EXPECT_EQ(GlobalSectionText(profile_, PR_PROFILE_HOME_SERVER_DN),
              "/o=Example/ou=Lab/cn=Configuration/cn=Servers/cn=mail1");
    // The home server is the mailbox's own, whichever server resolved it;
    // server and alias are matched without regard to case.
    std::string other = profile_ + "_other";
    ASSERT_EQ(MakeProfile(other, "CAROL", "MAIL1"), S_OK);
    EXPECT_EQ(GlobalSectionText(other, PR_PROFILE_HOME_SERVER_DN), carol_.server_dn);
    EXPECT_EQ(GlobalSectionText(other, PR_PROFILE_USER), carol_.dn);
    EXPECT_EQ(MakeProfile(other, "nobody", "mail1"), MAPI_E_NOT_FOUND);
    EXPECT_EQ(MakeProfile(other, "alice", "nosuchserver"), MAPI_E_UNCONFIGURED);
    // No server: this host, by its host name.
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof(host) - 1), 0);
    EXPECT_EQ(MakeProfile(other, "alice", nullptr), MAPI_E_UNCONFIGURED);
    ASSERT_EQ(admin_->AddServer(host), S_OK);
    EXPECT_EQ(MakeProfile(other, "alice", nullptr), S_OK);
    EXPECT_EQ(GlobalSectionText(other, PR_PROFILE_HOME_SERVER_DN), alice_.server_dn);
    DropProfile(other);
}

TEST_F(StoreLogon, SessionsEndOnceAndRefuseWhatTheyDoNotKnow) {
    char bad_profile[] = "no-such-profile";
    LPMAPISESSION session = reinterpret_cast<LPMAPISESSION>(0x1);
    EXPECT_EQ(MAPILogonEx(0, bad_profile, nullptr, kAgentLogonFlags, &session),
              MAPI_E_LOGON_FAILED);
    EXPECT_EQ(session, nullptr);
    std::string name = profile_;
    EXPECT_EQ(MAPILogonEx(0, name.data(), nullptr, 0x40000000, &session), MAPI_E_UNKNOWN_FLAGS);
    EXPECT_EQ(MAPILogonEx(0, name.data(), nullptr, kAgentLogonFlags | MAPI_UNICODE, &session),
              MAPI_E_BAD_CHARWIDTH);
    // A store opened through a session outlives its release without Logoff;
    // after Logoff the session refuses further calls, and a second Logoff
    // does no harm.
    ASSERT_EQ(Logon(profile_, &session), S_OK);
    Obj<IMAPITable> table;
    ASSERT_EQ(session->GetMsgStoresTable(0, table.out()), S_OK);
    Rows rows;
    SizedSPropTagArray<1> columns = {1, {PR_ENTRYID}};
    ASSERT_EQ(HrQueryAllRows(table.get(), columns.get(), nullptr, nullptr, 0, rows.out()), S_OK);
    const SBinary& id = rows[0].lpProps[0].Value.bin;
    Obj<IMsgStore> store;
    EXPECT_EQ(session->OpenMsgStore(0, id.cb, reinterpret_cast<LPENTRYID>(id.lpb), nullptr, 0x40000,
                                    store.out()),
              MAPI_E_UNKNOWN_FLAGS);
    ASSERT_EQ(session->OpenMsgStore(0, id.cb, reinterpret_cast<LPENTRYID>(id.lpb), nullptr,
                                    MAPI_BEST_ACCESS, store.out()),
              S_OK);
    session->Release();
    EXPECT_EQ(PropBytes(store.get(), PR_ENTRYID), Bytes(id));
    ASSERT_EQ(Logon(profile_, &session), S_OK);
    EXPECT_EQ(session->Logoff(0, 0, 0), S_OK);
    EXPECT_EQ(session->GetMsgStoresTable(0, table.out()), MAPI_E_END_OF_SESSION);
    EXPECT_EQ(session->Logoff(0, 0, 0), S_OK);
    session->Release();
}

TEST_F(StoreLogon, ThePrivateStoreAndAdministrativeMailboxLogon) {
    // The stores table holds the private store's row alone.
    Obj<IMAPITable> stores;
    ASSERT_EQ(session_->GetMsgStoresTable(0, stores.out()), S_OK);
    ULONG count = 0;
    ASSERT_EQ(stores->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 1u);
    LPMDB own = PrivateStore();
    ASSERT_NE(own, nullptr);
    Rows rows;

    // Alice's store through the administrative interface; its identifier
    // opens it again; the DN is matched without regard to case.
    Obj<IMsgStore> alice;
    ASSERT_EQ(OpenMailbox(alice_.dn, alice.out()), S_OK);
    std::vector<BYTE> alice_id = PropBytes(alice.get(), PR_ENTRYID);
    EXPECT_NE(alice_id, PropBytes(own, PR_ENTRYID));
    Obj<IMsgStore> again;
    ASSERT_EQ(session_->OpenMsgStore(0, static_cast<ULONG>(alice_id.size()),
                                     reinterpret_cast<LPENTRYID>(alice_id.data()), nullptr,
                                     MAPI_BEST_ACCESS, again.out()),
              S_OK);
    EXPECT_EQ(PropBytes(again.get(), PR_IPM_SUBTREE_ENTRYID), FolderId("alice", "/"));
    std::string upper = alice_.dn;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Obj<IMsgStore> none;
    EXPECT_EQ(OpenMailbox(upper, none.out()), S_OK);

    // Unknown mailboxes, the public store, and a mailbox of another server
    // under this server's store are not found; a cut identifier is invalid.
    EXPECT_EQ(OpenMailbox("/o=Example/ou=Lab/cn=Recipients/cn=nobody", none.out()),
              MAPI_E_NOT_FOUND);
    EXPECT_EQ(
        OpenMailbox("", none.out(),
                    OPENSTORE_USE_ADMIN_PRIVILEGE | OPENSTORE_TAKE_OWNERSHIP | OPENSTORE_PUBLIC),
        MAPI_E_NOT_FOUND);
    Obj<IExchangeManageStore> manage;
    ASSERT_EQ(own->QueryInterface(IID_IExchangeManageStore, reinterpret_cast<void**>(manage.out())),
              S_OK);
    std::string wrong_store = agent_.server_dn + "/cn=Microsoft Private MDB";
    std::string carol = carol_.dn;
    Buf<ENTRYID> entry;
    ULONG size = 0;
    ASSERT_EQ(manage->CreateStoreEntryID(wrong_store.data(), carol.data(), 9, &size, entry.out()),
              S_OK);
    EXPECT_EQ(session_->OpenMsgStore(0, size, entry.get(), nullptr, 0xB1, none.out()),
              MAPI_E_NOT_FOUND);
    EXPECT_EQ(session_->OpenMsgStore(0, size - 1, entry.get(), nullptr, 0xB1, none.out()),
              MAPI_E_INVALID_ENTRYID);
    EXPECT_EQ(OpenMailbox(carol_.dn, none.out()), S_OK);

    // The mailbox table: the server's mailboxes in order, by address and
    // name (a mailbox made without a name is named by its alias).
    ASSERT_EQ(admin_->AddMailboxes(2, "user", "mail1"), S_OK);
    std::string server = agent_.server_dn;
    Obj<IMAPITable> table;
    ASSERT_EQ(manage->GetMailboxTable(server.data(), table.out(), 0), S_OK);
    ASSERT_EQ(HrQueryAllRows(table.get(), nullptr, nullptr, nullptr, 0, rows.out()), S_OK);
    std::vector<std::string> listed;
    for (ULONG i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].cValues, 2u);
        LPSPropValue address = PpropFindProp(rows[i].lpProps, 2, PR_EMAIL_ADDRESS_A);
        LPSPropValue name = PpropFindProp(rows[i].lpProps, 2, PR_DISPLAY_NAME);
        ASSERT_TRUE(address && name);
        listed.push_back(std::string(address->Value.lpszA) + "|" + name->Value.lpszA);
    }
    const std::string r = "/o=Example/ou=Lab/cn=Recipients/cn=";
    EXPECT_EQ(listed,
              (std::vector<std::string>{r + "agent|Sortwell Agent", r + "alice|Alice",
                                        r + "bob|Bob", r + "user1|user1", r + "user2|user2"}));
    server = carol_.server_dn;
    ASSERT_EQ(manage->GetMailboxTable(server.data(), table.out(), 0), S_OK);
    ASSERT_EQ(HrQueryAllRows(table.get(), nullptr, nullptr, nullptr, 0, rows.out()), S_OK);
    EXPECT_EQ(rows.size(), 1u);
    server = "/o=Example/ou=Lab/cn=Configuration/cn=Servers/cn=mail9";
    EXPECT_EQ(manage->GetMailboxTable(server.data(), table.out(), 0), MAPI_E_NOT_FOUND);
}

TEST_F(StoreLogon, WhatIsOpenedWithoutWriteAccessRefusesEveryChange) {
    // Another mailbox needs administrative privilege; without ownership the
    // logon may read only: MAPI_MODIFY is refused, MAPI_BEST_ACCESS reads.
    Obj<IMsgStore> store, full;
    EXPECT_EQ(OpenMailbox(alice_.dn, store.out(), OPENSTORE_TAKE_OWNERSHIP), MAPI_E_NO_ACCESS);
    ASSERT_EQ(OpenMailbox(alice_.dn, store.out(), OPENSTORE_USE_ADMIN_PRIVILEGE), S_OK);
    Obj<IMAPIFolder> folder;
    ULONG type = 0;
    std::vector<BYTE> inbox_id = FolderId("alice", "Inbox");
    auto open = [&](IMsgStore* from, ULONG flags) {
        return from->OpenEntry(static_cast<ULONG>(inbox_id.size()),
                               reinterpret_cast<LPENTRYID>(inbox_id.data()), nullptr, flags, &type,
                               folder.unk());
    };
    EXPECT_EQ(open(store.get(), MAPI_MODIFY), MAPI_E_NO_ACCESS);
    ASSERT_EQ(OpenMailbox(alice_.dn, full.out()), S_OK);
    // A folder opened read-only, directly or through a read-only logon, its
    // rules and a message opened read-only refuse every change; the same
    // folder opened for writing (or with best access) takes them.
    SPropValue name{};
    name.ulPropTag = PR_DISPLAY_NAME_W;
    name.Value.lpszW = const_cast<char16_t*>(u"Inbox"); // saved, it changes nothing
    ROWLIST none = {0, {}};
    for (const auto& [from, flags, writes] :
         {std::tuple{store.get(), ULONG{MAPI_BEST_ACCESS}, false},
          std::tuple{full.get(), ULONG{0}, false}, std::tuple{full.get(), ULONG{MAPI_MODIFY}, true},
          std::tuple{full.get(), ULONG{MAPI_BEST_ACCESS}, true}}) {
        SCOPED_TRACE(testing::Message()
                     << "flags " << flags << (from == full.get() ? "" : " read-only logon"));
        const HRESULT want = writes ? S_OK : MAPI_E_NO_ACCESS;
        ASSERT_EQ(open(from, flags), S_OK);
        Obj<IMAPIFolder> made;
        Obj<IMessage> message;
        char sub[] = "Sub";
        EXPECT_EQ(
            folder->CreateFolder(FOLDER_GENERIC, sub, nullptr, nullptr, OPEN_IF_EXISTS, made.out()),
            want);
        EXPECT_EQ(folder->CreateMessage(nullptr, 0, message.out()), want);
        EXPECT_EQ(folder->SetProps(1, &name, nullptr), want);
        EXPECT_EQ(folder->SaveChanges(KEEP_OPEN_READWRITE), want);
        SBinary nothing = {0, nullptr};
        ENTRYLIST list = {1, &nothing};
        EXPECT_EQ(folder->DeleteMessages(&list, 0, nullptr, 0),
                  writes ? MAPI_E_NOT_FOUND : MAPI_E_NO_ACCESS);
        Obj<IExchangeModifyTable> rules;
        EXPECT_EQ(folder->OpenProperty(PR_RULES_TABLE, &IID_IExchangeModifyTable, 0, MAPI_MODIFY,
                                       rules.unk()),
                  want);
        ASSERT_EQ(folder->OpenProperty(PR_RULES_TABLE, &IID_IExchangeModifyTable, 0,
                                       MAPI_DEFERRED_ERRORS, rules.unk()),
                  S_OK);
        EXPECT_EQ(rules->ModifyTable(0, &none), want);
    }
    Deliver("alice", "kept", "");
    std::vector<BYTE> message_id = Messages("alice", "Inbox").at(0).entry_id;
    Obj<IMessage> message;
    ASSERT_EQ(full->OpenEntry(static_cast<ULONG>(message_id.size()),
                              reinterpret_cast<LPENTRYID>(message_id.data()), nullptr, 0, &type,
                              message.unk()),
              S_OK);
    EXPECT_EQ(message->SetProps(1, &name, nullptr), MAPI_E_NO_ACCESS);
    EXPECT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_NO_ACCESS);
}

using StoreFolders = StoreTest;

TEST_F(StoreFolders, FoldersAreMadeOpenedOrCollideWithoutRegardToCase) {
    Obj<IMsgStore> store;
    ASSERT_EQ(OpenMailbox(alice_.dn, store.out()), S_OK);
    // No identifier: the root folder; another mailbox's folder is not in it.
    Obj<IMAPIFolder> root, foreign;
    ULONG type = 0;
    ASSERT_EQ(store->OpenEntry(0, nullptr, nullptr, 9, &type, root.unk()), S_OK);
    EXPECT_EQ(type, MAPI_FOLDER);
    std::vector<BYTE> bobs = FolderId("bob", "Inbox");
    EXPECT_EQ(root->OpenEntry(static_cast<ULONG>(bobs.size()),
                              reinterpret_cast<LPENTRYID>(bobs.data()), nullptr, 9, &type,
                              foreign.unk()),
              MAPI_E_NOT_FOUND);

    Obj<IMAPIFolder> top, spam, again;
    ASSERT_EQ(OpenFolder(store.get(), "alice", "/", top.out()), S_OK);
    char name[] = "Spam", upper[] = "SPAM", lower[] = "ärger", empty[] = "";
    ASSERT_EQ(top->CreateFolder(FOLDER_GENERIC, name, nullptr, nullptr, 0, spam.out()), S_OK);
    ASSERT_EQ(spam->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    std::vector<BYTE> id = PropBytes(spam.get(), PR_ENTRYID);
    EXPECT_EQ(id, FolderId("alice", "Spam"));
    EXPECT_EQ(top->CreateFolder(FOLDER_GENERIC, upper, nullptr, nullptr, 0, again.out()),
              MAPI_E_COLLISION);
    EXPECT_FALSE(again);
    ASSERT_EQ(
        top->CreateFolder(FOLDER_GENERIC, upper, nullptr, nullptr, OPEN_IF_EXISTS, again.out()),
        S_OK);
    EXPECT_EQ(PropBytes(again.get(), PR_ENTRYID), id);
    // Wide names with MAPI_UNICODE; case folding beyond ASCII.
    char16_t wide[] = u"Ärger";
    ASSERT_EQ(top->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPSTR>(wide), nullptr, nullptr,
                                MAPI_UNICODE, again.out()),
              S_OK);
    EXPECT_EQ(top->CreateFolder(FOLDER_GENERIC, lower, nullptr, nullptr, 0, again.out()),
              MAPI_E_COLLISION);
    EXPECT_EQ(top->CreateFolder(FOLDER_GENERIC, empty, nullptr, nullptr, 0, again.out()),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(top->CreateFolder(FOLDER_SEARCH, name, nullptr, nullptr, 0, again.out()),
              MAPI_E_NO_SUPPORT);

    // A deleted folder's identifier no longer opens and its open object
    // reports the deletion; a new folder of the name gets a new identifier.
    ASSERT_EQ(admin_->DeleteFolder("alice", "spam"), S_OK);
    EXPECT_EQ(store->OpenEntry(static_cast<ULONG>(id.size()),
                               reinterpret_cast<LPENTRYID>(id.data()), nullptr, MAPI_BEST_ACCESS,
                               &type, again.unk()),
              MAPI_E_NOT_FOUND);
    EXPECT_EQ(spam->CreateFolder(FOLDER_GENERIC, name, nullptr, nullptr, 0, again.out()),
              MAPI_E_OBJECT_DELETED);
    ASSERT_EQ(top->CreateFolder(FOLDER_GENERIC, name, nullptr, nullptr, 0, again.out()), S_OK);
    EXPECT_NE(FolderId("alice", "Spam"), id);
}

TEST_F(StoreFolders, MessagesAreDeletedByEntryListWithPartialCompletionReported) {
    Obj<IMsgStore> store;
    ASSERT_EQ(OpenMailbox(alice_.dn, store.out()), S_OK);
    Obj<IMAPIFolder> inbox;
    ASSERT_EQ(OpenFolder(store.get(), "alice", "Inbox", inbox.out()), S_OK);
    for (const char* subject : {"first", "second", "third"})
        Deliver("alice", subject, "");
    Obj<IMAPITable> contents;
    ASSERT_EQ(inbox->GetContentsTable(0, contents.out()), S_OK);
    SizedSPropTagArray<2> columns = {2, {PR_ENTRYID, PR_SUBJECT}};
    Rows rows;
    ASSERT_EQ(HrQueryAllRows(contents.get(), columns.get(), nullptr, nullptr, 0, rows.out()), S_OK);
    ASSERT_EQ(rows.size(), 3u);
    SBinary first = rows[0].lpProps[0].Value.bin;
    ENTRYLIST one = {1, &first};
    ASSERT_EQ(inbox->DeleteMessages(&one, 0, nullptr, 0), S_OK);
    SBinary both[2] = {rows[0].lpProps[0].Value.bin, rows[2].lpProps[0].Value.bin};
    ENTRYLIST two = {2, both};
    EXPECT_EQ(inbox->DeleteMessages(&two, 0, nullptr, 0), MAPI_W_PARTIAL_COMPLETION);
    EXPECT_EQ(inbox->DeleteMessages(&one, 0, nullptr, 0), MAPI_E_NOT_FOUND);
    ASSERT_EQ(Messages("alice", "Inbox").size(), 1u);
    EXPECT_EQ(Messages("alice", "Inbox")[0].subject, "second");
}

} // namespace
} // namespace storetest
