// The mailbox engine: the Agent controller's way to the mail server.
//
// setup makes a temporary profile for the configured mailbox and server,
// logs on with it and starts the pool of mailbox workers; run_pass lists
// every mailbox of the profile's home server, queues one work item a mailbox
// and waits, in one-second steps, until the workers have done them all;
// teardown stops the workers, logs off and deletes the profile. The cycle
// (agent_controller::run) owns the maintenance state between passes.
#pragma once
#include "mailstore/mapi_interfaces.h"
#include "mailstore/mapidefs.h"
#include "runtime/vtxpr_limits.h"
#include "runtime/vtxpr_sync.h"

#include <atomic>
#include <cstdint>

class thread_pool;

// A one-byte request flag of the Agent controller, set on a control thread
// and polled by the cycle and the pass at least once a second.
using agent_flag = std::atomic<std::uint8_t>;

// Maintenance states.
constexpr std::uint32_t MAINTENANCE_IDLE = 0; // waiting for the window to open
constexpr std::uint32_t MAINTENANCE_DUE = 1;  // the window is open: this pass expunges
constexpr std::uint32_t MAINTENANCE_DONE = 2; // ran in this window; waiting for it to close

// Logs on to the temporary profile `profile_name` the way every logon of the
// agent is made (the engine's own and each worker's): a new session on that
// profile, extended MAPI, no mail spooler, as a service.
HRESULT agent_profile_logon(const char16_t* profile_name, LPMAPISESSION* session);

class mailbox_engine {
public:
    // Every field empty, spam retention 30, maintenance state idle.
    mailbox_engine() = default;
    virtual ~mailbox_engine();

    mailbox_engine(const mailbox_engine&) = delete;
    mailbox_engine& operator=(const mailbox_engine&) = delete;

    // Returns 0, or the id of the message that it logged (28002, 28003,
    // 28004, 10013, 10009, 28005). The four texts are the Agent controller's
    // setting fields and are kept by reference, not copied.
    std::int32_t setup(std::uint32_t thread_count, std::uint32_t retention_days,
                       std::uint32_t expunge_report, const char16_t* alias_text,
                       const char16_t* server_text, const char16_t* spam_folder_text,
                       const char16_t* spam_substring_text);
    // Stops the workers (deleting queued items), logs off, deletes the
    // profile; safe after a failed or partial setup.
    void teardown();
    // One pass; returns the number of one-second sleeps it made while it
    // waited for its work items. Ends its wait early when `stop` or
    // `reconfigure` becomes nonzero.
    std::uint32_t run_pass(const agent_flag& stop, const agent_flag& reconfigure,
                           std::uint32_t pass, std::uint8_t remove_pass,
                           std::uint8_t maintenance_only_pass);
    // The first mailbox address of the home server (at most 255 characters
    // and a terminator into `address`, of VTXPR_NAME_CHARS), or false.
    bool first_mailbox(char16_t* address);
    // The next address, or false when the rows are used up.
    bool next_mailbox(char16_t* address);
    // Counts one work item done; called by a worker after each item.
    void mark_mailbox_done();

    // Fields, in order. The workers read them during a pass.
    thread_pool* pool = nullptr;
    std::atomic<std::uint32_t> completed{0}; // raised under counter_lock, read without it
    VTXPR_LOCK* counter_lock = nullptr;
    LPMAPISESSION session = nullptr;
    LPMDB private_store = nullptr;
    LPEXCHANGEMANAGESTORE manage_store = nullptr;
    LPMAPITABLE mailbox_table = nullptr;
    LPSRowSet rows = nullptr;
    std::uint32_t next_row = 0;
    // Written by the cycle between passes, read by the workers.
    std::atomic<std::uint32_t> maintenance_state{MAINTENANCE_IDLE};
    std::uint8_t maintenance_only = 0;
    std::uint32_t pass_number = 0;
    std::uint8_t remove = 0;
    std::uint32_t spam_retention = 30;
    std::uint32_t expunge_report_threshold = 0;
    const char16_t* alias = nullptr;
    const char16_t* server = nullptr;
    const char16_t* spam_folder = nullptr;
    const char16_t* spam_substring = nullptr;
    char16_t private_store_dn[VTXPR_NAME_CHARS] = {};
    char16_t profile_name[VTXPR_NAME_CHARS] = {};

    // What the last pass did, for the operator's status line and the
    // measurements: mailboxes queued, and the runtime clock (VTXPR_TimeNs)
    // at the first push and at the last mark_mailbox_done (0 while none).
    std::uint32_t last_queued = 0;
    std::int64_t first_push_ns = 0;
    std::atomic<std::int64_t> last_done_ns{0};
    // Mailboxes of the last pass whose processing failed (the failures that
    // the first pass reports as 28007 to 28013), and those whose maintenance
    // could not find the rule's folder (28020). Counted in every pass, also
    // when nothing is logged.
    std::atomic<std::uint32_t> failed{0};
    std::atomic<std::uint32_t> maintenance_failed{0};
};
