// The store's SQLite connection: one per MAPI session or Admin object.
//
// Every connection runs in WAL mode with a busy timeout, so readers never
// wait for the writer and writers queue for each other instead of failing.
// Writes happen in short BEGIN IMMEDIATE transactions, which take the write
// lock up front and so never hit a busy upgrade half way through.
//
// A connection may be reached from several threads (objects of one session
// handed between threads): callers hold Lock() across each operation.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <sqlite3.h>

#include "mailstore/mapidefs.h"

namespace infostore {

// The file format this code reads and writes.
constexpr const char* kStoreFormat = "sortwell-infostore";
// Version 2 added the faults' passes before the first hit and their delay;
// a version 1 file is upgraded when it is opened.
constexpr int kStoreVersion = 2;
constexpr int kBusyTimeoutMs = 30000;

// How long an operation waits for a lock another connection or process
// holds before it fails with MAPI_E_BUSY: kBusyTimeoutMs unless set here.
// Applies to connections opened afterwards. For tests, which must not wait
// the full time to see a locked store refused.
void SetBusyTimeoutMs(int milliseconds);
int BusyTimeoutMs();
// While one of these is alive, store connections opened on the calling
// thread do not wait for a locked file: a busy store fails at once. For
// questions that must never hold anything up (the profile fault hook).
class NoBusyWait {
public:
    NoBusyWait();
    ~NoBusyWait();
    NoBusyWait(const NoBusyWait&) = delete;
    NoBusyWait& operator=(const NoBusyWait&) = delete;
};

// Turns an SQLite result into the MAPI failure a caller sees.
HRESULT HrFromSqlite(int rc);

class StoreDb;

// A prepared statement from the connection's cache; reset and cleared when
// the holder goes out of scope.
class Stmt {
public:
    Stmt(StoreDb* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    Stmt(Stmt&& other) noexcept : db_(other.db_), stmt_(other.stmt_), rc_(other.rc_) {
        other.stmt_ = nullptr;
    }
    ~Stmt();

    bool ok() const { return stmt_ != nullptr; }
    // Makes the statement ready to be bound and run again.
    void Reset();
    void Bind(int index, std::int64_t value);
    void Bind(int index, std::string_view text);
    void BindBlob(int index, const void* data, std::size_t size);
    void BindNull(int index);
    // Steps once: true when a row is ready. After false, Result() tells
    // whether the statement finished (S_OK) or failed.
    bool Row();
    HRESULT Result() const { return rc_; }
    // Runs a statement that returns no rows.
    HRESULT Exec();

    bool IsNull(int column) const;
    std::int64_t Int(int column) const;
    std::string Text(int column) const;
    // The column's text without a copy, valid until the next step or reset.
    std::string_view TextView(int column) const;
    std::vector<BYTE> Blob(int column) const;

private:
    StoreDb* db_;
    sqlite3_stmt* stmt_;
    HRESULT rc_ = S_OK;
};

class StoreDb {
public:
    ~StoreDb();
    StoreDb(const StoreDb&) = delete;
    StoreDb& operator=(const StoreDb&) = delete;

    // Opens an existing store (create == false: a missing file gives
    // MAPI_E_NOT_FOUND, a file that is not a store MAPI_E_CORRUPT_STORE) or
    // creates a new one (an existing file gives MAPI_E_COLLISION). `error`
    // receives one line naming the problem.
    static HRESULT Open(const std::string& path, bool create, std::shared_ptr<StoreDb>* db,
                        std::string* error);
    // Initialises a freshly created store: schema, identity, names.
    HRESULT Initialise(const std::string& org, const std::string& site, std::string* error);

    std::recursive_mutex& Mutex() { return mutex_; }
    const std::string& Path() const { return path_; }
    // The 16-byte identity of this store file, part of every entry id.
    const BYTE* Guid() const { return guid_; }
    const std::string& Org() const { return org_; }
    const std::string& Site() const { return site_; }

    Stmt Prepare(const char* sql);
    // Runs one or more statements without results (schema, pragmas).
    HRESULT ExecScript(const char* sql);
    sqlite3* Handle() { return db_; }
    std::string ErrorText() const { return sqlite3_errmsg(db_); }
    std::int64_t LastInsertId() const { return sqlite3_last_insert_rowid(db_); }
    int Changes() const { return sqlite3_changes(db_); }

    // Transactions. Begin(true) takes the write lock at once.
    HRESULT Begin(bool write);
    HRESULT Commit();
    void Rollback();
    bool InTransaction() const { return depth_ > 0; }

    // Counts changes this connection makes to the rules, so that open rules
    // table views can tell when to reload.
    std::uint64_t LocalRulesGeneration() const { return rules_generation_; }
    void NoteRulesChanged() { ++rules_generation_; }
    // PRAGMA data_version: changes whenever another connection commits.
    std::int64_t DataVersion();

    // Fault injection. Returns S_OK when no fault applies to `operation` for
    // the mailbox (alias and DN), otherwise the fault's result, consuming
    // one use of a counted fault; a fault that lets its first calls pass
    // consumes one of those instead and returns S_OK, and a fault with a
    // delay waits that long before it returns. Cheap while the store holds
    // no active fault: one PRAGMA read per call.
    HRESULT CheckFault(const char* operation, const std::string& alias, const std::string& dn);
    // Forget the cached fault state (after this connection changed faults).
    void FaultsChanged() { fault_cache_valid_ = false; }

private:
    StoreDb() = default;
    HRESULT Configure(std::string* error);
    HRESULT LoadIdentity(std::string* error);
    HRESULT UpgradeFrom1(std::string* error);
    // CheckFault's look-up under the connection's lock; `delay_ms` is how
    // long the call is to wait once the lock is given back.
    HRESULT FindFault(const char* operation, const std::string& alias, const std::string& dn,
                      std::int64_t* delay_ms);

    sqlite3* db_ = nullptr;
    std::string path_;
    std::recursive_mutex mutex_;
    std::unordered_map<const char*, sqlite3_stmt*> cache_;
    BYTE guid_[16] = {};
    std::string org_;
    std::string site_;
    int depth_ = 0;
    std::uint64_t rules_generation_ = 0;
    bool fault_cache_valid_ = false;
    bool has_faults_ = false;
    std::int64_t fault_data_version_ = -1;
};

// A transaction held for one scope: rolled back unless committed.
class Txn {
public:
    Txn(StoreDb& db, bool write) : db_(db) { rc_ = db_.Begin(write); }
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;
    ~Txn() {
        if (SUCCEEDED(rc_) && !done_)
            db_.Rollback();
    }
    HRESULT Result() const { return rc_; }
    HRESULT Commit() {
        done_ = true;
        return db_.Commit();
    }

private:
    StoreDb& db_;
    HRESULT rc_;
    bool done_ = false;
};

} // namespace infostore
