// sortwell-store as a user runs it: exit status, one-line errors that change
// nothing, JSON listings, delivery through rules, faults and the demo.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <fstream>

#include "platform/infostore/infostore_util.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace swtest {
namespace {

using Json = nlohmann::json;

// sortwell-store with SORTWELL_INFOSTORE naming `store` (none when empty).
ProcessResult RunStore(const std::vector<std::string>& args, const std::string& store,
                       const std::string& input = "") {
    std::vector<std::string> env;
    if (!store.empty())
        env.push_back("SORTWELL_INFOSTORE=" + store);
    return RunProgram(StoreProgram(), args, env, input);
}

// True when text matches shape character by character, 'd' standing for any digit.
// (std::regex trips GCC 12's maybe-uninitialized warning under the sanitizer builds.)
bool HasShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : text[i] != shape[i])
            return false;
    }
    return true;
}

const Json* Find(const Json& list, const std::string& key, const std::string& value) {
    for (const Json& item : list)
        if (item.contains(key) && item[key] == value)
            return &item;
    return nullptr;
}

class StoreCli : public ::testing::Test {
protected:
    ProcessResult Store(const std::vector<std::string>& args, const std::string& input = "") {
        return RunStore(args, store_, input);
    }
    // Runs a command that must succeed.
    std::string Ok(const std::vector<std::string>& args, const std::string& input = "") {
        ProcessResult r = Store(args, input);
        EXPECT_EQ(r.exit_code, 0) << args[0] << ": " << r.err;
        EXPECT_EQ(r.err, "") << args[0];
        return r.out;
    }
    // Runs a command that must fail with exactly one line naming `problem`.
    void Refused(const std::vector<std::string>& args, const std::string& problem,
                 const std::string& input = "") {
        ProcessResult r = Store(args, input);
        EXPECT_EQ(r.exit_code, 1) << args[0];
        EXPECT_EQ(r.err, "sortwell-store: " + problem + "\n") << args[0];
        EXPECT_EQ(r.out, "") << args[0];
    }
    Json Listing(std::vector<std::string> args) {
        args.push_back("--json");
        const std::string out = Ok(args);
        Json value = Json::parse(out, nullptr, false);
        EXPECT_TRUE(value.is_array()) << out;
        return value.is_array() ? value : Json::array();
    }

    TempDir dir_{"store_cli"};
    std::string store_ = dir_.file("store.db");
};

TEST_F(StoreCli, ErrorsAreOneLineWithStatusOneAndChangeNothing) {
    // No store yet.
    Refused({"folders", "alice"}, "store file not found: " + store_);
    Refused({"frobnicate"}, "unknown command: frobnicate (see sortwell-store --help)");
    Refused({}, "no command given (see sortwell-store --help)");
    Refused({"init"}, "init needs --server NAME");
    ASSERT_EQ(access(store_.c_str(), F_OK), -1) << "a failed command made a store";

    Ok({"init", "--server", "mail1"});
    Ok({"add-mailbox", "alice", "--display", "Alice Example"});
    const std::string before = Ok({"mailboxes", "--json"});
    Refused({"init", "--server", "mail2"}, "store file already exists: " + store_);
    Refused({"add-mailbox", "ALICE"}, "mailbox already exists: ALICE");
    Refused({"add-mailbox", "bob", "--server", "mail9"}, "unknown server: mail9");
    Refused({"add-mailbox"}, "missing alias (see sortwell-store --help)");
    Refused({"add-mailbox", "bob", "--colour", "red"}, "unknown option for this command: --colour");
    Refused({"add-mailbox", "bob", "extra", "--server", "mail1"}, "unexpected argument: extra");
    Refused({"add-mailboxes", "x", "--prefix", "u"}, "invalid count: x");
    Refused({"folders", "nobody"}, "unknown mailbox: nobody");
    Refused({"messages", "alice", "Nowhere"}, "no folder \"Nowhere\" in mailbox alice");
    Refused({"folder", "delete", "alice", "Inbox/Sub"}, "no folder \"Inbox/Sub\" in mailbox alice");
    Refused({"rule", "delete", "alice", "999"}, "mailbox alice has no rule 999");
    Refused({"rule", "disable", "alice", "--name", "missing"}, "mailbox alice has no rule named "
                                                               "missing");
    Refused({"rule", "add", "alice", "--marker", "x"},
            "rule add needs --folder PATH or --no-actions");
    Refused({"fault", "add", "IMAPIFolder::Explode", "--hr", "0x80004005"},
            "unknown operation: IMAPIFolder::Explode");
    Refused({"fault", "add", "IMAPIFolder::CreateFolder"},
            "fault add needs --hr CODE or --delay MS");
    Refused({"fault", "add", "IMAPIFolder::CreateFolder", "--hr", "0xZZ"},
            "invalid result code: 0xZZ (give 0xHHHHHHHH or a name)");
    Refused({"fault", "add", "IMAPIFolder::CreateFolder", "--hr", "E_FAIL", "--mailbox", "x"},
            "unknown mailbox: x");
    Refused({"demo"}, "the demo needs a store without mailboxes");
    Refused({"add-mailbox", "bob", "--json"}, "--json is not available for add-mailbox");
    Refused({"fault", "clear", "--json"}, "--json is not available for fault clear");
    EXPECT_EQ(Ok({"mailboxes", "--json"}), before);
    EXPECT_EQ(Listing({"messages", "alice"}).size(), 0u);
    EXPECT_EQ(Listing({"fault", "list"}).size(), 0u);

    // A file that is no store.
    std::ofstream(store_, std::ios::binary | std::ios::trunc) << std::string(3000, 'j');
    unlink((store_ + "-wal").c_str());
    unlink((store_ + "-shm").c_str());
    Refused({"mailboxes"}, "not a store file (or damaged): " + store_);
    // --store wins over the environment; --help answers without a store.
    ProcessResult r = RunStore({"--store", store_ + ".none", "servers"}, store_);
    EXPECT_EQ(std::pair(r.exit_code, r.err),
              std::pair(1, "sortwell-store: store file not found: " + store_ + ".none\n"));
    r = RunStore({"--help"}, "");
    EXPECT_EQ(std::pair(r.exit_code, r.out.rfind("Usage: sortwell-store", 0)), std::pair(0, 0ul));
    EXPECT_NE(r.out.find("fault add OPERATION"), std::string::npos);
    r = RunStore({"--version"}, "");
    EXPECT_EQ(std::pair(r.exit_code, r.out.rfind("sortwell-store ", 0)), std::pair(0, 0ul));
}

// As a mail server's delivery command, deliver says in its exit status
// whether to bounce the message (67, 65, 64) or keep it and retry (75).
// Faults added to the same store are then listed and cleared.
TEST_F(StoreCli, DeliveryExitsWithTheCodesAMailServerActsOnAndFaultsAreListed) {
    Ok({"init", "--server", "mail1"});
    Ok({"add-mailbox", "alice"});
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(store_.c_str(), &holder), SQLITE_OK);
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string said; // on standard output when delivered, else on standard error
    };
    const std::string mail = "Subject: x\n\nhi\n";
    const std::vector<Case> cases = {
        {{"deliver", "alice"}, mail, 0, "delivered to alice: Inbox\n"},
        {{"deliver", "alice", "--json"},
         mail,
         0,
         R"({"mailbox": "alice", "folder": "Inbox", "rule": null})"},
        {{"deliver", "nobody"}, mail, 67, "unknown mailbox: nobody"},
        {{"deliver", "alice"}, " \r\n", 65, "the message is empty"},
        {{"deliver", "alice", "--age", "-3"}, mail, 64, "invalid age: -3 (days, 0 to 100000)"},
        {{"--wait", "0.2", "deliver", "alice"}, mail, 75, "database is locked"},
        {{"--store", store_ + ".none", "deliver", "alice"}, mail, 75, "store file not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        const bool locked = c.args.front() == "--wait";
        if (locked) {
            ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr),
                      SQLITE_OK);
        }
        ProcessResult r = Store(c.args, c.input);
        if (locked)
            sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
        EXPECT_EQ(r.exit_code, c.status) << r.err;
        EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.said), std::string::npos) << r.err;
        EXPECT_EQ(r.err.empty(), c.status == 0) << r.err;
    }
    sqlite3_close(holder);
    EXPECT_EQ(Listing({"messages", "alice"}).size(), 2u) << "only the two deliveries went in";

    // Faults are listed as JSON and as text, and cleared.
    EXPECT_EQ(Ok({"fault", "add", "IMAPIFolder::CreateFolder", "--mailbox", "alice", "--hr",
                  "0x80070005", "--times", "2"}),
              "added fault 1\n");
    Ok({"fault", "add", "IMsgStore::GetProps", "--hr", "MAPI_W_ERRORS_RETURNED"});
    Json faults = Listing({"fault", "list"});
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(std::tuple(faults[0]["operation"], faults[0]["mailbox"], faults[0]["hr"],
                         faults[0]["remaining"]),
              std::tuple("IMAPIFolder::CreateFolder", "alice", "0x80070005", 2));
    EXPECT_EQ(std::tuple(faults[1]["mailbox"], faults[1]["hr"], faults[1]["remaining"]),
              std::tuple("*", "0x00040380", nullptr));
    EXPECT_EQ(Ok({"fault", "list"}), "1\tIMAPIFolder::CreateFolder\talice\t0x80070005\t2 left\n"
                                     "2\tIMsgStore::GetProps\t*\t0x00040380\talways\n");
    Ok({"fault", "clear"});
    EXPECT_EQ(Listing({"fault", "list"}).size(), 0u);
}

TEST_F(StoreCli, MailGoesThroughTheRulesAndTheListingsShowIt) {
    Ok({"init", "--server", "mail1", "--org", "Example", "--site", "Lab"});
    Ok({"add-mailbox", "alice", "--display", "Alice \"Al\" Example"});
    Ok({"folder", "create", "alice", "Spam"});
    EXPECT_EQ(Ok({"rule", "add", "alice", "--name", "_Corvane Spam Folder Rule_", "--marker",
                  "X-Spam-Flag: YES", "--folder", "spam"}),
              "added rule 1\n");

    // Delivered as a mail server's delivery command would: message on stdin.
    EXPECT_EQ(Ok({"deliver", "alice"}, "From: a@b\nx-spam-flag: yes\nSubject: Spam one\n\nBuy!\n"),
              "delivered to alice: Spam (rule 1)\n");
    EXPECT_EQ(Ok({"deliver", "alice", "--age", "10"},
                 "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?= \x01\n\nHi\n"),
              "delivered to alice: Inbox\n");

    Json folders = Listing({"folders", "alice"});
    const Json* spam = Find(folders, "path", "Spam");
    ASSERT_NE(spam, nullptr);
    EXPECT_EQ(
        std::tuple((*spam)["messages"], (*spam)["kind"], folders[0]["path"], folders[0]["name"]),
        std::tuple(1, "user", "/", "Top of Information Store"));
    EXPECT_EQ((*Find(folders, "path", "Inbox"))["kind"], "inbox");

    Json messages = Listing({"messages", "alice"});
    ASSERT_EQ(messages.size(), 2u);
    const Json* greeting = Find(messages, "subject", "Grüße \x01");
    ASSERT_NE(greeting, nullptr);
    EXPECT_EQ((*greeting)["folder"], "Inbox");
    EXPECT_TRUE(
        HasShape((*greeting)["delivery_time"].get<std::string>(), "dddd-dd-ddTdd:dd:dd.dddZ"))
        << (*greeting)["delivery_time"];
    EXPECT_EQ((*greeting)["body"], "Hi\n");
    // Ten days old, give or take the time the test takes.
    double age_days = (static_cast<double>(infostore::FileTimeNow()) -
                       (*greeting)["delivery_filetime"].get<double>()) /
                      864000000000.0;
    EXPECT_NEAR(age_days, 10.0, 0.01);
    EXPECT_EQ((*Find(messages, "subject", "Spam one"))["headers"],
              "From: a@b\nx-spam-flag: yes\nSubject: Spam one\n");

    Json rules = Listing({"rules", "alice"});
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(std::tuple(rules[0]["name"], rules[0]["provider"], rules[0]["user_flags"],
                         rules[0]["target"]),
              std::tuple("_Corvane Spam Folder Rule_", "MSExchange.Rules", nullptr, "Spam"));
    EXPECT_EQ(rules[0]["condition"],
              "content(PR_TRANSPORT_MESSAGE_HEADERS, substring|ignorecase|loose, "
              "\"X-Spam-Flag: YES\")");

    // Disabled: mail stays in the Inbox. Target deleted: the rule names a
    // missing folder.
    EXPECT_EQ(Ok({"rule", "disable", "alice", "--name", "_corvane spam folder rule_"}),
              "disabled rule 1\n");
    EXPECT_EQ(Ok({"deliver", "alice"}, "X-Spam-Flag: YES\n\n"), "delivered to alice: Inbox\n");
    Ok({"rule", "state", "alice", "1", "1"});
    Ok({"folder", "delete", "alice", "SPAM"});
    EXPECT_EQ(Ok({"deliver", "alice"}, "X-Spam-Flag: YES\n\n"), "delivered to alice: Inbox\n");
    rules = Listing({"rules", "alice"});
    EXPECT_TRUE(rules[0]["target"].is_null());
    EXPECT_EQ(rules[0]["actions"], "move(<missing folder>)");

    // Invalid rows the agent must cope with.
    Ok({"rule", "add", "alice", "--name", "Foreign", "--provider", "Other", "--no-level",
        "--no-condition", "--no-actions"});
    Ok({"rule", "add", "alice", "--name", "Broken", "--marker", "x", "--folder", "Inbox",
        "--corrupt-condition"});
    rules = Listing({"rules", "alice"});
    ASSERT_EQ(rules.size(), 3u);
    for (const char* absent : {"level", "condition", "actions"})
        EXPECT_TRUE(rules[1][absent].is_null()) << absent;
    EXPECT_EQ(rules[2]["condition"], "<corrupt: 8004011b>");
    EXPECT_EQ(Ok({"rule", "delete", "alice", "--name", "foreign"}), "deleted rule 2\n");
    EXPECT_EQ(Listing({"rules", "alice"}).size(), 2u);

    Json mailboxes = Listing({"mailboxes"});
    ASSERT_EQ(mailboxes.size(), 1u);
    EXPECT_EQ(mailboxes[0]["display_name"], "Alice \"Al\" Example");
    EXPECT_EQ(mailboxes[0]["dn"], "/o=Example/ou=Lab/cn=Recipients/cn=alice");
    Ok({"add-server", "mail2"});
    Ok({"add-mailboxes", "3", "--prefix", "u", "--server", "mail2"});
    Ok({"add-mailboxes", "2", "--prefix", "u", "--server", "mail2"});
    EXPECT_EQ(Listing({"mailboxes", "--server", "mail2"})[4]["alias"], "u5");
    EXPECT_EQ(Listing({"servers"})[1]["dn"],
              "/o=Example/ou=Lab/cn=Configuration/cn=Servers/cn=mail2");
}

TEST_F(StoreCli, TheDemoBuildsAnOrganisationToWorkOn) {
    EXPECT_EQ(Ok({"demo", "--server", "demo1", "--mailboxes", "3"}),
              "demo organisation built in " + store_ + "\n");
    Json mailboxes = Listing({"mailboxes"});
    ASSERT_EQ(mailboxes.size(), 4u);
    EXPECT_EQ(mailboxes[0]["alias"], "sortwell");
    EXPECT_EQ(mailboxes[3]["alias"], "user3");
    Json messages = Listing({"messages", "user2"});
    ASSERT_EQ(messages.size(), 4u);
    int marked = 0;
    for (const Json& m : messages)
        marked += m["headers"].get<std::string>().find("X-Spam-Flag: YES") != std::string::npos;
    EXPECT_EQ(marked, 2);
    Json rules = Listing({"rules", "user1"});
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0]["provider"], "Demo.Client");
    Refused({"demo"}, "the demo needs a store without mailboxes");
}

} // namespace
} // namespace swtest
