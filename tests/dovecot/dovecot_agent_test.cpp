// What only a real Dovecot can do to the agent: users' scripts as webmail
// and people write them (CRLF line ends, non-ASCII text, thousands of rules,
// scripts that do not compile or cannot be read to the end), folders whose
// names are not ASCII or live below INBOX., and a server that goes away in
// the middle of a pass. The real agent runs against a private Dovecot; mail
// is delivered through dovecot-lda and so through the users' Sieve scripts.
#include "platform/dovecot/sieve_script.h"
#include "tests/support/dovecot_world.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <map>

namespace swtest {
namespace {

constexpr std::uint32_t kBadValue = 0x80040301;    // MAPI_E_BAD_VALUE: does not compile
constexpr std::uint32_t kCorruptData = 0x8004011B; // MAPI_E_CORRUPT_DATA: cannot be read
// A server going away: the connection refused or dropped, or doveadm's
// temporary failure while it stops.
constexpr std::uint32_t kNetworkError = 0x80040115;
constexpr std::uint32_t kBusy = 0x8004010B;

DovecotWorld& DovecotOf(Sandbox& sandbox) {
    return dynamic_cast<DovecotWorld&>(sandbox.world());
}

std::string Repeat(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

// The user's mail: one marked message and one the user's own rule files.
void DeliverBoth(World& world, const std::string& alias) {
    world.Deliver(alias, "Cheap watches", true);
    world.Deliver(alias, "[dev] release", false);
}

// A user's own rules survive every pass byte for byte, whatever the script
// looks like, and go on filing; a script the agent cannot safely extend is
// reported with the mailbox and left exactly as it is.
TEST(DovecotScripts, AUsersOwnScriptIsKeptByteForByteOrReportedAndLeftAlone) {
    const std::string lists = "# rule:[Lists]\nif header :contains \"Subject\" \"[dev]\"\n{\n"
                              "\tfileinto \"Lists\";\n}\n";
    struct Case {
        const char* user;
        std::string script;
        std::uint32_t reported; // the code of the mailbox's report (28013), 0 none
    };
    const std::vector<Case> cases = {
        {"crlf",
         "require [\"fileinto\"];\r\n# rule:[Lists]\r\nif header :contains \"Subject\" "
         "\"[dev]\"\r\n{\r\n\tfileinto \"Lists\";\r\n}\r\n",
         0},
        {"utf8",
         "require \"fileinto\";\n# rule:[Réunions à Zürich]\nif header :contains \"Subject\" "
         "\"[dev]\"\n{\n\tfileinto \"Lists\";\n}\n",
         0},
        // Close to the most rules the agent reads (1024) and to Pigeonhole's
        // largest script (1 MB).
        {"large",
         "require [\"fileinto\"];\n" + Repeat("# " + std::string(98, 'x') + "\n", 5000) +
             Repeat(lists, 1000),
         0},
        // A test Pigeonhole does not know: the script does not compile, with
        // the agent's block or without, so the old one stays active.
        {"uncompiled",
         "require [\"fileinto\"];\n" + lists + "if header :sortwell \"a\" \"b\" { keep; }\n",
         kBadValue},
        // An unclosed block: nothing after it could be read back.
        {"unclosed", "require [\"fileinto\"];\n" + lists + "if true {\n", kCorruptData},
    };
    Sandbox sandbox(WorldKind::Dovecot);
    DovecotWorld& world = DovecotOf(sandbox);
    sandbox.WriteHive({Dword("ThreadCount", 2)});
    std::vector<std::string> users;
    for (const Case& c : cases)
        users.push_back(c.user);
    world.AddMailboxes(users);
    std::string reported;
    for (const Case& c : cases) {
        world.CreateFolder(c.user, "Lists");
        world.server().WriteActiveScript(c.user, "roundcube", c.script);
        if (c.reported != 0)
            reported += "WARNING [28013] " +
                        MailboxFailure("Could not create rule for Mailbox", c.user, c.reported) +
                        "\n";
    }
    for (int pass = 1; pass <= 2; ++pass) {
        SCOPED_TRACE(pass);
        const ProcessResult run = sandbox.RunAgent({"once"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.user);
            const std::string now = world.ActiveScript(c.user).second;
            if (c.reported != 0) {
                EXPECT_EQ(now, c.script);
                continue;
            }
            ExpectOneAgentRule(world, c.user, "Spam");
            // The user's text is all there, in order, with our block after it
            // (and "fileinto" already required).
            EXPECT_EQ(now.substr(0, c.script.size()), c.script);
        }
    }
    // Each run is the first pass of its agent.
    EXPECT_EQ(Problems(sandbox), reported + reported);
    for (const Case& c : cases) {
        if (c.reported != 0)
            continue;
        DeliverBoth(world, c.user);
        EXPECT_EQ(Subjects(world.Messages(c.user, "Spam")),
                  std::vector<std::string>{"Cheap watches"})
            << c.user;
        EXPECT_EQ(Subjects(world.Messages(c.user, "Lists")),
                  std::vector<std::string>{"[dev] release"})
            << c.user;
    }
}

// The spam folder is found and made where the user's folders are: in the
// namespace below INBOX. (with '.' between levels) as well as in a namespace
// without a prefix, and under a name that is not ASCII (modified UTF-7 on
// the IMAP side, UTF-8 in Sieve), also for a user whose name needs quoting.
TEST(DovecotFolders, TheSpamFolderIsMadeInTheUsersNamespaceWhateverItsName) {
    const std::string migrated =
        "userdb_namespace/inbox/prefix=INBOX. userdb_namespace/inbox/separator=.";
    struct Case {
        const char* user;
        const char* fields;
        bool existing; // the user has the folder already, named in capitals
    };
    const std::vector<Case> cases = {
        {"plain", "", false},
        {"migrated", migrated.c_str(), false},
        {"migratedcased", migrated.c_str(), true},
        {"cased", "", true},
        {"anne marie+x", "", false}, // a user name that needs quoting
    };
    for (const auto& [folder, capitals] :
         {std::pair<const char*, const char*>{"Indésirables", "INDÉSIRABLES"},
          {"Spam & Co", "SPAM & CO"}}) {
        SCOPED_TRACE(folder);
        Sandbox sandbox(WorldKind::Dovecot);
        DovecotWorld& world = DovecotOf(sandbox);
        sandbox.WriteHive({std::string("\"Spam Folder\"=\"") + folder + "\""});
        std::map<std::string, std::string> kept;
        std::vector<std::string> users;
        for (const Case& c : cases) {
            world.SetUserFields(c.user, c.fields);
            users.push_back(c.user);
        }
        world.AddMailboxes(users);
        for (const Case& c : cases) {
            if (c.existing) {
                world.CreateFolder(c.user, capitals);
                kept[c.user] = world.FindFolder(c.user, capitals)->key;
            }
        }
        const ProcessResult run = sandbox.RunAgent({"once"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(Problems(sandbox), "");
        for (const Case& c : cases) {
            SCOPED_TRACE(c.user);
            const std::string expected = c.existing ? capitals : folder;
            ExpectOneAgentRule(world, c.user, expected);
            if (c.existing) {
                EXPECT_EQ(world.FindFolder(c.user, expected)->key, kept[c.user]);
            }
            EXPECT_EQ(world.server().Deliver(c.user, "Subject: offer\nX-Spam-Flag: YES\n\nx\n"), 0);
            EXPECT_EQ(world.Messages(c.user, expected).size(), 1u);
        }
        EXPECT_EQ(world.MailboxName("migrated", folder), std::string("INBOX.") + folder);
    }
}

// A Dovecot that stops in the middle of a pass and comes back costs the
// mailboxes it failed meanwhile, each reported with the connection's code;
// the next pass repairs them all.
TEST(DovecotRestart, AServerThatGoesAwayMidPassCostsOnlyThoseMailboxes) {
    Sandbox sandbox(WorldKind::Dovecot);
    DovecotWorld& world = DovecotOf(sandbox);
    sandbox.WriteHive({Dword("ThreadCount", 2)});
    std::vector<std::string> users;
    for (int i = 1; i <= 60; ++i)
        users.push_back("user" + std::to_string(i));
    world.AddMailboxes(users);
    NotifySocket notify;
    auto agent = sandbox.StartAgent({}, &notify);
    ASSERT_TRUE(WaitUntil([&] { return !world.Rules("user3").empty(); }, 20000));
    ASSERT_TRUE(world.server().Stop());
    ASSERT_TRUE(world.server().Start());
    std::vector<std::string> seen;
    ASSERT_TRUE(notify.WaitFor("STATUS=Pass 1:", 60000, &seen)) << sandbox.Log();
    int failed = 0;
    for (const LogEntry& entry : sandbox.LogEntries()) {
        if (entry.level != "WARNING" && entry.level != "ERROR")
            continue;
        ++failed;
        char dropped[16], busy[16];
        std::snprintf(dropped, sizeof dropped, "(hr=%08x).", kNetworkError);
        std::snprintf(busy, sizeof busy, "(hr=%08x).", kBusy);
        EXPECT_TRUE(entry.text.find(dropped) != std::string::npos ||
                    entry.text.find(busy) != std::string::npos)
            << entry.text;
    }
    EXPECT_LT(failed, 61) << "the pass went on after the server came back";
    ASSERT_TRUE(agent->Signal(SIGHUP));
    seen.clear();
    ASSERT_TRUE(notify.WaitFor("STATUS=Pass 2:", 60000, &seen)) << sandbox.Log();
    EXPECT_NE(seen.back().find(", 0 failed,"), std::string::npos) << seen.back();
    for (const std::string& user : users)
        ExpectOneAgentRule(world, user, "Spam");
    ASSERT_TRUE(agent->Signal(SIGTERM));
    ASSERT_TRUE(agent->Wait(10000));
}

} // namespace
} // namespace swtest
