// A test's own place for running the real programs: a temporary folder
// holding the hive, profiles, event file and log file of one test, the mail
// server the agent works on, and the checks the process-level tests share.
#pragma once
#include "tests/support/files.h"
#include "tests/support/hive.h"
#include "tests/support/log_entries.h"
#include "tests/support/notify.h"
#include "tests/support/process.h"
#include "tests/support/world.h"
#include "tests/support/embedded_world.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace swtest {

// ---- A test's own world -------------------------------------------------------------------

// The catalogue text "<intro>:\n<address>\n(hr=<eight hex digits>)." that a
// mailbox failure is reported with.
std::string MailboxFailure(const std::string& intro, const std::string& address, std::uint32_t hr);

// What the profiles file says of the agent's temporary profiles: true while
// it names one (they are called swl_ and the time they were made).
bool HoldsAgentProfile(const std::string& profiles);

// A temporary folder holding everything one test's agent uses (hive,
// profiles, event file, log file, and the embedded store's file when the
// mail server is the embedded store), removed at the end. The mail server
// is this machine, so the hive needs no "Server" value.
class Sandbox {
public:
    explicit Sandbox(WorldKind kind = WorldKind::Embedded);
    std::string file(const std::string& name) const { return dir_.file(name); }
    std::string hive_path() const { return file("hive.reg"); }
    std::string profiles_path() const { return file("profiles"); }
    std::string events_path() const { return file("events.jsonl"); }
    std::string log_path() const { return file("agent.log"); }
    // The environment of every program the test starts.
    std::vector<std::string> Env() const;

    // The mail server the agent works on.
    World& world() const { return *world_; }
    // The embedded store (the sandbox's server must be one).
    EmbeddedStore& store() const;
    std::string store_path() const { return store().path(); }

    // The hive: the agent's three required values ("Alias" sortwell, "Spam
    // Folder" Spam, "Spam SubString" X-Spam-Flag: YES) unless `lines`
    // replaces one of them, then `lines` (.reg syntax) in order, then a
    // maintenance window that is closed now unless `lines` name one.
    void WriteHive(const std::vector<std::string>& lines = {}) const;

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
    std::unique_ptr<World> world_;
};

// ---- Checks shared by the tests --------------------------------------------------------------

// The warnings and errors in the log, one line each (empty when none).
std::string Problems(const Sandbox& sandbox);

} // namespace swtest

// The end-to-end tests' own namespace sees everything above.
namespace e2e {
using namespace swtest;
} // namespace e2e
