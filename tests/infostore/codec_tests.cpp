// How conditions, actions and messages are kept: the rules encoding reads
// back exactly and refuses damaged bytes; subjects are decoded; entry
// identifiers name one object of one store file.
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
// encoding knows, nested a few levels deep.
struct RichCondition {
    char text[16] = "X-Spam: yes";
    char16_t wide[8] = u"Wörter";
    BYTE bin[5] = {0, 1, 2, 0xFE, 0xFF};
    GUID guid = {0x12345678, 0xABCD, 0xEF01, {1, 2, 3, 4, 5, 6, 7, 8}};
    SPropValue values[12] = {};
    SRestriction leaves[10] = {};
    SRestriction inner_or[2] = {};
    SRestriction not_inner = {};
    SRestriction top = {};

    RichCondition() {
        values[0].ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
        values[0].dwAlignPad = 0x5A5A5A5A; // kept as written
        values[0].Value.lpszA = text;
        values[1].ulPropTag = PR_SUBJECT_W;
        values[1].Value.lpszW = wide;
        values[2].ulPropTag = PROP_TAG(PT_BINARY, 0x6001);
        values[2].Value.bin = {5, bin};
        values[3].ulPropTag = PR_CREATION_TIME;
        values[3].Value.ft = {0x89ABCDEF, 0x01D9ABCD};
        values[4].ulPropTag = PROP_TAG(PT_I8, 0x6002);
        values[4].Value.li = -1234567890123ll;
        values[5].ulPropTag = PROP_TAG(PT_DOUBLE, 0x6003);
        values[5].Value.dbl = -2.5e-300;
        values[6].ulPropTag = PROP_TAG(PT_CLSID, 0x6004);
        values[6].Value.lpguid = &guid;
        values[7].ulPropTag = PROP_TAG(PT_BOOLEAN, 0x6005);
        values[7].Value.b = 1;
        values[8].ulPropTag = PROP_TAG(PT_I2, 0x6006);
        values[8].Value.i = -7;
        values[9].ulPropTag = PROP_TAG(PT_STRING8, 0x6007);
        values[9].Value.lpszA = nullptr; // a null string stays null
        values[10].ulPropTag = PROP_TAG(PT_R4, 0x6008);
        values[10].Value.flt = 0.25f;
        values[11].ulPropTag = PROP_TAG(PT_ERROR, 0x6009);
        values[11].Value.err = MAPI_E_NOT_FOUND;

        leaves[0].rt = RES_CONTENT;
        leaves[0].res.resContent = {FL_SUBSTRING | FL_IGNORECASE | FL_LOOSE,
                                    PR_TRANSPORT_MESSAGE_HEADERS, &values[0]};
        leaves[1].rt = RES_PROPERTY;
        leaves[1].res.resProperty = {RELOP_LT, PR_MESSAGE_DELIVERY_TIME, &values[3]};
        leaves[2].rt = RES_COMPAREPROPS;
        leaves[2].res.resCompareProps = {RELOP_GE, PR_SUBJECT, PR_BODY};
        leaves[3].rt = RES_BITMASK;
        leaves[3].res.resBitMask = {BMR_NEZ, PR_RULE_STATE, 0x11};
        leaves[4].rt = RES_SIZE;
        leaves[4].res.resSize = {RELOP_GT, PR_BODY, 4096};
        leaves[5].rt = RES_EXIST;
        leaves[5].res.resExist = {7, PR_SUBJECT, 9};
        leaves[6].rt = RES_PROPERTY;
        leaves[6].res.resProperty = {RELOP_EQ, PROP_TAG(PT_BINARY, 0x6001), &values[2]};
        leaves[7].rt = RES_SUBRESTRICTION;
        leaves[7].res.resSub = {0x0E12000D, &leaves[0]};
        leaves[8].rt = RES_COMMENT;
        leaves[8].res.resComment = {9, &leaves[5], &values[3]};
        leaves[9].rt = RES_CONTENT;
        leaves[9].res.resContent = {FL_PREFIX, PR_SUBJECT_W, &values[1]};

        inner_or[0].rt = RES_OR;
        inner_or[0].res.resOr = {4, &leaves[6]};
        inner_or[1].rt = RES_AND;
        inner_or[1].res.resAnd = {0, nullptr};
        not_inner.rt = RES_NOT;
        not_inner.res.resNot = {0, &inner_or[0]};
        top.rt = RES_AND;
        top.res.resAnd = {6, &leaves[0]};
        // The AND holds leaves 0..5; leaf 4 is replaced by the NOT so the
        // nesting goes AND > NOT > OR > SUB > CONTENT.
        leaves[4] = not_inner;
    }
};

struct RichActions {
    BYTE store[6] = {1, 2, 3, 4, 5, 6};
    BYTE folder[3] = {9, 8, 7};
    SPropTagArray tags = {1, {PR_SUBJECT}};
    SRestriction filter = {};
    SPropValue filter_value = {};
    char filter_text[4] = "abc";
    ACTION list[5] = {};
    ACTIONS actions = {EDK_RULES_VERSION, 5, list};

    RichActions() {
        filter_value.ulPropTag = PR_SUBJECT;
        filter_value.Value.lpszA = filter_text;
        filter.rt = RES_CONTENT;
        filter.res.resContent = {FL_FULLSTRING, PR_SUBJECT, &filter_value};
        list[0].acttype = OP_MOVE;
        list[0].actMoveCopy = {6, reinterpret_cast<LPENTRYID>(store), 3,
                               reinterpret_cast<LPENTRYID>(folder)};
        list[1].acttype = OP_COPY;
        list[1].ulActionFlavor = 3;
        list[1].ulFlags = 0x100;
        list[1].lpRes = &filter;
        list[1].lpPropTagArray = &tags;
        list[1].actMoveCopy = {0, nullptr, 3, reinterpret_cast<LPENTRYID>(folder)};
        list[2].acttype = OP_TAG;
        list[2].propTag.ulPropTag = PR_SUBJECT;
        list[2].propTag.Value.lpszA = filter_text;
        list[3].acttype = OP_BOUNCE;
        list[3].scBounceCode = 0x0000000D;
        list[4].acttype = OP_DELETE;
    }
};

class Chain {
public:
    Chain() { MAPIAllocateBuffer(1, &head_); }
    ~Chain() { MAPIFreeBuffer(head_); }
    LPVOID get() const { return head_; }

private:
    LPVOID head_ = nullptr;
};

TEST(RulesEncoding, ConditionsAndActionsReadBackExactly) {
    const ULONG buffers = MAPIDebugLiveBuffers();
    {
        RichCondition condition;
        std::vector<BYTE> bytes;
        ASSERT_EQ(EncodeRestriction(&condition.top, &bytes), S_OK);
        Chain chain;
        LPSRestriction back = nullptr;
        ASSERT_EQ(DecodeRestriction(bytes, chain.get(), &back), S_OK);
        // What was read encodes to the very same bytes ...
        std::vector<BYTE> again;
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
        const SRestriction& negation = back->res.resAnd.lpRes[4];
        ASSERT_EQ(negation.rt, RES_NOT);
        const SRestriction& alternatives = *negation.res.resNot.lpRes;
        ASSERT_EQ(alternatives.rt, RES_OR);
        ASSERT_EQ(alternatives.res.resOr.cRes, 4u);
        const SRestriction& binary = alternatives.res.resOr.lpRes[0];
        EXPECT_EQ(Bytes(binary.res.resProperty.lpProp->Value.bin.lpb,
                        binary.res.resProperty.lpProp->Value.bin.cb),
                  std::vector<BYTE>({0, 1, 2, 0xFE, 0xFF}));
        const SRestriction& sub = alternatives.res.resOr.lpRes[1];
        EXPECT_EQ(sub.res.resSub.ulSubObject, 0x0E12000Du);
        EXPECT_EQ(sub.res.resSub.lpRes->rt, RES_CONTENT);
        EXPECT_EQ(back->res.resAnd.lpRes[1].res.resProperty.lpProp->Value.ft.dwHighDateTime,
                  0x01D9ABCDu);

        RichActions actions;
        ASSERT_EQ(EncodeActions(&actions.actions, &bytes), S_OK);
        LPACTIONS read = nullptr;
        ASSERT_EQ(DecodeActions(bytes, chain.get(), &read), S_OK);
        ASSERT_EQ(EncodeActions(read, &again), S_OK);
        EXPECT_EQ(again, bytes);
        ASSERT_EQ(read->cActions, 5u);
        EXPECT_EQ(read->lpAction[0].acttype, OP_MOVE);
        EXPECT_EQ(Bytes(read->lpAction[0].actMoveCopy.lpStoreEntryId,
                        read->lpAction[0].actMoveCopy.cbStoreEntryId),
                  std::vector<BYTE>({1, 2, 3, 4, 5, 6}));
        EXPECT_EQ(Bytes(read->lpAction[0].actMoveCopy.lpFldEntryId,
                        read->lpAction[0].actMoveCopy.cbFldEntryId),
                  std::vector<BYTE>({9, 8, 7}));
        EXPECT_EQ(read->lpAction[1].actMoveCopy.lpStoreEntryId, nullptr);
        EXPECT_EQ(read->lpAction[1].lpPropTagArray->aulPropTag[0], PR_SUBJECT);
        EXPECT_EQ(read->lpAction[1].ulFlags, 0x100u);
        EXPECT_STREQ(read->lpAction[2].propTag.Value.lpszA, "abc");
        EXPECT_EQ(read->lpAction[3].scBounceCode, 0x0D);
    }
    EXPECT_EQ(MAPIDebugLiveBuffers(), buffers);
}

TEST(RulesEncoding, DamagedBytesAreRefusedNeverFollowed) {
    RichCondition condition;
    RichActions actions;
    std::vector<BYTE> good_condition, good_actions;
    ASSERT_EQ(EncodeRestriction(&condition.top, &good_condition), S_OK);
    ASSERT_EQ(EncodeActions(&actions.actions, &good_actions), S_OK);
    const ULONG buffers = MAPIDebugLiveBuffers();

    // Every cut short of the whole, and every extra byte, is damage.
    for (std::size_t n = 0; n < good_condition.size(); ++n) {
        Chain chain;
        LPSRestriction out = nullptr;
        std::vector<BYTE> cut(good_condition.begin(), good_condition.begin() + n);
        EXPECT_EQ(DecodeRestriction(cut, chain.get(), &out), MAPI_E_CORRUPT_DATA) << n;
        EXPECT_EQ(out, nullptr);
    }
    for (std::size_t n = 0; n < good_actions.size(); ++n) {
        Chain chain;
        LPACTIONS out = nullptr;
        std::vector<BYTE> cut(good_actions.begin(), good_actions.begin() + n);
        EXPECT_EQ(DecodeActions(cut, chain.get(), &out), MAPI_E_CORRUPT_DATA) << n;
    }
    {
        Chain chain;
        LPSRestriction out = nullptr;
        std::vector<BYTE> longer = good_condition;
        longer.push_back(0);
        EXPECT_EQ(DecodeRestriction(longer, chain.get(), &out), MAPI_E_CORRUPT_DATA);
        // A condition is no list of actions, and another version is refused.
        LPACTIONS wrong = nullptr;
        EXPECT_EQ(DecodeActions(good_condition, chain.get(), &wrong), MAPI_E_CORRUPT_DATA);
        std::vector<BYTE> newer = good_condition;
        newer[4] = 2;
        EXPECT_EQ(DecodeRestriction(newer, chain.get(), &out), MAPI_E_CORRUPT_DATA);
        // A count that promises more items than there are bytes.
        std::vector<BYTE> huge = {'S', 'W', 'R', 'C', 1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F};
        EXPECT_EQ(DecodeRestriction(huge, chain.get(), &out), MAPI_E_CORRUPT_DATA);
    }

    EXPECT_EQ(MAPIDebugLiveBuffers(), buffers);
}

TEST(RulesEncoding, NestingIsLimitedBothWaysAndMalformedStructuresAreRefused) {
    // 64 levels are kept; 65 are refused when written.
    std::vector<SRestriction> chain(70);
    SPropValue value{};
    value.ulPropTag = PR_SUBJECT;
    value.Value.lpszA = const_cast<char*>("x");
    auto build = [&](std::size_t depth) {
        for (std::size_t i = 0; i + 1 < depth; ++i) {
            chain[i].rt = RES_NOT;
            chain[i].res.resNot = {0, &chain[i + 1]};
        }
        chain[depth - 1].rt = RES_CONTENT;
        chain[depth - 1].res.resContent = {FL_SUBSTRING, PR_SUBJECT, &value};
        return &chain[0];
    };
    std::vector<BYTE> bytes;
    ASSERT_EQ(EncodeRestriction(build(64), &bytes), S_OK);
    Chain holder;
    LPSRestriction out = nullptr;
    EXPECT_EQ(DecodeRestriction(bytes, holder.get(), &out), S_OK);
    EXPECT_EQ(EncodeRestriction(build(65), &bytes), MAPI_E_TOO_COMPLEX);
    EXPECT_TRUE(bytes.empty());

    // Bytes that nest deeper than that are damage, not a stack overflow.
    std::vector<BYTE> deep = {'S', 'W', 'R', 'C', 1};
    for (int i = 0; i < 100000; ++i)
        deep.insert(deep.end(), {2, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(DecodeRestriction(deep, holder.get(), &out), MAPI_E_CORRUPT_DATA);

    // Null where a structure is needed, and kinds this encoding does not know.
    SRestriction bad{};
    bad.rt = RES_NOT;
    bad.res.resNot = {0, nullptr};
    EXPECT_EQ(EncodeRestriction(&bad, &bytes), MAPI_E_INVALID_PARAMETER);
    bad.rt = RES_AND;
    bad.res.resAnd = {2, nullptr};
    EXPECT_EQ(EncodeRestriction(&bad, &bytes), MAPI_E_INVALID_PARAMETER);
    bad.rt = 0x77;
    EXPECT_EQ(EncodeRestriction(&bad, &bytes), MAPI_E_INVALID_PARAMETER);
    SPropValue odd{};
    odd.ulPropTag = PROP_TAG(0x1003, 0x6000); // a multi-valued type
    bad.rt = RES_PROPERTY;
    bad.res.resProperty = {RELOP_EQ, odd.ulPropTag, &odd};
    EXPECT_EQ(EncodeRestriction(&bad, &bytes), MAPI_E_INVALID_TYPE);
    ACTIONS none{EDK_RULES_VERSION, 3, nullptr};
    EXPECT_EQ(EncodeActions(&none, &bytes), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(EncodeActions(nullptr, &bytes), MAPI_E_INVALID_PARAMETER);
}

TEST(RulesEncoding, ReadableFormsNameEveryKindOfAction) {
    RichActions actions;
    auto spam = [](const SBinary& id) { return id.cb == 3 ? std::string("Spam") : std::string(); };
    EXPECT_EQ(DescribeActions(&actions.actions, spam),
              "move(Spam); copy(Spam); tag(PR_SUBJECT = \"abc\"); bounce(0x0000000d); delete");
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
    // encoding turns '_' into a space; Latin-1 becomes UTF-8.
    ASSERT_EQ(
        ParseMessage("subject: =?iso-8859-1?q?caf=E9_au?= =?utf-8?Q?_lait?=\n\nx", &m, &error),
        S_OK);
    EXPECT_EQ(m.subject, "café au lait");
    // A broken encoded word stays as written.
    ASSERT_EQ(ParseMessage("Subject: =?utf-8?B?###?= ok\n\n", &m, &error), S_OK);
    EXPECT_EQ(m.subject, "=?utf-8?B?###?= ok");
    EXPECT_EQ(ParseMessage(" \r\n\t", &m, &error), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(error, "the message is empty");
}

// Identifiers travel between processes in the command-line tests; here the
// parts a process cannot see: the kind, and the store file they belong to.
TEST(EntryIds, NameOneObjectOfOneStoreFile) {
    BYTE guid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    BYTE other[16] = {};
    std::vector<BYTE> folder = MakeObjectEntryId(guid, EntryKind::Folder, 0x123456789ll);
    EntryIdParts parts;
    ASSERT_EQ(ParseEntryId(guid, folder.data(), folder.size(), &parts), S_OK);
    EXPECT_EQ(parts.kind, EntryKind::Folder);
    EXPECT_EQ(parts.row_id, 0x123456789ll);
    EXPECT_EQ(ParseEntryId(other, folder.data(), folder.size(), &parts), MAPI_E_INVALID_ENTRYID);
    EXPECT_NE(MakeObjectEntryId(guid, EntryKind::Message, 0x123456789ll), folder);
    std::vector<BYTE> store = MakeStoreEntryId(guid, 9, "/o=X/cn=m/cn=Microsoft Private MDB",
                                               "/o=X/ou=Y/cn=Recipients/cn=alice");
    ASSERT_EQ(ParseEntryId(guid, store.data(), store.size(), &parts), S_OK);
    EXPECT_EQ(parts.kind, EntryKind::Store);
    EXPECT_EQ(parts.mailbox_dn, "/o=X/ou=Y/cn=Recipients/cn=alice");
}

} // namespace
