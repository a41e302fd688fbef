// Messages built to confuse the spam marker test, delivered through the
// store with the agent's rule in place. The rule moves a message when its
// header block, as received, holds the marker in any case (also beyond
// ASCII). The block ends at the first empty line or at the first line that
// is no header field; a marker broken by a folded line is not the marker. A
// NUL reads as a space; bytes that are no UTF-8 never swallow the text next
// to them, and a letter written with an overlong sequence is not that letter.
#include "tests/support/store_fixture.h"

namespace testing_store {
namespace {

// A string literal with the NUL bytes inside it.
template <std::size_t N> std::string Raw(const char (&text)[N]) {
    return std::string(text, N - 1);
}

class HostileDelivery : public SpamFolderTest {
protected:
    // Where `message` ends up with the agent's rule for `marker` in place,
    // added and deleted the agent's way.
    std::string Route(const std::string& marker, const std::string& message) {
        infostore::DeliveryResult result;
        EXPECT_EQ(
            mapi_AddMessageMoveRule(box_.rules, box_.store, kRuleName, 0, W(marker).c_str(), spam_),
            S_OK);
        EXPECT_EQ(admin_->Deliver(alice_.alias, message, {}, &result), S_OK);
        EXPECT_EQ(mapi_DeleteRule(box_.rules, box_.view, kRuleName), S_OK);
        return result.folder_path;
    }
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
        {"last line without line end", kMarker, "Subject: s\r\nX-SPAM-FLAG: Yes", "Spam"},
        {"after a folded field", kMarker, "Received: from a\r\n\tby b\r\nX-Spam-Flag: YES\r\n\r\n",
         "Spam"},
        {"inside a header name", "X-Spam", "X-Spamassassin-Version: 3.4\r\n\r\n", "Spam"},
        {"in the subject field", kMarker, "Subject: about X-Spam-Flag: YES\r\n\r\n", "Spam"},
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

} // namespace
} // namespace testing_store
