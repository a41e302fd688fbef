#include "tests/support/dovecot_world.h"

#include "platform/dovecot/doveadm_client.h"
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
      client_(std::make_unique<dovecot::Client>(
          dovecot::ClientOptions{server_->base_url(), server_->api_key()})) {}

DovecotWorld::~DovecotWorld() = default;

std::vector<std::string> DovecotWorld::Env() const {
    return {"SORTWELL_INFOSTORE=" + server_->location(),
            "SORTWELL_DOVECOT_KEY_FILE=" + server_->key_file()};
}

void DovecotWorld::AddMailboxes(const std::vector<std::string>& aliases) {
    std::vector<DovecotUser> users;
    for (const std::string& alias : aliases)
        users.push_back({alias, fields_.count(alias) ? fields_.at(alias) : ""});
    server_->AddUsers(users);
}

dovecot::MailboxNamespace DovecotWorld::Namespace(const std::string& alias) const {
    dovecot::MailboxNamespace ns;
    EXPECT_EQ(client_->Namespace(alias, &ns), S_OK) << alias << ": " << client_->LastError();
    return ns;
}

std::string DovecotWorld::MailboxName(const std::string& alias, const std::string& path) const {
    if (path == "Inbox")
        return "INBOX";
    const dovecot::MailboxNamespace ns = Namespace(alias);
    std::string name = path;
    std::replace(name.begin(), name.end(), '/', ns.separator == '\0' ? '/' : ns.separator);
    return ns.TopLevel(name);
}

std::string DovecotWorld::PathOf(const std::string& alias, const std::string& mailbox) const {
    if (mailbox == "INBOX")
        return "Inbox";
    std::string path;
    for (const std::string& part : Namespace(alias).Split(mailbox))
        path += (path.empty() ? "" : "/") + part;
    return path;
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

std::vector<Folder> DovecotWorld::Folders(const std::string& alias) const {
    const dovecot::MailboxNamespace ns = Namespace(alias);
    std::vector<dovecot::MailboxStatusInfo> inbox, others;
    HRESULT inbox_hr = S_OK, others_hr = S_OK;
    dovecot::Batch batch;
    batch.MailboxStatus(alias, {"INBOX"}, &inbox, &inbox_hr);
    batch.MailboxStatus(alias, {ns.prefix + "*"}, &others, &others_hr);
    // A broken user's mailboxes cannot be listed: it shows none.
    EXPECT_EQ(client_->Execute(batch), S_OK) << client_->LastError();
    std::vector<Folder> folders;
    for (const auto* list : {&inbox, &others})
        for (const dovecot::MailboxStatusInfo& box : *list)
            if (box.name != "INBOX" || list == &inbox)
                folders.push_back(
                    {PathOf(alias, box.name), box.guid, static_cast<std::int64_t>(box.messages)});
    std::sort(folders.begin(), folders.end(),
              [](const Folder& a, const Folder& b) { return a.path < b.path; });
    return folders;
}

std::pair<std::string, std::string> DovecotWorld::ActiveScript(const std::string& alias) const {
    std::vector<dovecot::SieveScriptInfo> scripts;
    EXPECT_EQ(client_->SieveList(alias, &scripts), S_OK) << client_->LastError();
    for (const dovecot::SieveScriptInfo& script : scripts)
        if (script.active) {
            std::string text;
            EXPECT_EQ(client_->SieveGet(alias, script.name, &text), S_OK);
            return {script.name, text};
        }
    return {"", ""};
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
    const dovecot::SieveScript script(ActiveScript(alias).second);
    const std::vector<Folder> folders = Folders(alias);
    std::vector<RuleView> views;
    for (std::size_t i = 0; i < script.rules().size(); ++i) {
        const dovecot::SieveRule& rule = script.rules()[i];
        RuleView view;
        // A block of any other name is the user's, kept byte for byte
        // wherever it moves. A block of the agent's name is written by the
        // agent, which puts a rule it rewrites where its rules go: where it
        // stands among the rules tells it from the one it replaced.
        view.key = script.text().substr(rule.offset, rule.length);
        if (SameTextIgnoringCase(rule.name, kRuleName))
            view.key += "#" + std::to_string(i);
        view.name = rule.name;
        view.enabled = rule.enabled;
        if (rule.fileinto) {
            const std::string path = PathOf(alias, *rule.fileinto);
            for (const Folder& folder : folders)
                if (folder.path == path)
                    view.target = path;
        }
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
    std::vector<std::string> query{"all"};
    if (!folder.empty())
        query = {"mailbox", MailboxName(alias, folder)};
    std::vector<dovecot::FetchedMessage> fetched;
    EXPECT_EQ(client_->Fetch(alias, {"mailbox", "hdr.subject", "body"}, query, &fetched), S_OK)
        << client_->LastError();
    std::vector<Message> messages;
    for (const dovecot::FetchedMessage& fields : fetched) {
        Message message;
        for (const auto& [field, value] : fields) {
            if (field == "mailbox")
                message.folder = PathOf(alias, value);
            else if (field == "hdr.subject")
                message.subject = value;
            else if (field == "body")
                message.body = value;
        }
        messages.push_back(message);
    }
    return messages;
}

Failure DovecotWorld::Break(const std::string& alias) {
    server_->SetFields(alias, kBrokenMail);
    return {28007, kTemporaryFailure};
}

void DovecotWorld::Mend(const std::string& alias) {
    server_->SetFields(alias, fields_.count(alias) ? fields_.at(alias) : "");
}

} // namespace swtest
