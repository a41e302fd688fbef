#include "platform/infostore/infostore_codec.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "mailstore/mapitags.h"
#include "mailstore/mapix.h"
#include "platform/infostore/infostore_util.h"

namespace infostore {
namespace {

constexpr BYTE kVersion = 1;
constexpr const char kMarkCondition[4] = {'S', 'W', 'R', 'C'};
constexpr const char kMarkActions[4] = {'S', 'W', 'R', 'A'};
constexpr const char kMarkProps[4] = {'S', 'W', 'R', 'P'};

// ---- Writing ------------------------------------------------------------------------
class Writer {
public:
    explicit Writer(std::vector<BYTE>* out) : out_(out) {}
    void Mark(const char (&mark)[4]) {
        for (char c : mark)
            out_->push_back(static_cast<BYTE>(c));
        out_->push_back(kVersion);
    }
    void U8(BYTE v) { out_->push_back(v); }
    void U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out_->push_back(static_cast<BYTE>(v >> (8 * i)));
    }
    void U64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i)
            out_->push_back(static_cast<BYTE>(v >> (8 * i)));
    }
    void Bytes(const void* data, std::size_t size) {
        const BYTE* p = static_cast<const BYTE*>(data);
        out_->insert(out_->end(), p, p + size);
    }

    HRESULT Restriction(const SRestriction* r, unsigned depth);
    HRESULT Value(const SPropValue& v, unsigned depth);
    HRESULT Actions(const ACTIONS* a, unsigned depth);
    HRESULT Binary(ULONG cb, const void* data) {
        if (data == nullptr && cb != 0)
            return MAPI_E_INVALID_PARAMETER;
        U8(data != nullptr);
        U32(cb);
        if (data != nullptr)
            Bytes(data, cb);
        return S_OK;
    }

private:
    std::vector<BYTE>* out_;
};

HRESULT Writer::Restriction(const SRestriction* r, unsigned depth) {
    if (depth > kMaxNesting)
        return MAPI_E_TOO_COMPLEX;
    if (r == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    U32(r->rt);
    HRESULT hr = S_OK;
    switch (r->rt) {
    case RES_AND:
    case RES_OR: {
        // The two members share a layout, but each is read through its own.
        ULONG count = r->rt == RES_AND ? r->res.resAnd.cRes : r->res.resOr.cRes;
        const SRestriction* list = r->rt == RES_AND ? r->res.resAnd.lpRes : r->res.resOr.lpRes;
        if (count != 0 && list == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        U32(count);
        for (ULONG i = 0; i < count && SUCCEEDED(hr); ++i)
            hr = Restriction(&list[i], depth + 1);
        return hr;
    }
    case RES_NOT:
        U32(r->res.resNot.ulReserved);
        return Restriction(r->res.resNot.lpRes, depth + 1);
    case RES_CONTENT:
        U32(r->res.resContent.ulFuzzyLevel);
        U32(r->res.resContent.ulPropTag);
        U8(r->res.resContent.lpProp != nullptr);
        return r->res.resContent.lpProp ? Value(*r->res.resContent.lpProp, depth) : S_OK;
    case RES_PROPERTY:
        U32(r->res.resProperty.relop);
        U32(r->res.resProperty.ulPropTag);
        U8(r->res.resProperty.lpProp != nullptr);
        return r->res.resProperty.lpProp ? Value(*r->res.resProperty.lpProp, depth) : S_OK;
    case RES_COMPAREPROPS:
        U32(r->res.resCompareProps.relop);
        U32(r->res.resCompareProps.ulPropTag1);
        U32(r->res.resCompareProps.ulPropTag2);
        return S_OK;
    case RES_BITMASK:
        U32(r->res.resBitMask.relBMR);
        U32(r->res.resBitMask.ulPropTag);
        U32(r->res.resBitMask.ulMask);
        return S_OK;
    case RES_SIZE:
        U32(r->res.resSize.relop);
        U32(r->res.resSize.ulPropTag);
        U32(r->res.resSize.cb);
        return S_OK;
    case RES_EXIST:
        U32(r->res.resExist.ulReserved1);
        U32(r->res.resExist.ulPropTag);
        U32(r->res.resExist.ulReserved2);
        return S_OK;
    case RES_SUBRESTRICTION:
        U32(r->res.resSub.ulSubObject);
        return Restriction(r->res.resSub.lpRes, depth + 1);
    case RES_COMMENT: {
        const SCommentRestriction& c = r->res.resComment;
        if (c.cValues != 0 && c.lpProp == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        U32(c.cValues);
        for (ULONG i = 0; i < c.cValues && SUCCEEDED(hr); ++i)
            hr = Value(c.lpProp[i], depth);
        if (FAILED(hr))
            return hr;
        U8(c.lpRes != nullptr);
        return c.lpRes ? Restriction(c.lpRes, depth + 1) : S_OK;
    }
    default:
        return MAPI_E_INVALID_PARAMETER;
    }
}

// A value is no nesting level of its own; a restriction or actions inside
// it are one level below the structure holding the value.
HRESULT Writer::Value(const SPropValue& v, unsigned depth) {
    U32(v.ulPropTag);
    U32(v.dwAlignPad);
    const _PV& pv = v.Value;
    switch (PROP_TYPE(v.ulPropTag)) {
    case PT_I2:
        U32(static_cast<std::uint16_t>(pv.i));
        return S_OK;
    case PT_BOOLEAN:
        U32(pv.b);
        return S_OK;
    case PT_LONG:
    case PT_ERROR:
    case PT_NULL:
    case PT_OBJECT:
        U32(pv.ul);
        return S_OK;
    case PT_R4: {
        std::uint32_t bits;
        std::memcpy(&bits, &pv.flt, 4);
        U32(bits);
        return S_OK;
    }
    case PT_DOUBLE:
    case PT_APPTIME: {
        std::uint64_t bits;
        std::memcpy(&bits, &pv.dbl, 8);
        U64(bits);
        return S_OK;
    }
    case PT_I8:
    case PT_CURRENCY:
        U64(static_cast<std::uint64_t>(pv.li));
        return S_OK;
    case PT_SYSTIME:
        U32(pv.ft.dwLowDateTime);
        U32(pv.ft.dwHighDateTime);
        return S_OK;
    case PT_STRING8:
        U8(pv.lpszA != nullptr);
        if (pv.lpszA != nullptr) {
            std::size_t n = std::strlen(pv.lpszA);
            U32(static_cast<std::uint32_t>(n));
            Bytes(pv.lpszA, n);
        }
        return S_OK;
    case PT_UNICODE:
        U8(pv.lpszW != nullptr);
        if (pv.lpszW != nullptr) {
            std::size_t n = 0;
            while (pv.lpszW[n] != 0)
                ++n;
            U32(static_cast<std::uint32_t>(n));
            for (std::size_t i = 0; i < n; ++i) {
                U8(static_cast<BYTE>(pv.lpszW[i] & 0xFF));
                U8(static_cast<BYTE>(pv.lpszW[i] >> 8));
            }
        }
        return S_OK;
    case PT_BINARY:
        return Binary(pv.bin.cb, pv.bin.lpb);
    case PT_CLSID:
        U8(pv.lpguid != nullptr);
        if (pv.lpguid != nullptr) {
            U32(pv.lpguid->Data1);
            U32(pv.lpguid->Data2);
            U32(pv.lpguid->Data3);
            Bytes(pv.lpguid->Data4, 8);
        }
        return S_OK;
    case PT_SRESTRICTION:
        U8(pv.lpv != nullptr);
        return pv.lpv ? Restriction(static_cast<const SRestriction*>(pv.lpv), depth + 1) : S_OK;
    case PT_ACTIONS:
        U8(pv.lpv != nullptr);
        return pv.lpv ? Actions(static_cast<const ACTIONS*>(pv.lpv), depth + 1) : S_OK;
    default:
        return MAPI_E_INVALID_TYPE;
    }
}

HRESULT Writer::Actions(const ACTIONS* a, unsigned depth) {
    if (depth > kMaxNesting)
        return MAPI_E_TOO_COMPLEX;
    if (a == nullptr || (a->cActions != 0 && a->lpAction == nullptr))
        return MAPI_E_INVALID_PARAMETER;
    U32(a->ulVersion);
    U32(a->cActions);
    HRESULT hr = S_OK;
    for (ULONG i = 0; i < a->cActions && SUCCEEDED(hr); ++i) {
        const ACTION& act = a->lpAction[i];
        U32(act.acttype);
        U32(act.ulActionFlavor);
        U32(act.ulFlags);
        U32(act.dwAlignmentPad);
        U8(act.lpRes != nullptr);
        if (act.lpRes != nullptr)
            hr = Restriction(act.lpRes, depth + 1);
        if (FAILED(hr))
            break;
        U8(act.lpPropTagArray != nullptr);
        if (act.lpPropTagArray != nullptr) {
            U32(act.lpPropTagArray->cValues);
            for (ULONG t = 0; t < act.lpPropTagArray->cValues; ++t)
                U32(act.lpPropTagArray->aulPropTag[t]);
        }
        switch (act.acttype) {
        case OP_MOVE:
        case OP_COPY:
            hr = Binary(act.actMoveCopy.cbStoreEntryId, act.actMoveCopy.lpStoreEntryId);
            if (SUCCEEDED(hr))
                hr = Binary(act.actMoveCopy.cbFldEntryId, act.actMoveCopy.lpFldEntryId);
            break;
        case OP_TAG:
            hr = Value(act.propTag, depth);
            break;
        case OP_BOUNCE:
            U32(static_cast<std::uint32_t>(act.scBounceCode));
            break;
        default:
            // The other action types carry nothing this store keeps.
            break;
        }
    }
    return hr;
}

// ---- Reading ------------------------------------------------------------------------
class Reader {
public:
    Reader(const std::vector<BYTE>& bytes, LPVOID parent)
        : p_(bytes.data()), left_(bytes.size()), parent_(parent) {}

    bool Mark(const char (&mark)[4]) {
        if (left_ < 5 || std::memcmp(p_, mark, 4) != 0 || p_[4] != kVersion)
            return Bad();
        Skip(5);
        return true;
    }
    bool U8(BYTE* v) {
        if (left_ < 1)
            return Bad();
        *v = *p_;
        Skip(1);
        return true;
    }
    bool Flag(bool* v) {
        BYTE b = 0;
        if (!U8(&b) || b > 1)
            return Bad();
        *v = b == 1;
        return true;
    }
    bool U32(std::uint32_t* v) {
        if (left_ < 4)
            return Bad();
        *v = 0;
        for (int i = 3; i >= 0; --i)
            *v = (*v << 8) | p_[i];
        Skip(4);
        return true;
    }
    bool U64(std::uint64_t* v) {
        if (left_ < 8)
            return Bad();
        *v = 0;
        for (int i = 7; i >= 0; --i)
            *v = (*v << 8) | p_[i];
        Skip(8);
        return true;
    }
    // A count of items each taking at least `min_size` bytes.
    bool Count(std::uint32_t* n, std::size_t min_size) {
        if (!U32(n))
            return false;
        if (static_cast<std::size_t>(*n) * min_size > left_)
            return Bad();
        return true;
    }
    template <typename T> T* Alloc(std::size_t size) {
        if (size == 0)
            size = 1;
        if (size > 0x7FFFFFFF) {
            hr_ = MAPI_E_CORRUPT_DATA;
            return nullptr;
        }
        LPVOID block = nullptr;
        SCODE sc = MAPIAllocateMore(static_cast<ULONG>(size), parent_, &block);
        if (FAILED(sc) || block == nullptr) {
            hr_ = FAILED(sc) ? sc : MAPI_E_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
        std::memset(block, 0, size);
        return static_cast<T*>(block);
    }
    bool Binary(ULONG* cb, BYTE** data) {
        bool present = false;
        std::uint32_t n = 0;
        if (!Flag(&present) || !U32(&n))
            return false;
        *cb = n;
        *data = nullptr;
        if (!present)
            return n == 0 ? true : Bad();
        if (n > left_)
            return Bad();
        *data = Alloc<BYTE>(n);
        if (*data == nullptr)
            return false;
        std::memcpy(*data, p_, n);
        Skip(n);
        return true;
    }

    bool Restriction(SRestriction* r, unsigned depth);
    bool Value(SPropValue* v, unsigned depth);
    bool Actions(ACTIONS* a, unsigned depth);

    bool AtEnd() { return left_ == 0 ? true : Bad(); }
    HRESULT Result() const { return hr_; }
    bool Bad() {
        if (SUCCEEDED(hr_))
            hr_ = MAPI_E_CORRUPT_DATA;
        return false;
    }

private:
    void Skip(std::size_t n) {
        p_ += n;
        left_ -= n;
    }
    const BYTE* p_;
    std::size_t left_;
    LPVOID parent_;
    HRESULT hr_ = S_OK;
};

bool Reader::Restriction(SRestriction* r, unsigned depth) {
    if (depth > kMaxNesting)
        return Bad();
    std::uint32_t rt = 0;
    if (!U32(&rt))
        return false;
    r->rt = rt;
    switch (rt) {
    case RES_AND:
    case RES_OR: {
        std::uint32_t count = 0;
        if (!Count(&count, 4))
            return false;
        SRestriction* list = nullptr;
        if (count != 0) {
            list = Alloc<SRestriction>(sizeof(SRestriction) * static_cast<std::size_t>(count));
            if (list == nullptr)
                return false;
            for (std::uint32_t i = 0; i < count; ++i)
                if (!Restriction(&list[i], depth + 1))
                    return false;
        }
        if (rt == RES_AND) {
            r->res.resAnd.cRes = count;
            r->res.resAnd.lpRes = list;
        } else {
            r->res.resOr.cRes = count;
            r->res.resOr.lpRes = list;
        }
        return true;
    }
    case RES_NOT:
    case RES_SUBRESTRICTION: {
        std::uint32_t word = 0;
        if (!U32(&word))
            return false;
        SRestriction* inner = Alloc<SRestriction>(sizeof(SRestriction));
        if (inner == nullptr || !Restriction(inner, depth + 1))
            return false;
        if (rt == RES_NOT) {
            r->res.resNot.ulReserved = word;
            r->res.resNot.lpRes = inner;
        } else {
            r->res.resSub.ulSubObject = word;
            r->res.resSub.lpRes = inner;
        }
        return true;
    }
    case RES_CONTENT:
    case RES_PROPERTY: {
        std::uint32_t first = 0;
        std::uint32_t tag = 0;
        bool present = false;
        if (!U32(&first) || !U32(&tag) || !Flag(&present))
            return false;
        SPropValue* value = nullptr;
        if (present) {
            value = Alloc<SPropValue>(sizeof(SPropValue));
            if (value == nullptr || !Value(value, depth))
                return false;
        }
        if (rt == RES_CONTENT)
            r->res.resContent = SContentRestriction{first, tag, value};
        else
            r->res.resProperty = SPropertyRestriction{first, tag, value};
        return true;
    }
    case RES_COMPAREPROPS:
    case RES_BITMASK:
    case RES_SIZE:
    case RES_EXIST: {
        std::uint32_t a = 0, b = 0, c = 0;
        if (!U32(&a) || !U32(&b) || !U32(&c))
            return false;
        if (rt == RES_COMPAREPROPS)
            r->res.resCompareProps = SComparePropsRestriction{a, b, c};
        else if (rt == RES_BITMASK)
            r->res.resBitMask = SBitMaskRestriction{a, b, c};
        else if (rt == RES_SIZE)
            r->res.resSize = SSizeRestriction{a, b, c};
        else
            r->res.resExist = SExistRestriction{a, b, c};
        return true;
    }
    case RES_COMMENT: {
        std::uint32_t count = 0;
        if (!Count(&count, 8))
            return false;
        SPropValue* values = nullptr;
        if (count != 0) {
            values = Alloc<SPropValue>(sizeof(SPropValue) * static_cast<std::size_t>(count));
            if (values == nullptr)
                return false;
            for (std::uint32_t i = 0; i < count; ++i)
                if (!Value(&values[i], depth))
                    return false;
        }
        bool present = false;
        if (!Flag(&present))
            return false;
        SRestriction* inner = nullptr;
        if (present) {
            inner = Alloc<SRestriction>(sizeof(SRestriction));
            if (inner == nullptr || !Restriction(inner, depth + 1))
                return false;
        }
        r->res.resComment = SCommentRestriction{count, inner, values};
        return true;
    }
    default:
        return Bad();
    }
}

bool Reader::Value(SPropValue* v, unsigned depth) {
    std::uint32_t tag = 0, pad = 0;
    if (!U32(&tag) || !U32(&pad))
        return false;
    v->ulPropTag = tag;
    v->dwAlignPad = pad;
    _PV& pv = v->Value;
    std::uint32_t u32 = 0;
    std::uint64_t u64 = 0;
    bool present = false;
    switch (PROP_TYPE(tag)) {
    case PT_I2:
        if (!U32(&u32) || u32 > 0xFFFF)
            return Bad();
        pv.i = static_cast<std::int16_t>(static_cast<std::uint16_t>(u32));
        return true;
    case PT_BOOLEAN:
        if (!U32(&u32) || u32 > 0xFFFF)
            return Bad();
        pv.b = static_cast<std::uint16_t>(u32);
        return true;
    case PT_LONG:
    case PT_ERROR:
    case PT_NULL:
    case PT_OBJECT:
        if (!U32(&u32))
            return false;
        pv.ul = u32;
        return true;
    case PT_R4:
        if (!U32(&u32))
            return false;
        std::memcpy(&pv.flt, &u32, 4);
        return true;
    case PT_DOUBLE:
    case PT_APPTIME:
        if (!U64(&u64))
            return false;
        std::memcpy(&pv.dbl, &u64, 8);
        return true;
    case PT_I8:
    case PT_CURRENCY:
        if (!U64(&u64))
            return false;
        pv.li = static_cast<std::int64_t>(u64);
        return true;
    case PT_SYSTIME:
        if (!U32(&pv.ft.dwLowDateTime) || !U32(&pv.ft.dwHighDateTime))
            return false;
        return true;
    case PT_STRING8: {
        if (!Flag(&present))
            return false;
        pv.lpszA = nullptr;
        if (!present)
            return true;
        if (!Count(&u32, 1))
            return false;
        char* text = Alloc<char>(static_cast<std::size_t>(u32) + 1);
        if (text == nullptr)
            return false;
        BYTE byte = 0;
        for (std::uint32_t i = 0; i < u32; ++i) {
            U8(&byte);
            if (byte == 0)
                return Bad(); // a NUL inside would shorten the string on the way back
            text[i] = static_cast<char>(byte);
        }
        pv.lpszA = text;
        return true;
    }
    case PT_UNICODE: {
        if (!Flag(&present))
            return false;
        pv.lpszW = nullptr;
        if (!present)
            return true;
        if (!Count(&u32, 2))
            return false;
        char16_t* text = Alloc<char16_t>((static_cast<std::size_t>(u32) + 1) * sizeof(char16_t));
        if (text == nullptr)
            return false;
        for (std::uint32_t i = 0; i < u32; ++i) {
            BYTE lo = 0, hi = 0;
            U8(&lo);
            U8(&hi);
            text[i] = static_cast<char16_t>(lo | (hi << 8));
            if (text[i] == 0)
                return Bad();
        }
        pv.lpszW = text;
        return true;
    }
    case PT_BINARY:
        return Binary(&pv.bin.cb, &pv.bin.lpb);
    case PT_CLSID: {
        if (!Flag(&present))
            return false;
        pv.lpguid = nullptr;
        if (!present)
            return true;
        GUID* g = Alloc<GUID>(sizeof(GUID));
        std::uint32_t d2 = 0, d3 = 0;
        if (g == nullptr || !U32(&g->Data1) || !U32(&d2) || !U32(&d3) || d2 > 0xFFFF || d3 > 0xFFFF)
            return Bad();
        g->Data2 = static_cast<std::uint16_t>(d2);
        g->Data3 = static_cast<std::uint16_t>(d3);
        for (int i = 0; i < 8; ++i)
            if (!U8(&g->Data4[i]))
                return false;
        pv.lpguid = g;
        return true;
    }
    case PT_SRESTRICTION: {
        if (!Flag(&present))
            return false;
        pv.lpv = nullptr;
        if (!present)
            return true;
        SRestriction* r = Alloc<SRestriction>(sizeof(SRestriction));
        if (r == nullptr || !Restriction(r, depth + 1))
            return false;
        pv.lpv = r;
        return true;
    }
    case PT_ACTIONS: {
        if (!Flag(&present))
            return false;
        pv.lpv = nullptr;
        if (!present)
            return true;
        ACTIONS* a = Alloc<ACTIONS>(sizeof(ACTIONS));
        if (a == nullptr || !Actions(a, depth + 1))
            return false;
        pv.lpv = a;
        return true;
    }
    default:
        return Bad();
    }
}

bool Reader::Actions(ACTIONS* a, unsigned depth) {
    if (depth > kMaxNesting)
        return Bad();
    std::uint32_t count = 0;
    if (!U32(&a->ulVersion) || !Count(&count, 18))
        return false;
    a->cActions = count;
    a->lpAction = nullptr;
    if (count == 0)
        return true;
    ACTION* list = Alloc<ACTION>(sizeof(ACTION) * static_cast<std::size_t>(count));
    if (list == nullptr)
        return false;
    a->lpAction = list;
    for (std::uint32_t i = 0; i < count; ++i) {
        ACTION& act = list[i];
        bool present = false;
        if (!U32(&act.acttype) || !U32(&act.ulActionFlavor) || !U32(&act.ulFlags) ||
            !U32(&act.dwAlignmentPad) || !Flag(&present))
            return false;
        if (present) {
            act.lpRes = Alloc<SRestriction>(sizeof(SRestriction));
            if (act.lpRes == nullptr || !Restriction(act.lpRes, depth + 1))
                return false;
        }
        if (!Flag(&present))
            return false;
        if (present) {
            std::uint32_t n = 0;
            if (!Count(&n, 4))
                return false;
            act.lpPropTagArray = Alloc<SPropTagArray>(CbNewSPropTagArray(n));
            if (act.lpPropTagArray == nullptr)
                return false;
            act.lpPropTagArray->cValues = n;
            for (std::uint32_t t = 0; t < n; ++t)
                if (!U32(&act.lpPropTagArray->aulPropTag[t]))
                    return false;
        }
        switch (act.acttype) {
        case OP_MOVE:
        case OP_COPY: {
            BYTE* store = nullptr;
            BYTE* folder = nullptr;
            if (!Binary(&act.actMoveCopy.cbStoreEntryId, &store) ||
                !Binary(&act.actMoveCopy.cbFldEntryId, &folder))
                return false;
            act.actMoveCopy.lpStoreEntryId = reinterpret_cast<LPENTRYID>(store);
            act.actMoveCopy.lpFldEntryId = reinterpret_cast<LPENTRYID>(folder);
            break;
        }
        case OP_TAG:
            if (!Value(&act.propTag, depth))
                return false;
            break;
        case OP_BOUNCE: {
            std::uint32_t code = 0;
            if (!U32(&code))
                return false;
            act.scBounceCode = static_cast<SCODE>(code);
            break;
        }
        default:
            break;
        }
    }
    return true;
}

template <typename F> HRESULT Encode(const char (&mark)[4], std::vector<BYTE>* out, F&& body) {
    try {
        out->clear();
        Writer writer(out);
        writer.Mark(mark);
        HRESULT hr = body(writer);
        if (FAILED(hr))
            out->clear();
        return hr;
    } catch (const std::bad_alloc&) {
        out->clear();
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

// ---- Describing ---------------------------------------------------------------------
std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\x%02x", static_cast<unsigned char>(c));
            out += buf;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

std::string DescribeValue(const SPropValue* v) {
    if (v == nullptr)
        return "null";
    const _PV& pv = v->Value;
    char buf[64];
    switch (PROP_TYPE(v->ulPropTag)) {
    case PT_I2:
        return std::to_string(pv.i);
    case PT_LONG:
        return std::to_string(pv.l);
    case PT_BOOLEAN:
        return pv.b ? "true" : "false";
    case PT_I8:
    case PT_CURRENCY:
        return std::to_string(pv.li);
    case PT_ERROR:
        std::snprintf(buf, sizeof(buf), "error 0x%08x", static_cast<unsigned>(pv.err));
        return buf;
    case PT_R4:
        std::snprintf(buf, sizeof(buf), "%g", static_cast<double>(pv.flt));
        return buf;
    case PT_DOUBLE:
    case PT_APPTIME:
        std::snprintf(buf, sizeof(buf), "%g", pv.dbl);
        return buf;
    case PT_SYSTIME:
        return FormatFileTime(FromFileTime(pv.ft));
    case PT_STRING8:
        return pv.lpszA ? Quote(pv.lpszA) : "null";
    case PT_UNICODE:
        return pv.lpszW ? Quote(ToUtf8(pv.lpszW)) : "null";
    case PT_BINARY:
        return pv.bin.lpb ? "0x" + Hex(pv.bin.lpb, pv.bin.cb) : "null";
    case PT_SRESTRICTION:
        return DescribeRestriction(static_cast<const SRestriction*>(pv.lpv));
    default:
        std::snprintf(buf, sizeof(buf), "<type 0x%04x>", PROP_TYPE(v->ulPropTag));
        return buf;
    }
}

const char* RelopName(ULONG relop) {
    static const char* const kNames[] = {"<", "<=", ">", ">=", "==", "!=", "~"};
    return relop < 7 ? kNames[relop] : "?";
}

std::string FuzzyName(ULONG level) {
    std::string out;
    switch (level & 0xFFFF) {
    case FL_FULLSTRING:
        out = "fullstring";
        break;
    case FL_SUBSTRING:
        out = "substring";
        break;
    case FL_PREFIX:
        out = "prefix";
        break;
    default:
        out = "match" + std::to_string(level & 0xFFFF);
    }
    if (level & FL_IGNORECASE)
        out += "|ignorecase";
    if (level & FL_IGNORENONSPACE)
        out += "|ignorenonspace";
    if (level & FL_LOOSE)
        out += "|loose";
    return out;
}

std::string DescribeRestrictionAt(const SRestriction* r, unsigned depth) {
    if (r == nullptr)
        return "null";
    if (depth > kMaxNesting)
        return "...";
    char buf[64];
    auto list = [&](const char* name, ULONG count, const SRestriction* items) {
        std::string out = std::string(name) + "(";
        for (ULONG i = 0; i < count && items != nullptr; ++i) {
            if (i)
                out += ", ";
            out += DescribeRestrictionAt(&items[i], depth + 1);
        }
        return out + ")";
    };
    switch (r->rt) {
    case RES_AND:
        return list("and", r->res.resAnd.cRes, r->res.resAnd.lpRes);
    case RES_OR:
        return list("or", r->res.resOr.cRes, r->res.resOr.lpRes);
    case RES_NOT:
        return "not(" + DescribeRestrictionAt(r->res.resNot.lpRes, depth + 1) + ")";
    case RES_CONTENT:
        return "content(" + TagName(r->res.resContent.ulPropTag) + ", " +
               FuzzyName(r->res.resContent.ulFuzzyLevel) + ", " +
               DescribeValue(r->res.resContent.lpProp) + ")";
    case RES_PROPERTY:
        return "property(" + TagName(r->res.resProperty.ulPropTag) + " " +
               RelopName(r->res.resProperty.relop) + " " +
               DescribeValue(r->res.resProperty.lpProp) + ")";
    case RES_COMPAREPROPS:
        return "compare(" + TagName(r->res.resCompareProps.ulPropTag1) + " " +
               RelopName(r->res.resCompareProps.relop) + " " +
               TagName(r->res.resCompareProps.ulPropTag2) + ")";
    case RES_BITMASK:
        std::snprintf(buf, sizeof(buf), " & 0x%08x %s 0)", r->res.resBitMask.ulMask,
                      r->res.resBitMask.relBMR == BMR_EQZ ? "==" : "!=");
        return "bitmask(" + TagName(r->res.resBitMask.ulPropTag) + buf;
    case RES_SIZE:
        return "size(" + TagName(r->res.resSize.ulPropTag) + " " + RelopName(r->res.resSize.relop) +
               " " + std::to_string(r->res.resSize.cb) + ")";
    case RES_EXIST:
        return "exist(" + TagName(r->res.resExist.ulPropTag) + ")";
    case RES_SUBRESTRICTION:
        return "sub(" + TagName(r->res.resSub.ulSubObject) + ", " +
               DescribeRestrictionAt(r->res.resSub.lpRes, depth + 1) + ")";
    case RES_COMMENT:
        return "comment(" + DescribeRestrictionAt(r->res.resComment.lpRes, depth + 1) + ")";
    default:
        return "restriction" + std::to_string(r->rt);
    }
}

} // namespace

HRESULT EncodeRestriction(const SRestriction* restriction, std::vector<BYTE>* out) {
    return Encode(kMarkCondition, out, [&](Writer& w) { return w.Restriction(restriction, 1); });
}

HRESULT EncodeActions(const ACTIONS* actions, std::vector<BYTE>* out) {
    return Encode(kMarkActions, out, [&](Writer& w) { return w.Actions(actions, 1); });
}

HRESULT EncodeProps(ULONG count, const SPropValue* values, std::vector<BYTE>* out) {
    return Encode(kMarkProps, out, [&](Writer& w) {
        if (count != 0 && values == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        w.U32(count);
        for (ULONG i = 0; i < count; ++i) {
            HRESULT hr = w.Value(values[i], 1);
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    });
}

HRESULT DecodeRestriction(const std::vector<BYTE>& bytes, LPVOID parent, LPSRestriction* out) {
    *out = nullptr;
    Reader reader(bytes, parent);
    if (!reader.Mark(kMarkCondition))
        return reader.Result();
    SRestriction* r = reader.Alloc<SRestriction>(sizeof(SRestriction));
    if (r == nullptr || !reader.Restriction(r, 1) || !reader.AtEnd())
        return reader.Result();
    *out = r;
    return S_OK;
}

HRESULT DecodeActions(const std::vector<BYTE>& bytes, LPVOID parent, LPACTIONS* out) {
    *out = nullptr;
    Reader reader(bytes, parent);
    if (!reader.Mark(kMarkActions))
        return reader.Result();
    ACTIONS* a = reader.Alloc<ACTIONS>(sizeof(ACTIONS));
    if (a == nullptr || !reader.Actions(a, 1) || !reader.AtEnd())
        return reader.Result();
    *out = a;
    return S_OK;
}

HRESULT DecodeProps(const std::vector<BYTE>& bytes, LPVOID parent, ULONG* count,
                    LPSPropValue* values) {
    *count = 0;
    *values = nullptr;
    Reader reader(bytes, parent);
    std::uint32_t n = 0;
    if (!reader.Mark(kMarkProps) || !reader.Count(&n, 8))
        return reader.Result();
    SPropValue* list = reader.Alloc<SPropValue>(sizeof(SPropValue) * (n ? n : 1));
    if (list == nullptr)
        return reader.Result();
    for (std::uint32_t i = 0; i < n; ++i)
        if (!reader.Value(&list[i], 1))
            return reader.Result();
    if (!reader.AtEnd())
        return reader.Result();
    *count = n;
    *values = list;
    return S_OK;
}

std::string TagName(ULONG tag) {
    struct Name {
        ULONG tag;
        const char* name;
    };
    static const Name kNames[] = {
        {PR_TRANSPORT_MESSAGE_HEADERS, "PR_TRANSPORT_MESSAGE_HEADERS"},
        {PR_SUBJECT, "PR_SUBJECT"},
        {PR_SUBJECT_W, "PR_SUBJECT_W"},
        {PR_BODY, "PR_BODY"},
        {PR_BODY_W, "PR_BODY_W"},
        {PR_MESSAGE_CLASS, "PR_MESSAGE_CLASS"},
        {PR_MESSAGE_DELIVERY_TIME, "PR_MESSAGE_DELIVERY_TIME"},
        {PR_CREATION_TIME, "PR_CREATION_TIME"},
        {PR_DISPLAY_NAME, "PR_DISPLAY_NAME"},
        {PR_DISPLAY_NAME_W, "PR_DISPLAY_NAME_W"},
        {PR_ENTRYID, "PR_ENTRYID"},
        {PR_MESSAGE_SIZE, "PR_MESSAGE_SIZE"},
    };
    for (const Name& n : kNames)
        if (n.tag == tag)
            return n.name;
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%08x", tag);
    return buf;
}

std::string DescribeRestriction(const SRestriction* restriction) {
    return DescribeRestrictionAt(restriction, 1);
}

std::string DescribeActions(const ACTIONS* actions,
                            const std::function<std::string(const SBinary&)>& folder_name) {
    if (actions == nullptr)
        return "none";
    static const char* const kNames[] = {"?",        "move",  "copy",   "reply",
                                         "oof",      "defer", "bounce", "forward",
                                         "delegate", "tag",   "delete", "mark-as-read"};
    std::string out;
    for (ULONG i = 0; i < actions->cActions && actions->lpAction != nullptr; ++i) {
        const ACTION& act = actions->lpAction[i];
        if (i)
            out += "; ";
        out += act.acttype < 12 ? kNames[act.acttype] : "action" + std::to_string(act.acttype);
        if (act.acttype == OP_MOVE || act.acttype == OP_COPY) {
            SBinary folder{act.actMoveCopy.cbFldEntryId,
                           reinterpret_cast<LPBYTE>(act.actMoveCopy.lpFldEntryId)};
            std::string name = folder_name ? folder_name(folder) : std::string();
            out += "(" + (name.empty() ? std::string("<missing folder>") : name) + ")";
        } else if (act.acttype == OP_BOUNCE) {
            char buf[16];
            std::snprintf(buf, sizeof(buf), "(0x%08x)", static_cast<unsigned>(act.scBounceCode));
            out += buf;
        } else if (act.acttype == OP_TAG) {
            out += "(" + TagName(act.propTag.ulPropTag) + " = " + DescribeValue(&act.propTag) + ")";
        }
    }
    return out.empty() ? "none" : out;
}

} // namespace infostore
