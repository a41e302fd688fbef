// Console control events over signals taken by one control thread.
#include "platform/win32/console.h"

#include <csignal>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <pthread.h>
#include <vector>

namespace {

std::mutex g_mutex;
std::vector<PHANDLER_ROUTINE>* g_handlers = nullptr; // guarded by g_mutex; never freed
bool g_ignore_ctrl_c = false;                        // guarded by g_mutex
bool g_thread_started = false;                       // guarded by g_mutex

void ConsoleSignalSet(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGQUIT);
    sigaddset(set, SIGHUP);
}

// The default handling of an event nobody took: the process ends by the
// signal itself (SIGQUIT leaves a core where the limits allow one).
[[noreturn]] void EndBySignal(int signal_number) {
    std::signal(signal_number, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal_number);
    ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    ::raise(signal_number);
    // Not reached: the default action of each of these signals ends the
    // process. Should it ever return, end the process all the same.
    std::_Exit(128 + signal_number);
}

void Dispatch(int signal_number) {
    const int event = ConsoleEventOfSignal(signal_number);
    if (event < 0) {
        return;
    }
    std::vector<PHANDLER_ROUTINE> handlers;
    bool ignore_ctrl_c = false;
    try {
        std::lock_guard<std::mutex> hold(g_mutex);
        if (g_handlers != nullptr) {
            handlers = *g_handlers;
        }
        ignore_ctrl_c = g_ignore_ctrl_c;
    } catch (const std::bad_alloc&) {
        // Without a copy of the list the event cannot be handed on; it gets
        // its default handling below.
        handlers.clear();
    }
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
        if ((*it)(static_cast<DWORD>(event)) != FALSE) {
            return;
        }
    }
    if (event == static_cast<int>(CTRL_C_EVENT) && ignore_ctrl_c) {
        return;
    }
    EndBySignal(signal_number);
}

void* ControlThread(void*) {
    sigset_t set;
    ConsoleSignalSet(&set);
    for (;;) {
        int signal_number = 0;
        if (::sigwait(&set, &signal_number) == 0) {
            Dispatch(signal_number);
        }
    }
    return nullptr;
}

// Blocks the console signals on the calling thread and starts the control
// thread, once per process. Called with g_mutex held.
bool StartControlThread() {
    if (g_thread_started) {
        return true;
    }
    sigset_t set;
    ConsoleSignalSet(&set);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    pthread_t thread;
    if (::pthread_create(&thread, nullptr, ControlThread, nullptr) != 0) {
        return false;
    }
    ::pthread_detach(thread);
    g_thread_started = true;
    return true;
}

} // namespace

int ConsoleEventOfSignal(int signal_number) {
    switch (signal_number) {
    case SIGINT:
    case SIGTERM:
        return static_cast<int>(CTRL_C_EVENT);
    case SIGQUIT:
        return static_cast<int>(CTRL_BREAK_EVENT);
    case SIGHUP:
        return static_cast<int>(CTRL_CLOSE_EVENT);
    default:
        return -1;
    }
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    try {
        std::lock_guard<std::mutex> hold(g_mutex);
        if (g_handlers == nullptr) {
            g_handlers = new std::vector<PHANDLER_ROUTINE>();
        }
        if (handler == nullptr) {
            g_ignore_ctrl_c = (add != FALSE);
        } else if (add != FALSE) {
            g_handlers->push_back(handler);
        } else {
            // The most recent registration goes first, as it was added last.
            for (auto it = g_handlers->rbegin(); it != g_handlers->rend(); ++it) {
                if (*it == handler) {
                    g_handlers->erase(std::next(it).base());
                    return TRUE;
                }
            }
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!StartControlThread()) {
            if (handler != nullptr && add != FALSE) {
                g_handlers->pop_back();
            }
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        return TRUE;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}
