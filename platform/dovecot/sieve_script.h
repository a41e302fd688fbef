// A user's Sieve script as a sequence of rule blocks, in the convention
// webmail filter editors use, so that users keep editing their rules in the
// browser while the agent keeps its own rule in the same script:
//
//   require ["fileinto"];
//   # rule:[Lists]
//   if header :contains "List-Id" "dev.example.org"
//   {
//           fileinto "Lists";
//   }
//   # rule:[Old rule]
//   if false # header :contains "Subject" "sale"
//   {
//           discard;
//   }
//
// A rule block is the comment line "# rule:[NAME]" at the start of a line
// and the if command that follows it (with any elsif and else), through the
// end of the line its closing brace is on. A disabled rule's test is written
// "false" followed by the real test as a comment. Everything else (other
// commands, comments, blocks that do not parse) is kept byte for byte,
// whatever its line ends or encoding; the editor never reformats. Only the
// top-level require commands and the blocks it adds or deletes change.
//
// Reading is linear in the script's size and never fails: what is not
// understood is simply not listed as a rule.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mailstore/mapidefs.h"

namespace dovecot {

// header :contains "header" "value"
struct HeaderTest {
    std::string header;
    std::string value;
};

struct SieveRule {
    std::string name;
    bool enabled = true;
    // The test as written (for a disabled rule, the comment after "false"),
    // without surrounding white space.
    std::string test;
    // The test, when it is exactly the simple form `header :contains "Name"
    // "value"` (strings unescaped).
    std::optional<HeaderTest> header;
    // The mailbox of the block's first top-level fileinto (unescaped).
    std::optional<std::string> fileinto;
    // Where the block lies in the script.
    std::size_t offset = 0;
    std::size_t length = 0;
};

// The Sieve quoted string holding `text` ('"' and '\' escaped).
std::string SieveQuote(std::string_view text);

// The header test that stands for a marker "Name: value" found in a
// message's header block: `header :contains "Name" "value"` (the value
// without surrounding blanks; the comparator ignores ASCII case, as the
// marker search does). Sieve cannot search the raw header block, so a marker
// without a header name in front of a colon ("SPAM", ": x", "Spam flag: x")
// or one spanning lines has no such form: nullopt, with the reason in `why`,
// for the caller to refuse once at start rather than write a rule that would
// match something else.
std::optional<HeaderTest> HeaderTestFromMarker(std::string_view marker, std::string* why);

enum class RulePlace {
    First, // right after the require commands, before every other command
    Last,  // at the end of the script
};

class SieveScript {
public:
    explicit SieveScript(std::string text);

    const std::string& text() const { return text_; }
    // The rule blocks, in script order.
    const std::vector<SieveRule>& rules() const { return rules_; }
    // True when a top-level require names `extension`.
    bool Requires(std::string_view extension) const;
    // True when the whole script was understood as commands; false when
    // reading stopped at something it could not follow (an unclosed block
    // or string), after which no rule is listed.
    bool complete() const { return complete_; }

    // Deletes every rule block whose name equals `name` without regard to
    // case (as the agent compares rule names). Returns how many went.
    int DeleteRules(std::string_view name);

    // Adds a block named `name` that files messages passing `test` into
    // `mailbox` (disabled when `enabled` is false), and makes sure a
    // top-level require names "fileinto": an existing require gains it, or a
    // new `require ["fileinto"];` starts the script. The new text uses the
    // script's line ends (CRLF when its first line ends so). S_OK;
    // MAPI_E_INVALID_PARAMETER when a name, the header or the mailbox holds a
    // line break or NUL, or the header is not a header name;
    // MAPI_E_CORRUPT_DATA, changing nothing, when the script is not
    // complete() (a block added after what cannot be read would never be
    // seen again, and be added anew every time).
    HRESULT AddRule(std::string_view name, const HeaderTest& test, std::string_view mailbox,
                    bool enabled, RulePlace place);

private:
    struct Require {
        std::size_t offset = 0, length = 0;
        std::vector<std::string> extensions;
    };
    void Scan();
    std::string LineEnd() const;

    std::string text_;
    std::vector<SieveRule> rules_;
    std::vector<Require> requires_;
    bool complete_ = true;
};

} // namespace dovecot
