// Format strings built from arbitrary bytes, run against one fixed list of
// arguments.
//
// The bytes do not become the format directly: they drive a small generator
// that writes literal text from a safe alphabet and complete conversion
// specifications whose conversion letter always suits the argument it will
// read (in order, or by position), so every read from the argument list has
// the type the caller passed. Flags, widths, precisions, `*` and `*n$`,
// length modifiers, unknown letters, gaps in positions and mixed positional
// and plain specifications all come up.
//
// Checks, besides the sanitizers: counting without a buffer, a large
// buffer, a flush that keeps making room, and a small bounded buffer all
// agree on the text and the result.
#include "runtime/vtxpr_strings.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "formatter broke a promise: %s\n", what);
        std::abort();
    }
}

// What each argument of the fixed list is.
enum class Type { Int, Str, Real, Count, Ptr, Addr, Sock };

constexpr Type kTypes[] = {Type::Int,  Type::Str,  Type::Real, Type::Int,  Type::Str, Type::Count,
                           Type::Ptr,  Type::Addr, Type::Sock, Type::Real, Type::Int, Type::Real,
                           Type::Addr, Type::Sock, Type::Str,  Type::Int};
constexpr int kArgCount = static_cast<int>(sizeof kTypes / sizeof kTypes[0]);

int Engine(VTXPR_FLUSH flush, VTXPR_BUFFER* buffer, const char16_t* format, ...) {
    va_list list;
    va_start(list, format);
    int result = VTXPR_VFormatter(flush, buffer, format, list);
    va_end(list);
    return result;
}

// The argument values; the %n target is reset before every run.
struct Arguments {
    int count_target = 0;
    const unsigned char address[4] = {192, 168, 7, 255};
    const unsigned char socket[8] = {2, 0, 0x1F, 0x90, 10, 0, 0, 1};
    const char16_t* long_text = u"a rather long text \u00e9\u4e2d\xd83d\xde00 to cut at any point";

    // Calls `call` with the whole list, each argument of its own type.
    template <typename Call> int With(Call call) {
        count_target = 0;
        return call(/* 1 Int */ 42,
                    /* 2 Str */ u"abc",
                    /* 3 Real */ 3.25,
                    /* 4 Int */ -7,
                    /* 5 Str */ static_cast<const char16_t*>(nullptr),
                    /* 6 Count */ &count_target,
                    /* 7 Ptr */ static_cast<const void*>(&count_target),
                    /* 8 Addr */ address,
                    /* 9 Sock */ socket,
                    /* 10 Real */ -1.0e300,
                    /* 11 Int */ std::numeric_limits<int>::min(),
                    /* 12 Real */ std::nan(""),
                    /* 13 Addr */ static_cast<const unsigned char*>(nullptr),
                    /* 14 Sock */ static_cast<const unsigned char*>(nullptr),
                    /* 15 Str */ long_text,
                    /* 16 Int */ 0x7FFFFFFF);
    }
    int Run(VTXPR_FLUSH flush, VTXPR_BUFFER* buffer, const char16_t* format) {
        return With([&](auto... values) { return Engine(flush, buffer, format, values...); });
    }
    int Bounded(char16_t* buffer, std::size_t count, const char16_t* format) {
        return With(
            [&](auto... values) { return VTXPR_Snprintf(buffer, count, format, values...); });
    }
};

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    unsigned Next() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Literal text: no '%', but the characters a specification is made of.
constexpr char16_t kLiteral[] = u"ab Z09$*.-+#!lhqpAI\t\u00e9\u4e2d\xd800";
constexpr int kLiteralCount = static_cast<int>(sizeof kLiteral / sizeof kLiteral[0]) - 1;

const char16_t* LettersFor(Type type) {
    switch (type) {
    case Type::Int:
        return u"diuoxXc";
    case Type::Str:
        return u"s";
    case Type::Real:
        return u"eEfgG";
    case Type::Count:
        return u"n";
    case Type::Ptr:
        return u"p";
    case Type::Addr:
        return u"A";
    case Type::Sock:
        return u"I";
    }
    return u"";
}

// Conversions that read no argument.
constexpr const char16_t* kNoArgument[] = {u"%", u"z", u"k", u"w", u"Q", u"!", u"pZ", u"pq", u"y"};
constexpr int kNoArgumentCount = static_cast<int>(sizeof kNoArgument / sizeof kNoArgument[0]);

void AppendNumber(std::u16string& out, unsigned value) {
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    out += digits;
}

// A position (1-based) of an argument of `type`, picked by `choice`.
int PositionOf(Type type, unsigned choice) {
    int matches[kArgCount];
    int n = 0;
    for (int i = 0; i < kArgCount; ++i) {
        if (kTypes[i] == type)
            matches[n++] = i + 1;
    }
    return matches[choice % static_cast<unsigned>(n)];
}

// A width or precision that comes from the arguments: `*` (the next
// argument, only when it is an integer) or `*n$`.
void StarPart(Bytes& in, std::u16string& spec, bool positional, int& next) {
    if (positional) {
        spec += u"*";
        const unsigned choice = in.Next();
        AppendNumber(spec, (choice & 0x80) != 0
                               ? 1u + (choice & 1) * 3
                               : static_cast<unsigned>(PositionOf(Type::Int, choice)));
        spec += u"$";
    } else if (next < kArgCount && kTypes[next] == Type::Int) {
        spec += u"*";
        ++next;
    }
}

void Specification(Bytes& in, std::u16string& format, int& next) {
    std::u16string spec = u"%";
    const unsigned shape = in.Next();
    const bool positional = (shape & 1) != 0;
    const unsigned pick = in.Next();
    // A specification that reads an argument, and which type it reads. Now
    // and then a positional one names 0 or one past the list: those read
    // nothing (0 is no position at all, and a position never read is
    // refused before any argument is taken).
    bool reads = (shape & 64) == 0;
    Type type = Type::Int;
    if (positional) {
        // Small positions most of the time, so that formats without gaps
        // (the ones that get formatted) come up often.
        const bool bad = pick >= 240;
        reads = reads && !bad;
        const unsigned position = 1 + pick % ((pick & 0x40) != 0 ? 4 : kArgCount);
        type = kTypes[position - 1];
        AppendNumber(spec, bad ? (pick % 2 == 0 ? 0u : kArgCount + 1u) : position);
        spec += u"$";
    } else {
        reads = reads && next < kArgCount;
    }
    if (shape & 2) {
        static constexpr char16_t kFlags[] = u"-+ #0";
        unsigned flags = in.Next();
        for (int i = 0; i < 5; ++i) {
            if (flags & (1u << i))
                spec.push_back(kFlags[i]);
        }
    }
    if (shape & 4) {
        if (shape & 8) {
            StarPart(in, spec, positional, next);
        } else {
            AppendNumber(spec, in.Next() % 40 + (shape & 0x80 ? 200 : 0));
        }
    }
    if (shape & 16) {
        spec += u".";
        unsigned precision = in.Next();
        if (precision & 1) {
            StarPart(in, spec, positional, next);
        } else if (precision & 2) {
            AppendNumber(spec, precision % 90);
        }
    }
    if (shape & 32)
        spec.push_back(u"hlq"[in.Next() % 3]);
    if (!positional) {
        // The star parts may have taken the arguments up.
        reads = reads && next < kArgCount;
        type = reads ? kTypes[next] : Type::Int;
    }
    if (reads) {
        const char16_t* letters = LettersFor(type);
        std::size_t n = std::char_traits<char16_t>::length(letters);
        if (type == Type::Ptr || type == Type::Addr || type == Type::Sock)
            spec += u"p";
        spec.push_back(letters[pick % n]);
        if (!positional)
            ++next;
    } else {
        spec += kNoArgument[pick % kNoArgumentCount];
    }
    format += spec;
}

std::u16string Generate(Bytes& in) {
    std::u16string format;
    int next = 0; // the next argument read in order (0-based)
    while (!in.Empty() && format.size() < 300) {
        unsigned b = in.Next();
        if (b < 112) {
            format.push_back(kLiteral[b % kLiteralCount]);
        } else if (b < 250) {
            Specification(in, format, next);
        } else if (b == 250) {
            // A '%' at the very end, or one that an ordinary character
            // completes.
            format += u"%";
            if (!in.Empty())
                format.push_back(u"abZ%"[in.Next() % 4]);
        } else {
            // A specification cut short by the end of the format.
            format += std::u16string(u"%-0").substr(0, 1 + (b - 250) % 3);
            break;
        }
    }
    return format;
}

// A flush that keeps making room, collecting the text, up to a limit.
struct GrowingOutput {
    VTXPR_BUFFER buffer{};
    char16_t chunk[29];
    std::u16string text;
    static constexpr std::size_t kLimit = 1 << 16;
};

GrowingOutput* g_growing = nullptr;

int GrowFlush(VTXPR_BUFFER* buffer) {
    GrowingOutput& out = *g_growing;
    out.text.append(out.chunk, static_cast<std::size_t>(buffer->cur - out.chunk));
    if (out.text.size() >= GrowingOutput::kLimit)
        return 1;
    buffer->cur = out.chunk;
    buffer->end = out.chunk + sizeof out.chunk / sizeof out.chunk[0];
    return 0;
}

int RefuseFlush(VTXPR_BUFFER*) {
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    Bytes in(data + 1, size - 1);
    const std::u16string format = Generate(in);
    Arguments arguments;

    // A large buffer: the reference text.
    static std::vector<char16_t> large(1 << 15);
    VTXPR_BUFFER whole{large.data(), large.data() + large.size()};
    const int result = arguments.Run(RefuseFlush, &whole, format.c_str());
    const std::u16string text(large.data(), static_cast<std::size_t>(whole.cur - large.data()));
    const bool complete = result != -1; // it did not run out of room
    const int count_after_whole = arguments.count_target;

    // No buffer: the same result when everything fitted.
    const int counted = arguments.Run(nullptr, nullptr, format.c_str());
    Require(!complete || counted == result, "counting gives another result");
    Require(!complete || arguments.count_target == count_after_whole,
            "%n stores another count when only counting");

    // A flush that makes room: the same text and result.
    GrowingOutput growing;
    g_growing = &growing;
    growing.buffer = {growing.chunk, growing.chunk + 29};
    const int grown = arguments.Run(GrowFlush, &growing.buffer, format.c_str());
    if (grown != -1) {
        growing.text.append(growing.chunk,
                            static_cast<std::size_t>(growing.buffer.cur - growing.chunk));
    }
    g_growing = nullptr;
    if (complete && grown != -1) {
        Require(grown == result, "a growing buffer gives another result");
        Require(growing.text == text, "a growing buffer gives another text");
    }

    // A small bounded buffer: a prefix of the text, terminated, and the
    // count of the buffer when the text was cut.
    const std::size_t small = data[0] % 48;
    std::vector<char16_t> bounded(small + 1, u'#');
    const int cut = arguments.Bounded(small == 0 ? nullptr : bounded.data(), small, format.c_str());
    if (small > 0) {
        const std::size_t stored = std::min(small - 1, text.size());
        Require(std::u16string(bounded.data(), stored) == text.substr(0, stored),
                "a bounded buffer holds other text");
        Require(bounded[small] == u'#', "a bounded buffer was overrun");
        if (complete && result == static_cast<int>(text.size())) {
            // The format ended normally: cut exactly when it did not fit.
            const bool fits = text.size() + 1 <= small;
            Require(cut == (fits ? result : static_cast<int>(small)),
                    "a bounded buffer gives the wrong result");
            Require(bounded[fits ? text.size() : small - 1] == 0, "the text is not terminated");
        }
    } else {
        Require(cut == counted, "measuring gives another result");
    }
    return 0;
}
