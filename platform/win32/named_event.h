// Events, stood in for by Unix sockets.
//
// A named event is a stream socket of the event's name in the abstract
// namespace (so "Global\REMOVE_RULES" is the socket "\0Global\REMOVE_RULES"),
// listened on by the process that created the event. Like a Windows event it
// exists exactly as long as its creator holds it: closing the handle, or the
// creator's end, takes the name away at once and nothing stale is left.
//
// Opening an event is connecting to it. The open counts only when the
// listener's credentials (SO_PEERCRED) are root's or this process's own
// user's: the stand-in for the event's security descriptor, so that no other
// user can make the program believe the event exists. Setting an opened
// event writes one byte on the connection; the creator waits by accepting
// connections and reading from them. An event created without a name is
// local to the process.
#pragma once
#include "platform/win32/win32_base.h"

#include <cstdint>

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Access rights.
constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003;

// Waiting.
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

constexpr DWORD ERROR_INVALID_NAME = 123;

// Creates an event; `name` may be null. A manual-reset event stays set until
// ResetEvent; an auto-reset one is cleared by the wait that sees it set.
// Returns the handle (last error 0), or, when an event of that name already
// exists, a handle opened on it with ERROR_ALREADY_EXISTS, as Windows does.
// Null with ERROR_ACCESS_DENIED when the existing event is another user's,
// ERROR_INVALID_NAME for a name too long for a socket address (107 bytes
// of UTF-8), ERROR_NOT_ENOUGH_MEMORY, or the system's error number.
// Handles are never inherited by child processes.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name);

// Opens the existing event `name` with `access`. Null with
// ERROR_FILE_NOT_FOUND when no such event exists, ERROR_ACCESS_DENIED when
// its creator is neither root nor this process's user, ERROR_INVALID_NAME or
// ERROR_INVALID_PARAMETER for a bad or missing name. `inherit` is ignored:
// handles are never inherited.
HANDLE OpenEventW(DWORD access, BOOL inherit, LPCWSTR name);

// Sets the event. On an opened event this sends the one byte to the creator:
// FALSE with ERROR_ACCESS_DENIED without EVENT_MODIFY_STATE, or
// ERROR_INVALID_HANDLE when the creator has gone.
BOOL SetEvent(HANDLE event);
// Clears an event this process created (FALSE with ERROR_INVALID_HANDLE for
// an opened one, whose state lives with its creator).
BOOL ResetEvent(HANDLE event);

// Waits until an event this process created is set, or `milliseconds` have
// passed. WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED (ERROR_INVALID_HANDLE)
// for an opened event or anything that is not an event handle.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Closes an event handle. FALSE with ERROR_INVALID_HANDLE for anything else.
BOOL CloseHandle(HANDLE handle);

// The security check made when an event is opened: true when a listener of
// user `listener_uid` may be trusted by a process of user `own_uid` (root,
// or the same user).
bool NamedEventListenerTrusted(std::uint32_t listener_uid, std::uint32_t own_uid);

// The check made when an opener connects to set an event: true when an
// opener of user `opener_uid` may set an event created by a process of user
// `own_uid`: root, the same user, or, for an event root created, a system
// account (uid below 1000, where services such as the agent run); never an
// ordinary user's login.
bool NamedEventOpenerTrusted(std::uint32_t opener_uid, std::uint32_t own_uid);
