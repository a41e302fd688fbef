// The embedded information store as a World, driven through the real
// sortwell-store; and what only this store offers the tests: its rule rows
// as stored, fault injection, and its own commands.
#pragma once
#include "tests/support/process.h"
#include "tests/support/world.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace swtest {

struct Fault {
    std::string operation;
    std::string mailbox;
    std::optional<std::int64_t> remaining; // none: always
};

// How sortwell-store shows the condition of the rule the agent adds.
constexpr const char* kAgentCondition =
    "content(PR_TRANSPORT_MESSAGE_HEADERS, substring|ignorecase|loose, \"X-Spam-Flag: YES\")";

class EmbeddedStore : public World {
public:
    explicit EmbeddedStore(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }

    std::string Name() const override { return "embedded"; }
    std::vector<std::string> Env() const override { return {"SORTWELL_INFOSTORE=" + path_}; }
    void AddMailboxes(const std::vector<std::string>& aliases) override;
    std::string Address(const std::string& alias) const override;
    void CreateFolder(const std::string& alias, const std::string& path) override;
    void DeleteFolder(const std::string& alias, const std::string& path) override;
    std::vector<Folder> Folders(const std::string& alias) const override;
    void AddRule(const std::string& alias, const RuleSpec& rule) override;
    std::vector<RuleView> Rules(const std::string& alias) const override;
    void Deliver(const std::string& alias, const std::string& subject, bool spam,
                 double age_days = 0, const std::string& folder = "") override;
    std::vector<Message> Messages(const std::string& alias,
                                  const std::string& folder = "") const override;
    Failure Break(const std::string& alias) override;
    void Mend(const std::string& alias) override;

    // ---- This store only ----------------------------------------------------------------
    // sortwell-store with `args`; a failing command fails the test.
    ProcessResult Command(const std::vector<std::string>& args,
                          const std::string& input = "") const;
    // Every mailbox's alias, in the order the store lists them.
    std::vector<std::string> Aliases() const;
    // Adds a rule through `rule add` with `options` and returns its id.
    std::int64_t AddRuleRow(const std::string& alias,
                            const std::vector<std::string>& options) const;
    // A fault (`fault add`): `times` -1 for always, `after` calls let pass
    // first, each hit waiting `delay_ms` (hr 0 with a delay: a slow call).
    void AddFault(const std::string& operation, const std::string& mailbox, std::uint32_t hr,
                  int times = -1, int after = 0, int delay_ms = 0) const;
    std::vector<Fault> Faults() const;

private:
    std::string path_;
    bool made_ = false;
};

} // namespace swtest
