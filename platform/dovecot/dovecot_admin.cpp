#include "platform/dovecot/dovecot_admin.h"

#include <algorithm>
#include <cstdlib>

#include "platform/dovecot/dovecot_location.h"

namespace dovecot {

HRESULT Admin::Open(const std::string& location, std::unique_ptr<Admin>* admin,
                    std::string* error) {
    Location parsed;
    HRESULT hr = ParseLocation(location, &parsed, error);
    if (FAILED(hr))
        return hr;
    ClientOptions options;
    options.base_url = parsed.base_url;
    hr = ReadApiKey(KeyFilePath(), &options.api_key, error);
    if (FAILED(hr))
        return hr;
    *admin = std::make_unique<Admin>(std::move(options));
    return S_OK;
}

HRESULT Admin::Users(std::vector<std::string>* users) {
    return client_.Users(users);
}

HRESULT Admin::Namespace(const std::string& user, MailboxNamespace* ns) {
    return client_.Namespace(user, nullptr, ns);
}

std::string Admin::PathOf(const MailboxNamespace& ns, const std::string& mailbox) const {
    if (mailbox == "INBOX")
        return "Inbox";
    std::string path;
    for (const std::string& part : ns.Split(mailbox))
        path += (path.empty() ? "" : "/") + part;
    return path;
}

HRESULT Admin::MailboxName(const std::string& user, const std::string& path, std::string* name) {
    if (path == "Inbox") {
        *name = "INBOX";
        return S_OK;
    }
    MailboxNamespace ns;
    HRESULT hr = Namespace(user, &ns);
    if (FAILED(hr))
        return hr;
    std::string levels = path;
    std::replace(levels.begin(), levels.end(), '/', ns.separator == '\0' ? '/' : ns.separator);
    *name = ns.TopLevel(levels);
    return S_OK;
}

HRESULT Admin::Folders(const std::string& user, std::vector<AdminFolder>* folders) {
    MailboxNamespace ns;
    HRESULT hr = Namespace(user, &ns);
    if (FAILED(hr))
        return hr;
    // INBOX named alone shows even before it was first opened.
    std::vector<MailboxStatusInfo> inbox, others;
    HRESULT inbox_hr = S_OK, others_hr = S_OK;
    Batch batch;
    batch.MailboxStatus(user, {"INBOX"}, &inbox, &inbox_hr);
    batch.MailboxStatus(user, {ns.prefix + "*"}, &others, &others_hr);
    hr = client_.Execute(batch);
    if (FAILED(hr))
        return hr;
    if (FAILED(inbox_hr))
        return inbox_hr;
    if (FAILED(others_hr))
        return others_hr;
    for (const auto* list : {&inbox, &others})
        for (const MailboxStatusInfo& box : *list)
            if (box.name != "INBOX" || list == &inbox)
                folders->push_back({PathOf(ns, box.name), box.name, box.guid, box.messages});
    std::sort(folders->begin(), folders->end(),
              [](const AdminFolder& a, const AdminFolder& b) { return a.path < b.path; });
    return S_OK;
}

HRESULT Admin::ActiveScript(const std::string& user, std::string* name, std::string* text) {
    std::vector<SieveScriptInfo> scripts;
    HRESULT hr = client_.SieveList(user, &scripts);
    if (FAILED(hr))
        return hr;
    name->clear();
    text->clear();
    for (const SieveScriptInfo& script : scripts)
        if (script.active) {
            *name = script.name;
            return client_.SieveGet(user, script.name, text);
        }
    return S_OK;
}

HRESULT Admin::Rules(const std::string& user, std::vector<AdminRule>* rules) {
    std::string name, text;
    HRESULT hr = ActiveScript(user, &name, &text);
    if (FAILED(hr))
        return hr;
    // Where the mailboxes cannot be listed, no target is known to exist.
    std::vector<AdminFolder> folders;
    if (FAILED(Folders(user, &folders)))
        folders.clear();
    const SieveScript script(text);
    for (const SieveRule& rule : script.rules()) {
        AdminRule row{rule, text.substr(rule.offset, rule.length), std::nullopt};
        for (const AdminFolder& folder : folders)
            if (rule.fileinto && (folder.mailbox == *rule.fileinto ||
                                  (folder.mailbox == "INBOX" && *rule.fileinto == "INBOX")))
                row.target = folder.path;
        rules->push_back(std::move(row));
    }
    return S_OK;
}

HRESULT Admin::Messages(const std::string& user, const std::string& folder,
                        std::vector<AdminMessage>* messages) {
    MailboxNamespace ns;
    HRESULT hr = Namespace(user, &ns);
    if (FAILED(hr))
        return hr;
    std::vector<std::string> query{"all"};
    if (!folder.empty()) {
        std::string name;
        hr = MailboxName(user, folder, &name);
        if (FAILED(hr))
            return hr;
        query = {"mailbox", name};
    }
    std::vector<FetchedMessage> fetched;
    hr = client_.Fetch(user, {"mailbox", "date.received.unixtime", "hdr.subject", "body"}, query,
                       &fetched);
    if (FAILED(hr))
        return hr;
    for (const FetchedMessage& fields : fetched) {
        AdminMessage message;
        for (const auto& [field, value] : fields) {
            if (field == "mailbox")
                message.folder = PathOf(ns, value);
            else if (field == "date.received.unixtime")
                message.received = std::atoll(value.c_str());
            else if (field == "hdr.subject")
                message.subject = value;
            else if (field == "body")
                message.body = value;
        }
        messages->push_back(std::move(message));
    }
    return S_OK;
}

} // namespace dovecot
