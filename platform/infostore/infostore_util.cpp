#include "platform/infostore/infostore_util.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "runtime/vtx_str.h"
#include "runtime/vtxpr_time.h"

namespace infostore {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// ---- RFC 2047 encoded words in the Subject --------------------------------------------
std::string Latin1ToUtf8(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool DecodeBase64(std::string_view text, std::string* out) {
    std::uint32_t accumulator = 0;
    int bits = 0;
    for (char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else if (c == '=')
            break;
        else
            return false;
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((accumulator >> bits) & 0xFF));
        }
    }
    return true;
}

bool DecodeQ(std::string_view text, std::string* out) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '_') {
            out->push_back(' ');
        } else if (c == '=') {
            if (i + 2 >= text.size())
                return false;
            int hi = HexDigit(text[i + 1]);
            int lo = HexDigit(text[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            out->push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out->push_back(c);
        }
    }
    return true;
}

// Decodes one "=?charset?X?text?=" word; false leaves it as it was written.
bool DecodeWord(std::string_view word, std::string* out) {
    if (word.size() < 8 || word.substr(0, 2) != "=?" || word.substr(word.size() - 2) != "?=")
        return false;
    std::string_view inner = word.substr(2, word.size() - 4);
    std::size_t q1 = inner.find('?');
    if (q1 == std::string_view::npos || q1 + 2 >= inner.size() || inner[q1 + 2] != '?')
        return false;
    std::string charset = FoldKey(inner.substr(0, q1));
    std::size_t star = charset.find('*'); // language suffix
    if (star != std::string::npos)
        charset.resize(star);
    char encoding = inner[q1 + 1];
    std::string_view payload = inner.substr(q1 + 3);
    std::string raw;
    bool ok = false;
    if (encoding == 'B' || encoding == 'b')
        ok = DecodeBase64(payload, &raw);
    else if (encoding == 'Q' || encoding == 'q')
        ok = DecodeQ(payload, &raw);
    if (!ok)
        return false;
    if (charset == "utf-8" || charset == "us-ascii")
        *out += raw;
    else if (charset == "iso-8859-1" || charset == "latin1")
        *out += Latin1ToUtf8(raw);
    else
        return false;
    return true;
}

std::string DecodeEncodedWords(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    bool last_was_word = false;
    std::string pending_space;
    while (i < text.size()) {
        std::size_t start = text.find("=?", i);
        if (start == std::string_view::npos) {
            out += pending_space;
            out.append(text.substr(i));
            break;
        }
        std::string_view between = text.substr(i, start - i);
        // White space between two encoded words is dropped.
        bool only_space = between.find_first_not_of(" \t") == std::string_view::npos;
        // Find the end: =?cs?X?payload?=
        std::size_t q1 = text.find('?', start + 2);
        std::size_t q2 = q1 == std::string_view::npos ? q1 : text.find('?', q1 + 1);
        std::size_t end = q2 == std::string_view::npos ? q2 : text.find("?=", q2 + 1);
        std::string decoded;
        if (end == std::string_view::npos ||
            !DecodeWord(text.substr(start, end + 2 - start), &decoded)) {
            out.append(between);
            out.append("=?");
            i = start + 2;
            last_was_word = false;
            continue;
        }
        if (!(last_was_word && only_space))
            out.append(between);
        out += decoded;
        i = end + 2;
        last_was_word = true;
    }
    return out;
}

std::string_view TrimWsp(std::string_view text) {
    std::size_t a = text.find_first_not_of(" \t\r\n");
    if (a == std::string_view::npos)
        return {};
    std::size_t b = text.find_last_not_of(" \t\r\n");
    return text.substr(a, b - a + 1);
}

bool IsHeaderField(std::string_view line) {
    // field-name = 1*(printable ASCII except ':'), then ':'
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    for (std::size_t i = 0; i < colon; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c <= 32 || c >= 127)
            return false;
    }
    return true;
}

} // namespace

// ---- Entry identifiers ------------------------------------------------------------
msgstore::Key RowKey(std::int64_t id) {
    msgstore::Key key;
    for (int i = 0; i < 8; ++i)
        key.push_back(static_cast<BYTE>(static_cast<std::uint64_t>(id) >> (8 * i)));
    return key;
}

std::int64_t RowOf(const msgstore::Key& key) {
    if (key.size() != 8)
        return 0;
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | key[static_cast<std::size_t>(i)];
    auto id = static_cast<std::int64_t>(value);
    return id > 0 ? id : 0;
}

std::vector<BYTE> MakeObjectEntryId(const BYTE* guid, EntryKind kind, std::int64_t row_id) {
    return msgstore::MakeObjectEntryId(guid, kind, RowKey(row_id));
}

HRESULT ParseEntryId(const BYTE* guid, const void* entry, std::size_t size, EntryIdParts* parts) {
    msgstore::EntryIdParts read;
    HRESULT hr = msgstore::ParseEntryId(guid, entry, size, &read);
    if (FAILED(hr))
        return hr;
    parts->kind = read.kind;
    if (read.kind != EntryKind::Store) {
        parts->row_id = RowOf(read.key);
        return parts->row_id > 0 ? S_OK : MAPI_E_INVALID_ENTRYID;
    }
    parts->store_flags = read.store_flags;
    parts->store_dn = std::move(read.store_dn);
    parts->mailbox_dn = std::move(read.mailbox_dn);
    return S_OK;
}

// ---- Text -----------------------------------------------------------------------------
std::string FoldKey(std::string_view utf8) {
    std::u16string wide = VTX_FromUtf8(utf8);
    for (char16_t& c : wide)
        c = VTX_WToLower(c);
    return VTX_ToUtf8(wide);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return FoldKey(a) == FoldKey(b);
}

std::string ToUtf8(const char16_t* text) {
    if (text == nullptr)
        return {};
    return VTX_ToUtf8(std::u16string_view(text));
}

std::u16string ToUtf16(std::string_view text) {
    return VTX_FromUtf8(text);
}

std::string Hex(const BYTE* data, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 0xF]);
    }
    return out;
}

bool ParseHex(std::string_view text, std::vector<BYTE>* out) {
    out->clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-') {
            if (high >= 0)
                return false;
            continue;
        }
        int d = HexDigit(c);
        if (d < 0)
            return false;
        if (high < 0) {
            high = d;
        } else {
            out->push_back(static_cast<BYTE>(high * 16 + d));
            high = -1;
        }
    }
    return high < 0;
}

// ---- Time -------------------------------------------------------------------------------
std::uint64_t FileTimeNow() {
    constexpr std::int64_t kEpochDifference = 116444736000000000ll; // 1601 -> 1970
    std::int64_t units = VTXPR_TimeNs() / 100 + kEpochDifference;
    return units < 0 ? 0 : static_cast<std::uint64_t>(units);
}

std::string FormatFileTime(std::uint64_t value) {
    constexpr std::uint64_t kEpochDifference = 116444736000000000ull;
    if (value < kEpochDifference)
        return "before 1970 (" + std::to_string(value) + ")";
    const std::uint64_t units = value - kEpochDifference;
    std::time_t seconds = static_cast<std::time_t>(units / 10000000ull);
    std::tm tm{};
    if (gmtime_r(&seconds, &tm) == nullptr)
        return std::to_string(value);
    char text[48];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(units % 10000000ull / 10000ull));
    return text;
}

// ---- Messages --------------------------------------------------------------------------
HRESULT ParseMessage(std::string_view text, ParsedMessage* message, std::string* error) {
    *message = ParsedMessage();
    // An 8-bit MAPI string ends at its first NUL byte: a NUL kept in the
    // header block would hide the rest of it from every reader and from the
    // rules, so a spam marker after it would never be found. Delivery reads
    // each NUL byte as a space.
    std::string cleaned;
    if (text.find('\0') != std::string_view::npos) {
        cleaned.assign(text);
        std::replace(cleaned.begin(), cleaned.end(), '\0', ' ');
        text = cleaned;
    }
    if (TrimWsp(text).empty()) {
        *error = "the message is empty";
        return MAPI_E_INVALID_PARAMETER;
    }
    std::size_t pos = 0;
    std::size_t header_end = 0;
    std::size_t body_start = text.size();
    bool in_header = false;
    std::string subject_raw;
    bool in_subject = false;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        std::size_t next = eol == std::string_view::npos ? text.size() : eol + 1;
        std::string_view line =
            text.substr(pos, (eol == std::string_view::npos ? text.size() : eol) - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty()) {
            // The empty line ends the header block and belongs to neither part.
            header_end = pos;
            body_start = next;
            break;
        }
        bool continuation = in_header && (line[0] == ' ' || line[0] == '\t');
        if (!continuation && !IsHeaderField(line)) {
            header_end = pos;
            body_start = pos;
            break;
        }
        if (continuation) {
            if (in_subject)
                subject_raw.append(line); // unfolding removes only the line break
        } else {
            in_header = true;
            std::size_t colon = line.find(':');
            in_subject = EqualNoCase(line.substr(0, colon), "subject");
            if (in_subject)
                subject_raw.assign(line.substr(colon + 1));
        }
        pos = next;
        header_end = next;
    }
    if (pos >= text.size()) {
        header_end = text.size();
        body_start = text.size();
    }
    message->headers.assign(text.substr(0, header_end));
    message->body.assign(text.substr(body_start < text.size() ? body_start : text.size()));
    message->subject = DecodeEncodedWords(TrimWsp(subject_raw));
    // An encoded word may decode to a NUL byte too.
    std::replace(message->subject.begin(), message->subject.end(), '\0', ' ');
    return S_OK;
}

} // namespace infostore
