// After every pass the service shows a status line and rewrites its metrics
// file: both carry the pass as it really went against the store.
#include "tests/support/metrics.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <string>

namespace swtest {
namespace {

class OperatorStatus : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_.CreateStore({});
        sandbox_.StoreCommand({"add-mailboxes", "7", "--prefix", "user"});
        sandbox_.WriteHive();
    }
    std::string MetricsPath() const { return sandbox_.file("metrics.prom"); }
    std::map<std::string, double> Metrics() const { return ParseMetrics(ReadFile(MetricsPath())); }

    Sandbox sandbox_;
};

TEST_F(OperatorStatus, EachPassIsShownOnTheStatusLineAndInTheMetricsFile) {
    NotifySocket notify;
    auto child = sandbox_.StartAgent({}, &notify, {"SORTWELL_METRICS_FILE=" + MetricsPath()});
    ASSERT_TRUE(child != nullptr);

    // The first pass repairs all eight mailboxes (the agent's own included).
    std::vector<std::string> seen;
    ASSERT_TRUE(notify.WaitFor("STATUS=Pass 1: ", 20000, &seen)) << sandbox_.Log();
    EXPECT_EQ(seen.back().rfind("STATUS=Pass 1: 8 of 8 mailboxes done, 0 failed, in ", 0), 0u)
        << seen.back();
    auto samples = Metrics();
    EXPECT_EQ(samples["sortwell_passes_total"], 1);
    EXPECT_EQ(samples["sortwell_last_pass_number"], 1);
    EXPECT_EQ(samples["sortwell_last_pass_mailboxes_queued"], 8);
    EXPECT_EQ(samples["sortwell_last_pass_mailboxes_done"], 8);
    EXPECT_EQ(samples["sortwell_last_pass_mailboxes_failed"], 0);
    EXPECT_EQ(samples["sortwell_mailboxes_done_total"], 8);
    EXPECT_EQ(samples["sortwell_last_pass_maintenance"], 0);
    EXPECT_GT(samples["sortwell_last_pass_seconds"], 0);
    EXPECT_LT(samples["sortwell_last_pass_seconds"], 15);

    // A reload re-reads the hive and runs the next pass at once, counted on
    // from the first; a mailbox added meanwhile is in it. Until that pass
    // ends the status line still tells of the last one. Now no mailbox's
    // rules can be read: the second pass logs nothing about it, but counts
    // every mailbox as failed.
    sandbox_.StoreCommand({"add-mailbox", "latecomer"});
    sandbox_.StoreCommand(
        {"fault", "add", "IExchangeModifyTable::GetTable", "--hr", "MAPI_E_NO_ACCESS"});
    ::kill(child->pid(), SIGHUP);
    seen.clear();
    ASSERT_TRUE(notify.WaitFor("STATUS=Pass 2: ", 20000, &seen));
    EXPECT_EQ(seen.front().rfind("READY=1\nSTATUS=Pass 1: 8 of 8 mailboxes done, 0 failed", 0), 0u)
        << seen.front();
    EXPECT_EQ(seen.back().rfind("STATUS=Pass 2: 9 of 9 mailboxes done, 9 failed, in ", 0), 0u)
        << seen.back();
    samples = Metrics();
    EXPECT_EQ(samples["sortwell_passes_total"], 2);
    EXPECT_EQ(samples["sortwell_mailboxes_done_total"], 17);
    EXPECT_EQ(samples["sortwell_last_pass_mailboxes_queued"], 9);
    EXPECT_EQ(samples["sortwell_last_pass_mailboxes_failed"], 9);
    EXPECT_EQ(samples["sortwell_mailboxes_failed_total"], 9);
    EXPECT_EQ(sandbox_.LogCount(28008), 0) << "failures are logged in the first pass only";

    ::kill(child->pid(), SIGTERM);
    ASSERT_TRUE(child->Wait(10000));
    EXPECT_EQ(child->result().exit_code, 0);
    EXPECT_FALSE(std::filesystem::exists(MetricsPath() + ".tmp"));
}

} // namespace
} // namespace swtest
