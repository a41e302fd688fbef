// Wide (UTF-16) string helpers and UTF-8 conversion.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// A heap copy (VTXPR_Malloc); null for null or when memory runs out.
char16_t* VTXPR_StrDup(const char16_t* text);

// Length in code units up to the terminator.
std::size_t VTX_WStrLen(const char16_t* text);
// Bounded copy in the manner of wcsncpy: copies at most `count` units and
// fills the rest of the `count` units with zeros; like wcsncpy, the result is
// not terminated when `source` has `count` units or more. Returns dest.
char16_t* VTX_WStrNCpy(char16_t* dest, const char16_t* source, std::size_t count);
// Case-insensitive comparison in the manner of _wcsicmp: both sides folded
// to lower case unit by unit (simple case mapping of the Basic Multilingual
// Plane), then compared as unsigned values. <0, 0 or >0.
int VTX_WStrICmp(const char16_t* a, const char16_t* b);
// Plain comparison of unsigned code units, in the manner of wcscmp.
int VTX_WStrCmp(const char16_t* a, const char16_t* b);
// White space in the manner of iswspace: space, tab, LF, VT, FF, CR and the
// other Unicode spaces (U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000).
bool VTX_IsWSpace(char16_t c);
// Lower-case mapping of one code unit (the mapping VTX_WStrICmp folds with).
char16_t VTX_WToLower(char16_t c);

// UTF-16 to UTF-8 and back. Ill-formed input (a lone surrogate, a bad UTF-8
// sequence) becomes U+FFFD; nothing is dropped silently.
std::string VTX_ToUtf8(std::u16string_view text);
std::u16string VTX_FromUtf8(std::string_view text);
// Buffer forms: convert NUL-terminated `source` into `dest` of `size` units,
// always terminating when size > 0. Return the number of units the whole
// conversion needs including the terminator (greater than size when cut).
std::size_t VTX_Utf16ToUtf8(const char16_t* source, char* dest, std::size_t size);
std::size_t VTX_Utf8ToUtf16(const char* source, char16_t* dest, std::size_t size);
