// The store as the agent reaches it through MAPI: profile configuration,
// logon, the private store, administrative mailbox logon, folders and
// messages.
#include <unistd.h>

#include <cstring>

#include "tests/infostore/support.h"

namespace storetest {
namespace {

const BYTE kPrivateProvider[16] = {0x54, 0x94, 0xA1, 0xC0, 0x29, 0x7F, 0x10, 0x1B,
                                   0xA5, 0x87, 0x08, 0x00, 0x2B, 0x2A, 0x25, 0x17};

std::string GlobalSectionText(const std::string& profile, ULONG tag) {
    Obj<IProfAdmin> admin;
    EXPECT_EQ(MAPIAdminProfiles(0, admin.out()), S_OK);
    Obj<IMsgServiceAdmin> services;
    std::string name = profile;
    EXPECT_EQ(admin->AdminServices(name.data(), nullptr, 0, 0, services.out()), S_OK);
    if (!services)
        return {};
    Obj<IProfSect> section;
    EXPECT_EQ(services->OpenProfileSection(const_cast<LPMAPIUID>(&pbGlobalProfileSectionGuid),
                                           nullptr, 0, section.out()),
              S_OK);
    Buf<SPropValue> value;
    if (!section || FAILED(HrGetOneProp(section.get(), tag, value.out())))
        return "<missing>";
    return value->Value.lpszA ? value->Value.lpszA : "<null>";
}

using StoreLogon = StoreTest;

TEST_F(StoreLogon, ConfigurationResolvesServerAndAliasAndNamesTheHomeServer) {
    // The agent's profile: its home server's DN went into the global section.
    EXPECT_EQ(GlobalSectionText(profile_, PR_PROFILE_HOME_SERVER_DN), agent_.server_dn);
    EXPECT_EQ(agent_.server_dn, "/o=Example/ou=Lab/cn=Configuration/cn=Servers/cn=mail1");

    // The home server is the mailbox's own, whichever server resolved it;
    // server and alias are matched without regard to case, a bare alias
    // is accepted as well as "=alias".
    std::string other = profile_ + "_other";
    ASSERT_EQ(MakeProfile(other, "CAROL", "MAIL1"), S_OK);
    EXPECT_EQ(GlobalSectionText(other, PR_PROFILE_HOME_SERVER_DN), carol_.server_dn);
    EXPECT_EQ(GlobalSectionText(other, PR_PROFILE_USER), carol_.dn);

    // Unknown names.
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

TEST_F(StoreLogon, ThePrivateStoreAndAdministrativeMailboxLogon) {
    // The stores table holds the private store's row.
    Obj<IMAPITable> stores;
    ASSERT_EQ(session_->GetMsgStoresTable(0, stores.out()), S_OK);
    Rows rows;
    SizedSPropTagArray<2> columns = {2, {PR_ENTRYID, PR_MDB_PROVIDER}};
    ASSERT_EQ(HrQueryAllRows(stores.get(), columns.get(), nullptr, nullptr, 0, rows.out()), S_OK);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(Bytes(rows[0].lpProps[1].Value.bin),
              std::vector<BYTE>(kPrivateProvider, kPrivateProvider + 16));

    LPMDB own = PrivateStore();
    ASSERT_NE(own, nullptr);
    Buf<SPropValue> own_id;
    ASSERT_EQ(HrGetOneProp(own, PR_ENTRYID, own_id.out()), S_OK);
    EXPECT_EQ(Bytes(own_id->Value.bin), Bytes(rows[0].lpProps[0].Value.bin));

    // Alice's store through the administrative interface.
    Obj<IMsgStore> alice;
    ASSERT_EQ(OpenMailbox(alice_.dn, alice.out()), S_OK);
    Buf<SPropValue> alice_id;
    ASSERT_EQ(HrGetOneProp(alice.get(), PR_ENTRYID, alice_id.out()), S_OK);
    EXPECT_NE(Bytes(alice_id->Value.bin), Bytes(own_id->Value.bin));
    Obj<IMsgStore> again;
    ASSERT_EQ(session_->OpenMsgStore(0, alice_id->Value.bin.cb,
                                     reinterpret_cast<LPENTRYID>(alice_id->Value.bin.lpb), nullptr,
                                     MAPI_BEST_ACCESS, again.out()),
              S_OK);
    Buf<SPropValue> subtree;
    ASSERT_EQ(HrGetOneProp(again.get(), PR_IPM_SUBTREE_ENTRYID, subtree.out()), S_OK);
    EXPECT_EQ(Bytes(subtree->Value.bin), FolderId("alice", "/"));

    // Mailboxes that do not exist, mailboxes of another server under this
    // server's store, and the public store are not found; the DN is matched
    // without regard to case.
    Obj<IMsgStore> none;
    EXPECT_EQ(OpenMailbox("/o=Example/ou=Lab/cn=Recipients/cn=nobody", none.out()),
              MAPI_E_NOT_FOUND);
    std::string upper = alice_.dn;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(OpenMailbox(upper, none.out()), S_OK);
    EXPECT_EQ(
        OpenMailbox("", none.out(),
                    OPENSTORE_USE_ADMIN_PRIVILEGE | OPENSTORE_TAKE_OWNERSHIP | OPENSTORE_PUBLIC),
        MAPI_E_NOT_FOUND);
    {
        Obj<IExchangeManageStore> manage;
        ASSERT_EQ(
            own->QueryInterface(IID_IExchangeManageStore, reinterpret_cast<void**>(manage.out())),
            S_OK);
        std::string wrong_store = agent_.server_dn + "/cn=Microsoft Private MDB";
        std::string carol = carol_.dn;
        Buf<ENTRYID> entry;
        ULONG size = 0;
        ASSERT_EQ(
            manage->CreateStoreEntryID(wrong_store.data(), carol.data(), 9, &size, entry.out()),
            S_OK);
        EXPECT_EQ(session_->OpenMsgStore(0, size, entry.get(), nullptr, 0xB1, none.out()),
                  MAPI_E_NOT_FOUND);
        // An identifier that is not a store's, and one cut short.
        EXPECT_EQ(session_->OpenMsgStore(0, size - 1, entry.get(), nullptr, 0xB1, none.out()),
                  MAPI_E_INVALID_ENTRYID);
    }
    EXPECT_EQ(OpenMailbox(carol_.dn, none.out()), S_OK);
    // A store answers nothing it is not.
    void* nothing = nullptr;
    EXPECT_EQ(own->QueryInterface(IID_IMAPIFolder, &nothing), MAPI_E_INTERFACE_NOT_SUPPORTED);
    EXPECT_EQ(nothing, nullptr);
}

TEST_F(StoreLogon, TheMailboxTableListsTheServersMailboxesInOrder) {
    Obj<IExchangeManageStore> manage;
    ASSERT_EQ(PrivateStore()->QueryInterface(IID_IExchangeManageStore,
                                             reinterpret_cast<void**>(manage.out())),
              S_OK);
    ASSERT_EQ(admin_->AddMailboxes(3, "user", "mail1"), S_OK);
    std::string server = agent_.server_dn;
    Obj<IMAPITable> table;
    ASSERT_EQ(manage->GetMailboxTable(server.data(), table.out(), 0), S_OK);
    Rows rows;
    ASSERT_EQ(HrQueryAllRows(table.get(), nullptr, nullptr, nullptr, 0, rows.out()), S_OK);
    std::vector<std::string> addresses, names;
    for (ULONG i = 0; i < rows.size(); ++i) {
        LPSPropValue address = PpropFindProp(rows[i].lpProps, rows[i].cValues, PR_EMAIL_ADDRESS_A);
        LPSPropValue name = PpropFindProp(rows[i].lpProps, rows[i].cValues, PR_DISPLAY_NAME);
        ASSERT_NE(address, nullptr);
        ASSERT_NE(name, nullptr);
        addresses.push_back(address->Value.lpszA);
        names.push_back(name->Value.lpszA);
    }
    const std::string r = "/o=Example/ou=Lab/cn=Recipients/cn=";
    EXPECT_EQ(addresses, (std::vector<std::string>{r + "agent", r + "alice", r + "bob", r + "user1",
                                                   r + "user2", r + "user3"}));
    EXPECT_EQ(names[1], "Alice");
    EXPECT_EQ(names[3], "user1"); // a mailbox made without a name is named by its alias
    // Just the address and the name unless other columns are asked for.
    EXPECT_EQ(rows[0].cValues, 2u);

    // The store entry identifier on request, the same CreateStoreEntryID
    // makes; restrictions and pages work over the whole list.
    SizedSPropTagArray<2> cols = {2, {PR_ENTRYID, PR_EMAIL_ADDRESS_A}};
    SPropValue pattern{};
    pattern.ulPropTag = PR_EMAIL_ADDRESS_A;
    pattern.Value.lpszA = const_cast<char*>("cn=USER");
    SRestriction users{};
    users.rt = RES_CONTENT;
    users.res.resContent = {FL_SUBSTRING | FL_IGNORECASE, PR_EMAIL_ADDRESS_A, &pattern};
    ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
    ASSERT_EQ(table->Restrict(&users, 0), S_OK);
    ULONG count = 0;
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 3u);
    ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 1, nullptr), S_OK);
    ASSERT_EQ(table->QueryRows(5, 0, rows.out()), S_OK);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_STREQ(rows[1].lpProps[1].Value.lpszA, (r + "user3").c_str());
    std::string store_dn = agent_.server_dn + "/cn=Microsoft Private MDB";
    std::string user3 = r + "user3";
    Buf<ENTRYID> made;
    ULONG made_size = 0;
    ASSERT_EQ(manage->CreateStoreEntryID(store_dn.data(), user3.data(), 0, &made_size, made.out()),
              S_OK);
    ASSERT_EQ(rows[1].lpProps[0].ulPropTag, PR_ENTRYID);
    EXPECT_EQ(Bytes(rows[1].lpProps[0].Value.bin), Bytes(made_size, made.get()));

    // Carol lives on the other server; an unknown server is not found.
    server = carol_.server_dn;
    ASSERT_EQ(manage->GetMailboxTable(server.data(), table.out(), 0), S_OK);
    ASSERT_EQ(HrQueryAllRows(table.get(), nullptr, nullptr, nullptr, 0, rows.out()), S_OK);
    ASSERT_EQ(rows.size(), 1u);
    server = "/o=Example/ou=Lab/cn=Configuration/cn=Servers/cn=mail9";
    EXPECT_EQ(manage->GetMailboxTable(server.data(), table.out(), 0), MAPI_E_NOT_FOUND);
}

using StoreFolders = StoreTest;

TEST_F(StoreFolders, RootTopFolderInboxAndTheHierarchy) {
    Obj<IMsgStore> store;
    ASSERT_EQ(OpenMailbox(alice_.dn, store.out()), S_OK);
    // No identifier: the root folder.
    Obj<IMAPIFolder> root;
    ULONG type = 0;
    ASSERT_EQ(store->OpenEntry(0, nullptr, nullptr, 9, &type, root.unk()), S_OK);
    EXPECT_EQ(type, MAPI_FOLDER);
    // The receive folder of "IPM" is the Inbox; the identifier is a buffer
    // of the caller's.
    ULONG size = 0;
    Buf<ENTRYID> inbox_id;
    char ipm[] = "IPM";
    ASSERT_EQ(store->GetReceiveFolder(ipm, 0, &size, inbox_id.out(), nullptr), S_OK);
    EXPECT_EQ(Bytes(size, inbox_id.get()), FolderId("alice", "Inbox"));
    // Folders open through the root and through the store, with flags 9 and
    // MAPI_BEST_ACCESS alike.
    Obj<IMAPIFolder> inbox;
    ASSERT_EQ(root->OpenEntry(size, inbox_id.get(), nullptr, 9, &type, inbox.unk()), S_OK);
    Obj<IMAPIFolder> inbox2;
    ASSERT_EQ(store->OpenEntry(size, inbox_id.get(), &IID_IMAPIFolder, MAPI_BEST_ACCESS, &type,
                               inbox2.unk()),
              S_OK);
    Buf<SPropValue> name;
    ASSERT_EQ(HrGetOneProp(inbox2.get(), PR_DISPLAY_NAME_W, name.out()), S_OK);
    EXPECT_EQ(std::u16string(name->Value.lpszW), u"Inbox");

    // The top folder's hierarchy: direct children only, in creation order.
    Obj<IMAPIFolder> top;
    ASSERT_EQ(OpenFolder(store.get(), "alice", "/", top.out()), S_OK);
    ASSERT_EQ(admin_->CreateFolder("alice", "Inbox/Deep"), S_OK);
    ASSERT_EQ(admin_->CreateFolder("alice", "Junk"), S_OK);
    Obj<IMAPITable> hierarchy;
    ASSERT_EQ(top->GetHierarchyTable(MAPI_UNICODE | MAPI_DEFERRED_ERRORS, hierarchy.out()), S_OK);
    Rows rows;
    SizedSPropTagArray<2> columns = {2, {PR_DISPLAY_NAME_W, PR_ENTRYID}};
    ASSERT_EQ(HrQueryAllRows(hierarchy.get(), columns.get(), nullptr, nullptr, 0, rows.out()),
              S_OK);
    std::vector<std::u16string> names;
    for (ULONG i = 0; i < rows.size(); ++i)
        names.push_back(rows[i].lpProps[0].Value.lpszW);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Inbox", u"Outbox", u"Sent Items",
                                                  u"Deleted Items", u"Drafts", u"Junk"}));
    EXPECT_EQ(Bytes(rows[5].lpProps[1].Value.bin), FolderId("alice", "Junk"));

    // Another mailbox's folder is not in this store.
    std::vector<BYTE> bobs = FolderId("bob", "Inbox");
    Obj<IMAPIFolder> foreign;
    EXPECT_EQ(root->OpenEntry(static_cast<ULONG>(bobs.size()),
                              reinterpret_cast<LPENTRYID>(bobs.data()), nullptr, 9, &type,
                              foreign.unk()),
              MAPI_E_NOT_FOUND);
}

TEST_F(StoreFolders, CreateFolderOpensOrCollidesWithoutRegardToCase) {
    Obj<IMsgStore> store;
    ASSERT_EQ(OpenMailbox(alice_.dn, store.out()), S_OK);
    Obj<IMAPIFolder> top;
    ASSERT_EQ(OpenFolder(store.get(), "alice", "/", top.out()), S_OK);

    Obj<IMAPIFolder> spam;
    char name[] = "Spam";
    ASSERT_EQ(top->CreateFolder(FOLDER_GENERIC, name, nullptr, nullptr, 0, spam.out()), S_OK);
    ASSERT_EQ(spam->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    Buf<SPropValue> id;
    ASSERT_EQ(HrGetOneProp(spam.get(), PR_ENTRYID, id.out()), S_OK);
    EXPECT_EQ(Bytes(id->Value.bin), FolderId("alice", "Spam"));

    // Another case: a collision, or the same folder with OPEN_IF_EXISTS.
    Obj<IMAPIFolder> again;
    char upper[] = "SPAM";
    EXPECT_EQ(top->CreateFolder(FOLDER_GENERIC, upper, nullptr, nullptr, 0, again.out()),
              MAPI_E_COLLISION);
    EXPECT_FALSE(again);
    ASSERT_EQ(
        top->CreateFolder(FOLDER_GENERIC, upper, nullptr, nullptr, OPEN_IF_EXISTS, again.out()),
        S_OK);
    Buf<SPropValue> same;
    ASSERT_EQ(HrGetOneProp(again.get(), PR_ENTRYID, same.out()), S_OK);
    EXPECT_EQ(Bytes(same->Value.bin), Bytes(id->Value.bin));
    // Wide names with MAPI_UNICODE; case folding beyond ASCII.
    char16_t wide[] = u"Ärger";
    Obj<IMAPIFolder> folded;
    ASSERT_EQ(top->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPSTR>(wide), nullptr, nullptr,
                                MAPI_UNICODE, folded.out()),
              S_OK);
    char lower[] = "ärger";
    EXPECT_EQ(top->CreateFolder(FOLDER_GENERIC, lower, nullptr, nullptr, 0, again.out()),
              MAPI_E_COLLISION);

    std::vector<infostore::FolderInfo> folders;
    ASSERT_EQ(admin_->ListFolders("alice", &folders), S_OK);
    int spams = 0;
    for (const auto& f : folders)
        spams += f.path == "Spam";
    EXPECT_EQ(spams, 1);
    // Bad requests.
    char empty[] = "";
    EXPECT_EQ(top->CreateFolder(FOLDER_GENERIC, empty, nullptr, nullptr, 0, again.out()),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(top->CreateFolder(FOLDER_SEARCH, name, nullptr, nullptr, 0, again.out()),
              MAPI_E_NO_SUPPORT);

    // A deleted folder's identifier no longer opens, through the store or
    // the root, and its open object reports the deletion.
    ASSERT_EQ(admin_->DeleteFolder("alice", "spam"), S_OK);
    Obj<IMAPIFolder> gone;
    ULONG type = 0;
    EXPECT_EQ(store->OpenEntry(id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb),
                               nullptr, MAPI_BEST_ACCESS, &type, gone.unk()),
              MAPI_E_NOT_FOUND);
    EXPECT_EQ(spam->CreateFolder(FOLDER_GENERIC, name, nullptr, nullptr, 0, again.out()),
              MAPI_E_OBJECT_DELETED);
    // A new folder of the same name gets a new identifier.
    ASSERT_EQ(top->CreateFolder(FOLDER_GENERIC, name, nullptr, nullptr, 0, again.out()), S_OK);
    EXPECT_NE(FolderId("alice", "Spam"), Bytes(id->Value.bin));
}

TEST_F(StoreFolders, MessagesExistFromSaveChangesAndAreDeletedByEntryList) {
    Obj<IMsgStore> store;
    ASSERT_EQ(OpenMailbox(alice_.dn, store.out()), S_OK);
    Obj<IMAPIFolder> inbox;
    ASSERT_EQ(OpenFolder(store.get(), "alice", "Inbox", inbox.out()), S_OK);

    Obj<IMessage> message;
    ASSERT_EQ(inbox->CreateMessage(nullptr, MAPI_DEFERRED_ERRORS, message.out()), S_OK);
    SPropValue values[2] = {};
    values[0].ulPropTag = PR_BODY;
    values[0].Value.lpszA = const_cast<char*>("Line one.\nLine two.");
    values[1].ulPropTag = PR_SUBJECT;
    values[1].Value.lpszA = const_cast<char*>("Report");
    ASSERT_EQ(message->SetProps(2, values, nullptr), S_OK);
    EXPECT_TRUE(Messages("alice", "Inbox").empty());
    ASSERT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    std::vector<infostore::MessageInfo> saved = Messages("alice", "Inbox");
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].subject, "Report");
    EXPECT_EQ(saved[0].body, "Line one.\nLine two.");
    EXPECT_TRUE(saved[0].delivery_time.has_value());

    Deliver("alice", "first", "");
    Deliver("alice", "second", "");
    Obj<IMAPITable> contents;
    ASSERT_EQ(inbox->GetContentsTable(0, contents.out()), S_OK);
    SizedSPropTagArray<3> columns = {3, {PR_ENTRYID, PR_MESSAGE_DELIVERY_TIME, PR_SUBJECT}};
    Rows rows;
    ASSERT_EQ(HrQueryAllRows(contents.get(), columns.get(), nullptr, nullptr, 0, rows.out()), S_OK);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_STREQ(rows[1].lpProps[2].Value.lpszA, "first");
    EXPECT_EQ(PROP_TYPE(rows[1].lpProps[1].ulPropTag), PT_SYSTIME);

    // One entry, then a list of two of which one is already gone.
    SBinary first = rows[0].lpProps[0].Value.bin;
    ENTRYLIST one = {1, &first};
    ASSERT_EQ(inbox->DeleteMessages(&one, 0, nullptr, 0), S_OK);
    SBinary both[2] = {rows[0].lpProps[0].Value.bin, rows[2].lpProps[0].Value.bin};
    ENTRYLIST two = {2, both};
    EXPECT_EQ(inbox->DeleteMessages(&two, 0, nullptr, 0), MAPI_W_PARTIAL_COMPLETION);
    EXPECT_EQ(inbox->DeleteMessages(&one, 0, nullptr, 0), MAPI_E_NOT_FOUND);
    ASSERT_EQ(Messages("alice", "Inbox").size(), 1u);
    EXPECT_EQ(Messages("alice", "Inbox")[0].subject, "first");

    // A message of this folder opens from its identifier and reads back.
    Obj<IMessage> opened;
    ULONG type = 0;
    const SBinary& kept = rows[1].lpProps[0].Value.bin;
    ASSERT_EQ(inbox->OpenEntry(kept.cb, reinterpret_cast<LPENTRYID>(kept.lpb), nullptr, 0, &type,
                               opened.unk()),
              S_OK);
    EXPECT_EQ(type, MAPI_MESSAGE);
    Buf<SPropValue> headers;
    ASSERT_EQ(HrGetOneProp(opened.get(), PR_TRANSPORT_MESSAGE_HEADERS, headers.out()), S_OK);
    EXPECT_EQ(std::string(headers->Value.lpszA), "From: sender@example.net\r\nSubject: first\r\n");
}

} // namespace
} // namespace storetest
