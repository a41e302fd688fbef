// Events over abstract-namespace Unix sockets (named) or process memory.
#include "platform/win32/named_event.h"

#include "runtime/vtx_str.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <poll.h>
#include <set>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

struct EventObject {
    bool created = false; // made by this process (else opened)
    bool manual_reset = false;
    DWORD access = 0;
    std::mutex mutex;
    bool signaled = false;     // created events: the state (guarded)
    int wake_fd = -1;          // created events: wakes a waiter on a local set
    int listen_fd = -1;        // created named events: the name itself
    std::vector<int> accepted; // created named events: openers' connections (guarded)
    int connection_fd = -1;    // opened events: the connection to the creator
};

// Every live handle, so that a stray value is refused instead of followed.
std::mutex g_handles_mutex;
std::set<EventObject*>* g_handles = nullptr; // guarded; never freed

bool Register(EventObject* event) {
    try {
        std::lock_guard<std::mutex> hold(g_handles_mutex);
        if (g_handles == nullptr) {
            g_handles = new std::set<EventObject*>();
        }
        g_handles->insert(event);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

EventObject* Find(HANDLE handle) {
    std::lock_guard<std::mutex> hold(g_handles_mutex);
    EventObject* event = static_cast<EventObject*>(handle);
    if (g_handles == nullptr || g_handles->count(event) == 0) {
        return nullptr;
    }
    return event;
}

void CloseFd(int* fd) {
    if (*fd >= 0) {
        ::close(*fd);
        *fd = -1;
    }
}

void Destroy(EventObject* event) {
    CloseFd(&event->wake_fd);
    CloseFd(&event->listen_fd);
    CloseFd(&event->connection_fd);
    for (int fd : event->accepted) {
        ::close(fd);
    }
    delete event;
}

// The abstract socket address of `name`: a NUL, then the name's UTF-8 bytes.
DWORD EventAddress(LPCWSTR name, sockaddr_un* address, socklen_t* length) {
    if (name == nullptr || name[0] == u'\0') {
        return ERROR_INVALID_PARAMETER;
    }
    std::string bytes;
    try {
        bytes = VTX_ToUtf8(std::u16string_view(name));
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    if (bytes.size() + 1 > sizeof(address->sun_path)) {
        return ERROR_INVALID_NAME;
    }
    std::memcpy(address->sun_path + 1, bytes.data(), bytes.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + bytes.size());
    return ERROR_SUCCESS;
}

// Takes openers' connections and the bytes they sent. Called with the
// event's mutex held; every descriptor is non-blocking.
void TakeWhatArrived(EventObject* event) {
    if (event->wake_fd >= 0) {
        std::uint64_t count = 0;
        ssize_t ignored = ::read(event->wake_fd, &count, sizeof(count));
        (void)ignored;
    }
    if (event->listen_fd >= 0) {
        for (;;) {
            const int fd =
                ::accept4(event->listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                break;
            }
            // An opener that may not set the event is hung up on unheard, so
            // that an ordinary local user cannot, say, tell a waiting remove
            // request that its pass is over.
            ucred opener{};
            socklen_t size = sizeof(opener);
            if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &opener, &size) != 0 ||
                !NamedEventOpenerTrusted(opener.uid, ::geteuid())) {
                ::close(fd);
                continue;
            }
            try {
                event->accepted.push_back(fd);
            } catch (const std::bad_alloc&) {
                // An opener we cannot follow: its set will not be seen.
                ::close(fd);
            }
        }
    }
    for (std::size_t i = 0; i < event->accepted.size();) {
        char bytes[64];
        const ssize_t got = ::recv(event->accepted[i], bytes, sizeof(bytes), MSG_DONTWAIT);
        if (got > 0) {
            event->signaled = true;
            continue; // read on until the connection is drained
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            ++i;
            continue;
        }
        // The opener closed its handle (or the connection broke).
        ::close(event->accepted[i]);
        event->accepted.erase(event->accepted.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

// With `say_refusal`, a creator that is not trusted is named on standard
// error: the opener otherwise sees only that there is no event for it, and
// an administrator would not learn why a request was passed over.
HANDLE OpenNamed(DWORD access, const sockaddr_un& address, socklen_t length, bool say_refusal) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        SetLastError(static_cast<DWORD>(errno));
        return nullptr;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        // Nobody listens under that name (or its creator cannot take more
        // openers just now): there is no event to open.
        ::close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        !NamedEventListenerTrusted(credentials.uid, ::geteuid())) {
        ::close(fd);
        if (say_refusal && size == sizeof(credentials)) {
            const std::size_t name_bytes =
                static_cast<std::size_t>(length) - offsetof(sockaddr_un, sun_path) - 1;
            std::fprintf(stderr,
                         "sortwell: the event %.*s is passed over: its creator runs as user "
                         "%u, neither root nor this program's user (%u)\n",
                         static_cast<int>(name_bytes), address.sun_path + 1,
                         static_cast<unsigned>(credentials.uid),
                         static_cast<unsigned>(::geteuid()));
        }
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    EventObject* event = new (std::nothrow) EventObject();
    if (event == nullptr) {
        ::close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    event->access = access;
    event->connection_fd = fd;
    if (!Register(event)) {
        Destroy(event);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return event;
}

} // namespace

bool NamedEventListenerTrusted(std::uint32_t listener_uid, std::uint32_t own_uid) {
    return listener_uid == 0 || listener_uid == own_uid;
}

// Debian gives system accounts (adduser --system) uids below 1000 and people
// 1000 and up; the service user the agent runs as is such a system account,
// and root's remove request has to hear from it.
bool NamedEventOpenerTrusted(std::uint32_t opener_uid, std::uint32_t own_uid) {
    constexpr std::uint32_t kFirstLoginUid = 1000;
    return opener_uid == 0 || opener_uid == own_uid ||
           (own_uid == 0 && opener_uid < kFirstLoginUid);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCWSTR name) {
    sockaddr_un address;
    socklen_t length = 0;
    int listen_fd = -1;
    if (name != nullptr) {
        const DWORD error = EventAddress(name, &address, &length);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return nullptr;
        }
        listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listen_fd < 0) {
            SetLastError(static_cast<DWORD>(errno));
            return nullptr;
        }
        if (::bind(listen_fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
            const int bind_error = errno;
            ::close(listen_fd);
            if (bind_error != EADDRINUSE) {
                SetLastError(static_cast<DWORD>(bind_error));
                return nullptr;
            }
            HANDLE existing = OpenNamed(EVENT_ALL_ACCESS, address, length, false);
            if (existing != nullptr) {
                SetLastError(ERROR_ALREADY_EXISTS);
            }
            return existing;
        }
        if (::listen(listen_fd, 64) != 0) {
            const int listen_error = errno;
            ::close(listen_fd);
            SetLastError(static_cast<DWORD>(listen_error));
            return nullptr;
        }
    }
    EventObject* event = new (std::nothrow) EventObject();
    if (event == nullptr) {
        if (listen_fd >= 0) {
            ::close(listen_fd);
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    event->created = true;
    event->manual_reset = manual_reset != FALSE;
    event->signaled = initial_state != FALSE;
    event->access = EVENT_ALL_ACCESS;
    event->listen_fd = listen_fd;
    event->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event->wake_fd < 0) {
        const int error = errno;
        Destroy(event);
        SetLastError(static_cast<DWORD>(error));
        return nullptr;
    }
    if (!Register(event)) {
        Destroy(event);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return event;
}

HANDLE OpenEventW(DWORD access, BOOL, LPCWSTR name) {
    sockaddr_un address;
    socklen_t length = 0;
    const DWORD error = EventAddress(name, &address, &length);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    return OpenNamed(access, address, length, true);
}

BOOL SetEvent(HANDLE handle) {
    EventObject* event = Find(handle);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((event->access & EVENT_MODIFY_STATE) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!event->created) {
        const char one = 1;
        if (::send(event->connection_fd, &one, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    }
    {
        std::lock_guard<std::mutex> hold(event->mutex);
        event->signaled = true;
    }
    const std::uint64_t one = 1;
    ssize_t ignored = ::write(event->wake_fd, &one, sizeof(one));
    (void)ignored;
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    EventObject* event = Find(handle);
    if (event == nullptr || !event->created) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(event->mutex);
    TakeWhatArrived(event);
    event->signaled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    EventObject* event = Find(handle);
    if (event == nullptr || !event->created) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        std::vector<pollfd> fds;
        {
            std::lock_guard<std::mutex> hold(event->mutex);
            TakeWhatArrived(event);
            if (event->signaled) {
                if (!event->manual_reset) {
                    event->signaled = false;
                }
                return WAIT_OBJECT_0;
            }
            try {
                fds.push_back({event->wake_fd, POLLIN, 0});
                if (event->listen_fd >= 0) {
                    fds.push_back({event->listen_fd, POLLIN, 0});
                }
                for (int fd : event->accepted) {
                    fds.push_back({fd, POLLIN, 0});
                }
            } catch (const std::bad_alloc&) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return WAIT_FAILED;
            }
        }
        int timeout = -1;
        if (milliseconds != INFINITE) {
            // Rounded up, so that the wait never ends before its time.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
            if (left.count() <= 0) {
                return WAIT_TIMEOUT;
            }
            timeout = left.count() > 1000000 ? 1000000 : static_cast<int>(left.count());
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            SetLastError(static_cast<DWORD>(errno));
            return WAIT_FAILED;
        }
    }
}

BOOL CloseHandle(HANDLE handle) {
    EventObject* event = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_handles_mutex);
        event = static_cast<EventObject*>(handle);
        if (g_handles == nullptr || g_handles->erase(event) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    Destroy(event);
    return TRUE;
}
