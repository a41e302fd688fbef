// Store files that are damaged, or locked by another process. A damaged
// file is refused with one line saying so, through the administration
// interface and through a MAPI logon alike; a locked one gives MAPI_E_BUSY
// once the busy timeout has passed, not a crash and not a wait of many
// timeouts, and works again as soon as the lock is let go.
#include "mailstore/mailbox_ops.h"
#include "platform/infostore/infostore_db.h"
#include "platform/mapi/mapi_runtime.h"
#include "tests/hostile/hostile_support.h"
#include "tests/support/held_in_child.h"

#include <sqlite3.h>
#include <sys/wait.h>

#include <chrono>
#include <random>

namespace hostile {
namespace {

using swtest::HeldInChild;

using Clock = std::chrono::steady_clock;

// Shortens the busy timeout for one test.
class ShortBusyTimeout {
public:
    explicit ShortBusyTimeout(int milliseconds) { infostore::SetBusyTimeoutMs(milliseconds); }
    ~ShortBusyTimeout() { infostore::SetBusyTimeoutMs(infostore::kBusyTimeoutMs); }
    ShortBusyTimeout(const ShortBusyTimeout&) = delete;
    ShortBusyTimeout& operator=(const ShortBusyTimeout&) = delete;
};

// Takes a lock on the store file (in a child process, which holds it until
// it is ended): the write lock (others still read), or with `exclusive` the
// whole file. Nothing is committed.
bool TakeLock(const std::string& path, bool exclusive) {
    sqlite3* db = nullptr;
    const char* sql = exclusive
                          ? "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                            "UPDATE meta SET value = value WHERE key = 'org';"
                          : "BEGIN IMMEDIATE; UPDATE meta SET value = value WHERE key = 'org';";
    return sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
           sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

long Milliseconds(Clock::duration elapsed) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

class HostileStoreFile : public ::testing::Test {
protected:
    // Logs on through a MAPI profile for alice on the store at `path`, the
    // way the agent does; returns the first failure.
    HRESULT MapiLogon(const std::string& path) {
        ::setenv("SORTWELL_PROFILES", dir_.file("profiles").c_str(), 1);
        infostore::SetStorePathOverride(path);
        MAPIINIT_0 init = {MAPI_INIT_VERSION, MAPI_NT_SERVICE};
        HRESULT hr = MAPIInitialize(&init);
        if (FAILED(hr)) {
            return hr;
        }
        const ULONG buffers = MAPIDebugLiveBuffers();
        const ULONG objects = MAPIDebugLiveObjects();
        hr = mapi_CreateProfile(u"hostile_store", u"alice", u"mail1");
        if (SUCCEEDED(hr)) {
            char profile[] = "hostile_store";
            char password[] = "";
            LPMAPISESSION session = nullptr;
            hr = MAPILogonEx(0, profile, password,
                             MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE | MAPI_EXTENDED |
                                 MAPI_NO_MAIL | MAPI_NT_SERVICE,
                             &session);
            if (session != nullptr) {
                session->Logoff(0, 0, 0);
                session->Release();
            }
        }
        mapi_DeleteProfile(u"hostile_store");
        EXPECT_EQ(MAPIDebugLiveBuffers(), buffers) << "a MAPI buffer was left behind";
        EXPECT_EQ(MAPIDebugLiveObjects(), objects) << "a MAPI object was left behind";
        MAPIUninitialize();
        infostore::SetStorePathOverride("");
        return hr;
    }

    TempDir dir_{"sortwell-hostile"};
};

TEST_F(HostileStoreFile, DamagedFilesAreRefusedWithOneClearLine) {
    // A good store to damage in several ways.
    const std::string good = dir_.file("good.db");
    {
        StoreFile store(good);
        ASSERT_TRUE(store.Create());
        for (int i = 0; i < 300; ++i) {
            store.Deliver("Subject: message " + std::to_string(i) + "\r\n\r\n" +
                          std::string(2000, 'x'));
        }
        store.Close();
        const std::string bytes = ReadFile(good);
        ASSERT_GT(bytes.size(), 100000u);

        std::mt19937 random(4242);
        WriteFile(dir_.file("half.db"), bytes.substr(0, bytes.size() / 2));
        std::string scribbled = bytes;
        for (std::size_t i = 4096; i < scribbled.size(); i += 3) {
            scribbled[i] = static_cast<char>(random() & 0xFF);
        }
        WriteFile(dir_.file("scribbled.db"), scribbled);
        std::string header_only = bytes.substr(0, 100);
        WriteFile(dir_.file("header.db"), header_only);
    }
    // Files that are no store at all (garbage, empty, another database, a
    // folder, none) are the store's own tests; here the damage lies inside
    // a real store, where it shows only as the store is read.
    for (const char* name : {"half.db", "scribbled.db", "header.db"}) {
        SCOPED_TRACE(name);
        const std::string path = dir_.file(name);
        std::unique_ptr<infostore::Admin> admin;
        HRESULT hr = infostore::Admin::Open(path, &admin);
        std::vector<infostore::MailboxInfo> mailboxes;
        std::vector<infostore::MessageInfo> messages;
        if (SUCCEEDED(hr)) {
            // Damage further in shows when it is read.
            hr = admin->ListMailboxes("", &mailboxes);
            if (SUCCEEDED(hr)) {
                hr = admin->ListMessages("alice", "", &messages);
            }
            if (SUCCEEDED(hr)) {
                hr = admin->Deliver("alice", "Subject: x\r\n\r\ny", infostore::DeliveryOptions());
            }
        }
        EXPECT_EQ(hr, MAPI_E_CORRUPT_STORE);
        ASSERT_TRUE(admin != nullptr);
        const std::string& error = admin->LastError();
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_TRUE(error.find(path) != std::string::npos ||
                    error.find("malformed") != std::string::npos)
            << error;

        // A logon through MAPI fails the same way, and gives everything back.
        EXPECT_EQ(MapiLogon(path), MAPI_E_CORRUPT_STORE);
    }
}

TEST_F(HostileStoreFile, AWriteLockHeldElsewhereGivesBusyAfterOneTimeout) {
    ShortBusyTimeout timeout(300);
    StoreFile store(dir_.file("store.db"));
    ASSERT_TRUE(store.Create());
    store.AddAgentRule("X-Spam-Flag: YES");
    store.Close();

    HeldInChild holder([&] { return TakeLock(store.path(), false); });
    ASSERT_TRUE(holder.held());
    ASSERT_EQ(store.Reopen(), S_OK) << "reading goes on while another process writes";
    std::vector<infostore::MailboxInfo> mailboxes;
    EXPECT_EQ(store.admin().ListMailboxes("", &mailboxes), S_OK);
    EXPECT_EQ(mailboxes.size(), 1u);

    const Clock::time_point started = Clock::now();
    EXPECT_EQ(
        store.admin().Deliver("alice", "X-Spam-Flag: YES\r\n\r\n", infostore::DeliveryOptions()),
        MAPI_E_BUSY);
    const long waited = Milliseconds(Clock::now() - started);
    EXPECT_GE(waited, 300);
    EXPECT_LT(waited, 3000) << "waited for more than the busy timeout";
    EXPECT_EQ(store.admin().LastError(), "cannot write to the store: database is locked");

    holder.End();
    EXPECT_EQ(store.Deliver("X-Spam-Flag: YES\r\n\r\n"), "Spam");
}

TEST_F(HostileStoreFile, AFileLockedWholeGivesBusyAfterOneTimeoutThroughEitherDoor) {
    ShortBusyTimeout timeout(300);
    StoreFile store(dir_.file("store.db"));
    ASSERT_TRUE(store.Create());
    store.Close();

    HeldInChild holder([&] { return TakeLock(store.path(), true); });
    ASSERT_TRUE(holder.held());
    Clock::time_point started = Clock::now();
    EXPECT_EQ(store.Reopen(), MAPI_E_BUSY);
    long waited = Milliseconds(Clock::now() - started);
    EXPECT_GE(waited, 300);
    EXPECT_LT(waited, 3000) << "waited for more than the busy timeout";
    EXPECT_EQ(store.admin().LastError(),
              "cannot use store file " + store.path() + ": database is locked");

    started = Clock::now();
    EXPECT_EQ(MapiLogon(store.path()), MAPI_E_BUSY);
    waited = Milliseconds(Clock::now() - started);
    EXPECT_LT(waited, 3000) << "a MAPI logon waited for more than the busy timeout";

    holder.End();
    ASSERT_EQ(store.Reopen(), S_OK);
    EXPECT_EQ(store.Deliver("Subject: after\r\n\r\n"), "Inbox");
    EXPECT_EQ(MapiLogon(store.path()), S_OK);
}

} // namespace
} // namespace hostile
