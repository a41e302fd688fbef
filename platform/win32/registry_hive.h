// The parsed contents of a hive file in the .reg text format.
//
//   Windows Registry Editor Version 5.00        (or REGEDIT4)
//   ; a comment
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Altavane\Sortwell]
//   "Alias"="sortwell-admin"                     REG_SZ, \" and \\ escapes
//   "Threads"=dword:00000004                     REG_DWORD, 1 to 8 hex digits
//   "Blob"=hex:01,02,ff                          REG_BINARY
//   "Path"=hex(2):25,00,00,00                    type 2 (any type, in hex)
//   "List"=hex(7):41,00,00,00,\                  a trailing \ continues the
//     00,00                                        data on the next line
//   @="default value"                            the key's default value
//   "Old"=-                                      deletes a value
//   [-HKEY_LOCAL_MACHINE\SOFTWARE\Old]           deletes a key and its subkeys
//
// The file is UTF-8 (a byte order mark is allowed) or UTF-16LE with its byte
// order mark. The root may be written in full or abbreviated (HKLM, HKCU,
// HKCR, HKU, HKCC). A key also makes every key above it exist. As in the
// registry, a key name has at most 255 characters and keys nest at most 512
// levels deep; a hive whose keys' paths (every level counted) come to more
// than 16777216 characters at any point is refused as too large.
#pragma once
#include "platform/win32/win32_base.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

struct RegistryValue {
    std::u16string name; // as the file writes it ("" for the default value)
    DWORD type = 0;
    std::vector<unsigned char> data;
};

struct RegistryKey {
    // Values by name folded to lower case; the default value is "".
    std::map<std::u16string, RegistryValue> values;
};

struct RegistryHive {
    // Keys by full path folded to lower case, the root in full:
    // u"hkey_local_machine\\software\\altavane".
    std::map<std::u16string, RegistryKey> keys;
};

struct RegistryParseError {
    int line = 0; // 1-based line of the file
    std::string message;
};

// Parses the bytes of a hive file. On failure returns false with the first
// error's line and description, and leaves `hive` empty. Never throws:
// running out of memory is a failure too.
bool ParseRegistryHive(std::string_view bytes, RegistryHive* hive, RegistryParseError* error);

// A value name folded for lookup: lower case.
std::u16string RegistryFoldName(std::u16string_view name);

// A key path folded for lookup: lower case, the root's abbreviation
// expanded, no trailing separator. Empty when the root is not one of the
// five predefined roots.
std::u16string RegistryFoldPath(std::u16string_view path);
