#include "platform/infostore/infostore_db.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

namespace infostore {
namespace {

// The schema. Ids of folders, messages and rules are never reused
// (AUTOINCREMENT), so the entry id of a deleted object never opens another
// one. Deleting a folder takes its subfolders, messages and rules with it.
constexpr const char* kSchema = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE servers(
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE COLLATE NOCASE,
    dn TEXT NOT NULL UNIQUE COLLATE NOCASE);
CREATE TABLE mailboxes(
    id INTEGER PRIMARY KEY,
    alias TEXT NOT NULL UNIQUE COLLATE NOCASE,
    display_name TEXT NOT NULL,
    dn TEXT NOT NULL UNIQUE COLLATE NOCASE,
    server_id INTEGER NOT NULL REFERENCES servers(id));
CREATE INDEX mailboxes_by_server ON mailboxes(server_id, id);
CREATE TABLE folders(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    mailbox_id INTEGER NOT NULL REFERENCES mailboxes(id),
    parent_id INTEGER REFERENCES folders(id) ON DELETE CASCADE,
    kind INTEGER NOT NULL,
    name TEXT NOT NULL,
    name_key TEXT NOT NULL,
    comment TEXT);
CREATE INDEX folders_by_parent ON folders(parent_id, name_key);
CREATE INDEX folders_by_mailbox ON folders(mailbox_id, kind);
CREATE TABLE messages(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    folder_id INTEGER NOT NULL REFERENCES folders(id) ON DELETE CASCADE,
    delivery_time INTEGER,
    subject TEXT,
    headers TEXT,
    body TEXT,
    message_class TEXT,
    props BLOB);
CREATE INDEX messages_by_folder ON messages(folder_id, id);
CREATE TABLE rules(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    folder_id INTEGER NOT NULL REFERENCES folders(id) ON DELETE CASCADE,
    sequence INTEGER,
    state INTEGER,
    condition BLOB,
    actions BLOB,
    provider TEXT,
    name TEXT,
    level INTEGER,
    user_flags INTEGER,
    provider_data BLOB);
CREATE INDEX rules_by_folder ON rules(folder_id, id);
CREATE TABLE faults(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    operation TEXT NOT NULL,
    mailbox TEXT NOT NULL,
    hr INTEGER NOT NULL,
    remaining INTEGER NOT NULL,
    pass_first INTEGER NOT NULL DEFAULT 0,
    delay_ms INTEGER NOT NULL DEFAULT 0);
)sql";

// From version 1: the faults' passes before the first hit and their delay.
constexpr const char* kUpgradeFrom1 = R"sql(
ALTER TABLE faults ADD COLUMN pass_first INTEGER NOT NULL DEFAULT 0;
ALTER TABLE faults ADD COLUMN delay_ms INTEGER NOT NULL DEFAULT 0;
UPDATE meta SET value = 2 WHERE key = 'version';
)sql";

bool IsBusy(int rc) {
    return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED;
}

std::atomic<int> g_busy_timeout_ms{kBusyTimeoutMs};

// The busy timeout covers nearly every wait; the few places where SQLite
// reports busy without calling the handler (a WAL recovery by another
// connection) are retried here a few times before giving up. The retries
// end with the busy timeout too: a lock that another process keeps would
// otherwise be waited for once per retry, fifty timeouts in all.
// A NoBusyWait in scope on this thread: connections opened here give up at
// once on a locked file.
thread_local int t_no_busy_wait = 0;

int EffectiveBusyTimeoutMs() {
    return t_no_busy_wait > 0 ? 0 : g_busy_timeout_ms.load();
}

template <typename F> int RetryBusy(F&& step) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(EffectiveBusyTimeoutMs());
    int rc = step();
    for (int attempt = 0; IsBusy(rc) && attempt < 50 && std::chrono::steady_clock::now() < deadline;
         ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2 + attempt));
        rc = step();
    }
    return rc;
}

} // namespace

void SetBusyTimeoutMs(int milliseconds) {
    g_busy_timeout_ms = milliseconds < 0 ? 0 : milliseconds;
}

int BusyTimeoutMs() {
    return g_busy_timeout_ms.load();
}

NoBusyWait::NoBusyWait() {
    ++t_no_busy_wait;
}
NoBusyWait::~NoBusyWait() {
    --t_no_busy_wait;
}

HRESULT HrFromSqlite(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return S_OK;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
        return MAPI_E_CORRUPT_STORE;
    case SQLITE_NOMEM:
        return MAPI_E_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
        return MAPI_E_NOT_ENOUGH_DISK;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return MAPI_E_BUSY;
    case SQLITE_CONSTRAINT:
        return MAPI_E_COLLISION;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return MAPI_E_NO_ACCESS;
    case SQLITE_CANTOPEN:
        return MAPI_E_NOT_FOUND;
    case SQLITE_IOERR:
        return MAPI_E_DISK_ERROR;
    default:
        return MAPI_E_CALL_FAILED;
    }
}

// ---- Stmt --------------------------------------------------------------------------
Stmt::~Stmt() {
    if (stmt_ != nullptr) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
}

void Stmt::Bind(int index, std::int64_t value) {
    if (stmt_ != nullptr)
        sqlite3_bind_int64(stmt_, index, value);
}

void Stmt::Bind(int index, std::string_view text) {
    if (stmt_ != nullptr)
        sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void Stmt::BindBlob(int index, const void* data, std::size_t size) {
    if (stmt_ == nullptr)
        return;
    // A zero-length blob is stored as an empty blob, not as NULL.
    static const BYTE kEmpty = 0;
    sqlite3_bind_blob64(stmt_, index, size ? data : &kEmpty, size, SQLITE_TRANSIENT);
}

void Stmt::BindNull(int index) {
    if (stmt_ != nullptr)
        sqlite3_bind_null(stmt_, index);
}

bool Stmt::Row() {
    if (stmt_ == nullptr) {
        if (rc_ == S_OK)
            rc_ = MAPI_E_CALL_FAILED;
        return false;
    }
    int rc = RetryBusy([&] {
        int r = sqlite3_step(stmt_);
        if (IsBusy(r))
            sqlite3_reset(stmt_);
        return r;
    });
    if (rc == SQLITE_ROW)
        return true;
    rc_ = rc == SQLITE_DONE ? S_OK : HrFromSqlite(rc);
    return false;
}

HRESULT Stmt::Exec() {
    while (Row()) {
    }
    return rc_;
}

void Stmt::Reset() {
    if (stmt_ != nullptr) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    rc_ = S_OK;
}

bool Stmt::IsNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t Stmt::Int(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

std::string Stmt::Text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    return text == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

std::string_view Stmt::TextView(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    return text == nullptr ? std::string_view()
                           : std::string_view(reinterpret_cast<const char*>(text),
                                              static_cast<std::size_t>(size));
}

std::vector<BYTE> Stmt::Blob(int column) const {
    const BYTE* data = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, column));
    int size = sqlite3_column_bytes(stmt_, column);
    if (data == nullptr || size <= 0)
        return {};
    return std::vector<BYTE>(data, data + size);
}

// ---- StoreDb -------------------------------------------------------------------------
StoreDb::~StoreDb() {
    for (auto& entry : cache_)
        sqlite3_finalize(entry.second);
    if (db_ != nullptr)
        sqlite3_close_v2(db_);
}

HRESULT StoreDb::Open(const std::string& path, bool create, std::shared_ptr<StoreDb>* out,
                      std::string* error) {
    out->reset();
    if (path.empty()) {
        *error = "no store file named";
        return MAPI_E_INVALID_PARAMETER;
    }
    struct stat st {};
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (create && exists) {
        *error = "store file already exists: " + path;
        return MAPI_E_COLLISION;
    }
    if (!create && !exists) {
        *error = "store file not found: " + path;
        return MAPI_E_NOT_FOUND;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        *error = "not a store file: " + path;
        return MAPI_E_CORRUPT_STORE;
    }
    std::shared_ptr<StoreDb> db;
    try {
        db.reset(new StoreDb());
    } catch (const std::bad_alloc&) {
        *error = "out of memory";
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    db->path_ = path;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (create)
        flags |= SQLITE_OPEN_CREATE | SQLITE_OPEN_EXCLUSIVE;
    int rc = sqlite3_open_v2(path.c_str(), &db->db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        int saved = errno;
        *error = "cannot open store file " + path + ": " +
                 (db->db_ ? sqlite3_errmsg(db->db_) : "out of memory");
        if ((rc & 0xFF) == SQLITE_CANTOPEN)
            return saved == EACCES || saved == EPERM || saved == EROFS ? MAPI_E_NO_ACCESS
                                                                       : MAPI_E_NOT_FOUND;
        return HrFromSqlite(rc);
    }
    HRESULT hr = db->Configure(error);
    if (FAILED(hr))
        return hr;
    if (!create) {
        hr = db->LoadIdentity(error);
        if (FAILED(hr))
            return hr;
    }
    *out = std::move(db);
    return S_OK;
}

HRESULT StoreDb::Configure(std::string* error) {
    sqlite3_busy_timeout(db_, EffectiveBusyTimeoutMs());
    sqlite3_extended_result_codes(db_, 1);
    // journal_mode=WAL is kept in the file; asking again on an existing
    // store is a no-op but also proves the file is a database at all. Every
    // session has its own connection (twenty workers and more), so each
    // keeps a page cache of 64 KiB instead of SQLite's default 2 MiB: enough
    // for the upper levels of the trees one mailbox's work walks, while a
    // larger cache mostly held pages of mailboxes already done (and, with
    // other connections writing, is dropped at the next change anyway).
    int rc = RetryBusy([&] {
        return sqlite3_exec(db_,
                            "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                            "PRAGMA foreign_keys=ON; PRAGMA cache_size=-64;",
                            nullptr, nullptr, nullptr);
    });
    if (rc != SQLITE_OK) {
        HRESULT hr = HrFromSqlite(rc);
        if (hr == MAPI_E_CORRUPT_STORE)
            *error = "not a store file (or damaged): " + path_;
        else
            *error = "cannot use store file " + path_ + ": " + sqlite3_errmsg(db_);
        return hr;
    }
    return S_OK;
}

HRESULT StoreDb::LoadIdentity(std::string* error) {
    std::string format;
    std::int64_t version = -1;
    bool have_guid = false;
    bool meta_ok = false;
    {
        sqlite3_stmt* raw = nullptr;
        int rc = RetryBusy([&] {
            return sqlite3_prepare_v2(db_, "SELECT key, value FROM meta", -1, &raw, nullptr);
        });
        if (rc != SQLITE_OK) {
            HRESULT hr = HrFromSqlite(rc);
            if (hr == MAPI_E_CALL_FAILED || hr == MAPI_E_CORRUPT_STORE) {
                *error = "not a store file (or damaged): " + path_;
                return MAPI_E_CORRUPT_STORE;
            }
            *error = "cannot read store file " + path_ + ": " + sqlite3_errmsg(db_);
            return hr;
        }
        HRESULT hr = S_OK;
        {
            Stmt stmt(this, raw);
            while (stmt.Row()) {
                meta_ok = true;
                std::string key = stmt.Text(0);
                if (key == "format")
                    format = stmt.Text(1);
                else if (key == "version")
                    version = stmt.Int(1);
                else if (key == "org")
                    org_ = stmt.Text(1);
                else if (key == "site")
                    site_ = stmt.Text(1);
                else if (key == "guid") {
                    std::vector<BYTE> g = stmt.Blob(1);
                    if (g.size() == sizeof(guid_)) {
                        std::memcpy(guid_, g.data(), g.size());
                        have_guid = true;
                    }
                }
            }
            hr = stmt.Result();
        }
        sqlite3_finalize(raw);
        if (FAILED(hr)) {
            *error = hr == MAPI_E_CORRUPT_STORE
                         ? "store file is damaged: " + path_
                         : "cannot read store file " + path_ + ": " + sqlite3_errmsg(db_);
            return hr;
        }
    }
    if (!meta_ok || format != kStoreFormat || !have_guid || org_.empty()) {
        *error = "not a store file (or damaged): " + path_;
        return MAPI_E_CORRUPT_STORE;
    }
    if (version == 1)
        return UpgradeFrom1(error);
    if (version != kStoreVersion) {
        *error = "store file " + path_ + " has format version " + std::to_string(version) +
                 "; this program reads version " + std::to_string(kStoreVersion);
        return MAPI_E_VERSION;
    }
    return S_OK;
}

// Brings a version 1 file to this version in one transaction. Another
// connection may have done it meanwhile; the version is read again once the
// write lock is held.
HRESULT StoreDb::UpgradeFrom1(std::string* error) {
    Txn txn(*this, true);
    HRESULT hr = txn.Result();
    std::int64_t version = -1;
    if (SUCCEEDED(hr)) {
        Stmt q = Prepare("SELECT value FROM meta WHERE key = 'version'");
        version = q.Row() ? q.Int(0) : -1;
        hr = q.Result();
    }
    if (SUCCEEDED(hr) && version == 1)
        hr = ExecScript(kUpgradeFrom1);
    if (SUCCEEDED(hr))
        hr = txn.Commit();
    if (FAILED(hr))
        *error = "store file " + path_ + " has format version 1 and cannot be upgraded to " +
                 std::to_string(kStoreVersion) + ": " + sqlite3_errmsg(db_);
    return hr;
}

HRESULT StoreDb::Initialise(const std::string& org, const std::string& site, std::string* error) {
    std::random_device random;
    for (std::size_t i = 0; i < sizeof(guid_); i += 4) {
        std::uint32_t r = random();
        std::memcpy(guid_ + i, &r, 4);
    }
    org_ = org;
    site_ = site;
    Txn txn(*this, true);
    HRESULT hr = txn.Result();
    if (SUCCEEDED(hr))
        hr = ExecScript(kSchema);
    if (SUCCEEDED(hr)) {
        Stmt put = Prepare("INSERT INTO meta(key, value) VALUES(?, ?)");
        const std::pair<const char*, std::string> texts[] = {
            {"format", kStoreFormat}, {"org", org}, {"site", site}};
        for (const auto& entry : texts) {
            put.Reset();
            put.Bind(1, entry.first);
            put.Bind(2, entry.second);
            if (SUCCEEDED(hr))
                hr = put.Exec();
        }
    }
    if (SUCCEEDED(hr)) {
        Stmt put = Prepare("INSERT INTO meta(key, value) VALUES('version', ?)");
        put.Bind(1, static_cast<std::int64_t>(kStoreVersion));
        hr = put.Exec();
    }
    if (SUCCEEDED(hr)) {
        Stmt put = Prepare("INSERT INTO meta(key, value) VALUES('guid', ?)");
        put.BindBlob(1, guid_, sizeof(guid_));
        hr = put.Exec();
    }
    if (SUCCEEDED(hr))
        hr = txn.Commit();
    if (FAILED(hr))
        *error = "cannot initialise store file " + path_ + ": " + sqlite3_errmsg(db_);
    return hr;
}

Stmt StoreDb::Prepare(const char* sql) {
    auto found = cache_.find(sql);
    if (found != cache_.end()) {
        sqlite3_reset(found->second);
        return Stmt(this, found->second);
    }
    sqlite3_stmt* stmt = nullptr;
    int rc = RetryBusy([&] { return sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr); });
    if (rc != SQLITE_OK) {
        Stmt failed(this, nullptr);
        return failed;
    }
    try {
        cache_.emplace(sql, stmt);
    } catch (const std::bad_alloc&) {
        sqlite3_finalize(stmt);
        return Stmt(this, nullptr);
    }
    return Stmt(this, stmt);
}

HRESULT StoreDb::ExecScript(const char* sql) {
    int rc = RetryBusy([&] { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); });
    return HrFromSqlite(rc);
}

HRESULT StoreDb::Begin(bool write) {
    if (depth_ > 0) {
        ++depth_;
        return S_OK;
    }
    HRESULT hr = ExecScript(write ? "BEGIN IMMEDIATE" : "BEGIN");
    if (SUCCEEDED(hr))
        depth_ = 1;
    return hr;
}

HRESULT StoreDb::Commit() {
    if (depth_ == 0)
        return MAPI_E_CALL_FAILED;
    if (--depth_ > 0)
        return S_OK;
    HRESULT hr = ExecScript("COMMIT");
    if (FAILED(hr))
        ExecScript("ROLLBACK");
    return hr;
}

void StoreDb::Rollback() {
    if (depth_ == 0)
        return;
    // An inner scope that gives up makes the whole transaction give up.
    depth_ = 0;
    ExecScript("ROLLBACK");
}

std::int64_t StoreDb::DataVersion() {
    Stmt stmt = Prepare("PRAGMA data_version");
    if (stmt.Row())
        return stmt.Int(0);
    return -1;
}

HRESULT StoreDb::CheckFault(const char* operation, const std::string& alias,
                            const std::string& dn) {
    std::int64_t delay_ms = 0;
    const HRESULT hr = FindFault(operation, alias, dn, &delay_ms);
    if (delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    return hr;
}

HRESULT StoreDb::FindFault(const char* operation, const std::string& alias, const std::string& dn,
                           std::int64_t* delay_ms) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::int64_t version = DataVersion();
    if (!fault_cache_valid_ || version != fault_data_version_ || version < 0) {
        Stmt any = Prepare("SELECT EXISTS(SELECT 1 FROM faults WHERE remaining != 0)");
        has_faults_ = any.Row() ? any.Int(0) != 0 : false;
        fault_data_version_ = version;
        fault_cache_valid_ = true;
    }
    if (!has_faults_)
        return S_OK;

    // A fault for the exact mailbox is found before a "*" one, and older
    // faults before newer ones.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::int64_t id = 0;
        std::int64_t hr = 0;
        std::int64_t remaining = 0;
        std::int64_t pass_first = 0;
        {
            Stmt find = Prepare("SELECT id, hr, remaining, pass_first, delay_ms FROM faults "
                                "WHERE operation = ?1 AND remaining != 0 "
                                "AND (mailbox = '*' OR mailbox = ?2 COLLATE NOCASE OR mailbox = "
                                "?3 COLLATE NOCASE) ORDER BY mailbox = '*', id LIMIT 1");
            find.Bind(1, operation);
            find.Bind(2, alias);
            find.Bind(3, dn);
            if (!find.Row()) {
                *delay_ms = 0;
                return S_OK;
            }
            id = find.Int(0);
            hr = find.Int(1);
            remaining = find.Int(2);
            pass_first = find.Int(3);
            *delay_ms = find.Int(4);
        }
        if (pass_first > 0) {
            // This call is one of those the fault lets pass.
            *delay_ms = 0;
            Stmt pass = Prepare("UPDATE faults SET pass_first = pass_first - 1 "
                                "WHERE id = ? AND pass_first > 0");
            pass.Bind(1, id);
            if (SUCCEEDED(pass.Exec()) && Changes() == 1) {
                fault_cache_valid_ = false;
                return S_OK;
            }
            continue;
        }
        if (remaining < 0)
            return static_cast<HRESULT>(hr);
        // Consume one use; another connection may have taken the last one
        // in the meantime, in which case look again.
        Stmt take = Prepare("UPDATE faults SET remaining = remaining - 1 "
                            "WHERE id = ? AND remaining > 0");
        take.Bind(1, id);
        if (FAILED(take.Exec()))
            return static_cast<HRESULT>(hr);
        if (Changes() == 1) {
            fault_cache_valid_ = false;
            return static_cast<HRESULT>(hr);
        }
    }
    return S_OK;
}

} // namespace infostore
