// Messages built to confuse the spam marker test, delivered through the
// store with the agent's rule in place.
//
// What a user can count on: the rule moves a message when its header block,
// as received, holds the marker, ignoring case (also beyond ASCII). Header
// names are part of that text. The header block ends at the first empty line
// or at the first line that is no header field; what follows is the body,
// which the rule does not look at. A marker broken by a folded line is not
// the marker: the rule reads the header text as received, as the server's
// own rule does, so a message that gets past it here gets past it there too.
// A NUL byte reads as a space, so it cannot hide what follows it; bytes that
// are no UTF-8 never swallow the text next to them, and a letter written
// with an overlong byte sequence is not that letter.
#include "tests/hostile/hostile_support.h"

namespace hostile {
namespace {

const std::string kMarker = "X-Spam-Flag: YES";

// A string literal with the NUL bytes inside it.
template <std::size_t N> std::string Raw(const char (&text)[N]) {
    return std::string(text, N - 1);
}

class HostileDelivery : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(store_.Create()); }

    // Where `message` ends up with the agent's rule for `marker` in place.
    std::string Route(const std::string& marker, const std::string& message) {
        const std::int64_t rule = store_.AddAgentRule(marker);
        const std::string folder = store_.Deliver(message);
        EXPECT_EQ(store_.admin().DeleteRule("alice", rule), S_OK);
        return folder;
    }

    TempDir dir_{"sortwell-hostile"};
    StoreFile store_{dir_.file("store.db")};
};

TEST_F(HostileDelivery, TheMarkerCountsOnlyInTheHeaderBlockAsReceived) {
    struct Case {
        const char* what;
        std::string marker;
        std::string message;
        const char* folder;
    };
    const std::string long_run(1 << 20, 'a');
    const std::vector<Case> cases = {
        {"marker line", kMarker, "Received: from a\r\nX-Spam-Flag: YES\r\nSubject: s\r\n\r\nhi",
         "Spam"},
        {"other case", kMarker, "x-spam-flag: yes\r\n\r\n", "Spam"},
        {"last line without line end", kMarker, "Subject: s\r\nX-SPAM-FLAG: Yes", "Spam"},
        {"after a folded field", kMarker, "Received: from a\r\n\tby b\r\nX-Spam-Flag: YES\r\n\r\n",
         "Spam"},
        {"inside a header name", "X-Spam", "X-Spamassassin-Version: 3.4\r\n\r\n", "Spam"},
        {"in the subject field", kMarker, "Subject: about X-Spam-Flag: YES\r\n\r\n", "Spam"},
        {"LF line ends", kMarker, "From: a\nX-Spam-Flag: YES\n\nbody\n", "Spam"},
        {"CR without LF joins the lines", kMarker, "Subject: s\rX-Spam-Flag: YES\r\n\r\n", "Spam"},
        {"split by a fold", kMarker, "X-Spam-Flag:\r\n YES\r\n\r\n", "Inbox"},
        {"split by a tab fold", kMarker, "Subject: s\r\nX-Spam-Flag: \r\n\tYES\r\n\r\n", "Inbox"},
        {"in the body only", kMarker, "Subject: s\r\n\r\nX-Spam-Flag: YES\r\n", "Inbox"},
        {"after a line that is no field", kMarker,
         "Subject: s\r\nthis line is no header field\r\nX-Spam-Flag: YES\r\n\r\n", "Inbox"},
        // A line of white space only is no empty line: it continues the
        // field above it.
        {"after a line of white space", kMarker, "Subject: s\r\n \r\nX-Spam-Flag: YES\r\n", "Spam"},
        {"after a long line", kMarker, "X-Long: " + long_run + "\r\nX-Spam-Flag: YES\r\n\r\n",
         "Spam"},
        {"at the end of a long line", kMarker, "X-Long: " + long_run + "X-Spam-Flag: YES\r\n\r\n",
         "Spam"},
        {"after a long folded field", kMarker,
         "X-Long: a\r\n" + std::string(200000, ' ') + "b\r\nX-Spam-Flag: YES\r\n\r\n", "Spam"},
        {"NUL before the marker", kMarker, Raw("Subject: a\0b\r\nX-Spam-Flag: YES\r\n\r\n"),
         "Spam"},
        {"NUL inside the marker", kMarker, Raw("X-Spam\0Flag: YES\r\n\r\n"), "Inbox"},
        {"NUL in the first field name", kMarker, Raw("X-Sp\0am: 1\r\nX-Spam-Flag: YES\r\n\r\n"),
         "Inbox"},
        {"bytes that are no UTF-8", kMarker,
         "X-Junk: \xff\xfe\xc3\r\nX-Other: \xe2X-Spam-Flag: YES\xf0\x9f\r\n\r\n", "Spam"},
        {"overlong letter in the marker", kMarker, "X-Check: X-Spam-Fl\xc1\xa1g: YES\r\n\r\n",
         "Inbox"},
        {"letters beyond ASCII in any case",
         "Spam-Pr\xc3\xbc"
         "fung: JA",
         "X-Check: SPAM-PR\xc3\x9c"
         "FUNG: ja\r\n\r\n",
         "Spam"},
        {"a Latin-1 byte is no letter",
         "Spam-Pr\xc3\xbc"
         "fung: JA",
         "X-Check: Spam-Pr\xfc"
         "fung: JA\r\n\r\n",
         "Inbox"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Route(c.marker, c.message), c.folder);
    }
}

TEST_F(HostileDelivery, HostileMessagesAreStoredWholeAsReceived) {
    store_.AddAgentRule(kMarker);

    // Bytes that are no UTF-8 stay as they came, in headers and body.
    const std::string odd = "X-Junk: \xff\xfe\xc3(\r\nX-Spam-Flag: YES\r\n";
    ASSERT_EQ(store_.Deliver(odd + "\r\nbody \xc0\xaf\r\n"), "Spam");
    infostore::MessageInfo stored = store_.Last();
    EXPECT_EQ(stored.headers, odd);
    EXPECT_EQ(stored.body, "body \xc0\xaf\r\n");

    // A NUL is kept as a space in every part, the subject included.
    ASSERT_EQ(store_.Deliver(Raw("Subject: a\0b =?utf-8?q?c=00d?=\r\n\r\nx\0y")), "Inbox");
    stored = store_.Last();
    EXPECT_EQ(stored.headers, "Subject: a b =?utf-8?q?c=00d?=\r\n");
    EXPECT_EQ(stored.subject, "a b c d");
    EXPECT_EQ(stored.body, "x y");

    // Ten thousand header fields and a subject of a million characters
    // folded over a thousand lines: all of it kept, the subject unfolded.
    std::string headers;
    for (int i = 0; i < 10000; ++i) {
        headers += "X-Field-" + std::to_string(i) + ": value\r\n";
    }
    std::string subject = "Subject: ";
    for (int i = 0; i < 1000; ++i) {
        subject += std::string(1000, static_cast<char>('a' + i % 26)) + "\r\n ";
    }
    subject += "end\r\n";
    ASSERT_EQ(store_.Deliver(headers + subject + kMarker + "\r\n\r\nbody"), "Spam");
    stored = store_.Last();
    EXPECT_EQ(stored.headers.size(), headers.size() + subject.size() + kMarker.size() + 2);
    EXPECT_EQ(stored.subject.size(), 1000u * 1001u + 3u);
    EXPECT_EQ(stored.subject.substr(0, 3), "aaa");
    EXPECT_EQ(stored.subject.substr(stored.subject.size() - 5),
              std::string(1, static_cast<char>('a' + 999 % 26)) + " end");
    EXPECT_EQ(stored.body, "body");

    // A message of nothing but white space, or of NUL bytes, is refused
    // with a reason, and nothing is stored.
    std::vector<infostore::MessageInfo> before;
    ASSERT_EQ(store_.admin().ListMessages("alice", "", &before), S_OK);
    for (const std::string& empty : {std::string(" \r\n\t\r\n"), std::string(8, '\0')}) {
        EXPECT_EQ(store_.admin().Deliver("alice", empty, infostore::DeliveryOptions()),
                  MAPI_E_INVALID_PARAMETER);
        EXPECT_EQ(store_.admin().LastError(), "the message is empty");
    }
    std::vector<infostore::MessageInfo> after;
    ASSERT_EQ(store_.admin().ListMessages("alice", "", &after), S_OK);
    EXPECT_EQ(after.size(), before.size());
}

} // namespace
} // namespace hostile
