// Arbitrary bytes as a delivered message, with the agent's kind of rule
// applied to it.
//
// The first byte gives the length of a marker taken from the bytes after
// it (0: the usual "X-Spam-Flag: YES"); the rest is the message. The
// message is split as delivery splits it, and the split is checked against
// what it promises: the header block, one empty line and the body put
// together give the message again (a NUL byte reads as a space, since an
// 8-bit MAPI string cannot hold one), the header block is made of header
// fields and their continuation lines, and the body does not start with a
// header field. Then the rule's condition goes through the store's
// encoding and is evaluated against the message's properties as delivery
// does it: a marker that is in the header block always matches, and for
// plain ASCII text it matches exactly when it is there ignoring case.
#include "platform/infostore/infostore_codec.h"
#include "platform/infostore/infostore_util.h"

#include "mailstore/mapitags.h"
#include "mailstore/mapix.h"
#include "platform/mapi/mapi_runtime.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "delivery broke a promise: %s\n", what);
        std::abort();
    }
}

bool IsField(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    return std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                       [](char c) { return c > 32 && c < 127; });
}

std::string_view FirstLine(std::string_view text) {
    std::string_view line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool ValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        int extra = b < 0x80                 ? 0
                    : b >= 0xC2 && b <= 0xDF ? 1
                    : b >= 0xE0 && b <= 0xEF ? 2
                    : b >= 0xF0 && b <= 0xF4 ? 3
                                             : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size())
            return false;
        std::uint32_t cp = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const unsigned char c =
                static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

void CheckSplit(std::string_view text, const infostore::ParsedMessage& message) {
    std::string seen(text);
    std::replace(seen.begin(), seen.end(), '\0', ' ');
    const std::string& headers = message.headers;
    const std::string& body = message.body;
    Require(headers.find('\0') == std::string::npos && body.find('\0') == std::string::npos &&
                message.subject.find('\0') == std::string::npos,
            "a NUL byte survived delivery");
    Require(headers.size() + body.size() <= seen.size(), "the parts are longer than the message");
    Require(seen.compare(0, headers.size(), headers) == 0, "the header block is not the start");
    Require(seen.compare(seen.size() - body.size(), body.size(), body) == 0,
            "the body is not the end");
    const std::string_view between =
        std::string_view(seen).substr(headers.size(), seen.size() - headers.size() - body.size());
    // The empty line: LF, CRLF, or a lone CR as the message's last line.
    Require(between.empty() || between == "\n" || between == "\r\n" ||
                (between == "\r" && body.empty()),
            "something other than one empty line between header block and body");

    // The header block: a field, then fields and continuation lines.
    std::string_view rest = headers;
    bool first = true;
    while (!rest.empty()) {
        const std::string_view line = FirstLine(rest);
        Require(first ? IsField(line)
                      : IsField(line) || (!line.empty() && (line[0] == ' ' || line[0] == '\t')),
                "the header block holds a line that is no header field");
        first = false;
        const std::size_t eol = rest.find('\n');
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
    }
    if (!headers.empty() && between.empty() && !body.empty()) {
        Require(headers.back() == '\n', "the header block ends inside a line");
        const std::string_view line = FirstLine(body);
        Require(!line.empty() && !IsField(line) && line[0] != ' ' && line[0] != '\t',
                "the body starts with a line that belongs to the header block");
    }
    if (headers.empty() && between.empty())
        Require(!IsField(FirstLine(body)), "a header field was read as body");
}

// The agent's condition, stored and read back as the store does.
bool Matches(const std::string& marker, const infostore::ParsedMessage& message, LPVOID parent) {
    SPropValue pattern{};
    pattern.ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
    pattern.Value.lpszA = const_cast<char*>(marker.c_str());
    SRestriction condition{};
    condition.rt = RES_CONTENT;
    condition.res.resContent = {FL_SUBSTRING | FL_IGNORECASE | FL_LOOSE,
                                PR_TRANSPORT_MESSAGE_HEADERS, &pattern};
    std::vector<BYTE> stored;
    Require(infostore::EncodeRestriction(&condition, &stored) == S_OK, "the rule won't encode");
    LPSRestriction read = nullptr;
    Require(infostore::DecodeRestriction(stored, parent, &read) == S_OK, "the rule won't decode");

    SPropValue values[4] = {};
    values[0].ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
    values[0].Value.lpszA = const_cast<char*>(message.headers.c_str());
    values[1].ulPropTag = PR_SUBJECT;
    values[1].Value.lpszA = const_cast<char*>(message.subject.c_str());
    values[2].ulPropTag = PR_BODY;
    values[2].Value.lpszA = const_cast<char*>(message.body.c_str());
    values[3].ulPropTag = PR_MESSAGE_CLASS;
    values[3].Value.lpszA = const_cast<char*>(message.message_class.c_str());
    const HRESULT hr = MAPIEvaluateRestriction(read, 4, values);
    Require(hr == S_OK || hr == S_FALSE, "the rule cannot be evaluated");
    return hr == S_OK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t marker_length = std::min<std::size_t>(data[0] % 24, size - 1);
    std::string marker(reinterpret_cast<const char*>(data + 1), marker_length);
    if (marker.empty())
        marker = "X-Spam-Flag: YES";
    const std::string_view text(reinterpret_cast<const char*>(data + 1 + marker_length),
                                size - 1 - marker_length);

    infostore::ParsedMessage message;
    std::string error;
    const HRESULT parsed = infostore::ParseMessage(text, &message, &error);
    if (FAILED(parsed)) {
        Require(parsed == MAPI_E_INVALID_PARAMETER && !error.empty(), "an unclear refusal");
        std::string seen(text);
        std::replace(seen.begin(), seen.end(), '\0', ' ');
        Require(seen.find_first_not_of(" \t\r\n") == std::string::npos,
                "a message with content was refused");
        return 0;
    }
    CheckSplit(text, message);

    if (marker.find('\0') != std::string::npos || !ValidUtf8(marker)) {
        return 0; // the agent's marker is always text
    }
    const ULONG live = MAPIDebugLiveBuffers();
    LPVOID parent = nullptr;
    Require(MAPIAllocateBuffer(1, &parent) == S_OK, "no parent buffer");
    const bool matched = Matches(marker, message, parent);
    MAPIFreeBuffer(parent);
    Require(MAPIDebugLiveBuffers() == live, "a MAPI buffer was left behind");

    if (message.headers.find(marker) != std::string::npos)
        Require(matched, "a marker in the header block was not found");
    if (IsAscii(marker) && IsAscii(message.headers)) {
        const bool there =
            AsciiLower(message.headers).find(AsciiLower(marker)) != std::string::npos;
        Require(matched == there, "ASCII matching ignoring case went wrong");
    }
    return 0;
}
