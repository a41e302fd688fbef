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
    }
    void TearDown() override {
        UlRelease(table_);
        LeakCheckedTest::TearDown();
    }
    // The display names of a batch, in order.
    static std::vector<std::string> NamesOf(LPSRowSet set, ULONG column = 0) {
        std::vector<std::string> out;
        for (ULONG i = 0; set && i < set->cRows; ++i)
            out.emplace_back(set->aRow[i].lpProps[column].Value.lpszA);
        return out;
    }
    std::vector<std::string> Query(LONG n) {
        LPSRowSet set = nullptr;
        EXPECT_EQ(table_->QueryRows(n, 0, &set), S_OK);
        std::vector<std::string> names = NamesOf(set);
        FreeProws(set);
        return names;
    }
    std::vector<std::vector<SPropValue>> values_;
    std::vector<SRow> rows_;
    LPMAPITABLE table_ = nullptr;
};

using Names = std::vector<std::string>;

TEST_F(MapiTable, ColumnsComeBackInTheOrderSetWithErrorsForMissingOnes) {
    // Before SetColumns a row comes back whole.
    LPSRowSet set = nullptr;
    ASSERT_EQ(table_->QueryRows(1, 0, &set), S_OK);
    ASSERT_EQ(set->cRows, 1u);
    EXPECT_EQ(set->aRow[0].cValues, 3u);
    FreeProws(set);

    SizedSPropTagArray<4> cols = {4,
                                  {PR_CONTENT_COUNT, PR_DISPLAY_NAME_W, PR_BODY, PR_DISPLAY_NAME}};
    ASSERT_EQ(table_->SetColumns(cols.get(), 0), S_OK);
    ASSERT_EQ(table_->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
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
    EXPECT_EQ(set->aRow[0].lpProps[0].ulPropTag, PR_CONTENT_COUNT);
    EXPECT_EQ(set->aRow[0].lpProps[0].Value.l, 50);
    EXPECT_EQ(set->aRow[3].lpProps[0].ulPropTag, CHANGE_PROP_TYPE(PR_CONTENT_COUNT, PT_ERROR));
    FreeProws(set);

    // A row offering a name in one width only, with an error for the other.
    SPropValue one_width[2] = {WStr(PR_RULE_NAME_W, u"wide only"), {}};
    one_width[1].ulPropTag = CHANGE_PROP_TYPE(PR_RULE_NAME, PT_ERROR);
    one_width[1].Value.err = MAPI_E_NOT_ENOUGH_MEMORY;
    SRow row{0, 2, one_width};
    LPMAPITABLE rules = nullptr;
    ASSERT_EQ(MAPICreateRowTable(1, &row, &rules), S_OK);
    SizedSPropTagArray<2> names = {2, {PR_RULE_NAME, PR_RULE_NAME_W}};
    ASSERT_EQ(HrQueryAllRows(rules, names.get(), nullptr, nullptr, 0, &set), S_OK);
    EXPECT_EQ(set->aRow[0].lpProps[0].ulPropTag, CHANGE_PROP_TYPE(PR_RULE_NAME, PT_ERROR));
    EXPECT_EQ(set->aRow[0].lpProps[0].Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(std::u16string(set->aRow[0].lpProps[1].Value.lpszW), u"wide only");
    FreeProws(set);
    UlRelease(rules);

    EXPECT_EQ(table_->SetColumns(nullptr, 0), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(table_->SetColumns(cols.get(), 0x100), MAPI_E_UNKNOWN_FLAGS);
}

TEST_F(MapiTable, SeekRowFromEachOriginAndQueryInBatches) {
    SizedSPropTagArray<1> cols = {1, {PR_DISPLAY_NAME}};
    ASSERT_EQ(table_->SetColumns(cols.get(), 0), S_OK);
    EXPECT_EQ(Query(2), (Names{"Inbox", "Junk"}));
    EXPECT_EQ(Query(2), (Names{"Spam", "Archive"}));
    EXPECT_EQ(Query(2), (Names{"Drafts"}));
    EXPECT_EQ(Query(2), Names{}); // at the end: an empty set, not a failure

    LONG sought = 99;
    ASSERT_EQ(table_->SeekRow(BOOKMARK_BEGINNING, 1, &sought), S_OK);
    EXPECT_EQ(sought, 1);
    EXPECT_EQ(Query(1), (Names{"Junk"}));
    ASSERT_EQ(table_->SeekRow(BOOKMARK_CURRENT, 1, &sought), S_OK);
    EXPECT_EQ(sought, 1);
    EXPECT_EQ(Query(1), (Names{"Archive"}));
    ASSERT_EQ(table_->SeekRow(BOOKMARK_END, -2, &sought), S_OK);
    EXPECT_EQ(sought, -2);
    EXPECT_EQ(Query(5), (Names{"Archive", "Drafts"}));
    // Seeking past either end stops there and says how far it went.
    ASSERT_EQ(table_->SeekRow(BOOKMARK_CURRENT, -10, &sought), S_OK);
    EXPECT_EQ(sought, -5);
    EXPECT_EQ(Query(1), (Names{"Inbox"}));
    ASSERT_EQ(table_->SeekRow(BOOKMARK_BEGINNING, 10, &sought), S_OK);
    EXPECT_EQ(sought, 5);
    EXPECT_EQ(table_->SeekRow(7, 0, nullptr), MAPI_E_INVALID_BOOKMARK);
    // A negative count reads backwards from the cursor, rows in table order.
    EXPECT_EQ(Query(-2), (Names{"Archive", "Drafts"}));
    EXPECT_EQ(Query(1), (Names{"Archive"}));
    // TBL_NOADVANCE leaves the cursor alone.
    LPSRowSet set = nullptr;
    ASSERT_EQ(table_->QueryRows(1, 0x1, &set), S_OK);
    EXPECT_EQ(NamesOf(set), (Names{"Drafts"}));
    FreeProws(set);
    EXPECT_EQ(Query(1), (Names{"Drafts"}));
    EXPECT_EQ(table_->QueryRows(0, 0, &set), MAPI_E_INVALID_PARAMETER);
}

TEST_F(MapiTable, RestrictNarrowsCountAndRowsAndStartsOver) {
    SizedSPropTagArray<1> cols = {1, {PR_DISPLAY_NAME}};
    ASSERT_EQ(table_->SetColumns(cols.get(), 0), S_OK);
    EXPECT_EQ(Query(3).size(), 3u);
    SPropValue limit = Long(PR_CONTENT_COUNT, 30);
    SRestriction le = Property(RELOP_LE, PR_CONTENT_COUNT, &limit);
    ASSERT_EQ(table_->Restrict(&le, 0), S_OK);
    ULONG count = 0;
    ASSERT_EQ(table_->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 2u); // Archive has no count and does not pass
    EXPECT_EQ(Query(10), (Names{"Spam", "Drafts"}));

    // The table keeps its own copy of the restriction.
    limit.Value.l = 1000;
    ASSERT_EQ(table_->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
    EXPECT_EQ(Query(10), (Names{"Spam", "Drafts"}));

    // A content restriction replaces the previous one.
    SPropValue pat = Str(PR_DISPLAY_NAME, "a");
    SRestriction has_a = Content(FL_SUBSTRING | FL_IGNORECASE, PR_DISPLAY_NAME, &pat);
    ASSERT_EQ(table_->Restrict(&has_a, 0), S_OK);
    EXPECT_EQ(Query(10), (Names{"Spam", "Archive", "Drafts"}));
    // A malformed restriction is refused and the old one stays.
    SRestriction bad = Content(FL_SUBSTRING, PR_DISPLAY_NAME, nullptr);
    EXPECT_EQ(table_->Restrict(&bad, 0), MAPI_E_INVALID_PARAMETER);
    ASSERT_EQ(table_->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 3u);
    // Null lifts it.
    ASSERT_EQ(table_->Restrict(nullptr, 0), S_OK);
    ASSERT_EQ(table_->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(table_->GetRowCount(1, &count), MAPI_E_UNKNOWN_FLAGS);
}

TEST_F(MapiTable, SortTableOrdersByKeysWithMissingValuesFirst) {
    SizedSPropTagArray<1> cols = {1, {PR_DISPLAY_NAME}};
    ASSERT_EQ(table_->SetColumns(cols.get(), 0), S_OK);
    SSortOrderSet by_count = {1, 0, 0, {{PR_CONTENT_COUNT, TABLE_SORT_ASCEND}}};
    ASSERT_EQ(table_->SortTable(&by_count, 0), S_OK);
    EXPECT_EQ(Query(10), (Names{"Archive", "Drafts", "Spam", "Junk", "Inbox"}));
    SSortOrderSet by_name = {1, 0, 0, {{PR_DISPLAY_NAME, TABLE_SORT_DESCEND}}};
    ASSERT_EQ(table_->SortTable(&by_name, 0), S_OK);
    EXPECT_EQ(Query(10), (Names{"Spam", "Junk", "Inbox", "Drafts", "Archive"}));
    SSortOrderSet categories = {1, 1, 1, {{PR_DISPLAY_NAME, TABLE_SORT_ASCEND}}};
    EXPECT_EQ(table_->SortTable(&categories, 0), MAPI_E_TOO_COMPLEX);
}

// A provider's table that cannot count its rows: the limit must then hold on
// the rows read.
class UncountedTable : public IMAPITable, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT
    explicit UncountedTable(LPMAPITABLE inner) : inner_(inner) { inner_->AddRef(); }
    ~UncountedTable() override { inner_->Release(); }
    HRESULT QueryInterface(const IID&, void**) override { return E_NOINTERFACE; }
    HRESULT SetColumns(LPSPropTagArray c, ULONG f) override { return inner_->SetColumns(c, f); }
    HRESULT GetRowCount(ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT SeekRow(BOOKMARK o, LONG n, LONG* s) override { return inner_->SeekRow(o, n, s); }
    HRESULT Restrict(LPSRestriction r, ULONG f) override { return inner_->Restrict(r, f); }
    HRESULT SortTable(LPSSortOrderSet s, ULONG f) override { return inner_->SortTable(s, f); }
    HRESULT QueryRows(LONG n, ULONG f, LPSRowSet* r) override { return inner_->QueryRows(n, f, r); }

private:
    LPMAPITABLE inner_;
};

TEST_F(MapiTable, HrQueryAllRowsHonoursItsLimit) {
    SizedSPropTagArray<1> cols = {1, {PR_DISPLAY_NAME}};
    LPSRowSet set = nullptr;
    ASSERT_EQ(HrQueryAllRows(table_, cols.get(), nullptr, nullptr, 0, &set), S_OK);
    EXPECT_EQ(NamesOf(set), (Names{"Inbox", "Junk", "Spam", "Archive", "Drafts"}));
    FreeProws(set);
    // Exactly at the limit is fine; one over is too big and hands back nothing.
    ASSERT_EQ(table_->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
    ASSERT_EQ(HrQueryAllRows(table_, nullptr, nullptr, nullptr, 5, &set), S_OK);
    EXPECT_EQ(set->cRows, 5u);
    FreeProws(set);
    ASSERT_EQ(table_->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
    set = reinterpret_cast<LPSRowSet>(0x1);
    EXPECT_EQ(HrQueryAllRows(table_, nullptr, nullptr, nullptr, 4, &set), MAPI_E_TABLE_TOO_BIG);
    EXPECT_EQ(set, nullptr);
    // The restriction narrows before the limit is applied.
    SPropValue pat = Str(PR_DISPLAY_NAME, "S");
    SRestriction prefix = Content(FL_PREFIX, PR_DISPLAY_NAME, &pat);
    ASSERT_EQ(HrQueryAllRows(table_, nullptr, &prefix, nullptr, 1, &set), S_OK);
    EXPECT_EQ(NamesOf(set), (Names{"Spam"}));
    FreeProws(set);
    // Failures of the steps pass through unchanged.
    SRestriction bad = Content(0x7, PR_DISPLAY_NAME, &pat);
    EXPECT_EQ(HrQueryAllRows(table_, nullptr, &bad, nullptr, 0, &set), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(HrQueryAllRows(nullptr, nullptr, nullptr, nullptr, 0, &set),
              MAPI_E_INVALID_PARAMETER);

    // A table that cannot count its rows is held to the limit on the rows read.
    ASSERT_EQ(table_->Restrict(nullptr, 0), S_OK);
    auto* uncounted = new UncountedTable(table_);
    EXPECT_EQ(HrQueryAllRows(uncounted, nullptr, nullptr, nullptr, 4, &set), MAPI_E_TABLE_TOO_BIG);
    EXPECT_EQ(set, nullptr);
    ASSERT_EQ(uncounted->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
    ASSERT_EQ(HrQueryAllRows(uncounted, nullptr, nullptr, nullptr, 5, &set), S_OK);
    EXPECT_EQ(set->cRows, 5u);
    FreeProws(set);
    UlRelease(uncounted);
    LPMAPITABLE none = nullptr;
    EXPECT_EQ(MAPICreateRowTable(1, nullptr, &none), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(none, nullptr);
}

// A table that hands out at most two rows a call, as a provider reading in
// pages may.
class TrickleTable : public UncountedTable {
public:
    using UncountedTable::UncountedTable;
    HRESULT QueryRows(LONG n, ULONG f, LPSRowSet* r) override {
        return UncountedTable::QueryRows(n > 2 ? 2 : n, f, r);
    }
};

TEST_F(MapiTable, EachRowIsOneBufferThatFreeProwsReleases) {
    const ULONG buffers = MAPIDebugLiveBuffers();
    const ULONG blocks = mapi_detail::DebugLiveBlocks();
    // Strings, binaries and converted strings all live in their row's buffer.
    SizedSPropTagArray<3> cols = {3, {PR_DISPLAY_NAME, PR_DISPLAY_NAME_W, PR_CONTENT_COUNT}};
    LPSRowSet set = nullptr;
    ASSERT_EQ(HrQueryAllRows(table_, cols.get(), nullptr, nullptr, 0, &set), S_OK);
    ASSERT_EQ(set->cRows, 5u);
    EXPECT_EQ(MAPIDebugLiveBuffers(), buffers + 6);
    EXPECT_EQ(mapi_detail::DebugLiveBlocks(), blocks + 6);
    for (ULONG i = 0; i < set->cRows; ++i) {
        const auto* begin = reinterpret_cast<const char*>(set->aRow[i].lpProps);
        const auto* end = begin + 3 * sizeof(SPropValue) + 64;
        const auto* name = reinterpret_cast<const char*>(set->aRow[i].lpProps[0].Value.lpszA);
        const auto* wide = reinterpret_cast<const char*>(set->aRow[i].lpProps[1].Value.lpszW);
        EXPECT_TRUE(name > begin && name < end && wide > begin && wide < end);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(wide) % alignof(char16_t), 0u);
        EXPECT_EQ(mapi_detail::Utf16ToUtf8(set->aRow[i].lpProps[1].Value.lpszW), name);
    }
    FreeProws(set);
    EXPECT_EQ(MAPIDebugLiveBuffers(), buffers);
    EXPECT_EQ(mapi_detail::DebugLiveBlocks(), blocks);

    // A value with inner structure hangs on its row's chain and goes with it.
    SPropValue pat = Str(PR_DISPLAY_NAME, "Spam");
    SRestriction condition = Content(FL_SUBSTRING, PR_DISPLAY_NAME, &pat);
    BYTE folder[3] = {9, 8, 7};
    ACTION action{};
    action.acttype = OP_MOVE;
    action.actMoveCopy = {0, nullptr, 3, reinterpret_cast<LPENTRYID>(folder)};
    ACTIONS actions{EDK_RULES_VERSION, 1, &action};
    SPropValue rule[4] = {Str(PR_RULE_NAME, "junk"), {}, {}, Str(PR_RULE_PROVIDER, nullptr)};
    rule[1].ulPropTag = PR_RULE_CONDITION;
    rule[1].Value.lpv = &condition;
    rule[2].ulPropTag = PR_RULE_ACTIONS;
    rule[2].Value.lpv = &actions;
    SRow row{0, 4, rule};
    LPMAPITABLE rules = nullptr;
    ASSERT_EQ(MAPICreateRowTable(1, &row, &rules), S_OK);
    ASSERT_EQ(HrQueryAllRows(rules, nullptr, nullptr, nullptr, 0, &set), S_OK);
    const auto* copied = static_cast<const SRestriction*>(set->aRow[0].lpProps[1].Value.lpv);
    ASSERT_NE(copied, nullptr);
    EXPECT_NE(copied, &condition);
    EXPECT_STREQ(copied->res.resContent.lpProp->Value.lpszA, "Spam");
    folder[0] = 42;
    const auto* moved = static_cast<const ACTIONS*>(set->aRow[0].lpProps[2].Value.lpv);
    ASSERT_EQ(moved->cActions, 1u);
    EXPECT_EQ(reinterpret_cast<const BYTE*>(moved->lpAction[0].actMoveCopy.lpFldEntryId)[0], 9);
    EXPECT_EQ(set->aRow[0].lpProps[3].Value.lpszA, nullptr);
    FreeProws(set);
    UlRelease(rules);

    // Rows read in several calls end up in one set.
    auto* trickle = new TrickleTable(table_);
    ASSERT_EQ(table_->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
    ASSERT_EQ(HrQueryAllRows(trickle, cols.get(), nullptr, nullptr, 0, &set), S_OK);
    EXPECT_EQ(NamesOf(set), (Names{"Inbox", "Junk", "Spam", "Archive", "Drafts"}));
    EXPECT_EQ(MAPIDebugLiveBuffers(), buffers + 6);
    FreeProws(set);
    UlRelease(trickle);
}

// Rows made on demand: row n is named "row n" and counts n; odd rows have
// no count. Reading row `fail_at` fails.
class CountingSource : public MAPIRowSource {
public:
    CountingSource(ULONG rows, bool* deleted) : rows_(rows), deleted_(deleted) {}
    ~CountingSource() override { *deleted_ = true; }
    ULONG RowCount() const override { return rows_; }
    HRESULT ReadRow(ULONG index, ULONG* count, const SPropValue** values) override {
        if (index == fail_at)
            return MAPI_E_CORRUPT_DATA;
        name_ = "row " + std::to_string(index);
        values_[0] = Str(PR_DISPLAY_NAME, name_.c_str());
        values_[1] = Long(PR_CONTENT_COUNT, static_cast<LONG>(index));
        *count = index % 2 ? 1 : 2;
        *values = values_;
        return S_OK;
    }
    const SPropTagArray* DefaultColumns() const override { return defaults_.get(); }
    ULONG fail_at = ~0u;

private:
    ULONG rows_;
    bool* deleted_;
    std::string name_;
    SPropValue values_[2] = {};
    mutable SizedSPropTagArray<1> defaults_ = {1, {PR_DISPLAY_NAME}};
};

TEST_F(MapiTable, ASourceTableReadsRowsOnDemandInEveryView) {
    bool deleted = false;
    auto* source = new CountingSource(1000, &deleted);
    LPMAPITABLE table = nullptr;
    ASSERT_EQ(MAPICreateSourceTable(source, &table), S_OK);
    ULONG count = 0;
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 1000u);

    // The source's default columns until SetColumns; pages from the cursor.
    LPSRowSet set = nullptr;
    ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 998, nullptr), S_OK);
    ASSERT_EQ(table->QueryRows(5, 0, &set), S_OK);
    EXPECT_EQ(NamesOf(set), (Names{"row 998", "row 999"}));
    EXPECT_EQ(set->aRow[0].cValues, 1u);
    FreeProws(set);

    // A restriction is evaluated on every row the source makes.
    SPropValue limit = Long(PR_CONTENT_COUNT, 10);
    SRestriction below = Property(RELOP_LT, PR_CONTENT_COUNT, &limit);
    ASSERT_EQ(table->Restrict(&below, 0), S_OK);
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 5u); // the even rows below 10
    SizedSPropTagArray<2> cols = {2, {PR_CONTENT_COUNT, PR_DISPLAY_NAME}};
    ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
    ASSERT_EQ(table->QueryRows(2, 0, &set), S_OK);
    ASSERT_EQ(set->cRows, 2u);
    EXPECT_EQ(set->aRow[1].lpProps[0].Value.l, 2);
    EXPECT_EQ(NamesOf(set, 1), (Names{"row 0", "row 2"}));
    FreeProws(set);

    // Sorting copies each row's keys out; descending, rows lacking the key
    // come last, in table order.
    ASSERT_EQ(table->Restrict(nullptr, 0), S_OK);
    SSortOrderSet by_count = {1, 0, 0, {{PR_CONTENT_COUNT, TABLE_SORT_DESCEND}}};
    ASSERT_EQ(table->SortTable(&by_count, 0), S_OK);
    ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 498, nullptr), S_OK);
    ASSERT_EQ(table->QueryRows(4, 0, &set), S_OK);
    EXPECT_EQ(NamesOf(set, 1), (Names{"row 2", "row 0", "row 1", "row 3"}));
    FreeProws(set);

    // A row the source cannot make fails the call and hands back nothing.
    source->fail_at = 500;
    ASSERT_EQ(table->SortTable(nullptr, 0), S_OK);
    ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 499, nullptr), S_OK);
    set = reinterpret_cast<LPSRowSet>(0x1);
    EXPECT_EQ(table->QueryRows(2, 0, &set), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(set, nullptr);
    // A view that cannot be made leaves the one before it in place.
    EXPECT_EQ(table->Restrict(&below, 0), MAPI_E_CORRUPT_DATA);
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 1000u);
    EXPECT_FALSE(deleted);
    UlRelease(table);
    EXPECT_TRUE(deleted);

    // A source is deleted also when no table could be made of it.
    deleted = false;
    EXPECT_EQ(MAPICreateSourceTable(new CountingSource(1, &deleted), nullptr),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_TRUE(deleted);
}

} // namespace
