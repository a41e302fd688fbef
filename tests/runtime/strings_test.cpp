// Wide string helpers and the UTF-8 conversions.
#include "runtime/vtx_str.h"
#include "runtime/vtxpr_mem.h"

#include <gtest/gtest.h>

namespace {

const std::u16string R(1, u'\xFFFD'); // the replacement character

} // namespace

TEST(RuntimeUtf, WellFormedTextRoundTripsBothWays) {
    const std::pair<std::u16string, std::string> pairs[] = {
        {u"", ""},
        {u"Gr\u00FC\u00DFe \u20AC", "Gr\xC3\xBC\xC3\x9F"
                                    "e \xE2\x82\xAC"},
        {u"\u07FF\u0800\uFFFF", "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {u"\U0001F600\U0010FFFF", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"}, // surrogate pairs
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},          // views carry NULs
    };
    for (const auto& [wide, utf8] : pairs) {
        EXPECT_EQ(VTX_ToUtf8(wide), utf8);
        EXPECT_EQ(VTX_FromUtf8(utf8), wide);
    }
}

TEST(RuntimeUtf, IllFormedInputBecomesReplacementCharacters) {
    // UTF-16: each unpaired surrogate is one U+FFFD; neighbours survive, and
    // a low half before a high half is two strays, not a pair.
    EXPECT_EQ(VTX_ToUtf8(std::u16string{u'A', u'\xDE00', u'\xD83D', u'B', u'\xD83D'}),
              "A\xEF\xBF\xBD\xEF\xBF\xBD"
              "B\xEF\xBF\xBD");

    // UTF-8: one U+FFFD for each maximal part that cannot be completed.
    const std::pair<std::string, std::u16string> cases[] = {
        {"\x80", R},                             // stray continuation
        {"\xC0\xAF", R + R},                     // overlong lead
        {"\xE0\x80\x80", R + R + R},             // overlong form
        {"\xED\xA0\x80", R + R + R},             // encoded surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},     // above U+10FFFF
        {"\xF5\x80\xFF", R + R + R},             // no such lead bytes
        {"\xE2\x82\x41", R + u"A"},              // cut short
        {"x\xF0\x9F\x98", u"x" + R},             // cut short at the end
        {"\xE2\x82\xE2\x82\xAC", R + u"\u20AC"}, // a new lead restarts
    };
    for (const auto& [utf8, wide] : cases) {
        EXPECT_EQ(VTX_FromUtf8(utf8), wide) << "input of " << utf8.size() << " bytes";
    }
}

TEST(RuntimeUtf, BufferFormsTerminateCountAndNeverSplitACharacter) {
    char narrow[8] = "xxxxxxx";
    EXPECT_EQ(VTX_Utf16ToUtf8(u"a\u20AC", narrow, 5), 5u); // 1 + 3 bytes + terminator
    EXPECT_STREQ(narrow, "a\xE2\x82\xAC");
    // One byte short: the euro sign is left out whole, and nothing after it
    // is written even where it would fit.
    EXPECT_EQ(VTX_Utf16ToUtf8(u"a\u20ACb", narrow, 4), 6u);
    EXPECT_STREQ(narrow, "a");
    EXPECT_EQ(VTX_Utf16ToUtf8(u"\U0001F600", nullptr, 0), 5u);
    EXPECT_EQ(VTX_Utf16ToUtf8(u"abc", narrow, 0), 4u);
    EXPECT_EQ(narrow[0], 'a'); // size 0: untouched
    EXPECT_EQ(VTX_Utf16ToUtf8(nullptr, narrow, 8), 1u);
    EXPECT_STREQ(narrow, "");

    char16_t wide[4];
    EXPECT_EQ(VTX_Utf8ToUtf16("ab\xF0\x9F\x98\x80", wide, 4), 5u);
    EXPECT_EQ(std::u16string(wide), u"ab"); // the pair does not fit whole
    EXPECT_EQ(VTX_Utf8ToUtf16("a\xF0\x9F\x98\x80", wide, 4), 4u);
    EXPECT_EQ(std::u16string(wide), u"a\U0001F600");
    EXPECT_EQ(VTX_Utf8ToUtf16("\x80z", wide, 4), 3u);
    EXPECT_EQ(std::u16string(wide), R + u"z");
}

TEST(RuntimeWideStrings, LengthCopyAndDuplicate) {
    EXPECT_EQ(VTX_WStrLen(u"\U0001F600x"), 3u); // code units, not characters
    EXPECT_EQ(VTX_WStrLen(nullptr), 0u);

    char16_t dest[8];
    std::u16string(8, u'x').copy(dest, 8);
    EXPECT_EQ(VTX_WStrNCpy(dest, u"abc", 5), dest);
    EXPECT_EQ(std::u16string(dest, 8), std::u16string(u"abc\0\0xxx", 8)); // zero-filled
    std::u16string(8, u'x').copy(dest, 8);
    VTX_WStrNCpy(dest, u"abcdef", 3);
    EXPECT_EQ(std::u16string(dest, 8), u"abcxxxxx"); // not terminated

    char16_t* copy = VTXPR_StrDup(u"Spam \u00C4");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::u16string(copy), u"Spam \u00C4");
    VTXPR_Free(copy);
    EXPECT_EQ(VTXPR_StrDup(nullptr), nullptr);
}

TEST(RuntimeWideStrings, CaseInsensitiveOrderFoldsToLowerCase) {
    EXPECT_EQ(VTX_WStrICmp(u"Junk E-Mail \u00C4\u00D6\u00DC", u"JUNK e-mail \u00E4\u00F6\u00FC"),
              0);
    EXPECT_EQ(VTX_WStrICmp(u"\u041F\u0420\u0418 \u03A3\u0391", u"\u043F\u0440\u0438 \u03C3\u03B1"),
              0);
    // Folding to lower, not upper, decides the order against '_' (0x5F),
    // which lies between the two cases.
    EXPECT_LT(VTX_WStrICmp(u"_rule", u"Rule"), 0);
    EXPECT_LT(VTX_WStrICmp(u"a", u"B"), 0);
    EXPECT_GT(VTX_WStrCmp(u"a", u"B"), 0);
    // Prefixes first; units compare unsigned; nulls sort like empty strings.
    EXPECT_LT(VTX_WStrICmp(u"abc", u"ABCD"), 0);
    EXPECT_GT(VTX_WStrICmp(u"\xFF01", u"z"), 0);
    EXPECT_GT(VTX_WStrCmp(u"\xFF01", u"z"), 0);
    EXPECT_EQ(VTX_WStrICmp(nullptr, u""), 0);
    EXPECT_LT(VTX_WStrCmp(nullptr, u"a"), 0);
}

TEST(RuntimeWideStrings, LowerCaseMappingCoversTheBasicPlane) {
    // Pairs from runs of every shape: contiguous, alternating, single.
    std::u16string lowered = u"Z\u00DE\u0100\u012E\u0130\u0178\u0400\u0531\u10A0\u1E9E\u2160"
                             u"\u212A\u24B6\uFF21";
    for (char16_t& unit : lowered) {
        unit = VTX_WToLower(unit);
    }
    EXPECT_EQ(lowered, u"z\u00FE\u0101\u012F"
                       u"i\u00FF\u0450\u0561\u2D00\u00DF\u2170"
                       u"k\u24D0\uFF41");

    // Lowering twice changes nothing more, and surrogate halves stay as
    // they are, as nothing else becomes one.
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
        const char16_t once = VTX_WToLower(static_cast<char16_t>(unit));
        ASSERT_EQ(VTX_WToLower(once), once) << std::hex << unit;
        ASSERT_EQ(once >= 0xD800 && once <= 0xDFFF, unit >= 0xD800 && unit <= 0xDFFF);
    }
}

TEST(RuntimeWideStrings, WhiteSpaceIsTheUnicodeSpaceSet) {
    for (const char16_t space :
         {u' ', u'\t', u'\n', u'\v', u'\f', u'\r', u'\u0085', u'\u00A0', u'\u1680', u'\u2000',
          u'\u200A', u'\u2028', u'\u2029', u'\u202F', u'\u205F', u'\u3000'}) {
        EXPECT_TRUE(VTX_IsWSpace(space)) << std::hex << int(space);
    }
    for (const char16_t other : {u'\0', u'a', u'\u001F', u'\u180E', u'\u200B', u'\uFEFF'}) {
        EXPECT_FALSE(VTX_IsWSpace(other)) << std::hex << int(other);
    }
}
