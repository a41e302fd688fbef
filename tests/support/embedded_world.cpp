#include "tests/support/embedded_world.h"

#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>

namespace swtest {
namespace {

// A code no store operation returns by itself, so that the report of a
// mailbox made to fail can be traced to it.
constexpr std::uint32_t kBroken = 0x80040115; // MAPI_E_NETWORK_ERROR

using Json = nlohmann::json;

Json Listing(const EmbeddedStore& store, std::vector<std::string> args) {
    args.push_back("--json");
    const ProcessResult result = store.Command(args);
    Json value = Json::parse(result.out, nullptr, false);
    EXPECT_TRUE(value.is_array()) << result.out;
    return value.is_array() ? value : Json::array();
}

// A member of a listed row: empty (or zero) when it is missing or of
// another type, none for the optional forms.
std::optional<std::int64_t> OptionalNumber(const Json& row, const char* key) {
    const auto it = row.find(key);
    return it != row.end() && it->is_number_integer() ? std::optional(it->get<std::int64_t>())
                                                      : std::nullopt;
}
std::optional<std::string> OptionalText(const Json& row, const char* key) {
    const auto it = row.find(key);
    return it != row.end() && it->is_string() ? std::optional(it->get<std::string>())
                                              : std::nullopt;
}
std::string Text(const Json& row, const char* key) {
    return OptionalText(row, key).value_or("");
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
    for (const Json& mailbox : Listing(*this, {"mailboxes"}))
        if (Text(mailbox, "alias") == alias)
            return Text(mailbox, "dn");
    ADD_FAILURE() << "no mailbox " << alias;
    return "";
}

std::vector<std::string> EmbeddedStore::Aliases() const {
    std::vector<std::string> aliases;
    for (const Json& mailbox : Listing(*this, {"mailboxes"}))
        aliases.push_back(Text(mailbox, "alias"));
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
    for (const Json& row : Listing(*this, {"folders", alias}))
        folders.push_back({Text(row, "path"), Text(row, "entry_id"),
                           OptionalNumber(row, "messages").value_or(0)});
    return folders;
}

// Another program's rules carry a provider of their own; the key is the row
// id, which a rewritten rule does not keep.
std::vector<RuleView> EmbeddedStore::Rules(const std::string& alias) const {
    std::vector<RuleView> views;
    for (const Json& row : Listing(*this, {"rules", alias})) {
        RuleView view;
        view.key = std::to_string(OptionalNumber(row, "id").value_or(0));
        view.name = OptionalText(row, "name");
        view.enabled = OptionalNumber(row, "state") == std::optional<std::int64_t>(1);
        view.target = OptionalText(row, "target");
        view.foreign =
            OptionalText(row, "provider") != std::optional<std::string>("MSExchange.Rules");
        view.as_agent_makes =
            !view.foreign && view.enabled && view.name == kRuleName &&
            OptionalNumber(row, "sequence") == std::optional<std::int64_t>(1001) &&
            OptionalNumber(row, "level") == std::optional<std::int64_t>(0) &&
            Text(row, "condition") == kAgentCondition;
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
    for (const Json& row : Listing(*this, args))
        messages.push_back({Text(row, "folder"), Text(row, "subject"), Text(row, "body")});
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
    for (const Json& row : Listing(*this, {"fault", "list"}))
        faults.push_back(
            {Text(row, "operation"), Text(row, "mailbox"), OptionalNumber(row, "remaining")});
    return faults;
}

} // namespace swtest
