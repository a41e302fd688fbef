// Restriction evaluation: every kind, the fuzzy levels, the relational
// operators per value type, nesting and its limit, also for copies.
#include "tests/mapi/mapi_test_support.h"

namespace {

using namespace mapi_test;

class MapiRestriction : public LeakCheckedTest {
protected:
    // S_OK (match), S_FALSE (no match) or the error.
    HRESULT Eval(const SRestriction& r) {
        return MAPIEvaluateRestriction(&r, static_cast<ULONG>(row.size()), row.data());
    }
    bool Matches(const SRestriction& r) {
        HRESULT hr = Eval(r);
        EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
        return hr == S_OK;
    }
    std::vector<BYTE> provider{0x54, 0x94, 0xA1, 0xC0, 0x29, 0x7F, 0x10, 0x1B};
    std::vector<SPropValue> row = {
        Str(PR_TRANSPORT_MESSAGE_HEADERS, "Received: x\r\nX-Spam-Flag: YES\r\n"),
        WStr(PR_SUBJECT_W, u"Caf\u00e9 Offers"),
        Long(PR_RULE_SEQUENCE, 10),
        {PR_RULE_ID, 0, {.li = -5}},
        Time(PR_MESSAGE_DELIVERY_TIME, 0x01D0000000000000ull),
        Bin(PR_MDB_PROVIDER, provider),
        Str(PR_DISPLAY_NAME, "Inbox"),
    };
};

TEST_F(MapiRestriction, ContentFollowsTheFuzzyLevelAcrossWidthsAndBeyondAscii) {
    const ULONG H = PR_TRANSPORT_MESSAGE_HEADERS;
    std::vector<BYTE> mid{0xC0, 0x29};
    struct Case {
        ULONG fuzzy, tag;
        SPropValue needle;
        bool expect;
    } cases[] = {
        {FL_SUBSTRING, H, Str(H, "X-Spam-Flag"), true},
        {FL_SUBSTRING, H, Str(H, "x-spam-flag"), false},
        {FL_SUBSTRING | FL_IGNORECASE, H, Str(H, "x-spam-flag: yes"), true},
        {FL_SUBSTRING | FL_IGNORECASE | FL_LOOSE, H, Str(H, "X-SPAM"), true},
        {FL_SUBSTRING, H, Str(H, ""), true},
        {FL_PREFIX, H, Str(H, "Received"), true},
        {FL_PREFIX, H, Str(H, "X-Spam"), false},
        {FL_PREFIX | FL_IGNORECASE, H, Str(H, "RECEIVED:"), true},
        {FL_FULLSTRING, H, Str(H, "Received: x"), false},
        {FL_FULLSTRING, H, Str(H, "Received: x\r\nX-Spam-Flag: YES\r\n"), true},
        {FL_FULLSTRING | FL_IGNORECASE, H, Str(H, "received: X\r\nx-spam-flag: yes\r\n"), true},
        // An 8-bit (UTF-8) needle against a wide value, and the other way round.
        {FL_PREFIX, PR_SUBJECT_W, Str(PR_SUBJECT, "CAF\xC3\x89"), false},
        {FL_PREFIX | FL_IGNORECASE, PR_SUBJECT_W, Str(PR_SUBJECT, "CAF\xC3\x89"), true},
        {FL_FULLSTRING | FL_IGNORECASE, PR_DISPLAY_NAME, WStr(PR_DISPLAY_NAME_W, u"inBOX"), true},
        // Non-spacing marks: only ignored when asked for (FL_LOOSE asks).
        {FL_FULLSTRING | FL_IGNORECASE, PR_SUBJECT_W, WStr(PR_SUBJECT_W, u"cafe offers"), false},
        {FL_FULLSTRING | FL_LOOSE, PR_SUBJECT_W, WStr(PR_SUBJECT_W, u"cafe offers"), true},
        {FL_FULLSTRING | FL_IGNORENONSPACE, PR_SUBJECT_W, WStr(PR_SUBJECT_W, u"Cafe\u0301 Offers"),
         true},
        // Binary content: bytes, no folding.
        {FL_SUBSTRING, PR_MDB_PROVIDER, Bin(PR_MDB_PROVIDER, mid), true},
        {FL_PREFIX, PR_MDB_PROVIDER, Bin(PR_MDB_PROVIDER, mid), false},
        // A property the row lacks never matches.
        {FL_SUBSTRING, PR_BODY, Str(PR_BODY, ""), false},
    };
    for (Case& c : cases)
        EXPECT_EQ(Matches(Content(c.fuzzy, c.tag, &c.needle)), c.expect) << "case " << &c - cases;
}

TEST_F(MapiRestriction, RelationalOperatorsPerValueType) {
    const ULONG ops[] = {RELOP_LT, RELOP_LE, RELOP_GT, RELOP_GE, RELOP_EQ, RELOP_NE};
    // For each probe, the expected answers for LT LE GT GE EQ NE with the
    // row's value on the left.
    struct Probe {
        SPropValue value;
        std::array<bool, 6> expect;
    };
    std::vector<BYTE> same = provider, longer = provider, bigger{0x55};
    longer.push_back(0);
    Probe probes[] = {
        {Long(PR_RULE_SEQUENCE, 11), {true, true, false, false, false, true}},
        {Long(PR_RULE_SEQUENCE, 10), {false, true, false, true, true, false}},
        {Long(PR_RULE_SEQUENCE, -3), {false, false, true, true, false, true}},
        {{PR_RULE_ID, 0, {.li = -4}}, {true, true, false, false, false, true}},
        {{PR_RULE_ID, 0, {.li = -6}}, {false, false, true, true, false, true}},
        // Times compare as unsigned 64-bit counts; the high half matters.
        {Time(PR_MESSAGE_DELIVERY_TIME, 0x01D0000000000001ull),
         {true, true, false, false, false, true}},
        {Time(PR_MESSAGE_DELIVERY_TIME, 0x00FFFFFFFFFFFFFFull),
         {false, false, true, true, false, true}},
        {Time(PR_MESSAGE_DELIVERY_TIME, 0x81D0000000000000ull),
         {true, true, false, false, false, true}},
        // Strings ignore case in relational comparisons.
        {Str(PR_DISPLAY_NAME, "INBOX"), {false, true, false, true, true, false}},
        {Str(PR_DISPLAY_NAME, "Junk"), {true, true, false, false, false, true}},
        {WStr(PR_DISPLAY_NAME_W, u"Drafts"), {false, false, true, true, false, true}},
        // Binaries: bytes first, then a shorter prefix sorts first.
        {Bin(PR_MDB_PROVIDER, same), {false, true, false, true, true, false}},
        {Bin(PR_MDB_PROVIDER, longer), {true, true, false, false, false, true}},
        {Bin(PR_MDB_PROVIDER, bigger), {true, true, false, false, false, true}},
    };
    for (Probe& p : probes)
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(Matches(Property(ops[i], p.value.ulPropTag, &p.value)), p.expect[i])
                << "tag " << std::hex << p.value.ulPropTag << " relop " << ops[i];
}

TEST_F(MapiRestriction, NestedAndOrNotUseEachLevelsOwnCount) {
    SPropValue seq10 = Long(PR_RULE_SEQUENCE, 10), seq99 = Long(PR_RULE_SEQUENCE, 99);
    SPropValue inbox = Str(PR_DISPLAY_NAME, "Inbox"), junk = Str(PR_DISPLAY_NAME, "Junk");
    // AND of one OR whose only true member is its third: a loop that read
    // the AND's count (1) would stop after the OR's first member.
    std::vector<SRestriction> ors = {Property(RELOP_EQ, PR_RULE_SEQUENCE, &seq99),
                                     Property(RELOP_EQ, PR_DISPLAY_NAME, &junk),
                                     Property(RELOP_EQ, PR_RULE_SEQUENCE, &seq10)};
    std::vector<SRestriction> one = {Or(ors)};
    EXPECT_TRUE(Matches(And(one)));
    // OR of one AND whose third member is false, the other way round.
    std::vector<SRestriction> ands = {Property(RELOP_EQ, PR_RULE_SEQUENCE, &seq10),
                                      Property(RELOP_EQ, PR_DISPLAY_NAME, &inbox),
                                      Property(RELOP_EQ, PR_DISPLAY_NAME, &junk)};
    std::vector<SRestriction> one_or = {And(ands)}, none;
    SRestriction negated = Or(one_or);
    EXPECT_FALSE(Matches(negated));
    EXPECT_TRUE(Matches(Not(&negated)));
    EXPECT_TRUE(Matches(And(none)));
    EXPECT_FALSE(Matches(Or(none)));
    // A property the row lacks matches no comparison, so its NOT matches.
    SPropValue body = Str(PR_BODY, "x");
    SRestriction missing = Property(RELOP_NE, PR_BODY, &body);
    EXPECT_FALSE(Matches(missing));
    EXPECT_TRUE(Matches(Not(&missing)));
}

TEST_F(MapiRestriction, ExistBitmaskSizeAndCompareProps) {
    EXPECT_TRUE(Matches(Exist(PR_RULE_SEQUENCE)));
    EXPECT_FALSE(Matches(Exist(PR_BODY)));
    // An error value stands for a missing property.
    row.push_back({CHANGE_PROP_TYPE(PR_BODY, PT_ERROR), 0, {.err = MAPI_E_NOT_FOUND}});
    row.push_back(Long(PR_RULE_LEVEL, 10));
    EXPECT_FALSE(Matches(Exist(PR_BODY)));
    const struct {
        SRestriction r;
        bool expect;
    } cases[] = {
        // 10 = 0b1010
        {{RES_BITMASK, {.resBitMask = {BMR_NEZ, PR_RULE_SEQUENCE, 0x2}}}, true},
        {{RES_BITMASK, {.resBitMask = {BMR_EQZ, PR_RULE_SEQUENCE, 0x5}}}, true},
        {{RES_BITMASK, {.resBitMask = {BMR_EQZ, PR_RULE_SEQUENCE, 0x8}}}, false},
        // "Inbox" and its terminator; 8 bytes; 11 wide characters and theirs.
        {{RES_SIZE, {.resSize = {RELOP_EQ, PR_DISPLAY_NAME, 6}}}, true},
        {{RES_SIZE, {.resSize = {RELOP_GT, PR_MDB_PROVIDER, 8}}}, false},
        {{RES_SIZE, {.resSize = {RELOP_EQ, PR_SUBJECT_W, 24}}}, true},
        {{RES_COMPAREPROPS, {.resCompareProps = {RELOP_EQ, PR_RULE_SEQUENCE, PR_RULE_LEVEL}}},
         true},
        {{RES_COMPAREPROPS, {.resCompareProps = {RELOP_LT, PR_RULE_SEQUENCE, PR_RULE_LEVEL}}},
         false},
        // One side missing.
        {{RES_COMPAREPROPS, {.resCompareProps = {RELOP_EQ, PR_RULE_SEQUENCE, PR_RULE_STATE}}},
         false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Matches(c.r), c.expect) << "kind " << c.r.rt;
}

TEST_F(MapiRestriction, MalformedOrTooDeepRestrictionsAreReportedEvenWhereNotReached) {
    EXPECT_EQ(MAPIEvaluateRestriction(nullptr, 0, nullptr), MAPI_E_INVALID_PARAMETER);
    SPropValue v = Str(PR_DISPLAY_NAME, "Inbox");
    EXPECT_EQ(Eval(Content(0x3, PR_DISPLAY_NAME, &v)), MAPI_E_INVALID_PARAMETER); // fuzzy level
    // Behind a true first member of an OR the bad member is never evaluated,
    // yet the whole is refused.
    std::vector<SRestriction> ors = {Exist(PR_DISPLAY_NAME),
                                     Content(FL_FULLSTRING, PR_DISPLAY_NAME, nullptr)};
    EXPECT_EQ(Eval(Or(ors)), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(Eval(Property(9, PR_DISPLAY_NAME, &v)), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(Eval(Property(RELOP_RE, PR_DISPLAY_NAME, &v)), MAPI_E_TOO_COMPLEX);
    EXPECT_EQ(Eval({RES_AND, {.resAnd = {2, nullptr}}}), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(Eval({0x77, {}}), MAPI_E_INVALID_PARAMETER);

    // 64 levels are evaluated and copied; 65 are too complex for either.
    std::vector<SRestriction> chain = NotChain(65);
    EXPECT_EQ(Eval(chain[0]), MAPI_E_TOO_COMPLEX);
    EXPECT_EQ(Eval(chain[1]), S_FALSE); // 63 NOTs around a true EXIST
    EXPECT_EQ(Eval(chain[2]), S_OK);
    void* parent = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(1, &parent), S_OK);
    LPSRestriction copy = nullptr;
    EXPECT_EQ(ScCopyRestriction(&copy, &chain[0], parent), MAPI_E_TOO_COMPLEX);
    EXPECT_EQ(copy, nullptr);
    ASSERT_EQ(ScCopyRestriction(&copy, &chain[1], parent), S_OK);
    EXPECT_EQ(MAPIEvaluateRestriction(copy, static_cast<ULONG>(row.size()), row.data()), S_FALSE);
    MAPIFreeBuffer(parent);
}

} // namespace
