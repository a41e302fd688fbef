// Wide string helpers and the UTF-8 conversions.
#include "runtime/vtx_str.h"
#include "runtime/vtxpr_mem.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

int Sign(int value) {
    return (value > 0) - (value < 0);
}

const std::u16string kFffd(1, u'\xFFFD');

} // namespace

TEST(RuntimeUtf, WellFormedTextRoundTripsBothWays) {
    struct Pair {
        std::u16string wide;
        std::string utf8;
    };
    const Pair pairs[] = {
        {u"", ""},
        {u"agent.log", "agent.log"},
        {u"Gr\u00FC\u00DFe \u20AC", "Gr\xC3\xBC\xC3\x9F"
                                    "e \xE2\x82\xAC"},
        {u"\u07FF\u0800\uFFFF", "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"}, // a surrogate pair
        {u"\U00010000\U0010FFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3)}, // views carry NULs
    };
    for (const Pair& pair : pairs) {
        EXPECT_EQ(VTX_ToUtf8(pair.wide), pair.utf8);
        EXPECT_EQ(VTX_FromUtf8(pair.utf8), pair.wide);
    }
    EXPECT_EQ(std::u16string(u"\U0001F600").size(), 2u);
}

TEST(RuntimeUtf, IllFormedInputBecomesReplacementCharacters) {
    // UTF-16: each unpaired surrogate is one U+FFFD; neighbours survive.
    EXPECT_EQ(VTX_ToUtf8(std::u16string(1, u'\xD83D')), "\xEF\xBF\xBD");
    EXPECT_EQ(VTX_ToUtf8(std::u16string{u'\xD83D', u'A'}), "\xEF\xBF\xBD"
                                                           "A");
    EXPECT_EQ(VTX_ToUtf8(std::u16string{u'A', u'\xDE00', u'B'}), "A\xEF\xBF\xBD"
                                                                 "B");
    // A low half before a high half is two strays, not a pair.
    EXPECT_EQ(VTX_ToUtf8(std::u16string{u'\xDE00', u'\xD83D'}), "\xEF\xBF\xBD\xEF\xBF\xBD");

    // UTF-8: one U+FFFD for each maximal part that cannot be completed.
    struct Case {
        std::string_view utf8;
        std::u16string wide;
    };
    const std::u16string r = kFffd;
    const Case cases[] = {
        {"\x80", r},                         // stray continuation byte
        {"\xC0\xAF", r + r},                 // overlong lead, stray byte
        {"\xE0\x80\x80", r + r + r},         // overlong three-byte form
        {"\xED\xA0\x80", r + r + r},         // an encoded surrogate
        {"\xF4\x90\x80\x80", r + r + r + r}, // above U+10FFFF
        {"\xF5\x80", r + r},                 // no such lead byte
        {"\xFF", r},
        {"\xE2\x82"
         "A",
         r + u"A"},                              // cut short, A survives
        {"x\xF0\x9F\x98", u"x" + r},             // cut short at the end
        {"\xE2\x82\xE2\x82\xAC", r + u"\u20AC"}, // a new lead restarts
        {"\xC3", r},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VTX_FromUtf8(c.utf8), c.wide) << "input of " << c.utf8.size() << " bytes";
    }
}

TEST(RuntimeUtf, BufferFormsTerminateCountAndNeverSplitACharacter) {
    // "a€" needs 1 + 3 bytes and a terminator.
    char narrow[8];
    EXPECT_EQ(VTX_Utf16ToUtf8(u"a\u20AC", narrow, sizeof narrow), 5u);
    EXPECT_STREQ(narrow, "a\xE2\x82\xAC");
    EXPECT_EQ(VTX_Utf16ToUtf8(u"a\u20AC", narrow, 5), 5u);
    EXPECT_STREQ(narrow, "a\xE2\x82\xAC");
    // One byte short: the euro sign is left out whole, not cut.
    EXPECT_EQ(VTX_Utf16ToUtf8(u"a\u20AC", narrow, 4), 5u);
    EXPECT_STREQ(narrow, "a");
    // Nothing written after a cut, even where a later character would fit.
    EXPECT_EQ(VTX_Utf16ToUtf8(u"a\u20ACb", narrow, 4), 6u);
    EXPECT_STREQ(narrow, "a");
    // Measuring only.
    EXPECT_EQ(VTX_Utf16ToUtf8(u"\U0001F600", nullptr, 0), 5u);
    narrow[0] = 'x';
    EXPECT_EQ(VTX_Utf16ToUtf8(u"abc", narrow, 0), 4u);
    EXPECT_EQ(narrow[0], 'x');
    EXPECT_EQ(VTX_Utf16ToUtf8(nullptr, narrow, 8), 1u);
    EXPECT_STREQ(narrow, "");

    char16_t wide[4];
    EXPECT_EQ(VTX_Utf8ToUtf16("ab\xF0\x9F\x98\x80", wide, 4), 5u);
    EXPECT_EQ(std::u16string(wide), u"ab"); // the pair does not fit whole
    EXPECT_EQ(VTX_Utf8ToUtf16("a\xF0\x9F\x98\x80", wide, 4), 4u);
    EXPECT_EQ(std::u16string(wide), u"a\U0001F600");
    EXPECT_EQ(VTX_Utf8ToUtf16("\x80z", wide, 4), 3u);
    EXPECT_EQ(std::u16string(wide), kFffd + u"z");
}

TEST(RuntimeWideStrings, LengthCopyAndDuplicate) {
    EXPECT_EQ(VTX_WStrLen(u""), 0u);
    EXPECT_EQ(VTX_WStrLen(u"mailbox"), 7u);
    EXPECT_EQ(VTX_WStrLen(u"\U0001F600"), 2u); // code units, not characters
    EXPECT_EQ(VTX_WStrLen(nullptr), 0u);

    // Short source: the rest of the count is zero-filled, nothing beyond it.
    char16_t dest[8];
    std::u16string(8, u'x').copy(dest, 8);
    EXPECT_EQ(VTX_WStrNCpy(dest, u"abc", 5), dest);
    EXPECT_EQ(std::u16string(dest, 8), std::u16string(u"abc\0\0xxx", 8));
    // Long source: exactly count units and no terminator.
    std::u16string(8, u'x').copy(dest, 8);
    VTX_WStrNCpy(dest, u"abcdef", 3);
    EXPECT_EQ(std::u16string(dest, 8), u"abcxxxxx");

    char16_t* copy = VTXPR_StrDup(u"Spam \u00C4");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::u16string(copy), u"Spam \u00C4");
    VTXPR_Free(copy);
    EXPECT_EQ(VTXPR_StrDup(nullptr), nullptr);
}

TEST(RuntimeWideStrings, CaseInsensitiveOrderFoldsToLowerCase) {
    EXPECT_EQ(VTX_WStrICmp(u"Junk E-Mail", u"JUNK e-mail"), 0);
    EXPECT_EQ(VTX_WStrICmp(u"\u00C4\u00D6\u00DC", u"\u00E4\u00F6\u00FC"), 0);
    EXPECT_EQ(VTX_WStrICmp(u"\u041F\u0420\u0418\u0412\u0415\u0422",
                           u"\u043F\u0440\u0438\u0432\u0435\u0442"),
              0);
    EXPECT_EQ(VTX_WStrICmp(u"\u03A3\u0391", u"\u03C3\u03B1"), 0);
    // Folding to lower, not upper, decides the order against '_' (0x5F),
    // which lies between the two cases.
    EXPECT_LT(VTX_WStrICmp(u"_rule", u"Rule"), 0);
    EXPECT_LT(VTX_WStrICmp(u"a", u"B"), 0);
    EXPECT_GT(VTX_WStrCmp(u"a", u"B"), 0);
    // Prefixes first; units compare unsigned.
    EXPECT_LT(VTX_WStrICmp(u"abc", u"ABCD"), 0);
    EXPECT_GT(VTX_WStrICmp(u"\xFF01", u"z"), 0);
    EXPECT_GT(VTX_WStrCmp(u"\xFF01", u"z"), 0);
    EXPECT_EQ(Sign(VTX_WStrICmp(u"b", u"A")), -Sign(VTX_WStrICmp(u"A", u"b")));
    // Nulls sort like empty strings.
    EXPECT_EQ(VTX_WStrICmp(nullptr, u""), 0);
    EXPECT_LT(VTX_WStrCmp(nullptr, u"a"), 0);
}

TEST(RuntimeWideStrings, LowerCaseMappingCoversTheBasicPlane) {
    struct Mapping {
        char16_t upper;
        char16_t lower;
    };
    const Mapping mappings[] = {
        {u'A', u'a'},           {u'Z', u'z'},           {u'\u00C0', u'\u00E0'},
        {u'\u00DE', u'\u00FE'}, {u'\u0100', u'\u0101'}, {u'\u012E', u'\u012F'},
        {u'\u0130', u'i'},      {u'\u0178', u'\u00FF'}, {u'\u0391', u'\u03B1'},
        {u'\u0410', u'\u0430'}, {u'\u0400', u'\u0450'}, {u'\u0531', u'\u0561'},
        {u'\u10A0', u'\u2D00'}, {u'\u1E9E', u'\u00DF'}, {u'\u2160', u'\u2170'},
        {u'\u212A', u'k'},      {u'\u24B6', u'\u24D0'}, {u'\uFF21', u'\uFF41'},
    };
    for (const Mapping& m : mappings) {
        EXPECT_EQ(VTX_WToLower(m.upper), m.lower) << std::hex << int(m.upper);
        EXPECT_EQ(VTX_WToLower(m.lower), m.lower) << std::hex << int(m.lower);
    }
    // Unchanged: digits, punctuation, letters without case, surrogate halves,
    // and the odd units of an alternating run.
    for (const char16_t same : {u'0', u'_', u'\u00DF', u'\u0101', u'\u05D0', u'\u4E2D', u'\xD800',
                                u'\xDFFF', u'\xFFFF'}) {
        EXPECT_EQ(VTX_WToLower(same), same) << std::hex << int(same);
    }
    // Lowering twice changes nothing more, and never leaves the plane's
    // ordinary characters for a surrogate half.
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
        const char16_t once = VTX_WToLower(static_cast<char16_t>(unit));
        ASSERT_EQ(VTX_WToLower(once), once) << std::hex << unit;
        const bool surrogate = unit >= 0xD800 && unit <= 0xDFFF;
        ASSERT_EQ(once >= 0xD800 && once <= 0xDFFF, surrogate) << std::hex << unit;
    }
}

TEST(RuntimeWideStrings, WhiteSpaceIsTheUnicodeSpaceSet) {
    for (const char16_t space :
         {u' ', u'\t', u'\n', u'\v', u'\f', u'\r', u'\u0085', u'\u00A0', u'\u1680', u'\u2000',
          u'\u2005', u'\u200A', u'\u2028', u'\u2029', u'\u202F', u'\u205F', u'\u3000'}) {
        EXPECT_TRUE(VTX_IsWSpace(space)) << std::hex << int(space);
    }
    for (const char16_t other :
         {u'\0', u'a', u'_', u'\u001F', u'\u00A1', u'\u180E', u'\u200B', u'\uFEFF'}) {
        EXPECT_FALSE(VTX_IsWSpace(other)) << std::hex << int(other);
    }
}
