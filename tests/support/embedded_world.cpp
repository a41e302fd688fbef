#include "tests/support/embedded_world.h"

#include "tests/support/json.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace swtest {
namespace {

// A code no store operation returns by itself, so that the report of a
// mailbox made to fail can be traced to it.
constexpr std::uint32_t kBroken = 0x80040115; // MAPI_E_NETWORK_ERROR

Json Listing(const EmbeddedStore& store, std::vector<std::string> args) {
    args.push_back("--json");
    const ProcessResult result = store.Command(args);
    Json value;
    std::string error;
    EXPECT_TRUE(ParseJson(result.out, &value, &error)) << error << "\n" << result.out;
    EXPECT_EQ(value.kind, Json::Array) << result.out;
    return value;
}

std::optional<std::int64_t> OptionalNumber(const Json& value) {
    if (value.kind != Json::Number)
        return std::nullopt;
    return value.number;
}

std::optional<std::string> OptionalText(const Json& value) {
    if (value.kind != Json::String)
        return std::nullopt;
    return value.text;
}

} // namespace

ProcessResult EmbeddedStore::Command(const std::vector<std::string>& args,
                                     const std::string& input) const {
    ProcessResult result = RunProgram(StoreProgram(), args, Env(), input);
    std::string shown;
    for (const std::string& arg : args)
        shown += " " + arg;
    EXPECT_EQ(result.exit_code, 0) << "sortwell-store" << shown << ": " << result.err;
    return result;
}

void EmbeddedStore::AddMailboxes(const std::vector<std::string>& aliases) {
    if (!made_) {
        Command({"init", "--server", HostName()});
        Command({"add-mailbox", "sortwell", "--display", "Sortwell Agent"});
        made_ = true;
    }
    for (const std::string& alias : aliases)
        Command({"add-mailbox", alias});
}

std::string EmbeddedStore::Address(const std::string& alias) const {
    for (const Json& mailbox : Listing(*this, {"mailboxes"}).items)
        if (mailbox["alias"].text == alias)
            return mailbox["dn"].text;
    ADD_FAILURE() << "no mailbox " << alias;
    return "";
}

std::vector<std::string> EmbeddedStore::Aliases() const {
    std::vector<std::string> aliases;
    for (const Json& mailbox : Listing(*this, {"mailboxes"}).items)
        aliases.push_back(mailbox["alias"].text);
    return aliases;
}

void EmbeddedStore::CreateFolder(const std::string& alias, const std::string& path) {
    Command({"folder", "create", alias, path});
}

void EmbeddedStore::DeleteFolder(const std::string& alias, const std::string& path) {
    Command({"folder", "delete", alias, path});
}

std::vector<Folder> EmbeddedStore::Folders(const std::string& alias) const {
    std::vector<Folder> folders;
    for (const Json& row : Listing(*this, {"folders", alias}).items)
        folders.push_back({row["path"].text, row["entry_id"].text, row["messages"].number});
    return folders;
}

std::vector<StoreRule> EmbeddedStore::StoreRules(const std::string& alias) const {
    std::vector<StoreRule> rules;
    for (const Json& row : Listing(*this, {"rules", alias}).items) {
        StoreRule rule;
        rule.id = row["id"].number;
        rule.sequence = OptionalNumber(row["sequence"]);
        rule.state = OptionalNumber(row["state"]);
        rule.level = OptionalNumber(row["level"]);
        rule.provider = OptionalText(row["provider"]);
        rule.name = OptionalText(row["name"]);
        rule.target = OptionalText(row["target"]);
        rule.condition = row["condition"].text;
        rules.push_back(rule);
    }
    return rules;
}

// Another program's rules carry a provider of their own; the key is the row
// id, which a rewritten rule does not keep.
std::vector<RuleView> EmbeddedStore::Rules(const std::string& alias) const {
    std::vector<RuleView> views;
    for (const StoreRule& rule : StoreRules(alias)) {
        RuleView view;
        view.key = std::to_string(rule.id);
        view.name = rule.name;
        view.enabled = rule.state == std::optional<std::int64_t>(1);
        view.target = rule.target;
        view.foreign = rule.provider != std::optional<std::string>("MSExchange.Rules");
        view.as_agent_makes = !view.foreign && view.enabled && rule.name == kRuleName &&
                              rule.sequence == std::optional<std::int64_t>(1001) &&
                              rule.level == std::optional<std::int64_t>(0) &&
                              rule.condition == kAgentCondition;
        views.push_back(view);
    }
    return views;
}

std::int64_t EmbeddedStore::AddRuleRow(const std::string& alias,
                                       const std::vector<std::string>& options) const {
    std::vector<std::string> args{"rule", "add", alias};
    args.insert(args.end(), options.begin(), options.end());
    const ProcessResult result = Command(args);
    std::int64_t id = 0;
    EXPECT_EQ(std::sscanf(result.out.c_str(), "added rule %ld", &id), 1) << result.out;
    return id;
}

void EmbeddedStore::AddRule(const std::string& alias, const RuleSpec& rule) {
    if (!rule.folder.empty() && !FindFolder(alias, rule.folder))
        CreateFolder(alias, rule.folder);
    std::vector<std::string> options{"--name", rule.name, "--marker", rule.marker};
    if (rule.folder.empty())
        options.push_back("--no-actions");
    else
        options.insert(options.end(), {"--folder", rule.folder});
    if (!rule.enabled)
        options.insert(options.end(), {"--state", "0"});
    if (rule.foreign)
        options.insert(options.end(), {"--provider", "Client.Rules"});
    AddRuleRow(alias, options);
}

void EmbeddedStore::Deliver(const std::string& alias, const std::string& subject, bool spam,
                            double age_days, const std::string& folder) {
    std::vector<std::string> args{"deliver", alias};
    if (age_days > 0)
        args.insert(args.end(), {"--age", std::to_string(age_days)});
    if (!folder.empty())
        args.insert(args.end(), {"--folder", folder});
    std::string message = "From: someone@example.org\nTo: " + alias + "@example.org\n";
    if (spam)
        message += std::string(kMarker) + "\n";
    message += "Subject: " + subject + "\n\nHello.\n";
    Command(args, message);
}

std::vector<Message> EmbeddedStore::Messages(const std::string& alias,
                                             const std::string& folder) const {
    std::vector<std::string> args{"messages", alias};
    if (!folder.empty())
        args.push_back(folder);
    std::vector<Message> messages;
    for (const Json& row : Listing(*this, args).items)
        messages.push_back({row["folder"].text, row["subject"].text, row["body"].text});
    return messages;
}

// The mailbox's store cannot be opened: message 28007 with the code.
Failure EmbeddedStore::Break(const std::string& alias) {
    AddFault("IMsgStore::OpenEntry", alias, kBroken);
    return {28007, kBroken};
}

void EmbeddedStore::Mend(const std::string&) {
    Command({"fault", "clear"});
}

void EmbeddedStore::AddFault(const std::string& operation, const std::string& mailbox,
                             std::uint32_t hr, int times, int after, int delay_ms) const {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", hr);
    std::vector<std::string> args{"fault", "add", operation, "--hr", code};
    if (!mailbox.empty())
        args.insert(args.end(), {"--mailbox", mailbox});
    if (times > 0)
        args.insert(args.end(), {"--times", std::to_string(times)});
    if (after > 0)
        args.insert(args.end(), {"--after", std::to_string(after)});
    if (delay_ms > 0)
        args.insert(args.end(), {"--delay", std::to_string(delay_ms)});
    Command(args);
}

std::vector<Fault> EmbeddedStore::Faults() const {
    std::vector<Fault> faults;
    for (const Json& row : Listing(*this, {"fault", "list"}).items)
        faults.push_back(
            {row["operation"].text, row["mailbox"].text, OptionalNumber(row["remaining"])});
    return faults;
}

std::vector<StoreRule> AgentRows(const EmbeddedStore& store, const std::string& alias) {
    std::vector<StoreRule> ours;
    for (const StoreRule& rule : store.StoreRules(alias))
        if (rule.name && SameTextIgnoringCase(*rule.name, kRuleName))
            ours.push_back(rule);
    return ours;
}

StoreRule ExpectOneAgentRow(const EmbeddedStore& store, const std::string& alias,
                            const std::string& target) {
    const std::vector<StoreRule> ours = AgentRows(store, alias);
    EXPECT_EQ(ours.size(), 1u) << alias << ":\n" << Describe(store, {alias});
    if (ours.empty())
        return {};
    const StoreRule& rule = ours.front();
    EXPECT_EQ(rule.name, std::optional<std::string>(kRuleName)) << alias;
    EXPECT_EQ(rule.provider, std::optional<std::string>("MSExchange.Rules")) << alias;
    EXPECT_EQ(rule.state, std::optional<std::int64_t>(1)) << alias;
    EXPECT_EQ(rule.sequence, std::optional<std::int64_t>(1001)) << alias;
    EXPECT_EQ(rule.level, std::optional<std::int64_t>(0)) << alias;
    EXPECT_EQ(rule.condition, kAgentCondition) << alias;
    EXPECT_EQ(rule.target, std::optional<std::string>(target)) << alias;
    return rule;
}

} // namespace swtest
