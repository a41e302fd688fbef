// A real Dovecot as a World (a private instance, tests/support/
// dovecot_server.h): users from a passwd file, folders as mailboxes, rules
// as the blocks of each user's active Sieve script, mail delivered through
// dovecot-lda (and so through the user's Sieve rules) or placed straight
// into a Maildir folder with an age. Everything is read back through the
// doveadm HTTP API and the Sieve reader, independently of the agent's
// backend.
#pragma once
#include "tests/support/dovecot_server.h"
#include "tests/support/world.h"

#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

namespace dovecot {
class Admin;
class Client;
} // namespace dovecot

namespace swtest {

class DovecotWorld : public World {
public:
    // `fields`: extra passwd fields for the users added later (by name).
    explicit DovecotWorld(std::map<std::string, std::string> fields = {});
    ~DovecotWorld() override;

    std::string Name() const override { return "dovecot"; }
    std::vector<std::string> Env() const override;
    void AddMailboxes(const std::vector<std::string>& aliases) override;
    std::string Address(const std::string& alias) const override { return alias; }
    void CreateFolder(const std::string& alias, const std::string& path) override;
    void DeleteFolder(const std::string& alias, const std::string& path) override;
    std::vector<Folder> Folders(const std::string& alias) const override;
    void AddRule(const std::string& alias, const RuleSpec& rule) override;
    // Keyed by the block's text (and, for the agent's name, its place).
    std::vector<RuleView> Rules(const std::string& alias) const override;
    void Deliver(const std::string& alias, const std::string& subject, bool spam,
                 double age_days = 0, const std::string& folder = "") override;
    std::vector<Message> Messages(const std::string& alias,
                                  const std::string& folder = "") const override;
    // The user's mail location points where nothing can be made: Dovecot
    // fails every mail command for the user as a temporary failure.
    Failure Break(const std::string& alias) override;
    void Mend(const std::string& alias) override;

    // ---- This server only ----------------------------------------------------------------
    DovecotServer& server() { return *server_; }
    // Gives a user extra passwd fields (a namespace of its own, say), now
    // or when it is added.
    void SetUserFields(const std::string& alias, const std::string& fields);
    // The active script's name and text ("" when the user has none).
    std::pair<std::string, std::string> ActiveScript(const std::string& alias) const;
    // Stores `text` as the user's active script, as a webmail would
    // (without checking it); false when the server refuses it.
    bool PutScript(const std::string& alias, const std::string& text) const;
    // The full mailbox name of a folder path ("Inbox" is INBOX).
    std::string MailboxName(const std::string& alias, const std::string& path) const;

private:
    std::map<std::string, std::string> fields_;
    std::set<std::string> added_;
    std::unique_ptr<DovecotServer> server_;
    std::unique_ptr<dovecot::Admin> admin_;
    dovecot::Client* client_;
};

} // namespace swtest
