// Reading single registry values.
#pragma once
#include <cstdint>

using HKEY = struct HKEY__*;
// The predefined root keys.
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))

// Reads the data of `value_name` under `key_path` of `root` into `buffer`.
// *size holds the buffer's size in bytes on entry and the data's size on
// return. `machine` names another machine, or is null for this one.
// Returns a Win32 error code: 0 on success, 87 for a missing argument, 2 for
// a missing key or value, 234 when the data is larger than the buffer, 53
// when another machine cannot be reached.
long registry_read_value(HKEY root, const char16_t* machine, const char16_t* key_path,
                         const char16_t* value_name, void* buffer, std::uint32_t* size);
