// Basic Win32 types, error codes and the process and thread calls that the
// system's own code makes. The stand-ins for the rest of the Win32 facilities
// live beside this header, one header a facility.
#pragma once
#include <cstdint>

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BOOL = std::int32_t;
using HANDLE = void*;
using LPCWSTR = const char16_t*;
using LPWSTR = char16_t*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// Win32 error codes used here.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_BAD_NETPATH = 53;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_BADDB = 1009;
constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;

// The calling thread's last error (kept per thread by the runtime).
DWORD GetLastError();
void SetLastError(DWORD error);
// Operating-system process and thread numbers, as shown in log lines.
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
