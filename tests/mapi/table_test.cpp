// The generic table and the utility functions built on tables and props.
#include "tests/mapi/mapi_test_support.h"

namespace {

using namespace mapi_test;

// Rows of a small folder listing: names, sizes, and one row without a size.
class MapiTable : public LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        const char* names[] = {"Inbox", "Junk", "Spam", "Archive", "Drafts"};
        for (int i = 0; i < 5; ++i) {
            std::vector<SPropValue> v = {Str(PR_DISPLAY_NAME, names[i]), Long(PR_RULE_SEQUENCE, i)};
            if (i != 3)
                v.push_back(Long(PR_CONTENT_COUNT, 10 * (5 - i)));
            values_.push_back(v);
        }
        for (auto& v : values_)
            rows_.push_back(SRow{0, static_cast<ULONG>(v.size()), v.data()});
        ASSERT_EQ(MAPICreateRowTable(static_cast<ULONG>(rows_.size()), rows_.data(), &table_),
                  S_OK);
        ASSERT_EQ(table_->SetColumns(name_.get(), 0), S_OK); // most tests look at names only
    }
    void TearDown() override {
        UlRelease(table_);
        LeakCheckedTest::TearDown();
    }
    static std::vector<std::string> NamesOf(LPSRowSet set) {
        std::vector<std::string> out;
        for (ULONG i = 0; set && i < set->cRows; ++i)
            out.emplace_back(set->aRow[i].lpProps[0].Value.lpszA);
        return out;
    }
    std::vector<std::string> Query(LONG n) {
        LPSRowSet set = nullptr;
        EXPECT_EQ(table_->QueryRows(n, 0, &set), S_OK);
        std::vector<std::string> names = NamesOf(set);
        FreeProws(set);
        return names;
    }
    SizedSPropTagArray<1> name_ = {1, {PR_DISPLAY_NAME}};
    std::vector<std::vector<SPropValue>> values_;
    std::vector<SRow> rows_;
    LPMAPITABLE table_ = nullptr;
};

using Names = std::vector<std::string>;

TEST_F(MapiTable, ColumnsComeBackInTheOrderSetWithErrorsForMissingOnes) {
    LPSRowSet set = nullptr;
    SizedSPropTagArray<4> cols = {4,
                                  {PR_CONTENT_COUNT, PR_DISPLAY_NAME_W, PR_BODY, PR_DISPLAY_NAME}};
    ASSERT_EQ(table_->SetColumns(cols.get(), 0), S_OK);
    ASSERT_EQ(table_->QueryRows(10, 0, &set), S_OK);
    ASSERT_EQ(set->cRows, 5u);
    for (ULONG i = 0; i < set->cRows; ++i) {
        const SRow& r = set->aRow[i];
        ASSERT_EQ(r.cValues, 4u);
        // The wide column is the 8-bit name converted.
        EXPECT_EQ(r.lpProps[1].ulPropTag, PR_DISPLAY_NAME_W);
        EXPECT_EQ(mapi_detail::Utf16ToUtf8(r.lpProps[1].Value.lpszW), r.lpProps[3].Value.lpszA);
        EXPECT_EQ(r.lpProps[2].ulPropTag, CHANGE_PROP_TYPE(PR_BODY, PT_ERROR));
        EXPECT_EQ(r.lpProps[2].Value.err, MAPI_E_NOT_FOUND);
    }
    EXPECT_EQ(set->aRow[1].lpProps[0].Value.l, 40);
    EXPECT_EQ(set->aRow[3].lpProps[0].ulPropTag, CHANGE_PROP_TYPE(PR_CONTENT_COUNT, PT_ERROR));
    FreeProws(set);

    // A row offering a name in one width only (beyond the first plane's
    // two-byte range), with an error for the other: the error stays, and
    // the 8-bit column of a wide value is its UTF-8.
    SPropValue one_width[3] = {WStr(PR_RULE_NAME_W, u"\u5783\u573e only"),
                               {CHANGE_PROP_TYPE(PR_RULE_NAME, PT_ERROR), 0, {.err = 7}},
                               WStr(PR_SUBJECT_W, u"\u0416\u20ac\U0001F600")};
    SRow row{0, 3, one_width};
    LPMAPITABLE rules = nullptr;
    ASSERT_EQ(MAPICreateRowTable(1, &row, &rules), S_OK);
    SizedSPropTagArray<3> names = {3, {PR_RULE_NAME, PR_RULE_NAME_W, PR_SUBJECT}};
    ASSERT_EQ(HrQueryAllRows(rules, names.get(), nullptr, nullptr, 0, &set), S_OK);
    EXPECT_EQ(set->aRow[0].lpProps[0].Value.err, 7);
    EXPECT_EQ(std::u16string(set->aRow[0].lpProps[1].Value.lpszW), u"\u5783\u573e only");
    EXPECT_STREQ(set->aRow[0].lpProps[2].Value.lpszA, "\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80");
    FreeProws(set);
    UlRelease(rules);

    EXPECT_EQ(table_->SetColumns(nullptr, 0), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(table_->SetColumns(cols.get(), 0x100), MAPI_E_UNKNOWN_FLAGS);
}

TEST_F(MapiTable, SeekRowAndQueryInBatches) {
    EXPECT_EQ(Query(3), (Names{"Inbox", "Junk", "Spam"}));
    EXPECT_EQ(Query(3), (Names{"Archive", "Drafts"}));
    EXPECT_EQ(Query(2), Names{}); // at the end: an empty set, not a failure
    // The agent's scans start over from the beginning; a seek past the end
    // stops there and says how far it went.
    LONG sought = 99;
    ASSERT_EQ(table_->SeekRow(BOOKMARK_BEGINNING, 1, &sought), S_OK);
    EXPECT_EQ(sought, 1);
    EXPECT_EQ(Query(1), (Names{"Junk"}));
    ASSERT_EQ(table_->SeekRow(BOOKMARK_BEGINNING, 10, &sought), S_OK);
    EXPECT_EQ(sought, 5);
    EXPECT_EQ(table_->SeekRow(7, 0, nullptr), MAPI_E_INVALID_BOOKMARK);
    LPSRowSet set = nullptr;
    EXPECT_EQ(table_->QueryRows(0, 0, &set), MAPI_E_INVALID_PARAMETER);
}

TEST_F(MapiTable, RestrictNarrowsCountAndRowsAndStartsOver) {
    EXPECT_EQ(Query(3).size(), 3u);
    SPropValue limit = Long(PR_CONTENT_COUNT, 30);
    SRestriction le = Property(RELOP_LE, PR_CONTENT_COUNT, &limit);
    ASSERT_EQ(table_->Restrict(&le, 0), S_OK);
    ULONG count = 0;
    EXPECT_EQ((std::tuple{table_->GetRowCount(0, &count), count}),
              std::tuple(S_OK, 2u)); // not Archive
    EXPECT_EQ(Query(10), (Names{"Spam", "Drafts"}));
    // The table keeps its own copy of the restriction; a malformed one is
    // refused and the old one stays; null lifts it.
    limit.Value.l = 1000;
    SRestriction bad = Content(FL_SUBSTRING, PR_DISPLAY_NAME, nullptr);
    EXPECT_EQ(table_->Restrict(&bad, 0), MAPI_E_INVALID_PARAMETER);
    ASSERT_EQ(table_->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
    EXPECT_EQ(Query(10), (Names{"Spam", "Drafts"}));
    ASSERT_EQ(table_->Restrict(nullptr, 0), S_OK);
    EXPECT_EQ((std::tuple{table_->GetRowCount(0, &count), count}), std::tuple(S_OK, 5u));
    EXPECT_EQ(table_->GetRowCount(1, &count), MAPI_E_UNKNOWN_FLAGS);
}

} // namespace
