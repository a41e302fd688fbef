// How conditions, actions, properties and messages are kept: the encoding
// reads back exactly and refuses damaged bytes; subjects are decoded.
#include <gtest/gtest.h>

#include "mailstore/mapitags.h"
#include "mailstore/mapix.h"
#include "platform/infostore/infostore_codec.h"
#include "platform/infostore/infostore_util.h"
#include "platform/mapi/mapi_runtime.h"

namespace {

using namespace infostore;

std::vector<BYTE> Bytes(const void* data, ULONG cb) {
    const BYTE* p = static_cast<const BYTE*>(data);
    return p ? std::vector<BYTE>(p, p + cb) : std::vector<BYTE>();
}

// A condition using every kind of restriction and every value type the
// encoding knows, nested AND > NOT > OR > SUB > CONTENT.
struct RichCondition {
    char text[16] = "X-Spam: yes";
    char16_t wide[8] = u"Wörter";
    BYTE bin[5] = {0, 1, 2, 0xFE, 0xFF};
    GUID guid = {0x12345678, 0xABCD, 0xEF01, {1, 2, 3, 4, 5, 6, 7, 8}};
    SPropValue values[12] = {
        {PR_TRANSPORT_MESSAGE_HEADERS, 0x5A5A5A5A, {.lpszA = text}}, // the pad is kept too
        {PR_SUBJECT_W, 0, {.lpszW = wide}},
        {PROP_TAG(PT_BINARY, 0x6001), 0, {.bin = {5, bin}}},
        {PR_CREATION_TIME, 0, {.ft = {0x89ABCDEF, 0x01D9ABCD}}},
        {PROP_TAG(PT_I8, 0x6002), 0, {.li = -1234567890123ll}},
        {PROP_TAG(PT_DOUBLE, 0x6003), 0, {.dbl = -2.5e-300}},
        {PROP_TAG(PT_CLSID, 0x6004), 0, {.lpguid = &guid}},
        {PROP_TAG(PT_BOOLEAN, 0x6005), 0, {.b = 1}},
        {PROP_TAG(PT_I2, 0x6006), 0, {.i = -7}},
        {PROP_TAG(PT_STRING8, 0x6007), 0, {.lpszA = nullptr}}, // a null string stays null
        {PROP_TAG(PT_R4, 0x6008), 0, {.flt = 0.25f}},
        {PROP_TAG(PT_ERROR, 0x6009), 0, {.err = MAPI_E_NOT_FOUND}},
    };
    SRestriction leaves[11] = {
        {RES_CONTENT,
         {.resContent = {FL_SUBSTRING | FL_IGNORECASE | FL_LOOSE, PR_TRANSPORT_MESSAGE_HEADERS,
                         &values[0]}}},
        {RES_PROPERTY, {.resProperty = {RELOP_LT, PR_MESSAGE_DELIVERY_TIME, &values[3]}}},
        {RES_COMPAREPROPS, {.resCompareProps = {RELOP_GE, PR_SUBJECT, PR_BODY}}},
        {RES_BITMASK, {.resBitMask = {BMR_NEZ, PR_RULE_STATE, 0x11}}},
        {RES_NOT, {.resNot = {0, &inner_or}}},
        {RES_EXIST, {.resExist = {7, PR_SUBJECT, 9}}},
        {RES_PROPERTY, {.resProperty = {RELOP_EQ, PROP_TAG(PT_BINARY, 0x6001), &values[2]}}},
        {RES_SUBRESTRICTION, {.resSub = {0x0E12000D, &leaves[0]}}},
        {RES_COMMENT, {.resComment = {9, &leaves[5], &values[3]}}},
        {RES_CONTENT, {.resContent = {FL_PREFIX, PR_SUBJECT_W, &values[1]}}},
        {RES_SIZE, {.resSize = {RELOP_GT, PR_BODY, 4096}}},
    };
    SRestriction inner_or = {RES_OR, {.resOr = {5, &leaves[6]}}};
    SRestriction top = {RES_AND, {.resAnd = {6, &leaves[0]}}};
    SRestriction empty_and = {RES_AND, {.resAnd = {0, nullptr}}};
};

struct RichActions {
    BYTE store[6] = {1, 2, 3, 4, 5, 6};
    BYTE folder[3] = {9, 8, 7};
    SPropTagArray tags = {1, {PR_SUBJECT}};
    char filter_text[4] = "abc";
    SPropValue filter_value = {PR_SUBJECT, 0, {.lpszA = filter_text}};
    SRestriction filter = {RES_CONTENT, {.resContent = {FL_FULLSTRING, PR_SUBJECT, &filter_value}}};
    ACTION list[5] = {
        {OP_MOVE, 0, nullptr, nullptr, 0, 0, {.actMoveCopy = {6, Id(store), 3, Id(folder)}}},
        {OP_COPY, 3, &filter, &tags, 0x100, 0, {.actMoveCopy = {0, nullptr, 3, Id(folder)}}},
        {OP_TAG, 0, nullptr, nullptr, 0, 0, {.propTag = filter_value}},
        {OP_BOUNCE, 0, nullptr, nullptr, 0, 0, {.scBounceCode = 0x0000000D}},
        {OP_DELETE, 0, nullptr, nullptr, 0, 0, {}},
    };
    ACTIONS actions = {EDK_RULES_VERSION, 5, list};
    static LPENTRYID Id(BYTE* bytes) { return reinterpret_cast<LPENTRYID>(bytes); }
};

struct Chain {
    LPVOID head = nullptr;
    Chain() { MAPIAllocateBuffer(1, &head); }
    ~Chain() { MAPIFreeBuffer(head); }
};

TEST(RulesEncoding, ConditionsActionsAndPropertiesReadBackExactly) {
    const ULONG buffers = MAPIDebugLiveBuffers();
    {
        RichCondition condition;
        std::vector<BYTE> bytes, again;
        ASSERT_EQ(EncodeRestriction(&condition.top, &bytes), S_OK);
        Chain chain;
        LPSRestriction back = nullptr;
        ASSERT_EQ(DecodeRestriction(bytes, chain.head, &back), S_OK);
        // What was read encodes to the very same bytes ...
        ASSERT_EQ(EncodeRestriction(back, &again), S_OK);
        EXPECT_EQ(again, bytes);
        // ... and holds the values themselves, not pointers into the source.
        ASSERT_EQ(back->rt, RES_AND);
        ASSERT_EQ(back->res.resAnd.cRes, 6u);
        const SRestriction& content = back->res.resAnd.lpRes[0];
        EXPECT_EQ(content.res.resContent.ulFuzzyLevel, 0x00050001u);
        EXPECT_NE(content.res.resContent.lpProp->Value.lpszA, condition.text);
        EXPECT_STREQ(content.res.resContent.lpProp->Value.lpszA, "X-Spam: yes");
        EXPECT_EQ(content.res.resContent.lpProp->dwAlignPad, 0x5A5A5A5Au);
        const SRestriction& alternatives = *back->res.resAnd.lpRes[4].res.resNot.lpRes;
        ASSERT_EQ(alternatives.rt, RES_OR);
        ASSERT_EQ(alternatives.res.resOr.cRes, 5u);
        const SPropValue& binary = *alternatives.res.resOr.lpRes[0].res.resProperty.lpProp;
        EXPECT_EQ(Bytes(binary.Value.bin.lpb, binary.Value.bin.cb),
                  std::vector<BYTE>({0, 1, 2, 0xFE, 0xFF}));
        EXPECT_EQ(alternatives.res.resOr.lpRes[1].res.resSub.lpRes->rt, RES_CONTENT);
        EXPECT_EQ(back->res.resAnd.lpRes[1].res.resProperty.lpProp->Value.ft.dwHighDateTime,
                  0x01D9ABCDu);
        ASSERT_EQ(EncodeRestriction(&condition.empty_and, &bytes), S_OK);
        ASSERT_EQ(DecodeRestriction(bytes, chain.head, &back), S_OK);
        EXPECT_EQ(back->res.resAnd.cRes, 0u);

        RichActions actions;
        ASSERT_EQ(EncodeActions(&actions.actions, &bytes), S_OK);
        LPACTIONS read = nullptr;
        ASSERT_EQ(DecodeActions(bytes, chain.head, &read), S_OK);
        ASSERT_EQ(EncodeActions(read, &again), S_OK);
        EXPECT_EQ(again, bytes);
        ASSERT_EQ(read->cActions, 5u);
        const ACTMOVECOPY& move = read->lpAction[0].actMoveCopy;
        EXPECT_EQ(Bytes(move.lpStoreEntryId, move.cbStoreEntryId),
                  std::vector<BYTE>({1, 2, 3, 4, 5, 6}));
        EXPECT_EQ(Bytes(move.lpFldEntryId, move.cbFldEntryId), std::vector<BYTE>({9, 8, 7}));
        EXPECT_EQ(read->lpAction[1].lpPropTagArray->aulPropTag[0], PR_SUBJECT);
        auto spam = [](const SBinary& id) { return id.cb == 3 ? std::string("Spam") : ""; };
        EXPECT_EQ(DescribeActions(read, spam),
                  "move(Spam); copy(Spam); tag(PR_SUBJECT = \"abc\"); bounce(0x0000000d); delete");

        // A message's properties, every type among them.
        ASSERT_EQ(EncodeProps(12, condition.values, &bytes), S_OK);
        ULONG count = 0;
        LPSPropValue props = nullptr;
        ASSERT_EQ(DecodeProps(bytes, chain.head, &count, &props), S_OK);
        ASSERT_EQ(count, 12u);
        ASSERT_EQ(EncodeProps(count, props, &again), S_OK);
        EXPECT_EQ(again, bytes);
        EXPECT_EQ(props[5].Value.dbl, -2.5e-300);
        EXPECT_EQ(props[6].Value.lpguid->Data4[7], 8);
    }
    EXPECT_EQ(MAPIDebugLiveBuffers(), buffers);
}

TEST(RulesEncoding, DamagedBytesAreRefusedNeverFollowed) {
    RichCondition condition;
    RichActions actions;
    std::vector<BYTE> good_condition, good_actions, good_props;
    ASSERT_EQ(EncodeRestriction(&condition.top, &good_condition), S_OK);
    ASSERT_EQ(EncodeActions(&actions.actions, &good_actions), S_OK);
    ASSERT_EQ(EncodeProps(12, condition.values, &good_props), S_OK);
    const ULONG buffers = MAPIDebugLiveBuffers();
    Chain chain;
    LPSRestriction out = nullptr;
    LPACTIONS acts = nullptr;
    ULONG count = 0;
    LPSPropValue props = nullptr;
    // Every cut short of the whole, and every extra byte, is damage.
    for (std::size_t n = 0; n <= good_condition.size(); ++n) {
        std::vector<BYTE> cut(good_condition.begin(), good_condition.begin() + n);
        if (n == good_condition.size())
            cut.push_back(0);
        EXPECT_EQ(DecodeRestriction(cut, chain.head, &out), MAPI_E_CORRUPT_DATA) << n;
        EXPECT_EQ(out, nullptr);
    }
    for (std::size_t n = 0; n < good_actions.size(); ++n) {
        std::vector<BYTE> cut(good_actions.begin(), good_actions.begin() + n);
        EXPECT_EQ(DecodeActions(cut, chain.head, &acts), MAPI_E_CORRUPT_DATA) << n;
    }
    for (std::size_t n = 0; n < good_props.size(); ++n) {
        std::vector<BYTE> cut(good_props.begin(), good_props.begin() + n);
        EXPECT_EQ(DecodeProps(cut, chain.head, &count, &props), MAPI_E_CORRUPT_DATA) << n;
    }
    // A condition is no list of actions, and another version is refused.
    EXPECT_EQ(DecodeActions(good_condition, chain.head, &acts), MAPI_E_CORRUPT_DATA);
    std::vector<BYTE> newer = good_condition;
    newer[4] = 2;
    EXPECT_EQ(DecodeRestriction(newer, chain.head, &out), MAPI_E_CORRUPT_DATA);
    // A count that promises more items than there are bytes.
    std::vector<BYTE> huge = {'S', 'W', 'R', 'C', 1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(DecodeRestriction(huge, chain.head, &out), MAPI_E_CORRUPT_DATA);
    // A NUL inside a string would shorten it on the way back.
    std::vector<BYTE> nul = good_condition;
    const auto at = std::search(nul.begin(), nul.end(), condition.text, condition.text + 6);
    ASSERT_NE(at, nul.end());
    at[1] = 0;
    EXPECT_EQ(DecodeRestriction(nul, chain.head, &out), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(MAPIDebugLiveBuffers(), buffers + 1);
}

TEST(RulesEncoding, NestingIsLimitedBothWaysAndMalformedStructuresAreRefused) {
    // 64 levels are kept; 65 are refused when written.
    std::vector<SRestriction> chain(70);
    SPropValue value{PR_SUBJECT, 0, {.lpszA = const_cast<char*>("x")}};
    auto build = [&](std::size_t depth) {
        for (std::size_t i = 0; i + 1 < depth; ++i)
            chain[i] = {RES_NOT, {.resNot = {0, &chain[i + 1]}}};
        chain[depth - 1] = {RES_CONTENT, {.resContent = {FL_SUBSTRING, PR_SUBJECT, &value}}};
        return &chain[0];
    };
    std::vector<BYTE> bytes;
    ASSERT_EQ(EncodeRestriction(build(64), &bytes), S_OK);
    Chain holder;
    LPSRestriction out = nullptr;
    EXPECT_EQ(DecodeRestriction(bytes, holder.head, &out), S_OK);
    EXPECT_EQ(EncodeRestriction(build(65), &bytes), MAPI_E_TOO_COMPLEX);
    EXPECT_TRUE(bytes.empty());
    // Bytes that nest deeper than that are damage, not a stack overflow.
    std::vector<BYTE> deep = {'S', 'W', 'R', 'C', 1};
    for (int i = 0; i < 100000; ++i)
        deep.insert(deep.end(), {2, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(DecodeRestriction(deep, holder.head, &out), MAPI_E_CORRUPT_DATA);

    // Null where a structure is needed, and kinds this encoding does not know.
    SPropValue multi{PROP_TAG(0x1003, 0x6000), 0, {}};
    const SRestriction bad[] = {
        {RES_NOT, {.resNot = {0, nullptr}}},
        {RES_AND, {.resAnd = {2, nullptr}}},
        {0x77, {}},
    };
    for (const SRestriction& r : bad)
        EXPECT_EQ(EncodeRestriction(&r, &bytes), MAPI_E_INVALID_PARAMETER) << r.rt;
    SRestriction odd = {RES_PROPERTY, {.resProperty = {RELOP_EQ, multi.ulPropTag, &multi}}};
    EXPECT_EQ(EncodeRestriction(&odd, &bytes), MAPI_E_INVALID_TYPE);
    ACTIONS none{EDK_RULES_VERSION, 3, nullptr};
    EXPECT_EQ(EncodeActions(&none, &bytes), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(EncodeActions(nullptr, &bytes), MAPI_E_INVALID_PARAMETER);
}

// Where headers end and how the marker is found there, the hostile delivery
// tests show through the store; here the subject's decoding.
TEST(MessageParsing, TheSubjectIsUnfoldedAndItsEncodedWordsDecoded) {
    ParsedMessage m;
    std::string error;
    ASSERT_EQ(ParseMessage("Received: from a\r\nSubject: Re: your\r\n =?UTF-8?B?R3LDvMOfZQ==?= "
                           "here\r\n\r\nLine 1\r\n",
                           &m, &error),
              S_OK);
    EXPECT_EQ(m.subject, "Re: your Grüße here");
    EXPECT_EQ(m.body, "Line 1\r\n");
    // Two encoded words in a row join without the space between them; Q
    // encoding turns '_' into a space and takes hex digits in either case;
    // Latin-1 becomes UTF-8.
    ASSERT_EQ(
        ParseMessage("subject: =?iso-8859-1?q?caf=E9_au?= =?utf-8?Q?_l=c3=a4it?=\n\nx", &m, &error),
        S_OK);
    EXPECT_EQ(m.subject, "café au läit");
    // A broken encoded word stays as written.
    ASSERT_EQ(ParseMessage("Subject: =?utf-8?B?###?= ok\n\n", &m, &error), S_OK);
    EXPECT_EQ(m.subject, "=?utf-8?B?###?= ok");
    EXPECT_EQ(ParseMessage(" \r\n\t", &m, &error), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(error, "the message is empty");
}

} // namespace
