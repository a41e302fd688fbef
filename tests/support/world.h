// A mail server the agent works on, as the process-level stories see it:
// mailboxes in given states, mail delivered through the server's rules,
// folders, rules and messages read back, and a mailbox made to fail. The
// stories are written once against this interface; each kind of server
// (the embedded store, a real Dovecot) implements it, so the same stories
// run against every one.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace swtest {

constexpr const char* kRuleName = "_Corvane Spam Folder Rule_";
// The marker the stories' hives name, and marked mail carries.
constexpr const char* kMarker = "X-Spam-Flag: YES";

// A rule to put in a mailbox's Inbox.
struct RuleSpec {
    std::string name = kRuleName;
    std::string marker = kMarker; // the header text the rule looks for
    std::string folder;           // the folder it moves to ("" none)
    bool enabled = true;
    // Someone else's rule: another program's (embedded store) or the user's
    // own (a webmail filter).
    bool foreign = false;
};

// A rule as the server holds it.
struct RuleView {
    std::string key; // what tells this very rule apart: changes when it is rewritten
    std::optional<std::string> name;
    bool enabled = false;
    std::optional<std::string> target; // its folder, none when that is gone
    bool foreign = false;
    // Exactly as the agent makes its rule (besides the target).
    bool as_agent_makes = false;
};

struct Folder {
    std::string path;
    std::string key; // the folder's identity (its entry identifier)
    std::int64_t messages = 0;
};

struct Message {
    std::string folder;
    std::string subject;
    std::string body;
};

// What a first pass reports for a mailbox made to fail.
struct Failure {
    int id = 0;
    std::uint32_t hr = 0;
};

class World {
public:
    virtual ~World() = default;
    virtual std::string Name() const = 0;
    // The agent's environment for this server ("NAME=value").
    virtual std::vector<std::string> Env() const = 0;
    // Adds the mailboxes (the first call also makes the server with the
    // agent's own mailbox, "sortwell").
    virtual void AddMailboxes(const std::vector<std::string>& aliases) = 0;
    // How the agent names the mailbox in its messages.
    virtual std::string Address(const std::string& alias) const = 0;

    virtual void CreateFolder(const std::string& alias, const std::string& path) = 0;
    virtual void DeleteFolder(const std::string& alias, const std::string& path) = 0;
    virtual std::vector<Folder> Folders(const std::string& alias) const = 0;
    virtual void AddRule(const std::string& alias, const RuleSpec& rule) = 0;
    // The Inbox's rules in the order the server keeps them.
    virtual std::vector<RuleView> Rules(const std::string& alias) const = 0;
    // A message, marked as spam or not and `age_days` old, delivered through
    // the Inbox's rules, or filed in `folder` without them.
    virtual void Deliver(const std::string& alias, const std::string& subject, bool spam,
                         double age_days = 0, const std::string& folder = "") = 0;
    // The messages of `folder` ("" every folder).
    virtual std::vector<Message> Messages(const std::string& alias,
                                          const std::string& folder = "") const = 0;

    // Makes every pass fail on the mailbox until Mend; returns what the
    // first pass reports for it.
    virtual Failure Break(const std::string& alias) = 0;
    virtual void Mend(const std::string& alias) = 0;

    // ---- Built on the above ---------------------------------------------------------------
    std::vector<RuleView> AgentRules(const std::string& alias) const;
    std::optional<Folder> FindFolder(const std::string& alias, const std::string& path) const;
};

// Every kind of server the stories run against here.
enum class WorldKind { Embedded, Dovecot };
std::unique_ptr<World> MakeWorld(WorldKind kind, const std::string& dir);
std::string WorldName(WorldKind kind);
// How GoogleTest shows a world in a test's name.
inline void PrintTo(WorldKind kind, std::ostream* out) {
    *out << WorldName(kind);
}

// Expects exactly one rule of the agent's name, as the agent makes it,
// moving to `target`; returns it.
RuleView ExpectOneAgentRule(const World& world, const std::string& alias,
                            const std::string& target);

// The rules (unless `with_rules` is false) and folders of the mailboxes,
// one line each, to compare before and after a run.
std::string Describe(const World& world, const std::vector<std::string>& aliases,
                     bool with_rules = true);

// Equal but for the case of ASCII letters.
bool SameTextIgnoringCase(const std::string& a, const std::string& b);

// The subjects of `messages`, sorted.
std::vector<std::string> Subjects(const std::vector<Message>& messages);

} // namespace swtest
