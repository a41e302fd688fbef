// Fault injection: the named operation returns the fault's result for the
// mailbox, as often as the fault says, and other connections see new faults
// at once. That every operation can be failed, and what the agent makes of
// it, the fault sweep over the real agent shows.
#include "tests/infostore/support.h"

namespace storetest {
namespace {

using Faults = StoreTest;

HRESULT MakeSpam(LPMAPIFOLDER top) {
    Obj<IMAPIFolder> folder;
    char name[] = "Spam";
    return top->CreateFolder(FOLDER_GENERIC, name, nullptr, nullptr, OPEN_IF_EXISTS, folder.out());
}

TEST_F(Faults, ACountedFaultHitsItsMailboxThatManyTimes) {
    Obj<IMsgStore> alice, bob;
    Obj<IMAPIFolder> alice_top, bob_top;
    ASSERT_EQ(OpenMailbox(alice_.dn, alice.out()), S_OK);
    ASSERT_EQ(OpenMailbox(bob_.dn, bob.out()), S_OK);
    ASSERT_EQ(OpenFolder(alice.get(), "alice", "/", alice_top.out()), S_OK);
    ASSERT_EQ(OpenFolder(bob.get(), "bob", "/", bob_top.out()), S_OK);

    // Added by another connection while the session is open; named by
    // alias; a failing call does nothing.
    ASSERT_EQ(Fault("IMAPIFolder::CreateFolder", "ALICE", MAPI_E_NO_ACCESS, 2), S_OK);
    EXPECT_EQ(MakeSpam(bob_top.get()), S_OK);
    EXPECT_EQ(MakeSpam(alice_top.get()), MAPI_E_NO_ACCESS);
    EXPECT_TRUE(Messages("alice", "").empty());
    infostore::FolderInfo spam;
    EXPECT_EQ(admin_->FindFolder("alice", "Spam", &spam), MAPI_E_NOT_FOUND);
    EXPECT_EQ(MakeSpam(alice_top.get()), MAPI_E_NO_ACCESS);
    EXPECT_EQ(MakeSpam(alice_top.get()), S_OK);
    std::vector<infostore::FaultInfo> faults;
    ASSERT_EQ(admin_->ListFaults(&faults), S_OK);
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].remaining, 0);

    // A fault for every mailbox (by "*") lasts until cleared; one by DN
    // hits that mailbox alone.
    ASSERT_EQ(Fault("IMsgStore::GetReceiveFolder", "*", MAPI_E_NOT_FOUND, -1), S_OK);
    ASSERT_EQ(Fault("IMAPIFolder::DeleteMessages", bob_.dn, E_FAIL, 1), S_OK);
    auto inbox = [](IMsgStore* store) {
        ULONG size = 0;
        Buf<ENTRYID> id;
        char ipm[] = "IPM";
        return store->GetReceiveFolder(ipm, 0, &size, id.out(), nullptr);
    };
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(inbox(alice.get()), MAPI_E_NOT_FOUND);
        EXPECT_EQ(inbox(bob.get()), MAPI_E_NOT_FOUND);
    }
    ENTRYLIST empty = {0, nullptr};
    EXPECT_EQ(alice_top->DeleteMessages(&empty, 0, nullptr, 0), S_OK);
    EXPECT_EQ(bob_top->DeleteMessages(&empty, 0, nullptr, 0), E_FAIL);
    EXPECT_EQ(bob_top->DeleteMessages(&empty, 0, nullptr, 0), S_OK);
    ASSERT_EQ(admin_->ClearFaults(), S_OK);
    EXPECT_EQ(inbox(alice.get()), S_OK);
}

// A warning lets the call succeed; without a top folder the store itself
// answers with the warning and an error value in place of the property.
TEST_F(Faults, WarningsLetTheCallSucceedAndAreReturned) {
    ASSERT_EQ(Fault("IMAPISession::OpenMsgStore", "alice", MAPI_W_ERRORS_RETURNED, 1), S_OK);
    Obj<IMsgStore> alice;
    EXPECT_EQ(OpenMailbox(alice_.dn, alice.out()), MAPI_W_ERRORS_RETURNED);
    ASSERT_TRUE(alice);
    SizedSPropTagArray<1> tags = {1, {PR_IPM_SUBTREE_ENTRYID}};
    ULONG count = 0;
    Buf<SPropValue> values;
    ASSERT_EQ(admin_->DeleteFolder("alice", "/"), S_OK);
    EXPECT_EQ(alice->GetProps(tags.get(), 0, &count, values.out()), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(values->ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_IPM_SUBTREE_ENTRYID)));
    EXPECT_EQ(values->Value.err, MAPI_E_NOT_FOUND);
}

TEST_F(Faults, BadFaultsAreRefusedWithAReason) {
    EXPECT_EQ(Fault("IMAPIFolder::Explode", "*", E_FAIL, 1), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(Fault("IMAPIFolder::CreateFolder", "*", S_OK, 1), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(Fault("IMAPIFolder::CreateFolder", "*", E_FAIL, 0), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(Fault("IMAPIFolder::CreateFolder", "nobody", E_FAIL, 1), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(admin_->LastError(), "unknown mailbox: nobody");
    std::vector<infostore::FaultInfo> faults;
    ASSERT_EQ(admin_->ListFaults(&faults), S_OK);
    EXPECT_TRUE(faults.empty());
}

} // namespace
} // namespace storetest
