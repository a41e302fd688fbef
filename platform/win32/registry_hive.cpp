#include "platform/win32/registry_hive.h"

#include "runtime/vtx_str.h"

#include <new>

namespace {

struct RootName {
    std::u16string_view full;   // folded
    std::u16string_view short_; // folded
};

// A key's name and nesting as the registry limits them, and the most
// characters of key paths (every level's full path) one hive may hold at a
// time.
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxKeyLevels = 512;
constexpr std::size_t kMaxKeyCharacters = std::size_t{1} << 24;

constexpr RootName kRoots[] = {
    {u"hkey_classes_root", u"hkcr"},   {u"hkey_current_user", u"hkcu"},
    {u"hkey_local_machine", u"hklm"},  {u"hkey_users", u"hku"},
    {u"hkey_current_config", u"hkcc"},
};

std::u16string Fold(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) {
        c = VTX_WToLower(c);
    }
    return out;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string_view Trim(std::u16string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

bool StartsWithFolded(std::u16string_view text, std::u16string_view folded_prefix) {
    if (text.size() < folded_prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < folded_prefix.size(); ++i) {
        if (VTX_WToLower(text[i]) != folded_prefix[i]) {
            return false;
        }
    }
    return true;
}

// Decodes the file into UTF-16. False for text that cannot be read.
bool Decode(std::string_view bytes, std::u16string* text, std::string* problem) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            *problem = "UTF-16LE text with an odd number of bytes";
            return false;
        }
        text->reserve(bytes.size() / 2);
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text->push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                  (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        }
        return true;
    }
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
        static_cast<unsigned char>(bytes[1]) == 0xFF) {
        *problem = "UTF-16 big-endian text is not supported; save the hive as UTF-8 or UTF-16LE";
        return false;
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    *text = VTX_FromUtf8(bytes);
    return true;
}

// One line of the file after continuations are joined: the text, and for
// each physical line that went into it, where its part starts.
struct LogicalLine {
    std::u16string text;
    std::vector<std::pair<std::size_t, int>> parts; // (offset in text, file line)

    int LineAt(std::size_t offset) const {
        int line = parts.front().second;
        for (const auto& part : parts) {
            if (part.first <= offset) {
                line = part.second;
            }
        }
        return line;
    }
};

class Parser {
public:
    Parser(RegistryHive* hive, RegistryParseError* error) : hive_(hive), error_(error) {}

    bool Run(const std::u16string& text) {
        std::vector<std::u16string_view> lines;
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find(u'\n', start);
            if (end == std::u16string::npos) {
                end = text.size();
            }
            std::u16string_view line(text.data() + start, end - start);
            if (!line.empty() && line.back() == u'\r') {
                line.remove_suffix(1);
            }
            lines.push_back(line);
            start = end + 1;
        }

        bool header_seen = false;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const int number = static_cast<int>(i) + 1;
            const std::u16string_view line = Trim(lines[i]);
            if (line.empty()) {
                continue;
            }
            if (!header_seen) {
                if (line != u"Windows Registry Editor Version 5.00" && line != u"REGEDIT4") {
                    return Fail(number, "the first line must be \"Windows Registry Editor "
                                        "Version 5.00\"");
                }
                header_seen = true;
                continue;
            }
            if (line.front() == u';') {
                continue;
            }
            if (line.front() == u'[') {
                if (!KeyLine(line, number)) {
                    return false;
                }
                continue;
            }
            // A value line, maybe continued over the following lines.
            LogicalLine logical;
            logical.parts.emplace_back(0, number);
            logical.text = line;
            // The first line settles whether this is hex data; a line joined
            // to it only has to keep the data going, so a value continued
            // over many lines costs no more than its length.
            bool continues = ContinuesOnNextLine(logical.text);
            while (continues && i + 1 < lines.size()) {
                logical.text.pop_back();
                ++i;
                const std::u16string_view next = Trim(lines[i]);
                logical.parts.emplace_back(logical.text.size(), static_cast<int>(i) + 1);
                logical.text += next;
                continues = logical.text.back() == u'\\' && next.find(u'"') == std::u16string::npos;
            }
            if (!ValueLine(logical)) {
                return false;
            }
        }
        if (!header_seen) {
            return Fail(1, "the file is empty; a hive starts with \"Windows Registry Editor "
                           "Version 5.00\"");
        }
        return true;
    }

private:
    static bool ContinuesOnNextLine(const std::u16string& text) {
        if (text.empty() || text.back() != u'\\') {
            return false;
        }
        // Only hex data continues; a string ends in its closing quote.
        const std::size_t equals = text.find(u"=hex");
        return equals != std::u16string::npos && text.find(u'"', equals) == std::u16string::npos;
    }

    bool Fail(int line, std::string message) {
        error_->line = line;
        error_->message = std::move(message);
        hive_->keys.clear();
        return false;
    }

    bool KeyLine(std::u16string_view line, int number) {
        if (line.back() != u']') {
            return Fail(number, "a key line must end with ']'");
        }
        std::u16string_view path = line.substr(1, line.size() - 2);
        const bool remove = !path.empty() && path.front() == u'-';
        if (remove) {
            path.remove_prefix(1);
        }
        std::u16string folded = RegistryFoldPath(path);
        if (folded.empty()) {
            return Fail(number, "a key must start with a root such as HKEY_LOCAL_MACHINE");
        }
        if (folded.find(u"\\\\") != std::u16string::npos) {
            return Fail(number, "a key path has an empty name between two '\\'");
        }
        // The limits of the registry itself: they also keep a hostile file
        // from making the parser hold every level's full path of an endless
        // key.
        std::size_t levels = 1;
        std::size_t name_start = 0;
        for (std::size_t i = 0; i <= folded.size(); ++i) {
            if (i == folded.size() || folded[i] == u'\\') {
                if (i - name_start > kMaxKeyName) {
                    return Fail(number, "a key name is longer than 255 characters");
                }
                name_start = i + 1;
                if (i < folded.size() && ++levels > kMaxKeyLevels) {
                    return Fail(number, "a key is nested more than 512 levels deep");
                }
            }
        }
        if (remove) {
            // The key and the keys below it, which sort right after it.
            if (hive_->keys.erase(folded) != 0) {
                key_characters_ -= folded.size();
            }
            const std::u16string below = folded + u"\\";
            auto it = hive_->keys.lower_bound(below);
            auto end = it;
            while (end != hive_->keys.end() && end->first.compare(0, below.size(), below) == 0) {
                key_characters_ -= end->first.size();
                ++end;
            }
            hive_->keys.erase(it, end);
            current_ = nullptr;
            return true;
        }
        // The key and every key above it exist.
        for (std::size_t sep = folded.find(u'\\'); sep != std::u16string::npos;
             sep = folded.find(u'\\', sep + 1)) {
            if (!AddKey(folded.substr(0, sep), number)) {
                return false;
            }
        }
        if (!AddKey(folded, number)) {
            return false;
        }
        current_ = &hive_->keys[folded];
        return true;
    }

    // Makes the key `path` exist, counting the names kept.
    bool AddKey(std::u16string path, int number) {
        const std::size_t length = path.size();
        if (hive_->keys.try_emplace(std::move(path)).second) {
            key_characters_ += length;
            if (key_characters_ > kMaxKeyCharacters) {
                return Fail(number, "the keys of the hive add up to more than 16777216 characters "
                                    "of key paths; a hive this large is not read");
            }
        }
        return true;
    }

    // A quoted string at text[*pos] (the opening quote); *pos ends after the
    // closing quote.
    bool QuotedString(const LogicalLine& line, std::size_t* pos, std::u16string* out) {
        const std::u16string& text = line.text;
        std::size_t i = *pos + 1;
        while (i < text.size() && text[i] != u'"') {
            if (text[i] == u'\\') {
                if (i + 1 >= text.size()) {
                    break;
                }
                const char16_t next = text[i + 1];
                if (next != u'\\' && next != u'"') {
                    return Fail(line.LineAt(i), "unknown escape '\\" +
                                                    VTX_ToUtf8(std::u16string(1, next)) +
                                                    "' in a string (only \\\\ and \\\" are known)");
                }
                out->push_back(next);
                i += 2;
                continue;
            }
            out->push_back(text[i]);
            ++i;
        }
        if (i >= text.size()) {
            return Fail(line.LineAt(*pos), "a string has no closing quote");
        }
        *pos = i + 1;
        return true;
    }

    bool HexBytes(const LogicalLine& line, std::size_t pos, std::vector<unsigned char>* out) {
        const std::u16string& text = line.text;
        bool expect_byte = true; // after the start or a comma
        while (pos < text.size()) {
            const char16_t c = text[pos];
            if (IsBlank(c)) {
                ++pos;
                continue;
            }
            if (c == u',') {
                if (expect_byte) {
                    return Fail(line.LineAt(pos), "an empty byte in hex data");
                }
                expect_byte = true;
                ++pos;
                continue;
            }
            if (!expect_byte) {
                return Fail(line.LineAt(pos), "hex bytes must be separated by commas");
            }
            int value = 0;
            int digits = 0;
            while (pos < text.size() && HexDigit(text[pos]) >= 0) {
                // A run longer than two digits is refused below; the value
                // stops growing there so that it cannot overflow first.
                if (digits < 2) {
                    value = value * 16 + HexDigit(text[pos]);
                }
                ++digits;
                ++pos;
            }
            if (digits == 0 || digits > 2) {
                return Fail(line.LineAt(pos), "hex data must be bytes of two hex digits");
            }
            out->push_back(static_cast<unsigned char>(value));
            expect_byte = false;
        }
        return true;
    }

    bool ValueLine(const LogicalLine& line) {
        const std::u16string& text = line.text;
        const int number = line.parts.front().second;
        std::u16string name;
        std::size_t pos = 0;
        if (text[0] == u'@') {
            pos = 1;
        } else if (text[0] == u'"') {
            if (!QuotedString(line, &pos, &name)) {
                return false;
            }
        } else {
            return Fail(number, "expected a key in [...], a value \"Name\"=... or @=..., or a "
                                "comment starting with ';'");
        }
        while (pos < text.size() && IsBlank(text[pos])) {
            ++pos;
        }
        if (pos >= text.size() || text[pos] != u'=') {
            return Fail(number, "a value name must be followed by '='");
        }
        ++pos;
        while (pos < text.size() && IsBlank(text[pos])) {
            ++pos;
        }
        if (current_ == nullptr) {
            return Fail(number, "a value must follow the [key] it belongs to");
        }
        const std::u16string_view data(text.data() + pos, text.size() - pos);
        const std::u16string key = Fold(name);

        if (data == u"-") {
            current_->values.erase(key);
            return true;
        }
        RegistryValue value;
        value.name = name;
        if (!data.empty() && data.front() == u'"') {
            std::u16string string;
            if (!QuotedString(line, &pos, &string)) {
                return false;
            }
            if (!Trim(std::u16string_view(text).substr(pos)).empty()) {
                return Fail(line.LineAt(pos), "unexpected text after a string's closing quote");
            }
            value.type = 1; // REG_SZ
            for (const char16_t c : string) {
                value.data.push_back(static_cast<unsigned char>(c & 0xFF));
                value.data.push_back(static_cast<unsigned char>(c >> 8));
            }
            value.data.push_back(0);
            value.data.push_back(0);
        } else if (StartsWithFolded(data, u"dword:")) {
            const std::u16string_view digits = Trim(data.substr(6));
            if (digits.empty() || digits.size() > 8) {
                return Fail(number, "a dword needs 1 to 8 hex digits");
            }
            std::uint32_t number_value = 0;
            for (const char16_t c : digits) {
                if (HexDigit(c) < 0) {
                    return Fail(number, "a dword needs 1 to 8 hex digits");
                }
                number_value = number_value * 16 + static_cast<std::uint32_t>(HexDigit(c));
            }
            value.type = 4; // REG_DWORD
            for (int i = 0; i < 4; ++i) {
                value.data.push_back(static_cast<unsigned char>(number_value >> (8 * i)));
            }
        } else if (StartsWithFolded(data, u"hex:")) {
            value.type = 3; // REG_BINARY
            if (!HexBytes(line, pos + 4, &value.data)) {
                return false;
            }
        } else if (StartsWithFolded(data, u"hex(")) {
            const std::size_t close = data.find(u')');
            if (close == std::u16string_view::npos || close == 4 || close > 12 ||
                close + 1 >= data.size() || data[close + 1] != u':') {
                return Fail(number, "hex(N): needs a type number in hex, e.g. hex(7):");
            }
            std::uint32_t type = 0;
            for (std::size_t i = 4; i < close; ++i) {
                if (HexDigit(data[i]) < 0) {
                    return Fail(number, "hex(N): needs a type number in hex, e.g. hex(7):");
                }
                type = type * 16 + static_cast<std::uint32_t>(HexDigit(data[i]));
            }
            value.type = type;
            if (!HexBytes(line, pos + close + 2, &value.data)) {
                return false;
            }
        } else {
            return Fail(number, "value data must be \"text\", dword:, hex:, hex(N): or -");
        }
        current_->values[key] = std::move(value);
        return true;
    }

    RegistryHive* hive_;
    RegistryParseError* error_;
    RegistryKey* current_ = nullptr;
    std::size_t key_characters_ = 0;
};

} // namespace

std::u16string RegistryFoldName(std::u16string_view name) {
    return Fold(name);
}

std::u16string RegistryFoldPath(std::u16string_view path) {
    std::u16string folded = Fold(path);
    while (!folded.empty() && folded.back() == u'\\') {
        folded.pop_back();
    }
    const std::size_t sep = folded.find(u'\\');
    const std::u16string_view root = std::u16string_view(folded).substr(0, sep);
    for (const RootName& name : kRoots) {
        if (root == name.full) {
            return folded;
        }
        if (root == name.short_) {
            return std::u16string(name.full) +
                   (sep == std::u16string::npos ? std::u16string() : folded.substr(sep));
        }
    }
    return {};
}

bool ParseRegistryHive(std::string_view bytes, RegistryHive* hive, RegistryParseError* error) {
    try {
        hive->keys.clear();
        std::u16string text;
        std::string problem;
        if (!Decode(bytes, &text, &problem)) {
            error->line = 1;
            error->message = problem;
            return false;
        }
        Parser parser(hive, error);
        return parser.Run(text);
    } catch (const std::bad_alloc&) {
        hive->keys.clear();
        error->line = 0;
        error->message = "out of memory";
        return false;
    }
}
