// The wide printf-style formatter: one engine writing through a buffer
// descriptor and a flush operation, and the bounded string front ends.
//
// Choices made here where the format rules leave room:
// - `#` with x/X: "0x"/"0X" goes in front of the digits (after the zeros of
//   the precision) only when the value is not zero, as users know it from
//   C. It counts as a prefix like the sign, so zero padding from the width
//   goes between "0x" and the digits ("%#08x" of 255 is 0x0000ff).
// - A zero value always shows its digit, even with precision 0: a log field
//   that silently vanishes helps nobody.
// - Left-adjusted fields pad on the right with the same pad character as
//   right-adjusted ones, so "%-05d" of 42 gives 42000.
// - `%`, unknown letters and "bogus %p" are padded with spaces to the width.
//   A character after `%` (or after a length modifier) that is not a letter
//   is treated like an unknown letter: `%` and that character.
// - `ll` is not a length modifier: the second `l` is an unknown letter.
// - Floating point: the digit generator works on the exact binary value, so
//   the first 78 significant digits are exact; the last kept digit is rounded
//   half up (ties away from zero), and digits beyond the 78th print as 0.
//   Infinity and NaN print as inf/nan (INF/NAN for E and G) with the sign
//   rules of `d`, padded with spaces. `#` with g/G keeps trailing zeros.
//   The exponent has at least two digits.
// - The 0 flag pads integers with zeros also when a precision is given, and
//   a negative precision taken from the arguments counts as precision 0.
// - `pp` takes a precision as the least number of digits, like `x`.
// - A null format is formatted as "(null)", like a null string argument.
// - A null `%n` pointer stores nothing.
// - A null output buffer (or a null descriptor) only counts, so
//   VTXPR_Snprintf(nullptr, 0, ...) measures the text.
// - Positional mode is settled at the first specification that shows it
//   (digits and '$' before the first letter or space). Should arguments
//   already have been taken in order, the format mixes the two kinds and
//   formatting stops there with result 1.
// - A position beyond the format's length can never be gap-free and is
//   malformed; so is a position that no specification uses, a position used
//   with two kinds of argument (integer, pointer, double), and a
//   specification without a position when others have one.
#include "runtime/vtxpr_strings.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr char16_t kLowerDigits[] = u"0123456789abcdef";
constexpr char16_t kUpperDigits[] = u"0123456789ABCDEF";
constexpr char16_t kNullText[] = u"(null)";
constexpr int kNullTextLength = 6;
constexpr char16_t kBogusText[] = u"bogus %p";
constexpr int kBogusTextLength = 8;

// The digit generator keeps at most this many significant digits, plus one
// more that decides the rounding (a buffer of 80).
constexpr int kMaxDigits = 78;
constexpr int kDigitBuffer = 80;

bool IsLower(char16_t c) {
    return c >= u'a' && c <= u'z';
}
bool IsLetter(char16_t c) {
    return IsLower(c) || (c >= u'A' && c <= u'Z');
}
bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// ---------------------------------------------------------------------------
// Output

// The first character from `p` on that `stop` accepts, four characters a
// step; each is read only after the one before it proved not to stop, so
// nothing past a terminator is ever read.
template <typename Stop> const char16_t* FindStop(const char16_t* p, Stop stop) {
    for (;; p += 4) {
        if (stop(p[0])) {
            return p;
        }
        if (stop(p[1])) {
            return p + 1;
        }
        if (stop(p[2])) {
            return p + 2;
        }
        if (stop(p[3])) {
            return p + 3;
        }
    }
}

// Writes characters through the caller's descriptor. Keeps the position in
// locals and hands it to the flush operation only when the buffer is full.
class Sink {
public:
    Sink(VTXPR_FLUSH flush, VTXPR_BUFFER* descriptor) : flush_(flush), descriptor_(descriptor) {
        if (descriptor_ != nullptr) {
            cur_ = descriptor_->cur;
            end_ = descriptor_->end;
        }
    }

    bool Write(const char16_t* text, std::int64_t n) {
        if (n <= 16 && cur_ != nullptr && end_ - cur_ >= n) {
            // Short pieces (digits, signs) fit most of the time: no call.
            for (std::int64_t i = 0; i < n; ++i) {
                cur_[i] = text[i];
            }
            cur_ += n;
            count_ += n;
            return true;
        }
        return Emit(n, [&text](char16_t* to, std::int64_t k) {
            std::memcpy(to, text, static_cast<std::size_t>(k) * sizeof(char16_t));
            text += k;
        });
    }

    bool Fill(char16_t c, std::int64_t n) {
        return Emit(n, [c](char16_t* to, std::int64_t k) {
            for (std::int64_t i = 0; i < k; ++i) {
                to[i] = c;
            }
        });
    }

    // Hands `n` characters to `put(to, k)` in pieces that fit the buffer,
    // flushing between pieces; only counts them once there is no buffer.
    template <typename Put> bool Emit(std::int64_t n, Put put) {
        while (n > 0) {
            if (cur_ == nullptr) {
                count_ += n;
                return true;
            }
            if (cur_ >= end_ && !MakeRoom()) {
                return false;
            }
            if (cur_ == nullptr) {
                continue;
            }
            std::int64_t room = end_ - cur_;
            std::int64_t k = room < n ? room : n;
            put(cur_, k);
            cur_ += k;
            n -= k;
            count_ += k;
        }
        return true;
    }

    // Copies characters from `text` up to the first one that `stop`
    // accepts, or at most `limit` characters when `limit` is not negative.
    // Leaves `text` after the last character copied (or counted).
    template <typename Stop> bool CopyUntil(const char16_t*& text, std::int64_t limit, Stop stop) {
        if (limit < 0) {
            const char16_t* from = text;
            text = FindStop(from, stop);
            return Write(from, text - from);
        }
        const char16_t* p = text;
        std::int64_t left = limit;
        for (;;) {
            if (cur_ == nullptr) {
                const char16_t* from = p;
                while (left != 0 && !stop(*p)) {
                    ++p;
                    --left;
                }
                count_ += p - from;
                text = p;
                return true;
            }
            char16_t* cur = cur_;
            std::int64_t room = end_ - cur;
            char16_t* end = cur + (room < left ? room : left);
            while (cur < end && !stop(*p)) {
                *cur++ = *p++;
            }
            left -= cur - cur_;
            count_ += cur - cur_;
            cur_ = cur;
            text = p;
            if (left == 0 || stop(*p)) {
                return true;
            }
            if (!MakeRoom()) {
                return false;
            }
        }
    }

    // Hands the position back to the descriptor.
    void Finish() {
        if (descriptor_ != nullptr) {
            descriptor_->cur = cur_;
        }
    }

    std::int64_t Count() const { return count_; }

private:
    // Asks the flush operation for room. Fails when there is none, when the
    // flush reports failure, or when it claims success without making room.
    bool MakeRoom() {
        if (flush_ == nullptr) {
            return false;
        }
        descriptor_->cur = cur_;
        int failed = flush_(descriptor_);
        cur_ = descriptor_->cur;
        end_ = descriptor_->end;
        if (failed != 0) {
            return false;
        }
        return cur_ == nullptr || cur_ < end_;
    }

    VTXPR_FLUSH flush_;
    VTXPR_BUFFER* descriptor_;
    char16_t* cur_ = nullptr;
    char16_t* end_ = nullptr;
    std::int64_t count_ = 0;
};

// ---------------------------------------------------------------------------
// Specifications

enum class Source : std::uint8_t { None, Literal, NextArgument, Position };

struct Spec {
    int position = 0; // 1-based argument position, 0 when none is given
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    Source width_source = Source::None;
    int width = 0; // the digits, or the argument position
    Source precision_source = Source::None;
    int precision = 0;
    char16_t length = 0;     // 'h', 'l', 'q' or 0
    char16_t conversion = 0; // the conversion character
    char16_t sub = 0;        // the letter after 'p', 0 when none followed
    bool dollar = false;     // a '$' was read
};

enum class Parse { Ok, End, Malformed };

// Reads a run of decimal digits, saturating at INT_MAX.
int ReadNumber(const char16_t*& p) {
    int value = 0;
    while (IsDigit(*p)) {
        int digit = *p - u'0';
        value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
        ++p;
    }
    return value;
}

// Reads what follows a '*': nothing (the next argument) or "n$".
Parse ReadStar(const char16_t*& p, Source& source, int& value, bool& dollar) {
    if (!IsDigit(*p)) {
        source = Source::NextArgument;
        return Parse::Ok;
    }
    value = ReadNumber(p);
    if (*p != u'$' || value == 0) {
        return Parse::Malformed;
    }
    ++p;
    dollar = true;
    source = Source::Position;
    return Parse::Ok;
}

// Parses one specification; `p` points after the '%' and is left after the
// conversion character.
Parse ParseSpec(const char16_t*& p, Spec& spec) {
    if (*p == 0) {
        return Parse::End;
    }
    if (!IsLower(*p)) {
        if (*p >= u'1' && *p <= u'9') {
            const char16_t* q = p;
            int value = ReadNumber(q);
            if (*q == u'$') {
                spec.position = value;
                spec.dollar = true;
                p = q + 1;
            }
        }
        for (;; ++p) {
            switch (*p) {
            case u'-':
                spec.left = true;
                continue;
            case u'+':
                spec.plus = true;
                continue;
            case u' ':
                spec.space = true;
                continue;
            case u'#':
                spec.alternate = true;
                continue;
            case u'0':
                spec.zero = true;
                continue;
            default:
                break;
            }
            break;
        }
        if (*p == u'*') {
            ++p;
            if (ReadStar(p, spec.width_source, spec.width, spec.dollar) != Parse::Ok) {
                return Parse::Malformed;
            }
        } else if (IsDigit(*p)) {
            spec.width_source = Source::Literal;
            spec.width = ReadNumber(p);
        }
        if (*p == u'.') {
            ++p;
            if (*p == u'*') {
                ++p;
                if (ReadStar(p, spec.precision_source, spec.precision, spec.dollar) != Parse::Ok) {
                    return Parse::Malformed;
                }
            } else {
                spec.precision_source = Source::Literal;
                spec.precision = ReadNumber(p);
            }
        }
    }
    if (*p == u'h' || *p == u'l' || *p == u'q') {
        spec.length = *p++;
    }
    if (*p == 0) {
        return Parse::End;
    }
    spec.conversion = *p++;
    if (spec.conversion == u'p' && IsLetter(*p)) {
        spec.sub = *p++;
    }
    return Parse::Ok;
}

// What a conversion takes from the arguments.
enum class Kind : std::uint8_t { Unused, Integer, Pointer, Double };

Kind ArgumentKind(const Spec& spec) {
    switch (spec.conversion) {
    case u'd':
    case u'i':
    case u'u':
    case u'o':
    case u'x':
    case u'X':
    case u'c':
        return Kind::Integer;
    case u's':
    case u'n':
        return Kind::Pointer;
    case u'e':
    case u'E':
    case u'f':
    case u'g':
    case u'G':
        return Kind::Double;
    case u'p':
        return spec.sub == u'p' || spec.sub == u'A' || spec.sub == u'I' ? Kind::Pointer
                                                                        : Kind::Unused;
    default:
        return Kind::Unused;
    }
}

// ---------------------------------------------------------------------------
// Arguments

// One argument read in positional mode.
union Slot {
    std::int32_t integer;
    const void* pointer;
    double real;
};

// Hands out arguments either in order from the list or by position from the
// table read up front.
class Arguments {
public:
    explicit Arguments(va_list* list) : list_(list) {}
    void UseTable(const Slot* slots) { slots_ = slots; }
    bool Positional() const { return slots_ != nullptr; }

    std::int32_t Integer(int position) {
        return slots_ != nullptr ? slots_[position - 1].integer : va_arg(*list_, int);
    }
    const void* Pointer(int position) {
        return slots_ != nullptr ? slots_[position - 1].pointer : va_arg(*list_, const void*);
    }
    double Real(int position) {
        return slots_ != nullptr ? slots_[position - 1].real : va_arg(*list_, double);
    }

private:
    va_list* list_;
    const Slot* slots_ = nullptr;
};

// True when the specification starting after a '%' holds a run of digits
// followed by '$' between the '%' and the first letter or space: such a
// specification puts the whole format in positional mode.
bool LooksPositional(const char16_t* p) {
    if (*p == u'%') {
        return false;
    }
    bool in_digits = false;
    for (; *p != 0 && *p != u' ' && !IsLetter(*p) && *p != u'%'; ++p) {
        if (IsDigit(*p)) {
            in_digits = true;
        } else {
            if (*p == u'$' && in_digits) {
                return true;
            }
            in_digits = false;
        }
    }
    return false;
}

// Records the kind of argument at `position`, growing the table from 8
// entries by doubling (or straight to the position). False when the position
// is used with two kinds or the table cannot grow.
bool NoteKind(std::vector<Kind>& kinds, int position, Kind kind) {
    if (static_cast<std::size_t>(position) > kinds.size()) {
        std::size_t grown = kinds.empty() ? 8 : kinds.size() * 2;
        if (grown < static_cast<std::size_t>(position)) {
            grown = static_cast<std::size_t>(position);
        }
        kinds.resize(grown, Kind::Unused);
    }
    Kind& entry = kinds[static_cast<std::size_t>(position - 1)];
    if (entry != Kind::Unused && entry != kind) {
        return false;
    }
    entry = kind;
    return true;
}

// Collects the kinds of all positional arguments and reads them in position
// order. False for a malformed format; std::bad_alloc escapes to the caller.
bool ReadPositional(const char16_t* format, va_list* list, std::vector<Slot>& slots) {
    std::size_t limit = 0;
    for (const char16_t* p = format; *p != 0; ++p) {
        ++limit;
    }
    std::vector<Kind> kinds;
    kinds.reserve(8);
    int highest = 0;
    const char16_t* p = format;
    while (*p != 0) {
        if (*p++ != u'%') {
            continue;
        }
        Spec spec;
        Parse parsed = ParseSpec(p, spec);
        if (parsed == Parse::End) {
            break;
        }
        if (parsed == Parse::Malformed) {
            return false;
        }
        struct Use {
            int position;
            Kind kind;
        } uses[3];
        int count = 0;
        if (spec.width_source == Source::NextArgument ||
            spec.precision_source == Source::NextArgument) {
            return false;
        }
        if (spec.width_source == Source::Position) {
            uses[count++] = {spec.width, Kind::Integer};
        }
        if (spec.precision_source == Source::Position) {
            uses[count++] = {spec.precision, Kind::Integer};
        }
        Kind kind = ArgumentKind(spec);
        if (kind != Kind::Unused) {
            if (spec.position == 0) {
                return false;
            }
            uses[count++] = {spec.position, kind};
        }
        for (int i = 0; i < count; ++i) {
            if (static_cast<std::size_t>(uses[i].position) > limit ||
                !NoteKind(kinds, uses[i].position, uses[i].kind)) {
                return false;
            }
            if (uses[i].position > highest) {
                highest = uses[i].position;
            }
        }
    }
    slots.resize(static_cast<std::size_t>(highest));
    for (int i = 0; i < highest; ++i) {
        Slot& slot = slots[static_cast<std::size_t>(i)];
        switch (kinds[static_cast<std::size_t>(i)]) {
        case Kind::Integer:
            slot.integer = va_arg(*list, int);
            break;
        case Kind::Pointer:
            slot.pointer = va_arg(*list, const void*);
            break;
        case Kind::Double:
            slot.real = va_arg(*list, double);
            break;
        case Kind::Unused:
            return false; // a gap: its type, and so the rest, cannot be read
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Fields

// A stretch of a field's text: `n` characters from `text`, or `n` copies of
// `fill` when `text` is null.
struct Piece {
    const char16_t* text;
    char16_t fill;
    std::int64_t n;
};

struct Field {
    std::int64_t width = 0; // 0 when none
    bool left = false;
    char16_t pad = u' ';
};

// Writes prefix and pieces, padded to the width. With zero padding on the
// right-adjusted side, the prefix (sign or 0x) comes before the zeros.
bool EmitField(Sink& out, const Field& field, const char16_t* prefix, int prefix_length,
               const Piece* pieces, int piece_count) {
    std::int64_t total = prefix_length;
    for (int i = 0; i < piece_count; ++i) {
        total += pieces[i].n;
    }
    std::int64_t padding = field.width > total ? field.width - total : 0;
    if (!field.left && padding > 0) {
        if (field.pad == u'0') {
            if (!out.Write(prefix, prefix_length)) {
                return false;
            }
            prefix_length = 0;
        }
        if (!out.Fill(field.pad, padding)) {
            return false;
        }
        padding = 0;
    }
    if (!out.Write(prefix, prefix_length)) {
        return false;
    }
    for (int i = 0; i < piece_count; ++i) {
        bool ok = pieces[i].text != nullptr ? out.Write(pieces[i].text, pieces[i].n)
                                            : out.Fill(pieces[i].fill, pieces[i].n);
        if (!ok) {
            return false;
        }
    }
    return out.Fill(field.pad, padding);
}

bool EmitText(Sink& out, const Field& field, const char16_t* text, std::int64_t n) {
    Piece piece{text, 0, n};
    return EmitField(out, field, nullptr, 0, &piece, 1);
}

// Builds the digits of `value` right to left, ending just before `end`.
// Each base has its own loop so that the division is by a constant.
// "00" to "99", for two decimal digits a division.
struct DigitPairs {
    char16_t pairs[200];
    constexpr DigitPairs() : pairs() {
        for (int i = 0; i < 100; ++i) {
            pairs[2 * i] = static_cast<char16_t>(u'0' + i / 10);
            pairs[2 * i + 1] = static_cast<char16_t>(u'0' + i % 10);
        }
    }
};
constexpr DigitPairs kDigitPairs;

template <unsigned Base, typename T>
char16_t* DigitsInBase(T value, const char16_t* table, char16_t* end) {
    char16_t* p = end;
    if constexpr (Base == 10) {
        while (value >= 100) {
            unsigned pair = static_cast<unsigned>(value % 100);
            value /= 100;
            p -= 2;
            p[0] = kDigitPairs.pairs[2 * pair];
            p[1] = kDigitPairs.pairs[2 * pair + 1];
        }
    }
    do {
        *--p = table[value % Base];
        value /= Base;
    } while (value != 0);
    return p;
}

char16_t* UnsignedDigits(std::uint64_t value, unsigned base, const char16_t* table, char16_t* end) {
    bool small = value <= 0xffffffffu;
    auto narrow = static_cast<std::uint32_t>(value);
    switch (base) {
    case 16:
        return small ? DigitsInBase<16>(narrow, table, end) : DigitsInBase<16>(value, table, end);
    case 8:
        return small ? DigitsInBase<8>(narrow, table, end) : DigitsInBase<8>(value, table, end);
    default:
        return small ? DigitsInBase<10>(narrow, table, end) : DigitsInBase<10>(value, table, end);
    }
}

// Integer conversions: precision zeros, then the digits.
bool EmitInteger(Sink& out, const Field& field, std::int64_t precision, const char16_t* prefix,
                 int prefix_length, const char16_t* digits, int digit_count, bool octal_alternate) {
    std::int64_t zeros = precision > digit_count ? precision - digit_count : 0;
    if (octal_alternate && zeros == 0 && digits[0] != u'0') {
        zeros = 1;
    }
    if (field.width <= prefix_length + zeros + digit_count) {
        return out.Write(prefix, prefix_length) && out.Fill(u'0', zeros) &&
               out.Write(digits, digit_count);
    }
    Piece pieces[2] = {{nullptr, u'0', zeros}, {digits, 0, digit_count}};
    return EmitField(out, field, prefix, prefix_length, pieces, 2);
}

// Dotted quad of four bytes into `text`; returns the length.
int DottedQuad(const unsigned char* bytes, char16_t* text) {
    int n = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            text[n++] = u'.';
        }
        char16_t digits[4];
        char16_t* end = digits + 4;
        char16_t* start = UnsignedDigits(bytes[i], 10, kLowerDigits, end);
        while (start < end) {
            text[n++] = *start++;
        }
    }
    return n;
}

// ---------------------------------------------------------------------------
// Floating point

// A small unsigned big number, 32-bit limbs, least significant first. Large
// enough for every double's integer part (up to 2^1024) and for its fraction
// scaled to whole limbs (up to 1074 + 31 bits).
constexpr int kLimbs = 36;

// Puts `mantissa` * 2^shift into `limbs` (zeroed first).
void SetShifted(std::uint32_t* limbs, std::uint64_t mantissa, int shift) {
    for (int i = 0; i < kLimbs; ++i) {
        limbs[i] = 0;
    }
    int word = shift / 32;
    int bit = shift % 32;
    // mantissa < 2^53, so mantissa << bit needs at most 84 bits: 3 limbs.
    std::uint64_t low = mantissa << bit;
    std::uint64_t high = bit == 0 ? 0 : mantissa >> (64 - bit);
    limbs[word] = static_cast<std::uint32_t>(low);
    if (word + 1 < kLimbs) {
        limbs[word + 1] = static_cast<std::uint32_t>(low >> 32);
    }
    if (word + 2 < kLimbs) {
        limbs[word + 2] = static_cast<std::uint32_t>(high);
    }
}

// The exact decimal digits of a finite positive double, most significant
// first: at most `max` of them go to `digits` ('0' to '9'); `*point` is the
// position of the decimal point relative to the first digit. The integer
// part comes from repeated division, the fraction from repeated
// multiplication by 10, both on exact big numbers.
int ExactDigits(double value, char16_t* digits, int max, int* point) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    int biased = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    if (biased == 0) {
        biased = 1;
    } else {
        mantissa |= std::uint64_t{1} << 52;
    }
    int exponent = biased - 1075; // value = mantissa * 2^exponent

    int count = 0;
    *point = 0;

    // Integer part.
    std::uint64_t whole = 0;
    std::uint64_t fraction = 0;
    int fraction_bits = 0;
    if (exponent >= 0) {
        if (exponent <= 11) {
            whole = mantissa << exponent;
        } else {
            // Up to 309 digits, made nine at a time by dividing by 10^9.
            std::uint32_t limbs[kLimbs];
            SetShifted(limbs, mantissa, exponent);
            int top = kLimbs - 1;
            while (top > 0 && limbs[top] == 0) {
                --top;
            }
            char16_t text[320];
            int end = 320;
            int at = end;
            for (;;) {
                std::uint64_t remainder = 0;
                for (int i = top; i >= 0; --i) {
                    std::uint64_t current = (remainder << 32) | limbs[i];
                    limbs[i] = static_cast<std::uint32_t>(current / 1000000000u);
                    remainder = current % 1000000000u;
                }
                while (top > 0 && limbs[top] == 0) {
                    --top;
                }
                bool last = top == 0 && limbs[0] == 0;
                for (int k = 0; k < 9 && (remainder != 0 || !last); ++k) {
                    text[--at] = static_cast<char16_t>(u'0' + remainder % 10);
                    remainder /= 10;
                }
                if (last) {
                    break;
                }
            }
            *point = end - at;
            for (int i = at; i < end && count < max; ++i) {
                digits[count++] = text[i];
            }
            return count;
        }
    } else if (exponent > -64) {
        whole = mantissa >> -exponent;
        fraction = mantissa & ((std::uint64_t{1} << -exponent) - 1);
        fraction_bits = -exponent;
    } else {
        fraction = mantissa;
        fraction_bits = -exponent;
    }
    if (whole != 0) {
        char16_t text[24];
        char16_t* end = text + 24;
        char16_t* start = UnsignedDigits(whole, 10, kLowerDigits, end);
        *point = static_cast<int>(end - start);
        while (start < end && count < max) {
            digits[count++] = *start++;
        }
    }
    if (fraction == 0 || count >= max) {
        return count;
    }

    // Fraction: scaled so that the binary point sits at a limb boundary; the
    // carry out of the top limb after multiplying by 10 is the next digit.
    int used = (fraction_bits + 31) / 32;
    std::uint32_t limbs[kLimbs];
    SetShifted(limbs, fraction, used * 32 - fraction_bits);
    int low = 0;
    int high = used - 1;
    while (high > 0 && limbs[high] == 0) {
        --high;
    }
    while (low < high && limbs[low] == 0) {
        ++low;
    }
    while (count < max) {
        std::uint64_t carry = 0;
        for (int i = low; i <= high; ++i) {
            std::uint64_t product = std::uint64_t{limbs[i]} * 10 + carry;
            limbs[i] = static_cast<std::uint32_t>(product);
            carry = product >> 32;
        }
        if (carry != 0 && high + 1 < used) {
            limbs[++high] = static_cast<std::uint32_t>(carry);
            carry = 0;
        }
        while (low <= high && limbs[low] == 0) {
            ++low;
        }
        if (count == 0 && carry == 0) {
            --*point; // a leading zero of the fraction
        } else {
            digits[count++] = static_cast<char16_t>(u'0' + carry);
        }
        if (low > high) {
            break; // nothing left of the fraction
        }
    }
    return count;
}

// Keeps `keep` digits, rounding half up on the next one. A carry out of the
// first digit gives a leading 1 and moves the point right. Returns the new
// digit count.
int RoundDigits(char16_t* digits, int count, int keep, int* point) {
    if (keep >= count) {
        return count;
    }
    if (keep < 0) {
        return 0;
    }
    if (digits[keep] < u'5') {
        return keep;
    }
    int i = keep - 1;
    while (i >= 0 && digits[i] == u'9') {
        digits[i] = u'0';
        --i;
    }
    if (i >= 0) {
        ++digits[i];
        return keep;
    }
    digits[0] = u'1';
    ++*point;
    return keep == 0 ? 1 : keep;
}

// Decimal exponent text: sign and at least two digits.
int ExponentText(int exponent, char16_t letter, char16_t* text) {
    int n = 0;
    text[n++] = letter;
    text[n++] = exponent < 0 ? u'-' : u'+';
    unsigned magnitude = exponent < 0 ? 0u - static_cast<unsigned>(exponent) : exponent;
    char16_t digits[12];
    char16_t* end = digits + 12;
    char16_t* start = UnsignedDigits(magnitude, 10, kLowerDigits, end);
    if (end - start < 2) {
        text[n++] = u'0';
    }
    while (start < end) {
        text[n++] = *start++;
    }
    return n;
}

// Fixed notation pieces of digits[0..count) with the point at `point`.
int FixedPieces(const char16_t* digits, int count, int point, std::int64_t precision,
                bool show_point, Piece* pieces) {
    static constexpr char16_t kPoint[] = u".";
    int n = 0;
    if (point <= 0) {
        pieces[n++] = {nullptr, u'0', 1};
    } else {
        int from_digits = point < count ? point : count;
        pieces[n++] = {digits, 0, from_digits};
        pieces[n++] = {nullptr, u'0', point - from_digits};
    }
    if (precision > 0 || show_point) {
        pieces[n++] = {kPoint, 0, 1};
    }
    std::int64_t lead = point < 0 ? -static_cast<std::int64_t>(point) : 0;
    if (lead > precision) {
        lead = precision;
    }
    pieces[n++] = {nullptr, u'0', lead};
    int first = point > 0 ? point : 0;
    std::int64_t available = count > first ? count - first : 0;
    std::int64_t taken = precision - lead < available ? precision - lead : available;
    pieces[n++] = {digits + first, 0, taken};
    pieces[n++] = {nullptr, u'0', precision - lead - taken};
    return n;
}

// Exponent notation pieces: one digit, the point, `precision` digits.
int ExponentPieces(const char16_t* digits, int count, std::int64_t precision, bool show_point,
                   const char16_t* exponent_text, int exponent_length, Piece* pieces) {
    static constexpr char16_t kPoint[] = u".";
    int n = 0;
    if (count > 0) {
        pieces[n++] = {digits, 0, 1};
    } else {
        pieces[n++] = {nullptr, u'0', 1};
    }
    if (precision > 0 || show_point) {
        pieces[n++] = {kPoint, 0, 1};
    }
    std::int64_t available = count > 1 ? count - 1 : 0;
    std::int64_t taken = precision < available ? precision : available;
    pieces[n++] = {digits + 1, 0, taken};
    pieces[n++] = {nullptr, u'0', precision - taken};
    pieces[n++] = {exponent_text, 0, exponent_length};
    return n;
}

bool EmitReal(Sink& out, Field field, const Spec& spec, std::int64_t precision, double value) {
    char16_t conversion = spec.conversion;
    bool upper = conversion == u'E' || conversion == u'G';
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    bool negative = (bits >> 63) != 0;
    char16_t sign[1];
    int sign_length = 0;
    if (negative) {
        sign[sign_length++] = u'-';
    } else if (spec.plus) {
        sign[sign_length++] = u'+';
    } else if (spec.space) {
        sign[sign_length++] = u' ';
    }
    if (negative) {
        value = -value;
    }
    if (value != value || value > 1.7976931348623157e308) {
        field.pad = u' ';
        const char16_t* text =
            value != value ? (upper ? u"NAN" : u"nan") : (upper ? u"INF" : u"inf");
        Piece piece{text, 0, 3};
        return EmitField(out, field, sign, sign_length, &piece, 1);
    }

    char16_t digits[kDigitBuffer];
    int point = 1;
    int count = 0;
    if (value != 0) {
        count = ExactDigits(value, digits, kMaxDigits + 1, &point);
    }
    if (precision < 0) {
        precision = 6;
    }
    Piece pieces[8];
    int piece_count = 0;
    char16_t exponent_text[8];

    if (conversion == u'f') {
        std::int64_t keep = point + precision;
        count = RoundDigits(digits, count, keep > kMaxDigits ? kMaxDigits : static_cast<int>(keep),
                            &point);
        piece_count = FixedPieces(digits, count, point, precision, spec.alternate, pieces);
    } else if (conversion == u'e' || conversion == u'E') {
        std::int64_t keep = precision + 1;
        count = RoundDigits(digits, count, keep > kMaxDigits ? kMaxDigits : static_cast<int>(keep),
                            &point);
        int exponent = count == 0 ? 0 : point - 1;
        int length = ExponentText(exponent, upper ? u'E' : u'e', exponent_text);
        piece_count =
            ExponentPieces(digits, count, precision, spec.alternate, exponent_text, length, pieces);
    } else {
        // g, G: the shorter of the two notations for `significant` digits.
        std::int64_t significant = precision == 0 ? 1 : precision;
        count = RoundDigits(digits, count,
                            significant > kMaxDigits ? kMaxDigits : static_cast<int>(significant),
                            &point);
        int exponent = count == 0 ? 0 : point - 1;
        int meaningful = count;
        if (!spec.alternate) {
            while (meaningful > 0 && digits[meaningful - 1] == u'0') {
                --meaningful;
            }
        }
        if (exponent < -4 || exponent >= significant) {
            std::int64_t fraction = significant - 1;
            if (!spec.alternate) {
                fraction = meaningful > 1 ? meaningful - 1 : 0;
            }
            int length = ExponentText(exponent, upper ? u'E' : u'e', exponent_text);
            piece_count = ExponentPieces(digits, count, fraction, spec.alternate, exponent_text,
                                         length, pieces);
        } else {
            std::int64_t fraction = significant - 1 - exponent;
            if (!spec.alternate) {
                std::int64_t needed = meaningful - (exponent + 1);
                fraction = needed > 0 ? needed : 0;
            }
            piece_count = FixedPieces(digits, count, count == 0 ? 1 : point, fraction,
                                      spec.alternate, pieces);
        }
    }
    return EmitField(out, field, sign, sign_length, pieces, piece_count);
}

// ---------------------------------------------------------------------------
// The engine

// Formats one conversion. False when the output failed.
bool Convert(Sink& out, const Spec& spec, Arguments& arguments) {
    Field field;
    bool left = spec.left;
    std::int64_t width = 0;
    if (spec.width_source == Source::Literal) {
        width = spec.width;
    } else if (spec.width_source != Source::None) {
        std::int64_t taken = arguments.Integer(spec.width);
        if (taken < 0) {
            left = true;
            taken = -taken;
        }
        width = taken;
    }
    std::int64_t precision = -1;
    if (spec.precision_source == Source::Literal) {
        precision = spec.precision;
    } else if (spec.precision_source != Source::None) {
        std::int64_t taken = arguments.Integer(spec.precision);
        precision = taken < 0 ? 0 : taken;
    }
    field.width = width;
    field.left = left;
    field.pad = spec.zero ? u'0' : u' ';

    char16_t text[32];
    char16_t* text_end = text + 32;
    switch (spec.conversion) {
    case u'd':
    case u'i': {
        std::int32_t value = arguments.Integer(spec.position);
        if (spec.length == u'h') {
            value = static_cast<std::int16_t>(value);
        }
        char16_t sign[1];
        int sign_length = 0;
        std::uint32_t magnitude = static_cast<std::uint32_t>(value);
        if (value < 0) {
            sign[sign_length++] = u'-';
            magnitude = 0u - magnitude;
        } else if (spec.plus) {
            sign[sign_length++] = u'+';
        } else if (spec.space) {
            sign[sign_length++] = u' ';
        }
        char16_t* start = UnsignedDigits(magnitude, 10, kLowerDigits, text_end);
        return EmitInteger(out, field, precision, sign, sign_length, start,
                           static_cast<int>(text_end - start), false);
    }
    case u'u':
    case u'o':
    case u'x':
    case u'X': {
        std::uint32_t value = static_cast<std::uint32_t>(arguments.Integer(spec.position));
        if (spec.length == u'h') {
            value &= 0xffffu;
        }
        unsigned base = spec.conversion == u'u' ? 10 : spec.conversion == u'o' ? 8 : 16;
        const char16_t* table = spec.conversion == u'X' ? kUpperDigits : kLowerDigits;
        char16_t* start = UnsignedDigits(value, base, table, text_end);
        const char16_t* prefix = nullptr;
        int prefix_length = 0;
        if (base == 16 && spec.alternate && value != 0) {
            prefix = spec.conversion == u'X' ? u"0X" : u"0x";
            prefix_length = 2;
        }
        return EmitInteger(out, field, precision, prefix, prefix_length, start,
                           static_cast<int>(text_end - start), base == 8 && spec.alternate);
    }
    case u'c': {
        char16_t c = static_cast<char16_t>(arguments.Integer(spec.position));
        field.pad = u' ';
        return EmitText(out, field, &c, 1);
    }
    case u's': {
        const char16_t* text = static_cast<const char16_t*>(arguments.Pointer(spec.position));
        if (text == nullptr) {
            text = kNullText;
        }
        // One pass over the string where possible: the length is only
        // looked for as far as the padding needs it.
        auto at_end = [](char16_t c) { return c == 0; };
        if (!left && width > 0) {
            std::int64_t look = precision >= 0 && precision < width ? precision : width;
            std::int64_t n = 0;
            while (n < look && text[n] != 0) {
                ++n;
            }
            if (n < look || look < width) { // ended, or cut by the precision, short of the width
                return out.Fill(u' ', width - n) && out.Write(text, n);
            }
            // At least as long as the width: no padding.
            return out.CopyUntil(text, precision, at_end);
        }
        std::int64_t before = out.Count();
        if (!out.CopyUntil(text, precision, at_end)) {
            return false;
        }
        std::int64_t copied = out.Count() - before;
        return copied >= width || out.Fill(u' ', width - copied);
    }
    case u'e':
    case u'E':
    case u'f':
    case u'g':
    case u'G':
        return EmitReal(out, field, spec, precision, arguments.Real(spec.position));
    case u'n': {
        void* target = const_cast<void*>(arguments.Pointer(spec.position));
        std::int64_t produced = out.Count();
        int stored = produced > INT_MAX ? INT_MAX : static_cast<int>(produced);
        if (target != nullptr) {
            if (spec.length == u'h') {
                *static_cast<short*>(target) = static_cast<short>(stored);
            } else {
                *static_cast<int*>(target) = stored;
            }
        }
        return true;
    }
    case u'p': {
        if (spec.sub == u'p') {
            std::uintptr_t value =
                reinterpret_cast<std::uintptr_t>(arguments.Pointer(spec.position));
            char16_t* start = UnsignedDigits(value, 16, kLowerDigits, text_end);
            return EmitInteger(out, field, precision, nullptr, 0, start,
                               static_cast<int>(text_end - start), false);
        }
        field.pad = u' ';
        if (spec.sub == u'A' || spec.sub == u'I') {
            // pA: four address bytes in network order. pI: the IPv4 socket
            // address layout: family (2 bytes), port (2 bytes, network
            // order), address (4 bytes, network order).
            const unsigned char* bytes =
                static_cast<const unsigned char*>(arguments.Pointer(spec.position));
            const char16_t* shown = kNullText;
            std::int64_t n = kNullTextLength;
            if (bytes != nullptr) {
                int length;
                if (spec.sub == u'A') {
                    length = DottedQuad(bytes, text);
                } else {
                    length = DottedQuad(bytes + 4, text);
                    text[length++] = u':';
                    unsigned port = (unsigned{bytes[2]} << 8) | bytes[3];
                    char16_t* start = UnsignedDigits(port, 10, kLowerDigits, text_end);
                    while (start < text_end) {
                        text[length++] = *start++;
                    }
                }
                shown = text;
                n = length;
            }
            if (precision >= 0 && precision < n) {
                n = precision;
            }
            return EmitText(out, field, shown, n);
        }
        return EmitText(out, field, kBogusText, kBogusTextLength);
    }
    case u'%':
        field.pad = u' ';
        return EmitText(out, field, u"%", 1);
    default: {
        text[0] = u'%';
        text[1] = spec.conversion;
        field.pad = u' ';
        return EmitText(out, field, text, 2);
    }
    }
}

int Finish(Sink& out, int result) {
    out.Finish();
    return result;
}

// Switches to positional mode: reads every argument by position.
bool StartPositional(const char16_t* format, va_list* list, std::vector<Slot>& slots,
                     Arguments& arguments) {
    try {
        if (!ReadPositional(format, list, slots)) {
            return false;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    static const Slot kNone{};
    arguments.UseTable(slots.empty() ? &kNone : slots.data());
    return true;
}

// The main loop. Whether the format is positional is settled at the first
// specification that shows it, which saves a pass over every format: up to
// there only specifications that take no argument can have been met (and
// they format alike in both modes), or the format mixes the two kinds and
// is malformed; output then stops at that specification.
int Format(VTXPR_FLUSH flush, VTXPR_BUFFER* buffer, const char16_t* format, va_list* list) {
    Sink out(flush, buffer);
    if (format == nullptr) {
        format = kNullText;
    }
    Arguments arguments(list);
    std::vector<Slot> slots;
    bool taken_in_order = false;
    // Stops at the terminator or a '%'. Both have no bits outside 0x25, so
    // one test rules out nearly every character of a text.
    auto ordinary = [](char16_t c) { return (c & ~0x25) == 0 && (c == 0 || c == u'%'); };

    const char16_t* p = format;
    for (;;) {
        if (!out.CopyUntil(p, -1, ordinary)) {
            return Finish(out, -1);
        }
        if (*p == 0) {
            break;
        }
        ++p;
        const char16_t* start = p;
        Spec spec;
        Parse parsed = ParseSpec(p, spec);
        if (parsed == Parse::Malformed) {
            return Finish(out, 1);
        }
        if (!arguments.Positional() &&
            (parsed == Parse::End || spec.dollar || !IsLetter(spec.conversion)) &&
            LooksPositional(start)) {
            if (taken_in_order || !StartPositional(format, list, slots, arguments)) {
                return Finish(out, 1);
            }
        }
        if (parsed == Parse::End) {
            break;
        }
        if (!arguments.Positional()) {
            if (spec.position != 0 || spec.width_source == Source::Position ||
                spec.precision_source == Source::Position) {
                return Finish(out, 1);
            }
            taken_in_order = taken_in_order || ArgumentKind(spec) != Kind::Unused ||
                             spec.width_source == Source::NextArgument ||
                             spec.precision_source == Source::NextArgument;
        }
        if (!Convert(out, spec, arguments)) {
            return Finish(out, -1);
        }
    }
    std::int64_t count = out.Count();
    return Finish(out, count > INT_MAX ? INT_MAX : static_cast<int>(count));
}

// The bounded front ends' flush: the buffer is full, nothing more fits.
int RefuseFlush(VTXPR_BUFFER*) {
    return 1;
}

} // namespace

int VTXPR_VFormatter(VTXPR_FLUSH flush, VTXPR_BUFFER* buffer, const char16_t* format,
                     va_list arguments) {
    va_list list;
    va_copy(list, arguments);
    int result = Format(flush, buffer, format, &list);
    va_end(list);
    return result;
}

int VTXPR_Vsnprintf(char16_t* buffer, std::size_t count, const char16_t* format,
                    va_list arguments) {
    VTXPR_BUFFER descriptor{nullptr, nullptr};
    if (buffer != nullptr) {
        descriptor.cur = buffer;
        descriptor.end = count == 0 ? buffer : buffer + (count - 1);
    }
    va_list list;
    va_copy(list, arguments);
    int result = Format(RefuseFlush, &descriptor, format, &list);
    va_end(list);
    if (buffer != nullptr && count != 0) {
        *descriptor.cur = 0;
    }
    if (result == -1) {
        return count > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
    }
    return result;
}

int VTXPR_Snprintf(char16_t* buffer, std::size_t count, const char16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = VTXPR_Vsnprintf(buffer, count, format, arguments);
    va_end(arguments);
    return result;
}
