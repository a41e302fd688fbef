// Store, mailbox and folder lookups, and mailbox logon with its folders,
// against the embedded store.
#include "tests/mailstore/fakes.h"
#include "tests/support/store_fixture.h"

namespace testing_store {
namespace {

using Lookup = StoreTest;

std::vector<BYTE> Bytes(ULONG size, LPENTRYID id) {
    std::vector<BYTE> bytes(id->abFlags, id->abFlags + size);
    MAPIFreeBuffer(id);
    return bytes;
}

TEST_F(Lookup, PrivateStoreByProviderAndItsFailures) {
    LPMDB store = reinterpret_cast<LPMDB>(this);
    MAPIUID other = PRIVATE_STORE_PROVIDER_UID;
    other.ab[15] ^= 0xFF;
    EXPECT_EQ(HrOpenStoreByProvider(session_, &other, &store), UTIL_E_NOT_FOUND);
    EXPECT_EQ(store, nullptr) << "cleared first";
    EXPECT_EQ(HrOpenStoreByProvider(session_, nullptr, &store), E_INVALIDARG);

    Fault("IMAPISession::OpenMsgStore", MAPI_W_ERRORS_RETURNED, 1);
    EXPECT_EQ(HrOpenStoreByProvider(session_, &PRIVATE_STORE_PROVIDER_UID, &store), S_OK)
        << "a warning from the open is not passed on";
    ASSERT_NE(store, nullptr);
    store->Release();
    Fault("IMAPISession::OpenMsgStore", MAPI_E_NO_ACCESS, 1);
    EXPECT_EQ(HrOpenStoreByProvider(session_, &PRIVATE_STORE_PROVIDER_UID, &store), E_FAIL);
    EXPECT_EQ(store, nullptr);
}

// How each result of the open is turned into the library's codes is the
// logon flags tests' business; here the real store's answer for a mailbox
// it does not know.
TEST_F(Lookup, UnknownMailboxIsNotFound) {
    LPMDB store = nullptr;
    std::string store_dn = A(store_dn_);
    std::string nobody = "/o=Altavane/ou=Lab/cn=Recipients/cn=nobody";
    EXPECT_EQ(HrMailboxLogon(session_, private_store_, store_dn.data(), nobody.data(), &store),
              UTIL_E_NOT_FOUND);
    EXPECT_EQ(store, nullptr);
}

TEST_F(Lookup, SubtreeAndInboxIdentifiersAndTheirNotFoundCodes) {
    Mailbox box;
    Open(alice_, &box);
    ULONG size = 99;
    LPENTRYID id = reinterpret_cast<LPENTRYID>(this);
    ASSERT_EQ(HrMAPIFindIPMSubtree(box.store, &size, &id), S_OK);
    EXPECT_EQ(Bytes(size, id), FolderId("/"));
    ASSERT_EQ(HrMAPIFindInbox(box.store, &size, &id), S_OK);
    EXPECT_EQ(Bytes(size, id), FolderId("Inbox"));
    EXPECT_EQ(EntryId(box.inbox), FolderId("Inbox"));

    // A warning from GetProps is a failure unless it reports the missing
    // property; any failure becomes E_FAIL.
    Fault("IMsgStore::GetProps", MAPI_W_ERRORS_RETURNED, 1);
    EXPECT_EQ(HrMAPIFindIPMSubtree(box.store, &size, &id), E_FAIL);
    Fault("IMsgStore::GetProps", MAPI_E_NO_ACCESS, 1);
    EXPECT_EQ(HrMAPIFindIPMSubtree(box.store, &size, &id), E_FAIL);
    Fault("IMsgStore::GetReceiveFolder", MAPI_E_NO_ACCESS, 1);
    EXPECT_EQ(HrMAPIFindInbox(box.store, &size, &id), E_FAIL);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(HrMAPIFindInbox(box.store, nullptr, &id), E_INVALIDARG);
    EXPECT_EQ(HrMAPIFindIPMSubtree(nullptr, &size, &id), E_FAIL);

    // Missing folders: the store's own not-found code, passed through.
    ASSERT_EQ(admin_->DeleteFolder(alice_.alias, "Inbox"), S_OK);
    EXPECT_EQ(HrMAPIFindInbox(box.store, &size, &id), MAPI_E_NOT_FOUND);
    ASSERT_EQ(admin_->DeleteFolder(alice_.alias, "/"), S_OK);
    size = 7;
    EXPECT_EQ(HrMAPIFindIPMSubtree(box.store, &size, &id), MAPI_E_NOT_FOUND);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(id, nullptr);
    LPMAPIFOLDER folder = nullptr;
    EXPECT_EQ(mapi_OpenMailboxFolder(box.store, nullptr, &folder), MAPI_E_NOT_FOUND);
    EXPECT_EQ(folder, nullptr);
    Close(&box);
}

TEST_F(Lookup, FindFolderTakesTheFirstCaseInsensitiveMatchAmongDirectChildrenOnly) {
    for (const char* path : {"Junk", "Spam", "Archive", "Archive/Quarantine", "SPAM2"})
        ASSERT_EQ(admin_->CreateFolder(alice_.alias, path), S_OK) << path;
    Mailbox box;
    Open(alice_, &box);
    LPMAPIFOLDER top = nullptr;
    ASSERT_EQ(mapi_OpenMailboxFolder(box.store, nullptr, &top), S_OK);
    EXPECT_EQ(EntryId(top), FolderId("/"));

    ULONG size = 5;
    LPENTRYID id = reinterpret_cast<LPENTRYID>(this);
    ASSERT_EQ(HrMAPIFindFolder(top, u"SPAM", &size, &id), S_OK);
    EXPECT_EQ(Bytes(size, id), FolderId("Spam"));
    EXPECT_EQ(HrMAPIFindFolder(top, u"quarantine", &size, &id), UTIL_E_NOT_FOUND);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(HrMAPIFindFolder(top, u"Spa", &size, &id), UTIL_E_NOT_FOUND);
    EXPECT_EQ(HrMAPIFindFolder(nullptr, u"Spam", &size, &id), E_FAIL);
    EXPECT_EQ(HrMAPIFindFolder(top, u"Spam", nullptr, &id), E_INVALIDARG);
    Fault("IMAPIFolder::GetHierarchyTable", MAPI_E_NO_ACCESS, 1);
    EXPECT_EQ(HrMAPIFindFolder(top, u"Spam", &size, &id), E_FAIL);

    // The same names below a folder without children, and one level down.
    LPMAPIFOLDER quarantine = OpenFolder(box, "Archive/Quarantine");
    EXPECT_EQ(HrMAPIFindFolder(quarantine, u"Spam", &size, &id), UTIL_E_NOT_FOUND);
    quarantine->Release();

    LPMAPIFOLDER spam = nullptr;
    ASSERT_EQ(mapi_OpenMailboxFolder(box.store, u"sPaM", &spam), S_OK);
    EXPECT_EQ(EntryId(spam), FolderId("Spam"));
    spam->Release();
    LPMAPIFOLDER deep = nullptr;
    EXPECT_EQ(mapi_OpenMailboxFolder(box.store, u"Quarantine", &deep), UTIL_E_NOT_FOUND);
    EXPECT_EQ(deep, nullptr);
    top->Release();
    Close(&box);
}

TEST(FindFolderRows, FirstMatchInTableOrderAndRowsWithoutAName) {
    // The store keeps names unique ignoring case, so the table is made here.
    BYTE ids[3][4] = {{1, 1, 1, 1}, {2, 2, 2, 2}, {3, 3, 3, 3}};
    char16_t lower[] = u"spam", upper[] = u"SPAM";
    SPropValue rows[3][2] = {};
    auto set = [&](int row, ULONG name_tag, char16_t* name, ULONG id_tag, BYTE* id) {
        rows[row][0].ulPropTag = name_tag;
        if (name_tag == PR_DISPLAY_NAME_W)
            rows[row][0].Value.lpszW = name;
        else
            rows[row][0].Value.err = MAPI_E_NOT_FOUND;
        rows[row][1].ulPropTag = id_tag;
        rows[row][1].Value.bin = {4, id};
    };
    set(0, PROP_TAG(PT_ERROR, PROP_ID(PR_DISPLAY_NAME_W)), nullptr, PR_ENTRYID, ids[0]);
    set(1, PR_DISPLAY_NAME_W, lower, PR_ENTRYID, ids[1]);
    set(2, PR_DISPLAY_NAME_W, upper, PR_ENTRYID, ids[2]);
    fakes::Folder folder;
    for (auto& row : rows)
        folder.children.push_back({0, 2, row});

    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
    ULONG size = 0;
    LPENTRYID id = nullptr;
    ASSERT_EQ(HrMAPIFindFolder(&folder, u"Spam", &size, &id), S_OK);
    EXPECT_EQ(folder.seen_flags, MAPI_UNICODE | MAPI_DEFERRED_ERRORS);
    EXPECT_EQ(Bytes(size, id), std::vector<BYTE>(ids[1], ids[1] + 4));

    // A match without an entry identifier cannot be handed back.
    rows[1][1].ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(PR_ENTRYID));
    EXPECT_EQ(HrMAPIFindFolder(&folder, u"Spam", &size, &id), E_FAIL);
    EXPECT_EQ(id, nullptr);
    folder.children.clear();
    EXPECT_EQ(HrMAPIFindFolder(&folder, u"Spam", &size, &id), UTIL_E_NOT_FOUND);
    EXPECT_EQ(folder.refs, 1u);
    MAPIUninitialize();
}

TEST_F(Lookup, LogonAndInboxEdgeCases) {
    LPMDB store = reinterpret_cast<LPMDB>(this);
    LPMAPIFOLDER inbox = reinterpret_cast<LPMAPIFOLDER>(this);
    std::u16string alice = W(alice_.dn);
    EXPECT_EQ(MailboxLogonAndOpenInbox(session_, private_store_, store_dn_.c_str(), nullptr, &store,
                                       &inbox),
              S_OK);
    EXPECT_EQ(store, reinterpret_cast<LPMDB>(this)) << "a null mailbox opens nothing";
    EXPECT_EQ(inbox, reinterpret_cast<LPMAPIFOLDER>(this));

    store = nullptr;
    inbox = nullptr;
    EXPECT_EQ(
        MailboxLogonAndOpenInbox(session_, private_store_, nullptr, alice.c_str(), &store, &inbox),
        E_INVALIDARG)
        << "a null store name reaches the logon as null";
    EXPECT_EQ(store, nullptr);

    // A failure after the logon leaves the store with the caller.
    Fault("IMsgStore::GetReceiveFolder", MAPI_E_CALL_FAILED, 1);
    EXPECT_EQ(MailboxLogonAndOpenInbox(session_, private_store_, store_dn_.c_str(), alice.c_str(),
                                       &store, &inbox),
              E_FAIL);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(inbox, nullptr);
    EXPECT_EQ(HrMailboxLogoff(&store), S_OK);
}

} // namespace
} // namespace testing_store
