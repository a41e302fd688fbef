// A test's own world for running the real programs: a temporary folder
// holding the store, hive, profiles, event file and log file of one test,
// sortwell-store's listings read back, and the checks the end-to-end tests
// share.
#pragma once
#include "tests/support/files.h"
#include "tests/support/hive.h"
#include "tests/support/json.h"
#include "tests/support/log_entries.h"
#include "tests/support/notify.h"
#include "tests/support/process.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace swtest {

// ---- What the store holds, as sortwell-store lists it --------------------------------------

struct Rule {
    std::int64_t id = 0;
    std::optional<std::int64_t> sequence, state, level;
    std::optional<std::string> provider, name, target;
    std::string condition; // empty when the rule has none
};

struct Folder {
    std::string path;
    std::string entry_id;
    std::int64_t messages = 0;
};

struct Message {
    std::string folder;
    std::string subject;
    std::string body;
};

struct Fault {
    std::string operation;
    std::string mailbox;
    std::optional<std::int64_t> remaining; // none: always
};

// ---- A test's own world -------------------------------------------------------------------

// The catalogue text "<intro>:\n<address>\n(hr=<eight hex digits>)." that a
// mailbox failure is reported with.
std::string MailboxFailure(const std::string& intro, const std::string& address, std::uint32_t hr);

// What the profiles file says of the agent's temporary profiles: true while
// it names one (they are called swl_ and the time they were made).
bool HoldsAgentProfile(const std::string& profiles);

// A temporary folder holding everything one test's agent and store use,
// removed at the end. The store's server is this machine, so the hive needs
// no "Server" value.
class Sandbox {
public:
    std::string file(const std::string& name) const { return dir_.file(name); }
    std::string store_path() const { return file("store.db"); }
    std::string hive_path() const { return file("hive.reg"); }
    std::string profiles_path() const { return file("profiles"); }
    std::string events_path() const { return file("events.jsonl"); }
    std::string log_path() const { return file("agent.log"); }
    // The environment of every program the test starts.
    std::vector<std::string> Env() const;

    // The hive: the agent's three required values ("Alias" sortwell, "Spam
    // Folder" Spam, "Spam SubString" X-Spam-Flag: YES) unless `lines`
    // replaces one of them, then `lines` (.reg syntax) in order, then a
    // maintenance window that is closed now unless `lines` name one.
    void WriteHive(const std::vector<std::string>& lines = {}) const;

    // sortwell-store with `args`; a failing command fails the test.
    ProcessResult StoreCommand(const std::vector<std::string>& args,
                               const std::string& input = "") const;
    // A store with this machine as its server, the agent's mailbox
    // "sortwell" and the mailboxes `aliases`.
    void CreateStore(const std::vector<std::string>& aliases) const;
    std::string MailboxDn(const std::string& alias) const;
    // Every mailbox's alias, in the order the store lists them.
    std::vector<std::string> Aliases() const;
    std::vector<Rule> Rules(const std::string& alias) const;
    // The rules of the agent's name (any case), in table order.
    std::vector<Rule> AgentRules(const std::string& alias) const;
    std::vector<Folder> Folders(const std::string& alias) const;
    std::optional<Folder> FindFolder(const std::string& alias, const std::string& path) const;
    std::vector<Message> Messages(const std::string& alias, const std::string& folder = "") const;
    std::vector<Fault> Faults() const;
    // Adds a rule through `rule add` and returns its id.
    std::int64_t AddRule(const std::string& alias, const std::vector<std::string>& options) const;
    // Adds a rule as the agent makes it (its name and marker) moving to
    // `folder`, which is made first unless it is there; `options` add to
    // the rule's ("--state", "0"). Returns its id.
    std::int64_t AddAgentRule(const std::string& alias, const std::string& folder,
                              const std::vector<std::string>& options = {}) const;
    void AddFault(const std::string& operation, const std::string& mailbox, std::uint32_t hr,
                  int times = -1) const;
    // Delivers a message, marked as spam or not, `age_days` old, into
    // `folder` without rules, or through the rules when `folder` is empty.
    void Deliver(const std::string& alias, const std::string& subject, bool spam,
                 double age_days = 0, const std::string& folder = "") const;

    // The agent run to its end, and started in the background (as a service
    // when `notify` is given).
    ProcessResult RunAgent(const std::vector<std::string>& args, int timeout_ms = 60000) const;
    std::unique_ptr<Process> StartAgent(const std::vector<std::string>& args,
                                        const NotifySocket* notify = nullptr,
                                        const std::vector<std::string>& extra_env = {}) const;

    std::string Log() const;
    std::vector<LogEntry> LogEntries() const;
    // How many catalogue messages of `id` the log holds.
    int LogCount(int id) const;
    std::string Events() const;
    std::string Profiles() const;

private:
    TempDir dir_{"sortwell-e2e"};
};

// ---- Checks shared by the tests --------------------------------------------------------------

constexpr const char* kRuleName = "_Corvane Spam Folder Rule_";
// How sortwell-store shows the condition of the rule the agent adds.
constexpr const char* kAgentCondition =
    "content(PR_TRANSPORT_MESSAGE_HEADERS, substring|ignorecase|loose, \"X-Spam-Flag: YES\")";

// Expects exactly one rule of the agent's name in the mailbox, as the agent
// adds it (enabled, sequence 1001, level 0, its provider and condition),
// moving to `target`; returns it.
Rule ExpectOneAgentRule(const Sandbox& sandbox, const std::string& alias,
                        const std::string& target);

// The rules (id, provider, name, state, target; unless `with_rules` is
// false) and folders (path, entry id, message count) of the mailboxes, one
// line each, to compare before and after a run.
std::string Describe(const Sandbox& sandbox, const std::vector<std::string>& aliases,
                     bool with_rules = true);

// The warnings and errors in the log, one line each (empty when none).
std::string Problems(const Sandbox& sandbox);

} // namespace swtest

// The end-to-end tests' own namespace sees everything above.
namespace e2e {
using namespace swtest;
} // namespace e2e
