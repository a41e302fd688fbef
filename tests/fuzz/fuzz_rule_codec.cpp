// Arbitrary bytes as a stored rule condition, rule actions or property list.
//
// The first byte picks what the rest is read as (and whether the kind mark
// is put in front, so that the fuzzer need not find it first). Decoding
// must never crash; when it succeeds, encoding the result gives the same
// bytes back, and so does encoding a deep copy of it (the copy the rules
// table makes of a row it is given). A decoded condition is then evaluated
// against a delivered message's properties, and everything decoded is
// described as the listings do. Every MAPI buffer is given back.
#include "platform/infostore/infostore_codec.h"

#include "mailstore/mapitags.h"
#include "mailstore/mapix.h"
#include "platform/mapi/mapi_runtime.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "rule encoding broke a promise: %s\n", what);
        std::abort();
    }
}

// The properties a message has when the rules are applied to it.
struct Message {
    char headers[64] = "Received: from a\r\nX-Spam-Flag: YES\r\nSubject: hi\r\n";
    char subject[8] = "hi";
    char body[8] = "text";
    char message_class[16] = "IPM.Note";
    BYTE binary[4] = {1, 2, 3, 4};
    SPropValue values[8] = {};

    Message() {
        values[0].ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
        values[0].Value.lpszA = headers;
        values[1].ulPropTag = PR_SUBJECT;
        values[1].Value.lpszA = subject;
        values[2].ulPropTag = PR_BODY;
        values[2].Value.lpszA = body;
        values[3].ulPropTag = PR_MESSAGE_CLASS;
        values[3].Value.lpszA = message_class;
        values[4].ulPropTag = PR_MESSAGE_DELIVERY_TIME;
        values[4].Value.ft = {0x12345678, 0x01DA0000};
        values[5].ulPropTag = PR_MESSAGE_SIZE;
        values[5].Value.l = 120;
        values[6].ulPropTag = PROP_TAG(PT_BINARY, 0x6700);
        values[6].Value.bin = {4, binary};
        values[7].ulPropTag = PROP_TAG(PT_BOOLEAN, 0x6701);
        values[7].Value.b = 1;
    }
};

std::string FolderName(const SBinary& entry) {
    return entry.cb == 0 ? std::string() : "Folder";
}

void Restriction(const std::vector<BYTE>& bytes, LPVOID parent) {
    LPSRestriction decoded = nullptr;
    if (FAILED(infostore::DecodeRestriction(bytes, parent, &decoded))) {
        Require(decoded == nullptr, "a failed decode hands out a condition");
        return;
    }
    std::vector<BYTE> again;
    Require(infostore::EncodeRestriction(decoded, &again) == S_OK,
            "a decoded condition won't encode");
    Require(again == bytes, "a condition does not round-trip");

    LPSRestriction copy = nullptr;
    if (ScCopyRestriction(&copy, decoded, parent) == S_OK) {
        Require(infostore::EncodeRestriction(copy, &again) == S_OK,
                "a copied condition won't encode");
        Require(again == bytes, "a copied condition encodes differently");
    }
    static Message message;
    const HRESULT hr = MAPIEvaluateRestriction(decoded, 8, message.values);
    Require(hr == S_OK || hr == S_FALSE || hr == MAPI_E_TOO_COMPLEX ||
                hr == MAPI_E_INVALID_PARAMETER,
            "evaluation gives an unexpected result");
    Require(!infostore::DescribeRestriction(decoded).empty(), "an empty description");
}

void Actions(const std::vector<BYTE>& bytes, LPVOID parent) {
    LPACTIONS decoded = nullptr;
    if (FAILED(infostore::DecodeActions(bytes, parent, &decoded))) {
        Require(decoded == nullptr, "a failed decode hands out actions");
        return;
    }
    std::vector<BYTE> again;
    Require(infostore::EncodeActions(decoded, &again) == S_OK, "decoded actions won't encode");
    Require(again == bytes, "actions do not round-trip");

    LPACTIONS copy = nullptr;
    if (ScCopyActions(&copy, decoded, parent) == S_OK) {
        Require(infostore::EncodeActions(copy, &again) == S_OK, "copied actions won't encode");
        Require(again == bytes, "copied actions encode differently");
    }
    Require(!infostore::DescribeActions(decoded, FolderName).empty(), "an empty description");
}

void Props(const std::vector<BYTE>& bytes, LPVOID parent) {
    ULONG count = 0;
    LPSPropValue decoded = nullptr;
    if (FAILED(infostore::DecodeProps(bytes, parent, &count, &decoded))) {
        Require(decoded == nullptr && count == 0, "a failed decode hands out values");
        return;
    }
    std::vector<BYTE> again;
    Require(infostore::EncodeProps(count, decoded, &again) == S_OK, "decoded values won't encode");
    Require(again == bytes, "values do not round-trip");

    LPSPropValue copy = nullptr;
    if (ScDupPropset(count, decoded, &copy) == S_OK) {
        Require(infostore::EncodeProps(count, copy, &again) == S_OK, "copied values won't encode");
        Require(again == bytes, "copied values encode differently");
        MAPIFreeBuffer(copy);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    static const char* const kMarks[] = {"SWRC", "SWRA", "SWRP", "SWRC"};
    const unsigned kind = data[0] & 3;
    std::vector<BYTE> bytes;
    if (data[0] & 4) {
        bytes.assign(kMarks[kind], kMarks[kind] + 4);
        bytes.push_back(1);
    }
    bytes.insert(bytes.end(), data + 1, data + size);

    const ULONG live = MAPIDebugLiveBuffers();
    LPVOID parent = nullptr;
    Require(MAPIAllocateBuffer(1, &parent) == S_OK, "no parent buffer");
    switch (kind) {
    case 1:
        Actions(bytes, parent);
        break;
    case 2:
        Props(bytes, parent);
        break;
    default:
        Restriction(bytes, parent);
        break;
    }
    MAPIFreeBuffer(parent);
    Require(MAPIDebugLiveBuffers() == live, "a MAPI buffer was left behind");
    return 0;
}
