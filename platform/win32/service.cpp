// The service control manager over systemd: the dispatcher, the control
// handler's signals and the sd_notify status reports.
#include "platform/win32/service.h"

#include "runtime/vtx_str.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

// The one service of the process while a dispatcher runs.
struct Dispatcher {
    std::mutex mutex;
    bool running = false;                    // a dispatcher runs (guarded)
    bool service_done = false;               // the main routine returned (guarded)
    LPHANDLER_FUNCTION handler = nullptr;    // registered control handler (guarded)
    std::vector<DWORD> held;                 // controls before registration (guarded)
    std::u16string service_name;             // set before the service thread starts
    LPSERVICE_MAIN_FUNCTIONW main = nullptr; // set before the service thread starts
    std::vector<std::u16string> arguments;   // the service's argument texts
    std::vector<LPWSTR> argv;                // pointers into `arguments`, null-ended
    int wake_fd = -1;                        // eventfd that wakes the dispatcher
    sockaddr_un notify_address{};            // where status reports go
    socklen_t notify_length = 0;             // 0: the address is unusable
    std::string status_text;                 // the last free-text status (guarded)
};

Dispatcher g_dispatcher;

// The status handle is the address of this token while a service runs.
char g_handle_token;

SERVICE_STATUS_HANDLE ServiceHandle() {
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(&g_handle_token);
}

void ControlSignalSet(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGHUP);
    sigaddset(set, SIGUSR1);
}

// NOTIFY_SOCKET names a socket path, or with a leading '@' a name in the
// abstract namespace. Anything else leaves the address unusable, so that
// every report fails and says so in the event log.
void ParseNotifyAddress(const char* text, Dispatcher* d) {
    d->notify_length = 0;
    std::memset(&d->notify_address, 0, sizeof(d->notify_address));
    d->notify_address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(text);
    if (length < 2 || length >= sizeof(d->notify_address.sun_path)) {
        return;
    }
    if (text[0] == '@') {
        std::memcpy(d->notify_address.sun_path + 1, text + 1, length - 1);
    } else if (text[0] == '/') {
        std::memcpy(d->notify_address.sun_path, text, length);
    } else {
        return;
    }
    d->notify_length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (text[0] == '@' ? 0 : 1));
}

// The program's own arguments after argument 0, from the kernel's copy of
// the command line.
std::vector<std::u16string> ProgramArguments() {
    std::vector<std::u16string> result;
    const int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return result;
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof(chunk));
        if (got <= 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    std::size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        std::size_t end = text.find('\0', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (!first) {
            result.push_back(VTX_FromUtf8(std::string_view(text).substr(start, end - start)));
        }
        first = false;
        start = end + 1;
    }
    return result;
}

void Wake(int fd) {
    const std::uint64_t one = 1;
    ssize_t ignored = ::write(fd, &one, sizeof(one));
    (void)ignored;
}

void* ServiceThread(void*) {
    Dispatcher& d = g_dispatcher;
    d.main(static_cast<DWORD>(d.argv.size() - 1), d.argv.data());
    {
        std::lock_guard<std::mutex> hold(d.mutex);
        d.service_done = true;
    }
    Wake(d.wake_fd);
    return nullptr;
}

// Hands `controls` to the registered handler on this (the dispatcher's)
// thread, unless the service has ended meanwhile or no handler is there yet,
// in which case they are held.
void Deliver(Dispatcher& d, const std::vector<DWORD>& controls) {
    for (DWORD control : controls) {
        LPHANDLER_FUNCTION handler = nullptr;
        {
            std::lock_guard<std::mutex> hold(d.mutex);
            if (d.service_done) {
                return;
            }
            handler = d.handler;
            if (handler == nullptr) {
                d.held.push_back(control);
                continue;
            }
        }
        handler(control);
    }
}

// One round of the dispatcher after poll: takes the signals and the wake-up
// and hands the controls over. Returns true once the service has ended.
bool DispatchRound(Dispatcher& d, int signal_fd, const pollfd* fds) {
    std::vector<DWORD> controls;
    if ((fds[0].revents & POLLIN) != 0) {
        signalfd_siginfo info;
        while (::read(signal_fd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
            const DWORD control = ServiceControlOfSignal(static_cast<int>(info.ssi_signo));
            if (control != 0) {
                controls.push_back(control);
            }
        }
    }
    bool done = false;
    if ((fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        ssize_t ignored = ::read(d.wake_fd, &count, sizeof(count));
        (void)ignored;
        std::lock_guard<std::mutex> hold(d.mutex);
        done = d.service_done;
        if (d.handler != nullptr && !d.held.empty()) {
            controls.insert(controls.begin(), d.held.begin(), d.held.end());
            d.held.clear();
        }
    }
    if (!controls.empty()) {
        Deliver(d, controls);
    }
    return done;
}

void RunDispatcher(Dispatcher& d, int signal_fd) {
    for (;;) {
        pollfd fds[2] = {{signal_fd, POLLIN, 0}, {d.wake_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Without poll the dispatcher can only wait for the service.
            return;
        }
        bool done = false;
        try {
            done = DispatchRound(d, signal_fd, fds);
        } catch (const std::bad_alloc&) {
            // The controls of this round are lost; the service goes on.
            std::lock_guard<std::mutex> hold(d.mutex);
            done = d.service_done;
        }
        if (done) {
            return;
        }
    }
}

} // namespace

DWORD ServiceControlOfSignal(int signal_number) {
    switch (signal_number) {
    case SIGTERM:
    case SIGINT:
        return SERVICE_CONTROL_STOP;
    case SIGHUP:
        return SERVICE_CONTROL_PARAMCHANGE;
    case SIGUSR1:
        return SERVICE_CONTROL_USER_SIGNAL;
    default:
        return 0;
    }
}

const char* ServiceNotifyText(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED:
        return "STATUS=Stopped";
    case SERVICE_START_PENDING:
        return "STATUS=Starting";
    case SERVICE_STOP_PENDING:
        return "STOPPING=1\nSTATUS=Stopping";
    case SERVICE_RUNNING:
        return "READY=1\nSTATUS=Running";
    case SERVICE_CONTINUE_PENDING:
        return "STATUS=Continuing";
    case SERVICE_PAUSE_PENDING:
        return "STATUS=Pausing";
    case SERVICE_PAUSED:
        return "STATUS=Paused";
    default:
        return "STATUS=Unknown state";
    }
}

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    if (table == nullptr || table[0].lpServiceName == nullptr ||
        table[0].lpServiceProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const char* notify = std::getenv("NOTIFY_SOCKET");
    if (notify == nullptr || notify[0] == '\0') {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    Dispatcher& d = g_dispatcher;
    try {
        std::lock_guard<std::mutex> hold(d.mutex);
        if (d.running) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        d.service_name = table[0].lpServiceName;
        d.main = table[0].lpServiceProc;
        d.arguments = ProgramArguments();
        d.arguments.insert(d.arguments.begin(), d.service_name);
        d.argv.clear();
        for (std::u16string& text : d.arguments) {
            d.argv.push_back(text.data());
        }
        d.argv.push_back(nullptr);
        d.handler = nullptr;
        d.held.clear();
        d.service_done = false;
        d.status_text.clear();
        ParseNotifyAddress(notify, &d);
        d.running = true;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }

    // From here on every thread of the process starts with the control
    // signals blocked; only the signalfd below takes them.
    sigset_t set;
    sigset_t previous;
    ControlSignalSet(&set);
    ::pthread_sigmask(SIG_BLOCK, &set, &previous);

    const int signal_fd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    d.wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    pthread_t thread;
    const bool ready = signal_fd >= 0 && d.wake_fd >= 0 &&
                       ::pthread_create(&thread, nullptr, ServiceThread, nullptr) == 0;
    if (ready) {
        RunDispatcher(d, signal_fd);
        ::pthread_join(thread, nullptr);
        // Take what arrived after the service ended, so that restoring the
        // mask does not hand it the default action.
        signalfd_siginfo info;
        while (::read(signal_fd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        }
    }
    if (signal_fd >= 0) {
        ::close(signal_fd);
    }
    if (d.wake_fd >= 0) {
        ::close(d.wake_fd);
    }
    {
        std::lock_guard<std::mutex> hold(d.mutex);
        d.wake_fd = -1;
        d.handler = nullptr;
        d.held.clear();
        d.running = false;
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!ready) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR service_name,
                                                  LPHANDLER_FUNCTION handler) {
    if (service_name == nullptr || handler == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Dispatcher& d = g_dispatcher;
    int wake_fd = -1;
    {
        std::lock_guard<std::mutex> hold(d.mutex);
        if (!d.running || d.service_done ||
            VTX_WStrICmp(service_name, d.service_name.c_str()) != 0) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return nullptr;
        }
        d.handler = handler;
        wake_fd = d.wake_fd;
    }
    // Let the dispatcher hand over what it held back.
    Wake(wake_fd);
    return ServiceHandle();
}

namespace {
// Sends one datagram of the notification protocol for the registered
// service `handle`. FALSE with the last error set when it cannot.
BOOL SendNotify(SERVICE_STATUS_HANDLE handle, const char* text, std::size_t size) {
    Dispatcher& d = g_dispatcher;
    sockaddr_un address;
    socklen_t length = 0;
    {
        std::lock_guard<std::mutex> hold(d.mutex);
        if (handle != ServiceHandle() || !d.running || d.handler == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        address = d.notify_address;
        length = d.notify_length;
    }
    if (length == 0) {
        SetLastError(static_cast<DWORD>(EINVAL));
        return FALSE;
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastError(static_cast<DWORD>(errno));
        return FALSE;
    }
    const ssize_t sent =
        ::sendto(fd, text, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), length);
    const int error = errno;
    ::close(fd);
    if (sent < 0) {
        SetLastError(static_cast<DWORD>(error));
        return FALSE;
    }
    return TRUE;
}
} // namespace

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
    if (status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string text = ServiceNotifyText(status->dwCurrentState);
    try {
        // Running again after a control: the line that tells how the last
        // pass went stays what `systemctl status` shows. Any other state
        // ends that line.
        std::lock_guard<std::mutex> hold(g_dispatcher.mutex);
        if (status->dwCurrentState != SERVICE_RUNNING) {
            g_dispatcher.status_text.clear();
        } else if (!g_dispatcher.status_text.empty()) {
            text = "READY=1\nSTATUS=" + g_dispatcher.status_text;
        }
    } catch (const std::bad_alloc&) {
    }
    return SendNotify(handle, text.data(), text.size());
}

BOOL SetServiceStatusText(SERVICE_STATUS_HANDLE handle, LPCWSTR text) {
    if (text == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string line;
    std::string message;
    try {
        line = VTX_ToUtf8(std::u16string_view(text, VTX_WStrLen(text)));
        // One line: the protocol separates its assignments by line feeds.
        for (char& c : line)
            if (c == '\n' || c == '\r')
                c = ' ';
        message = "STATUS=" + line;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const BOOL sent = SendNotify(handle, message.data(), message.size());
    if (sent != FALSE) {
        // Kept for the next report of the running state.
        std::lock_guard<std::mutex> hold(g_dispatcher.mutex);
        g_dispatcher.status_text.swap(line);
    }
    return sent;
}
