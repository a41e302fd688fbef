// The mailbox operations where the agent's runs cannot show them: the
// expunge cut-off's arithmetic and its exact edge, and the report threshold,
// on a clock the tests set; and what the lookups answer for warnings and for
// what is missing.
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

TEST_F(Expunge, AReportIsWrittenFromTheThresholdOnButNeverForZero) {
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

using Lookups = SpamFolderTest;

// A warning where a value was wanted is a failure, and the store it came
// with is given back (the fixture counts); what is missing has its own code.
TEST_F(Lookups, WarningsAreFailuresAndMissingFoldersHaveTheirOwnCodes) {
    ULONG size = 99;
    LPENTRYID id = nullptr;
    Fault("IMsgStore::GetProps", MAPI_W_ERRORS_RETURNED, 1);
    EXPECT_EQ(HrMAPIFindIPMSubtree(box_.store, &size, &id), E_FAIL);
    Fault("IMAPISession::OpenMsgStore", MAPI_W_ERRORS_RETURNED, 1);
    std::string store_dn = A(store_dn_), mailbox = alice_.dn;
    LPMDB store = nullptr;
    EXPECT_EQ(HrMailboxLogon(session_, private_store_, store_dn.data(), mailbox.data(), &store),
              E_FAIL);
    mailbox = "/o=Altavane/ou=Lab/cn=Recipients/cn=nobody";
    EXPECT_EQ(HrMailboxLogon(session_, private_store_, store_dn.data(), mailbox.data(), &store),
              UTIL_E_NOT_FOUND);
    EXPECT_EQ(store, nullptr);

    // Folders are looked for among the top folder's own children only.
    ASSERT_EQ(admin_->CreateFolder(alice_.alias, "Spam/Quarantine"), S_OK);
    LPMAPIFOLDER folder = nullptr;
    EXPECT_EQ(mapi_OpenMailboxFolder(box_.store, u"Quarantine", &folder), UTIL_E_NOT_FOUND);
    EXPECT_EQ(folder, nullptr);
    // Missing special folders: the store's own not-found code, passed through.
    ASSERT_EQ(admin_->DeleteFolder(alice_.alias, "Inbox"), S_OK);
    EXPECT_EQ(HrMAPIFindInbox(box_.store, &size, &id), MAPI_E_NOT_FOUND);
    ASSERT_EQ(admin_->DeleteFolder(alice_.alias, "/"), S_OK);
    EXPECT_EQ(HrMAPIFindIPMSubtree(box_.store, &size, &id), MAPI_E_NOT_FOUND);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(mapi_OpenMailboxFolder(box_.store, nullptr, &folder), MAPI_E_NOT_FOUND);
}

} // namespace
} // namespace testing_store
