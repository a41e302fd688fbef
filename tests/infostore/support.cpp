#include "tests/infostore/support.h"

#include "exchange_util/exchange_util.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace storetest {

const std::string& ScratchDir() {
    static const std::string dir = [] {
        std::string pattern = ::testing::TempDir() + "infostore_tests.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        std::string made = mkdtemp(name.data()) ? name.data() : ::testing::TempDir();
        setenv("SORTWELL_PROFILES", (made + "/profiles").c_str(), 1);
        return made;
    }();
    return dir;
}

std::string FreshPath(const std::string& stem) {
    static int counter = 0;
    return ScratchDir() + "/" + stem + std::to_string(++counter) + ".db";
}

void RemoveStoreFiles(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"})
        ::unlink((path + suffix).c_str());
}

std::vector<BYTE> Bytes(const SBinary& bin) {
    return Bytes(bin.cb, bin.lpb);
}

std::vector<BYTE> Bytes(ULONG cb, const void* data) {
    const BYTE* p = static_cast<const BYTE*>(data);
    return p ? std::vector<BYTE>(p, p + cb) : std::vector<BYTE>();
}

HRESULT MakeProfile(const std::string& profile, const char* alias, const char* server) {
    auto wide = [](const std::string& text) { return std::u16string(text.begin(), text.end()); };
    std::u16string name = wide(profile), mailbox = wide(alias), host = wide(server ? server : "");
    return mapi_CreateProfile(name.c_str(), mailbox.c_str(), server ? host.c_str() : nullptr);
}

void DropProfile(const std::string& profile) {
    std::u16string name(profile.begin(), profile.end());
    mapi_DeleteProfile(name.c_str());
}

std::vector<BYTE> PropBytes(LPMAPIPROP object, ULONG tag) {
    Buf<SPropValue> value;
    EXPECT_EQ(HrGetOneProp(object, tag, value.out()), S_OK) << std::hex << tag;
    return value.get() ? Bytes(value->Value.bin) : std::vector<BYTE>();
}

HRESULT Logon(const std::string& profile, LPMAPISESSION* session) {
    std::string name = profile;
    char password[] = "";
    return MAPILogonEx(0, name.data(), password,
                       MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE | MAPI_EXTENDED | MAPI_NO_MAIL |
                           MAPI_NT_SERVICE,
                       session);
}

void StoreTest::SetUp() {
    ScratchDir();
    path_ = FreshPath("store");
    ASSERT_EQ(infostore::Admin::Create(path_, "Example", "Lab", &admin_), S_OK)
        << admin_->LastError();
    ASSERT_EQ(admin_->AddServer("mail1"), S_OK);
    ASSERT_EQ(admin_->AddServer("mail2"), S_OK);
    ASSERT_EQ(admin_->AddMailbox("agent", "mail1", "Sortwell Agent", &agent_), S_OK);
    ASSERT_EQ(admin_->AddMailbox("alice", "mail1", "Alice", &alice_), S_OK);
    ASSERT_EQ(admin_->AddMailbox("bob", "mail1", "Bob", &bob_), S_OK);
    ASSERT_EQ(admin_->AddMailbox("carol", "mail2", "Carol", &carol_), S_OK);
    infostore::SetStorePathOverride(path_);

    MAPIINIT_0 init = {MAPI_INIT_VERSION, MAPI_NT_SERVICE};
    ASSERT_EQ(MAPIInitialize(&init), S_OK);
    buffers_ = MAPIDebugLiveBuffers();
    objects_ = MAPIDebugLiveObjects();
    profile_ = "infostore_test_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_EQ(MakeProfile(profile_, "agent", "mail1"), S_OK);
    ASSERT_EQ(Logon(profile_, &session_), S_OK);
}

void StoreTest::TearDown() {
    UlRelease(private_store_);
    private_store_ = nullptr;
    if (session_ != nullptr) {
        session_->Logoff(0, 0, 0);
        session_->Release();
        session_ = nullptr;
    }
    DropProfile(profile_);
    EXPECT_EQ(MAPIDebugLiveBuffers(), buffers_) << "a MAPI buffer was left behind";
    EXPECT_EQ(MAPIDebugLiveObjects(), objects_) << "a MAPI object was left behind";
    MAPIUninitialize();
    infostore::SetStorePathOverride("");
    admin_.reset();
    RemoveStoreFiles(path_);
}

LPMDB StoreTest::PrivateStore() {
    if (private_store_ == nullptr) {
        EXPECT_EQ(HrOpenStoreByProvider(session_, &PRIVATE_STORE_PROVIDER_UID, &private_store_),
                  S_OK);
    }
    return private_store_;
}

HRESULT StoreTest::OpenMailbox(const std::string& mailbox_dn, LPMDB* store, ULONG flags) {
    *store = nullptr;
    LPMDB own = PrivateStore();
    if (own == nullptr)
        return E_FAIL;
    Obj<IExchangeManageStore> manage;
    HRESULT hr =
        own->QueryInterface(IID_IExchangeManageStore, reinterpret_cast<void**>(manage.out()));
    if (FAILED(hr))
        return hr;
    std::string store_dn = agent_.server_dn + "/cn=Microsoft Private MDB";
    if (mailbox_dn == carol_.dn)
        store_dn = carol_.server_dn + "/cn=Microsoft Private MDB";
    std::string mailbox = mailbox_dn;
    Buf<ENTRYID> entry;
    ULONG size = 0;
    hr = manage->CreateStoreEntryID(store_dn.data(), mailbox.data(), flags, &size, entry.out());
    if (FAILED(hr))
        return hr;
    return session_->OpenMsgStore(0, size, entry.get(), nullptr,
                                  MDB_NO_MAIL | MDB_TEMPORARY | MAPI_BEST_ACCESS | MDB_NO_DIALOG,
                                  store);
}

std::vector<BYTE> StoreTest::FolderId(const std::string& mailbox, const std::string& path) {
    infostore::FolderInfo info;
    EXPECT_EQ(admin_->FindFolder(mailbox, path, &info), S_OK) << admin_->LastError();
    return info.entry_id;
}

HRESULT StoreTest::OpenFolder(LPMDB store, const std::string& mailbox, const std::string& path,
                              LPMAPIFOLDER* folder) {
    std::vector<BYTE> id = FolderId(mailbox, path);
    ULONG type = 0;
    return store->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()),
                            nullptr, MAPI_MODIFY | MAPI_DEFERRED_ERRORS, &type,
                            reinterpret_cast<LPUNKNOWN*>(folder));
}

HRESULT StoreTest::Fault(const std::string& operation, const std::string& mailbox, HRESULT hr,
                         int times) {
    infostore::FaultSpec fault;
    fault.operation = operation;
    fault.mailbox = mailbox;
    fault.hr = hr;
    fault.times = times;
    return admin_->AddFault(fault);
}

std::vector<infostore::MessageInfo> StoreTest::Messages(const std::string& mailbox,
                                                        const std::string& path) {
    std::vector<infostore::MessageInfo> messages;
    EXPECT_EQ(admin_->ListMessages(mailbox, path, &messages), S_OK) << admin_->LastError();
    return messages;
}

void StoreTest::Deliver(const std::string& mailbox, const std::string& subject,
                        const std::string& headers) {
    std::string text =
        "From: sender@example.net\r\nSubject: " + subject + "\r\n" + headers + "\r\nHello.\r\n";
    ASSERT_EQ(admin_->Deliver(mailbox, text, infostore::DeliveryOptions()), S_OK)
        << admin_->LastError();
}

} // namespace storetest
