// The expunge of old spam and its report, on a clock the tests set.
#include <algorithm>

#include "runtime/vtxpr_time.h"
#include "tests/support/store_fixture.h"

namespace testing_store {
namespace {

constexpr std::uint64_t kDay = 864000000000ull;        // exact day, 100 ns units
constexpr std::uint64_t kShortDay = 863999426496ull;   // what the cut-off takes off
constexpr std::int64_t kNowNs = 1780272000000000000ll; // 2026-06-01T00:00:00Z
constexpr std::uint64_t kNow = 17802720000000000ull + 116444736000000000ull;

std::int64_t FixedNow(void* context) {
    return *static_cast<std::int64_t*>(context);
}
void NoSleep(void*, std::uint32_t) {}

TEST(ExpungeCutoff, RetentionTimesTheShortDayWithoutWrapping) {
    EXPECT_EQ(mapi_ExpungeCutoff(kNow, 0), kNow);
    EXPECT_EQ(mapi_ExpungeCutoff(kNow, 30), kNow - 30 * kShortDay);
    EXPECT_EQ(kNow - mapi_ExpungeCutoff(kNow, 30), 30 * kDay - 30 * 573504ull);
    const ULONG reachable = static_cast<ULONG>(kNow / kShortDay);
    EXPECT_EQ(mapi_ExpungeCutoff(kNow, reachable), kNow - reachable * kShortDay);
    EXPECT_EQ(mapi_ExpungeCutoff(kNow, reachable + 1), 0u);
    EXPECT_EQ(mapi_ExpungeCutoff(kNow, 0xFFFFFFFFu), 0u) << "the product overflows 64 bits";

    std::int64_t now = kNowNs + 199; // below one unit is dropped
    VTXPR_CLOCK clock = {FixedNow, NoSleep, &now};
    VTXPR_SetClock(&clock);
    EXPECT_EQ(mapi_FileTimeNow(), kNow + 1);
    now = 0;
    EXPECT_EQ(mapi_FileTimeNow(), 116444736000000000ull);
    now = -kNowNs;
    EXPECT_EQ(mapi_FileTimeNow(), 116444736000000000ull - 17802720000000000ull);
    VTXPR_SetClock(nullptr);
}

class Expunge : public SpamFolderTest {
protected:
    void SetUp() override {
        SpamFolderTest::SetUp();
        clock_ = {FixedNow, NoSleep, &now_};
        VTXPR_SetClock(&clock_);
    }
    void TearDown() override {
        SpamFolderTest::TearDown();
        VTXPR_SetClock(nullptr);
    }
    void Put(const std::string& subject, std::uint64_t delivered) {
        infostore::DeliveryOptions options;
        options.apply_rules = false;
        options.folder_path = "Spam";
        options.delivery_time = delivered;
        ASSERT_EQ(admin_->Deliver(alice_.alias, "Subject: " + subject + "\n\nspam\n", options),
                  S_OK);
    }
    std::vector<std::string> Subjects() {
        std::vector<std::string> subjects;
        for (const infostore::MessageInfo& m : Messages("Spam"))
            subjects.push_back(m.subject);
        std::sort(subjects.begin(), subjects.end());
        return subjects;
    }
    using Names = std::vector<std::string>;

    std::int64_t now_ = kNowNs;
    VTXPR_CLOCK clock_{};
};

TEST_F(Expunge, DeletesWhatLiesStrictlyBeforeTheCutoff) {
    const std::uint64_t cutoff = kNow - 30 * kShortDay;
    Put("31 days", kNow - 31 * kDay);
    Put("exactly 30 days", kNow - 30 * kDay);
    Put("30 days less 30 x 57.3504 ms, less a unit", cutoff - 1);
    Put("at the cut-off", cutoff);
    Put("a unit later", cutoff + 1);
    Put("yesterday", kNow - kDay);
    EXPECT_EQ(mapi_ExpungeItems(spam_, 30, 0), S_OK);
    EXPECT_EQ(Subjects(), (Names{"a unit later", "at the cut-off", "yesterday"}));

    // A retention that would reach back before 1601 deletes nothing.
    EXPECT_EQ(mapi_ExpungeItems(spam_, 0xFFFFFFFFu, 1), S_OK);
    EXPECT_EQ(mapi_ExpungeItems(spam_, 200000, 1), S_OK);
    EXPECT_EQ(Subjects().size(), 3u) << "and writes no report either";

    // Retention 0: everything delivered before now.
    Put("now", kNow);
    EXPECT_EQ(mapi_ExpungeItems(spam_, 0, 0), S_OK);
    EXPECT_EQ(Subjects(), (Names{"now"}));
}

TEST_F(Expunge, TheReportCountsFailedDeletionsAndSaysNothingElse) {
    for (int i = 0; i < 7; ++i)
        Put("old " + std::to_string(i), kNow - (40 + i) * kDay);
    Fault("IMAPIFolder::DeleteMessages", MAPI_E_NO_ACCESS, 2);
    EXPECT_EQ(mapi_ExpungeItems(spam_, 30, 1), S_OK);
    std::vector<infostore::MessageInfo> left = Messages("Spam");
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(std::count_if(left.begin(), left.end(),
                            [](const auto& m) { return m.subject.rfind("old ", 0) == 0; }),
              2);
    const infostore::MessageInfo* report = nullptr;
    for (const infostore::MessageInfo& m : left)
        if (m.subject == "Sortwell Maintenance Report")
            report = &m;
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->body, "Succesfully expunged 5 items.\nFailed to expunge 2 items.");
    EXPECT_EQ(report->message_class, "");
    EXPECT_EQ(report->headers, "");
}

TEST_F(Expunge, ThresholdsAndEmptyResultsWriteNoReport) {
    for (int i = 0; i < 9; ++i)
        Put("old", kNow - 100 * kDay);
    EXPECT_EQ(mapi_ExpungeItems(spam_, 30, 10), S_OK);
    EXPECT_TRUE(Subjects().empty()) << "9 matches stay below a threshold of 10";
    for (int i = 0; i < 3; ++i)
        Put("old", kNow - 100 * kDay);
    EXPECT_EQ(mapi_ExpungeItems(spam_, 30, 0), S_OK);
    EXPECT_TRUE(Subjects().empty()) << "a threshold of 0 never reports";
    Put("new", kNow - kDay);
    EXPECT_EQ(mapi_ExpungeItems(spam_, 30, 1), S_OK);
    EXPECT_EQ(Subjects(), (Names{"new"})) << "nothing matched, nothing reported";
    Put("old", kNow - 100 * kDay);
    Put("old", kNow - 100 * kDay);
    EXPECT_EQ(mapi_ExpungeItems(spam_, 30, 2), S_OK);
    EXPECT_EQ(Subjects(), (Names{"Sortwell Maintenance Report", "new"}));
}

TEST_F(Expunge, FailuresEndTheRunAndReportStepsCarryOn) {
    Put("old a", kNow - 100 * kDay);
    Put("old b", kNow - 100 * kDay);
    Fault("IMAPITable::QueryRows", MAPI_E_NETWORK_ERROR, 1);
    EXPECT_EQ(mapi_ExpungeItems(spam_, 30, 1), MAPI_E_NETWORK_ERROR);
    EXPECT_EQ(Subjects().size(), 2u);
    Fault("IMAPITable::Restrict", MAPI_E_TOO_COMPLEX, 1);
    EXPECT_EQ(mapi_ExpungeItems(spam_, 30, 1), MAPI_E_TOO_COMPLEX);
    EXPECT_EQ(Subjects().size(), 2u);

    // The body cannot be set: the subject and the save still happen.
    Fault("IMessage::SetProps", MAPI_E_NO_ACCESS, 1);
    EXPECT_EQ(mapi_ExpungeItems(spam_, 30, 1), S_OK);
    std::vector<infostore::MessageInfo> left = Messages("Spam");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].subject, "Sortwell Maintenance Report");
    EXPECT_EQ(left[0].body, "");

    // No message can be created: no report, the deletions stand.
    Put("old c", kNow - 100 * kDay);
    Fault("IMAPIFolder::CreateMessage", MAPI_E_NO_ACCESS, 1);
    EXPECT_EQ(mapi_ExpungeItems(spam_, 30, 1), S_OK);
    EXPECT_EQ(Subjects(), (Names{"Sortwell Maintenance Report"}));
}

} // namespace
} // namespace testing_store
