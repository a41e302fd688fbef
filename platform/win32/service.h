// The service control manager, stood in for by systemd.
//
// A program runs as a service when systemd started it as one: NOTIFY_SOCKET
// is set (a Type=notify unit). Then StartServiceCtrlDispatcherW keeps the
// calling (main) thread as the dispatcher: it runs the service's main
// routine on a service thread and turns signals into service controls,
// which it hands to the control handler on its own thread:
//
//   SIGTERM, SIGINT  SERVICE_CONTROL_STOP
//   SIGHUP           SERVICE_CONTROL_PARAMCHANGE (ExecReload sends it)
//   SIGUSR1          the user-defined control 128
//
// The signals are blocked on the main thread before the service thread
// starts, so every thread of the process inherits the mask, and taken by the
// dispatcher with a signalfd; no work is done inside a signal handler. A
// signal that arrives before the service has registered its handler is held
// and handed over once it has.
//
// The service's start parameters are the program's own arguments (from the
// unit's command line), after the service's name as argument 0.
//
// SetServiceStatus sends the state to systemd over the notification socket
// (the sd_notify protocol, one datagram a report):
//
//   SERVICE_START_PENDING  "STATUS=Starting"
//   SERVICE_RUNNING        "READY=1\nSTATUS=Running", or after a free-text
//                          status (SetServiceStatusText) "READY=1\nSTATUS="
//                          and that text, so that a control that reports
//                          the running state again keeps the line
//   SERVICE_STOP_PENDING   "STOPPING=1\nSTATUS=Stopping"
//   SERVICE_STOPPED        "STATUS=Stopped"
//
// and any other state as "STATUS=" with its name.
#pragma once
#include "platform/win32/win32_base.h"

#include <cstddef>

using SERVICE_STATUS_HANDLE = struct SERVICE_STATUS_HANDLE__*;
using LPSERVICE_MAIN_FUNCTIONW = void (*)(DWORD argc, LPWSTR* argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);

struct SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};

// Service types.
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x20;

// Service states.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

// Controls.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_CONTROL_PARAMCHANGE = 6;
constexpr DWORD SERVICE_CONTROL_USER_SIGNAL = 128; // this program's own control

// Controls accepted.
constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;
constexpr DWORD SERVICE_ACCEPT_PARAMCHANGE = 0x8;

constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;

// Runs the service of the table's first entry (one service a process) and
// returns when its main routine has returned: TRUE. FALSE with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the program was not started as
// a service (NOTIFY_SOCKET unset or empty), ERROR_INVALID_PARAMETER for an
// empty table, ERROR_SERVICE_ALREADY_RUNNING while a dispatcher runs,
// ERROR_NOT_ENOUGH_MEMORY when the service thread or the dispatcher's
// descriptors cannot be made. The calling thread's signal mask is restored
// on return.
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);

// Registers the service's control handler. Returns the status handle, or
// null with ERROR_SERVICE_DOES_NOT_EXIST when no dispatcher runs a service
// of that name (compared without regard to case) or ERROR_INVALID_PARAMETER
// for a missing handler.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR service_name, LPHANDLER_FUNCTION handler);

// Reports the service's state to systemd. TRUE when the notification was
// sent; FALSE with ERROR_INVALID_HANDLE for a handle that is not the running
// service's, ERROR_INVALID_PARAMETER for a missing status, or the system's
// error number (errno) of the failed send, such as 111 when nothing listens
// on the notification socket.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);
// Sends a free-text status line ("STATUS=text", line feeds made spaces) for
// the registered service, shown by `systemctl status`. Windows has no such
// call; the agent uses it for its per-pass summary. FALSE, with the last
// error set, outside service mode or when the send fails.
BOOL SetServiceStatusText(SERVICE_STATUS_HANDLE handle, LPCWSTR text);

// The notification text for `state` (as listed above), for tests and for
// anyone reading the journal.
const char* ServiceNotifyText(DWORD state);

// The service control that signal `signal_number` stands for, or 0 for a
// signal that is no control.
DWORD ServiceControlOfSignal(int signal_number);
