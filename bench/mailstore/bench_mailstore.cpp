// What one mailbox costs the agent against the embedded store: the
// steady-state check of a mailbox whose rule is in place (logon, Inbox,
// rules table, validation, logoff), and the first-pass repair of a mailbox
// that has neither the spam folder nor the rule (the check, then folder
// creation and the new rule). Each repair needs a mailbox that was never
// repaired, so the store holds one per iteration.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "exchange_util/exchange_util.h"
#include "mailstore/mailbox_ops.h"
#include "mailstore/mapitags.h"
#include "platform/infostore/infostore_admin.h"
#include "runtime/vtx_str.h"

namespace {

constexpr const char16_t* kRuleName = u"_Corvane Spam Folder Rule_";
constexpr const char16_t* kSpamFolder = u"Spam";
constexpr const char16_t* kMarker = u"X-Spam-Flag: YES";
constexpr int kRepairMailboxes = 2000;

// A store with kRepairMailboxes fresh mailboxes, a profile, a session and
// the private store, made once for the whole run.
struct Bench {
    std::string dir, path;
    std::unique_ptr<infostore::Admin> admin;
    std::vector<std::u16string> mailboxes;
    std::u16string store_dn;
    LPMAPISESSION session = nullptr;
    LPMDB private_store = nullptr;
    bool ready = false;

    Bench() {
        char pattern[] = "/tmp/bench_mailstore.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return;
        dir = pattern;
        path = dir + "/store.db";
        setenv("SORTWELL_PROFILES", (dir + "/profiles").c_str(), 1);
        if (infostore::Admin::Create(path, "Altavane", "Bench", &admin) != S_OK ||
            admin->AddServer("MX1") != S_OK || admin->AddMailbox("sortwell", "MX1", "") != S_OK ||
            admin->AddMailboxes(kRepairMailboxes, "user", "MX1") != S_OK)
            return;
        std::vector<infostore::MailboxInfo> list;
        admin->ListMailboxes("MX1", &list);
        for (const infostore::MailboxInfo& m : list)
            if (m.alias != "sortwell")
                mailboxes.push_back(VTX_FromUtf8(m.dn));
        infostore::SetStorePathOverride(path);
        MAPIInitialize(nullptr);
        char profile[] = "swl_bench";
        char password[] = "";
        char16_t server_dn[256];
        ready =
            mapi_CreateProfile(u"swl_bench", u"sortwell", u"MX1") == S_OK &&
            MAPILogonEx(0, profile, password, 0x18032, &session) == S_OK &&
            HrOpenStoreByProvider(session, &PRIVATE_STORE_PROVIDER_UID, &private_store) == S_OK &&
            mapi_GetProfileServerDN(u"swl_bench", server_dn, 256) == S_OK;
        store_dn = std::u16string(server_dn) + u"/cn=Microsoft Private MDB";
    }
    ~Bench() {
        UlRelease(private_store);
        if (session != nullptr) {
            session->Logoff(0, 0, 0);
            session->Release();
        }
        mapi_DeleteProfile(u"swl_bench");
        MAPIUninitialize();
        admin.reset();
        for (const char* name : {"/store.db", "/store.db-wal", "/store.db-shm", "/profiles"})
            std::remove((dir + name).c_str());
        rmdir(dir.c_str());
    }
};

Bench& TheBench() {
    static Bench bench;
    return bench;
}

// One mailbox as a normal pass treats it; returns false on any failure.
bool ProcessMailbox(Bench& b, const std::u16string& mailbox) {
    LPMDB store = nullptr;
    LPMAPIFOLDER inbox = nullptr, spam = nullptr, root = nullptr;
    LPEXCHANGEMODIFYTABLE rules = nullptr;
    LPMAPITABLE view = nullptr;
    bool ok = SUCCEEDED(MailboxLogonAndOpenInbox(b.session, b.private_store, b.store_dn.c_str(),
                                                 mailbox.c_str(), &store, &inbox)) &&
              SUCCEEDED(mapi_GetRulesTables(inbox, &rules, &view));
    if (ok && !mapi_ValidateRule(b.private_store, rules, view, kRuleName)) {
        ok = SUCCEEDED(mapi_DeleteRule(rules, view, kRuleName));
        if (ok && FAILED(mapi_OpenMailboxFolder(store, kSpamFolder, &spam))) {
            char name[] = "Spam";
            ok = SUCCEEDED(mapi_OpenMailboxFolder(store, nullptr, &root)) &&
                 SUCCEEDED(root->CreateFolder(FOLDER_GENERIC, name, nullptr, nullptr,
                                              OPEN_IF_EXISTS, &spam)) &&
                 SUCCEEDED(spam->SaveChanges(KEEP_OPEN_READWRITE));
        }
        ok = ok && SUCCEEDED(mapi_AddMessageMoveRule(rules, store, kRuleName, 0, kMarker, spam));
    }
    UlRelease(inbox);
    UlRelease(spam);
    UlRelease(root);
    mapi_ReleaseRulesTables(rules, view);
    HrMailboxLogoff(&store);
    return ok;
}

void BM_SteadyStateCheck(benchmark::State& state) {
    Bench& b = TheBench();
    if (!b.ready || !ProcessMailbox(b, b.mailboxes[0])) {
        state.SkipWithError("store setup failed");
        return;
    }
    for (auto _ : state) {
        if (!ProcessMailbox(b, b.mailboxes[0])) {
            state.SkipWithError("check failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SteadyStateCheck)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

void BM_FirstPassRepair(benchmark::State& state) {
    Bench& b = TheBench();
    if (!b.ready) {
        state.SkipWithError("store setup failed");
        return;
    }
    std::size_t next = 1; // mailbox 0 serves the steady-state check
    for (auto _ : state) {
        if (next >= b.mailboxes.size() || !ProcessMailbox(b, b.mailboxes[next++])) {
            state.SkipWithError("repair failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    // The last mailbox repaired holds the folder and exactly one rule.
    std::vector<infostore::RuleInfo> rules;
    infostore::FolderInfo spam;
    std::string last = VTX_ToUtf8(b.mailboxes[next - 1]);
    if (b.admin->ListRules(last, "", &rules) != S_OK || rules.size() != 1 ||
        b.admin->FindFolder(last, "Spam", &spam) != S_OK)
        state.SkipWithError("the repair left no folder or rule");
}
BENCHMARK(BM_FirstPassRepair)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(kRepairMailboxes - 1)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
