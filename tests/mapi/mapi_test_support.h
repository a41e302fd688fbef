// Value and restriction builders for the MAPI runtime tests, and a fixture
// that insists every test gives back each buffer, block and object it obtained.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailstore/mapitags.h"
#include "platform/mapi/mapi_internal.h"

namespace mapi_test {

inline SPropValue Long(ULONG tag, LONG v) {
    return {tag, 0, {.l = v}};
}
inline SPropValue Time(ULONG tag, std::uint64_t v) {
    return {tag, 0, {.ft = {static_cast<ULONG>(v), static_cast<ULONG>(v >> 32)}}};
}
inline SPropValue Str(ULONG tag, const char* s) {
    return {tag, 0, {.lpszA = const_cast<char*>(s)}};
}
inline SPropValue WStr(ULONG tag, const char16_t* s) {
    return {tag, 0, {.lpszW = const_cast<char16_t*>(s)}};
}
inline SPropValue Bin(ULONG tag, const std::vector<BYTE>& b) {
    return {tag, 0, {.bin = {static_cast<ULONG>(b.size()), const_cast<BYTE*>(b.data())}}};
}

inline SRestriction Content(ULONG fuzzy, ULONG tag, SPropValue* value) {
    return {RES_CONTENT, {.resContent = {fuzzy, tag, value}}};
}
inline SRestriction Property(ULONG relop, ULONG tag, SPropValue* value) {
    return {RES_PROPERTY, {.resProperty = {relop, tag, value}}};
}
inline SRestriction And(std::vector<SRestriction>& list) {
    return {RES_AND, {.resAnd = {static_cast<ULONG>(list.size()), list.data()}}};
}
inline SRestriction Or(std::vector<SRestriction>& list) {
    return {RES_OR, {.resOr = {static_cast<ULONG>(list.size()), list.data()}}};
}
inline SRestriction Not(SRestriction* inner) {
    return {RES_NOT, {.resNot = {0, inner}}};
}
inline SRestriction Exist(ULONG tag) {
    return {RES_EXIST, {.resExist = {0, tag, 0}}};
}
// A chain of `depth` restrictions: NOTs around an EXIST of PR_DISPLAY_NAME.
inline std::vector<SRestriction> NotChain(std::size_t depth) {
    std::vector<SRestriction> chain(depth);
    chain.back() = Exist(PR_DISPLAY_NAME);
    for (std::size_t i = 0; i + 1 < depth; ++i)
        chain[i] = Not(&chain[i + 1]);
    return chain;
}

// Every test ends with the live buffers, blocks and objects it began with.
class LeakCheckedTest : public ::testing::Test {
protected:
    void SetUp() override {
        buffers_ = MAPIDebugLiveBuffers();
        blocks_ = mapi_detail::DebugLiveBlocks();
        objects_ = MAPIDebugLiveObjects();
    }
    void TearDown() override {
        EXPECT_EQ(MAPIDebugLiveBuffers(), buffers_) << "buffers left behind";
        EXPECT_EQ(mapi_detail::DebugLiveBlocks(), blocks_) << "blocks left behind";
        EXPECT_EQ(MAPIDebugLiveObjects(), objects_) << "objects left behind";
    }

private:
    ULONG buffers_ = 0;
    ULONG blocks_ = 0;
    ULONG objects_ = 0;
};

} // namespace mapi_test
