#include "tests/support/json.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace swtest {

const Json& Json::operator[](const std::string& key) const {
    static const Json null;
    auto found = members.find(key);
    return found == members.end() ? null : found->second;
}

const Json& Json::operator[](std::size_t index) const {
    static const Json null;
    return index < items.size() ? items[index] : null;
}

namespace {

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : text_(text) {}

    bool Document(Json* value) {
        if (!Value(value, 0))
            return false;
        Space();
        return at_ == text_.size() || Fail("text after the document");
    }
    std::string error;

private:
    bool Fail(const std::string& why) {
        if (error.empty())
            error = why + " at offset " + std::to_string(at_);
        return false;
    }
    void Space() {
        while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) != nullptr)
            ++at_;
    }
    // Skips blanks, then consumes `c` when it comes next.
    bool Eat(char c) {
        Space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Literal(const char* word) {
        const std::size_t n = std::strlen(word);
        if (text_.compare(at_, n, word) != 0)
            return Fail(std::string("expected ") + word);
        at_ += n;
        return true;
    }
    static void AppendUtf8(std::string* out, std::uint32_t c) {
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
            return;
        }
        if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        } else {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        }
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    bool String(std::string* out) {
        if (!Eat('"'))
            return Fail("expected a string");
        static const std::string kEscapes = "\"\"\\\\//n\nr\rt\tb\bf\f"; // pairs: escape, byte
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (static_cast<unsigned char>(c) < 0x20)
                return Fail("control character in a string");
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (at_ >= text_.size())
                break;
            c = text_[at_++];
            if (c == 'u') {
                if (at_ + 4 > text_.size())
                    return Fail("short \\u escape");
                const std::string hex = text_.substr(at_, 4);
                char* end = nullptr;
                const unsigned long code = std::strtoul(hex.c_str(), &end, 16);
                if (*end != '\0')
                    return Fail("bad \\u escape");
                at_ += 4;
                AppendUtf8(out, static_cast<std::uint32_t>(code));
                continue;
            }
            std::size_t i = 0;
            while (i < kEscapes.size() && kEscapes[i] != c)
                i += 2;
            if (i >= kEscapes.size())
                return Fail("unknown escape");
            out->push_back(kEscapes[i + 1]);
        }
        if (at_ >= text_.size())
            return Fail("unterminated string");
        ++at_;
        return true;
    }
    // The items of an array or the members of an object, up to `close`.
    bool Items(Json* value, char close, int depth) {
        if (Eat(close))
            return true;
        for (;;) {
            Json* item = nullptr;
            if (close == ']') {
                item = &value->items.emplace_back();
            } else {
                std::string key;
                if (!String(&key))
                    return false;
                if (!Eat(':'))
                    return Fail("expected :");
                item = &value->members[key];
            }
            if (!Value(item, depth + 1))
                return false;
            if (Eat(close))
                return true;
            if (!Eat(','))
                return Fail(std::string("expected , or ") + close);
        }
    }
    bool Value(Json* value, int depth) {
        if (depth > 32)
            return Fail("nesting too deep");
        Space();
        if (at_ >= text_.size())
            return Fail("unexpected end");
        const char c = text_[at_];
        if (c == 'n') {
            value->kind = Json::Null;
            return Literal("null");
        }
        if (c == 't' || c == 'f') {
            value->kind = Json::Bool;
            value->boolean = c == 't';
            return Literal(c == 't' ? "true" : "false");
        }
        if (c == '"') {
            value->kind = Json::String;
            return String(&value->text);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            const char* start = text_.c_str() + at_;
            char* end = nullptr;
            errno = 0;
            value->kind = Json::Number;
            value->number = std::strtoll(start, &end, 10);
            if (end == start || errno != 0 || *end == '.' || *end == 'e' || *end == 'E')
                return Fail("expected an integer");
            at_ += static_cast<std::size_t>(end - start);
            return true;
        }
        if (c == '[' || c == '{') {
            ++at_;
            value->kind = c == '[' ? Json::Array : Json::Object;
            return Items(value, c == '[' ? ']' : '}', depth);
        }
        return Fail("unexpected character");
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

} // namespace

bool ParseJson(const std::string& text, Json* value, std::string* error) {
    JsonReader reader(text);
    *value = Json();
    const bool ok = reader.Document(value);
    if (!ok && error != nullptr)
        *error = reader.error;
    return ok;
}

} // namespace swtest
