// After every pass the service shows a status line and rewrites its metrics
// file: both carry the pass as it really went against the store.
#include "tests/agent/agent_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

class OperatorStatus : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("sw-operator-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        Store({"init", "--server", host});
        Store({"add-mailbox", "sortwell"});
        Store({"add-mailboxes", "7", "--prefix", "user"});
        swtest::WriteFile(Path("hive.reg"), "Windows Registry Editor Version 5.00\n\n"
                                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\n"
                                            "\"Alias\"=\"sortwell\"\n\"Spam Folder\"=\"Spam\"\n"
                                            "\"Spam SubString\"=\"X-Spam-Flag: YES\"\n");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    std::vector<std::string> Env() const {
        return {"SORTWELL_INFOSTORE=" + Path("store.db"),
                "SORTWELL_PROFILES=" + Path("profiles"),
                "SORTWELL_REGISTRY=" + Path("hive.reg"),
                "SORTWELL_EVENTLOG=FILE",
                "SORTWELL_EVENTLOG_FILE=" + Path("events.jsonl"),
                "XAL_LOG_FILE=" + Path("agent.log"),
                "SORTWELL_METRICS_FILE=" + Path("metrics.prom")};
    }
    void Store(const std::vector<std::string>& args) {
        auto child = swtest::Spawn(SW_STORE_PROGRAM, args, Env());
        ASSERT_TRUE(child && child->wait(20000));
        ASSERT_EQ(child->exit_code(), 0) << child->out;
    }
    std::map<std::string, double> Metrics() const {
        std::map<std::string, double> samples;
        std::istringstream in(swtest::ReadFile(Path("metrics.prom")));
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            std::istringstream words(line);
            std::string name;
            double value = 0;
            words >> name >> value;
            samples[name] = value;
        }
        return samples;
    }

    std::filesystem::path dir_;
};

TEST_F(OperatorStatus, EachPassIsShownOnTheStatusLineAndInTheMetricsFile) {
    swtest::NotifyCapture notify;
    std::vector<std::string> env = Env();
    env.push_back("NOTIFY_SOCKET=" + notify.address());
    auto child = swtest::Spawn(SW_OVO_PROGRAM, {}, env);
    ASSERT_TRUE(child != nullptr);

    // The first pass repairs all eight mailboxes (the agent's own included).
    std::vector<std::string> seen;
    ASSERT_TRUE(notify.wait_for("STATUS=Pass 1: ", 20000, &seen))
        << swtest::ReadFile(Path("agent.log"));
    EXPECT_EQ(seen.back().rfind("STATUS=Pass 1: 8 of 8 mailboxes done in ", 0), 0u) << seen.back();
    auto samples = Metrics();
    EXPECT_EQ(samples["sortwell_passes_total"], 1);
    EXPECT_EQ(samples["sortwell_last_pass_number"], 1);
    EXPECT_EQ(samples["sortwell_last_pass_mailboxes_queued"], 8);
    EXPECT_EQ(samples["sortwell_last_pass_mailboxes_done"], 8);
    EXPECT_EQ(samples["sortwell_mailboxes_done_total"], 8);
    EXPECT_EQ(samples["sortwell_last_pass_maintenance"], 0);
    EXPECT_GT(samples["sortwell_last_pass_seconds"], 0);
    EXPECT_LT(samples["sortwell_last_pass_seconds"], 15);

    // A reload re-reads the hive and runs the next pass at once, counted on
    // from the first; a mailbox added meanwhile is in it.
    Store({"add-mailbox", "latecomer"});
    ::kill(child->pid, SIGHUP);
    seen.clear();
    ASSERT_TRUE(notify.wait_for("STATUS=Pass 2: ", 20000, &seen));
    EXPECT_EQ(seen.back().rfind("STATUS=Pass 2: 9 of 9 mailboxes done in ", 0), 0u) << seen.back();
    samples = Metrics();
    EXPECT_EQ(samples["sortwell_passes_total"], 2);
    EXPECT_EQ(samples["sortwell_mailboxes_done_total"], 17);
    EXPECT_EQ(samples["sortwell_last_pass_mailboxes_queued"], 9);

    ::kill(child->pid, SIGTERM);
    ASSERT_TRUE(child->wait(10000));
    EXPECT_EQ(child->exit_code(), 0);
    EXPECT_FALSE(std::filesystem::exists(Path("metrics.prom.tmp")));
}

} // namespace
