// The wide formatter: where it follows the C library it is compared with
// the C library's swprintf; its own rules (zero padding, rounding of halves,
// special conversions, positional arguments and the end of the buffer) are
// asserted case by case.
#include "runtime/vtxpr_strings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <limits>
#include <random>
#include <string>

namespace {

// Formats into a large buffer, checks that the result is the length of the
// terminated text, and returns the text.
template <typename... A> std::u16string Fmt(const char16_t* format, A... arguments) {
    char16_t buffer[2048];
    const int result = VTXPR_Snprintf(buffer, 2048, format, arguments...);
    const std::u16string text(buffer);
    EXPECT_EQ(result, static_cast<int>(text.size()));
    return text;
}

// Formats through the bounded front end.
int Bounded(char16_t* buffer, std::size_t count, const char16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int result = VTXPR_Vsnprintf(buffer, count, format, arguments);
    va_end(arguments);
    return result;
}

// The result of the bounded front end writing at most `count` units, and
// the text it left.
template <typename... A>
std::pair<int, std::u16string> Cut(std::size_t count, const char16_t* format, A... arguments) {
    char16_t buffer[32];
    const int result = Bounded(buffer, count, format, arguments...);
    return {result, buffer};
}

// Formats `format` (spelled alike for both) with ours and with swprintf and
// expects the same text and result.
template <typename... A> void ExpectAsCLibrary(const std::string& format, A... arguments) {
    char16_t ours[1024];
    wchar_t theirs[1024];
    const std::u16string our_format(format.begin(), format.end());
    const std::wstring their_format(format.begin(), format.end());
    const int our_result = VTXPR_Snprintf(ours, 1024, our_format.c_str(), arguments...);
    const int their_result = std::swprintf(theirs, 1024, their_format.c_str(), arguments...);
    ASSERT_GE(their_result, 0) << format;
    EXPECT_EQ(our_result, their_result) << format;
    EXPECT_EQ(std::u16string(ours), std::u16string(theirs, theirs + their_result)) << format;
}

TEST(FormatterAgainstCLibrary, IntegerConversionsAndFlags) {
    // Zero values with precision 0, the 0 flag with a precision and negative
    // widths with the 0 flag are where the two differ: the rules below.
    const char* const specs[] = {"%d",  "%+i",    "% d",   "%u",      "%o",     "%#o",
                                 "%x",  "%#x",    "%X",    "%#X",     "%hd",    "%hu",
                                 "%hx", "%-+9d|", "%012d", "%#12.5x", "% .7d|", "%-#10o|"};
    const int values[] = {1, -1, 42, 255, -128, 0x7fff, 0x8000, 0x10005, INT_MAX, INT_MIN};
    for (const char* spec : specs)
        for (const int value : values)
            ExpectAsCLibrary(spec, value);
    for (const int width : {-9, -1, 0, 3, 12}) {
        ExpectAsCLibrary("[%*d]", width, -77);
        ExpectAsCLibrary("[%-*x]", width, 0xbeef);
        ExpectAsCLibrary("[%.*u]", width < 0 ? 0 : width, 77u);
    }
}

TEST(FormatterAgainstCLibrary, FloatingPointMatchesAwayFromTies) {
    std::mt19937_64 random(5150);
    auto between = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    static const double kPlain[] = {0.0,    1.0,  0.1,    100000.0,    1e6,    123456.789, 9.5,
                                    0.0001, 1e-5, 99.999, 0.000123456, 5e-324, DBL_MAX};
    int compared = 0;
    for (int round = 0; round < 10000 && !::testing::Test::HasFailure(); ++round) {
        // Flags in any order ('0' not with '-': zeros on the right here,
        // spaces there); a width of digits or a star, negative only without
        // '0'; a precision of digits, a bare point or a star.
        std::string flags;
        for (const char flag : std::string("-+ 0#"))
            if (between(1, 4) == 1)
                flags += flag;
        std::shuffle(flags.begin(), flags.end(), random);
        if (flags.find('-') != std::string::npos)
            flags.erase(std::remove(flags.begin(), flags.end(), '0'), flags.end());
        const bool zero = flags.find('0') != std::string::npos;
        const int width_kind = between(0, 2), precision_kind = between(0, 3);
        const int width = width_kind == 2 ? between(zero ? 0 : -30, 30) : between(1, 30);
        const int precision = precision_kind == 0 ? 6 : precision_kind == 1 ? 0 : between(0, 20);
        const char conversion = "eEfgG"[between(0, 4)];
        const std::string format = "%" + flags +
                                   (width_kind == 1   ? std::to_string(width)
                                    : width_kind == 2 ? "*"
                                                      : "") +
                                   (precision_kind == 1   ? "."
                                    : precision_kind == 2 ? "." + std::to_string(precision)
                                    : precision_kind == 3 ? ".*"
                                                          : "") +
                                   conversion;
        // A plain value, a ratio, or any finite double, all exponents alike.
        double value = kPlain[between(0, static_cast<int>(std::size(kPlain)) - 1)];
        const int kind = between(0, 6);
        if (kind == 1)
            value = between(-1000000, 1000000) / static_cast<double>(between(1, 1000));
        if (kind > 1) {
            std::uint64_t bits = random() & ~(std::uint64_t{0x7ff} << 52);
            bits |= static_cast<std::uint64_t>(between(0, 2046)) << 52;
            std::memcpy(&value, &bits, sizeof value);
        }
        // The exact digits (from the C library): an exact half where the
        // digits are cut rounds away from zero here and to even there, and
        // beyond 78 significant digits we print zeros.
        wchar_t exact[1100];
        std::swprintf(exact, 1100, L"%.800e", std::fabs(value));
        std::string digits;
        const wchar_t* p = exact;
        for (; *p != L'e'; ++p)
            if (*p != L'.')
                digits.push_back(static_cast<char>(*p));
        digits.erase(digits.find_last_not_of('0') + 1);
        const int keep = conversion == 'f'
                             ? static_cast<int>(std::wcstol(p + 1, nullptr, 10)) + 1 + precision
                         : conversion == 'e' || conversion == 'E' ? precision + 1
                                                                  : std::max(precision, 1);
        if ((value != 0 && keep >= 0 && static_cast<int>(digits.size()) == keep + 1 &&
             digits[static_cast<std::size_t>(keep)] == '5') ||
            keep > 78)
            continue;
        if (width_kind == 2 && precision_kind == 3)
            ExpectAsCLibrary(format, width, precision, value);
        else if (width_kind == 2)
            ExpectAsCLibrary(format, width, value);
        else if (precision_kind == 3)
            ExpectAsCLibrary(format, precision, value);
        else
            ExpectAsCLibrary(format, value);
        ++compared;
    }
    EXPECT_GT(compared, 8000);
}

TEST(FormatterIntegers, ZeroPaddingAndLengthModifiersFollowTheirOwnRules) {
    // The 0 flag pads with zeros also when a precision is given.
    EXPECT_EQ(Fmt(u"%08.3d|%08.3d", 5, -5), u"00000005|-0000005");
    // Left-adjusted fields pad on the right with the same pad character.
    EXPECT_EQ(Fmt(u"%-05d|%-05d|%0*d|", 42, -4, -5, 42), u"42000|-4000|42000|");
    // A zero keeps its digit with precision 0.
    EXPECT_EQ(Fmt(u"[%.0d][%.u][%.0x][%.0o]", 0, 0u, 0u, 0u), u"[0][0][0][0]");
    // A negative precision from the arguments counts as 0: no padding, and
    // strings cut to nothing.
    EXPECT_EQ(Fmt(u"[%.*d][%.*s]", -3, 5, -1, u"text"), u"[5][]");
    // l and q read an int each: the second argument must not be swallowed.
    EXPECT_EQ(Fmt(u"%ld %qd %lu %lx", -1, 7, 8u, 0xffu), u"-1 7 8 ff");
}

TEST(FormatterText, StringsAndCharacters) {
    EXPECT_EQ(Fmt(u"%s|%8s|%.2s|%-7s|", nullptr, nullptr, nullptr, nullptr),
              u"(null)|  (null)|(n|(null) |");
    // The pad character is forced to space for strings and characters.
    EXPECT_EQ(Fmt(u"%05s|%-05c|%03c", u"ab", 'x', 'y'), u"   ab|x    |  y");
    EXPECT_EQ(Fmt(u"%ls %qs %lc", u"\u0416\u4e2d", u"x", 0x20ac), u"\u0416\u4e2d x \u20ac");
    // With a precision the string is read no further: no terminator here.
    const char16_t unterminated[3] = {u'x', u'y', u'z'};
    EXPECT_EQ(Fmt(u"[%.3s]", unterminated), u"[xyz]");
    // A surrogate pair counts as two characters.
    EXPECT_EQ(Fmt(u"%4s|", u"\U0001F600"), u"  \U0001F600|");
}

TEST(FormatterSpecials, PercentUnknownLettersCountsAndPointers) {
    EXPECT_EQ(Fmt(u"100%% done [%3%]"), u"100% done [  %]");
    // Unknown letters print with their %, take no argument, pad with spaces,
    // also after a length modifier.
    EXPECT_EQ(Fmt(u"%z %d|%5z|%-4y|%05w", 5), u"%z 5|   %z|%y  |   %w");
    EXPECT_EQ(Fmt(u"%qz %lk %hy %lld %! %d", 3), u"%z %k %y %ld %! 3");
    // p with any other letter takes no argument.
    EXPECT_EQ(Fmt(u"%pZ %pa %d|%p:%p|[%10pq]", 9),
              u"bogus %p bogus %p 9|bogus %p:bogus %p|[  bogus %p]");
    // A format ending inside a specification, and no format at all.
    for (const char16_t* format : {u"ab%", u"ab%-5", u"ab%l"})
        EXPECT_EQ(Fmt(format), u"ab");
    char16_t buffer[16];
    EXPECT_EQ((std::tuple{VTXPR_Snprintf(buffer, 16, nullptr), std::u16string(buffer)}),
              std::tuple(6, u"(null)"));

    int count = -1;
    short small = -1;
    EXPECT_EQ(Fmt(u"abc%n%5d%hn|x%ny", &count, 1, &small, static_cast<int*>(nullptr)),
              u"abc    1|xy");
    EXPECT_EQ(std::pair(count, small), std::pair(3, short{8}));
    EXPECT_EQ(Fmt(u"%pp|%pp|%10pp|%-4pp|", reinterpret_cast<void*>(0xdeadbeefULL),
                  static_cast<void*>(nullptr), reinterpret_cast<void*>(0xabcULL),
                  reinterpret_cast<void*>(0x1ULL)),
              u"deadbeef|0|       abc|1   |");
    const unsigned char address[4] = {192, 168, 1, 20};
    // Family, port 8080 and 10.0.0.1, in network order.
    const unsigned char socket[8] = {2, 0, 0x1f, 0x90, 10, 0, 0, 1};
    const unsigned char zeros[8] = {};
    EXPECT_EQ(Fmt(u"%pA %pI|%pA %pI", address, socket, zeros, zeros),
              u"192.168.1.20 10.0.0.1:8080|0.0.0.0 0.0.0.0:0");
    EXPECT_EQ(Fmt(u"[%.5pA][%.9pI][%16pA][%-14pA]", address, socket, address, address),
              u"[192.1][10.0.0.1:][    192.168.1.20][192.168.1.20  ]");
    EXPECT_EQ(Fmt(u"%pA %pI %.3pA", nullptr, nullptr, nullptr), u"(null) (null) (nu");
}

TEST(FormatterPositional, ArgumentsByPosition) {
    // Width and precision from positions, mixed kinds of argument.
    EXPECT_EQ(Fmt(u"[%1$*2$d][%3$.*2$s][%4$.1f]", 7, 4, u"abcdef", 2.25), u"[   7][abcd][2.3]");
    EXPECT_EQ(Fmt(u"%3$s %1$d %2$.2f %%", -1, 0.5, u"t"), u"t -1 0.50 %");
    // More than eight positions make the tables grow.
    EXPECT_EQ(Fmt(u"%12$d%11$d%10$d%9$d%8$d%7$d%6$d%5$d%4$d%3$d%2$d%1$d", 1, 2, 3, 4, 5, 6, 7, 8, 9,
                  10, 11, 12),
              u"121110987654321");
    // Letters that take nothing may go without a position, before or after
    // the first positional specification.
    EXPECT_EQ(Fmt(u"%1$d%% %z %pZ", 3), u"3% %z bogus %p");
    EXPECT_EQ(Fmt(u"%% %5z %pZ|%2$s%1$d", 3, u"x"), u"%    %z bogus %p|x3");
    // A space ends the look for a position: width 2 and the unknown '$'.
    EXPECT_EQ(Fmt(u"% 2$d", 5), u"%$d");

    // Malformed: 1 is returned and nothing written but the terminator.
    for (const char16_t* format : {u"%1$s %s",   // no position among positional ones
                                   u"%1$d %3$d", // position 2 unused: its type unknown
                                   u"%1$d %1$s", // one position read as two kinds
                                   u"%1$*d",     // a star without a position
                                   u"%1$.*0$d", u"%99$d"}) {
        char16_t buffer[32];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        EXPECT_EQ(Bounded(buffer, 32, format, 1, 2, 3), 1);
        EXPECT_EQ(buffer[0], u'\0');
    }
    // Outside positional mode output stops at the bad specification: a star
    // followed by digits without $, or a position after plain ones.
    EXPECT_EQ(Cut(32, u"ab%*5dcd", 1, 2), std::pair(1, std::u16string(u"ab")));
    EXPECT_EQ(Cut(32, u"%d %1$d", 5), std::pair(1, std::u16string(u"5 ")));
    EXPECT_EQ(Cut(32, u"%d|%*d|%1$", 5, 2, 3), std::pair(1, std::u16string(u"5| 3|")));
}

TEST(FormatterBufferEnd, CutTextIsTerminatedAndReportsTheCount) {
    char16_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(Bounded(buffer, 4, u"0123456789"), 4);
    EXPECT_EQ(std::u16string(buffer), u"012");
    EXPECT_EQ(buffer[4], u'#');                                      // nothing past the count
    EXPECT_EQ(Cut(4, u"012"), std::pair(3, std::u16string(u"012"))); // fits exactly
    EXPECT_EQ(Cut(4, u"0123"), std::pair(4, std::u16string(u"012")));
    // Cut inside padding, a number and a string.
    EXPECT_EQ(Cut(5, u"%10d", 1), std::pair(5, std::u16string(u"    ")));
    EXPECT_EQ(Cut(5, u"x%d", 123456), std::pair(5, std::u16string(u"x123")));
    EXPECT_EQ(Cut(5, u"%s!", u"abcdef"), std::pair(5, std::u16string(u"abcd")));
    // %n after the cut is never reached.
    int seen = -1;
    EXPECT_EQ((std::tuple{Bounded(buffer, 3, u"abcd%n", &seen), seen}), std::tuple(3, -1));
    // Room for the terminator only; no room at all; no buffer.
    buffer[0] = u'#';
    EXPECT_EQ((std::tuple{Bounded(buffer, 1, u"abc"), buffer[0]}), std::tuple(1, u'\0'));
    EXPECT_EQ(Bounded(buffer, 1, u""), 0);
    buffer[0] = u'#';
    EXPECT_EQ((std::tuple{Bounded(buffer, 0, u"abc"), buffer[0]}), std::tuple(0, u'#'));
    EXPECT_EQ(Bounded(nullptr, 0, u"%s=%5d", u"abc", 1), 9);
}

TEST(FormatterReal, HalvesRoundUpSpecialValuesAndDigitsBeyondTheGenerator) {
    EXPECT_EQ(Fmt(u"%f %e %g", -0.0, 0.0, -0.0), u"-0.000000 0.000000e+00 -0");
    // An exact half rounds away from zero.
    EXPECT_EQ(Fmt(u"%.0f %.0f %.0f %.1f %.0e", 0.5, 2.5, -2.5, 0.25, 2.5), u"1 3 -3 0.3 3e+00");
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    EXPECT_EQ(Fmt(u"%f %e %G %+f %E", inf, -inf, inf, inf, nan), u"inf -inf INF +inf NAN");
    // Infinity and NaN pad with spaces even with the 0 flag.
    EXPECT_EQ(Fmt(u"[%06f][%-6g]", inf, nan), u"[   inf][nan   ]");

    // 1e100 has 101 integer digits: the first 78 are its exactly rounded
    // digits, the rest zeros.
    const std::u16string ours = Fmt(u"%.0f", 1e100);
    ASSERT_EQ(ours.size(), 101u);
    wchar_t exact[128];
    std::swprintf(exact, 128, L"%.77e", 1e100);
    std::u16string digits;
    for (const wchar_t* p = exact; *p != L'e'; ++p)
        if (*p != L'.')
            digits.push_back(static_cast<char16_t>(*p));
    EXPECT_EQ(ours, digits + std::u16string(23, u'0'));
    // Beyond the generator in e form too.
    const std::u16string wide = Fmt(u"%.100e", 1.0 / 3.0);
    EXPECT_EQ(wide.size(), 106u);
    EXPECT_EQ(wide.substr(80, 22), std::u16string(22, u'0'));
    EXPECT_EQ(wide.substr(0, 6), u"3.3333");
}

} // namespace
