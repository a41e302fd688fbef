#include "platform/dovecot/sieve_script.h"

#include "runtime/vtx_str.h"

namespace dovecot {
namespace {

constexpr std::size_t npos = std::string_view::npos;
constexpr std::string_view kRuleComment = "# rule:[";

// ---- A small Sieve lexer (RFC 5228, 2.2-2.4) over the script's bytes ---------------------
// Each function takes a position and returns the position after what it
// skipped, or npos when the script ends inside it.

bool IsIdentStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool IsIdentChar(char c) {
    return IsIdentStart(c) || (c >= '0' && c <= '9');
}

std::size_t SkipBlanks(std::string_view s, std::size_t i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n'))
        ++i;
    return i;
}

std::size_t LineEndAfter(std::string_view s, std::size_t i) {
    std::size_t nl = s.find('\n', i);
    return nl == npos ? s.size() : nl + 1;
}

// White space and comments.
std::size_t SkipFiller(std::string_view s, std::size_t i) {
    for (;;) {
        i = SkipBlanks(s, i);
        if (i < s.size() && s[i] == '#') {
            i = LineEndAfter(s, i);
        } else if (s.compare(i, 2, "/*") == 0) {
            std::size_t end = s.find("*/", i + 2);
            if (end == npos)
                return s.size();
            i = end + 2;
        } else {
            return i;
        }
    }
}

std::string_view IdentAt(std::string_view s, std::size_t i) {
    if (i >= s.size() || !IsIdentStart(s[i]))
        return {};
    std::size_t j = i;
    while (j < s.size() && IsIdentChar(s[j]))
        ++j;
    return s.substr(i, j - i);
}

std::size_t SkipQuoted(std::string_view s, std::size_t i) {
    for (++i; i < s.size(); ++i) {
        if (s[i] == '\\')
            ++i;
        else if (s[i] == '"')
            return i + 1;
    }
    return npos;
}

bool IsMultiLineStart(std::string_view s, std::size_t i) {
    return IdentAt(s, i) == "text" && s.compare(i, 5, "text:") == 0;
}

// "text:" up to a line holding only "." (dot-stuffed lines are "..").
std::size_t SkipMultiLine(std::string_view s, std::size_t i) {
    i = LineEndAfter(s, i);
    while (i < s.size()) {
        std::size_t next = LineEndAfter(s, i);
        std::string_view line = s.substr(i, next - i);
        if (line == "." || line == ".\n" || line == ".\r\n")
            return next;
        i = next;
    }
    return npos;
}

std::string Unquote(std::string_view quoted) {
    std::string out;
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 2 < quoted.size())
            ++i;
        out += quoted[i];
    }
    return out;
}

// One token other than a block; i is at its first byte (after filler).
std::size_t SkipToken(std::string_view s, std::size_t i) {
    char c = s[i];
    if (c == '"')
        return SkipQuoted(s, i);
    if (IsMultiLineStart(s, i))
        return SkipMultiLine(s, i);
    if (c == ':' || IsIdentChar(c)) {
        std::size_t j = i + 1;
        while (j < s.size() && IsIdentChar(s[j]))
            ++j;
        return j;
    }
    return i + 1; // [ ] ( ) , and anything stray
}

std::size_t SkipCommand(std::string_view s, std::size_t i, int depth);

// A block from its '{' through its '}'.
std::size_t SkipBlock(std::string_view s, std::size_t i, int depth) {
    if (depth > 64) // nesting this deep is not a script we edit
        return npos;
    ++i;
    for (;;) {
        i = SkipFiller(s, i);
        if (i >= s.size())
            return npos;
        if (s[i] == '}')
            return i + 1;
        i = SkipCommand(s, i, depth + 1);
        if (i == npos)
            return npos;
    }
}

// One command through its ';' or its block (with any elsif and else).
std::size_t SkipCommand(std::string_view s, std::size_t i, int depth) {
    for (;;) {
        i = SkipFiller(s, i);
        if (i >= s.size() || s[i] == '}')
            return npos;
        if (s[i] == ';')
            return i + 1;
        if (s[i] == '{') {
            std::size_t end = SkipBlock(s, i, depth);
            if (end == npos)
                return npos;
            std::size_t next = SkipFiller(s, end);
            std::string_view word = IdentAt(s, next);
            if (word != "elsif" && word != "else")
                return end;
            i = next + word.size();
            continue;
        }
        i = SkipToken(s, i);
        if (i == npos)
            return npos;
    }
}

struct Token {
    enum Kind { Ident, Tag, String, Other } kind;
    std::string_view text;
};

// The tokens from i to `end` (filler dropped); false when one runs past it.
bool Tokens(std::string_view s, std::size_t i, std::size_t end, std::vector<Token>* out) {
    for (;;) {
        i = SkipFiller(s, i);
        if (i >= end)
            return true;
        std::size_t next = SkipToken(s, i);
        if (next == npos || next > end)
            return false;
        char c = s[i];
        Token::Kind kind = c == '"'                 ? Token::String
                           : c == ':'               ? Token::Tag
                           : IsMultiLineStart(s, i) ? Token::Other
                           : IsIdentStart(c)        ? Token::Ident
                                                    : Token::Other;
        out->push_back({kind, s.substr(i, next - i)});
        i = next;
    }
}

std::optional<HeaderTest> SimpleHeaderTest(std::string_view test) {
    std::vector<Token> t;
    if (!Tokens(test, 0, test.size(), &t) || t.size() != 4)
        return std::nullopt;
    if (t[0].kind != Token::Ident || t[0].text != "header" || t[1].kind != Token::Tag ||
        t[1].text != ":contains" || t[2].kind != Token::String || t[3].kind != Token::String)
        return std::nullopt;
    return HeaderTest{Unquote(t[2].text), Unquote(t[3].text)};
}

std::string_view Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n'))
        --e;
    return s.substr(b, e - b);
}

// Reads the rule block whose comment starts at `at`; false when what follows
// the comment is not an if command that parses.
bool ReadRule(std::string_view s, std::size_t at, SieveRule* rule) {
    std::size_t comment_end = LineEndAfter(s, at);
    std::string_view line = Trim(s.substr(at, comment_end - at));
    std::size_t close = line.rfind(']');
    if (close == npos || close < kRuleComment.size())
        return false;
    rule->name = std::string(line.substr(kRuleComment.size(), close - kRuleComment.size()));
    std::size_t if_at = SkipBlanks(s, comment_end);
    if (IdentAt(s, if_at) != "if")
        return false;
    std::size_t end = SkipCommand(s, if_at, 0);
    if (end == npos)
        return false;
    // The test: up to the first top-level '{'.
    std::size_t i = if_at + 2;
    std::size_t brace = npos;
    for (std::size_t p = i;;) {
        p = SkipFiller(s, p);
        if (p >= end)
            break;
        if (s[p] == '{') {
            brace = p;
            break;
        }
        p = SkipToken(s, p);
    }
    if (brace == npos)
        return false;
    std::size_t after_if = i;
    while (after_if < s.size() && (s[after_if] == ' ' || s[after_if] == '\t'))
        ++after_if;
    std::string_view word = IdentAt(s, after_if);
    std::size_t hash = after_if + word.size();
    while (hash < s.size() && (s[hash] == ' ' || s[hash] == '\t'))
        ++hash;
    if (word == "false" && hash < s.size() && s[hash] == '#') {
        rule->enabled = false;
        rule->test = std::string(Trim(s.substr(hash + 1, LineEndAfter(s, hash) - hash - 1)));
    } else {
        rule->enabled = true;
        rule->test = std::string(Trim(s.substr(i, brace - i)));
    }
    rule->header = SimpleHeaderTest(rule->test);
    // The first fileinto among the block's own commands: its last string
    // argument is the mailbox (":flags" and the like come before it).
    for (std::size_t p = brace + 1;;) {
        p = SkipFiller(s, p);
        if (p >= end || s[p] == '}')
            break;
        std::size_t command_end = SkipCommand(s, p, 1);
        if (command_end == npos)
            break;
        if (IdentAt(s, p) == "fileinto") {
            std::vector<Token> t;
            if (Tokens(s, p, command_end, &t))
                for (const Token& token : t)
                    if (token.kind == Token::String)
                        rule->fileinto = Unquote(token.text);
            break;
        }
        p = command_end;
    }
    // The block takes the rest of its last line when that is only blanks.
    std::size_t tail = end;
    while (tail < s.size() && (s[tail] == ' ' || s[tail] == '\t' || s[tail] == '\r'))
        ++tail;
    if (tail < s.size() && s[tail] == '\n')
        end = tail + 1;
    else if (tail == s.size())
        end = tail;
    rule->offset = at;
    rule->length = end - at;
    return true;
}

bool HasBreakOrNul(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != npos;
}

bool IsHeaderName(std::string_view name) {
    if (name.empty())
        return false;
    for (char c : name)
        if (c <= 32 || c >= 127 || c == ':')
            return false;
    return true;
}

bool SameRuleName(std::string_view a, std::string_view b) {
    std::u16string wa = VTX_FromUtf8(a), wb = VTX_FromUtf8(b);
    return VTX_WStrICmp(wa.c_str(), wb.c_str()) == 0;
}

} // namespace

std::string SieveQuote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::optional<HeaderTest> HeaderTestFromMarker(std::string_view marker, std::string* why) {
    std::string_view m = Trim(marker);
    if (HasBreakOrNul(m)) {
        *why = "the marker spans more than one line";
        return std::nullopt;
    }
    std::size_t colon = m.find(':');
    if (colon == npos || !IsHeaderName(m.substr(0, colon))) {
        *why = "the marker does not start with a header name and a colon (\"Name: value\"), "
               "and Sieve can only test one header at a time";
        return std::nullopt;
    }
    why->clear();
    return HeaderTest{std::string(m.substr(0, colon)), std::string(Trim(m.substr(colon + 1)))};
}

SieveScript::SieveScript(std::string text) : text_(std::move(text)) {
    Scan();
}

void SieveScript::Scan() {
    rules_.clear();
    requires_.clear();
    complete_ = false;
    std::string_view s = text_;
    std::size_t i = 0;
    for (;;) {
        i = SkipBlanks(s, i);
        if (i >= s.size()) {
            complete_ = true;
            return;
        }
        if (s[i] == '#') {
            bool at_line_start = i == 0 || s[i - 1] == '\n';
            SieveRule rule;
            if (at_line_start && s.compare(i, kRuleComment.size(), kRuleComment) == 0 &&
                ReadRule(s, i, &rule)) {
                i = rule.offset + rule.length;
                rules_.push_back(std::move(rule));
            } else {
                i = LineEndAfter(s, i);
            }
            continue;
        }
        if (s.compare(i, 2, "/*") == 0) {
            std::size_t close = s.find("*/", i + 2);
            if (close == npos)
                return; // an unclosed comment hides the rest
            i = close + 2;
            continue;
        }
        std::size_t end = SkipCommand(s, i, 0);
        if (end == npos)
            return; // the rest does not parse: nothing more is understood
        if (IdentAt(s, i) == "require") {
            Require r{i, end - i, {}};
            std::vector<Token> t;
            if (Tokens(s, i, end, &t))
                for (const Token& token : t)
                    if (token.kind == Token::String)
                        r.extensions.push_back(Unquote(token.text));
            requires_.push_back(std::move(r));
        }
        i = end;
    }
}

bool SieveScript::Requires(std::string_view extension) const {
    for (const Require& r : requires_)
        for (const std::string& e : r.extensions)
            if (e == extension)
                return true;
    return false;
}

std::string SieveScript::LineEnd() const {
    std::size_t nl = text_.find('\n');
    return nl != std::string::npos && nl > 0 && text_[nl - 1] == '\r' ? "\r\n" : "\n";
}

int SieveScript::DeleteRules(std::string_view name) {
    int deleted = 0;
    for (auto it = rules_.rbegin(); it != rules_.rend(); ++it) {
        if (SameRuleName(it->name, name)) {
            text_.erase(it->offset, it->length);
            ++deleted;
        }
    }
    if (deleted > 0)
        Scan();
    return deleted;
}

HRESULT SieveScript::AddRule(std::string_view name, const HeaderTest& test,
                             std::string_view mailbox, bool enabled, RulePlace place) {
    if (HasBreakOrNul(name) || HasBreakOrNul(test.value) || HasBreakOrNul(mailbox) ||
        !IsHeaderName(test.header))
        return MAPI_E_INVALID_PARAMETER;
    if (!complete_)
        return MAPI_E_CORRUPT_DATA;
    const std::string eol = LineEnd();
    if (!Requires("fileinto")) {
        if (requires_.empty()) {
            text_.insert(0, "require [\"fileinto\"];" + eol);
        } else {
            // Widen the first require's list (or single string) by one.
            const Require& r = requires_.front();
            std::string_view s = std::string_view(text_).substr(r.offset, r.length);
            std::size_t close = s.rfind(']');
            if (close != npos) {
                bool empty_list = Trim(s.substr(s.find('[') + 1, close - s.find('[') - 1)).empty();
                text_.insert(r.offset + close, empty_list ? "\"fileinto\"" : ",\"fileinto\"");
            } else {
                std::size_t open = s.find('"');
                std::size_t end = SkipQuoted(s, open);
                text_.insert(r.offset + end, ",\"fileinto\"]");
                text_.insert(r.offset + open, "[");
            }
        }
        Scan();
    }
    std::string condition =
        "header :contains " + SieveQuote(test.header) + " " + SieveQuote(test.value);
    std::string block = "# rule:[" + std::string(name) + "]" + eol +
                        (enabled ? "if " + condition : "if false # " + condition) + eol + "{" +
                        eol + "\tfileinto " + SieveQuote(mailbox) + ";" + eol + "}" + eol;
    std::size_t at = text_.size();
    if (place == RulePlace::First && !requires_.empty()) {
        const Require& last = requires_.back();
        at = LineEndAfter(text_, last.offset + last.length);
    } else if (place == RulePlace::First) {
        at = 0;
    }
    if (at == text_.size() && !text_.empty() && text_.back() != '\n')
        block = eol + block; // the last line gets its end; nothing else changes
    text_.insert(at, block);
    Scan();
    return S_OK;
}

} // namespace dovecot
