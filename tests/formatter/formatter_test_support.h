// Helpers shared by the formatter tests.
#pragma once
#include "runtime/vtxpr_strings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace formatter_test {

constexpr int kBufferSize = 2048;

inline std::u16string Widen(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

inline std::u16string FromWide(const std::wstring& wide) {
    return {wide.begin(), wide.end()};
}

inline std::wstring ToWide(const std::u16string& text) {
    return {text.begin(), text.end()};
}

// A readable form of UTF-16 text for failure messages.
inline std::string Show(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[12];
            std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(c));
            out += hex;
        }
    }
    return out;
}

// Formats into a large buffer and checks that the result is the length of
// the terminated text, then returns the text.
template <typename... A> std::u16string Fmt(const char16_t* format, A... arguments) {
    char16_t buffer[kBufferSize];
    int result = VTXPR_Snprintf(buffer, kBufferSize, format, arguments...);
    std::u16string text(buffer);
    EXPECT_EQ(result, static_cast<int>(text.size())) << "format " << Show(format);
    return text;
}

} // namespace formatter_test
