// What the store's MAPI objects and the backends share: entry identifiers
// around backend keys, property values built for an answer, and the answer
// to GetProps.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "mailstore/mapidefs.h"
#include "platform/msgstore/msgstore_backend.h"

namespace msgstore {

// ---- Entry identifiers ------------------------------------------------------------
// Layout: 4 flag bytes (zero), the backend's 16-byte identity, a 32-bit kind
// (little-endian), then the kind's own part:
//   store:   32-bit OPENSTORE_* flags, then the private store DN and the
//            mailbox DN, each as a 16-bit length and UTF-8 bytes;
//   folder, message: the backend's key, as it made it.
enum class EntryKind : std::uint32_t { Store = 1, Folder = 2, Message = 3 };

struct EntryIdParts {
    EntryKind kind = EntryKind::Folder;
    Key key;                       // folder and message
    std::uint32_t store_flags = 0; // store
    std::string store_dn;          // store
    std::string mailbox_dn;        // store
};

std::vector<BYTE> MakeObjectEntryId(const BYTE* identity, EntryKind kind, const Key& key);
std::vector<BYTE> MakeStoreEntryId(const BYTE* identity, std::uint32_t flags,
                                   std::string_view store_dn, std::string_view mailbox_dn);
// The same identifier written into `id`, whose room is reused (may throw
// std::bad_alloc).
void MakeStoreEntryId(const BYTE* identity, std::uint32_t flags, std::string_view store_dn,
                      std::string_view mailbox_dn, std::vector<BYTE>* id);
// MAPI_E_INVALID_ENTRYID for an identifier that is malformed, has an empty
// key or belongs to another store.
HRESULT ParseEntryId(const BYTE* identity, const void* entry, std::size_t size,
                     EntryIdParts* parts);

// ---- Text ---------------------------------------------------------------------------
bool IsString(ULONG type);
// Reads a string value (either width) as UTF-8; false when it is no string
// or a null pointer.
bool StringOf(const SPropValue& value, std::string* out);
std::string Utf8Of(const char16_t* text);
std::u16string Utf16Of(std::string_view text);
bool EqualNoCase(std::string_view a, std::string_view b);

// ---- Property values --------------------------------------------------------------------
// Property values built for an answer, owning what they point to.
class PropBag {
public:
    void Long(ULONG tag, LONG value);
    void Bool(ULONG tag, bool value);
    void I8(ULONG tag, std::int64_t value);
    void Time(ULONG tag, std::uint64_t filetime);
    void Str(ULONG tag, std::string text);
    void WStr(ULONG tag, std::u16string text);
    void Bin(ULONG tag, std::vector<BYTE> bytes);
    void Error(ULONG tag, SCODE error);
    void Pointer(ULONG tag, LPVOID pointer);
    void Raw(const SPropValue& value) { values_.push_back(value); }

    SPropValue* Data() { return values_.data(); }
    const SPropValue* Data() const { return values_.data(); }
    ULONG Size() const { return static_cast<ULONG>(values_.size()); }
    // The value of `tag`'s property: the same type first, then a string of
    // the other width, then a stored error; any type for PT_UNSPECIFIED.
    const SPropValue* Find(ULONG tag) const;

private:
    std::deque<std::string> strings_;
    std::deque<std::u16string> wide_;
    std::deque<std::vector<BYTE>> binaries_;
    std::vector<SPropValue> values_;
};

// GetProps over a bag of available values: the tags asked for (all values
// when `tags` is null) in one MAPIAllocateBuffer array; a tag not in the bag
// comes back as PT_ERROR with MAPI_E_NOT_FOUND and MAPI_W_ERRORS_RETURNED.
HRESULT AnswerGetProps(const PropBag& bag, LPSPropTagArray tags, ULONG flags, ULONG* count,
                       LPSPropValue* values);

// A new generic table holding the bags' values as its rows.
HRESULT TableFromBags(std::vector<PropBag>& bags, LPMAPITABLE* table);

// FILETIME counts (100 ns since 1601 UTC).
inline FILETIME ToFileTime(std::uint64_t value) {
    return FILETIME{static_cast<ULONG>(value & 0xFFFFFFFFu), static_cast<ULONG>(value >> 32)};
}
inline std::uint64_t FromFileTime(FILETIME value) {
    return (static_cast<std::uint64_t>(value.dwHighDateTime) << 32) | value.dwLowDateTime;
}
// The runtime clock as a FILETIME count.
std::uint64_t FileTimeNow();
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

} // namespace msgstore
