// A mailbox worker: its thread, its own MAPI logon, and the processing of
// one mailbox work item.
#include <cstdint>

#include "agent/mailbox_engine.h"
#include "agent/mailbox_work_item.h"
#include "agent/thread_pool.h"
#include "exchange_util/exchange_util.h"
#include "log/xal_log.h"
#include "mailstore/mailbox_ops.h"
#include "mailstore/mapix.h"
#include "runtime/vtx_str.h"
#include "runtime/vtxpr_limits.h"
#include "runtime/vtxpr_time.h"

namespace {
// How long an idle worker waits before it looks at the queue again, seconds.
constexpr double IDLE_POLL_SECONDS = 0.02;
// 8-bit room for a wide text of VTXPR_MAX_PATH characters (up to three
// bytes a UTF-16 code unit in UTF-8).
constexpr std::size_t NARROW_PATH_BYTES = VTXPR_MAX_PATH * 3 + 1;

// The per-mailbox warnings are given in the first pass after start only;
// the failure is counted in every pass.
void report(mailbox_engine* engine, int id, const mailbox_work_item* item, HRESULT hr) {
    engine->failed.fetch_add(1);
    if (engine->pass_number == 0)
        xal_log_message(XAL_LOG_WARNING, id, item->address, static_cast<unsigned>(hr));
}
} // namespace

mailbox_worker::mailbox_worker(thread_pool* owner, void* param) : parameter(param), pool(owner) {}

std::uint32_t mailbox_worker::worker_loop(void* self) {
    auto* worker = static_cast<mailbox_worker*>(self);
    const bool ok = worker->thread_init(worker->parameter) == 1;
    worker->stop_flag = ok ? 0 : 1;
    worker->started_flag = 1;
    if (ok) {
        do {
            mailbox_work_item* item = worker->pool->pop();
            if (item == nullptr)
                VTXPR_Sleep(IDLE_POLL_SECONDS);
            else
                worker->process_mailbox(item);
        } while (worker->stop_flag == 0);
    }
    worker->thread_cleanup();
    return 0;
}

int mailbox_worker::thread_init(void* param) {
    engine = static_cast<mailbox_engine*>(param);
    MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_NT_SERVICE};
    MAPIInitialize(&init);

    HRESULT hr = agent_profile_logon(engine->profile_name, &session);
    if (FAILED(hr)) {
        session = nullptr;
        xal_log_message(XAL_LOG_ERR, 28003, engine->alias, static_cast<unsigned>(hr));
        return 0;
    }
    hr = HrOpenStoreByProvider(session, &PRIVATE_STORE_PROVIDER_UID, &private_store);
    if (FAILED(hr)) {
        private_store = nullptr;
        xal_log_message(XAL_LOG_ERR, 28014, static_cast<unsigned>(hr));
        return 0;
    }
    return 1;
}

void mailbox_worker::thread_cleanup() {
    if (private_store != nullptr) {
        private_store->Release();
        private_store = nullptr;
    }
    if (session != nullptr) {
        session->Logoff(0, 0, 0);
        session->Release();
        session = nullptr;
    }
    MAPIUninitialize();
}

void mailbox_worker::process_mailbox(mailbox_work_item* item) {
    LPMDB mailbox_store = nullptr;
    LPMAPIFOLDER inbox = nullptr;
    LPEXCHANGEMODIFYTABLE modify_table = nullptr;
    LPMAPITABLE rules_table = nullptr;
    LPMAPIFOLDER spam_folder = nullptr;
    LPMAPIFOLDER root_folder = nullptr;
    HRESULT hr;

    hr = MailboxLogonAndOpenInbox(session, private_store, engine->private_store_dn, item->address,
                                  &mailbox_store, &inbox);
    if (FAILED(hr)) {
        report(engine, 28007, item, hr);
        goto end;
    }
    hr = mapi_GetRulesTables(inbox, &modify_table, &rules_table);
    if (FAILED(hr)) {
        report(engine, 28008, item, hr);
        goto end;
    }
    if (engine->maintenance_only)
        goto maintenance;
    if (!engine->remove &&
        mapi_ValidateRule(private_store, modify_table, rules_table, AGENT_RULE_NAME) == 1)
        goto maintenance;

    hr = mapi_DeleteRule(modify_table, rules_table, AGENT_RULE_NAME);
    if (FAILED(hr)) {
        report(engine, 28009, item, hr);
        goto end;
    }
    if (engine->remove)
        goto end;

    hr = mapi_OpenMailboxFolder(mailbox_store, engine->spam_folder, &spam_folder);
    if (FAILED(hr)) {
        spam_folder = nullptr;
        hr = mapi_OpenMailboxFolder(mailbox_store, nullptr, &root_folder);
        if (FAILED(hr)) {
            root_folder = nullptr;
            report(engine, 28010, item, hr);
            goto end;
        }
        char folder_name[NARROW_PATH_BYTES];
        VTX_Utf16ToUtf8(engine->spam_folder, folder_name, sizeof folder_name);
        hr = root_folder->CreateFolder(FOLDER_GENERIC, folder_name, nullptr, nullptr,
                                       OPEN_IF_EXISTS, &spam_folder);
        if (FAILED(hr)) {
            spam_folder = nullptr;
            report(engine, 28011, item, hr);
            goto end;
        }
        hr = spam_folder->SaveChanges(KEEP_OPEN_READWRITE);
        if (FAILED(hr)) {
            report(engine, 28012, item, hr);
            goto end;
        }
    }
    hr = mapi_AddMessageMoveRule(modify_table, mailbox_store, AGENT_RULE_NAME, 0,
                                 engine->spam_substring, spam_folder);
    if (FAILED(hr)) {
        report(engine, 28013, item, hr);
        goto end;
    }

maintenance:
    run_maintenance(item, mailbox_store, rules_table);

end:
    if (inbox != nullptr)
        inbox->Release();
    if (spam_folder != nullptr)
        spam_folder->Release();
    if (root_folder != nullptr)
        root_folder->Release();
    mapi_ReleaseRulesTables(modify_table, rules_table);
    // A store whose logoff fails is still released: nothing outlives the item.
    if (mailbox_store != nullptr && FAILED(HrMailboxLogoff(&mailbox_store)))
        mailbox_store->Release();
    engine->mark_mailbox_done();
    delete item;
}

void mailbox_worker::run_maintenance(mailbox_work_item* item, LPMDB store,
                                     LPMAPITABLE rules_table) {
    if (engine->maintenance_state != MAINTENANCE_DUE)
        return;
    LPMAPIFOLDER folder = nullptr;
    HRESULT hr = mapi_OpenRuleFolder(store, rules_table, AGENT_RULE_NAME, &folder);
    if (FAILED(hr)) {
        engine->maintenance_failed.fetch_add(1);
        xal_log_message(XAL_LOG_ERR, 28020, item->address, static_cast<unsigned>(hr));
        return;
    }
    mapi_ExpungeItems(folder, engine->spam_retention, engine->expunge_report_threshold);
    folder->Release();
}
