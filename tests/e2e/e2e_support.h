// Helpers for the end-to-end tests: child processes with a time limit, a
// small JSON reader for sortwell-store's listings, the agent's log file, a
// captured service notification socket, and a sandbox that gives every test
// its own store, hive, profiles, event file and log file.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

// ---- Processes --------------------------------------------------------------------------

struct ProcessResult {
    int exit_code = -1;     // -1 unless the program exited normally
    int signal = 0;         // the signal that ended it, or 0
    bool timed_out = false; // killed because it ran past the time limit
    std::string out;
    std::string err;
    double seconds = 0; // wall time from start to end
};

// A program running in the background with its standard output and error
// collected. The destructor kills and reaps a child that is still running.
class Process {
public:
    // Starts `program` with `args`. The environment is the test's own less
    // every variable the programs read (NOTIFY_SOCKET, XAL_*, SORTWELL_*),
    // plus `env` ("NAME=value"). Signals start at their default actions.
    static std::unique_ptr<Process> Start(const std::string& program,
                                          const std::vector<std::string>& args,
                                          const std::vector<std::string>& env,
                                          const std::string& input = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool Signal(int signal_number) const;
    // Waits up to `timeout_ms` for the end; on time-out the child is killed
    // and false returned.
    bool Wait(int timeout_ms);
    // True while the child has not ended (reaping it when it has).
    bool Running();
    // What is known so far (complete once Wait returned).
    const ProcessResult& result();

private:
    Process() = default;
    void Drain();
    bool Reap(bool block);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool ended_ = false;
    std::chrono::steady_clock::time_point started_;
    ProcessResult result_;
};

// Runs a program to its end (killed after `timeout_ms`).
ProcessResult Run(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env, const std::string& input = "",
                  int timeout_ms = 60000);

// Polls `condition` every 20 ms up to `timeout_ms`.
bool WaitUntil(const std::function<bool()>& condition, int timeout_ms);

// ---- JSON -------------------------------------------------------------------------------

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    std::int64_t number = 0; // sortwell-store prints integers only
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    // Missing members and items read as null.
    const Json& operator[](const std::string& key) const;
    const Json& operator[](std::size_t index) const;
    bool is_null() const { return kind == Null; }
};

// Parses one JSON document; false with a reason when it is not one.
bool ParseJson(const std::string& text, Json* value, std::string* error);

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

// ---- The agent's log file -----------------------------------------------------------------

// One catalogue message as the log file holds it: the level word, the id and
// the text, whose continuation lines are joined with '\n'.
struct LogEntry {
    std::string level;
    int id = 0;
    std::string text;
};

std::vector<LogEntry> ParseLog(const std::string& log);

// ---- Service notifications --------------------------------------------------------------

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
public:
    NotifySocket();
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // The NOTIFY_SOCKET value to give the service.
    std::string address() const;
    // Collects messages until one holds `needle` (true) or `timeout_ms` ran
    // out (false). Everything received is appended to messages().
    bool WaitFor(const std::string& needle, int timeout_ms);
    // Collects whatever arrives within `quiet_ms` of the last message.
    void Collect(int quiet_ms);
    const std::vector<std::string>& messages() const { return messages_; }

private:
    bool ReceiveOne(int timeout_ms);
    std::string name_;
    int fd_ = -1;
    std::vector<std::string> messages_;
};

// ---- A test's own world -------------------------------------------------------------------

// The name of this machine, which a hive without "Server" names.
std::string HostName();

// The catalogue text "<intro>:\n<address>\n(hr=<eight hex digits>)." that a
// mailbox failure is reported with.
std::string MailboxFailure(const std::string& intro, const std::string& address, std::uint32_t hr);

// A hive line "Name"=dword:HHHHHHHH.
std::string Dword(const std::string& name, std::uint32_t value);

// Hive lines for a maintenance window that is open now and stays open for
// the next 23 hours (it begins at the current local hour and ends at the
// hour before it), so that no hour boundary during a test closes it.
std::vector<std::string> WindowOpenNow();
// Hive lines for a window that opens two hours from now and lasts one hour:
// closed now and through the next hour boundary.
std::vector<std::string> WindowClosedNow();

// What the profiles file says of the agent's temporary profiles: true while
// it names one (they are called swl_ and the time they were made).
bool HoldsAgentProfile(const std::string& profiles);

// A temporary folder holding everything one test's agent and store use,
// removed at the end. The store's server is this machine, so the hive needs
// no "Server" value.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    std::string store_path() const { return file("store.db"); }
    std::string hive_path() const { return file("hive.reg"); }
    std::string profiles_path() const { return file("profiles"); }
    std::string events_path() const { return file("events.jsonl"); }
    std::string log_path() const { return file("agent.log"); }
    // The environment of every program the test starts.
    std::vector<std::string> Env() const;

    // The hive: the agent's three required values ("Alias" sortwell, "Spam
    // Folder" Spam, "Spam SubString" X-Spam-Flag: YES) unless `lines`
    // replaces one of them, then `lines` (.reg syntax) in order.
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
    std::string dir_;
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

// The rules (id, provider, name, state, target) and folders (path, entry id,
// message count) of the mailboxes, one line each, to compare before and
// after a run.
std::string Describe(const Sandbox& sandbox, const std::vector<std::string>& aliases);

// The warnings and errors in the log, one line each (empty when none).
std::string Problems(const Sandbox& sandbox);

} // namespace e2e
