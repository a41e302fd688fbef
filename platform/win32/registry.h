// The registry, stood in for by a hive file in the .reg text format.
//
// The hive is the file that SORTWELL_REGISTRY names (default
// /etc/sortwell/registry.reg). It is read when a key is opened below a
// predefined root and read again whenever the file has changed since, so a
// program that opens its key afresh sees the current settings. Key and
// value names compare case-insensitively. A hive that cannot be read or
// parsed is reported once on standard error, with its path and the line
// number, and reads as an empty registry. A missing hive file reads as an
// empty registry; it is reported only when SORTWELL_REGISTRY names it.
//
// Data is returned as stored: a string value is its UTF-16LE text with the
// terminating NUL, a dword four little-endian bytes, hex data its bytes.
#pragma once
#include "platform/win32/win32_base.h"

#include <cstdint>
#include <string>

using LONG = std::int32_t;
using BYTE = std::uint8_t;
using REGSAM = DWORD;

#ifndef HKEY_LOCAL_MACHINE
using HKEY = struct HKEY__*;
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
#endif
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000003u)))
#define HKEY_CURRENT_CONFIG (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000005u)))

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Access rights (accepted; a hive file is read-only to these calls).
constexpr REGSAM KEY_QUERY_VALUE = 0x1;
constexpr REGSAM KEY_READ = 0x20019;

// Connects to `root` (HKEY_LOCAL_MACHINE or HKEY_USERS) of `machine`. Only
// this machine can be reached (null, ".", "localhost" or the host name, with
// or without a leading "\\"): any other name gives ERROR_BAD_NETPATH. The
// connected key is a key of its own, closed with RegCloseKey.
// ERROR_INVALID_PARAMETER when `result` is missing, ERROR_INVALID_HANDLE for
// another root.
LONG RegConnectRegistryW(LPCWSTR machine, HKEY root, HKEY* result);

// Opens `sub_key` (null or empty: the key itself) below `key`.
// ERROR_FILE_NOT_FOUND when no such key is in the hive,
// ERROR_INVALID_HANDLE for a key that is not open, ERROR_INVALID_PARAMETER
// when `result` is missing.
LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access, HKEY* result);

// Reads value `value_name` (null or empty: the key's default value @) of
// `key`. *size holds the buffer's size in bytes on entry and the data's size
// on return. With a null `data` only the size (and the type) is returned.
// ERROR_MORE_DATA when the buffer is too small (*size tells the size
// needed), ERROR_FILE_NOT_FOUND for a missing value, ERROR_INVALID_PARAMETER
// for a non-null `reserved` or a buffer without a size.
LONG RegQueryValueExW(HKEY key, LPCWSTR value_name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);

// Enumerates the values of `key`: the value at `index` (0 for the first),
// its name as the hive writes it (into `name`, of *name_chars wide
// characters; *name_chars is then its length without the terminator), its
// type and data as RegQueryValueExW gives them (`type`, `data` and `size`
// may be null). ERROR_NO_MORE_ITEMS past the last value, ERROR_MORE_DATA
// when the name or the data does not fit, ERROR_INVALID_HANDLE for a key
// that is not open. The order is that of the folded names.
LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, DWORD* name_chars, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* size);

// Closes a key. The predefined roots need no closing and give
// ERROR_SUCCESS; ERROR_INVALID_HANDLE for a key that is not open.
LONG RegCloseKey(HKEY key);

// The hive file in use (SORTWELL_REGISTRY, else the default) into `path`,
// read now if it changed, and how that reading went: ERROR_SUCCESS;
// ERROR_FILE_NOT_FOUND when there is no such file; ERROR_ACCESS_DENIED when
// it cannot be read; ERROR_BADDB when it cannot be parsed. In each of the
// last three the registry reads as empty, and `problem` says why in words
// (the line number too, for a parse error). Not a Win32 call: the settings
// check uses it to name the file it speaks of.
LONG RegistryHiveStatus(std::string* path, std::string* problem);

// Keys opened or connected and not yet closed, in the whole process. For
// tests that show every key is closed again.
DWORD RegistryOpenKeyCount();
