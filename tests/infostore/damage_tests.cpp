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

class DamagedStore : public StoreTest {
protected:
    // Points the MAPI side at `path`; a session logon and a profile
    // configuration give these results.
    void Expect(const std::string& path, HRESULT logon, HRESULT configure) {
        infostore::SetStorePathOverride(path);
        LPMAPISESSION session = nullptr;
        EXPECT_EQ(Logon(profile_, &session), logon) << path;
        EXPECT_EQ(session, nullptr);
        EXPECT_EQ(MakeProfile(profile_ + "_x", "alice", "mail1"), configure) << path;
        DropProfile(profile_ + "_x");
        infostore::SetStorePathOverride(path_);
    }
    HRESULT AdminOpen(const std::string& path, std::string* error) {
        std::unique_ptr<infostore::Admin> admin;
        HRESULT hr = infostore::Admin::Open(path, &admin);
        *error = admin ? admin->LastError() : "";
        return hr;
    }
};

TEST_F(DamagedStore, MissingOrForeignFilesFailAtLogonAndSayWhy) {
    std::string error;
    std::string missing = ScratchDir() + "/no-such-store.db";
    Expect(missing, MAPI_E_LOGON_FAILED, MAPI_E_UNCONFIGURED);
    EXPECT_EQ(AdminOpen(missing, &error), MAPI_E_NOT_FOUND);
    EXPECT_EQ(error, "store file not found: " + missing);
    // Nothing was created on the way.
    struct stat st {};
    EXPECT_NE(::stat(missing.c_str(), &st), 0);

    std::string garbage = FreshPath("garbage");
    WriteFile(garbage, std::string(5000, '\x5A') + "not a database at all");
    Expect(garbage, MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE);
    EXPECT_EQ(AdminOpen(garbage, &error), MAPI_E_CORRUPT_STORE);
    EXPECT_EQ(error, "not a store file (or damaged): " + garbage);

    std::string empty = FreshPath("empty");
    WriteFile(empty, "");
    Expect(empty, MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE);

    // A database of something else.
    std::string other = FreshPath("other");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE meta(key, value); INSERT INTO meta VALUES('format','x');",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    Expect(other, MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE);

    // A directory where the file should be.
    Expect(ScratchDir(), MAPI_E_CORRUPT_STORE, MAPI_E_CORRUPT_STORE);
    for (const std::string& p : {garbage, empty, other})
        RemoveStoreFiles(p);
}

TEST_F(DamagedStore, AStoreOfAnotherVersionIsRefused) {
    std::string newer = FreshPath("newer");
    {
        std::unique_ptr<infostore::Admin> admin;
        ASSERT_EQ(infostore::Admin::Create(newer, "Example", "Lab", &admin), S_OK);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(newer.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE meta SET value = 2 WHERE key = 'version'", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::string error;
    EXPECT_EQ(AdminOpen(newer, &error), MAPI_E_VERSION);
    EXPECT_NE(error.find("version 2"), std::string::npos) << error;
    Expect(newer, MAPI_E_VERSION, MAPI_E_VERSION);
    RemoveStoreFiles(newer);
}

} // namespace
} // namespace storetest
