#include "tests/support/store_fixture.h"

#include "tests/support/files.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/vtx_str.h"

namespace testing_store {

// One directory for the whole run, holding the profiles file and the stores.
const std::string& WorkDir() {
    static const swtest::TempDir dir("sortwell-stores");
    static const bool profiles =
        ::setenv("SORTWELL_PROFILES", dir.file("profiles").c_str(), 1) == 0;
    (void)profiles;
    return dir.path();
}

namespace {

int g_store_number = 0;

} // namespace

std::u16string W(const std::string& text) {
    return VTX_FromUtf8(text);
}
std::string A(const std::u16string& text) {
    return VTX_ToUtf8(text);
}

void StoreTest::SetUp() {
    path_ = WorkDir() + "/store" + std::to_string(++g_store_number) + ".db";
    ASSERT_EQ(infostore::Admin::Create(path_, "Altavane", "Lab", &admin_), S_OK);
    ASSERT_EQ(admin_->AddServer("MX1"), S_OK) << admin_->LastError();
    ASSERT_EQ(admin_->AddMailbox("sortwell", "MX1", "Sortwell Agent", &agent_), S_OK);
    ASSERT_EQ(admin_->AddMailbox("alice", "MX1", "Alice", &alice_), S_OK);
    infostore::SetStorePathOverride(path_);

    MAPIINIT_0 init = {MAPI_INIT_VERSION, MAPI_NT_SERVICE};
    ASSERT_EQ(MAPIInitialize(&init), S_OK);
    buffers_ = MAPIDebugLiveBuffers();
    objects_ = MAPIDebugLiveObjects();

    profile_ = u"swl_test_" + W(std::to_string(g_store_number));
    ASSERT_EQ(mapi_CreateProfile(profile_.c_str(), u"sortwell", u"MX1"), S_OK);
    std::string profile = A(profile_);
    char password[] = "";
    ASSERT_EQ(MAPILogonEx(0, profile.data(), password,
                          MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE | MAPI_EXTENDED | MAPI_NO_MAIL |
                              MAPI_NT_SERVICE,
                          &session_),
              S_OK);
    ASSERT_EQ(HrOpenStoreByProvider(session_, &PRIVATE_STORE_PROVIDER_UID, &private_store_), S_OK);
    char16_t server_dn[256];
    ASSERT_EQ(mapi_GetProfileServerDN(profile_.c_str(), server_dn, 256), S_OK);
    store_dn_ = std::u16string(server_dn) + u"/cn=Microsoft Private MDB";
}

void StoreTest::TearDown() {
    UlRelease(private_store_);
    if (session_ != nullptr) {
        session_->Logoff(0, 0, 0);
        session_->Release();
    }
    mapi_DeleteProfile(profile_.c_str());
    EXPECT_EQ(MAPIDebugLiveBuffers(), buffers_) << "a MAPI buffer was not freed";
    EXPECT_EQ(MAPIDebugLiveObjects(), objects_) << "a MAPI object was not released";
    MAPIUninitialize();
    infostore::SetStorePathOverride("");
    admin_.reset();
    for (const char* suffix : {"", "-wal", "-shm"})
        std::remove((path_ + suffix).c_str());
}

void StoreTest::Open(const infostore::MailboxInfo& mailbox, Mailbox* out) {
    std::u16string dn = W(mailbox.dn);
    ASSERT_EQ(MailboxLogonAndOpenInbox(session_, private_store_, store_dn_.c_str(), dn.c_str(),
                                       &out->store, &out->inbox),
              S_OK);
    ASSERT_EQ(mapi_GetRulesTables(out->inbox, &out->rules, &out->view), S_OK);
}

void StoreTest::Close(Mailbox* mailbox) {
    mapi_ReleaseRulesTables(mailbox->rules, mailbox->view);
    UlRelease(mailbox->inbox);
    EXPECT_EQ(HrMailboxLogoff(&mailbox->store), S_OK);
    *mailbox = Mailbox{};
}

LPMAPIFOLDER StoreTest::OpenFolder(const Mailbox& mailbox, const std::string& path) {
    std::vector<BYTE> id = FolderId(path);
    ULONG type = 0;
    LPUNKNOWN folder = nullptr;
    EXPECT_EQ(mailbox.store->OpenEntry(static_cast<ULONG>(id.size()),
                                       reinterpret_cast<LPENTRYID>(id.data()), nullptr, MAPI_MODIFY,
                                       &type, &folder),
              S_OK);
    return static_cast<LPMAPIFOLDER>(folder);
}

std::vector<BYTE> StoreTest::FolderId(const std::string& path) {
    infostore::FolderInfo info;
    EXPECT_EQ(admin_->FindFolder(alice_.alias, path, &info), S_OK) << path;
    return info.entry_id;
}

std::vector<infostore::RuleInfo> StoreTest::Rules() {
    std::vector<infostore::RuleInfo> rules;
    EXPECT_EQ(admin_->ListRules(alice_.alias, "", &rules), S_OK);
    return rules;
}

std::vector<infostore::MessageInfo> StoreTest::Messages(const std::string& path) {
    std::vector<infostore::MessageInfo> messages;
    EXPECT_EQ(admin_->ListMessages(alice_.alias, path, &messages), S_OK);
    return messages;
}

void StoreTest::Fault(const std::string& operation, HRESULT hr, std::int32_t times) {
    infostore::FaultSpec fault;
    fault.operation = operation;
    fault.hr = hr;
    fault.times = times;
    ASSERT_EQ(admin_->AddFault(fault), S_OK) << admin_->LastError();
}

void SpamFolderTest::SetUp() {
    StoreTest::SetUp();
    ASSERT_EQ(admin_->CreateFolder(alice_.alias, "Spam"), S_OK);
    Open(alice_, &box_);
    spam_ = OpenFolder(box_, "Spam");
}

void SpamFolderTest::TearDown() {
    UlRelease(spam_);
    Close(&box_);
    StoreTest::TearDown();
}

} // namespace testing_store
