// A store file that is missing, not a store or of another version: a MAPI
// failure at configuration and logon, a clear reason for the administration
// interface, never a crash. Damage inside a real store is the hostile
// store-file tests' business.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/infostore/support.h"

namespace storetest {
namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

using DamagedStore = StoreTest;

TEST_F(DamagedStore, FilesThatAreNoStoreOfThisVersionFailAtLogonAndSayWhy) {
    std::string newer = FreshPath("newer"), older = FreshPath("older");
    for (const std::string& path : {newer, older}) {
        std::unique_ptr<infostore::Admin> admin;
        ASSERT_EQ(infostore::Admin::Create(path, "Example", "Lab", &admin), S_OK);
    }
    std::string other = FreshPath("other");
    for (const auto& [path, sql] : {std::pair{newer, "UPDATE meta SET value = 3 WHERE key = "
                                                     "'version'"},
                                    std::pair{older, "ALTER TABLE faults DROP COLUMN pass_first; "
                                                     "ALTER TABLE faults DROP COLUMN delay_ms; "
                                                     "UPDATE meta SET value = 1 WHERE key = "
                                                     "'version'"},
                                    std::pair{other, "CREATE TABLE meta(key, value); INSERT "
                                                     "INTO meta VALUES('format','x');"}}) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    std::string garbage = FreshPath("garbage"), empty = FreshPath("empty");
    WriteFile(garbage, std::string(5000, '\x5A') + "not a database at all");
    WriteFile(empty, "");
    const std::string missing = ScratchDir() + "/no-such-store.db";
    struct Case {
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
        {ScratchDir(), MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE, ""},
        {newer, MAPI_E_VERSION, MAPI_E_VERSION, MAPI_E_VERSION, "version 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        infostore::SetStorePathOverride(c.path);
        LPMAPISESSION session = nullptr;
        EXPECT_EQ(Logon(profile_, &session), c.logon);
        EXPECT_EQ(session, nullptr);
        EXPECT_EQ(MakeProfile(profile_ + "_x", "alice", "mail1"), c.configure);
        DropProfile(profile_ + "_x");
        infostore::SetStorePathOverride(path_);
        std::unique_ptr<infostore::Admin> admin;
        EXPECT_EQ(infostore::Admin::Open(c.path, &admin), c.open);
        ASSERT_TRUE(admin);
        if (!c.error.empty())
            EXPECT_NE(admin->LastError().find(c.error), std::string::npos) << admin->LastError();
        else
            EXPECT_FALSE(admin->LastError().empty());
    }
    // Nothing was created on the way.
    struct stat st {};
    EXPECT_NE(::stat(missing.c_str(), &st), 0);
    // A file of the version before is brought up to date when it opens.
    std::unique_ptr<infostore::Admin> upgraded;
    ASSERT_EQ(infostore::Admin::Open(older, &upgraded), S_OK) << upgraded->LastError();
    infostore::FaultSpec slow;
    slow.operation = "MAPILogonEx";
    slow.hr = S_OK;
    slow.after = 1;
    slow.delay_ms = 5;
    ASSERT_EQ(upgraded->AddFault(slow), S_OK) << upgraded->LastError();
    std::vector<infostore::FaultInfo> faults;
    ASSERT_EQ(upgraded->ListFaults(&faults), S_OK);
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].after, 1);
    EXPECT_EQ(faults[0].delay_ms, 5);
    for (const std::string& p : {garbage, empty, other, newer, older})
        RemoveStoreFiles(p);
}

} // namespace
} // namespace storetest
