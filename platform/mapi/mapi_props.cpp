// Property values: deep copies onto buffer chains, lookup, comparison and
// sizes.
#include <cstring>
#include <limits>

#include "platform/mapi/mapi_internal.h"

namespace {

using namespace mapi_detail;

SCODE CopyBytes(const void* source, std::size_t size, LPVOID parent, void** out) {
    *out = nullptr;
    if (size > std::numeric_limits<ULONG>::max())
        return MAPI_E_NOT_ENOUGH_MEMORY;
    void* block = nullptr;
    SCODE sc = MAPIAllocateMore(static_cast<ULONG>(size), parent, &block);
    if (FAILED(sc))
        return sc;
    if (size > 0)
        std::memcpy(block, source, size);
    *out = block;
    return S_OK;
}

template <typename T> SCODE AllocArray(std::size_t count, LPVOID parent, T** out) {
    *out = nullptr;
    std::size_t bytes = (count ? count : 1) * sizeof(T);
    if (bytes > std::numeric_limits<ULONG>::max() || count > bytes)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    void* block = nullptr;
    SCODE sc = MAPIAllocateMore(static_cast<ULONG>(bytes), parent, &block);
    if (FAILED(sc))
        return sc;
    *out = static_cast<T*>(block);
    return S_OK;
}

SCODE CopyEntryId(ULONG cb, const ENTRYID* source, LPVOID parent, LPENTRYID* out) {
    *out = nullptr;
    if (source == nullptr)
        return S_OK;
    void* block = nullptr;
    SCODE sc = CopyBytes(source, cb, parent, &block);
    *out = static_cast<LPENTRYID>(block);
    return sc;
}

SCODE CopyRestrictionInto(SRestriction* dest, const SRestriction* source, LPVOID parent,
                          unsigned depth) {
    if (depth > kMaxRestrictionDepth)
        return MAPI_E_TOO_COMPLEX;
    dest->rt = source->rt;
    dest->res = source->res;
    SCODE sc = S_OK;
    auto copy_list = [&](ULONG count, const SRestriction* list, LPSRestriction* out) -> SCODE {
        *out = nullptr;
        if (count == 0)
            return S_OK;
        if (list == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        SCODE r = AllocArray(count, parent, out);
        for (ULONG i = 0; SUCCEEDED(r) && i < count; ++i)
            r = CopyRestrictionInto(&(*out)[i], &list[i], parent, depth + 1);
        return r;
    };
    auto copy_value = [&](const SPropValue* value, LPSPropValue* out) -> SCODE {
        *out = nullptr;
        if (value == nullptr)
            return S_OK;
        SCODE r = AllocArray(1, parent, out);
        return SUCCEEDED(r) ? PropCopyMore(*out, value, parent) : r;
    };
    switch (source->rt) {
    case RES_AND:
        sc = copy_list(source->res.resAnd.cRes, source->res.resAnd.lpRes, &dest->res.resAnd.lpRes);
        break;
    case RES_OR:
        sc = copy_list(source->res.resOr.cRes, source->res.resOr.lpRes, &dest->res.resOr.lpRes);
        break;
    case RES_NOT:
        sc = copy_list(source->res.resNot.lpRes ? 1 : 0, source->res.resNot.lpRes,
                       &dest->res.resNot.lpRes);
        break;
    case RES_SUBRESTRICTION:
        sc = copy_list(source->res.resSub.lpRes ? 1 : 0, source->res.resSub.lpRes,
                       &dest->res.resSub.lpRes);
        break;
    case RES_CONTENT:
        sc = copy_value(source->res.resContent.lpProp, &dest->res.resContent.lpProp);
        break;
    case RES_PROPERTY:
        sc = copy_value(source->res.resProperty.lpProp, &dest->res.resProperty.lpProp);
        break;
    case RES_COMMENT: {
        const SCommentRestriction& c = source->res.resComment;
        sc = copy_list(c.lpRes ? 1 : 0, c.lpRes, &dest->res.resComment.lpRes);
        dest->res.resComment.lpProp = nullptr;
        if (SUCCEEDED(sc) && c.cValues > 0) {
            if (c.lpProp == nullptr)
                return MAPI_E_INVALID_PARAMETER;
            sc = AllocArray(c.cValues, parent, &dest->res.resComment.lpProp);
            for (ULONG i = 0; SUCCEEDED(sc) && i < c.cValues; ++i)
                sc = PropCopyMore(&dest->res.resComment.lpProp[i], &c.lpProp[i], parent);
        }
        break;
    }
    case RES_COMPAREPROPS:
    case RES_BITMASK:
    case RES_SIZE:
    case RES_EXIST:
        break; // no pointers
    default:
        sc = MAPI_E_INVALID_PARAMETER;
    }
    return sc;
}

} // namespace

SCODE PropCopyMore(LPSPropValue dest, const SPropValue* source, LPVOID parent) {
    if (dest == nullptr || source == nullptr || parent == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    const ULONG type = PROP_TYPE(source->ulPropTag);
    dest->ulPropTag = source->ulPropTag;
    dest->dwAlignPad = source->dwAlignPad;
    dest->Value = source->Value;
    if (TypeIsScalar(type))
        return S_OK;
    void* block = nullptr;
    SCODE sc = S_OK;
    switch (type) {
    case PT_STRING8:
        if (source->Value.lpszA == nullptr)
            return S_OK;
        sc = CopyBytes(source->Value.lpszA, std::strlen(source->Value.lpszA) + 1, parent, &block);
        dest->Value.lpszA = static_cast<LPSTR>(block);
        return sc;
    case PT_UNICODE:
        if (source->Value.lpszW == nullptr)
            return S_OK;
        sc = CopyBytes(source->Value.lpszW,
                       (WideLength(source->Value.lpszW) + 1) * sizeof(char16_t), parent, &block);
        dest->Value.lpszW = static_cast<LPWSTR>(block);
        return sc;
    case PT_BINARY:
        if (source->Value.bin.lpb == nullptr) {
            dest->Value.bin.cb = 0;
            return S_OK;
        }
        sc = CopyBytes(source->Value.bin.lpb, source->Value.bin.cb, parent, &block);
        dest->Value.bin.lpb = static_cast<LPBYTE>(block);
        return sc;
    case PT_CLSID:
        if (source->Value.lpguid == nullptr)
            return S_OK;
        sc = CopyBytes(source->Value.lpguid, sizeof(GUID), parent, &block);
        dest->Value.lpguid = static_cast<GUID*>(block);
        return sc;
    case PT_SRESTRICTION: {
        LPSRestriction copy = nullptr;
        sc = ScCopyRestriction(&copy, static_cast<const SRestriction*>(source->Value.lpv), parent);
        dest->Value.lpv = copy;
        return sc;
    }
    case PT_ACTIONS: {
        LPACTIONS copy = nullptr;
        sc = ScCopyActions(&copy, static_cast<const ACTIONS*>(source->Value.lpv), parent);
        dest->Value.lpv = copy;
        return sc;
    }
    default:
        // A type whose layout this runtime does not know cannot be copied
        // safely: its value may point anywhere.
        dest->Value.li = 0;
        return MAPI_E_INVALID_TYPE;
    }
}

SCODE ScDupPropset(ULONG count, const SPropValue* source, LPSPropValue* dest) {
    if (dest == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *dest = nullptr;
    if (source == nullptr && count > 0)
        return MAPI_E_INVALID_PARAMETER;
    std::size_t bytes = static_cast<std::size_t>(count ? count : 1) * sizeof(SPropValue);
    if (bytes > std::numeric_limits<ULONG>::max())
        return MAPI_E_NOT_ENOUGH_MEMORY;
    void* block = nullptr;
    SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(bytes), &block);
    if (FAILED(sc))
        return sc;
    LPSPropValue values = static_cast<LPSPropValue>(block);
    for (ULONG i = 0; i < count; ++i) {
        sc = PropCopyMore(&values[i], &source[i], values);
        if (FAILED(sc)) {
            MAPIFreeBuffer(values);
            return sc;
        }
    }
    *dest = values;
    return S_OK;
}

SCODE ScCopyRestriction(LPSRestriction* dest, const SRestriction* source, LPVOID parent) {
    if (dest == nullptr || parent == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *dest = nullptr;
    if (source == nullptr)
        return S_OK;
    LPSRestriction copy = nullptr;
    SCODE sc = AllocArray(1, parent, &copy);
    if (SUCCEEDED(sc))
        sc = CopyRestrictionInto(copy, source, parent, 1);
    if (SUCCEEDED(sc))
        *dest = copy;
    return sc;
}

// Rule actions: move and copy carry two entry identifiers, a tag action one
// property value; bounce, delete, mark-as-read and the rest carry nothing
// this runtime points into, and are copied as they stand.
SCODE ScCopyActions(LPACTIONS* dest, const ACTIONS* source, LPVOID parent) {
    if (dest == nullptr || parent == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *dest = nullptr;
    if (source == nullptr)
        return S_OK;
    if (source->cActions > 0 && source->lpAction == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    LPACTIONS copy = nullptr;
    SCODE sc = AllocArray(1, parent, &copy);
    if (FAILED(sc))
        return sc;
    *copy = *source;
    copy->lpAction = nullptr;
    if (source->cActions > 0) {
        sc = AllocArray(source->cActions, parent, &copy->lpAction);
        if (FAILED(sc))
            return sc;
    }
    for (ULONG i = 0; i < source->cActions; ++i) {
        const ACTION& from = source->lpAction[i];
        ACTION& to = copy->lpAction[i];
        std::memcpy(static_cast<void*>(&to), &from, sizeof(ACTION));
        sc = ScCopyRestriction(&to.lpRes, from.lpRes, parent);
        if (FAILED(sc))
            return sc;
        if (from.lpPropTagArray != nullptr) {
            void* block = nullptr;
            sc = CopyBytes(from.lpPropTagArray, CbNewSPropTagArray(from.lpPropTagArray->cValues),
                           parent, &block);
            if (FAILED(sc))
                return sc;
            to.lpPropTagArray = static_cast<LPSPropTagArray>(block);
        }
        if (from.acttype == OP_MOVE || from.acttype == OP_COPY) {
            const ACTMOVECOPY& mc = from.actMoveCopy;
            sc = CopyEntryId(mc.cbStoreEntryId, mc.lpStoreEntryId, parent,
                             &to.actMoveCopy.lpStoreEntryId);
            if (SUCCEEDED(sc))
                sc = CopyEntryId(mc.cbFldEntryId, mc.lpFldEntryId, parent,
                                 &to.actMoveCopy.lpFldEntryId);
        } else if (from.acttype == OP_TAG) {
            sc = PropCopyMore(&to.propTag, &from.propTag, parent);
        }
        if (FAILED(sc))
            return sc;
    }
    *dest = copy;
    return S_OK;
}

namespace mapi_detail {

const SPropValue* FindValue(const SPropValue* values, ULONG count, ULONG tag) {
    if (values == nullptr)
        return nullptr;
    const ULONG id = PROP_ID(tag);
    const ULONG want = PROP_TYPE(tag);
    const SPropValue* compatible = nullptr;
    for (ULONG i = 0; i < count; ++i) {
        const ULONG have = PROP_TYPE(values[i].ulPropTag);
        if (PROP_ID(values[i].ulPropTag) != id || have == PT_ERROR)
            continue;
        if (have == want)
            return &values[i];
        if (compatible == nullptr && (want == PT_UNSPECIFIED || TypesCompatible(want, have)))
            compatible = &values[i];
    }
    return compatible;
}

const SPropValue* FindErrorValue(const SPropValue* values, ULONG count, ULONG tag) {
    if (values == nullptr)
        return nullptr;
    for (ULONG i = 0; i < count; ++i)
        if (PROP_ID(values[i].ulPropTag) == PROP_ID(tag) &&
            PROP_TYPE(values[i].ulPropTag) == PT_ERROR)
            return &values[i];
    return nullptr;
}

bool TypeIsScalar(ULONG type) {
    switch (type) {
    case PT_UNSPECIFIED:
    case PT_NULL:
    case PT_I2:
    case PT_LONG:
    case PT_R4:
    case PT_DOUBLE:
    case PT_CURRENCY:
    case PT_APPTIME:
    case PT_ERROR:
    case PT_BOOLEAN:
    case PT_OBJECT:
    case PT_I8:
    case PT_SYSTIME:
        return true;
    default:
        return false;
    }
}

bool TypeIsComparable(ULONG type) {
    switch (type) {
    case PT_I2:
    case PT_LONG:
    case PT_R4:
    case PT_DOUBLE:
    case PT_APPTIME:
    case PT_CURRENCY:
    case PT_I8:
    case PT_BOOLEAN:
    case PT_SYSTIME:
    case PT_STRING8:
    case PT_UNICODE:
    case PT_BINARY:
    case PT_CLSID:
        return true;
    default:
        return false;
    }
}

namespace {
std::partial_ordering CompareBytes(const void* a, std::size_t na, const void* b, std::size_t nb) {
    std::size_t n = na < nb ? na : nb;
    int c = n ? std::memcmp(a, b, n) : 0;
    if (c != 0)
        return c < 0 ? std::partial_ordering::less : std::partial_ordering::greater;
    return na <=> nb;
}
std::uint64_t FileTimeValue(const FILETIME& ft) {
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
} // namespace

std::partial_ordering CompareValues(const SPropValue& a, const SPropValue& b, TextFold fold) {
    const ULONG ta = PROP_TYPE(a.ulPropTag);
    const ULONG tb = PROP_TYPE(b.ulPropTag);
    if (IsStringType(ta) && IsStringType(tb))
        return StringValue(a, fold) <=> StringValue(b, fold);
    if (ta != tb)
        return std::partial_ordering::unordered;
    switch (ta) {
    case PT_I2:
        return a.Value.i <=> b.Value.i;
    case PT_LONG:
        return a.Value.l <=> b.Value.l;
    case PT_R4:
        return a.Value.flt <=> b.Value.flt;
    case PT_DOUBLE:
    case PT_APPTIME:
        return a.Value.dbl <=> b.Value.dbl;
    case PT_CURRENCY:
    case PT_I8:
        return a.Value.li <=> b.Value.li;
    case PT_BOOLEAN:
        return (a.Value.b != 0) <=> (b.Value.b != 0);
    case PT_SYSTIME:
        return FileTimeValue(a.Value.ft) <=> FileTimeValue(b.Value.ft);
    case PT_BINARY:
        return CompareBytes(a.Value.bin.lpb, a.Value.bin.lpb ? a.Value.bin.cb : 0, b.Value.bin.lpb,
                            b.Value.bin.lpb ? b.Value.bin.cb : 0);
    case PT_CLSID:
        if (a.Value.lpguid == nullptr || b.Value.lpguid == nullptr)
            return (a.Value.lpguid != nullptr) <=> (b.Value.lpguid != nullptr);
        return CompareBytes(a.Value.lpguid, sizeof(GUID), b.Value.lpguid, sizeof(GUID));
    default:
        return std::partial_ordering::unordered;
    }
}

ULONG ValueSize(const SPropValue& value) {
    switch (PROP_TYPE(value.ulPropTag)) {
    case PT_I2:
    case PT_BOOLEAN:
        return 2;
    case PT_LONG:
    case PT_R4:
    case PT_ERROR:
        return 4;
    case PT_DOUBLE:
    case PT_APPTIME:
    case PT_CURRENCY:
    case PT_I8:
    case PT_SYSTIME:
        return 8;
    case PT_CLSID:
        return sizeof(GUID);
    case PT_STRING8:
        return value.Value.lpszA ? static_cast<ULONG>(std::strlen(value.Value.lpszA) + 1) : 0;
    case PT_UNICODE:
        return value.Value.lpszW
                   ? static_cast<ULONG>((WideLength(value.Value.lpszW) + 1) * sizeof(char16_t))
                   : 0;
    case PT_BINARY:
        return value.Value.bin.lpb ? value.Value.bin.cb : 0;
    default:
        return 0;
    }
}

SCODE CopyValueAs(LPSPropValue dest, const SPropValue& source, ULONG want_tag, LPVOID parent) {
    const ULONG want = PROP_TYPE(want_tag);
    const ULONG have = PROP_TYPE(source.ulPropTag);
    if (want == have || want == PT_UNSPECIFIED || !IsStringType(want) || !IsStringType(have))
        return PropCopyMore(dest, &source, parent);
    dest->ulPropTag = CHANGE_PROP_TYPE(source.ulPropTag, want);
    dest->dwAlignPad = 0;
    void* block = nullptr;
    SCODE sc = S_OK;
    if (want == PT_UNICODE) {
        dest->Value.lpszW = nullptr;
        if (source.Value.lpszA == nullptr)
            return S_OK;
        std::u16string w = Utf8ToUtf16(source.Value.lpszA);
        sc = CopyBytes(w.c_str(), (w.size() + 1) * sizeof(char16_t), parent, &block);
        dest->Value.lpszW = static_cast<LPWSTR>(block);
    } else {
        dest->Value.lpszA = nullptr;
        if (source.Value.lpszW == nullptr)
            return S_OK;
        std::string a =
            Utf16ToUtf8(std::u16string_view(source.Value.lpszW, WideLength(source.Value.lpszW)));
        sc = CopyBytes(a.c_str(), a.size() + 1, parent, &block);
        dest->Value.lpszA = static_cast<LPSTR>(block);
    }
    return sc;
}

} // namespace mapi_detail
