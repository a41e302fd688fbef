// System information and string-table loading: the operating-system version,
// the computer's name, the program's own module and its string table.
#pragma once
#include "platform/win32/win32_base.h"

using HINSTANCE = struct HINSTANCE__*;
using HMODULE = HINSTANCE;

constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

// The version of the running kernel in the Windows layout: the major version
// in the low byte, the minor version in the next byte, the high word 0. On a
// 6.1 kernel that is 0x00000106, so (GetVersion() & 0xFF) is 6.
DWORD GetVersion();

// The host name (as gethostname gives it) as wide text. *size holds the
// buffer's size in wide characters on entry. On success the name is copied
// with its terminator, *size becomes its length without the terminator and
// the result is TRUE. When the buffer is too small, *size becomes the size
// needed (terminator included) and the result is FALSE with
// ERROR_BUFFER_OVERFLOW; with a missing buffer or size, FALSE with
// ERROR_INVALID_PARAMETER.
BOOL GetComputerNameW(LPWSTR buffer, DWORD* size);

// The program's own module. Only null (the program itself) is known: any
// name gives null with ERROR_FILE_NOT_FOUND. The handle only serves to load
// the program's resources.
HMODULE GetModuleHandleW(LPCWSTR module_name);

// Loads string `id` of the module's string table into `buffer` of `count`
// wide characters, cut to count - 1 characters and always terminated.
// Returns the number of characters copied, terminator not counted. A count of
// 0 stores a read-only pointer to the text in *(const char16_t**)buffer and
// returns the text's length. Returns 0 when the string does not exist
// (ERROR_RESOURCE_NAME_NOT_FOUND), the module is not the program's
// (ERROR_RESOURCE_DATA_NOT_FOUND) or the buffer is missing
// (ERROR_INVALID_PARAMETER).
int LoadStringW(HINSTANCE instance, unsigned int id, LPWSTR buffer, int count);

// Runs `command` through the shell and waits for it, as the C library's
// system() does, and returns what system() returns on Windows: the
// command's exit status, 0 to 255. A command ended by a signal gives 128
// plus the signal's number, as the shell reports it; -1 when no shell could
// be run.
int RunCommandLine(const char* command);
