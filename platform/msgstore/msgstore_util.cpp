#include "platform/msgstore/msgstore_util.h"

#include <cstring>
#include <new>

#include "platform/mapi/mapi_runtime.h"
#include "runtime/vtx_str.h"
#include "runtime/vtxpr_time.h"

namespace msgstore {
namespace {

void PutU32(std::vector<BYTE>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

std::uint64_t GetLE(const BYTE* p, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

constexpr std::size_t kHeaderSize = 4 + 16 + 4;

SPropValue Make(ULONG tag) {
    SPropValue v{};
    v.ulPropTag = tag;
    return v;
}

// Copies `source` into `dest` on `parent`'s chain as `want` (its type may be
// PT_UNSPECIFIED, or the other string width).
SCODE CopyValueAs(LPSPropValue dest, const SPropValue& source, ULONG want, LPVOID parent) {
    ULONG have = PROP_TYPE(source.ulPropTag);
    ULONG type = PROP_TYPE(want);
    if (type == PT_UNSPECIFIED || type == have || have == PT_ERROR)
        return PropCopyMore(dest, &source, parent);
    if (!IsString(have) || !IsString(type))
        return MAPI_E_INVALID_TYPE;
    std::string utf8;
    if (!StringOf(source, &utf8)) {
        dest->ulPropTag = want;
        dest->Value.lpv = nullptr;
        return S_OK;
    }
    dest->ulPropTag = want;
    dest->dwAlignPad = 0;
    LPVOID block = nullptr;
    if (type == PT_STRING8) {
        SCODE sc = MAPIAllocateMore(static_cast<ULONG>(utf8.size() + 1), parent, &block);
        if (FAILED(sc))
            return sc;
        std::memcpy(block, utf8.c_str(), utf8.size() + 1);
        dest->Value.lpszA = static_cast<char*>(block);
    } else {
        std::u16string wide = Utf16Of(utf8);
        SCODE sc = MAPIAllocateMore(static_cast<ULONG>((wide.size() + 1) * sizeof(char16_t)),
                                    parent, &block);
        if (FAILED(sc))
            return sc;
        std::memcpy(block, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
        dest->Value.lpszW = static_cast<char16_t*>(block);
    }
    return S_OK;
}

} // namespace

// ---- Entry identifiers ------------------------------------------------------------
std::vector<BYTE> MakeObjectEntryId(const BYTE* identity, EntryKind kind, const Key& key) {
    std::vector<BYTE> id(4, 0);
    id.insert(id.end(), identity, identity + 16);
    PutU32(id, static_cast<std::uint32_t>(kind));
    id.insert(id.end(), key.begin(), key.end());
    return id;
}

std::vector<BYTE> MakeStoreEntryId(const BYTE* identity, std::uint32_t flags,
                                   std::string_view store_dn, std::string_view mailbox_dn) {
    std::vector<BYTE> id;
    MakeStoreEntryId(identity, flags, store_dn, mailbox_dn, &id);
    return id;
}

void MakeStoreEntryId(const BYTE* identity, std::uint32_t flags, std::string_view store_dn,
                      std::string_view mailbox_dn, std::vector<BYTE>* out) {
    std::vector<BYTE>& id = *out;
    id.assign(4, 0);
    id.insert(id.end(), identity, identity + 16);
    PutU32(id, static_cast<std::uint32_t>(EntryKind::Store));
    PutU32(id, flags);
    for (std::string_view text : {store_dn, mailbox_dn}) {
        std::size_t n = text.size() > 0xFFFF ? 0xFFFF : text.size();
        id.push_back(static_cast<BYTE>(n & 0xFF));
        id.push_back(static_cast<BYTE>(n >> 8));
        id.insert(id.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    }
}

HRESULT ParseEntryId(const BYTE* identity, const void* entry, std::size_t size,
                     EntryIdParts* parts) {
    const BYTE* p = static_cast<const BYTE*>(entry);
    if (p == nullptr || size < kHeaderSize)
        return MAPI_E_INVALID_ENTRYID;
    if (std::memcmp(p + 4, identity, 16) != 0)
        return MAPI_E_INVALID_ENTRYID;
    std::uint32_t kind = static_cast<std::uint32_t>(GetLE(p + 20, 4));
    const BYTE* q = p + kHeaderSize;
    std::size_t left = size - kHeaderSize;
    try {
        if (kind == static_cast<std::uint32_t>(EntryKind::Folder) ||
            kind == static_cast<std::uint32_t>(EntryKind::Message)) {
            if (left == 0)
                return MAPI_E_INVALID_ENTRYID;
            parts->kind = static_cast<EntryKind>(kind);
            parts->key.assign(q, q + left);
            return S_OK;
        }
        if (kind != static_cast<std::uint32_t>(EntryKind::Store) || left < 8)
            return MAPI_E_INVALID_ENTRYID;
        parts->kind = EntryKind::Store;
        parts->store_flags = static_cast<std::uint32_t>(GetLE(q, 4));
        q += 4;
        left -= 4;
        for (std::string* text : {&parts->store_dn, &parts->mailbox_dn}) {
            if (left < 2)
                return MAPI_E_INVALID_ENTRYID;
            std::size_t n = static_cast<std::size_t>(GetLE(q, 2));
            q += 2;
            left -= 2;
            if (n > left)
                return MAPI_E_INVALID_ENTRYID;
            text->assign(reinterpret_cast<const char*>(q), n);
            q += n;
            left -= n;
        }
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    return left == 0 ? S_OK : MAPI_E_INVALID_ENTRYID;
}

// ---- Text ---------------------------------------------------------------------------
bool IsString(ULONG type) {
    return type == PT_STRING8 || type == PT_UNICODE;
}

bool StringOf(const SPropValue& v, std::string* out) {
    if (PROP_TYPE(v.ulPropTag) == PT_STRING8 && v.Value.lpszA != nullptr) {
        *out = v.Value.lpszA;
        return true;
    }
    if (PROP_TYPE(v.ulPropTag) == PT_UNICODE && v.Value.lpszW != nullptr) {
        *out = Utf8Of(v.Value.lpszW);
        return true;
    }
    return false;
}

std::string Utf8Of(const char16_t* text) {
    if (text == nullptr)
        return {};
    return VTX_ToUtf8(std::u16string_view(text));
}

std::u16string Utf16Of(std::string_view text) {
    return VTX_FromUtf8(text);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    std::u16string x = VTX_FromUtf8(a);
    std::u16string y = VTX_FromUtf8(b);
    if (x.size() != y.size())
        return false;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (VTX_WToLower(x[i]) != VTX_WToLower(y[i]))
            return false;
    return true;
}

std::uint64_t FileTimeNow() {
    std::int64_t units = VTXPR_TimeNs() / 100 + static_cast<std::int64_t>(kUnixEpochAsFileTime);
    return units < 0 ? 0 : static_cast<std::uint64_t>(units);
}

// ---- Property values --------------------------------------------------------------------
void PropBag::Long(ULONG tag, LONG value) {
    SPropValue v = Make(tag);
    v.Value.l = value;
    values_.push_back(v);
}
void PropBag::Bool(ULONG tag, bool value) {
    SPropValue v = Make(tag);
    v.Value.b = value ? 1 : 0;
    values_.push_back(v);
}
void PropBag::I8(ULONG tag, std::int64_t value) {
    SPropValue v = Make(tag);
    v.Value.li = value;
    values_.push_back(v);
}
void PropBag::Time(ULONG tag, std::uint64_t value) {
    SPropValue v = Make(tag);
    v.Value.ft = ToFileTime(value);
    values_.push_back(v);
}
void PropBag::Str(ULONG tag, std::string text) {
    strings_.push_back(std::move(text));
    SPropValue v = Make(tag);
    v.Value.lpszA = strings_.back().data();
    values_.push_back(v);
}
void PropBag::WStr(ULONG tag, std::u16string text) {
    wide_.push_back(std::move(text));
    SPropValue v = Make(tag);
    v.Value.lpszW = wide_.back().data();
    values_.push_back(v);
}
void PropBag::Bin(ULONG tag, std::vector<BYTE> bytes) {
    binaries_.push_back(std::move(bytes));
    SPropValue v = Make(tag);
    v.Value.bin.cb = static_cast<ULONG>(binaries_.back().size());
    v.Value.bin.lpb = binaries_.back().data();
    values_.push_back(v);
}
void PropBag::Error(ULONG tag, SCODE error) {
    SPropValue v = Make(PROP_TAG(PT_ERROR, PROP_ID(tag)));
    v.Value.err = error;
    values_.push_back(v);
}
void PropBag::Pointer(ULONG tag, LPVOID pointer) {
    SPropValue v = Make(tag);
    v.Value.lpv = pointer;
    values_.push_back(v);
}

const SPropValue* PropBag::Find(ULONG tag) const {
    const SPropValue* other = nullptr;
    const SPropValue* error = nullptr;
    for (const SPropValue& v : values_) {
        if (PROP_ID(v.ulPropTag) != PROP_ID(tag))
            continue;
        ULONG have = PROP_TYPE(v.ulPropTag);
        ULONG want = PROP_TYPE(tag);
        if (have == want || (want == PT_UNSPECIFIED && have != PT_ERROR))
            return &v;
        if (IsString(have) && IsString(want))
            other = &v;
        else if (have == PT_ERROR)
            error = &v;
    }
    return other ? other : error;
}

HRESULT AnswerGetProps(const PropBag& bag, LPSPropTagArray tags, ULONG flags, ULONG* count,
                       LPSPropValue* values) {
    if (count == nullptr || values == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *count = 0;
    *values = nullptr;
    ULONG n = tags != nullptr ? tags->cValues : bag.Size();
    LPVOID block = nullptr;
    SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (n ? n : 1)), &block);
    if (FAILED(sc))
        return sc;
    LPSPropValue out = static_cast<LPSPropValue>(block);
    std::memset(out, 0, sizeof(SPropValue) * (n ? n : 1));
    HRESULT hr = S_OK;
    for (ULONG i = 0; i < n; ++i) {
        ULONG want;
        const SPropValue* found;
        if (tags != nullptr) {
            want = tags->aulPropTag[i];
            found = bag.Find(want);
        } else {
            found = &bag.Data()[i];
            want = found->ulPropTag;
            if ((flags & MAPI_UNICODE) && PROP_TYPE(want) == PT_STRING8)
                want = CHANGE_PROP_TYPE(want, PT_UNICODE);
        }
        if (found == nullptr) {
            out[i].ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(want));
            out[i].Value.err = MAPI_E_NOT_FOUND;
            hr = MAPI_W_ERRORS_RETURNED;
            continue;
        }
        sc = CopyValueAs(&out[i], *found, want, block);
        if (sc == MAPI_E_INVALID_TYPE) {
            out[i].ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(want));
            out[i].Value.err = MAPI_E_INVALID_TYPE;
            hr = MAPI_W_ERRORS_RETURNED;
            continue;
        }
        if (FAILED(sc)) {
            MAPIFreeBuffer(block);
            return sc;
        }
        if (PROP_TYPE(out[i].ulPropTag) == PT_ERROR)
            hr = MAPI_W_ERRORS_RETURNED;
    }
    *count = n;
    *values = out;
    return hr;
}

HRESULT TableFromBags(std::vector<PropBag>& bags, LPMAPITABLE* table) {
    std::vector<SRow> rows(bags.size());
    for (std::size_t i = 0; i < bags.size(); ++i) {
        rows[i].ulAdrEntryPad = 0;
        rows[i].cValues = bags[i].Size();
        rows[i].lpProps = bags[i].Data();
    }
    return MAPICreateRowTable(static_cast<ULONG>(rows.size()), rows.data(), table);
}

} // namespace msgstore
