// The Sieve rule-block editor on users' scripts: what it lists, what adding
// and deleting the agent's block does to the bytes around it.
#include "platform/dovecot/sieve_script.h"

#include <gtest/gtest.h>

namespace {

using dovecot::HeaderTest;
using dovecot::RulePlace;
using dovecot::SieveScript;

// The rules as one line each: name, on/off, the simple header test or the
// raw test in braces, and the fileinto target.
std::string Describe(const SieveScript& script) {
    std::string out;
    for (const dovecot::SieveRule& r : script.rules())
        out += r.name + (r.enabled ? " on " : " off ") +
               (r.header ? r.header->header + "=" + r.header->value : "{" + r.test + "}") + " -> " +
               r.fileinto.value_or("-") + "\n";
    return out;
}

const std::string kForeign = "# rule:[Lists]\n"
                             "if header :contains \"List-Id\" \"dev\"\n"
                             "{\n\tfileinto \"Lists\";\n}\n";
const std::string kOurs = "# rule:[Spam rule]\n"
                          "if header :contains \"X-Spam-Flag\" \"YES\"\n"
                          "{\n\tfileinto \"Spam\";\n}\n";

TEST(SieveScriptEditor, AddsAndDeletesOnlyItsOwnBlock) {
    const HeaderTest marker{"X-Spam-Flag", "YES"};
    struct Case {
        const char* what;
        std::string before;
        std::string op; // add, add-first, add-off, delete:<name>
        std::string after;
        std::string rules_after;
    };
    const std::string vacation = "require [\"vacation\"];\n/* keep { this */\n"
                                 "vacation text:\n# rule:[Not a rule]\n}\n.\n;\n";
    const Case cases[] = {
        {"empty script gets a require", "", "add", "require [\"fileinto\"];\n" + kOurs,
         "Spam rule on X-Spam-Flag=YES -> Spam\n"},
        {"foreign rules, multi-line text and comments stay", vacation + kForeign, "add",
         "require [\"vacation\",\"fileinto\"];\n/* keep { this */\n"
         "vacation text:\n# rule:[Not a rule]\n}\n.\n;\n" +
             kForeign + kOurs,
         "Lists on List-Id=dev -> Lists\nSpam rule on X-Spam-Flag=YES -> Spam\n"},
        {"a single-string require becomes a list", "require \"body\";\r\nkeep;", "add",
         "require [\"body\",\"fileinto\"];\r\nkeep;\r\n# rule:[Spam rule]\r\n"
         "if header :contains \"X-Spam-Flag\" \"YES\"\r\n{\r\n\tfileinto \"Spam\";\r\n}\r\n",
         "Spam rule on X-Spam-Flag=YES -> Spam\n"},
        {"first place is after the require", "require [\"fileinto\"];\n" + kForeign, "add-first",
         "require [\"fileinto\"];\n" + kOurs + kForeign,
         "Spam rule on X-Spam-Flag=YES -> Spam\nLists on List-Id=dev -> Lists\n"},
        {"disabled block", "require [\"fileinto\"];\n", "add-off",
         "require [\"fileinto\"];\n# rule:[Spam rule]\n"
         "if false # header :contains \"X-Spam-Flag\" \"YES\"\n{\n\tfileinto \"Spam\";\n}\n",
         "Spam rule off X-Spam-Flag=YES -> Spam\n"},
        {"delete any case, every copy, nothing else",
         "require [\"fileinto\"];\n" + kOurs + kForeign +
             "# rule:[SPAM RULE]\r\n"
             "if false # anyof (true)\r\n{ fileinto :flags \"\\\\Seen\" \"Spam\"; stop; }\r\n# "
             "end\n",
         "delete:spam Rule", "require [\"fileinto\"];\n" + kForeign + "# end\n",
         "Lists on List-Id=dev -> Lists\n"},
        {"non-ASCII names and folders survive",
         "# rule:[Büro]\nif header :contains \"Subject\" \"Grüße\" { fileinto \"Entwürfe\"; }\n",
         "delete:nope",
         "# rule:[Büro]\nif header :contains \"Subject\" \"Grüße\" { fileinto \"Entwürfe\"; }\n",
         "Büro on Subject=Grüße -> Entwürfe\n"},
        {"other tests and a broken tail stay unparsed",
         "# rule:[Big]\nif allof (size :over 1M, true) { discard; }\n# rule:[Broken]\nif true {",
         "delete:Spam rule",
         "# rule:[Big]\nif allof (size :over 1M, true) { discard; }\n# rule:[Broken]\nif true {",
         "Big on {allof (size :over 1M, true)} -> -\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SieveScript script(c.before);
        if (c.op.rfind("delete:", 0) == 0) {
            script.DeleteRules(c.op.substr(7));
        } else {
            ASSERT_EQ(script.AddRule("Spam rule", marker, "Spam", c.op != "add-off",
                                     c.op == "add-first" ? RulePlace::First : RulePlace::Last),
                      S_OK);
            // Deleting the block again leaves the script as it was, but for
            // the require, which never loses anything.
            SieveScript undone(script.text());
            EXPECT_EQ(undone.DeleteRules("SPAM RULE"), 1);
            EXPECT_TRUE(undone.Requires("fileinto"));
        }
        EXPECT_EQ(script.text(), c.after);
        EXPECT_EQ(Describe(script), c.rules_after);
    }
}

TEST(SieveScriptEditor, MarkersBecomeEscapedHeaderTestsOrAreRefused) {
    const struct {
        const char* marker;
        const char* header; // null: refused
        const char* value;
        const char* written;
    } cases[] = {
        {"X-Spam-Flag: YES", "X-Spam-Flag", "YES", R"("X-Spam-Flag" "YES")"},
        {"  X-Spam-Level:***  ", "X-Spam-Level", "***", R"("X-Spam-Level" "***")"},
        {R"(X-Verdict: say "spam" \o/)", "X-Verdict", R"(say "spam" \o/)",
         R"("X-Verdict" "say \"spam\" \\o/")"},
        {"X-Flag:", "X-Flag", "", R"("X-Flag" "")"},
        {"SPAM", nullptr, nullptr, nullptr},
        {": YES", nullptr, nullptr, nullptr},
        {"Spam flag: YES", nullptr, nullptr, nullptr},
        {"X-Spam: a\nb", nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.marker);
        std::string why;
        std::optional<HeaderTest> test = dovecot::HeaderTestFromMarker(c.marker, &why);
        ASSERT_EQ(test.has_value(), c.header != nullptr);
        if (!test) {
            EXPECT_NE(why, "");
            continue;
        }
        SieveScript script("");
        ASSERT_EQ(script.AddRule("r", *test, "Spam", true, RulePlace::Last), S_OK);
        EXPECT_NE(script.text().find(std::string("header :contains ") + c.written + "\n"),
                  std::string::npos);
        ASSERT_EQ(script.rules().size(), 1u);
        ASSERT_TRUE(script.rules()[0].header.has_value());
        EXPECT_EQ(script.rules()[0].header->header, c.header);
        EXPECT_EQ(script.rules()[0].header->value, c.value);
    }
    SieveScript script("keep;\n");
    EXPECT_EQ(script.AddRule("two\nlines", {"X", "Y"}, "Spam", true, RulePlace::Last),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(script.text(), "keep;\n");
    // A block added after what cannot be read would never be listed again.
    for (const char* unclosed : {"keep;\nif true { stop;\n", "keep; /* note\n"}) {
        SieveScript broken(unclosed);
        EXPECT_EQ(broken.AddRule("r", {"X", "Y"}, "Spam", true, RulePlace::Last),
                  MAPI_E_CORRUPT_DATA);
        EXPECT_EQ(broken.text(), unclosed);
    }
}

} // namespace
