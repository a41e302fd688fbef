// Pieces shared by the files of the MAPI runtime and not offered to anyone
// else: text conversion and folding, value lookup and comparison, and the
// restriction checker the table runs once before it evaluates row by row.
#pragma once
#include <compare>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/mapi/mapi_runtime.h"
#include "platform/mapi/msgservice.h"

namespace mapi_detail {

// Deepest nesting of a restriction (the top level counts as 1).
constexpr unsigned kMaxRestrictionDepth = 64;

// Every block alive, chain heads and linked blocks alike (for tests).
ULONG DebugLiveBlocks();

// ---- Text ----------------------------------------------------------------------
// 8-bit MAPI text is UTF-8. Ill-formed input decodes to U+FFFD, one per bad
// unit, so nothing is dropped silently.
std::u32string DecodeUtf8(std::string_view text);
std::u32string DecodeUtf16(std::u16string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
std::size_t WideLength(const char16_t* text);

// How strings are compared: case folded, and with non-spacing marks
// (combining accents; accented Latin-1 letters count as their base letter)
// left out.
struct TextFold {
    bool ignore_case = false;
    bool ignore_nonspace = false;
};
std::u32string FoldText(std::u32string_view text, TextFold fold);
// The code points of a PT_STRING8 or PT_UNICODE value, folded; a null string
// pointer reads as the empty string.
std::u32string StringValue(const SPropValue& value, TextFold fold);
// Case-insensitive comparison of two UTF-8 strings (profile names).
bool Utf8EqualNoCase(std::string_view a, std::string_view b);

inline bool IsStringType(ULONG type) {
    return type == PT_STRING8 || type == PT_UNICODE;
}

// ---- Values ----------------------------------------------------------------------
// Whether a value of type `have` can stand for a wanted type: the same type,
// or both string types (converted between UTF-8 and UTF-16 on the way).
inline bool TypesCompatible(ULONG want, ULONG have) {
    return want == have || (IsStringType(want) && IsStringType(have));
}
// The value for `tag` among `values`: same property id, and a type that is
// the same, string-compatible, or anything when the tag says PT_UNSPECIFIED.
// An exact type is preferred. Values holding PT_ERROR are never returned.
const SPropValue* FindValue(const SPropValue* values, ULONG count, ULONG tag);
// The PT_ERROR value stored for `tag`'s property id, if the row has one.
const SPropValue* FindErrorValue(const SPropValue* values, ULONG count, ULONG tag);

// Whether values of this type can be ordered by the relational operators.
bool TypeIsComparable(ULONG type);
// Whether a value of this type lies wholly inside its SPropValue (numbers,
// times, booleans, errors, object placeholders): copying the SPropValue
// copies the value.
bool TypeIsScalar(ULONG type);
// Orders two values of compatible comparable types. Strings compare with
// `fold`; binaries byte by byte, a shorter prefix first; times and unsigned
// counts as unsigned numbers; NaN is unordered.
std::partial_ordering CompareValues(const SPropValue& a, const SPropValue& b, TextFold fold);
// Size of a value in bytes, as a size restriction measures it.
ULONG ValueSize(const SPropValue& value);

// Copies `source` into `dest` (onto `parent`'s chain) as type `want`,
// converting between the two string types when they differ.
SCODE CopyValueAs(LPSPropValue dest, const SPropValue& source, ULONG want_tag, LPVOID parent);

// ---- Restrictions ------------------------------------------------------------
// Checks a whole restriction tree: S_OK, MAPI_E_TOO_COMPLEX (too deep, or a
// kind this runtime does not evaluate), or MAPI_E_INVALID_PARAMETER.
HRESULT CheckRestriction(const SRestriction* restriction);
// Evaluates a restriction that CheckRestriction accepted.
bool MatchRestriction(const SRestriction& restriction, ULONG count, const SPropValue* values);

// ---- Initialisation and message services ------------------------------------
// Whether the calling thread has initialised MAPI and not yet uninitialised.
bool ThreadInitialized();
// The provider registered under `service_name` (compared ignoring case), or
// null.
IMsgServiceProvider* FindMsgServiceProvider(std::string_view service_name);

// ---- Interface helpers -----------------------------------------------------
// Answers QueryInterface for an object offering `self` under any of `iids`.
template <typename Self, std::size_t N>
HRESULT AnswerQuery(Self* self, const IID& iid, void** object, const IID* const (&iids)[N]) {
    if (object == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    for (const IID* candidate : iids) {
        if (*candidate == iid) {
            self->AddRef();
            *object = self;
            return S_OK;
        }
    }
    *object = nullptr;
    return MAPI_E_INTERFACE_NOT_SUPPORTED;
}

} // namespace mapi_detail
