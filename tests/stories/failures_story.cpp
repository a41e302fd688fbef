// What the administrator reads when something fails: a mailbox failure
// names the mailbox and the eight-digit result code, in the first pass after
// a start only (a reload is no start), while the status line counts it in
// every pass; once the cause is gone the next pass repairs the mailbox. A
// maintenance failure is reported in every pass.
#include "tests/stories/stories.h"

#include <algorithm>
#include <csignal>
#include <map>

namespace swtest {
namespace {

using Failures = Story;

std::string Intro(int id) {
    static const std::map<int, const char*> kIntros = {
        {28007, "Unable to open Mailbox"},
        {28008, "Unable to open Rules Table for Mailbox"},
        {28009, "Unable to enumerate Rules for Mailbox"},
    };
    return kIntros.count(id) ? kIntros.at(id) : "message " + std::to_string(id);
}

TEST_P(Failures, AMailboxFailureIsReportedOnceAndRepairedWhenItsCauseIsGone) {
    sandbox.WriteHive({Dword("ThreadCount", 2)});
    world.AddMailboxes({"broken", "healthy"});
    const Failure failure = world.Break("broken");

    NotifySocket notify;
    auto agent = sandbox.StartAgent({}, &notify);
    std::vector<std::string> seen;
    ASSERT_TRUE(WaitForPass(notify, 1, &seen)) << sandbox.Log();
    EXPECT_NE(seen.back().find(" 3 of 3 mailboxes done, 1 failed,"), std::string::npos)
        << seen.back();
    EXPECT_EQ(Problems(sandbox),
              "WARNING [" + std::to_string(failure.id) + "] " +
                  MailboxFailure(Intro(failure.id), world.Address("broken"), failure.hr) + "\n");
    EXPECT_TRUE(world.AgentRules("broken").empty());
    ExpectOneAgentRule(world, "healthy", "Spam");
    const std::size_t first_pass_lines = sandbox.LogEntries().size();

    // A reload is no new start: the next pass fails the same way, silently.
    ASSERT_TRUE(agent->Signal(SIGHUP));
    seen.clear();
    ASSERT_TRUE(WaitForPass(notify, 2, &seen)) << sandbox.Log();
    EXPECT_NE(seen.back().find(", 1 failed,"), std::string::npos) << seen.back();
    // Mended, the mailbox is repaired by the next pass, still silently.
    world.Mend("broken");
    ASSERT_TRUE(agent->Signal(SIGHUP));
    seen.clear();
    ASSERT_TRUE(WaitForPass(notify, 3, &seen)) << sandbox.Log();
    EXPECT_NE(seen.back().find(", 0 failed,"), std::string::npos) << seen.back();
    ExpectOneAgentRule(world, "broken", "Spam");
    // SIGINT stops a service as SIGTERM does.
    ASSERT_TRUE(agent->Signal(SIGINT));
    ASSERT_TRUE(agent->Wait(10000));
    EXPECT_EQ(agent->result().exit_code, 0);
    EXPECT_EQ(sandbox.LogEntries().size(), first_pass_lines) << sandbox.Log();
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
}

TEST_P(Failures, AMaintenanceFailureIsReportedInEveryPass) {
    sandbox.WriteHive(WindowOpenNow({Dword("RunMaintenanceOnly", 1)}));
    world.AddMailboxes({"lost"});
    world.AddRule("lost", {.folder = "Junk"});
    world.DeleteFolder("lost", "Junk");

    NotifySocket notify;
    auto agent = sandbox.StartAgent({}, &notify);
    ASSERT_TRUE(WaitForPass(notify, 1)) << sandbox.Log();
    ASSERT_TRUE(agent->Signal(SIGHUP));
    ASSERT_TRUE(WaitForPass(notify, 2)) << sandbox.Log();
    ASSERT_TRUE(agent->Signal(SIGTERM));
    ASSERT_TRUE(agent->Wait(10000));
    const std::string lost = "ERROR " + MailboxFailure("Error during maintenance. Unable to "
                                                       "determine Spam Folder for Mailbox",
                                                       world.Address("lost"), kNotFound);
    const std::vector<std::string> maintenance = Logged(sandbox, 28020);
    EXPECT_EQ(std::count(maintenance.begin(), maintenance.end(), lost), 2) << sandbox.Log();
    EXPECT_EQ(world.AgentRules("lost").size(), 1u) << "maintenance-only repairs nothing";
}

SW_STORY_WORLDS(Failures);

// The one start-up failure no store fault reaches: no memory for the
// workers.
TEST(StartFailure, NoMemoryForTheWorkersFailsTheStart) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a preloaded allocator cannot come before the sanitizer's runtime";
#endif
    Sandbox sandbox;
    sandbox.WriteHive({Dword("ThreadCount", 3)});
    sandbox.world().AddMailboxes({"user"});
    auto agent =
        sandbox.StartAgent({"once"}, nullptr, {std::string("LD_PRELOAD=") + SW_NO_WORKER_MEMORY});
    ASSERT_TRUE(agent->Wait(30000));
    EXPECT_EQ(agent->result().exit_code, 1) << agent->result().err;
    EXPECT_EQ(Problems(sandbox),
              "ERROR [28005] Internal Error: Unable to create 3 worker threads.\n");
    EXPECT_FALSE(HoldsAgentProfile(sandbox.Profiles()));
    EXPECT_TRUE(sandbox.world().AgentRules("user").empty());
}

} // namespace
} // namespace swtest
