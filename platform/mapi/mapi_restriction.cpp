// Restriction evaluation over one row of property values.
//
// A restriction is checked as a whole first (shape, types, depth) so that a
// malformed branch is reported even when evaluation would never reach it;
// then it is evaluated with the checked tree.
//
// Choices made here:
// - A content or property restriction finds the row's value by the
//   restriction's own tag and compares it with the given value alone; the
//   value's tag only has to be of a compatible type (the same type, or both
//   string types: 8-bit strings are UTF-8 and compare with UTF-16 ones).
// - A row that lacks the property never matches a content, property, size,
//   bitmask or compare-properties restriction, whatever the operator
//   (RELOP_NE included); RES_NOT around it does match.
// - Relational string comparisons ignore case, as a mail store collates
//   names; content restrictions ignore case only when the fuzzy level says so.
//   FL_LOOSE ignores both case and non-spacing marks.
// - RELOP_RE (regular expressions) and sub-object restrictions are not
//   evaluated: MAPI_E_TOO_COMPLEX.
#include <algorithm>
#include <cstring>
#include <new>

#include "platform/mapi/mapi_internal.h"

namespace mapi_detail {

namespace {

constexpr ULONG kFuzzyKnownHigh = FL_IGNORECASE | FL_IGNORENONSPACE | FL_LOOSE;

bool RelopIsOrdered(ULONG relop) {
    return relop <= RELOP_NE;
}

HRESULT CheckValueFor(ULONG tag, const SPropValue* value) {
    if (value == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    const ULONG want = PROP_TYPE(tag);
    const ULONG have = PROP_TYPE(value->ulPropTag);
    if (want != PT_UNSPECIFIED && !TypesCompatible(want, have))
        return MAPI_E_INVALID_PARAMETER;
    return S_OK;
}

HRESULT Check(const SRestriction* r, unsigned depth) {
    if (r == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    if (depth > kMaxRestrictionDepth)
        return MAPI_E_TOO_COMPLEX;
    switch (r->rt) {
    case RES_AND:
    case RES_OR: {
        const ULONG count = r->rt == RES_AND ? r->res.resAnd.cRes : r->res.resOr.cRes;
        const SRestriction* list = r->rt == RES_AND ? r->res.resAnd.lpRes : r->res.resOr.lpRes;
        if (count > 0 && list == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        for (ULONG i = 0; i < count; ++i)
            if (HRESULT hr = Check(&list[i], depth + 1); FAILED(hr))
                return hr;
        return S_OK;
    }
    case RES_NOT:
        return Check(r->res.resNot.lpRes, depth + 1);
    case RES_CONTENT: {
        const SContentRestriction& c = r->res.resContent;
        if ((c.ulFuzzyLevel & 0xFFFFu) > FL_PREFIX ||
            (c.ulFuzzyLevel >> 16) & ~(kFuzzyKnownHigh >> 16))
            return MAPI_E_INVALID_PARAMETER;
        if (HRESULT hr = CheckValueFor(c.ulPropTag, c.lpProp); FAILED(hr))
            return hr;
        const ULONG type = PROP_TYPE(c.lpProp->ulPropTag);
        return (IsStringType(type) || type == PT_BINARY) ? S_OK : MAPI_E_INVALID_PARAMETER;
    }
    case RES_PROPERTY: {
        const SPropertyRestriction& p = r->res.resProperty;
        if (p.relop == RELOP_RE)
            return MAPI_E_TOO_COMPLEX;
        if (!RelopIsOrdered(p.relop))
            return MAPI_E_INVALID_PARAMETER;
        if (HRESULT hr = CheckValueFor(p.ulPropTag, p.lpProp); FAILED(hr))
            return hr;
        return TypeIsComparable(PROP_TYPE(p.lpProp->ulPropTag)) ? S_OK : MAPI_E_INVALID_PARAMETER;
    }
    case RES_COMPAREPROPS: {
        const SComparePropsRestriction& c = r->res.resCompareProps;
        if (c.relop == RELOP_RE)
            return MAPI_E_TOO_COMPLEX;
        if (!RelopIsOrdered(c.relop) || !TypeIsComparable(PROP_TYPE(c.ulPropTag1)) ||
            !TypesCompatible(PROP_TYPE(c.ulPropTag1), PROP_TYPE(c.ulPropTag2)))
            return MAPI_E_INVALID_PARAMETER;
        return S_OK;
    }
    case RES_BITMASK: {
        const SBitMaskRestriction& b = r->res.resBitMask;
        if (b.relBMR != BMR_EQZ && b.relBMR != BMR_NEZ)
            return MAPI_E_INVALID_PARAMETER;
        const ULONG type = PROP_TYPE(b.ulPropTag);
        return (type == PT_LONG || type == PT_I2 || type == PT_BOOLEAN) ? S_OK
                                                                        : MAPI_E_INVALID_PARAMETER;
    }
    case RES_SIZE:
        if (r->res.resSize.relop == RELOP_RE)
            return MAPI_E_TOO_COMPLEX;
        return RelopIsOrdered(r->res.resSize.relop) ? S_OK : MAPI_E_INVALID_PARAMETER;
    case RES_EXIST:
        return S_OK;
    case RES_SUBRESTRICTION:
        return MAPI_E_TOO_COMPLEX;
    case RES_COMMENT: {
        const SCommentRestriction& c = r->res.resComment;
        if (c.cValues > 0 && c.lpProp == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        return c.lpRes == nullptr ? S_OK : Check(c.lpRes, depth + 1);
    }
    default:
        return MAPI_E_INVALID_PARAMETER;
    }
}

bool Relate(ULONG relop, std::partial_ordering order) {
    if (order == std::partial_ordering::unordered)
        return relop == RELOP_NE;
    switch (relop) {
    case RELOP_LT:
        return order < 0;
    case RELOP_LE:
        return order <= 0;
    case RELOP_GT:
        return order > 0;
    case RELOP_GE:
        return order >= 0;
    case RELOP_EQ:
        return order == 0;
    case RELOP_NE:
        return order != 0;
    default:
        return false;
    }
}

bool MatchContent(const SContentRestriction& c, ULONG count, const SPropValue* values) {
    const SPropValue* have = FindValue(values, count, c.ulPropTag);
    if (have == nullptr)
        return false;
    const ULONG pattern_type = PROP_TYPE(c.lpProp->ulPropTag);
    const ULONG have_type = PROP_TYPE(have->ulPropTag);
    const ULONG match = c.ulFuzzyLevel & 0xFFFFu;
    if (pattern_type == PT_BINARY) {
        if (have_type != PT_BINARY)
            return false;
        const BYTE* hb = have->Value.bin.lpb;
        const ULONG hn = hb ? have->Value.bin.cb : 0;
        const BYTE* pb = c.lpProp->Value.bin.lpb;
        const ULONG pn = pb ? c.lpProp->Value.bin.cb : 0;
        if (match == FL_SUBSTRING)
            return pn == 0 || std::search(hb, hb + hn, pb, pb + pn) != hb + hn;
        if (match == FL_PREFIX)
            return pn <= hn && (pn == 0 || std::memcmp(hb, pb, pn) == 0);
        return pn == hn && (pn == 0 || std::memcmp(hb, pb, pn) == 0);
    }
    if (!IsStringType(have_type))
        return false;
    TextFold fold;
    fold.ignore_case = (c.ulFuzzyLevel & (FL_IGNORECASE | FL_LOOSE)) != 0;
    fold.ignore_nonspace = (c.ulFuzzyLevel & (FL_IGNORENONSPACE | FL_LOOSE)) != 0;
    const std::u32string h = StringValue(*have, fold);
    const std::u32string p = StringValue(*c.lpProp, fold);
    if (match == FL_SUBSTRING)
        return h.find(p) != h.npos;
    if (match == FL_PREFIX)
        return h.starts_with(p);
    return h == p;
}

bool Match(const SRestriction& r, ULONG count, const SPropValue* values) {
    switch (r.rt) {
    case RES_AND:
        for (ULONG i = 0; i < r.res.resAnd.cRes; ++i)
            if (!Match(r.res.resAnd.lpRes[i], count, values))
                return false;
        return true;
    case RES_OR:
        for (ULONG i = 0; i < r.res.resOr.cRes; ++i)
            if (Match(r.res.resOr.lpRes[i], count, values))
                return true;
        return false;
    case RES_NOT:
        return !Match(*r.res.resNot.lpRes, count, values);
    case RES_CONTENT:
        return MatchContent(r.res.resContent, count, values);
    case RES_PROPERTY: {
        const SPropertyRestriction& p = r.res.resProperty;
        const SPropValue* have = FindValue(values, count, p.ulPropTag);
        if (have == nullptr ||
            !TypesCompatible(PROP_TYPE(p.lpProp->ulPropTag), PROP_TYPE(have->ulPropTag)))
            return false;
        return Relate(p.relop, CompareValues(*have, *p.lpProp, TextFold{true, false}));
    }
    case RES_COMPAREPROPS: {
        const SComparePropsRestriction& c = r.res.resCompareProps;
        const SPropValue* a = FindValue(values, count, c.ulPropTag1);
        const SPropValue* b = FindValue(values, count, c.ulPropTag2);
        if (a == nullptr || b == nullptr ||
            !TypesCompatible(PROP_TYPE(a->ulPropTag), PROP_TYPE(b->ulPropTag)))
            return false;
        return Relate(c.relop, CompareValues(*a, *b, TextFold{true, false}));
    }
    case RES_BITMASK: {
        const SBitMaskRestriction& b = r.res.resBitMask;
        const SPropValue* have = FindValue(values, count, b.ulPropTag);
        if (have == nullptr)
            return false;
        ULONG bits = 0;
        switch (PROP_TYPE(have->ulPropTag)) {
        case PT_LONG:
            bits = have->Value.ul;
            break;
        case PT_I2:
            bits = static_cast<std::uint16_t>(have->Value.i);
            break;
        case PT_BOOLEAN:
            bits = have->Value.b;
            break;
        default:
            return false;
        }
        const bool zero = (bits & b.ulMask) == 0;
        return b.relBMR == BMR_EQZ ? zero : !zero;
    }
    case RES_SIZE: {
        const SSizeRestriction& s = r.res.resSize;
        const SPropValue* have = FindValue(values, count, s.ulPropTag);
        if (have == nullptr)
            return false;
        return Relate(s.relop, ValueSize(*have) <=> s.cb);
    }
    case RES_EXIST:
        return FindValue(values, count, r.res.resExist.ulPropTag) != nullptr;
    case RES_COMMENT:
        return r.res.resComment.lpRes == nullptr || Match(*r.res.resComment.lpRes, count, values);
    default:
        return false;
    }
}

} // namespace

HRESULT CheckRestriction(const SRestriction* restriction) {
    return Check(restriction, 1);
}

bool MatchRestriction(const SRestriction& restriction, ULONG count, const SPropValue* values) {
    return Match(restriction, count, values);
}

} // namespace mapi_detail

HRESULT MAPIEvaluateRestriction(const SRestriction* restriction, ULONG count,
                                const SPropValue* values) {
    if (values == nullptr && count > 0)
        return MAPI_E_INVALID_PARAMETER;
    HRESULT hr = mapi_detail::CheckRestriction(restriction);
    if (FAILED(hr))
        return hr;
    try {
        return mapi_detail::MatchRestriction(*restriction, count, values) ? S_OK : S_FALSE;
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}
