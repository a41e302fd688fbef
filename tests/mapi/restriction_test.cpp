// Restriction evaluation: every kind, the fuzzy levels, the relational
// operators per value type, nesting and its limit.
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
        I8(PR_RULE_ID, -5),
        Time(PR_MESSAGE_DELIVERY_TIME, 0x01D0000000000000ull),
        Bin(PR_MDB_PROVIDER, provider),
        Str(PR_DISPLAY_NAME, "Inbox"),
    };
};

TEST_F(MapiRestriction, ContentMatchesFollowTheFuzzyLevel) {
    struct Case {
        ULONG fuzzy;
        const char* needle;
        bool expect;
    } cases[] = {
        {FL_SUBSTRING, "X-Spam-Flag", true},
        {FL_SUBSTRING, "x-spam-flag", false},
        {FL_SUBSTRING | FL_IGNORECASE, "x-spam-flag: yes", true},
        {FL_SUBSTRING | FL_IGNORECASE | FL_LOOSE, "X-SPAM", true},
        {FL_SUBSTRING, "", true},
        {FL_PREFIX, "Received", true},
        {FL_PREFIX, "X-Spam", false},
        {FL_PREFIX | FL_IGNORECASE, "RECEIVED:", true},
        {FL_FULLSTRING, "Received: x", false},
        {FL_FULLSTRING, "Received: x\r\nX-Spam-Flag: YES\r\n", true},
        {FL_FULLSTRING | FL_IGNORECASE, "received: X\r\nx-spam-flag: yes\r\n", true},
    };
    for (const Case& c : cases) {
        SPropValue v = Str(PR_TRANSPORT_MESSAGE_HEADERS, c.needle);
        EXPECT_EQ(Matches(Content(c.fuzzy, PR_TRANSPORT_MESSAGE_HEADERS, &v)), c.expect)
            << "fuzzy " << std::hex << c.fuzzy << " needle '" << c.needle << "'";
    }
}

TEST_F(MapiRestriction, ContentComparesAcrossStringWidthsAndFoldsBeyondAscii) {
    // An 8-bit (UTF-8) needle against a wide value, and the other way round.
    SPropValue cafe = Str(PR_SUBJECT, "CAF\xC3\x89");
    EXPECT_FALSE(Matches(Content(FL_PREFIX, PR_SUBJECT_W, &cafe)));
    EXPECT_TRUE(Matches(Content(FL_PREFIX | FL_IGNORECASE, PR_SUBJECT_W, &cafe)));
    // Non-spacing marks: only ignored when asked for (FL_LOOSE asks).
    SPropValue plain = WStr(PR_SUBJECT_W, u"cafe offers");
    EXPECT_FALSE(Matches(Content(FL_FULLSTRING | FL_IGNORECASE, PR_SUBJECT_W, &plain)));
    EXPECT_TRUE(Matches(Content(FL_FULLSTRING | FL_LOOSE, PR_SUBJECT_W, &plain)));
    SPropValue combining = WStr(PR_SUBJECT_W, u"Cafe\u0301 Offers");
    EXPECT_TRUE(Matches(Content(FL_FULLSTRING | FL_IGNORENONSPACE, PR_SUBJECT_W, &combining)));
    SPropValue inbox = WStr(PR_DISPLAY_NAME_W, u"inBOX");
    EXPECT_TRUE(Matches(Content(FL_FULLSTRING | FL_IGNORECASE, PR_DISPLAY_NAME, &inbox)));
    // Binary content: bytes, no folding.
    std::vector<BYTE> mid{0xC0, 0x29};
    SPropValue b = Bin(PR_MDB_PROVIDER, mid);
    EXPECT_TRUE(Matches(Content(FL_SUBSTRING, PR_MDB_PROVIDER, &b)));
    EXPECT_FALSE(Matches(Content(FL_PREFIX, PR_MDB_PROVIDER, &b)));
    // A property the row lacks never matches.
    SPropValue body = Str(PR_BODY, "");
    EXPECT_FALSE(Matches(Content(FL_SUBSTRING, PR_BODY, &body)));
}

TEST_F(MapiRestriction, RelationalOperatorsPerValueType) {
    const ULONG ops[] = {RELOP_LT, RELOP_LE, RELOP_GT, RELOP_GE, RELOP_EQ, RELOP_NE};
    // For each probe, the expected answers for LT LE GT GE EQ NE with the
    // row's value on the left.
    struct Probe {
        SPropValue value;
        std::array<bool, 6> expect;
    };
    std::vector<BYTE> same = provider;
    std::vector<BYTE> longer = provider;
    longer.push_back(0);
    std::vector<BYTE> bigger{0x55};
    Probe probes[] = {
        {Long(PR_RULE_SEQUENCE, 11), {true, true, false, false, false, true}},
        {Long(PR_RULE_SEQUENCE, 10), {false, true, false, true, true, false}},
        {Long(PR_RULE_SEQUENCE, -3), {false, false, true, true, false, true}},
        {I8(PR_RULE_ID, -4), {true, true, false, false, false, true}},
        {I8(PR_RULE_ID, -6), {false, false, true, true, false, true}},
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
    for (Probe& p : probes) {
        for (int i = 0; i < 6; ++i) {
            SRestriction r = Property(ops[i], p.value.ulPropTag, &p.value);
            EXPECT_EQ(Matches(r), p.expect[i])
                << "tag " << std::hex << p.value.ulPropTag << " relop " << ops[i];
        }
    }
}

TEST_F(MapiRestriction, TheValueMayCarryAnotherTagOfTheSameType) {
    // Delivery times before a cut-off tagged as a creation time.
    SPropValue cutoff = Time(PR_CREATION_TIME, 0x01D0000000000001ull);
    EXPECT_TRUE(Matches(Property(RELOP_LT, PR_MESSAGE_DELIVERY_TIME, &cutoff)));
    cutoff = Time(PR_CREATION_TIME, 0x01D0000000000000ull);
    EXPECT_FALSE(Matches(Property(RELOP_LT, PR_MESSAGE_DELIVERY_TIME, &cutoff)));
    // The row holds a creation time too: the restriction's own tag decides
    // which value is compared.
    row.push_back(Time(PR_CREATION_TIME, 0x0100000000000000ull));
    EXPECT_FALSE(Matches(Property(RELOP_LT, PR_MESSAGE_DELIVERY_TIME, &cutoff)));
    EXPECT_TRUE(Matches(Property(RELOP_LT, PR_CREATION_TIME, &cutoff)));
    // A value of another type is a malformed restriction.
    SPropValue wrong = Long(CHANGE_PROP_TYPE(PR_CREATION_TIME, PT_LONG), 1);
    EXPECT_EQ(Eval(Property(RELOP_LT, PR_MESSAGE_DELIVERY_TIME, &wrong)), MAPI_E_INVALID_PARAMETER);
}

TEST_F(MapiRestriction, NestedAndOrNotUseEachLevelsOwnCount) {
    SPropValue seq10 = Long(PR_RULE_SEQUENCE, 10);
    SPropValue seq99 = Long(PR_RULE_SEQUENCE, 99);
    SPropValue inbox = Str(PR_DISPLAY_NAME, "Inbox");
    SPropValue junk = Str(PR_DISPLAY_NAME, "Junk");
    // AND of one OR whose only true member is its third: a loop that read
    // the AND's count (1) would stop after the OR's first member.
    std::vector<SRestriction> ors = {Property(RELOP_EQ, PR_RULE_SEQUENCE, &seq99),
                                     Property(RELOP_EQ, PR_DISPLAY_NAME, &junk),
                                     Property(RELOP_EQ, PR_RULE_SEQUENCE, &seq10)};
    std::vector<SRestriction> one = {Or(ors)};
    EXPECT_TRUE(Matches(And(one)));
    // OR of one AND whose third member is false: a loop that read the OR's
    // count (1) would accept the AND after its first member.
    std::vector<SRestriction> ands = {Property(RELOP_EQ, PR_RULE_SEQUENCE, &seq10),
                                      Property(RELOP_EQ, PR_DISPLAY_NAME, &inbox),
                                      Property(RELOP_EQ, PR_DISPLAY_NAME, &junk)};
    std::vector<SRestriction> one_or = {And(ands)};
    EXPECT_FALSE(Matches(Or(one_or)));
    SRestriction negated = Or(one_or);
    EXPECT_TRUE(Matches(Not(&negated)));
    // Empty AND is true, empty OR is false.
    std::vector<SRestriction> none;
    EXPECT_TRUE(Matches(And(none)));
    EXPECT_FALSE(Matches(Or(none)));
    // NOT of a property the row lacks matches.
    SPropValue body = Str(PR_BODY, "x");
    SRestriction missing = Property(RELOP_NE, PR_BODY, &body);
    EXPECT_FALSE(Matches(missing));
    EXPECT_TRUE(Matches(Not(&missing)));
}

TEST_F(MapiRestriction, ExistBitmaskSizeAndCompareProps) {
    EXPECT_TRUE(Matches(Exist(PR_RULE_SEQUENCE)));
    EXPECT_FALSE(Matches(Exist(PR_BODY)));
    // An error value stands for a missing property.
    SPropValue err{};
    err.ulPropTag = CHANGE_PROP_TYPE(PR_BODY, PT_ERROR);
    err.Value.err = MAPI_E_NOT_FOUND;
    row.push_back(err);
    EXPECT_FALSE(Matches(Exist(PR_BODY)));

    SRestriction bm{};
    bm.rt = RES_BITMASK;
    bm.res.resBitMask = {BMR_NEZ, PR_RULE_SEQUENCE, 0x2}; // 10 = 0b1010
    EXPECT_TRUE(Matches(bm));
    bm.res.resBitMask = {BMR_EQZ, PR_RULE_SEQUENCE, 0x5};
    EXPECT_TRUE(Matches(bm));
    bm.res.resBitMask = {BMR_EQZ, PR_RULE_SEQUENCE, 0x8};
    EXPECT_FALSE(Matches(bm));

    SRestriction size{};
    size.rt = RES_SIZE;
    size.res.resSize = {RELOP_EQ, PR_DISPLAY_NAME, 6}; // "Inbox" and its terminator
    EXPECT_TRUE(Matches(size));
    size.res.resSize = {RELOP_GT, PR_MDB_PROVIDER, 8};
    EXPECT_FALSE(Matches(size));
    size.res.resSize = {RELOP_EQ, PR_SUBJECT_W, 24};
    EXPECT_TRUE(Matches(size));

    row.push_back(Long(PR_RULE_LEVEL, 10));
    SRestriction cmp{};
    cmp.rt = RES_COMPAREPROPS;
    cmp.res.resCompareProps = {RELOP_EQ, PR_RULE_SEQUENCE, PR_RULE_LEVEL};
    EXPECT_TRUE(Matches(cmp));
    cmp.res.resCompareProps = {RELOP_LT, PR_RULE_SEQUENCE, PR_RULE_LEVEL};
    EXPECT_FALSE(Matches(cmp));
    cmp.res.resCompareProps = {RELOP_EQ, PR_RULE_SEQUENCE, PR_RULE_STATE};
    EXPECT_FALSE(Matches(cmp)); // one side missing
}

TEST_F(MapiRestriction, MalformedOrTooDeepRestrictionsAreReportedEvenWhereNotReached) {
    EXPECT_EQ(MAPIEvaluateRestriction(nullptr, 0, nullptr), MAPI_E_INVALID_PARAMETER);
    SPropValue v = Str(PR_DISPLAY_NAME, "Inbox");
    SRestriction unknown_fuzzy = Content(0x3, PR_DISPLAY_NAME, &v);
    EXPECT_EQ(Eval(unknown_fuzzy), MAPI_E_INVALID_PARAMETER);
    SRestriction no_value = Content(FL_FULLSTRING, PR_DISPLAY_NAME, nullptr);
    // Behind a true first member of an OR the bad member is never evaluated,
    // yet the whole is refused.
    std::vector<SRestriction> ors = {Exist(PR_DISPLAY_NAME), no_value};
    EXPECT_EQ(Eval(Or(ors)), MAPI_E_INVALID_PARAMETER);
    SRestriction bad_relop = Property(9, PR_DISPLAY_NAME, &v);
    EXPECT_EQ(Eval(bad_relop), MAPI_E_INVALID_PARAMETER);
    SRestriction regex = Property(RELOP_RE, PR_DISPLAY_NAME, &v);
    EXPECT_EQ(Eval(regex), MAPI_E_TOO_COMPLEX);
    SRestriction and_without_list{};
    and_without_list.rt = RES_AND;
    and_without_list.res.resAnd = {2, nullptr};
    EXPECT_EQ(Eval(and_without_list), MAPI_E_INVALID_PARAMETER);
    SRestriction kind{};
    kind.rt = 0x77;
    EXPECT_EQ(Eval(kind), MAPI_E_INVALID_PARAMETER);

    // 64 levels are evaluated; 65 are too complex.
    std::vector<SRestriction> chain(65);
    chain.back() = Exist(PR_DISPLAY_NAME);
    for (std::size_t i = 0; i + 1 < chain.size(); ++i)
        chain[i] = Not(&chain[i + 1]);
    EXPECT_EQ(Eval(chain[0]), MAPI_E_TOO_COMPLEX);
    EXPECT_EQ(Eval(chain[1]), S_FALSE); // 63 NOTs around a true EXIST
    EXPECT_EQ(Eval(chain[2]), S_OK);
}

} // namespace
