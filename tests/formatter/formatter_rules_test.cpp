// The formatter's own rules: where it differs from the C library, its
// special conversions, positional arguments and the end of the buffer.
// What both define alike is the differential tests' business.
#include "formatter_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cwchar>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

using formatter_test::Fmt;

TEST(FormatterIntegers, ZeroPaddingAndLengthModifiersFollowTheirOwnRules) {
    // The 0 flag pads with zeros also when a precision is given.
    EXPECT_EQ(Fmt(u"%08.3d|%08.3d", 5, -5), u"00000005|-0000005");
    // Left-adjusted fields pad on the right with the same pad character.
    EXPECT_EQ(Fmt(u"%-05d|%-05d|%0*d|", 42, -4, -5, 42), u"42000|-4000|42000|");
    // A zero keeps its digit with precision 0.
    EXPECT_EQ(Fmt(u"[%.0d][%.u][%.0x][%.0o]", 0, 0u, 0u, 0u), u"[0][0][0][0]");
    // A negative precision from the arguments counts as 0, so it no longer
    // pads, and it cuts strings to nothing.
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
    // With a precision, the string is read no further than the precision:
    // these three characters have no terminator.
    const char16_t unterminated[3] = {u'x', u'y', u'z'};
    EXPECT_EQ(Fmt(u"[%.3s]", unterminated), u"[xyz]");
    // Surrogate pairs count as two characters.
    EXPECT_EQ(Fmt(u"%4s|", u"\U0001F600"), u"  \U0001F600|");
}

TEST(FormatterSpecials, PercentUnknownLettersAndBogusPointers) {
    EXPECT_EQ(Fmt(u"100%% done"), u"100% done");
    EXPECT_EQ(Fmt(u"[%3%]"), u"[  %]");
    // Unknown letters print with their %, take no argument, pad with spaces.
    EXPECT_EQ(Fmt(u"%z %d", 5), u"%z 5");
    EXPECT_EQ(Fmt(u"%5z|%-4y|%05w", 0), u"   %z|%y  |   %w");
    // A length modifier before a letter that is no conversion.
    EXPECT_EQ(Fmt(u"%qz %lk %hy", 0), u"%z %k %y");
    EXPECT_EQ(Fmt(u"%lld", 5), u"%ld");
    EXPECT_EQ(Fmt(u"%! %d", 3), u"%! 3");
    // p with any other letter takes no argument.
    EXPECT_EQ(Fmt(u"%pZ %pa %d", 9), u"bogus %p bogus %p 9");
    EXPECT_EQ(Fmt(u"%p:%p"), u"bogus %p:bogus %p");
    EXPECT_EQ(Fmt(u"[%10pq]"), u"[  bogus %p]");
}

TEST(FormatterSpecials, FormatEndingInsideASpecification) {
    for (const char16_t* format : {u"ab%", u"ab%-5", u"ab%l"}) {
        EXPECT_EQ(Fmt(format), u"ab");
    }
    char16_t buffer[16];
    EXPECT_EQ(VTXPR_Snprintf(buffer, 16, nullptr), 6);
    EXPECT_EQ(std::u16string(buffer), u"(null)");
}

TEST(FormatterSpecials, CountAndPointers) {
    int count = -1;
    short small = -1;
    EXPECT_EQ(Fmt(u"abc%n%5d%hn|", &count, 1, &small), u"abc    1|");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(small, 8);
    EXPECT_EQ(Fmt(u"x%ny", static_cast<int*>(nullptr)), u"xy");

    EXPECT_EQ(Fmt(u"%pp|%pp|%10pp|%-4pp|", reinterpret_cast<void*>(0xdeadbeefULL),
                  static_cast<void*>(nullptr), reinterpret_cast<void*>(0xabcULL),
                  reinterpret_cast<void*>(0x1ULL)),
              u"deadbeef|0|       abc|1   |");

    const unsigned char address[4] = {192, 168, 1, 20};
    // family, port 8080 and 10.0.0.1, network order
    const unsigned char socket[8] = {2, 0, 0x1f, 0x90, 10, 0, 0, 1};
    EXPECT_EQ(Fmt(u"%pA %pI", address, socket), u"192.168.1.20 10.0.0.1:8080");
    EXPECT_EQ(Fmt(u"[%.5pA][%.9pI][%16pA][%-14pA]", address, socket, address, address),
              u"[192.1][10.0.0.1:][    192.168.1.20][192.168.1.20  ]");
    EXPECT_EQ(Fmt(u"%pA %pI %.3pA", nullptr, nullptr, nullptr), u"(null) (null) (nu");
    const unsigned char zeros[8] = {};
    EXPECT_EQ(Fmt(u"%pA %pI", zeros, zeros), u"0.0.0.0 0.0.0.0:0");
}

TEST(FormatterPositional, ArgumentsByPosition) {
    // Width and precision from positions, mixed kinds of argument.
    EXPECT_EQ(Fmt(u"[%1$*2$d][%3$.*2$s][%4$.1f]", 7, 4, u"abcdef", 2.25), u"[   7][abcd][2.3]");
    EXPECT_EQ(Fmt(u"%3$s %1$d %2$.2f %%", -1, 0.5, u"t"), u"t -1 0.50 %");
    // More than eight positions makes the tables grow.
    EXPECT_EQ(Fmt(u"%12$d%11$d%10$d%9$d%8$d%7$d%6$d%5$d%4$d%3$d%2$d%1$d", 1, 2, 3, 4, 5, 6, 7, 8, 9,
                  10, 11, 12),
              u"121110987654321");
    // Letters that take nothing may go without a position, before or after
    // the first positional specification.
    EXPECT_EQ(Fmt(u"%1$d%% %z %pZ", 3), u"3% %z bogus %p");
    EXPECT_EQ(Fmt(u"%% %5z %pZ|%2$s%1$d", 3, u"x"), u"%    %z bogus %p|x3");
}

// Formats through the bounded front end and also returns the text.
int Bounded(char16_t* buffer, std::size_t count, const char16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = VTXPR_Vsnprintf(buffer, count, format, arguments);
    va_end(arguments);
    return result;
}

TEST(FormatterPositional, MalformedSpecificationsReturnOne) {
    const std::pair<const char16_t*, const char*> bad[] = {
        {u"%1$s %s", "a specification without a position among positional ones"},
        {u"%1$d %3$d", "position 2 is never used, so its type is unknown"},
        {u"%1$d %1$s", "one position read as two kinds"},
        {u"%1$*d", "a star without a position"},
        {u"%1$.*0$d", "position 0"},
        {u"%99$d", "a position beyond what the format can use"},
    };
    for (const auto& [format, why] : bad) {
        char16_t buffer[32];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        EXPECT_EQ(Bounded(buffer, 32, format, 1, 2, 3), 1) << why;
        EXPECT_EQ(buffer[0], u'\0') << why; // nothing written, but terminated
    }
    // Outside positional mode output stops where the bad specification is:
    // a star followed by digits without $.
    char16_t buffer[32];
    EXPECT_EQ(Bounded(buffer, 32, u"ab%*5dcd", 1, 2), 1);
    EXPECT_EQ(std::u16string(buffer), u"ab");
    // Arguments taken in order before a positional specification: output
    // stops at the positional one, also when the format ends inside it.
    EXPECT_EQ(Bounded(buffer, 32, u"%d %1$d", 5), 1);
    EXPECT_EQ(std::u16string(buffer), u"5 ");
    EXPECT_EQ(Bounded(buffer, 32, u"%d|%*d|%1$", 5, 2, 3), 1);
    EXPECT_EQ(std::u16string(buffer), u"5| 3|");
    // A space ends the look for a position: this is width 2 and the unknown
    // character '$'.
    EXPECT_EQ(Fmt(u"% 2$d", 5), u"%$d");
}

TEST(FormatterBufferEnd, CutTextIsTerminatedAndReportsTheCount) {
    char16_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(Bounded(buffer, 4, u"0123456789"), 4);
    EXPECT_EQ(std::u16string(buffer), u"012");
    EXPECT_EQ(buffer[4], u'#'); // nothing past the count

    EXPECT_EQ(Bounded(buffer, 4, u"012"), 3); // fits exactly
    EXPECT_EQ(std::u16string(buffer), u"012");
    EXPECT_EQ(Bounded(buffer, 4, u"0123"), 4); // one too many
    EXPECT_EQ(std::u16string(buffer), u"012");

    // Cut inside padding, a number and a string.
    EXPECT_EQ(Bounded(buffer, 5, u"%10d", 1), 5);
    EXPECT_EQ(std::u16string(buffer), u"    ");
    EXPECT_EQ(Bounded(buffer, 5, u"x%d", 123456), 5);
    EXPECT_EQ(std::u16string(buffer), u"x123");
    EXPECT_EQ(Bounded(buffer, 5, u"%s!", u"abcdef"), 5);
    EXPECT_EQ(std::u16string(buffer), u"abcd");
    // %n after the cut is never reached.
    int seen = -1;
    EXPECT_EQ(Bounded(buffer, 3, u"abcd%n", &seen), 3);
    EXPECT_EQ(seen, -1);

    // Room for the terminator only.
    buffer[0] = u'#';
    EXPECT_EQ(Bounded(buffer, 1, u"abc"), 1);
    EXPECT_EQ(buffer[0], u'\0');
    EXPECT_EQ(Bounded(buffer, 1, u""), 0);
    // No room at all: nothing is touched.
    buffer[0] = u'#';
    EXPECT_EQ(Bounded(buffer, 0, u"abc"), 0);
    EXPECT_EQ(buffer[0], u'#');
    // No buffer: the length of the whole text.
    EXPECT_EQ(Bounded(nullptr, 0, u"%s=%5d", u"abc", 1), 9);
}

// A flush that moves each full chunk into a string and hands out a fresh
// chunk of the same small size, failing after `budget` flushes.
struct Chunks {
    VTXPR_BUFFER descriptor;
    char16_t chunk[3];
    std::u16string collected;
    int budget;
    int flushes = 0;
};

int FlushChunk(VTXPR_BUFFER* buffer) {
    Chunks* chunks = reinterpret_cast<Chunks*>(buffer);
    ++chunks->flushes;
    chunks->collected.append(chunks->chunk, static_cast<std::size_t>(buffer->cur - chunks->chunk));
    if (chunks->flushes > chunks->budget) {
        return 1;
    }
    buffer->cur = chunks->chunk;
    buffer->end = chunks->chunk + 3;
    return 0;
}

// Fresh chunks with `budget` flushes allowed.
void Reset(Chunks& chunks, int budget) {
    chunks = Chunks{};
    chunks.budget = budget;
    chunks.descriptor = {chunks.chunk, chunks.chunk + 3};
}

// Moves what is still in the last chunk (cur says how much) to the text.
void Finish(Chunks& chunks) {
    chunks.collected.append(chunks.chunk,
                            static_cast<std::size_t>(chunks.descriptor.cur - chunks.chunk));
}

int FlushWithoutRoom(VTXPR_BUFFER*) {
    return 0;
}

int Engine(VTXPR_FLUSH flush, VTXPR_BUFFER* buffer, const char16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = VTXPR_VFormatter(flush, buffer, format, arguments);
    va_end(arguments);
    return result;
}

TEST(FormatterEngine, FlushMakesRoomOrStopsTheFormatting) {
    Chunks chunks;
    Reset(chunks, 100);
    // Mixing positional and plain is malformed.
    EXPECT_EQ(Engine(FlushChunk, &chunks.descriptor, u"%s:%6d|%-4c|%2$05d", u"name", 42, 'z'), 1);
    Reset(chunks, 100);
    EXPECT_EQ(Engine(FlushChunk, &chunks.descriptor, u"%s:%6d|%-4c|%%", u"name", 42, 'z'), 18);
    Finish(chunks);
    EXPECT_EQ(chunks.collected, u"name:    42|z   |%");
    EXPECT_EQ(chunks.flushes, 5); // the sixth chunk is full but never needed flushing

    // A failing flush stops the formatting with -1.
    Reset(chunks, 1);
    EXPECT_EQ(Engine(FlushChunk, &chunks.descriptor, u"abcdefghij"), -1);
    EXPECT_EQ(chunks.collected, u"abcdef");

    // A flush that claims success without making room must not hang.
    char16_t small[2];
    VTXPR_BUFFER descriptor{small, small + 2};
    EXPECT_EQ(Engine(FlushWithoutRoom, &descriptor, u"abc"), -1);
    EXPECT_EQ(descriptor.cur, small + 2);
    // No flush at all behaves like a failing one.
    descriptor = {small, small + 2};
    EXPECT_EQ(Engine(nullptr, &descriptor, u"abc"), -1);

    // Without a buffer the engine only counts; cur is written back.
    VTXPR_BUFFER counting{nullptr, nullptr};
    EXPECT_EQ(Engine(nullptr, &counting, u"%08x%s", 1u, u"ab"), 10);
    EXPECT_EQ(Engine(nullptr, nullptr, u"%5s", u"ab"), 5);

    // The position is written back at the normal end, and nothing else is
    // written: the engine does not terminate.
    char16_t text[8];
    std::fill(std::begin(text), std::end(text), u'#');
    VTXPR_BUFFER plain{text, text + 8};
    EXPECT_EQ(Engine(nullptr, &plain, u"%d", 123), 3);
    EXPECT_EQ(plain.cur, text + 3);
    EXPECT_EQ(text[3], u'#');
}

TEST(FormatterEngine, ConcurrentCallsShareNothing) {
    // Every call works in its own buffers: threads formatting at once each
    // get exactly their own text (and the thread sanitizer sees no race).
    constexpr int kThreads = 4;
    static const char* const kNames[kThreads] = {"alpha", "beta", "gamma", "delta"};
    int wrong[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            std::u16string name = formatter_test::Widen(kNames[t]);
            char16_t buffer[64];
            for (int i = 0; i < 2000; ++i) {
                int n = VTXPR_Snprintf(buffer, 64, u"%s:%05d:%x:%.1f", name.c_str(), i, i, i * 0.5);
                char expected[64];
                int m = std::snprintf(expected, sizeof expected, "%s:%05d:%x:%.1f", kNames[t], i,
                                      static_cast<unsigned>(i), i * 0.5);
                if (n != m || std::u16string(buffer) != formatter_test::Widen(expected)) {
                    ++wrong[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
    }
}

TEST(FormatterReal, HalvesRoundUpAndSpecialValues) {
    EXPECT_EQ(Fmt(u"%f %e %g", -0.0, 0.0, -0.0), u"-0.000000 0.000000e+00 -0");
    // An exact half rounds away from zero.
    EXPECT_EQ(Fmt(u"%.0f %.0f %.0f %.1f %.0e", 0.5, 2.5, -2.5, 0.25, 2.5), u"1 3 -3 0.3 3e+00");
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(Fmt(u"%f %e %G %+f %E", inf, -inf, inf, inf, nan), u"inf -inf INF +inf NAN");
    // Padding of infinity and NaN uses spaces even with the 0 flag.
    EXPECT_EQ(Fmt(u"[%06f][%-6g]", inf, nan), u"[   inf][nan   ]");
}

TEST(FormatterReal, DigitsBeyondTheGeneratorPrintAsZeros) {
    // 1e100 has 101 integer digits; the first 78 are the exactly rounded
    // digits of the value, the rest are zeros.
    std::u16string ours = Fmt(u"%.0f", 1e100);
    ASSERT_EQ(ours.size(), 101u);
    wchar_t exact[128];
    std::swprintf(exact, 128, L"%.77e", 1e100);
    std::u16string digits;
    for (const wchar_t* p = exact; *p != L'e'; ++p) {
        if (*p != L'.') {
            digits.push_back(static_cast<char16_t>(*p));
        }
    }
    ASSERT_EQ(digits.size(), 78u);
    EXPECT_EQ(ours.substr(0, 78), digits);
    EXPECT_EQ(ours.substr(78), std::u16string(23, u'0'));
    // Precision beyond the generator in e form pads with zeros too.
    std::u16string wide = Fmt(u"%.100e", 1.0 / 3.0);
    EXPECT_EQ(wide.size(), 106u);
    EXPECT_EQ(wide.substr(80, 22), std::u16string(22, u'0'));
    EXPECT_EQ(wide.substr(0, 6), u"3.3333");
}

} // namespace
