// Wide string helpers and the UTF-16 / UTF-8 conversions.
//
// Null strings: the length of a null string is 0 and the comparisons sort a
// null string like an empty one, so a missing value never crashes a caller
// that only wanted to compare it.
//
// Ill-formed input is replaced, never dropped: an unpaired surrogate in
// UTF-16, and in UTF-8 each maximal part of a sequence that cannot be
// completed (a stray continuation byte, a truncated or overlong sequence, an
// encoded surrogate, a value above U+10FFFF), become one U+FFFD each, the
// way current Unicode practice replaces them.
#include "runtime/vtx_str.h"

#include "runtime/vtxpr_mem.h"

#include <cstring>
#include <new>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Next code point of UTF-16 text of `length` units from *position.
char32_t NextFromUtf16(const char16_t* text, std::size_t length, std::size_t* position) {
    const char32_t unit = text[*position];
    ++*position;
    if (IsHighSurrogate(unit)) {
        if (*position < length && IsLowSurrogate(text[*position])) {
            const char32_t low = text[*position];
            ++*position;
            return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        return kReplacement;
    }
    if (IsLowSurrogate(unit)) {
        return kReplacement;
    }
    return unit;
}

// Next code point of UTF-8 text of `length` bytes from *position. An
// ill-formed sequence consumes the bytes that were still acceptable and no
// more, so the byte that broke it starts the next character.
char32_t NextFromUtf8(const char* text, std::size_t length, std::size_t* position) {
    const unsigned char lead = static_cast<unsigned char>(text[*position]);
    ++*position;
    if (lead < 0x80) {
        return lead;
    }
    int trailing = 0;
    char32_t value = 0;
    unsigned char low = 0x80; // range of the first continuation byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) {
            low = 0xA0; // no overlong forms
        } else if (lead == 0xED) {
            high = 0x9F; // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        value = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90; // no overlong forms
        } else if (lead == 0xF4) {
            high = 0x8F; // nothing above U+10FFFF
        }
    } else {
        return kReplacement;
    }
    for (int i = 0; i < trailing; ++i) {
        if (*position >= length) {
            return kReplacement;
        }
        const unsigned char next = static_cast<unsigned char>(text[*position]);
        if (next < low || next > high) {
            return kReplacement;
        }
        value = (value << 6) | (next & 0x3F);
        ++*position;
        low = 0x80;
        high = 0xBF;
    }
    return value;
}

int EncodeUtf8(char32_t code_point, char* out) {
    if (code_point < 0x80) {
        out[0] = static_cast<char>(code_point);
        return 1;
    }
    if (code_point < 0x800) {
        out[0] = static_cast<char>(0xC0 | (code_point >> 6));
        out[1] = static_cast<char>(0x80 | (code_point & 0x3F));
        return 2;
    }
    if (code_point < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (code_point >> 12));
        out[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (code_point & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (code_point >> 18));
    out[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 4;
}

int EncodeUtf16(char32_t code_point, char16_t* out) {
    if (code_point < 0x10000) {
        out[0] = static_cast<char16_t>(code_point);
        return 1;
    }
    const char32_t offset = code_point - 0x10000;
    out[0] = static_cast<char16_t>(0xD800 + (offset >> 10));
    out[1] = static_cast<char16_t>(0xDC00 + (offset & 0x3FF));
    return 2;
}

// Writes the encoded characters of `source` into `dest` as long as each fits
// whole with room for the terminator; counts them all. Returns the units the
// whole conversion needs, terminator included.
template <typename From, typename To, typename Next, typename Encode>
std::size_t ConvertInto(const From* source, std::size_t length, To* dest, std::size_t size,
                        Next next, Encode encode) {
    std::size_t needed = 0;
    std::size_t written = 0;
    bool cut = false;
    std::size_t position = 0;
    while (position < length) {
        To units[4];
        const int count = encode(next(source, length, &position), units);
        needed += static_cast<std::size_t>(count);
        if (!cut && dest != nullptr && written + static_cast<std::size_t>(count) < size) {
            for (int i = 0; i < count; ++i) {
                dest[written++] = units[i];
            }
        } else {
            cut = true;
        }
    }
    if (dest != nullptr && size > 0) {
        dest[written] = To{};
    }
    return needed + 1;
}

} // namespace

char16_t* VTXPR_StrDup(const char16_t* text) {
    if (text == nullptr) {
        return nullptr;
    }
    const std::size_t bytes = (VTX_WStrLen(text) + 1) * sizeof(char16_t);
    char16_t* copy = static_cast<char16_t*>(VTXPR_Malloc(bytes));
    if (copy != nullptr) {
        std::memcpy(copy, text, bytes);
    }
    return copy;
}

std::size_t VTX_WStrLen(const char16_t* text) {
    if (text == nullptr) {
        return 0;
    }
    std::size_t length = 0;
    while (text[length] != u'\0') {
        ++length;
    }
    return length;
}

char16_t* VTX_WStrNCpy(char16_t* dest, const char16_t* source, std::size_t count) {
    std::size_t i = 0;
    if (source != nullptr) {
        for (; i < count && source[i] != u'\0'; ++i) {
            dest[i] = source[i];
        }
    }
    for (; i < count; ++i) {
        dest[i] = u'\0';
    }
    return dest;
}

int VTX_WStrCmp(const char16_t* a, const char16_t* b) {
    a = a != nullptr ? a : u"";
    b = b != nullptr ? b : u"";
    while (*a != u'\0' && *a == *b) {
        ++a;
        ++b;
    }
    return static_cast<int>(*a) - static_cast<int>(*b);
}

int VTX_WStrICmp(const char16_t* a, const char16_t* b) {
    a = a != nullptr ? a : u"";
    b = b != nullptr ? b : u"";
    for (;; ++a, ++b) {
        const char16_t left = VTX_WToLower(*a);
        const char16_t right = VTX_WToLower(*b);
        if (left != right || left == u'\0') {
            return static_cast<int>(left) - static_cast<int>(right);
        }
    }
}

bool VTX_IsWSpace(char16_t c) {
    switch (c) {
    case 0x0009: // tab
    case 0x000A: // line feed
    case 0x000B: // vertical tab
    case 0x000C: // form feed
    case 0x000D: // carriage return
    case 0x0020:
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

std::string VTX_ToUtf8(std::u16string_view text) {
    std::string result;
    try {
        // Three bytes for each unit is enough: a surrogate pair (two units)
        // needs four.
        result.reserve(text.size() * 3);
        std::size_t position = 0;
        while (position < text.size()) {
            char units[4];
            const int count = EncodeUtf8(NextFromUtf16(text.data(), text.size(), &position), units);
            result.append(units, static_cast<std::size_t>(count));
        }
    } catch (const std::bad_alloc&) {
        // Out of memory: an empty result rather than a partial text.
        result.clear();
    }
    return result;
}

std::u16string VTX_FromUtf8(std::string_view text) {
    std::u16string result;
    try {
        // At most one unit for each byte.
        result.reserve(text.size());
        std::size_t position = 0;
        while (position < text.size()) {
            char16_t units[2];
            const int count = EncodeUtf16(NextFromUtf8(text.data(), text.size(), &position), units);
            result.append(units, static_cast<std::size_t>(count));
        }
    } catch (const std::bad_alloc&) {
        result.clear();
    }
    return result;
}

std::size_t VTX_Utf16ToUtf8(const char16_t* source, char* dest, std::size_t size) {
    source = source != nullptr ? source : u"";
    return ConvertInto(source, VTX_WStrLen(source), dest, size, NextFromUtf16, EncodeUtf8);
}

std::size_t VTX_Utf8ToUtf16(const char* source, char16_t* dest, std::size_t size) {
    source = source != nullptr ? source : "";
    return ConvertInto(source, std::strlen(source), dest, size, NextFromUtf8, EncodeUtf16);
}
