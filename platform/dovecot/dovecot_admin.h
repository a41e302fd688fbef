// What an administrator (sortwell-store) reads of a Dovecot server, straight
// through the doveadm HTTP API: the users, each user's folders, the rule
// blocks of the active Sieve script and the messages. The agent never uses
// it: it goes through the store's MAPI objects (dovecot_backend.cpp).
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dovecot/doveadm_client.h"
#include "platform/dovecot/sieve_script.h"

namespace dovecot {

struct AdminFolder {
    std::string path;    // below the namespace root, levels joined by '/'; INBOX is "Inbox"
    std::string mailbox; // the full mailbox name (UTF-8)
    std::string guid;
    std::uint64_t messages = 0;
};

struct AdminRule {
    SieveRule rule;
    std::string block;                 // the block's text, byte for byte
    std::optional<std::string> target; // the path of the fileinto folder, when it exists
};

struct AdminMessage {
    std::string folder; // path
    std::string subject;
    std::int64_t received = 0; // seconds since 1970
    std::string body;
};

class Admin {
public:
    // The location's endpoint and the key from the key file; `error` says
    // what is wrong on failure.
    static HRESULT Open(const std::string& location, std::unique_ptr<Admin>* admin,
                        std::string* error);
    Admin(ClientOptions options) : client_(std::move(options)) {}

    const std::string& LastError() const { return client_.LastError(); }
    Client& client() { return client_; }

    HRESULT Users(std::vector<std::string>* users);
    HRESULT Namespace(const std::string& user, MailboxNamespace* ns);
    // The full mailbox name of a folder path ("Inbox" is INBOX).
    HRESULT MailboxName(const std::string& user, const std::string& path, std::string* name);
    std::string PathOf(const MailboxNamespace& ns, const std::string& mailbox) const;
    // Sorted by path.
    HRESULT Folders(const std::string& user, std::vector<AdminFolder>* folders);
    // The active script's name and text (both "" when none is active).
    HRESULT ActiveScript(const std::string& user, std::string* name, std::string* text);
    HRESULT Rules(const std::string& user, std::vector<AdminRule>* rules);
    // Every message, or those of one folder path.
    HRESULT Messages(const std::string& user, const std::string& folder,
                     std::vector<AdminMessage>* messages);

private:
    Client client_;
};

} // namespace dovecot
