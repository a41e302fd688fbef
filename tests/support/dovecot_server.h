// A private Dovecot for one test: a temporary folder with its own config,
// base_dir, state_dir and instance name, the master in the foreground as the
// test's child, the doveadm HTTP API on a free port of 127.0.0.1 with a random
// key, passwd-file users with Maildir homes, and Sieve (Pigeonhole) applied by
// dovecot-lda and LMTP. Works as root (mail belongs to "nobody", Dovecot's
// own processes to its package users) and as an unprivileged user (everything
// runs as that user). Needs the packages dovecot-core, dovecot-sieve and
// dovecot-lmtpd.
#pragma once
#include "tests/support/files.h"
#include "tests/support/process.h"

#include <memory>
#include <string>
#include <vector>

namespace swtest {

struct DovecotUser {
    std::string name;
    // Extra passwd-file fields, space-separated (userdb_ ones for the
    // userdb), e.g. "userdb_namespace/inbox/prefix=INBOX.
    // userdb_namespace/inbox/separator=." for a user
    // whose folders live below INBOX (the inbox namespace otherwise has no
    // prefix and '/' between levels).
    std::string fields;
};

class DovecotServer {
public:
    // Writes the instance and starts it; a server that does not answer
    // within 10 s fails the test (running() is then false).
    explicit DovecotServer(const std::vector<DovecotUser>& users);
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    bool running() const { return master_ != nullptr; }
    // Adds users to the passwd file (Dovecot reads it again when it
    // changes), or replaces the extra fields of one already there.
    void AddUsers(const std::vector<DovecotUser>& users);
    void SetFields(const std::string& user, const std::string& fields);
    // Stops the master and waits for it to end; Start brings the same
    // instance back (same port, key and mail).
    bool Stop();
    bool Start();

    int port() const { return port_; }
    std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string location() const { return "dovecot:" + base_url(); }
    const std::string& api_key() const { return key_; }
    // A file holding the key, mode 0600.
    std::string key_file() const { return dir_.file("api-key"); }
    std::string home(const std::string& user) const { return dir_.file("mail/" + user); }
    std::string config_file() const { return dir_.file("dovecot.conf"); }
    // Dovecot's own log.
    std::string Log() const;

    // Delivers `message` to `user` with dovecot-lda, through the user's
    // active Sieve script; its exit status (0 delivered).
    int Deliver(const std::string& user, const std::string& message) const;
    // Puts `message` straight into a Maildir folder of `user` ("" the inbox,
    // else the folder's directory name without the leading dot, e.g. "Spam"
    // or "Lists.Dev"), received `age_seconds` ago. Dovecot reads the
    // received date from the file when it first sees it, so this is how a
    // test makes old mail.
    void PlaceMessage(const std::string& user, const std::string& folder,
                      const std::string& message, long age_seconds) const;
    // Makes `text` the user's active Sieve script by writing its file, as a
    // user with a shell could: also a script the server would not compile.
    void WriteActiveScript(const std::string& user, const std::string& name,
                           const std::string& text) const;

private:
    bool WriteConfig();
    void WriteUsers();
    bool WaitForApi(int timeout_ms) const;

    TempDir dir_{"sortwell-dovecot"};
    std::vector<DovecotUser> users_;
    std::string key_;
    int port_ = 0;
    unsigned mail_uid_ = 0, mail_gid_ = 0;
    std::string mail_user_;
    std::unique_ptr<Process> master_;
};

} // namespace swtest
