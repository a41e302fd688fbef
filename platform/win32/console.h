// Console control events, stood in for by signals.
//
// SIGINT (Control-C) and SIGTERM (a container's or a shell's stop) are
// CTRL_C_EVENT; SIGQUIT (Control-\) is CTRL_BREAK_EVENT; SIGHUP (the
// terminal went away) is CTRL_CLOSE_EVENT. The signals are never handled
// inside a signal handler: the first SetConsoleCtrlHandler blocks them on the
// calling thread and starts one control thread that takes them with sigwait
// and calls the handlers there, one event at a time, the most recently added
// handler first, until one returns TRUE. When none does, the event gets its
// default handling: the process ends by the signal that raised the event, as
// it would have without any handler.
//
// Call it on the main thread before any other thread starts, so that every
// thread inherits the blocked signals; a thread that was already running
// keeps its own mask and may be handed the signal's default action instead.
// A signal that the process ignored when it started (nohup) stays ignored.
#pragma once
#include "platform/win32/win32_base.h"

constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;

using PHANDLER_ROUTINE = BOOL (*)(DWORD ctrl_type);

// Adds `handler` (add TRUE) to the handler list or removes it (add FALSE). A
// null handler with add TRUE makes the process ignore CTRL_C_EVENT when no
// handler takes it; with add FALSE it restores the default. Returns TRUE, or
// FALSE with ERROR_INVALID_PARAMETER when removing a handler that is not in
// the list, or ERROR_NOT_ENOUGH_MEMORY when the control thread or the list
// cannot grow.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// The console event that signal `signal_number` stands for, or -1 for a
// signal that is no console event.
int ConsoleEventOfSignal(int signal_number);
