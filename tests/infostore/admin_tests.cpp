// The administration interface beyond what the command line's own tests
// reach, and the property answers of stores, folders and messages.
#include "tests/infostore/support.h"

namespace storetest {
namespace {

using Administration = StoreTest;

TEST_F(Administration, NamesAreCheckedNumberedAndFoundWithoutRegardToCase) {
    // With two servers a server must be named.
    EXPECT_EQ(admin_->AddMailbox("dave", "", ""), MAPI_E_AMBIGUOUS_RECIP);
    EXPECT_EQ(admin_->LastError(), "the store has several servers: name one");
    EXPECT_EQ(admin_->AddMailbox("dave", "MAIL2", ""), S_OK);
    infostore::MailboxInfo dave;
    ASSERT_EQ(admin_->FindMailbox("/o=Example/ou=Lab/cn=Recipients/cn=DAVE", &dave), S_OK);
    EXPECT_EQ(dave.display_name, "dave");
    EXPECT_EQ(dave.server_name, "mail2");
    for (const char* bad : {"", "=x", "a b", "a/b", "/x"}) {
        EXPECT_EQ(admin_->AddMailbox(bad, "mail1", ""), MAPI_E_INVALID_PARAMETER) << bad;
        EXPECT_NE(admin_->LastError().find("invalid alias"), std::string::npos);
    }
    EXPECT_EQ(admin_->AddServer("MAIL1"), MAPI_E_COLLISION);
    EXPECT_EQ(admin_->AddServer("a/b"), MAPI_E_INVALID_PARAMETER);
    std::unique_ptr<infostore::Admin> other;
    EXPECT_EQ(infostore::Admin::Create(path_ + ".x", "Ex/ample", "Lab", &other),
              MAPI_E_INVALID_PARAMETER);

    // Numbers continue after the highest one of the prefix.
    ASSERT_EQ(admin_->AddMailbox("box7", "mail1", ""), S_OK);
    ASSERT_EQ(admin_->AddMailbox("boxer", "mail1", ""), S_OK);
    ASSERT_EQ(admin_->AddMailboxes(2, "box", "mail1"), S_OK);
    std::vector<infostore::MailboxInfo> all;
    ASSERT_EQ(admin_->ListMailboxes("mail1", &all), S_OK);
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(all[5].alias, "box8");
    EXPECT_EQ(all[6].alias, "box9");
    // A batch for a server that does not exist adds nothing.
    EXPECT_EQ(admin_->AddMailboxes(3, "zz", "mail9"), MAPI_E_NOT_FOUND);
    ASSERT_EQ(admin_->ListMailboxes("", &all), S_OK);
    EXPECT_EQ(all.size(), 9u);

    // Folders whose names differ in case alone can be made here (only the
    // exact name collides); a path finds the first of them.
    ASSERT_EQ(admin_->CreateFolder("alice", "Junk"), S_OK);
    ASSERT_EQ(admin_->CreateFolder("alice", "JUNK"), S_OK);
    EXPECT_EQ(admin_->CreateFolder("alice", "Junk"), MAPI_E_COLLISION);
    ASSERT_EQ(admin_->CreateFolder("alice", "junk/Old/"), S_OK);
    infostore::FolderInfo old;
    ASSERT_EQ(admin_->FindFolder("alice", "/JUNK/old", &old), S_OK);
    EXPECT_EQ(old.path, "Junk/Old");
    std::vector<infostore::FolderInfo> folders;
    ASSERT_EQ(admin_->ListFolders("alice", &folders), S_OK);
    ASSERT_EQ(folders.size(), 9u);
    EXPECT_EQ(folders[7].path, "Junk/Old");
    EXPECT_EQ(folders[8].path, "JUNK");

    // Delivery straight into a folder, without rules, at a given time.
    infostore::DeliveryOptions into;
    into.apply_rules = false;
    into.folder_path = "junk/old";
    into.delivery_time = 130000000000000000ull;
    infostore::DeliveryResult where;
    ASSERT_EQ(admin_->Deliver("alice", "Subject: kept\n\nx", into, &where), S_OK);
    EXPECT_EQ(where.folder_path, "Junk/Old");
    EXPECT_FALSE(where.rule_id.has_value());
    std::vector<infostore::MessageInfo> kept = Messages("alice", "");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(*kept[0].delivery_time, 130000000000000000ull);

    // The top folder can go, and with it everything below.
    ASSERT_EQ(admin_->DeleteFolder("alice", "/"), S_OK);
    ASSERT_EQ(admin_->ListFolders("alice", &folders), S_OK);
    EXPECT_TRUE(folders.empty());
    EXPECT_TRUE(Messages("alice", "").empty());
    EXPECT_EQ(admin_->Deliver("alice", "Subject: x\n\n", {}), MAPI_E_NOT_FOUND);
    EXPECT_EQ(admin_->LastError(), "mailbox alice has no Inbox");
}

using Properties = StoreTest;

TEST_F(Properties, StoresFoldersAndMessagesAnswerAsMapiDoes) {
    Obj<IMsgStore> store;
    ASSERT_EQ(OpenMailbox(alice_.dn, store.out()), S_OK);
    // Every property when no tags are given; wide strings on request.
    ULONG count = 0;
    Buf<SPropValue> all;
    ASSERT_EQ(store->GetProps(nullptr, MAPI_UNICODE, &count, all.out()), S_OK);
    LPSPropValue display = PpropFindProp(all.get(), count, PR_DISPLAY_NAME_W);
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(std::u16string(display->Value.lpszW), u"Mailbox - Alice");
    // A tag of either width or of no type finds the value; a missing one is
    // an error value and a warning.
    SizedSPropTagArray<4> tags = {4,
                                  {PR_DISPLAY_NAME,
                                   PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_MDB_PROVIDER)), PR_SUBJECT,
                                   PR_OBJECT_TYPE}};
    ASSERT_EQ(store->GetProps(tags.get(), 0, &count, all.out()), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(count, 4u);
    EXPECT_STREQ(all->Value.lpszA, "Mailbox - Alice");
    EXPECT_EQ(all.get()[1].ulPropTag, PR_MDB_PROVIDER);
    EXPECT_EQ(all.get()[2].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_SUBJECT)));
    EXPECT_EQ(all.get()[3].Value.l, static_cast<LONG>(MAPI_STORE));

    Obj<IMAPIFolder> drafts;
    ASSERT_EQ(OpenFolder(store.get(), "alice", "Drafts", drafts.out()), S_OK);

    // A message refuses its computed properties, exists from SaveChanges,
    // keeps any other property and reads it back when opened again.
    Obj<IMessage> message;
    ASSERT_EQ(drafts->CreateMessage(nullptr, 0, message.out()), S_OK);
    SPropValue values[3] = {};
    values[0].ulPropTag = PR_ENTRYID;
    values[1].ulPropTag = PROP_TAG(PT_LONG, 0x6801);
    values[1].Value.l = -42;
    values[2].ulPropTag = PR_SUBJECT_W;
    values[2].Value.lpszW = const_cast<char16_t*>(u"wide subject");
    Buf<SPropProblemArray> problems;
    ASSERT_EQ(message->SetProps(3, values, problems.out()), S_OK);
    ASSERT_NE(problems.get(), nullptr);
    ASSERT_EQ(problems->cProblem, 1u);
    EXPECT_EQ(problems->aProblem[0].scode, MAPI_E_COMPUTED);
    EXPECT_TRUE(Messages("alice", "Drafts").empty());
    ASSERT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    std::vector<BYTE> entry = PropBytes(message.get(), PR_ENTRYID);
    Obj<IMessage> reopened;
    ULONG type = 0;
    ASSERT_EQ(store->OpenEntry(static_cast<ULONG>(entry.size()),
                               reinterpret_cast<LPENTRYID>(entry.data()), nullptr, MAPI_MODIFY,
                               &type, reopened.unk()),
              S_OK);
    Buf<SPropValue> custom;
    ASSERT_EQ(HrGetOneProp(reopened.get(), PROP_TAG(PT_LONG, 0x6801), custom.out()), S_OK);
    EXPECT_EQ(custom->Value.l, -42);
    ASSERT_EQ(HrGetOneProp(reopened.get(), PR_SUBJECT, custom.out()), S_OK);
    EXPECT_STREQ(custom->Value.lpszA, "wide subject");
    // Once the message is deleted, saving it again says so.
    SBinary gone = {static_cast<ULONG>(entry.size()), entry.data()};
    ENTRYLIST list = {1, &gone};
    ASSERT_EQ(drafts->DeleteMessages(&list, 0, nullptr, 0), S_OK);
    EXPECT_EQ(reopened->SaveChanges(0), MAPI_E_OBJECT_DELETED);
}

} // namespace
} // namespace storetest
