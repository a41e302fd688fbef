// Text for the MAPI runtime: UTF-8 and UTF-16 decoding, and the folding that
// string comparisons use (case, and non-spacing marks).
#include <locale.h>
#include <wctype.h>

#include "platform/mapi/mapi_internal.h"

namespace mapi_detail {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Full Unicode simple lower-case mapping comes from the C library's UTF-8
// character tables, opened once for the process and used read-only from
// every thread. Without them only ASCII and Latin-1 letters fold.
locale_t FoldLocale() {
    static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return loc;
}

char32_t Lower(char32_t c) {
    if (c < 0x80)
        return (c >= U'A' && c <= U'Z') ? c + 32 : c;
    if (locale_t loc = FoldLocale(); loc != static_cast<locale_t>(0))
        return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), loc));
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return c + 32;
    return c;
}

bool IsNonSpacingMark(char32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) ||
           (c >= 0x1DC0 && c <= 0x1DFF) || (c >= 0x20D0 && c <= 0x20FF) ||
           (c >= 0xFE20 && c <= 0xFE2F);
}

// Accented Latin-1 letters (U+00C0..U+00FF) as their base letters, so that
// "Résumé" and "Resume" compare equal when non-spacing marks are ignored.
char32_t BaseLetter(char32_t c) {
    static const char kBase[] = "AAAAAAACEEEEIIII"  // C0..CF
                                "DNOOOOO*OUUUUY*s"  // D0..DF
                                "aaaaaaaceeeeiiii"  // E0..EF
                                "dnooooo/ouuuuy*y"; // F0..FF
    if (c < 0xC0 || c > 0xFF)
        return c;
    char base = kBase[c - 0xC0];
    return (base == '*' || base == '/') ? c : static_cast<char32_t>(base);
}

} // namespace

std::u32string DecodeUtf8(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        int extra = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
            cp = b & 0x1F;
            min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            cp = b & 0x0F;
            min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            cp = b & 0x07;
            min = 0x10000;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        bool ok = i + static_cast<std::size_t>(extra) < text.size();
        for (int k = 1; ok && k <= extra; ++k) {
            unsigned char c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

std::u32string DecodeUtf16(std::u16string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                          (static_cast<char32_t>(text[i + 1]) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            out.push_back(kReplacement);
        } else {
            out.push_back(u);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t cp : DecodeUtf16(text)) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char32_t cp : DecodeUtf8(text)) {
        if (cp < 0x10000) {
            out.push_back(static_cast<char16_t>(cp));
        } else {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        }
    }
    return out;
}

std::size_t WideLength(const char16_t* text) {
    std::size_t n = 0;
    if (text != nullptr)
        while (text[n] != 0)
            ++n;
    return n;
}

std::u32string FoldText(std::u32string_view text, TextFold fold) {
    std::u32string out;
    out.reserve(text.size());
    for (char32_t c : text) {
        if (fold.ignore_nonspace) {
            if (IsNonSpacingMark(c))
                continue;
            c = BaseLetter(c);
        }
        if (fold.ignore_case)
            c = Lower(c);
        out.push_back(c);
    }
    return out;
}

std::u32string StringValue(const SPropValue& value, TextFold fold) {
    if (PROP_TYPE(value.ulPropTag) == PT_UNICODE) {
        const char16_t* w = value.Value.lpszW;
        return FoldText(DecodeUtf16(std::u16string_view(w ? w : u"", WideLength(w))), fold);
    }
    const char* a = value.Value.lpszA;
    return FoldText(DecodeUtf8(a ? a : ""), fold);
}

bool Utf8EqualNoCase(std::string_view a, std::string_view b) {
    TextFold fold{true, false};
    return FoldText(DecodeUtf8(a), fold) == FoldText(DecodeUtf8(b), fold);
}

} // namespace mapi_detail
