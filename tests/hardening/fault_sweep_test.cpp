// Every operation the store can fail on demand, failed in a first pass, a
// remove pass and a maintenance pass of the real agent, over one store that
// holds a mailbox in each state the agent meets. Each time the pass ends,
// the failure is reported exactly once with the mailbox's address and the
// eight-digit code (or, where the agent passes it over by design, shows only
// in that mailbox's contents); every other mailbox comes out as if nothing
// had failed; the MAPI runtime has given back every buffer and object, and
// the temporary profile is gone; and a later pass without the fault puts
// every mailbox in order.
//
// The list of operations comes from `sortwell-store fault operations`, so an
// operation added to the store joins the sweep and fails it until the table
// below says what its failure does.
#include "tests/hardening/hardening_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace swtest {
namespace {

// A code no operation returns by itself, so that each message can be traced
// to the injected failure.
constexpr std::uint32_t kInjected = 0x80040115;
// What the mailbox and folder lookups, and the scan for the rule's folder,
// report in place of whatever failed beneath them.
constexpr std::uint32_t kEFail = 0x80004005;
constexpr const char* kAsBefore = "as before";

enum class Pass { First, Remove, Maintenance };
enum class Scope {
    Mailbox, // failed for one mailbox, every time it is called for it
    Agent,   // called on the agent's own profile, session or store: failed once
    Worker,  // failed once, for the first worker, after the agent's own call
};

// What a failing operation leads to in one kind of pass.
struct Outcome {
    int id = 0; // the catalogue message logged, 0 for none
    std::uint32_t shown = kInjected;
    // The failing mailbox afterwards: null when it ends like every other
    // mailbox, kAsBefore when the pass left it as it was, or its description
    // (see Describe). When no mailbox is named, kAsBefore means the pass
    // changed no mailbox at all.
    const char* target = nullptr;
    bool profile_left = false; // the temporary profile could not be deleted
};

Outcome Msg(int id, std::uint32_t shown = kInjected, const char* target = kAsBefore) {
    return {id, shown, target};
}
Outcome Quiet(const char* target = nullptr) {
    return {0, kInjected, target};
}

struct Row {
    const char* op;
    Scope scope;
    Outcome first, remove, maintenance;
};
Row Agent(const char* op, Outcome outcome) {
    return {op, Scope::Agent, outcome, outcome, outcome};
}

// The mailbox failed for in each pass: the one whose road through the pass
// calls the most operations (folder and rule made; two rules deleted; a
// valid rule kept and its folder expunged).
const char* TargetOf(Pass pass) {
    return pass == Pass::First ? "bare" : pass == Pass::Remove ? "twice" : "valid";
}

// clang-format off
const Row kRows[] = {
    {"IExchangeModifyTable::GetTable",   Scope::Mailbox, Msg(28008), Msg(28008), Msg(28008)},
    {"IExchangeModifyTable::ModifyTable", Scope::Mailbox, Msg(28013), Msg(28009), Quiet()},
    {"IMAPIFolder::CreateFolder",        Scope::Mailbox, Msg(28011), Quiet(), Quiet()},
    // The report is not written; the old item is gone all the same.
    {"IMAPIFolder::CreateMessage",       Scope::Mailbox, Quiet(), Quiet(), Quiet("Spam |")},
    // The item stays; the report is written all the same.
    {"IMAPIFolder::DeleteMessages",      Scope::Mailbox, Quiet(), Quiet(),
     Quiet("Spam | 'Sortwell Maintenance Report' 'old spam'")},
    {"IMAPIFolder::GetContentsTable",    Scope::Mailbox, Quiet(), Quiet(), Quiet(kAsBefore)},
    // A folder that cannot be looked up is created, which opens it if it exists.
    {"IMAPIFolder::GetHierarchyTable",   Scope::Mailbox, Quiet(), Quiet(), Quiet()},
    // The spam folder's entry id cannot be read for the new rule.
    {"IMAPIFolder::GetProps",            Scope::Mailbox, Msg(28013), Quiet(), Quiet()},
    {"IMAPIFolder::OpenEntry",           Scope::Mailbox, Msg(28007), Msg(28007), Msg(28007)},
    {"IMAPIFolder::OpenProperty",        Scope::Mailbox, Msg(28008), Msg(28008), Msg(28008)},
    {"IMAPIFolder::SaveChanges",         Scope::Mailbox, Msg(28012), Quiet(), Quiet()},
    {"IMAPIFolder::SetProps",            Scope::Mailbox, Quiet(), Quiet(), Quiet()},
    {"IMAPISession::OpenMsgStore",       Scope::Mailbox, Msg(28007, kEFail), Msg(28007, kEFail),
     Msg(28007, kEFail)},
    // A rules table that cannot be read counts as an empty one: validation
    // says no, deletion finds nothing (the remove pass keeps both rules) and
    // a second rule is added beside the valid one before maintenance fails.
    {"IMAPITable::GetRowCount",          Scope::Mailbox, Quiet(), Quiet(kAsBefore),
     Msg(28020, kEFail, "Spam,Spam | 'old spam'")},
    {"IMAPITable::QueryRows",            Scope::Mailbox, Quiet(), Quiet(kAsBefore),
     Msg(28020, kEFail, "Spam,Spam | 'old spam'")},
    {"IMAPITable::Restrict",             Scope::Mailbox, Quiet(), Quiet(), Quiet(kAsBefore)},
    {"IMAPITable::SeekRow",              Scope::Mailbox, Msg(28009), Msg(28009), Msg(28009)},
    {"IMAPITable::SetColumns",           Scope::Mailbox, Msg(28009), Msg(28009), Msg(28009)},
    {"IMAPITable::SortTable",            Scope::Mailbox, Quiet(), Quiet(), Quiet()},
    {"IMessage::GetProps",               Scope::Mailbox, Quiet(), Quiet(), Quiet()},
    {"IMessage::SaveChanges",            Scope::Mailbox, Quiet(), Quiet(), Quiet("Spam |")},
    // The report is saved without its body and subject.
    {"IMessage::SetProps",               Scope::Mailbox, Quiet(), Quiet(), Quiet("Spam | ''")},
    // The top folder cannot be found without the store's properties.
    {"IMsgStore::GetProps",              Scope::Mailbox, Msg(28010, kEFail), Quiet(), Quiet()},
    {"IMsgStore::GetReceiveFolder",      Scope::Mailbox, Msg(28007, kEFail), Msg(28007, kEFail),
     Msg(28007, kEFail)},
    {"IMsgStore::OpenEntry",             Scope::Mailbox, Msg(28007), Msg(28007), Msg(28007)},
    {"IMsgStore::StoreLogoff",           Scope::Mailbox, Quiet(), Quiet(), Quiet()},
    Agent("MAPIAdminProfiles",                     Msg(28002)),
    Agent("IProfAdmin::GetProfileTable",           Msg(28002)),
    Agent("IProfAdmin::CreateProfile",             Msg(28002)),
    Agent("IProfAdmin::AdminServices",             Msg(28002)),
    // The temporary profile stays behind, unnoticed.
    Agent("IProfAdmin::DeleteProfile",             {0, kInjected, nullptr, true}),
    Agent("IMsgServiceAdmin::CreateMsgService",    Msg(28002)),
    Agent("IMsgServiceAdmin::GetMsgServiceTable",  Msg(28002)),
    Agent("IMsgServiceAdmin::ConfigureMsgService", Msg(28002)),
    Agent("IMsgServiceAdmin::OpenProfileSection",  Msg(28004)),
    Agent("IProfSect::GetProps",                   Msg(28004)),
    Agent("MAPILogonEx",                           Msg(28003)),
    // The first worker cannot log on and ends; the other does the pass.
    {"MAPILogonEx", Scope::Worker, Msg(28003, kInjected, nullptr), Msg(28003, kInjected, nullptr),
     Msg(28003, kInjected, nullptr)},
    // The first worker cannot open the server's store; the other does the pass.
    Agent("IMAPISession::GetMsgStoresTable",       Msg(28014, kEFail, nullptr)),
    // The mailbox list cannot be had: the pass finds no mailbox, silently.
    Agent("IMsgStore::QueryInterface",             Quiet(kAsBefore)),
    Agent("IExchangeManageStore::GetMailboxTable", Quiet(kAsBefore)),
    // Made on the agent's own store for whichever mailbox is opened first.
    Agent("IExchangeManageStore::CreateStoreEntryID", Msg(28007, kEFail)),
};
// clang-format on

const Outcome& OutcomeOf(const Row& row, Pass pass) {
    return pass == Pass::First ? row.first : pass == Pass::Remove ? row.remove : row.maintenance;
}

// ---- The store ------------------------------------------------------------------------------

const std::vector<std::string> kAliases = {"sortwell", "bare", "cased", "valid",
                                           "invalid",  "lost", "twice"};
// Mailboxes with a spam folder (and an old item in it) from the start.
bool HasOldSpam(const std::string& alias) {
    return alias == "valid" || alias == "twice";
}

void BuildStore(const Sandbox& s) {
    s.store().AddMailboxes({"bare", "cased", "valid", "invalid", "lost", "twice"});
    const std::vector<std::string> marker{"--marker", "X-Spam-Flag: YES"};
    auto rule = [&](const std::string& alias, std::vector<std::string> options) {
        options.insert(options.end(), marker.begin(), marker.end());
        s.store().AddRuleRow(alias, options);
    };
    s.store().Command({"folder", "create", "cased", "SPAM"});
    for (const char* alias : {"valid", "invalid", "twice"})
        s.store().Command({"folder", "create", alias, "Spam"});
    rule("valid", {"--name", kRuleName, "--folder", "Spam"});
    rule("invalid", {"--name", kRuleName, "--folder", "Spam", "--state", "0"});
    s.store().Command({"folder", "create", "lost", "Junk"});
    rule("lost", {"--name", kRuleName, "--folder", "Junk"});
    s.store().Command({"folder", "delete", "lost", "Junk"});
    rule("twice", {"--name", "_CORVANE SPAM FOLDER RULE_", "--folder", "Spam", "--state", "0"});
    rule("twice", {"--name", kRuleName, "--folder", "Spam"});
    for (const char* alias : {"valid", "twice"})
        s.store().Deliver(alias, "old spam", true, 40, "Spam");
}

// A mailbox in one line: the targets of the rules of the agent's name in
// table order ("-" for a folder that is gone, "!" after a disabled rule),
// then for a mailbox that had old spam the subjects in its spam folder.
std::string Describe(const Sandbox& s, const std::string& alias, bool with_spam) {
    std::string text;
    for (const RuleView& rule : s.world().AgentRules(alias))
        text += (text.empty() ? "" : ",") + rule.target.value_or("-") + (rule.enabled ? "" : "!");
    if (with_spam && HasOldSpam(alias)) {
        std::vector<std::string> subjects;
        for (const Message& message : s.store().Messages(alias, "Spam"))
            subjects.push_back("'" + message.subject + "'");
        std::sort(subjects.begin(), subjects.end());
        text += " |";
        for (const std::string& subject : subjects)
            text += " " + subject;
    }
    return text;
}

std::map<std::string, std::string> DescribeAll(const Sandbox& s, bool with_spam) {
    std::map<std::string, std::string> all;
    for (const std::string& alias : kAliases)
        all[alias] = Describe(s, alias, with_spam);
    return all;
}

// Every mailbox as the store is built, and as each kind of pass leaves it.
std::map<std::string, std::string> Pristine() {
    return {{"sortwell", ""},
            {"bare", ""},
            {"cased", ""},
            {"invalid", "Spam!"},
            {"lost", "-"},
            {"valid", "Spam | 'old spam'"},
            {"twice", "Spam!,Spam | 'old spam'"}};
}
std::map<std::string, std::string> AfterPass(Pass pass, bool with_spam = true) {
    const std::string spam = !with_spam                  ? ""
                             : pass == Pass::Maintenance ? " | 'Sortwell Maintenance Report'"
                                                         : " | 'old spam'";
    std::map<std::string, std::string> all;
    for (const std::string& alias : kAliases) {
        all[alias] = pass == Pass::Remove ? "" : alias == "cased" ? "SPAM" : "Spam";
        if (HasOldSpam(alias))
            all[alias] += spam;
    }
    return all;
}

// ---- Runs -------------------------------------------------------------------------------

std::vector<std::string> HiveFor(Pass pass) {
    std::vector<std::string> hive{Dword("ThreadCount", 2), Dword("Expunge Report", 1)};
    return pass == Pass::Maintenance ? WindowOpenNow(hive) : hive;
}

// Every live-count report on standard error, and there is one, says nothing is left.
void ExpectEverythingGivenBack(const ProcessResult& run) {
    const int reports = CountOf(run.err, "live buffers ");
    EXPECT_EQ(CountOf(run.err, kNothingLeft), reports) << run.err;
    EXPECT_GE(reports, 1) << "no live counts on standard error:\n" << run.err;
}

std::string Hex8(std::uint32_t hr) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", hr);
    return text;
}

// The line Problems() shows for message `id` about `address` (or the
// agent's alias, or nothing, as the message has it).
std::string ProblemLine(int id, const std::string& address, std::uint32_t hr) {
    const std::string creation = "Problem encountered during folder creation. Could not ";
    const std::map<int, std::string> texts = {
        {28002, "Unable to create MAPI profile for mailbox"},
        {28003, "Unable to log on to mailbox"},
        {28004, "Could not retrieve local server DN. The local machine may not be an Exchange "
                "Server."},
        {28007, "Unable to open Mailbox"},
        {28008, "Unable to open Rules Table for Mailbox"},
        {28009, "Unable to enumerate Rules for Mailbox"},
        {28010, creation + "open root folder for Mailbox"},
        {28011, creation + "create subfolder for Mailbox"},
        {28012, creation + "save newly created subfolder for Mailbox"},
        {28013, "Could not create rule for Mailbox"},
        {28014, "Unable to open local mailbox store."},
        {28020, "Error during maintenance. Unable to determine Spam Folder for Mailbox"}};
    const auto text = texts.find(id);
    if (text == texts.end())
        return "unknown message " + std::to_string(id);
    const bool error = id <= 28004 || id == 28014 || id == 28020;
    return (error ? "ERROR [" : "WARNING [") + std::to_string(id) + "] " +
           (id == 28004 || id == 28014 ? text->second + " (hr=" + Hex8(hr) + ")."
                                       : MailboxFailure(text->second, address, hr)) +
           "\n";
}

bool IsStartup(int id) {
    return id == 28002 || id == 28003 || id == 28004;
}

struct World {
    std::string pristine_store;
    std::map<std::string, std::string> dns; // alias -> address
};

void RunCase(const World& world, Pass pass, const Row& row) {
    SCOPED_TRACE(row.op);
    Sandbox s;
    std::filesystem::copy_file(world.pristine_store, s.store_path());
    s.WriteHive(HiveFor(pass));
    const bool per_mailbox = row.scope == Scope::Mailbox;
    s.store().AddFault(row.op, per_mailbox ? TargetOf(pass) : "", kInjected, per_mailbox ? -1 : 1,
                       row.scope == Scope::Worker ? 1 : 0);

    const ProcessResult run = RunCounted(s.Env(), pass == Pass::Remove ? "remove" : "once");
    const Outcome& want = OutcomeOf(row, pass);
    const bool startup = IsStartup(want.id) && row.scope == Scope::Agent;
    EXPECT_EQ(run.exit_code, startup ? 1 : 0) << run.err;
    ExpectEverythingGivenBack(run);
    EXPECT_EQ(HoldsAgentProfile(s.Profiles()), want.profile_left) << s.Profiles();

    // The one message, and the mailbox it names.
    const std::string problems = Problems(s);
    std::string named = per_mailbox && want.id != 0 ? TargetOf(pass) : "";
    if (want.id == 0) {
        EXPECT_EQ(problems, "");
    } else if (IsStartup(want.id) || want.id == 28014) { // the agent's alias
        EXPECT_EQ(problems, ProblemLine(want.id, "sortwell", want.shown));
    } else {
        for (const auto& [alias, dn] : world.dns)
            if (named.empty() && problems == ProblemLine(want.id, dn, want.shown))
                named = alias;
        EXPECT_EQ(problems,
                  ProblemLine(want.id, world.dns.at(named.empty() ? "bare" : named), want.shown));
    }

    // Every mailbox ends as the pass leaves it, but the one the fault hit.
    const std::string target = per_mailbox ? TargetOf(pass) : named;
    std::map<std::string, std::string> expected =
        startup || (target.empty() && want.target == kAsBefore) ? Pristine() : AfterPass(pass);
    if (!target.empty() && want.target != nullptr)
        expected[target] = want.target == kAsBefore ? Pristine()[target] : want.target;
    EXPECT_EQ(DescribeAll(s, true), expected);

    // A pass without the fault puts every mailbox in order, with one spam
    // folder each. Two valid rules stay: a valid first rule is left alone.
    std::filesystem::remove(s.log_path());
    s.store().Command({"fault", "clear"});
    s.WriteHive(HiveFor(Pass::First));
    const ProcessResult clean = RunCounted(s.Env(), "once");
    EXPECT_EQ(clean.exit_code, 0) << clean.err;
    ExpectEverythingGivenBack(clean);
    EXPECT_FALSE(HoldsAgentProfile(s.Profiles())) << "a profile left behind is cleared";
    EXPECT_EQ(Problems(s), "");
    std::map<std::string, std::string> repaired = AfterPass(Pass::First, false);
    if (!target.empty() && want.target != nullptr &&
        std::string(want.target).rfind("Spam,Spam", 0) == 0)
        repaired[target] = "Spam,Spam";
    EXPECT_EQ(DescribeAll(s, false), repaired);
    for (const std::string& alias : kAliases) {
        const std::vector<Folder> folders = s.store().Folders(alias);
        EXPECT_EQ(
            std::count_if(folders.begin(), folders.end(),
                          [](const Folder& f) { return f.path == "Spam" || f.path == "SPAM"; }),
            1)
            << alias;
    }
}

void Sweep(Pass pass) {
    Sandbox origin;
    BuildStore(origin);
    ASSERT_EQ(DescribeAll(origin, true), Pristine());
    World world{origin.store_path(), {}};
    for (const std::string& alias : kAliases)
        world.dns[alias] = origin.store().Address(alias);

    std::vector<const Row*> cases;
    std::set<std::string> listed;
    std::istringstream ops(origin.store().Command({"fault", "operations"}).out);
    for (std::string op; std::getline(ops, op);) {
        listed.insert(op);
        const std::size_t known = cases.size();
        for (const Row& row : kRows)
            if (op == row.op)
                cases.push_back(&row);
        if (cases.size() == known)
            ADD_FAILURE() << op << " can fail, but the sweep does not know what that does";
    }
    for (const Row& row : kRows)
        EXPECT_EQ(listed.count(row.op), 1u) << row.op << " is no operation of the store";
    ASSERT_GE(cases.size(), 30u);

    // Each case spends most of its time in the agent's once-a-second wait
    // for the pass to end, so several run side by side.
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 12; ++t)
        threads.emplace_back([&] {
            for (std::size_t i; (i = next++) < cases.size();)
                RunCase(world, pass, *cases[i]);
        });
    for (std::thread& thread : threads)
        thread.join();
}

TEST(FaultSweep, FirstPass) {
    Sweep(Pass::First);
}
TEST(FaultSweep, RemovePass) {
    Sweep(Pass::Remove);
}
TEST(FaultSweep, MaintenancePass) {
    Sweep(Pass::Maintenance);
}

} // namespace
} // namespace swtest
