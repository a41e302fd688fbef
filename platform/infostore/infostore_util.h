// Small pieces of the store that need no database: entry identifiers, text
// keys, time, and reading an RFC 5322 message.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mailstore/mapidefs.h"
#include "platform/msgstore/msgstore_util.h"

namespace infostore {

// ---- Entry identifiers ------------------------------------------------------------
// This store's identifiers are the message store's (msgstore_util.h) with the
// store file's 16-byte identity, and with the 64-bit row id, little-endian, as
// the key of a folder or message. Row ids are never reused, so an identifier
// stays with its object across processes and never names another object
// after a deletion.
using msgstore::EntryKind;
using msgstore::MakeStoreEntryId;

// The key of row `id`, and the row id a key holds (0 for a key this store
// never makes).
msgstore::Key RowKey(std::int64_t id);
std::int64_t RowOf(const msgstore::Key& key);

struct EntryIdParts {
    EntryKind kind = EntryKind::Folder;
    std::int64_t row_id = 0;       // folder and message
    std::uint32_t store_flags = 0; // store
    std::string store_dn;          // store
    std::string mailbox_dn;        // store
};

std::vector<BYTE> MakeObjectEntryId(const BYTE* guid, EntryKind kind, std::int64_t row_id);
// MAPI_E_INVALID_ENTRYID for an identifier that is malformed, belongs to
// another store file or holds a key that is no row id.
HRESULT ParseEntryId(const BYTE* guid, const void* entry, std::size_t size, EntryIdParts* parts);

// ---- Text -----------------------------------------------------------------------------
// The key folders are matched by: the name folded to lower case code unit by
// code unit, the same folding the agent's own case-insensitive comparison
// uses, so "SPAM" and "Spam" find each other wherever the agent would.
std::string FoldKey(std::string_view utf8);
bool EqualNoCase(std::string_view a, std::string_view b);
std::string ToUtf8(const char16_t* text);
std::u16string ToUtf16(std::string_view text);
std::string Hex(const BYTE* data, std::size_t size);
// Parses hex digits (spaces allowed between bytes); false on bad input.
bool ParseHex(std::string_view text, std::vector<BYTE>* out);

// ---- Time -------------------------------------------------------------------------------
// The runtime clock as a FILETIME count (100 ns since 1601 UTC).
std::uint64_t FileTimeNow();
inline FILETIME ToFileTime(std::uint64_t value) {
    return FILETIME{static_cast<ULONG>(value & 0xFFFFFFFFu), static_cast<ULONG>(value >> 32)};
}
inline std::uint64_t FromFileTime(FILETIME value) {
    return (static_cast<std::uint64_t>(value.dwHighDateTime) << 32) | value.dwLowDateTime;
}
constexpr std::uint64_t kFileTimeUnitsPerDay = 864000000000ull;
// "2026-12-05T17:46:22.123Z" for listings: ISO 8601 in UTC, the form the
// event file uses too.
std::string FormatFileTime(std::uint64_t value);

// ---- Messages --------------------------------------------------------------------------
struct ParsedMessage {
    std::string headers; // the header block, as received, without the empty line
    std::string subject; // the Subject field, unfolded and trimmed
    std::string body;    // everything after the empty line
    std::string message_class = "IPM.Note";
};
// Splits a message into its header block and body. The header block is the
// run of header fields (and their folded continuation lines) at the start;
// it ends at the first empty line, which belongs to neither part, or at the
// first line that is no header field, which starts the body. LF and CRLF
// line ends are both accepted and kept as they are. A NUL byte reads as a
// space (an 8-bit MAPI string could not hold it). Fails with
// MAPI_E_INVALID_PARAMETER for an empty message.
HRESULT ParseMessage(std::string_view text, ParsedMessage* message, std::string* error);

} // namespace infostore
