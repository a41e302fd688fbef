#include "controller/base_controller.h"

#include "controller/win32logging.h"
#include "log/xal_log.h"
#include "platform/win32/sysinfo.h"
#include "runtime/vtx_progname.h"
#include "runtime/vtxpr_signal.h"
#include "runtime/vtxpr_strings.h"

namespace {

constexpr int MSG_NO_LOCK = 10009;    // "Could not create new lock."
constexpr int MSG_NO_HANDLER = 10010; // "Could not create new thread."
constexpr int MSG_SUPERSEDES_PREVIOUS = 19001;
constexpr int MSG_SHUTDOWN_DEFERRED = 19002;
constexpr int MSG_SHUTDOWN_SUPERSEDES = 19003;
constexpr int MSG_DELIVERY_DEFERRED = 19004;

// The runtime's signal numbers to requests: 1 stop, 2 reload, 4 user signal;
// anything else is no request.
std::int32_t RequestOfSignal(int signal_number) {
    switch (signal_number) {
    case 1:
        return CONTROLLER_REQUEST_SHUTDOWN;
    case 2:
        return CONTROLLER_REQUEST_RELOAD;
    case 4:
        return CONTROLLER_REQUEST_USER_SIGNAL;
    default:
        return CONTROLLER_REQUEST_NONE;
    }
}

} // namespace

std::atomic<base_controller*> base_controller::current{nullptr};

base_controller::base_controller()
    : constructed_flag(0), running_mark(0), lock{}, lock_created(0), service_mode_flag(1),
      status_handle(nullptr), last_state_value(SERVICE_STOPPED),
      pending(CONTROLLER_REQUEST_NONE), service_name_text{}, display_name_text{} {
    if (VTXPR_InitLock(&lock) != 0) {
        xal_log_message(XAL_LOG_ERR, MSG_NO_LOCK);
        return;
    }
    lock_created = 1;
    constructed_flag = 1;
}

base_controller::~base_controller() {
    // A control event that comes after the controller is gone must not reach
    // it through the process-wide pointer.
    base_controller* self = this;
    current.compare_exchange_strong(self, nullptr);
    if (lock_created == 1) {
        VTXPR_DestroyLock(&lock);
        lock_created = 0;
    }
}

std::uint32_t base_controller::controls_accepted(DWORD version) {
    if ((version & 0xFF) > 4) {
        return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE;
    }
    return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
}

std::int32_t base_controller::pending_request() {
    VTXPR_Lock(&lock);
    const std::int32_t request = pending;
    VTXPR_Unlock(&lock);
    return request;
}

std::int32_t base_controller::start(const char16_t* service_name, const char16_t* display_name,
                                    std::int32_t argc, char16_t** argv) {
    if (constructed_flag == 0) {
        return 1;
    }
    if (argc > 0 && argv != nullptr && argv[0] != nullptr) {
        VTXPR_SetProgramName(argv[0]);
    }
    if (service_name == nullptr || display_name == nullptr) {
        return 1;
    }
    VTXPR_Snprintf(service_name_text, VTXPR_NAME_CHARS, u"%s", service_name);
    VTXPR_Snprintf(display_name_text, VTXPR_NAME_CHARS, u"%s", display_name);
    current.store(this);

    const SERVICE_TABLE_ENTRYW table[] = {{service_name_text, &base_controller::service_main},
                                          {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table) != FALSE) {
        // The service ran; its own exit status is not passed on.
        return 0;
    }
    // No service control manager: the program was started from a console.
    service_mode_flag.store(0);
    return serve(argc, argv);
}

void base_controller::service_main(DWORD argc, LPWSTR* argv) {
    base_controller* controller = current.load();
    if (controller != nullptr) {
        controller->serve(static_cast<std::int32_t>(argc), argv);
    }
}

std::int32_t base_controller::serve(std::int32_t argc, char16_t** argv) {
    const bool as_service = service_mode();
    if (as_service) {
        SERVICE_STATUS_HANDLE handle =
            RegisterServiceCtrlHandlerW(service_name_text, &base_controller::service_ctrl_handler);
        if (handle == nullptr) {
            xal_log_message(XAL_LOG_ERR, MSG_NO_HANDLER);
            return 1;
        }
        status_handle.store(handle);
        report_status(SERVICE_START_PENDING);
    } else {
        SetConsoleCtrlHandler(&base_controller::console_ctrl_handler, TRUE);
    }

    std::int32_t result = initialize(argc, argv);
    if (result == 0) {
        if (as_service) {
            event_log_report(EVENTLOG_INFORMATION_TYPE, CONTROLLER_EVENT_CATEGORY,
                             CONTROLLER_EVENT_STARTED, display_name_text);
            report_status(SERVICE_RUNNING);
        }
        result = run(argc, argv);
    }
    uninitialize();
    if (as_service) {
        event_log_report(EVENTLOG_INFORMATION_TYPE, CONTROLLER_EVENT_CATEGORY,
                         CONTROLLER_EVENT_STOPPED, display_name_text);
        report_status(SERVICE_STOPPED);
    }
    return result;
}

int base_controller::report_status(std::uint32_t state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controls_accepted(GetVersion());
    status.dwWin32ExitCode = 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    if (SetServiceStatus(status_handle.load(), &status) == FALSE) {
        const DWORD error = GetLastError();
        event_log_report_data(EVENTLOG_ERROR_TYPE, CONTROLLER_EVENT_CATEGORY,
                              CONTROLLER_EVENT_STATUS_ERROR, 0, sizeof(error), nullptr, &error);
        return 0;
    }
    if (state != SERVICE_STOPPED) {
        last_state_value.store(state);
    }
    return 1;
}

int base_controller::report_status_text(const char16_t* text) {
    if (!service_mode()) {
        return 0;
    }
    return SetServiceStatusText(status_handle.load(), text) != FALSE ? 1 : 0;
}

void base_controller::service_ctrl_handler(DWORD control) {
    base_controller* controller = current.load();
    if (controller == nullptr) {
        return;
    }
    if (controller->service_mode()) {
        if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
            controller->report_status(SERVICE_STOP_PENDING);
        } else {
            controller->report_status(controller->last_state());
        }
    }
    controller->deliver_request(RequestOfSignal(VTXPR_ControlToSignal(static_cast<int>(control))));
}

BOOL base_controller::console_ctrl_handler(DWORD event_type) {
    if (event_type != CTRL_C_EVENT) {
        // Control-Break, closing the console, log-off and shut-down get the
        // system's default handling.
        return FALSE;
    }
    base_controller* controller = current.load();
    if (controller == nullptr) {
        return FALSE;
    }
    if (controller->service_mode()) {
        controller->report_status(SERVICE_STOP_PENDING);
    }
    controller->deliver_request(
        RequestOfSignal(VTXPR_ControlToSignal(static_cast<int>(SERVICE_CONTROL_STOP))));
    return TRUE;
}

void base_controller::call_request(std::int32_t request) {
    switch (request) {
    case CONTROLLER_REQUEST_SHUTDOWN:
        on_shutdown();
        break;
    case CONTROLLER_REQUEST_RELOAD:
        on_reload();
        break;
    case CONTROLLER_REQUEST_USER_SIGNAL:
        on_user_signal();
        break;
    default:
        break;
    }
}

void base_controller::deliver_request(std::int32_t request) {
    if (request == CONTROLLER_REQUEST_NONE) {
        return;
    }
    VTXPR_Lock(&lock);
    if (running_mark == 1) {
        VTXPR_Unlock(&lock);
        call_request(request);
        return;
    }
    int message = 0;
    if (pending == CONTROLLER_REQUEST_NONE) {
        pending = request;
        message = MSG_DELIVERY_DEFERRED;
    } else if (pending == CONTROLLER_REQUEST_SHUTDOWN) {
        // A held shutdown is never replaced.
        message = request == CONTROLLER_REQUEST_SHUTDOWN ? MSG_SHUTDOWN_DEFERRED
                                                         : MSG_SHUTDOWN_SUPERSEDES;
    } else {
        pending = request;
        message = MSG_SUPERSEDES_PREVIOUS;
    }
    VTXPR_Unlock(&lock);
    xal_log_message(XAL_LOG_DEBUG, message);
}

void base_controller::begin_running() {
    VTXPR_Lock(&lock);
    running_mark = 1;
    if (pending != CONTROLLER_REQUEST_NONE) {
        const std::int32_t request = pending;
        // Delivered with the lock held: the lock is recursive, so the
        // operation may itself deliver a request.
        call_request(request);
        pending = CONTROLLER_REQUEST_NONE;
    }
    VTXPR_Unlock(&lock);
}
