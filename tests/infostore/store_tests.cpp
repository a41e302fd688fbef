// The store as MAPI sees it where the agent's runs cannot show it: files
// that are no store of this version, and what a logon without write access
// may do.
#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/support/store_fixture.h"

namespace testing_store {
namespace {

using DamagedStore = StoreTest;

// A file that is missing, not a store or of another version: a MAPI failure
// at configuration and logon, a clear reason for the administration, never
// a crash; a file of the version before is brought up to date.
TEST_F(DamagedStore, FilesThatAreNoStoreOfThisVersionFailAtLogonAndSayWhy) {
    const std::string dir = WorkDir() + "/damaged-" + A(profile_);
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string newer = dir + "/newer.db", older = dir + "/older.db", other = dir + "/x.db";
    for (const std::string& path : {newer, older}) {
        std::unique_ptr<infostore::Admin> admin;
        ASSERT_EQ(infostore::Admin::Create(path, "Example", "Lab", &admin), S_OK);
    }
    for (const auto& [path, sql] :
         {std::pair{newer, "UPDATE meta SET value = 3 WHERE key = 'version'"},
          std::pair{older, "ALTER TABLE faults DROP COLUMN pass_first; ALTER TABLE faults DROP "
                           "COLUMN delay_ms; UPDATE meta SET value = 1 WHERE key = 'version'"},
          std::pair{other,
                    "CREATE TABLE meta(key, value); INSERT INTO meta VALUES('format','x');"}}) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    const std::string garbage = dir + "/garbage.db", empty = dir + "/empty.db";
    std::ofstream(garbage) << std::string(5000, '\x5A') + "not a database at all";
    std::ofstream{empty};
    const std::string missing = dir + "/no-such-store.db";
    const struct {
        std::string path;
        HRESULT logon, configure, open;
        std::string error;
    } cases[] = {
        {missing, MAPI_E_LOGON_FAILED, MAPI_E_UNCONFIGURED, MAPI_E_NOT_FOUND,
         "store file not found: " + missing},
        {garbage, MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE,
         "not a store file (or damaged): " + garbage},
        {empty, MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE, ""},
        {other, MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE, ""},
        {dir, MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE, ""},
        {newer, MAPI_E_VERSION, MAPI_E_VERSION, MAPI_E_VERSION, "version 3"},
    };
    std::string profile = A(profile_);
    const std::u16string second = profile_ + u"_x";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        infostore::SetStorePathOverride(c.path);
        LPMAPISESSION session = nullptr;
        EXPECT_EQ(MAPILogonEx(0, profile.data(), nullptr,
                              MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE | MAPI_EXTENDED |
                                  MAPI_NO_MAIL | MAPI_NT_SERVICE,
                              &session),
                  c.logon);
        EXPECT_EQ(session, nullptr);
        EXPECT_EQ(mapi_CreateProfile(second.c_str(), u"alice", u"MX1"), c.configure);
        infostore::SetStorePathOverride(store_path());
        std::unique_ptr<infostore::Admin> admin;
        EXPECT_EQ(infostore::Admin::Open(c.path, &admin), c.open);
        ASSERT_TRUE(admin);
        EXPECT_NE(admin->LastError().find(c.error), std::string::npos) << admin->LastError();
        EXPECT_FALSE(admin->LastError().empty());
    }
    struct stat st {};
    EXPECT_NE(::stat(missing.c_str(), &st), 0) << "nothing was created on the way";
    std::unique_ptr<infostore::Admin> upgraded;
    ASSERT_EQ(infostore::Admin::Open(older, &upgraded), S_OK) << upgraded->LastError();
    infostore::FaultSpec slow{.operation = "MAPILogonEx", .hr = S_OK, .after = 1, .delay_ms = 5};
    ASSERT_EQ(upgraded->AddFault(slow), S_OK) << upgraded->LastError();
    std::vector<infostore::FaultInfo> faults;
    ASSERT_EQ(upgraded->ListFaults(&faults), S_OK);
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].after, 1);
    EXPECT_EQ(faults[0].delay_ms, 5);
}

class Access : public StoreTest {
protected:
    // Opens alice's store through the administrative interface with `flags`.
    HRESULT OpenAlice(ULONG flags, LPMDB* store) {
        LPEXCHANGEMANAGESTORE manage = nullptr;
        HRESULT hr = private_store_->QueryInterface(IID_IExchangeManageStore,
                                                    reinterpret_cast<void**>(&manage));
        std::string store_dn = A(store_dn_), mailbox = alice_.dn;
        ULONG size = 0;
        LPENTRYID entry = nullptr;
        if (SUCCEEDED(hr))
            hr = manage->CreateStoreEntryID(store_dn.data(), mailbox.data(), flags, &size, &entry);
        if (SUCCEEDED(hr))
            hr = session_->OpenMsgStore(0, size, entry, nullptr, MDB_NO_MAIL | MAPI_BEST_ACCESS,
                                        store);
        MAPIFreeBuffer(entry);
        UlRelease(manage);
        return hr;
    }
};

// Another mailbox needs administrative privilege; without ownership the
// logon may read only. A folder opened read-only, directly or through a
// read-only logon, and its rules refuse every change; the same folder
// opened for writing (or with best access) takes them.
TEST_F(Access, WhatIsOpenedWithoutWriteAccessRefusesEveryChange) {
    LPMDB store = nullptr, full = nullptr;
    EXPECT_EQ(OpenAlice(OPENSTORE_TAKE_OWNERSHIP, &store), MAPI_E_NO_ACCESS);
    ASSERT_EQ(OpenAlice(OPENSTORE_USE_ADMIN_PRIVILEGE, &store), S_OK);
    ASSERT_EQ(OpenAlice(OPENSTORE_USE_ADMIN_PRIVILEGE | OPENSTORE_TAKE_OWNERSHIP, &full), S_OK);
    std::vector<BYTE> inbox_id = FolderId("Inbox");
    ULONG type = 0;
    auto open = [&](LPMDB from, ULONG flags, LPUNKNOWN* out) {
        return from->OpenEntry(static_cast<ULONG>(inbox_id.size()),
                               reinterpret_cast<LPENTRYID>(inbox_id.data()), nullptr, flags, &type,
                               out);
    };
    LPUNKNOWN refused = nullptr;
    EXPECT_EQ(open(store, MAPI_MODIFY, &refused), MAPI_E_NO_ACCESS);
    SPropValue name{PR_DISPLAY_NAME_W, 0, {.lpszW = const_cast<char16_t*>(u"Inbox")}};
    ROWLIST none = {0, {}};
    for (const auto& [from, flags, writes] :
         {std::tuple{store, ULONG{MAPI_BEST_ACCESS}, false}, std::tuple{full, ULONG{0}, false},
          std::tuple{full, ULONG{MAPI_MODIFY}, true},
          std::tuple{full, ULONG{MAPI_BEST_ACCESS}, true}}) {
        SCOPED_TRACE(testing::Message() << "flags " << flags << (from == full ? "" : " read-only"));
        const HRESULT want = writes ? S_OK : MAPI_E_NO_ACCESS;
        LPMAPIFOLDER folder = nullptr, made = nullptr;
        LPMESSAGE message = nullptr;
        LPEXCHANGEMODIFYTABLE rules = nullptr;
        ASSERT_EQ(open(from, flags, reinterpret_cast<LPUNKNOWN*>(&folder)), S_OK);
        char sub[] = "Sub";
        EXPECT_EQ(
            folder->CreateFolder(FOLDER_GENERIC, sub, nullptr, nullptr, OPEN_IF_EXISTS, &made),
            want);
        EXPECT_EQ(folder->CreateMessage(nullptr, 0, &message), want);
        EXPECT_EQ(folder->SetProps(1, &name, nullptr), want);
        EXPECT_EQ(folder->SaveChanges(KEEP_OPEN_READWRITE), want);
        SBinary nothing = {0, nullptr};
        ENTRYLIST list = {1, &nothing};
        EXPECT_EQ(folder->DeleteMessages(&list, 0, nullptr, 0),
                  writes ? MAPI_E_NOT_FOUND : MAPI_E_NO_ACCESS);
        EXPECT_EQ(folder->OpenProperty(PR_RULES_TABLE, &IID_IExchangeModifyTable, 0, MAPI_MODIFY,
                                       reinterpret_cast<LPUNKNOWN*>(&rules)),
                  want);
        UlRelease(rules);
        ASSERT_EQ(folder->OpenProperty(PR_RULES_TABLE, &IID_IExchangeModifyTable, 0,
                                       MAPI_DEFERRED_ERRORS, reinterpret_cast<LPUNKNOWN*>(&rules)),
                  S_OK);
        EXPECT_EQ(rules->ModifyTable(0, &none), want);
        UlRelease(rules);
        UlRelease(message);
        UlRelease(made);
        UlRelease(folder);
    }
    UlRelease(store);
    UlRelease(full);
}

} // namespace
} // namespace testing_store
