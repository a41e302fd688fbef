// Helpers shared by the MAPI runtime tests: value builders and a fixture
// that insists every test gives back each buffer and object it obtained.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailstore/mapitags.h"
#include "platform/mapi/mapi_internal.h"

namespace mapi_test {

inline SPropValue Long(ULONG tag, LONG v) {
    SPropValue p{};
    p.ulPropTag = tag;
    p.Value.l = v;
    return p;
}
inline SPropValue I8(ULONG tag, std::int64_t v) {
    SPropValue p{};
    p.ulPropTag = tag;
    p.Value.li = v;
    return p;
}
inline SPropValue Time(ULONG tag, std::uint64_t v) {
    SPropValue p{};
    p.ulPropTag = tag;
    p.Value.ft.dwLowDateTime = static_cast<ULONG>(v);
    p.Value.ft.dwHighDateTime = static_cast<ULONG>(v >> 32);
    return p;
}
inline SPropValue Str(ULONG tag, const char* s) {
    SPropValue p{};
    p.ulPropTag = tag;
    p.Value.lpszA = const_cast<char*>(s);
    return p;
}
inline SPropValue WStr(ULONG tag, const char16_t* s) {
    SPropValue p{};
    p.ulPropTag = tag;
    p.Value.lpszW = const_cast<char16_t*>(s);
    return p;
}
inline SPropValue Bin(ULONG tag, const std::vector<BYTE>& b) {
    SPropValue p{};
    p.ulPropTag = tag;
    p.Value.bin.cb = static_cast<ULONG>(b.size());
    p.Value.bin.lpb = const_cast<BYTE*>(b.data());
    return p;
}

inline SRestriction Content(ULONG fuzzy, ULONG tag, SPropValue* value) {
    SRestriction r{};
    r.rt = RES_CONTENT;
    r.res.resContent = {fuzzy, tag, value};
    return r;
}
inline SRestriction Property(ULONG relop, ULONG tag, SPropValue* value) {
    SRestriction r{};
    r.rt = RES_PROPERTY;
    r.res.resProperty = {relop, tag, value};
    return r;
}
inline SRestriction And(std::vector<SRestriction>& list) {
    SRestriction r{};
    r.rt = RES_AND;
    r.res.resAnd = {static_cast<ULONG>(list.size()), list.data()};
    return r;
}
inline SRestriction Or(std::vector<SRestriction>& list) {
    SRestriction r{};
    r.rt = RES_OR;
    r.res.resOr = {static_cast<ULONG>(list.size()), list.data()};
    return r;
}
inline SRestriction Not(SRestriction* inner) {
    SRestriction r{};
    r.rt = RES_NOT;
    r.res.resNot = {0, inner};
    return r;
}
inline SRestriction Exist(ULONG tag) {
    SRestriction r{};
    r.rt = RES_EXIST;
    r.res.resExist = {0, tag, 0};
    return r;
}

// Every test starts and ends with the same number of live buffers, blocks
// and objects.
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
