#include "tests/support/sandbox.h"

#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>

namespace swtest {

// ---- The sandbox ------------------------------------------------------------------------

std::string MailboxFailure(const std::string& intro, const std::string& address, std::uint32_t hr) {
    char code[16];
    std::snprintf(code, sizeof code, "%08x", hr);
    return intro + ":\n" + address + "\n(hr=" + code + ").";
}

bool HoldsAgentProfile(const std::string& profiles) {
    return profiles.find("profile \"swl_") != std::string::npos;
}

std::vector<std::string> Sandbox::Env() const {
    return {"SORTWELL_INFOSTORE=" + store_path(),
            "SORTWELL_PROFILES=" + profiles_path(),
            "SORTWELL_REGISTRY=" + hive_path(),
            "SORTWELL_EVENTLOG=FILE",
            "SORTWELL_EVENTLOG_FILE=" + events_path(),
            "XAL_LOG_FILE=" + log_path(),
            "XAL_LOG_LEVEL=7"};
}

void Sandbox::WriteHive(const std::vector<std::string>& lines) const {
    std::vector<std::string> all;
    const std::pair<const char*, const char*> required[] = {
        {"\"Alias\"=", "\"Alias\"=\"sortwell\""},
        {"\"Spam Folder\"=", "\"Spam Folder\"=\"Spam\""},
        {"\"Spam SubString\"=", "\"Spam SubString\"=\"X-Spam-Flag: YES\""}};
    for (const auto& [prefix, line] : required) {
        bool replaced = false;
        for (const std::string& given : lines)
            replaced = replaced || given.rfind(prefix, 0) == 0;
        if (!replaced)
            all.emplace_back(line);
    }
    all.insert(all.end(), lines.begin(), lines.end());
    WriteFile(hive_path(), HiveText(NamesWindow(lines) ? all : WindowClosedNow(all)));
}

ProcessResult Sandbox::StoreCommand(const std::vector<std::string>& args,
                                    const std::string& input) const {
    ProcessResult result = RunProgram(StoreProgram(), args, Env(), input);
    std::string shown;
    for (const std::string& arg : args)
        shown += " " + arg;
    EXPECT_EQ(result.exit_code, 0) << "sortwell-store" << shown << ": " << result.err;
    return result;
}

void Sandbox::CreateStore(const std::vector<std::string>& aliases) const {
    StoreCommand({"init", "--server", HostName()});
    StoreCommand({"add-mailbox", "sortwell", "--display", "Sortwell Agent"});
    for (const std::string& alias : aliases)
        StoreCommand({"add-mailbox", alias});
}

namespace {
Json Listing(const Sandbox& sandbox, const std::vector<std::string>& args) {
    std::vector<std::string> with_json = args;
    with_json.push_back("--json");
    ProcessResult result = sandbox.StoreCommand(with_json);
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

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}
} // namespace

std::string Sandbox::MailboxDn(const std::string& alias) const {
    for (const Json& mailbox : Listing(*this, {"mailboxes"}).items)
        if (mailbox["alias"].text == alias)
            return mailbox["dn"].text;
    ADD_FAILURE() << "no mailbox " << alias;
    return "";
}

std::vector<std::string> Sandbox::Aliases() const {
    std::vector<std::string> aliases;
    for (const Json& mailbox : Listing(*this, {"mailboxes"}).items)
        aliases.push_back(mailbox["alias"].text);
    return aliases;
}

std::vector<Rule> Sandbox::Rules(const std::string& alias) const {
    std::vector<Rule> rules;
    for (const Json& row : Listing(*this, {"rules", alias}).items) {
        Rule rule;
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

std::vector<Rule> Sandbox::AgentRules(const std::string& alias) const {
    std::vector<Rule> ours;
    for (const Rule& rule : Rules(alias))
        if (rule.name && SameNameIgnoringCase(*rule.name, "_Corvane Spam Folder Rule_"))
            ours.push_back(rule);
    return ours;
}

std::vector<Folder> Sandbox::Folders(const std::string& alias) const {
    std::vector<Folder> folders;
    for (const Json& row : Listing(*this, {"folders", alias}).items)
        folders.push_back({row["path"].text, row["entry_id"].text, row["messages"].number});
    return folders;
}

std::optional<Folder> Sandbox::FindFolder(const std::string& alias, const std::string& path) const {
    for (const Folder& folder : Folders(alias))
        if (folder.path == path)
            return folder;
    return std::nullopt;
}

std::vector<Message> Sandbox::Messages(const std::string& alias, const std::string& folder) const {
    std::vector<std::string> args{"messages", alias};
    if (!folder.empty())
        args.push_back(folder);
    std::vector<Message> messages;
    for (const Json& row : Listing(*this, args).items)
        messages.push_back({row["folder"].text, row["subject"].text, row["body"].text});
    return messages;
}

std::vector<Fault> Sandbox::Faults() const {
    std::vector<Fault> faults;
    for (const Json& row : Listing(*this, {"fault", "list"}).items)
        faults.push_back(
            {row["operation"].text, row["mailbox"].text, OptionalNumber(row["remaining"])});
    return faults;
}

std::int64_t Sandbox::AddRule(const std::string& alias,
                              const std::vector<std::string>& options) const {
    std::vector<std::string> args{"rule", "add", alias};
    args.insert(args.end(), options.begin(), options.end());
    const ProcessResult result = StoreCommand(args);
    std::int64_t id = 0;
    EXPECT_EQ(std::sscanf(result.out.c_str(), "added rule %ld", &id), 1) << result.out;
    return id;
}

std::int64_t Sandbox::AddAgentRule(const std::string& alias, const std::string& folder,
                                   const std::vector<std::string>& options) const {
    if (!FindFolder(alias, folder))
        StoreCommand({"folder", "create", alias, folder});
    std::vector<std::string> all{"--name",           kRuleName,  "--marker",
                                 "X-Spam-Flag: YES", "--folder", folder};
    all.insert(all.end(), options.begin(), options.end());
    return AddRule(alias, all);
}

void Sandbox::AddFault(const std::string& operation, const std::string& mailbox, std::uint32_t hr,
                       int times) const {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", hr);
    std::vector<std::string> args{"fault", "add", operation, "--hr", code};
    if (!mailbox.empty())
        args.insert(args.end(), {"--mailbox", mailbox});
    if (times > 0)
        args.insert(args.end(), {"--times", std::to_string(times)});
    StoreCommand(args);
}

void Sandbox::Deliver(const std::string& alias, const std::string& subject, bool spam,
                      double age_days, const std::string& folder) const {
    std::vector<std::string> args{"deliver", alias};
    if (age_days > 0)
        args.insert(args.end(), {"--age", std::to_string(age_days)});
    if (!folder.empty())
        args.insert(args.end(), {"--folder", folder});
    std::string message = "From: someone@example.org\nTo: " + alias + "@example.org\n";
    if (spam)
        message += "X-Spam-Flag: YES\n";
    message += "Subject: " + subject + "\n\nHello.\n";
    StoreCommand(args, message);
}

ProcessResult Sandbox::RunAgent(const std::vector<std::string>& args, int timeout_ms) const {
    return RunProgram(OvoProgram(), args, Env(), "", timeout_ms);
}

std::unique_ptr<Process> Sandbox::StartAgent(const std::vector<std::string>& args,
                                             const NotifySocket* notify,
                                             const std::vector<std::string>& extra_env) const {
    std::vector<std::string> env = Env();
    if (notify != nullptr)
        env.push_back("NOTIFY_SOCKET=" + notify->address());
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    auto process = Process::Start(OvoProgram(), args, env);
    EXPECT_NE(process, nullptr);
    return process;
}

std::string Sandbox::Log() const {
    return ReadFile(log_path());
}

std::vector<LogEntry> Sandbox::LogEntries() const {
    return ParseLog(Log());
}

int Sandbox::LogCount(int id) const {
    int count = 0;
    for (const LogEntry& entry : LogEntries())
        count += entry.id == id ? 1 : 0;
    return count;
}

std::string Sandbox::Events() const {
    return ReadFile(events_path());
}

std::string Sandbox::Profiles() const {
    return ReadFile(profiles_path());
}

// ---- Checks shared by the tests --------------------------------------------------------------

Rule ExpectOneAgentRule(const Sandbox& sandbox, const std::string& alias,
                        const std::string& target) {
    const std::vector<Rule> rules = sandbox.AgentRules(alias);
    EXPECT_EQ(rules.size(), 1u) << alias << ":\n" << Describe(sandbox, {alias});
    if (rules.empty())
        return {};
    const Rule& rule = rules.front();
    EXPECT_EQ(rule.name, std::optional<std::string>(kRuleName)) << alias;
    EXPECT_EQ(rule.provider, std::optional<std::string>("MSExchange.Rules")) << alias;
    EXPECT_EQ(rule.state, std::optional<std::int64_t>(1)) << alias;
    EXPECT_EQ(rule.sequence, std::optional<std::int64_t>(1001)) << alias;
    EXPECT_EQ(rule.level, std::optional<std::int64_t>(0)) << alias;
    EXPECT_EQ(rule.condition, kAgentCondition) << alias;
    EXPECT_EQ(rule.target, std::optional<std::string>(target)) << alias;
    return rule;
}

std::string Describe(const Sandbox& sandbox, const std::vector<std::string>& aliases,
                     bool with_rules) {
    std::string text;
    for (const std::string& alias : aliases) {
        for (const Rule& rule : with_rules ? sandbox.Rules(alias) : std::vector<Rule>{})
            text += alias + " rule " + std::to_string(rule.id) + " " + rule.provider.value_or("-") +
                    " '" + rule.name.value_or("-") + "' state " +
                    (rule.state ? std::to_string(*rule.state) : "-") + " -> " +
                    rule.target.value_or("-") + "\n";
        for (const Folder& folder : sandbox.Folders(alias))
            text += alias + " folder '" + folder.path + "' " + folder.entry_id + " " +
                    std::to_string(folder.messages) + "\n";
    }
    return text;
}

std::string Problems(const Sandbox& sandbox) {
    std::string text;
    for (const LogEntry& entry : sandbox.LogEntries())
        if (entry.level == "WARNING" || entry.level == "ERROR" || entry.level == "ALERT")
            text += entry.level + " [" + std::to_string(entry.id) + "] " + entry.text + "\n";
    return text;
}

} // namespace swtest
