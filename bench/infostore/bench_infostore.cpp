// Throughput of the information store on a store of 10,000 mailboxes: what
// one mailbox's processing asks of it through MAPI (open the mailbox, find
// the Inbox, open and scan the rules table, add a rule, create a folder),
// what the server does (deliver a message through the rules) and what the
// expunge does (delete a message). Each is measured twice: through the
// store, and as the bare SQL statements that do the same work on the same
// file, the floor to compare against. Items per second are the rates;
// Creating the store is measured too (one transaction).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "mailstore/mapitags.h"
#include "mailstore/mapix.h"
#include "platform/infostore/infostore_admin.h"

namespace {

constexpr int kMailboxes = 10000;
constexpr const char* kMarker = "x-spam-flag: yes";

// ---- The shared store ------------------------------------------------------------------
struct World {
    std::string dir;
    std::string path;
    std::string profiles;
    std::string store_dn;
    std::unique_ptr<infostore::Admin> admin;
    LPMAPISESSION session = nullptr;
    LPMDB own = nullptr;
    LPEXCHANGEMANAGESTORE manage = nullptr;
    double create_seconds = 0;

    ~World() {
        if (manage)
            manage->Release();
        if (own)
            own->Release();
        if (session) {
            session->Logoff(0, 0, 0);
            session->Release();
        }
        MAPIUninitialize();
        admin.reset();
        for (const char* suffix : {"", "-wal", "-shm"})
            unlink((path + suffix).c_str());
        unlink(profiles.c_str());
        unlink((profiles + ".lock").c_str());
        rmdir(dir.c_str());
    }
};

std::string MailboxDn(int n) {
    return "/o=Bench/ou=Lab/cn=Recipients/cn=user" + std::to_string(n);
}

World* g_world = nullptr;

World& TheWorld() {
    static World* world = [] {
        auto* w = new World();
        char pattern[] = "/tmp/bench_infostore.XXXXXX";
        w->dir = mkdtemp(pattern) ? pattern : "/tmp";
        w->path = w->dir + "/store.db";
        w->profiles = w->dir + "/profiles";
        setenv("SORTWELL_PROFILES", w->profiles.c_str(), 1);
        if (FAILED(infostore::Admin::Create(w->path, "Bench", "Lab", &w->admin)) ||
            FAILED(w->admin->AddServer("mail1")) ||
            FAILED(w->admin->AddMailbox("agent", "mail1", "Agent")))
            std::abort();
        auto start = std::chrono::steady_clock::now();
        if (FAILED(w->admin->AddMailboxes(kMailboxes, "user", "mail1")))
            std::abort();
        w->create_seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        infostore::SetStorePathOverride(w->path);
        w->store_dn = "/o=Bench/ou=Lab/cn=Configuration/cn=Servers/cn=mail1/cn=Microsoft "
                      "Private MDB";

        MAPIINIT_0 init = {MAPI_INIT_VERSION, MAPI_NT_SERVICE};
        LPPROFADMIN profiles = nullptr;
        LPSERVICEADMIN services = nullptr;
        LPMAPITABLE table = nullptr;
        LPSRowSet rows = nullptr;
        char name[] = "bench";
        char service[] = "MSEMS";
        SizedSPropTagArray<1> uid = {1, {PR_SERVICE_UID}};
        SPropValue config[2] = {};
        config[0].ulPropTag = PR_PROFILE_UNRESOLVED_NAME;
        config[0].Value.lpszA = const_cast<char*>("=agent");
        config[1].ulPropTag = PR_PROFILE_UNRESOLVED_SERVER;
        config[1].Value.lpszA = const_cast<char*>("mail1");
        char password[] = "";
        if (FAILED(MAPIInitialize(&init)) || FAILED(MAPIAdminProfiles(0, &profiles)) ||
            FAILED(profiles->CreateProfile(name, nullptr, 0, 0)) ||
            FAILED(profiles->AdminServices(name, nullptr, 0, 0, &services)) ||
            FAILED(services->CreateMsgService(service, service, 0, 0)) ||
            FAILED(services->GetMsgServiceTable(0, &table)) ||
            FAILED(HrQueryAllRows(table, uid.get(), nullptr, nullptr, 0, &rows)) ||
            FAILED(services->ConfigureMsgService(
                reinterpret_cast<LPMAPIUID>(rows->aRow[0].lpProps[0].Value.bin.lpb), 0, 0, 2,
                config)) ||
            FAILED(MAPILogonEx(0, name, password, 0x18032, &w->session)))
            std::abort();
        FreeProws(rows);
        table->Release();
        services->Release();
        profiles->Release();

        std::vector<BYTE> own_id;
        w->admin->StoreEntryId("agent", &own_id);
        if (FAILED(w->session->OpenMsgStore(0, static_cast<ULONG>(own_id.size()),
                                            reinterpret_cast<LPENTRYID>(own_id.data()), nullptr,
                                            MAPI_BEST_ACCESS, &w->own)) ||
            FAILED(w->own->QueryInterface(IID_IExchangeManageStore,
                                          reinterpret_cast<void**>(&w->manage))))
            std::abort();
        g_world = w;
        return w;
    }();
    return *world;
}

int g_next = 0;
int NextMailbox() {
    return 1 + (g_next++ % kMailboxes);
}

LPMDB OpenMailbox(World& w, int n) {
    std::string dn = MailboxDn(n);
    std::string store_dn = w.store_dn;
    ULONG size = 0;
    LPENTRYID entry = nullptr;
    LPMDB store = nullptr;
    if (FAILED(w.manage->CreateStoreEntryID(store_dn.data(), dn.data(), 9, &size, &entry)) ||
        FAILED(w.session->OpenMsgStore(0, size, entry, nullptr, 0xB1, &store)))
        std::abort();
    MAPIFreeBuffer(entry);
    return store;
}

LPMAPIFOLDER OpenInbox(LPMDB store) {
    LPMAPIFOLDER root = nullptr;
    LPMAPIFOLDER inbox = nullptr;
    ULONG type = 0, size = 0;
    LPENTRYID id = nullptr;
    char ipm[] = "IPM";
    if (FAILED(
            store->OpenEntry(0, nullptr, nullptr, 9, &type, reinterpret_cast<LPUNKNOWN*>(&root))) ||
        FAILED(store->GetReceiveFolder(ipm, 0, &size, &id, nullptr)) ||
        FAILED(root->OpenEntry(size, id, nullptr, 9, &type, reinterpret_cast<LPUNKNOWN*>(&inbox))))
        std::abort();
    MAPIFreeBuffer(id);
    root->Release();
    return inbox;
}

LPMAPIFOLDER OpenTop(LPMDB store) {
    LPMAPIFOLDER top = nullptr;
    LPSPropValue id = nullptr;
    ULONG type = 0;
    if (FAILED(HrGetOneProp(store, PR_IPM_SUBTREE_ENTRYID, &id)) ||
        FAILED(store->OpenEntry(id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb),
                                nullptr, 9, &type, reinterpret_cast<LPUNKNOWN*>(&top))))
        std::abort();
    MAPIFreeBuffer(id);
    return top;
}

// The agent's rule, built as it builds it.
HRESULT AddRule(LPEXCHANGEMODIFYTABLE rules, LPMDB store, LPMAPIFOLDER folder) {
    LPSPropValue store_id = nullptr, folder_id = nullptr;
    if (FAILED(HrGetOneProp(store, PR_ENTRYID, &store_id)) ||
        FAILED(HrGetOneProp(folder, PR_ENTRYID, &folder_id)))
        std::abort();
    SPropValue marker{};
    marker.ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
    marker.Value.lpszA = const_cast<char*>(kMarker);
    SRestriction condition{};
    condition.rt = RES_CONTENT;
    condition.res.resContent = {0x00050001, PR_TRANSPORT_MESSAGE_HEADERS, &marker};
    ACTION action{};
    action.acttype = OP_MOVE;
    action.actMoveCopy = {
        store_id->Value.bin.cb, reinterpret_cast<LPENTRYID>(store_id->Value.bin.lpb),
        folder_id->Value.bin.cb, reinterpret_cast<LPENTRYID>(folder_id->Value.bin.lpb)};
    ACTIONS actions{EDK_RULES_VERSION, 1, &action};
    SPropValue values[7] = {};
    values[0].ulPropTag = PR_RULE_SEQUENCE;
    values[0].Value.l = 1001;
    values[1].ulPropTag = PR_RULE_STATE;
    values[1].Value.l = ST_ENABLED;
    values[2].ulPropTag = PR_RULE_CONDITION;
    values[2].Value.lpv = &condition;
    values[3].ulPropTag = PR_RULE_ACTIONS;
    values[3].Value.lpv = &actions;
    values[4].ulPropTag = PR_RULE_PROVIDER;
    values[4].Value.lpszA = const_cast<char*>("MSExchange.Rules");
    values[5].ulPropTag = PR_RULE_NAME;
    values[5].Value.lpszA = const_cast<char*>("_Corvane Spam Folder Rule_");
    values[6].ulPropTag = PR_RULE_LEVEL;
    ROWLIST list = {1, {{ROW_ADD, 7, values}}};
    HRESULT hr = rules->ModifyTable(0, &list);
    MAPIFreeBuffer(store_id);
    MAPIFreeBuffer(folder_id);
    return hr;
}

const std::string kMessage =
    "Received: from mx.example.net by mail1\r\nFrom: someone@example.net\r\n"
    "To: user@example.org\r\nSubject: Offer\r\nX-Spam-Flag: YES\r\n\r\nBuy now.\r\n";

// ---- Through the store -------------------------------------------------------------------
void BM_Store_OpenMailbox(benchmark::State& state) {
    World& w = TheWorld();
    for (auto _ : state)
        OpenMailbox(w, NextMailbox())->Release();
    state.SetItemsProcessed(state.iterations());
}

void BM_Store_FindInbox(benchmark::State& state) {
    World& w = TheWorld();
    LPMDB store = OpenMailbox(w, 17);
    for (auto _ : state)
        OpenInbox(store)->Release();
    store->Release();
    state.SetItemsProcessed(state.iterations());
}

void BM_Store_ScanRules(benchmark::State& state) {
    World& w = TheWorld();
    LPMDB store = OpenMailbox(w, 18);
    LPMAPIFOLDER inbox = OpenInbox(store);
    LPMAPIFOLDER top = OpenTop(store);
    // Google Benchmark may call this function more than once: three rules
    // are added the first time only.
    static bool rules_added = false;
    for (int i = 0; i < 3 && !rules_added; ++i) {
        LPEXCHANGEMODIFYTABLE rules = nullptr;
        inbox->OpenProperty(PR_RULES_TABLE, &IID_IExchangeModifyTable, 0, 8,
                            reinterpret_cast<LPUNKNOWN*>(&rules));
        AddRule(rules, store, top);
        rules->Release();
    }
    rules_added = true;
    SizedSPropTagArray<11> columns = {11,
                                      {PR_RULE_SEQUENCE, PR_RULE_STATE, PR_RULE_CONDITION,
                                       PR_RULE_ACTIONS, PR_RULE_PROVIDER, PR_RULE_NAME,
                                       PR_RULE_LEVEL, PR_RULE_ID, PR_RULE_NAME_W,
                                       PR_RULE_USER_FLAGS, PR_RULE_PROVIDER_DATA}};
    for (auto _ : state) {
        LPEXCHANGEMODIFYTABLE rules = nullptr;
        LPMAPITABLE view = nullptr;
        LPSRowSet rows = nullptr;
        if (FAILED(inbox->OpenProperty(PR_RULES_TABLE, &IID_IExchangeModifyTable, 0, 8,
                                       reinterpret_cast<LPUNKNOWN*>(&rules))) ||
            FAILED(rules->GetTable(0, &view)) || FAILED(view->SetColumns(columns.get(), 0)) ||
            FAILED(view->SeekRow(BOOKMARK_BEGINNING, 0, nullptr)) ||
            FAILED(HrQueryAllRows(view, nullptr, nullptr, nullptr, 1024, &rows)) ||
            rows->cRows != 3)
            std::abort();
        FreeProws(rows);
        view->Release();
        rules->Release();
    }
    top->Release();
    inbox->Release();
    store->Release();
    state.SetItemsProcessed(state.iterations());
}

void BM_Store_AddRule(benchmark::State& state) {
    World& w = TheWorld();
    LPMDB store = OpenMailbox(w, 19);
    LPMAPIFOLDER inbox = OpenInbox(store);
    LPMAPIFOLDER top = OpenTop(store);
    LPEXCHANGEMODIFYTABLE rules = nullptr;
    inbox->OpenProperty(PR_RULES_TABLE, &IID_IExchangeModifyTable, 0, 8,
                        reinterpret_cast<LPUNKNOWN*>(&rules));
    for (auto _ : state)
        if (FAILED(AddRule(rules, store, top)))
            std::abort();
    rules->Release();
    top->Release();
    inbox->Release();
    store->Release();
    state.SetItemsProcessed(state.iterations());
}

void BM_Store_CreateFolder(benchmark::State& state) {
    World& w = TheWorld();
    LPMDB store = OpenMailbox(w, 20);
    LPMAPIFOLDER top = OpenTop(store);
    int n = 0;
    for (auto _ : state) {
        std::string name = "Folder " + std::to_string(++n);
        LPMAPIFOLDER folder = nullptr;
        if (FAILED(top->CreateFolder(FOLDER_GENERIC, name.data(), nullptr, nullptr, OPEN_IF_EXISTS,
                                     &folder)))
            std::abort();
        folder->Release();
    }
    top->Release();
    store->Release();
    state.SetItemsProcessed(state.iterations());
}

// Gives a mailbox a Spam folder and the agent's rule moving marked mail
// there (once), so deliveries to it go through one rule and are moved.
void PrepareSpamRule(World& w, const std::string& alias) {
    infostore::FolderInfo spam;
    if (SUCCEEDED(w.admin->FindFolder(alias, "Spam", &spam)))
        return;
    std::vector<BYTE> store_id;
    if (FAILED(w.admin->CreateFolder(alias, "Spam", &spam)) ||
        FAILED(w.admin->StoreEntryId(alias, &store_id)))
        std::abort();
    SPropValue marker{};
    marker.ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
    marker.Value.lpszA = const_cast<char*>(kMarker);
    SRestriction condition{};
    condition.rt = RES_CONTENT;
    condition.res.resContent = {0x00050001, PR_TRANSPORT_MESSAGE_HEADERS, &marker};
    ACTION action{};
    action.acttype = OP_MOVE;
    action.actMoveCopy = {static_cast<ULONG>(store_id.size()),
                          reinterpret_cast<LPENTRYID>(store_id.data()),
                          static_cast<ULONG>(spam.entry_id.size()),
                          reinterpret_cast<LPENTRYID>(spam.entry_id.data())};
    ACTIONS actions{EDK_RULES_VERSION, 1, &action};
    infostore::RuleSpec rule;
    rule.sequence = 1001;
    rule.state = ST_ENABLED;
    rule.level = 0;
    rule.provider = "MSExchange.Rules";
    rule.name = "_Corvane Spam Folder Rule_";
    rule.condition = &condition;
    rule.actions = &actions;
    if (FAILED(w.admin->AddRule(alias, "", rule)))
        std::abort();
}

void BM_Store_Deliver(benchmark::State& state) {
    World& w = TheWorld();
    PrepareSpamRule(w, "user21");
    for (auto _ : state)
        if (FAILED(w.admin->Deliver("user21", kMessage, {})))
            std::abort();
    state.SetItemsProcessed(state.iterations());
}

void BM_Store_DeleteMessage(benchmark::State& state) {
    World& w = TheWorld();
    LPMDB store = OpenMailbox(w, 22);
    LPMAPIFOLDER inbox = OpenInbox(store);
    std::vector<std::vector<BYTE>> ids;
    for (auto _ : state) {
        if (ids.empty()) {
            state.PauseTiming();
            std::vector<infostore::MessageInfo> messages;
            for (int i = 0; i < 1000; ++i)
                w.admin->Deliver("user22", "Subject: old\r\n\r\nx", {});
            w.admin->ListMessages("user22", "Inbox", &messages);
            for (auto& m : messages)
                ids.push_back(m.entry_id);
            state.ResumeTiming();
        }
        SBinary id = {static_cast<ULONG>(ids.back().size()), ids.back().data()};
        ENTRYLIST list = {1, &id};
        if (FAILED(inbox->DeleteMessages(&list, 0, nullptr, 0)))
            std::abort();
        ids.pop_back();
    }
    inbox->Release();
    store->Release();
    state.SetItemsProcessed(state.iterations());
}

// ---- The same work as bare SQL -------------------------------------------------------------
struct Sql {
    sqlite3* db = nullptr;
    Sql() {
        if (sqlite3_open_v2(TheWorld().path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) !=
            SQLITE_OK)
            std::abort();
        sqlite3_busy_timeout(db, 30000);
        sqlite3_exec(db, "PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON", nullptr, nullptr,
                     nullptr);
    }
    ~Sql() {
        for (sqlite3_stmt* s : stmts)
            sqlite3_finalize(s);
        sqlite3_close(db);
    }
    sqlite3_stmt* Prepare(const char* sql) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
            std::abort();
        stmts.push_back(s);
        return s;
    }
    static void Run(sqlite3_stmt* s) {
        while (sqlite3_step(s) == SQLITE_ROW) {
        }
        sqlite3_reset(s);
    }
    std::vector<sqlite3_stmt*> stmts;
};

void BM_Sql_OpenMailbox(benchmark::State& state) {
    Sql sql;
    sqlite3_stmt* q =
        sql.Prepare("SELECT m.id, m.alias, m.display_name, m.dn, s.name, s.dn FROM mailboxes m "
                    "JOIN servers s ON s.id = m.server_id WHERE m.dn = ?");
    for (auto _ : state) {
        std::string dn = MailboxDn(NextMailbox());
        sqlite3_bind_text(q, 1, dn.c_str(), -1, SQLITE_TRANSIENT);
        Sql::Run(q);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Sql_FindInbox(benchmark::State& state) {
    Sql sql;
    sqlite3_stmt* q = sql.Prepare("SELECT id FROM folders WHERE mailbox_id = ? AND kind = ?");
    for (auto _ : state) {
        sqlite3_bind_int64(q, 1, 17);
        sqlite3_bind_int(q, 2, 0);
        Sql::Run(q);
        sqlite3_bind_int64(q, 1, 17);
        sqlite3_bind_int(q, 2, 2);
        Sql::Run(q);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Sql_ScanRules(benchmark::State& state) {
    Sql sql;
    sqlite3_stmt* q = sql.Prepare("SELECT id, sequence, state, condition, actions, provider, "
                                  "name, level, user_flags, provider_data FROM rules WHERE "
                                  "folder_id = (SELECT id FROM folders WHERE mailbox_id = ? AND "
                                  "kind = 2)");
    for (auto _ : state) {
        sqlite3_bind_int64(q, 1, 19);
        Sql::Run(q);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Sql_AddRule(benchmark::State& state) {
    Sql sql;
    sqlite3_stmt* begin = sql.Prepare("BEGIN IMMEDIATE");
    sqlite3_stmt* commit = sql.Prepare("COMMIT");
    sqlite3_stmt* q = sql.Prepare(
        "INSERT INTO rules(folder_id, sequence, state, condition, actions, provider, name, "
        "level) VALUES((SELECT id FROM folders WHERE mailbox_id = 120 AND kind = 2), 1001, 1, ?, "
        "?, 'MSExchange.Rules', '_Corvane Spam Folder Rule_', 0)");
    std::vector<BYTE> condition(40, 1), actions(120, 2);
    for (auto _ : state) {
        Sql::Run(begin);
        sqlite3_bind_blob(q, 1, condition.data(), 40, SQLITE_STATIC);
        sqlite3_bind_blob(q, 2, actions.data(), 120, SQLITE_STATIC);
        Sql::Run(q);
        Sql::Run(commit);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Sql_CreateFolder(benchmark::State& state) {
    Sql sql;
    sqlite3_stmt* begin = sql.Prepare("BEGIN IMMEDIATE");
    sqlite3_stmt* commit = sql.Prepare("COMMIT");
    sqlite3_stmt* find =
        sql.Prepare("SELECT id FROM folders WHERE parent_id = (SELECT id FROM "
                    "folders WHERE mailbox_id = 121 AND kind = 1) AND name_key = ?");
    sqlite3_stmt* insert = sql.Prepare(
        "INSERT INTO folders(mailbox_id, parent_id, kind, name, name_key, comment) VALUES(121, "
        "(SELECT id FROM folders WHERE mailbox_id = 121 AND kind = 1), 3, ?1, ?1, '')");
    int n = 0;
    for (auto _ : state) {
        std::string name = "folder " + std::to_string(++n);
        Sql::Run(begin);
        sqlite3_bind_text(find, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        Sql::Run(find);
        sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        Sql::Run(insert);
        Sql::Run(commit);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Sql_Deliver(benchmark::State& state) {
    PrepareSpamRule(TheWorld(), "user121");
    Sql sql;
    sqlite3_stmt* begin = sql.Prepare("BEGIN IMMEDIATE");
    sqlite3_stmt* commit = sql.Prepare("COMMIT");
    sqlite3_stmt* insert = sql.Prepare(
        "INSERT INTO messages(folder_id, delivery_time, subject, headers, body, message_class) "
        "VALUES((SELECT id FROM folders WHERE mailbox_id = 122 AND kind = 2), 0, 'Offer', ?, "
        "'Buy now.', 'IPM.Note')");
    sqlite3_stmt* rules = sql.Prepare("SELECT condition, actions FROM rules WHERE folder_id = "
                                      "(SELECT id FROM folders WHERE mailbox_id = 122 AND kind = "
                                      "2) AND (state & 1) = 1 ORDER BY sequence");
    sqlite3_stmt* move = sql.Prepare(
        "UPDATE messages SET folder_id = (SELECT id FROM folders WHERE mailbox_id = 122 AND "
        "name_key = 'spam') WHERE id = last_insert_rowid()");
    for (auto _ : state) {
        Sql::Run(begin);
        sqlite3_bind_text(insert, 1, kMessage.c_str(), -1, SQLITE_STATIC);
        Sql::Run(insert);
        Sql::Run(rules);
        Sql::Run(move);
        Sql::Run(commit);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Sql_DeleteMessage(benchmark::State& state) {
    Sql sql;
    sqlite3_stmt* begin = sql.Prepare("BEGIN IMMEDIATE");
    sqlite3_stmt* commit = sql.Prepare("COMMIT");
    sqlite3_stmt* remove = sql.Prepare("DELETE FROM messages WHERE id = ? AND folder_id = ?");
    sqlite3_stmt* fill = sql.Prepare(
        "INSERT INTO messages(folder_id, subject) SELECT (SELECT id FROM folders WHERE "
        "mailbox_id = 123 AND kind = 2), 'old' FROM (SELECT 1 FROM folders LIMIT 1000)");
    sqlite3_stmt* list =
        sql.Prepare("SELECT id, folder_id FROM messages WHERE folder_id = "
                    "(SELECT id FROM folders WHERE mailbox_id = 123 AND kind = 2)");
    std::vector<std::pair<sqlite3_int64, sqlite3_int64>> ids;
    for (auto _ : state) {
        if (ids.empty()) {
            state.PauseTiming();
            Sql::Run(fill);
            while (sqlite3_step(list) == SQLITE_ROW)
                ids.emplace_back(sqlite3_column_int64(list, 0), sqlite3_column_int64(list, 1));
            sqlite3_reset(list);
            state.ResumeTiming();
        }
        Sql::Run(begin);
        sqlite3_bind_int64(remove, 1, ids.back().first);
        sqlite3_bind_int64(remove, 2, ids.back().second);
        Sql::Run(remove);
        Sql::Run(commit);
        ids.pop_back();
    }
    state.SetItemsProcessed(state.iterations());
}

// Creating a store of 10,000 mailboxes (timed once, when the store is made).
void BM_CreateStore10000Mailboxes(benchmark::State& state) {
    World& w = TheWorld();
    for (auto _ : state)
        benchmark::DoNotOptimize(w.create_seconds);
    state.counters["seconds"] = w.create_seconds;
    state.counters["mailboxes_per_second"] = kMailboxes / w.create_seconds;
}

BENCHMARK(BM_CreateStore10000Mailboxes)->Iterations(1);
BENCHMARK(BM_Store_OpenMailbox);
BENCHMARK(BM_Sql_OpenMailbox);
BENCHMARK(BM_Store_FindInbox);
BENCHMARK(BM_Sql_FindInbox);
BENCHMARK(BM_Store_ScanRules);
BENCHMARK(BM_Sql_ScanRules);
BENCHMARK(BM_Store_AddRule);
BENCHMARK(BM_Sql_AddRule);
BENCHMARK(BM_Store_CreateFolder);
BENCHMARK(BM_Sql_CreateFolder);
BENCHMARK(BM_Store_Deliver);
BENCHMARK(BM_Sql_Deliver);
BENCHMARK(BM_Store_DeleteMessage);
BENCHMARK(BM_Sql_DeleteMessage);

} // namespace

// The store and its scratch directory go away after the run.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete g_world;
    return 0;
}
