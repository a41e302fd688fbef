#include "tests/support/world.h"

#include "tests/support/dovecot_world.h"
#include "tests/support/embedded_world.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace swtest {

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::vector<RuleView> World::AgentRules(const std::string& alias) const {
    std::vector<RuleView> ours;
    for (const RuleView& rule : Rules(alias))
        if (rule.name && SameTextIgnoringCase(*rule.name, kRuleName))
            ours.push_back(rule);
    return ours;
}

std::optional<Folder> World::FindFolder(const std::string& alias, const std::string& path) const {
    for (const Folder& folder : Folders(alias))
        if (folder.path == path)
            return folder;
    return std::nullopt;
}

std::unique_ptr<World> MakeWorld(WorldKind kind, const std::string& dir) {
    switch (kind) {
    case WorldKind::Dovecot:
        return std::make_unique<DovecotWorld>();
    case WorldKind::Embedded:
        break;
    }
    return std::make_unique<EmbeddedStore>(dir + "/store.db");
}

std::string WorldName(WorldKind kind) {
    switch (kind) {
    case WorldKind::Dovecot:
        return "Dovecot";
    case WorldKind::Embedded:
        break;
    }
    return "Embedded";
}

RuleView ExpectOneAgentRule(const World& world, const std::string& alias,
                            const std::string& target) {
    const std::vector<RuleView> rules = world.AgentRules(alias);
    EXPECT_EQ(rules.size(), 1u) << alias << ":\n" << Describe(world, {alias});
    if (rules.empty())
        return {};
    EXPECT_TRUE(rules.front().as_agent_makes) << alias << ":\n" << Describe(world, {alias});
    EXPECT_EQ(rules.front().target, std::optional<std::string>(target)) << alias;
    return rules.front();
}

std::string Describe(const World& world, const std::vector<std::string>& aliases, bool with_rules) {
    std::string text;
    for (const std::string& alias : aliases) {
        for (const RuleView& rule : with_rules ? world.Rules(alias) : std::vector<RuleView>{})
            text += alias + " rule " + rule.key + (rule.foreign ? " foreign" : "") + " '" +
                    rule.name.value_or("-") + "' " + (rule.enabled ? "on" : "off") + " -> " +
                    rule.target.value_or("-") + "\n";
        for (const Folder& folder : world.Folders(alias))
            text += alias + " folder '" + folder.path + "' " + folder.key + " " +
                    std::to_string(folder.messages) + "\n";
    }
    return text;
}

std::vector<std::string> Subjects(const std::vector<Message>& messages) {
    std::vector<std::string> subjects;
    for (const Message& message : messages)
        subjects.push_back(message.subject);
    std::sort(subjects.begin(), subjects.end());
    return subjects;
}

} // namespace swtest
