// Differential tests: thousands of random specifications (fixed starting values) that
// our formatter and the C library's swprintf define alike, formatted by both
// with the same arguments. Combinations where the two legitimately differ
// are left out of the generation (each with the reason) and asserted on
// their own in the rule tests.
#include "formatter_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <numeric>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using formatter_test::FromWide;
using formatter_test::Show;
using formatter_test::ToWide;
using formatter_test::Widen;

constexpr std::size_t kMaxArguments = 6;

struct Arg {
    enum Kind { Integer, Text, Real } kind = Integer;
    int number = 0;
    double real = 0;
    std::u16string text;
    std::wstring wide;
};

// One call: our format, the C library's spelling of it, the arguments.
struct Case {
    std::u16string ours;
    std::wstring theirs;
    std::vector<Arg> arguments;
};

// Expands the argument list into a real variadic call. `WithReal` chooses
// between the integer/text and the integer/double families to keep the
// number of instantiations small.
template <typename Char, bool WithReal, typename F, typename... Done>
void Dispatch(const std::vector<Arg>& arguments, std::size_t i, F& call, Done... done) {
    if constexpr (sizeof...(Done) >= kMaxArguments) {
        call(done...);
    } else {
        if (i == arguments.size()) {
            call(done...);
            return;
        }
        const Arg& a = arguments[i];
        if (a.kind == Arg::Integer) {
            Dispatch<Char, WithReal>(arguments, i + 1, call, done..., a.number);
        } else if constexpr (WithReal) {
            Dispatch<Char, WithReal>(arguments, i + 1, call, done..., a.real);
        } else if constexpr (std::is_same_v<Char, char16_t>) {
            Dispatch<Char, WithReal>(arguments, i + 1, call, done..., a.text.c_str());
        } else {
            Dispatch<Char, WithReal>(arguments, i + 1, call, done..., a.wide.c_str());
        }
    }
}

// Formats the case both ways and compares text and result.
template <bool WithReal> void Compare(const Case& c) {
    ASSERT_LE(c.arguments.size(), kMaxArguments);
    char16_t ours[1024];
    int our_result = -2;
    auto call_ours = [&](auto... a) {
        our_result = VTXPR_Snprintf(ours, 1024, c.ours.c_str(), a...);
    };
    Dispatch<char16_t, WithReal>(c.arguments, 0, call_ours);

    wchar_t theirs[1024];
    int their_result = -2;
    auto call_theirs = [&](auto... a) {
        their_result = std::swprintf(theirs, 1024, c.theirs.c_str(), a...);
    };
    Dispatch<wchar_t, WithReal>(c.arguments, 0, call_theirs);

    ASSERT_GE(their_result, 0) << "the C library rejected " << Show(FromWide(c.theirs));
    std::u16string expected =
        FromWide(std::wstring(theirs, static_cast<std::size_t>(their_result)));
    EXPECT_EQ(our_result, their_result) << "format " << Show(c.ours);
    EXPECT_EQ(Show(std::u16string(ours)), Show(expected)) << "format " << Show(c.ours);
}

class Random {
public:
    explicit Random(unsigned start) : engine_(start) {}
    int Between(int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(engine_);
    }
    bool OneIn(int n) { return Between(1, n) == 1; }
    std::mt19937_64& Engine() { return engine_; }

    // Integers from the edges, small values and the whole range.
    int Integer() {
        switch (Between(0, 5)) {
        case 0: {
            static const int kEdges[] = {
                0,       1,   -1,   INT32_MAX, INT32_MIN, 0x7fff,     -0x8000, 0xffff,
                0x10000, 255, -128, 1000000,   -999999,   -0x7fffbffb}; // the last is 0x80004005
            return kEdges[Between(0, static_cast<int>(std::size(kEdges)) - 1)];
        }
        case 1:
            return Between(-100, 100);
        case 2:
            return Between(-100000, 100000);
        default:
            return static_cast<int>(static_cast<std::uint32_t>(engine_()));
        }
    }

    char16_t Character() {
        static const char16_t kWide[] = {u'\u00e9', u'\u20ac', u'\u4e2d', u'\u0416', u'\uffee'};
        if (OneIn(4)) {
            return kWide[Between(0, 4)];
        }
        return static_cast<char16_t>(Between(0x20, 0x7e));
    }

    std::u16string Text(int longest) {
        std::u16string text;
        int n = Between(0, longest);
        for (int i = 0; i < n; ++i) {
            char16_t c = Character();
            text.push_back(c == u'%' ? u'#' : c);
        }
        return text;
    }

private:
    std::mt19937_64 engine_;
};

void AddLiteral(Random& random, Case& c) {
    std::u16string text = random.Text(6);
    if (random.OneIn(6)) {
        text += u"%%";
    }
    c.ours += text;
    c.theirs += ToWide(text);
}

// Appends `text` to both spellings.
void AddBoth(Case& c, const std::string& text) {
    c.ours += Widen(text);
    c.theirs += ToWide(Widen(text));
}

// The flags in a random order, each present with probability 1/4.
std::string Flags(Random& random, const std::string& allowed) {
    std::string flags;
    for (char f : allowed) {
        if (random.OneIn(4)) {
            flags.push_back(f);
        }
    }
    std::shuffle(flags.begin(), flags.end(), random.Engine());
    return flags;
}

void Drop(std::string& flags, char flag) {
    flags.erase(std::remove(flags.begin(), flags.end(), flag), flags.end());
}

bool Has(const std::string& flags, char flag) {
    return flags.find(flag) != std::string::npos;
}

// Width and precision: none, digits, or '*' with an argument.
struct Sizes {
    std::string text;
    std::vector<Arg> arguments;
    bool has_precision = false;
    int precision = -1;
};

Sizes MakeSizes(Random& random, bool star_allowed, bool zero_flag, int widest, int most_precise) {
    Sizes sizes;
    switch (random.Between(0, star_allowed ? 2 : 1)) {
    case 1:
        sizes.text += std::to_string(random.Between(1, widest));
        break;
    case 2: {
        sizes.text += "*";
        Arg width;
        // A negative width from the arguments left-adjusts; with the 0 flag
        // we keep zero padding on the right where the C library switches to
        // spaces, so negative widths only go without the 0 flag.
        width.number = zero_flag ? random.Between(0, widest) : random.Between(-widest, widest);
        sizes.arguments.push_back(width);
        break;
    }
    default:
        break;
    }
    // A negative precision from the arguments means precision 0 here and "no
    // precision" in the C library: only non-negative ones are generated.
    switch (random.Between(0, star_allowed ? 4 : 3)) {
    case 1:
    case 2:
        sizes.has_precision = true;
        sizes.precision = random.Between(0, most_precise);
        sizes.text += "." + std::to_string(sizes.precision);
        break;
    case 3:
        sizes.has_precision = true;
        sizes.precision = 0;
        sizes.text += ".";
        break;
    case 4: {
        sizes.has_precision = true;
        sizes.precision = random.Between(0, most_precise);
        sizes.text += ".*";
        Arg precision;
        precision.number = sizes.precision;
        sizes.arguments.push_back(precision);
        break;
    }
    default:
        break;
    }
    return sizes;
}

// One integer, character or string specification. `position` is "" or "n$".
void AddIntegerOrText(Random& random, Case& c, const std::string& position, bool star_allowed,
                      char conversion, Arg* value_out) {
    bool is_text = conversion == 's';
    bool is_char = conversion == 'c';
    bool is_integer = !is_text && !is_char;
    std::string flags = Flags(random, "-+ 0#");
    if (conversion != 'o' && conversion != 'x' && conversion != 'X') {
        Drop(flags, '#'); // the alternate form is only defined alike for o, x and X
    }
    if (Has(flags, '-')) {
        Drop(flags, '0'); // we pad left-adjusted fields with zeros on the right
    }
    if (!is_integer) {
        Drop(flags, '0'); // undefined in C for c and s; we pad them with spaces
    }
    bool zero = Has(flags, '0');
    Sizes sizes = MakeSizes(random, star_allowed, zero, 25, 15);
    if (sizes.has_precision && is_integer && zero) {
        // The C library ignores the 0 flag when a precision is given; we
        // still pad with zeros. Regenerate without the flag.
        Drop(flags, '0');
    }
    std::string length;
    if (is_integer) {
        int pick = random.Between(0, 2);
        length = pick == 0 ? "" : pick == 1 ? "l" : "h";
    }

    Arg value;
    if (is_text) {
        value.kind = Arg::Text;
        value.text = random.Text(12);
        value.wide = ToWide(value.text);
    } else if (is_char) {
        value.number = random.Character();
    } else {
        value.number = random.Integer();
        int shown = value.number;
        if (length == "h") {
            shown = conversion == 'd' || conversion == 'i' ? static_cast<std::int16_t>(shown)
                                                           : (shown & 0xffff);
        }
        // A zero keeps its digit here even with precision 0, where the C
        // library prints nothing.
        if (shown == 0 && sizes.has_precision && sizes.precision == 0) {
            value.number = 1;
        }
    }

    std::string common = "%" + position + flags + sizes.text;
    std::string ours = common + length + conversion;
    // Our `l` reads 32 bits, the C library's reads a long: spelled without
    // it there. Wide characters and strings are lc and ls there.
    std::string theirs = common + (length == "h" ? "h" : "");
    theirs += is_text ? "ls" : is_char ? "lc" : std::string(1, conversion);
    c.ours += Widen(ours);
    c.theirs += ToWide(Widen(theirs));
    if (value_out != nullptr) {
        *value_out = value;
        return;
    }
    for (const Arg& a : sizes.arguments) {
        c.arguments.push_back(a);
    }
    c.arguments.push_back(value);
}

char AnyIntegerOrText(Random& random) {
    return "diuoxXcs"[random.Between(0, 7)];
}

TEST(FormatterAgainstCLibrary, IntegersCharactersAndStringsMatch) {
    Random random(20240611);
    for (int round = 0; round < 20000; ++round) {
        Case c;
        AddLiteral(random, c);
        int specs = random.Between(1, 3);
        for (int s = 0; s < specs && c.arguments.size() + 3 <= kMaxArguments; ++s) {
            AddIntegerOrText(random, c, "", true, AnyIntegerOrText(random), nullptr);
            AddLiteral(random, c);
        }
        Compare<false>(c);
        if (testing::Test::HasFailure()) {
            break; // one clear failure is enough
        }
    }
}

TEST(FormatterAgainstCLibrary, PositionalArgumentsMatch) {
    Random random(77031);
    for (int round = 0; round < 5000; ++round) {
        Case c;
        int count = random.Between(1, 5);
        std::vector<char> conversions;
        for (int i = 0; i < count; ++i) {
            Arg value;
            char conversion = AnyIntegerOrText(random);
            conversions.push_back(conversion);
            Case scratch;
            AddIntegerOrText(random, scratch, "", false, conversion, &value);
            if (value.kind == Arg::Integer && (value.number & 0xffff) == 0) {
                // Later uses draw their own precision, and a zero shows its
                // digit here even with precision 0 where the C library
                // prints nothing; keep zero out of every length's view.
                value.number |= 1;
            }
            c.arguments.push_back(value);
        }
        // Every position once, in a random order, and sometimes one again.
        std::vector<int> order(static_cast<std::size_t>(count));
        std::iota(order.begin(), order.end(), 1);
        std::shuffle(order.begin(), order.end(), random.Engine());
        if (random.OneIn(3)) {
            order.push_back(random.Between(1, count));
        }
        AddLiteral(random, c);
        for (int position : order) {
            char conversion = conversions[static_cast<std::size_t>(position - 1)];
            // The conversion letter is kept; flags, width and precision are
            // drawn afresh. The value must be the one already in the list.
            Case spec;
            Arg drawn;
            AddIntegerOrText(random, spec, std::to_string(position) + "$", false, conversion,
                             &drawn);
            c.ours += spec.ours;
            c.theirs += spec.theirs;
            AddLiteral(random, c);
        }
        Compare<false>(c);
        if (testing::Test::HasFailure()) {
            break;
        }
    }
}

// The exact decimal digits of |value| (no point, no trailing zeros) and the
// position of the point, from the C library, which prints exact digits.
std::string ExactDigits(double value, int* point) {
    static wchar_t text[1100];
    std::swprintf(text, 1100, L"%.800e", std::fabs(value));
    std::string digits;
    const wchar_t* p = text;
    for (; *p != L'e'; ++p) {
        if (*p != L'.') {
            digits.push_back(static_cast<char>(*p));
        }
    }
    *point = static_cast<int>(std::wcstol(p + 1, nullptr, 10)) + 1;
    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
    }
    return digits;
}

// True when keeping `keep` significant digits meets an exact half: there we
// round half away from zero and the C library rounds half to even.
bool IsTie(const std::string& digits, int keep) {
    return keep >= 0 && static_cast<int>(digits.size()) == keep + 1 &&
           digits[static_cast<std::size_t>(keep)] == '5';
}

double AnyDouble(Random& random) {
    switch (random.Between(0, 6)) {
    case 0: {
        static const double kPlain[] = {0.0,    1.0,  0.1,    100000.0,    1e6,    123456.789, 9.5,
                                        0.0001, 1e-5, 99.999, 0.000123456, 5e-324, DBL_MAX};
        return kPlain[random.Between(0, static_cast<int>(std::size(kPlain)) - 1)];
    }
    case 1:
        return random.Between(-1000000, 1000000) / static_cast<double>(random.Between(1, 1000));
    default: {
        // Any finite double, all exponents alike.
        std::uint64_t bits = random.Engine()();
        std::uint64_t exponent = static_cast<std::uint64_t>(random.Between(0, 2046));
        bits = (bits & ~(std::uint64_t{0x7ff} << 52)) | (exponent << 52);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    }
}

TEST(FormatterAgainstCLibrary, FloatingPointMatchesAwayFromTies) {
    Random random(5150);
    int compared = 0;
    for (int round = 0; round < 10000; ++round) {
        char conversion = "eEfgG"[random.Between(0, 4)];
        std::string flags = Flags(random, "-+ 0#");
        if (Has(flags, '-')) {
            Drop(flags, '0'); // zeros on the right here, spaces there
        }
        Sizes sizes = MakeSizes(random, true, Has(flags, '0'), 30, 20);
        Arg value;
        value.kind = Arg::Real;
        value.real = AnyDouble(random);
        int precision = sizes.has_precision ? sizes.precision : 6;
        int point = 0;
        std::string digits = ExactDigits(value.real, &point);
        int keep = conversion == 'f'                        ? point + precision
                   : conversion == 'e' || conversion == 'E' ? precision + 1
                                                            : (precision == 0 ? 1 : precision);
        if (value.real != 0 && IsTie(digits, keep)) {
            continue;
        }
        if (keep > 78) {
            continue; // beyond 78 significant digits we print zeros, the C library exact digits
        }
        Case c;
        AddLiteral(random, c);
        AddBoth(c, "%" + flags + sizes.text + conversion);
        AddLiteral(random, c);
        c.arguments = sizes.arguments;
        c.arguments.push_back(value);
        Compare<true>(c);
        ++compared;
        if (testing::Test::HasFailure()) {
            break;
        }
    }
    EXPECT_GT(compared, 8000);
}

} // namespace
