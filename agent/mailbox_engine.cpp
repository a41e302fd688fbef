// The mailbox engine: the temporary profile and logon, the listing of the
// home server's mailboxes, and the pass that queues them for the workers.
#include "agent/mailbox_engine.h"

#include <new>

#include "agent/mailbox_work_item.h"
#include "agent/thread_pool.h"
#include "exchange_util/exchange_util.h"
#include "log/xal_log.h"
#include "mailstore/mailbox_ops.h"
#include "mailstore/mapix.h"
#include "mailstore/mapitags.h"
#include "runtime/vtx_str.h"
#include "runtime/vtxpr_mem.h"
#include "runtime/vtxpr_strings.h"
#include "runtime/vtxpr_time.h"

namespace {
// 8-bit room for a wide name of VTXPR_NAME_CHARS characters.
constexpr std::size_t NARROW_NAME_BYTES = VTXPR_NAME_CHARS * 3 + 1;
constexpr const char16_t* PRIVATE_MDB_SUFFIX = u"/cn=Microsoft Private MDB";

void release(auto*& object) {
    if (object != nullptr)
        object->Release();
    object = nullptr;
}
} // namespace

HRESULT agent_profile_logon(const char16_t* profile_name, LPMAPISESSION* session) {
    // A new session on the explicitly named profile, extended MAPI, no mail
    // spooler, as a service.
    constexpr FLAGS flags =
        MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE | MAPI_EXTENDED | MAPI_NO_MAIL | MAPI_NT_SERVICE;
    char profile[NARROW_NAME_BYTES];
    VTX_Utf16ToUtf8(profile_name, profile, sizeof profile);
    char password[1] = "";
    return MAPILogonEx(0, profile, password, flags, session);
}

mailbox_engine::~mailbox_engine() = default;

std::int32_t mailbox_engine::setup(std::uint32_t thread_count, std::uint32_t retention_days,
                                   std::uint32_t expunge_report, const char16_t* alias_text,
                                   const char16_t* server_text, const char16_t* spam_folder_text,
                                   const char16_t* spam_substring_text) {
    spam_retention = retention_days;
    expunge_report_threshold = expunge_report;
    alias = alias_text;
    server = server_text;
    spam_folder = spam_folder_text;
    spam_substring = spam_substring_text;

    MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_NT_SERVICE};
    MAPIInitialize(&init);

    VTXPR_Snprintf(profile_name, VTXPR_NAME_CHARS, u"%s_%ld", u"swl_",
                   static_cast<int>(VTXPR_Time()));
    HRESULT hr = mapi_CreateProfile(profile_name, alias, server);
    if (FAILED(hr)) {
        xal_log_message(XAL_LOG_ERR, 28002, alias, static_cast<unsigned>(hr));
        return 28002;
    }

    hr = agent_profile_logon(profile_name, &session);
    if (FAILED(hr)) {
        session = nullptr;
        xal_log_message(XAL_LOG_ERR, 28003, alias, static_cast<unsigned>(hr));
        return 28003;
    }

    char16_t server_dn[VTXPR_NAME_CHARS] = {};
    hr = mapi_GetProfileServerDN(profile_name, server_dn, VTXPR_NAME_CHARS);
    if (FAILED(hr)) {
        xal_log_message(XAL_LOG_ERR, 28004, static_cast<unsigned>(hr));
        return 28004;
    }
    VTXPR_Snprintf(private_store_dn, VTXPR_NAME_CHARS, u"%s%s", server_dn, PRIVATE_MDB_SUFFIX);

    pool = new (std::nothrow) thread_pool();
    if (pool == nullptr) {
        xal_log_message(XAL_LOG_ERR, 10013);
        return 10013;
    }
    counter_lock = VTXPR_CreateLock();
    if (counter_lock == nullptr) {
        xal_log_message(XAL_LOG_ERR, 10009);
        return 10009;
    }
    if (pool->create_threads(thread_count, this) == 0) {
        xal_log_message(XAL_LOG_ERR, 28005, static_cast<int>(thread_count));
        return 28005;
    }
    return 0;
}

bool mailbox_engine::first_mailbox(char16_t* address) {
    private_store = nullptr;
    manage_store = nullptr;
    mailbox_table = nullptr;
    rows = nullptr;
    next_row = 0;

    if (FAILED(HrOpenStoreByProvider(session, &PRIVATE_STORE_PROVIDER_UID, &private_store))) {
        private_store = nullptr;
        return false;
    }
    if (FAILED(private_store->QueryInterface(IID_IExchangeManageStore,
                                             reinterpret_cast<void**>(&manage_store)))) {
        manage_store = nullptr;
        release(private_store);
        return false;
    }
    char16_t server_dn[VTXPR_NAME_CHARS] = {};
    if (FAILED(mapi_GetProfileServerDN(profile_name, server_dn, VTXPR_NAME_CHARS))) {
        release(manage_store);
        release(private_store);
        return false;
    }
    char server_dn8[NARROW_NAME_BYTES];
    VTX_Utf16ToUtf8(server_dn, server_dn8, sizeof server_dn8);
    if (FAILED(manage_store->GetMailboxTable(server_dn8, &mailbox_table, 0))) {
        mailbox_table = nullptr;
        release(manage_store);
        release(private_store);
        return false;
    }
    if (FAILED(HrQueryAllRows(mailbox_table, nullptr, nullptr, nullptr, 0, &rows))) {
        rows = nullptr;
        release(mailbox_table);
        release(manage_store);
        release(private_store);
        return false;
    }
    return next_mailbox(address);
}

// A row without an address is passed over, so that one odd row does not hide
// the mailboxes after it. An address of 256 characters or more does not fit a
// work item. Cut to 255 it could name another mailbox (one whose address is
// exactly those 255 characters), which would then be served twice, at the
// same time, while this one never is. So it is not queued; the first pass
// names it, cut to 255 characters, in message 28007 with
// MAPI_E_STRING_TOO_LONG, as it does any mailbox that cannot be opened.
bool mailbox_engine::next_mailbox(char16_t* address) {
    while (rows != nullptr && next_row < rows->cRows) {
        const SRow& row = rows->aRow[next_row++];
        const SPropValue* prop = PpropFindProp(row.lpProps, row.cValues, PR_EMAIL_ADDRESS_A);
        if (prop == nullptr || prop->Value.lpszA == nullptr)
            continue;
        if (VTX_Utf8ToUtf16(prop->Value.lpszA, address, VTXPR_NAME_CHARS) > VTXPR_NAME_CHARS) {
            if (pass_number == 0)
                xal_log_message(XAL_LOG_WARNING, 28007, address,
                                static_cast<unsigned>(MAPI_E_STRING_TOO_LONG));
            continue;
        }
        return true;
    }
    return false;
}

std::uint32_t mailbox_engine::run_pass(const agent_flag& stop, const agent_flag& reconfigure,
                                       std::uint32_t pass, std::uint8_t remove_pass,
                                       std::uint8_t maintenance_only_pass) {
    pass_number = pass;
    maintenance_only = maintenance_only_pass;
    remove = remove_pass;
    completed = 0;
    last_queued = 0;
    first_push_ns = 0;
    last_done_ns = 0;
    failed = 0;
    maintenance_failed = 0;
    char16_t address[VTXPR_NAME_CHARS] = {};

    std::uint32_t queued = 0;
    std::uint32_t seconds_waited = 0;
    for (bool got = first_mailbox(address); got; got = next_mailbox(address)) {
        auto* item = new (std::nothrow) mailbox_work_item();
        if (item == nullptr) {
            xal_log_message(XAL_LOG_ERR, 10013);
            break;
        }
        VTX_WStrNCpy(item->address, address, VTXPR_NAME_CHARS);
        item->address[VTXPR_NAME_CHARS - 1] = 0;
        if (queued == 0)
            first_push_ns = VTXPR_TimeNs();
        if (!pool->push(item)) {
            delete item;
            xal_log_message(XAL_LOG_ERR, 10013);
            break;
        }
        ++queued;
    }

    FreeProws(rows);
    rows = nullptr;
    release(mailbox_table);
    release(manage_store);
    release(private_store);
    next_row = 0;
    last_queued = queued;

    while (stop == 0 && reconfigure == 0 && queued != completed) {
        VTXPR_Sleep(1.0);
        ++seconds_waited;
    }
    return seconds_waited;
}

void mailbox_engine::mark_mailbox_done() {
    VTXPR_Lock(counter_lock);
    ++completed;
    last_done_ns = VTXPR_TimeNs();
    VTXPR_Unlock(counter_lock);
}

void mailbox_engine::teardown() {
    if (pool != nullptr) {
        pool->stop(true);
        delete pool;
        pool = nullptr;
    }
    if (counter_lock != nullptr) {
        VTXPR_DestroyLock(counter_lock);
        VTXPR_Free(counter_lock);
        counter_lock = nullptr;
    }
    if (session != nullptr) {
        session->Logoff(0, 0, 0);
        session->Release();
        session = nullptr;
    }
    if (profile_name[0] != 0)
        mapi_DeleteProfile(profile_name);
    MAPIUninitialize();
}
