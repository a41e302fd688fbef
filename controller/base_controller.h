// base_controller: runs a derived controller either as a service or as a
// console program, with the same derived code in both.
//
// The derived class supplies initialize, run and uninitialize, and receives
// control requests (shut down, reload, user signal) through on_shutdown,
// on_reload and on_user_signal. The base class owns the service dispatcher
// connection, the control handlers, the status reports and the started and
// stopped events, and holds back a request that arrives before the derived
// run has called begin_running.
#pragma once
#include "platform/win32/console.h"
#include "platform/win32/service.h"
#include "runtime/vtxpr_limits.h"
#include "runtime/vtxpr_sync.h"

#include <atomic>
#include <cstdint>

// Requests, as delivered by deliver_request.
constexpr std::int32_t CONTROLLER_REQUEST_NONE = 0;
constexpr std::int32_t CONTROLLER_REQUEST_SHUTDOWN = 1;
constexpr std::int32_t CONTROLLER_REQUEST_RELOAD = 2;
constexpr std::int32_t CONTROLLER_REQUEST_USER_SIGNAL = 3;

// The controller's events, all in event category 39.
constexpr std::uint16_t CONTROLLER_EVENT_CATEGORY = 39;
constexpr std::uint32_t CONTROLLER_EVENT_STARTED = 0x40000600u; // "%1!s! started."
constexpr std::uint32_t CONTROLLER_EVENT_STOPPED = 0x40000601u; // "%1!s! stopped."
constexpr std::uint32_t CONTROLLER_EVENT_STATUS_ERROR =
    0xC0000602u; // "%1!d! Service Status Error."

class base_controller {
public:
    // Makes the request lock. If that fails, 10009 is logged and the
    // controller stays unusable: start returns 1.
    base_controller();
    // Destroys the lock when it was made; stops being the current controller.
    virtual ~base_controller();

    // The derived controller's main loop; its result is the exit status in
    // the console. Must call begin_running once it can act on requests.
    virtual std::int32_t run(std::int32_t argc, char16_t** argv) = 0;
    // Request operations, called on a control thread, or on the run thread
    // when begin_running delivers a request that was held back.
    virtual void on_shutdown() {}
    virtual void on_reload() {}
    virtual void on_user_signal() {}
    // Start-up before run: 0 for success. uninitialize is called after it
    // in any case, also when it failed.
    virtual std::int32_t initialize(std::int32_t, char16_t**) { return 0; }
    virtual void uninitialize() {}

    // The public entry. Returns 1 when the controller cannot start (it was
    // not constructed, or a name is missing), 0 after a run as a service,
    // and in the console the result of serve. Both names are cut to 255
    // characters.
    std::int32_t start(const char16_t* service_name, const char16_t* display_name,
                       std::int32_t argc, char16_t** argv);
    // One run of the derived controller from registration to the final
    // status report; returns the exit status.
    std::int32_t serve(std::int32_t argc, char16_t** argv);
    // Declares the derived controller running: a request held back until now
    // is delivered on the calling thread before this returns.
    void begin_running();
    // Reports a service state: nonzero on success, 0 on failure (the failure
    // is written to the event log as the status-error event).
    int report_status(std::uint32_t state);
    // In service mode, shows `text` as the service's status line (what
    // `systemctl status` prints); nonzero when it was sent. In the console,
    // or when the send fails, 0 and nothing else happens: the line is
    // information for the operator, never a reason to report an error.
    int report_status_text(const char16_t* text);
    // Delivers a request now when running, otherwise holds it back by the
    // deferral rules (one request at most; a shutdown is never replaced).
    void deliver_request(std::int32_t request);

    // Entries handed to the platform; they reach the current controller.
    static void service_main(DWORD argc, LPWSTR* argv);
    static void service_ctrl_handler(DWORD control);
    static BOOL console_ctrl_handler(DWORD event_type);

    // The controls a service accepts on an operating system of version
    // `version` (GetVersion's layout): stop, shutdown and, above major
    // version 4, parameter change.
    static std::uint32_t controls_accepted(DWORD version);

    // State, for the derived class and for tests.
    bool constructed() const { return constructed_flag == 1; }
    bool service_mode() const { return service_mode_flag.load() == 1; }
    std::uint32_t last_state() const { return last_state_value.load(); }
    std::int32_t pending_request();
    const char16_t* service_name() const { return service_name_text; }
    const char16_t* display_name() const { return display_name_text; }

private:
    // Calls the operation of `request` on the calling thread.
    void call_request(std::int32_t request);

    std::int32_t constructed_flag;
    std::int32_t running_mark; // guarded by lock
    VTXPR_LOCK lock;
    std::int32_t lock_created;
    // Read by control threads while the run thread works: atomic.
    std::atomic<std::int32_t> service_mode_flag;
    std::atomic<SERVICE_STATUS_HANDLE> status_handle;
    std::atomic<std::uint32_t> last_state_value;
    std::int32_t pending; // guarded by lock
    char16_t service_name_text[VTXPR_NAME_CHARS];
    char16_t display_name_text[VTXPR_NAME_CHARS];

    // The controller that start is running; one a process.
    static std::atomic<base_controller*> current;
};
