// Mailbox names as IMAP and Dovecot write them.
//
// The doveadm HTTP API speaks UTF-8 names by default (mailboxList's "mutf7"
// flag asks for the IMAP form). IMAP clients, Maildir folder names on disk
// and older tools use modified UTF-7 (RFC 3501, 5.1.3): printable ASCII
// stands for itself, '&' is written "&-", anything else is '&', the UTF-16
// code units in base64 with ',' for '/', no padding, and '-'.
//
// A name is a path in one namespace: the namespace prefix (often "" or, after
// migrations from Courier, "INBOX.") and then the components joined by the
// namespace's separator ('/' or '.'). "INBOX" is the inbox in every layout.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace dovecot {

// Modified UTF-7 form of a UTF-8 name (ill-formed UTF-8 becomes U+FFFD).
std::string Utf8ToMutf7(std::string_view utf8);
// UTF-8 form of a modified UTF-7 name; false, with `utf8` untouched, when
// `mutf7` is not well formed (a byte outside printable ASCII, an unclosed or
// empty shift, base64 that does not make whole UTF-16 units, bits left over,
// a lone surrogate).
bool Mutf7ToUtf8(std::string_view mutf7, std::string* utf8);

// The namespace that holds a user's INBOX, as the server shows it.
struct MailboxNamespace {
    std::string prefix; // "" or e.g. "INBOX." (always ends with the separator)
    // The hierarchy separator; '\0' when the server's answers did not show it
    // (no nested folders and no prefix), in which case no name needs
    // splitting and a top-level folder is its name alone.
    char separator = '\0';

    // The full name of the top-level folder `leaf` ("Spam" -> "INBOX.Spam").
    std::string TopLevel(std::string_view leaf) const { return prefix + std::string(leaf); }
    // The components of `name` below the namespace root: "INBOX.Lists.Dev"
    // -> {"Lists", "Dev"}; "INBOX" -> {"INBOX"}. A name outside the prefix
    // comes back whole as one component.
    std::vector<std::string> Split(std::string_view name) const;
};

// Masks that together find every mailbox of a user in the layouts handled
// here (no prefix, "INBOX." and "INBOX/"), INBOX itself included.
inline const std::vector<std::string> kEveryMailboxMasks{"INBOX", "*", "INBOX.*", "INBOX/*"};

// What the server answered, from which the namespace is inferred:
struct NamespaceEvidence {
    std::vector<std::string> all;   // mailboxList with the mask "*"
    std::vector<std::string> top;   // mailboxList with the mask "%"
    bool bare_name_valid = false;   // mailboxPath of a name without prefix found a path
    bool inbox_dot_valid = false;   // ... of "INBOX.<name>"
    bool inbox_slash_valid = false; // ... of "INBOX/<name>"
};

// Infers the namespace. False when the answers fit no layout handled here
// (the inbox namespace has a prefix other than "INBOX." or "INBOX/" and the
// user has no folders that show it).
//
// How: a name without prefix resolves only when a namespace has the empty
// prefix; otherwise the prefix is the one the folders show ("INBOX" and the
// separator), or the INBOX-based candidate the server accepts. The separator
// is the character between a listed parent and a child that the "%" listing
// (which never crosses a separator) leaves out.
bool InferNamespace(const NamespaceEvidence& evidence, MailboxNamespace* out);

} // namespace dovecot
