#include "tests/support/dovecot_world.h"

#include "platform/dovecot/dovecot_admin.h"
#include "platform/dovecot/mailbox_names.h"
#include "platform/dovecot/sieve_script.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace swtest {
namespace {

constexpr const char* kDoveadm = "/usr/bin/doveadm";
// The mail location of a broken user: below /proc nothing can be made, and
// doveadm fails the user's mail commands as a temporary failure (exit code
// 75).
constexpr const char* kBrokenMail = "userdb_mail=maildir:/proc/sortwell-broken/Maildir";
constexpr std::uint32_t kTemporaryFailure = 0x8004010B; // MAPI_E_BUSY
// The script a user's webmail makes when the user has none.
constexpr const char* kWebmailScript = "roundcube";

std::string Message822(const std::string& alias, const std::string& subject, bool spam) {
    std::string message = "From: someone@example.org\nTo: " + alias + "@example.org\n";
    if (spam)
        message += std::string(kMarker) + "\n";
    return message + "Subject: " + subject + "\n\nHello.\n";
}

} // namespace

DovecotWorld::DovecotWorld(std::map<std::string, std::string> fields)
    : fields_(std::move(fields)),
      server_(std::make_unique<DovecotServer>(std::vector<DovecotUser>{{"sortwell", ""}})),
      admin_(std::make_unique<dovecot::Admin>(
          dovecot::ClientOptions{server_->base_url(), server_->api_key()})),
      client_(&admin_->client()) {}

DovecotWorld::~DovecotWorld() = default;

std::vector<std::string> DovecotWorld::Env() const {
    return {"SORTWELL_INFOSTORE=" + server_->location(),
            "SORTWELL_DOVECOT_KEY_FILE=" + server_->key_file()};
}

void DovecotWorld::AddMailboxes(const std::vector<std::string>& aliases) {
    std::vector<DovecotUser> users;
    for (const std::string& alias : aliases) {
        users.push_back({alias, fields_.count(alias) ? fields_.at(alias) : ""});
        added_.insert(alias);
    }
    server_->AddUsers(users);
}

std::string DovecotWorld::MailboxName(const std::string& alias, const std::string& path) const {
    std::string name;
    EXPECT_EQ(admin_->MailboxName(alias, path, &name), S_OK) << admin_->LastError();
    return name;
}

void DovecotWorld::CreateFolder(const std::string& alias, const std::string& path) {
    EXPECT_EQ(client_->MailboxCreate(alias, MailboxName(alias, path)), S_OK)
        << alias << " " << path << ": " << client_->LastError();
}

void DovecotWorld::DeleteFolder(const std::string& alias, const std::string& path) {
    const ProcessResult r = RunProgram(
        kDoveadm,
        {"-c", server_->config_file(), "mailbox", "delete", "-u", alias, MailboxName(alias, path)},
        {});
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

// A broken user's mailboxes cannot be listed: it shows none.
std::vector<Folder> DovecotWorld::Folders(const std::string& alias) const {
    std::vector<dovecot::AdminFolder> found;
    admin_->Folders(alias, &found);
    std::vector<Folder> folders;
    for (const dovecot::AdminFolder& folder : found)
        folders.push_back({folder.path, folder.guid, static_cast<std::int64_t>(folder.messages)});
    return folders;
}

std::pair<std::string, std::string> DovecotWorld::ActiveScript(const std::string& alias) const {
    std::string name, text;
    EXPECT_EQ(admin_->ActiveScript(alias, &name, &text), S_OK) << admin_->LastError();
    return {name, text};
}

bool DovecotWorld::PutScript(const std::string& alias, const std::string& text) const {
    const std::string name = ActiveScript(alias).first;
    return client_->SievePut(alias, name.empty() ? kWebmailScript : name, text, name.empty()) ==
           S_OK;
}

void DovecotWorld::AddRule(const std::string& alias, const RuleSpec& rule) {
    if (!rule.folder.empty() && !FindFolder(alias, rule.folder))
        CreateFolder(alias, rule.folder);
    dovecot::SieveScript script(ActiveScript(alias).second);
    std::string why;
    const std::optional<dovecot::HeaderTest> test =
        dovecot::HeaderTestFromMarker(rule.marker, &why);
    ASSERT_TRUE(test.has_value()) << why;
    if (rule.folder.empty()) {
        // A rule that files nothing: written as a webmail writes one.
        std::string text = script.text() + "# rule:[" + rule.name + "]\nif " +
                           (rule.enabled ? "" : "false # ") + "header :contains " +
                           dovecot::SieveQuote(test->header) + " " +
                           dovecot::SieveQuote(test->value) + "\n{\n\tkeep;\n}\n";
        script = dovecot::SieveScript(text);
    } else {
        ASSERT_EQ(script.AddRule(rule.name, *test, MailboxName(alias, rule.folder), rule.enabled,
                                 dovecot::RulePlace::Last),
                  S_OK);
    }
    ASSERT_TRUE(PutScript(alias, script.text())) << client_->LastError();
}

std::vector<RuleView> DovecotWorld::Rules(const std::string& alias) const {
    std::vector<dovecot::AdminRule> rules;
    EXPECT_EQ(admin_->Rules(alias, &rules), S_OK) << admin_->LastError();
    std::vector<RuleView> views;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const dovecot::SieveRule& rule = rules[i].rule;
        RuleView view;
        // A block of any other name is the user's, kept byte for byte
        // wherever it moves. A block of the agent's name is written by the
        // agent, which puts a rule it rewrites where its rules go: where it
        // stands among the rules tells it from the one it replaced.
        view.key = rules[i].block;
        if (SameTextIgnoringCase(rule.name, kRuleName))
            view.key += "#" + std::to_string(i);
        view.name = rule.name;
        view.enabled = rule.enabled;
        view.target = rules[i].target;
        view.foreign = !SameTextIgnoringCase(rule.name, kRuleName);
        view.as_agent_makes = rule.name == kRuleName && rule.enabled && rule.header &&
                              rule.header->header == "X-Spam-Flag" && rule.header->value == "YES";
        views.push_back(view);
    }
    return views;
}

void DovecotWorld::Deliver(const std::string& alias, const std::string& subject, bool spam,
                           double age_days, const std::string& folder) {
    const std::string message = Message822(alias, subject, spam);
    if (folder.empty() && age_days <= 0) {
        EXPECT_EQ(server_->Deliver(alias, message), 0) << server_->Log();
        return;
    }
    std::string directory;
    if (!folder.empty() && folder != "Inbox") {
        if (!FindFolder(alias, folder))
            CreateFolder(alias, folder);
        // Maildir++ keeps every level below the inbox in one directory,
        // the levels joined by dots, in modified UTF-7.
        for (const std::string& part : dovecot::MailboxNamespace{}.Split(folder))
            directory += (directory.empty() ? "" : ".") + dovecot::Utf8ToMutf7(part);
    }
    server_->PlaceMessage(alias, directory, message, static_cast<long>(age_days * 86400));
}

std::vector<Message> DovecotWorld::Messages(const std::string& alias,
                                            const std::string& folder) const {
    std::vector<dovecot::AdminMessage> found;
    EXPECT_EQ(admin_->Messages(alias, folder, &found), S_OK) << admin_->LastError();
    std::vector<Message> messages;
    for (const dovecot::AdminMessage& message : found)
        messages.push_back({message.folder, message.subject, message.body});
    return messages;
}

void DovecotWorld::SetUserFields(const std::string& alias, const std::string& fields) {
    const bool added = added_.count(alias) != 0;
    fields_[alias] = fields;
    if (added)
        server_->SetFields(alias, fields);
}

Failure DovecotWorld::Break(const std::string& alias) {
    server_->SetFields(alias, kBrokenMail);
    return {28007, kTemporaryFailure};
}

void DovecotWorld::Mend(const std::string& alias) {
    server_->SetFields(alias, fields_.count(alias) ? fields_.at(alias) : "");
}

} // namespace swtest
