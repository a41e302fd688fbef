// Mailbox names: modified UTF-7 both ways, and the namespace read from what
// the server lists.
#include "platform/dovecot/mailbox_names.h"

#include <gtest/gtest.h>

namespace {

TEST(MailboxNames, ModifiedUtf7BothWays) {
    const struct {
        const char* utf8;
        const char* mutf7;
    } pairs[] = {
        {"INBOX", "INBOX"},
        {"Bücher", "B&APw-cher"},
        {"Tom & Jerry", "Tom &- Jerry"},
        {"~peter/mail/台北/日本語", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
        {"Entwürfe/Ältere", "Entw&APw-rfe/&AMQ-ltere"},
        {"😀", "&2D3eAA-"},
        {"", ""},
    };
    for (const auto& p : pairs) {
        SCOPED_TRACE(p.utf8);
        EXPECT_EQ(dovecot::Utf8ToMutf7(p.utf8), p.mutf7);
        std::string back = "untouched";
        ASSERT_TRUE(dovecot::Mutf7ToUtf8(p.mutf7, &back));
        EXPECT_EQ(back, p.utf8);
    }
    // Not well formed: raw 8-bit, unclosed, a stray character, bits left
    // over, a lone surrogate, an empty shift.
    for (const char* bad : {"B\xc3\xbc"
                            "cher",
                            "&APw", "&AP!w-", "&AP-", "&2D0-", "&,-"}) {
        SCOPED_TRACE(bad);
        std::string out = "untouched";
        EXPECT_FALSE(dovecot::Mutf7ToUtf8(bad, &out));
        EXPECT_EQ(out, "untouched");
    }
}

TEST(MailboxNames, NamespaceFromTheListing) {
    using Evidence = dovecot::NamespaceEvidence;
    const struct {
        const char* what;
        Evidence evidence;
        const char* prefix; // null: not inferred
        char separator;
    } cases[] = {
        {"no prefix, nested folders",
         {{"INBOX", "Lists", "Lists/Dev"}, {"INBOX", "Lists"}, true},
         "",
         '/'},
        {"siblings that share a start are not nesting",
         {{"INBOX", "Spam", "Spam-old"}, {"INBOX", "Spam", "Spam-old"}, true},
         "",
         '\0'},
        {"INBOX. shown by the folders",
         {{"INBOX", "INBOX.Spam", "INBOX.A.B"}, {"INBOX"}, false, true, false},
         "INBOX.",
         '.'},
        {"INBOX/ with no folders yet", {{"INBOX"}, {"INBOX"}, false, false, true}, "INBOX/", '/'},
        {"another prefix with no folders",
         {{"INBOX"}, {"INBOX"}, false, false, false},
         nullptr,
         '\0'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dovecot::MailboxNamespace ns;
        ASSERT_EQ(dovecot::InferNamespace(c.evidence, &ns), c.prefix != nullptr);
        if (c.prefix == nullptr)
            continue;
        EXPECT_EQ(ns.prefix, c.prefix);
        EXPECT_EQ(ns.separator, c.separator);
    }
    dovecot::MailboxNamespace dotted{"INBOX.", '.'};
    EXPECT_EQ(dotted.TopLevel("Spam"), "INBOX.Spam");
    EXPECT_EQ(dotted.Split("INBOX.Lists.Dev"), (std::vector<std::string>{"Lists", "Dev"}));
    EXPECT_EQ(dotted.Split("INBOX"), std::vector<std::string>{"INBOX"});
}

} // namespace
