#include "platform/infostore/infostore_mapi.h"

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <new>
#include <optional>

#include "mailstore/mapitags.h"
#include "platform/infostore/infostore_codec.h"
#include "platform/mapi/mapi_runtime.h"

namespace infostore {

const BYTE kPrivateStoreProvider[16] = {0x54, 0x94, 0xA1, 0xC0, 0x29, 0x7F, 0x10, 0x1B,
                                        0xA5, 0x87, 0x08, 0x00, 0x2B, 0x2A, 0x25, 0x17};

namespace {

// ModifyTable: replace every row of the table with the list's rows.
constexpr ULONG ROWLIST_REPLACE = 0x00000001;
// GetContentsTable: the folder's associated (hidden) contents.
constexpr ULONG MAPI_ASSOCIATED = 0x00000040;

using Lock = std::lock_guard<std::recursive_mutex>;

bool IsString(ULONG type) {
    return type == PT_STRING8 || type == PT_UNICODE;
}

// Reads a string value (either width) as UTF-8; false when it is no string
// or a null pointer.
bool StringOf(const SPropValue& v, std::string* out) {
    if (PROP_TYPE(v.ulPropTag) == PT_STRING8 && v.Value.lpszA != nullptr) {
        *out = v.Value.lpszA;
        return true;
    }
    if (PROP_TYPE(v.ulPropTag) == PT_UNICODE && v.Value.lpszW != nullptr) {
        *out = ToUtf8(v.Value.lpszW);
        return true;
    }
    return false;
}

// Property values built for an answer, owning what they point to.
class PropBag {
public:
    void Long(ULONG tag, LONG value) {
        SPropValue v = Make(tag);
        v.Value.l = value;
        values_.push_back(v);
    }
    void Bool(ULONG tag, bool value) {
        SPropValue v = Make(tag);
        v.Value.b = value ? 1 : 0;
        values_.push_back(v);
    }
    void I8(ULONG tag, std::int64_t value) {
        SPropValue v = Make(tag);
        v.Value.li = value;
        values_.push_back(v);
    }
    void Time(ULONG tag, std::uint64_t value) {
        SPropValue v = Make(tag);
        v.Value.ft = ToFileTime(value);
        values_.push_back(v);
    }
    void Str(ULONG tag, std::string text) {
        strings_.push_back(std::move(text));
        SPropValue v = Make(tag);
        v.Value.lpszA = strings_.back().data();
        values_.push_back(v);
    }
    void WStr(ULONG tag, std::u16string text) {
        wide_.push_back(std::move(text));
        SPropValue v = Make(tag);
        v.Value.lpszW = wide_.back().data();
        values_.push_back(v);
    }
    void Bin(ULONG tag, std::vector<BYTE> bytes) {
        binaries_.push_back(std::move(bytes));
        SPropValue v = Make(tag);
        v.Value.bin.cb = static_cast<ULONG>(binaries_.back().size());
        v.Value.bin.lpb = binaries_.back().data();
        values_.push_back(v);
    }
    void Error(ULONG tag, SCODE error) {
        SPropValue v = Make(PROP_TAG(PT_ERROR, PROP_ID(tag)));
        v.Value.err = error;
        values_.push_back(v);
    }
    void Pointer(ULONG tag, LPVOID pointer) {
        SPropValue v = Make(tag);
        v.Value.lpv = pointer;
        values_.push_back(v);
    }
    void Raw(const SPropValue& value) { values_.push_back(value); }

    SPropValue* Data() { return values_.data(); }
    ULONG Size() const { return static_cast<ULONG>(values_.size()); }
    // The value of `tag`'s property: the same type first, then a string of
    // the other width, then a stored error; any type for PT_UNSPECIFIED.
    const SPropValue* Find(ULONG tag) const {
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

private:
    static SPropValue Make(ULONG tag) {
        SPropValue v{};
        v.ulPropTag = tag;
        return v;
    }
    std::deque<std::string> strings_;
    std::deque<std::u16string> wide_;
    std::deque<std::vector<BYTE>> binaries_;
    std::vector<SPropValue> values_;
};

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
        std::u16string wide = ToUtf16(utf8);
        SCODE sc = MAPIAllocateMore(static_cast<ULONG>((wide.size() + 1) * sizeof(char16_t)),
                                    parent, &block);
        if (FAILED(sc))
            return sc;
        std::memcpy(block, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
        dest->Value.lpszW = static_cast<char16_t*>(block);
    }
    return S_OK;
}

// GetProps over a bag of available values.
HRESULT AnswerGetProps(const PropBag& bag, LPSPropTagArray tags, ULONG flags, ULONG* count,
                       LPSPropValue* values) {
    if (count == nullptr || values == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *count = 0;
    *values = nullptr;
    PropBag& all = const_cast<PropBag&>(bag);
    ULONG n = tags != nullptr ? tags->cValues : all.Size();
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
            found = all.Find(want);
        } else {
            found = &all.Data()[i];
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

// A fault check at the start of an operation: Failed() when the operation
// must fail at once; Finish() puts a prescribed warning in place of S_OK.
class FaultGate {
public:
    FaultGate(const StoreContext& context, const char* operation) : hr_(context.Fault(operation)) {}
    bool Failed() const { return FAILED(hr_); }
    HRESULT Result() const { return hr_; }
    HRESULT Finish(HRESULT hr) const { return hr == S_OK && hr_ != S_OK ? hr_ : hr; }

private:
    HRESULT hr_;
};

// The access an open grants, as a real store decides it: MAPI_MODIFY asks for
// write access and is refused with MAPI_E_NO_ACCESS where the logon may not
// write; MAPI_BEST_ACCESS takes write access where the logon may write and
// read access elsewhere; neither gives read access only.
HRESULT AccessFor(ULONG flags, bool may_write, bool* writable) {
    if (flags & MAPI_MODIFY) {
        if (!may_write)
            return MAPI_E_NO_ACCESS;
        *writable = true;
        return S_OK;
    }
    *writable = (flags & MAPI_BEST_ACCESS) != 0 && may_write;
    return S_OK;
}

template <typename T, typename... Args> T* NewObject(Args&&... args) {
    try {
        return new (std::nothrow) T(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool IidIs(LPCIID iid, std::initializer_list<const IID*> allowed) {
    if (iid == nullptr)
        return true;
    for (const IID* candidate : allowed)
        if (*candidate == *iid)
            return true;
    return false;
}

std::string FolderName(const char* name, ULONG flags) {
    if (name == nullptr)
        return {};
    if (flags & MAPI_UNICODE)
        return ToUtf8(reinterpret_cast<const char16_t*>(name));
    return name;
}

// ---- Tables ------------------------------------------------------------------------
// Loads the rows of a table into a new generic table.
using TableLoader = std::function<HRESULT(LPMAPITABLE*)>;

HRESULT TableFromBags(std::vector<PropBag>& bags, LPMAPITABLE* table) {
    std::vector<SRow> rows(bags.size());
    for (std::size_t i = 0; i < bags.size(); ++i) {
        rows[i].ulAdrEntryPad = 0;
        rows[i].cValues = bags[i].Size();
        rows[i].lpProps = bags[i].Data();
    }
    return MAPICreateRowTable(static_cast<ULONG>(rows.size()), rows.data(), table);
}

// The mailboxes of one server, for the mailbox table. A server's mailbox
// list is the one table that grows with the whole organisation, so its rows
// are kept compact and turned into property values one at a time, when the
// table reads them: a DN that starts with the organisation's recipients
// container keeps only the rest, a display name equal to that rest is not
// kept again, and the store entry identifier is made from the DN on demand.
// Each row offers PR_EMAIL_ADDRESS_A (the mailbox DN), PR_DISPLAY_NAME and
// PR_ENTRYID (of the mailbox's store); a row comes back with the first two
// unless the caller sets columns, the entry identifier being there for those
// who ask for it.
class MailboxRows final : public MAPIRowSource {
public:
    MailboxRows(const BYTE* guid, std::string recipients) : recipients_(std::move(recipients)) {
        std::memcpy(guid_, guid, sizeof guid_);
    }

    // Reads the mailboxes homed on `server_id` in the order they were
    // created. The caller holds the connection's lock.
    HRESULT Load(StoreDb& db, std::int64_t server_id) {
        Stmt q = db.Prepare("SELECT m.dn, m.display_name, s.dn FROM mailboxes m "
                            "JOIN servers s ON s.id = m.server_id "
                            "WHERE m.server_id = ?1 ORDER BY m.id");
        q.Bind(1, server_id);
        try {
            while (q.Row()) {
                std::string_view dn = q.TextView(0);
                std::string_view name = q.TextView(1);
                if (starts_.empty())
                    store_dn_ = std::string(q.TextView(2)) + kPrivateMdbSuffix;
                if (text_.size() > kOffsetMask)
                    return MAPI_E_TABLE_TOO_BIG;
                std::uint32_t start = static_cast<std::uint32_t>(text_.size());
                if (dn.size() > recipients_.size() &&
                    dn.substr(0, recipients_.size()) == recipients_) {
                    dn.remove_prefix(recipients_.size());
                    start |= kShortDn;
                }
                text_.append(dn).push_back('\0');
                if (name == dn)
                    start |= kNameIsDn;
                else
                    text_.append(name).push_back('\0');
                starts_.push_back(start);
            }
            if (FAILED(q.Result()))
                return q.Result();
            text_.shrink_to_fit();
            starts_.shrink_to_fit();
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        return S_OK;
    }

    ULONG RowCount() const override { return static_cast<ULONG>(starts_.size()); }

    HRESULT ReadRow(ULONG index, ULONG* count, const SPropValue** values) override {
        const std::uint32_t start = starts_[index];
        const char* kept = text_.data() + (start & kOffsetMask);
        const char* name = (start & kNameIsDn) ? kept : kept + std::strlen(kept) + 1;
        try {
            dn_.clear();
            if (start & kShortDn)
                dn_ = recipients_;
            dn_ += kept;
            MakeStoreEntryId(guid_, 0, store_dn_, dn_, &entry_id_);
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        values_[0] = SPropValue{};
        values_[0].ulPropTag = PR_EMAIL_ADDRESS_A;
        values_[0].Value.lpszA = dn_.data();
        values_[1] = SPropValue{};
        values_[1].ulPropTag = PR_DISPLAY_NAME;
        values_[1].Value.lpszA = const_cast<char*>(name);
        values_[2] = SPropValue{};
        values_[2].ulPropTag = PR_ENTRYID;
        values_[2].Value.bin.cb = static_cast<ULONG>(entry_id_.size());
        values_[2].Value.bin.lpb = entry_id_.data();
        *count = 3;
        *values = values_;
        return S_OK;
    }

    const SPropTagArray* DefaultColumns() const override {
        static SizedSPropTagArray<2> columns = {2, {PR_EMAIL_ADDRESS_A, PR_DISPLAY_NAME}};
        return columns.get();
    }

private:
    // A row's start in text_, with two flags in the top bits.
    static constexpr std::uint32_t kShortDn = 0x80000000u;  // only the rest of the DN is kept
    static constexpr std::uint32_t kNameIsDn = 0x40000000u; // the name is the kept DN text
    static constexpr std::uint32_t kOffsetMask = 0x3FFFFFFFu;

    BYTE guid_[16] = {};
    std::string recipients_; // the DN prefix shared by the organisation's mailboxes
    std::string store_dn_;   // the server's private store
    std::string text_;       // each row: its kept DN, then its name unless flagged
    std::vector<std::uint32_t> starts_;
    // The row last read.
    std::string dn_;
    std::vector<BYTE> entry_id_;
    SPropValue values_[3] = {};
};

// A table the store hands out: the generic table over the rows read when
// it was opened. SetColumns, which begins every scan, first reloads the rows
// when the store has changed since (the restriction and sort order already
// set are applied again), so one view serves scans before and after a
// change, as the rules table view must. Between two SetColumns calls the
// rows stay as they were, so a caller deleting while it reads keeps its
// place.
class StoreTable final : public IMAPITable, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    static HRESULT Create(const ContextPtr& context, TableLoader loader, LPMAPITABLE* table) {
        *table = nullptr;
        StoreTable* made = NewObject<StoreTable>(context, std::move(loader));
        if (made == nullptr)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        HRESULT hr = made->Load();
        if (FAILED(hr)) {
            made->Release();
            return hr;
        }
        *table = made;
        return S_OK;
    }

    StoreTable(ContextPtr context, TableLoader loader)
        : context_(std::move(context)), loader_(std::move(loader)) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        if (iid == IID_IUnknown || iid == IID_IMAPITable) {
            AddRef();
            *object = static_cast<IMAPITable*>(this);
            return S_OK;
        }
        *object = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }

    HRESULT SetColumns(LPSPropTagArray columns, ULONG flags) override {
        FaultGate gate(*context_, "IMAPITable::SetColumns");
        if (gate.Failed())
            return gate.Result();
        HRESULT hr = RefreshIfChanged();
        if (FAILED(hr))
            return hr;
        return gate.Finish(inner_->SetColumns(columns, flags));
    }
    HRESULT GetRowCount(ULONG flags, ULONG* count) override {
        FaultGate gate(*context_, "IMAPITable::GetRowCount");
        if (gate.Failed())
            return gate.Result();
        return gate.Finish(inner_->GetRowCount(flags, count));
    }
    HRESULT SeekRow(BOOKMARK origin, LONG row_count, LONG* rows_sought) override {
        FaultGate gate(*context_, "IMAPITable::SeekRow");
        if (gate.Failed())
            return gate.Result();
        return gate.Finish(inner_->SeekRow(origin, row_count, rows_sought));
    }
    HRESULT Restrict(LPSRestriction restriction, ULONG flags) override {
        FaultGate gate(*context_, "IMAPITable::Restrict");
        if (gate.Failed())
            return gate.Result();
        HRESULT hr = inner_->Restrict(restriction, flags);
        if (SUCCEEDED(hr))
            hr = KeepRestriction(restriction, flags);
        return gate.Finish(hr);
    }
    HRESULT SortTable(LPSSortOrderSet sort_order, ULONG flags) override {
        FaultGate gate(*context_, "IMAPITable::SortTable");
        if (gate.Failed())
            return gate.Result();
        HRESULT hr = inner_->SortTable(sort_order, flags);
        if (SUCCEEDED(hr)) {
            try {
                sort_.clear();
                if (sort_order != nullptr) {
                    std::size_t size =
                        offsetof(SSortOrderSet, aSort) +
                        sizeof(SSortOrder) * (sort_order->cSorts ? sort_order->cSorts : 1);
                    const BYTE* p = reinterpret_cast<const BYTE*>(sort_order);
                    sort_.assign(p, p + size);
                }
                sort_flags_ = flags;
            } catch (const std::bad_alloc&) {
                return MAPI_E_NOT_ENOUGH_MEMORY;
            }
        }
        return gate.Finish(hr);
    }
    HRESULT QueryRows(LONG row_count, ULONG flags, LPSRowSet* rows) override {
        FaultGate gate(*context_, "IMAPITable::QueryRows");
        if (gate.Failed()) {
            if (rows != nullptr)
                *rows = nullptr;
            return gate.Result();
        }
        return gate.Finish(inner_->QueryRows(row_count, flags, rows));
    }

private:
    ~StoreTable() override {
        if (inner_ != nullptr)
            inner_->Release();
        if (restriction_chain_ != nullptr)
            MAPIFreeBuffer(restriction_chain_);
    }

    std::pair<std::int64_t, std::int64_t> Stamp() {
        StoreDb& db = *context_->db;
        Lock lock(db.Mutex());
        return {sqlite3_total_changes64(db.Handle()), db.DataVersion()};
    }

    HRESULT Load() {
        auto stamp = Stamp();
        LPMAPITABLE fresh = nullptr;
        HRESULT hr;
        try {
            hr = loader_(&fresh);
        } catch (const std::bad_alloc&) {
            hr = MAPI_E_NOT_ENOUGH_MEMORY;
        }
        if (FAILED(hr))
            return hr;
        if (inner_ != nullptr)
            inner_->Release();
        inner_ = fresh;
        stamp_ = stamp;
        return S_OK;
    }

    HRESULT RefreshIfChanged() {
        if (Stamp() == stamp_)
            return S_OK;
        HRESULT hr = Load();
        if (FAILED(hr))
            return hr;
        if (restricted_) {
            hr = inner_->Restrict(restriction_, restrict_flags_);
            if (FAILED(hr))
                return hr;
        }
        if (!sort_.empty())
            hr = inner_->SortTable(reinterpret_cast<LPSSortOrderSet>(sort_.data()), sort_flags_);
        return hr;
    }

    HRESULT KeepRestriction(LPSRestriction restriction, ULONG flags) {
        if (restriction_chain_ != nullptr)
            MAPIFreeBuffer(restriction_chain_);
        restriction_chain_ = nullptr;
        restriction_ = nullptr;
        restricted_ = false;
        if (restriction == nullptr)
            return S_OK;
        SCODE sc = MAPIAllocateBuffer(1, &restriction_chain_);
        if (SUCCEEDED(sc))
            sc = ScCopyRestriction(&restriction_, restriction, restriction_chain_);
        if (FAILED(sc))
            return sc;
        restricted_ = true;
        restrict_flags_ = flags;
        return S_OK;
    }

    ContextPtr context_;
    TableLoader loader_;
    LPMAPITABLE inner_ = nullptr;
    std::pair<std::int64_t, std::int64_t> stamp_{-1, -1};
    LPVOID restriction_chain_ = nullptr;
    LPSRestriction restriction_ = nullptr;
    bool restricted_ = false;
    ULONG restrict_flags_ = 0;
    std::vector<BYTE> sort_;
    ULONG sort_flags_ = 0;
};

// ---- Objects ------------------------------------------------------------------------
class InfoFolder;
class InfoMessage;

HRESULT NewFolder(const ContextPtr& context, std::int64_t id, bool writable, LPMAPIFOLDER* folder);
HRESULT OpenInContext(const ContextPtr& context, std::int64_t null_folder, ULONG entry_size,
                      LPENTRYID entry, LPCIID iid, ULONG flags, ULONG* object_type,
                      LPUNKNOWN* object);

// A message: new until its first SaveChanges, then a row of the store. One
// opened without write access refuses every change with MAPI_E_NO_ACCESS; a
// new message may always be written.
class InfoMessage final : public IMessage, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    InfoMessage(ContextPtr context, std::int64_t folder_id, std::int64_t id, bool writable)
        : context_(std::move(context)), folder_id_(folder_id), id_(id), writable_(writable) {}

    // Fills the properties from a stored row.
    HRESULT LoadFrom(const StoredMessage& m) {
        PropBag bag;
        if (m.subject)
            bag.Str(PR_SUBJECT, *m.subject);
        if (m.body)
            bag.Str(PR_BODY, *m.body);
        if (m.headers)
            bag.Str(PR_TRANSPORT_MESSAGE_HEADERS, *m.headers);
        if (m.message_class)
            bag.Str(PR_MESSAGE_CLASS, *m.message_class);
        if (m.delivery_time)
            bag.Time(PR_MESSAGE_DELIVERY_TIME, *m.delivery_time);
        for (ULONG i = 0; i < bag.Size(); ++i) {
            HRESULT hr = Put(bag.Data()[i]);
            if (FAILED(hr))
                return hr;
        }
        if (!m.props.empty()) {
            LPVOID chain = nullptr;
            SCODE sc = MAPIAllocateBuffer(1, &chain);
            if (FAILED(sc))
                return sc;
            ULONG count = 0;
            LPSPropValue values = nullptr;
            HRESULT hr = DecodeProps(m.props, chain, &count, &values);
            for (ULONG i = 0; SUCCEEDED(hr) && i < count; ++i)
                hr = Put(values[i]);
            MAPIFreeBuffer(chain);
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        if (iid == IID_IUnknown || iid == IID_IMAPIProp || iid == IID_IMessage) {
            AddRef();
            *object = static_cast<IMessage*>(this);
            return S_OK;
        }
        *object = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }

    HRESULT SaveChanges(ULONG flags) override;
    HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                     LPSPropValue* values) override {
        FaultGate gate(*context_, "IMessage::GetProps");
        if (gate.Failed())
            return gate.Result();
        try {
            PropBag bag;
            for (const auto& entry : props_)
                bag.Raw(*entry.second);
            if (id_ != 0) {
                bag.Bin(PR_ENTRYID,
                        MakeObjectEntryId(context_->db->Guid(), EntryKind::Message, id_));
                bag.Bin(PR_RECORD_KEY,
                        MakeObjectEntryId(context_->db->Guid(), EntryKind::Message, id_));
            }
            bag.Bin(PR_PARENT_ENTRYID,
                    MakeObjectEntryId(context_->db->Guid(), EntryKind::Folder, folder_id_));
            bag.Bin(PR_STORE_ENTRYID, context_->store_entry_id);
            bag.Long(PR_OBJECT_TYPE, MAPI_MESSAGE);
            return gate.Finish(AnswerGetProps(bag, tags, flags, count, values));
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }
    HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* object) override {
        if (object != nullptr)
            *object = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override {
        FaultGate gate(*context_, "IMessage::SetProps");
        if (problems != nullptr)
            *problems = nullptr;
        if (gate.Failed())
            return gate.Result();
        if (!writable_)
            return MAPI_E_NO_ACCESS;
        if (count != 0 && values == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        std::vector<SPropProblem> refused;
        for (ULONG i = 0; i < count; ++i) {
            ULONG tag = values[i].ulPropTag;
            ULONG id = PROP_ID(tag);
            SCODE problem = S_OK;
            if (id == PROP_ID(PR_ENTRYID) || id == PROP_ID(PR_PARENT_ENTRYID) ||
                id == PROP_ID(PR_STORE_ENTRYID) || id == PROP_ID(PR_OBJECT_TYPE) ||
                id == PROP_ID(PR_RECORD_KEY))
                problem = MAPI_E_COMPUTED;
            else if (PROP_TYPE(tag) == PT_ERROR || PROP_TYPE(tag) == PT_OBJECT ||
                     PROP_TYPE(tag) == PT_UNSPECIFIED || PROP_TYPE(tag) == PT_NULL)
                problem = MAPI_E_INVALID_TYPE;
            else if (!Storable(values[i]))
                problem = MAPI_E_INVALID_TYPE;
            if (problem == S_OK) {
                HRESULT hr = Put(values[i]);
                if (FAILED(hr))
                    return hr;
            } else {
                refused.push_back(SPropProblem{i, tag, problem});
            }
        }
        return gate.Finish(ReportProblems(refused, problems));
    }
    HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
        if (problems != nullptr)
            *problems = nullptr;
        if (tags == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        if (!writable_)
            return MAPI_E_NO_ACCESS;
        for (ULONG i = 0; i < tags->cValues; ++i) {
            auto found = props_.find(PROP_ID(tags->aulPropTag[i]));
            if (found != props_.end()) {
                MAPIFreeBuffer(found->second);
                props_.erase(found);
            }
        }
        return S_OK;
    }

private:
    ~InfoMessage() override {
        for (auto& entry : props_)
            MAPIFreeBuffer(entry.second);
    }

    static bool Storable(const SPropValue& value) {
        std::vector<BYTE> ignored;
        return SUCCEEDED(EncodeProps(1, &value, &ignored));
    }

    static HRESULT ReportProblems(const std::vector<SPropProblem>& refused,
                                  LPSPropProblemArray* problems) {
        if (refused.empty() || problems == nullptr)
            return S_OK;
        LPVOID block = nullptr;
        std::size_t size =
            offsetof(SPropProblemArray, aProblem) + sizeof(SPropProblem) * refused.size();
        SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(size), &block);
        if (FAILED(sc))
            return sc;
        auto* array = static_cast<LPSPropProblemArray>(block);
        array->cProblem = static_cast<ULONG>(refused.size());
        for (std::size_t i = 0; i < refused.size(); ++i)
            array->aProblem[i] = refused[i];
        *problems = array;
        return S_OK;
    }

    HRESULT Put(const SPropValue& value) {
        LPSPropValue copy = nullptr;
        SCODE sc = ScDupPropset(1, &value, &copy);
        if (FAILED(sc))
            return sc;
        try {
            auto& slot = props_[PROP_ID(value.ulPropTag)];
            if (slot != nullptr)
                MAPIFreeBuffer(slot);
            slot = copy;
        } catch (const std::bad_alloc&) {
            MAPIFreeBuffer(copy);
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        return S_OK;
    }

    ContextPtr context_;
    std::int64_t folder_id_;
    std::int64_t id_;
    bool writable_;
    std::map<ULONG, LPSPropValue> props_; // by property id; each its own chain
};

HRESULT InfoMessage::SaveChanges(ULONG) {
    FaultGate gate(*context_, "IMessage::SaveChanges");
    if (gate.Failed())
        return gate.Result();
    if (!writable_)
        return MAPI_E_NO_ACCESS;
    StoreDb& db = *context_->db;
    Lock lock(db.Mutex());
    StoredMessage stored;
    stored.id = id_;
    stored.folder_id = folder_id_;
    std::vector<SPropValue> others;
    for (const auto& entry : props_) {
        const SPropValue& v = *entry.second;
        // The text properties the store keeps in columns of their own.
        std::optional<std::string>* column = nullptr;
        switch (entry.first) {
        case PROP_ID(PR_SUBJECT):
            column = &stored.subject;
            break;
        case PROP_ID(PR_BODY):
            column = &stored.body;
            break;
        case PROP_ID(PR_TRANSPORT_MESSAGE_HEADERS):
            column = &stored.headers;
            break;
        case PROP_ID(PR_MESSAGE_CLASS):
            column = &stored.message_class;
            break;
        case PROP_ID(PR_MESSAGE_DELIVERY_TIME):
            if (PROP_TYPE(v.ulPropTag) == PT_SYSTIME) {
                stored.delivery_time = FromFileTime(v.Value.ft);
                continue;
            }
            break;
        default:
            break;
        }
        std::string text;
        if (column != nullptr && StringOf(v, &text)) {
            *column = std::move(text);
            continue;
        }
        others.push_back(v);
    }
    // A message saved into a folder counts as delivered there when it is
    // first saved, so that the expunge of old items sees its age.
    if (!stored.delivery_time.has_value()) {
        stored.delivery_time = FileTimeNow();
        SPropValue when{};
        when.ulPropTag = PR_MESSAGE_DELIVERY_TIME;
        when.Value.ft = ToFileTime(*stored.delivery_time);
        HRESULT hr = Put(when);
        if (FAILED(hr))
            return hr;
    }
    HRESULT hr = S_OK;
    if (!others.empty())
        hr = EncodeProps(static_cast<ULONG>(others.size()), others.data(), &stored.props);
    if (FAILED(hr))
        return hr;
    Txn txn(db, true);
    hr = txn.Result();
    if (FAILED(hr))
        return hr;
    FolderRow folder;
    hr = GetFolder(db, folder_id_, &folder);
    if (hr == MAPI_E_NOT_FOUND)
        return MAPI_E_OBJECT_DELETED;
    if (FAILED(hr))
        return hr;
    if (id_ == 0) {
        std::int64_t id = 0;
        hr = InsertMessage(db, stored, &id);
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        if (SUCCEEDED(hr))
            id_ = id;
    } else {
        hr = UpdateMessage(db, stored);
        if (SUCCEEDED(hr))
            hr = txn.Commit();
    }
    return gate.Finish(hr);
}

// The rules of one folder. The object takes its access from the folder it was
// opened on, as a server's rules table does: the rules of a folder opened
// without write access can be read, and ModifyTable refuses with
// MAPI_E_NO_ACCESS.
class RulesObject final : public IExchangeModifyTable, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    RulesObject(ContextPtr context, std::int64_t folder_id, bool writable)
        : context_(std::move(context)), folder_id_(folder_id), writable_(writable) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        if (iid == IID_IUnknown || iid == IID_IExchangeModifyTable) {
            AddRef();
            *object = static_cast<IExchangeModifyTable*>(this);
            return S_OK;
        }
        *object = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }

    // The table holds every rule of the folder, whatever its provider, with
    // the properties the rule was stored with and no others. A condition or
    // actions value whose stored bytes do not decode comes back as PT_ERROR
    // with MAPI_E_CORRUPT_DATA, so the rest of the table stays readable.
    HRESULT GetTable(ULONG, LPMAPITABLE* table) override {
        if (table == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *table = nullptr;
        FaultGate gate(*context_, "IExchangeModifyTable::GetTable");
        if (gate.Failed())
            return gate.Result();
        ContextPtr context = context_;
        std::int64_t folder_id = folder_id_;
        auto loader = [context, folder_id](LPMAPITABLE* out) -> HRESULT {
            StoreDb& db = *context->db;
            Lock lock(db.Mutex());
            std::vector<RuleRow> rules;
            HRESULT hr = ListRuleRows(db, folder_id, &rules);
            if (FAILED(hr))
                return hr;
            LPVOID chain = nullptr;
            SCODE sc = MAPIAllocateBuffer(1, &chain);
            if (FAILED(sc))
                return sc;
            std::vector<PropBag> bags(rules.size());
            for (std::size_t i = 0; i < rules.size(); ++i) {
                const RuleRow& r = rules[i];
                PropBag& bag = bags[i];
                bag.I8(PR_RULE_ID, r.id);
                if (r.sequence)
                    bag.Long(PR_RULE_SEQUENCE, *r.sequence);
                if (r.state)
                    bag.Long(PR_RULE_STATE, *r.state);
                if (r.user_flags)
                    bag.Long(PR_RULE_USER_FLAGS, *r.user_flags);
                if (r.condition) {
                    LPSRestriction condition = nullptr;
                    HRESULT dhr = DecodeRestriction(*r.condition, chain, &condition);
                    if (SUCCEEDED(dhr))
                        bag.Pointer(PR_RULE_CONDITION, condition);
                    else
                        bag.Error(PR_RULE_CONDITION, MAPI_E_CORRUPT_DATA);
                }
                if (r.actions) {
                    LPACTIONS actions = nullptr;
                    HRESULT dhr = DecodeActions(*r.actions, chain, &actions);
                    if (SUCCEEDED(dhr))
                        bag.Pointer(PR_RULE_ACTIONS, actions);
                    else
                        bag.Error(PR_RULE_ACTIONS, MAPI_E_CORRUPT_DATA);
                }
                if (r.provider)
                    bag.Str(PR_RULE_PROVIDER, *r.provider);
                if (r.name)
                    bag.Str(PR_RULE_NAME, *r.name);
                if (r.level)
                    bag.Long(PR_RULE_LEVEL, *r.level);
                if (r.provider_data)
                    bag.Bin(PR_RULE_PROVIDER_DATA, *r.provider_data);
            }
            hr = TableFromBags(bags, out);
            MAPIFreeBuffer(chain);
            return hr;
        };
        return gate.Finish(StoreTable::Create(context_, std::move(loader), table));
    }

    HRESULT ModifyTable(ULONG flags, LPROWLIST rows) override;

private:
    ~RulesObject() override = default;
    HRESULT ApplyValues(const ROWENTRY& entry, RuleRow* rule);

    ContextPtr context_;
    std::int64_t folder_id_;
    bool writable_;
};

// Takes the rule properties of a row entry into `rule`. Properties that are
// no rule property are passed over; a rule property of the wrong type is
// refused.
HRESULT RulesObject::ApplyValues(const ROWENTRY& entry, RuleRow* rule) {
    for (ULONG i = 0; i < entry.cValues; ++i) {
        const SPropValue& v = entry.rgPropVals[i];
        ULONG id = PROP_ID(v.ulPropTag);
        ULONG type = PROP_TYPE(v.ulPropTag);
        auto need = [&](ULONG t) { return type == t; };
        std::string text;
        if (id == PROP_ID(PR_RULE_ID)) {
            continue; // the store assigns identifiers
        } else if (id == PROP_ID(PR_RULE_SEQUENCE) || id == PROP_ID(PR_RULE_STATE) ||
                   id == PROP_ID(PR_RULE_LEVEL) || id == PROP_ID(PR_RULE_USER_FLAGS)) {
            if (!need(PT_LONG))
                return MAPI_E_INVALID_TYPE;
            std::optional<std::int32_t>& slot = id == PROP_ID(PR_RULE_SEQUENCE) ? rule->sequence
                                                : id == PROP_ID(PR_RULE_STATE)  ? rule->state
                                                : id == PROP_ID(PR_RULE_LEVEL)  ? rule->level
                                                                                : rule->user_flags;
            slot = v.Value.l;
        } else if (id == PROP_ID(PR_RULE_CONDITION)) {
            if (!need(PT_SRESTRICTION))
                return MAPI_E_INVALID_TYPE;
            std::vector<BYTE> bytes;
            HRESULT hr = EncodeRestriction(static_cast<const SRestriction*>(v.Value.lpv), &bytes);
            if (FAILED(hr))
                return hr;
            rule->condition = std::move(bytes);
        } else if (id == PROP_ID(PR_RULE_ACTIONS)) {
            if (!need(PT_ACTIONS))
                return MAPI_E_INVALID_TYPE;
            std::vector<BYTE> bytes;
            HRESULT hr = EncodeActions(static_cast<const ACTIONS*>(v.Value.lpv), &bytes);
            if (FAILED(hr))
                return hr;
            rule->actions = std::move(bytes);
        } else if (id == PROP_ID(PR_RULE_PROVIDER) || id == PROP_ID(PR_RULE_NAME)) {
            if (!IsString(type))
                return MAPI_E_INVALID_TYPE;
            // A null string pointer is kept as a missing property.
            std::optional<std::string>& slot =
                id == PROP_ID(PR_RULE_PROVIDER) ? rule->provider : rule->name;
            if (StringOf(v, &text))
                slot = text;
            else
                slot.reset();
        } else if (id == PROP_ID(PR_RULE_PROVIDER_DATA)) {
            if (!need(PT_BINARY) || (v.Value.bin.cb != 0 && v.Value.bin.lpb == nullptr))
                return MAPI_E_INVALID_TYPE;
            rule->provider_data =
                std::vector<BYTE>(v.Value.bin.lpb, v.Value.bin.lpb + v.Value.bin.cb);
        }
    }
    return S_OK;
}

HRESULT RulesObject::ModifyTable(ULONG flags, LPROWLIST rows) {
    FaultGate gate(*context_, "IExchangeModifyTable::ModifyTable");
    if (gate.Failed())
        return gate.Result();
    if (!writable_)
        return MAPI_E_NO_ACCESS;
    if (rows == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    StoreDb& db = *context_->db;
    Lock lock(db.Mutex());
    try {
        Txn txn(db, true);
        HRESULT hr = txn.Result();
        if (FAILED(hr))
            return hr;
        FolderRow folder;
        hr = GetFolder(db, folder_id_, &folder);
        if (hr == MAPI_E_NOT_FOUND)
            return MAPI_E_OBJECT_DELETED;
        if (FAILED(hr))
            return hr;
        if (flags & ROWLIST_REPLACE) {
            Stmt clear = db.Prepare("DELETE FROM rules WHERE folder_id = ?");
            clear.Bind(1, folder_id_);
            hr = clear.Exec();
            if (FAILED(hr))
                return hr;
            db.NoteRulesChanged();
        }
        // All entries apply together or not at all.
        for (ULONG e = 0; e < rows->cEntries; ++e) {
            const ROWENTRY& entry = rows->aEntries[e];
            if (entry.cValues != 0 && entry.rgPropVals == nullptr)
                return MAPI_E_INVALID_PARAMETER;
            const SPropValue* id_value = PpropFindProp(entry.rgPropVals, entry.cValues, PR_RULE_ID);
            switch (entry.ulRowFlags) {
            case ROW_ADD: {
                RuleRow rule;
                rule.folder_id = folder_id_;
                hr = ApplyValues(entry, &rule);
                std::int64_t id = 0;
                if (SUCCEEDED(hr))
                    hr = InsertRule(db, rule, &id);
                break;
            }
            case ROW_MODIFY: {
                if (id_value == nullptr)
                    return MAPI_E_INVALID_PARAMETER;
                RuleRow rule;
                hr = LoadRule(db, id_value->Value.li, &rule);
                if (SUCCEEDED(hr) && rule.folder_id != folder_id_)
                    hr = MAPI_E_NOT_FOUND;
                if (SUCCEEDED(hr))
                    hr = ApplyValues(entry, &rule);
                if (SUCCEEDED(hr))
                    hr = UpdateRule(db, rule);
                break;
            }
            case ROW_REMOVE:
                if (id_value == nullptr)
                    return MAPI_E_INVALID_PARAMETER;
                hr = DeleteRuleRow(db, folder_id_, id_value->Value.li);
                break;
            case ROW_EMPTY:
                break; // an entry marked empty is passed over
            default:
                return MAPI_E_INVALID_PARAMETER;
            }
            if (FAILED(hr))
                return hr;
        }
        return gate.Finish(txn.Commit());
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

// A folder. One opened without write access refuses every change (its
// properties, new folders and messages below it, deletions, its rules) with
// MAPI_E_NO_ACCESS.
class InfoFolder final : public IMAPIFolder, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    InfoFolder(ContextPtr context, std::int64_t id, bool writable)
        : context_(std::move(context)), id_(id), writable_(writable) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        if (iid == IID_IUnknown || iid == IID_IMAPIProp || iid == IID_IMAPIContainer ||
            iid == IID_IMAPIFolder) {
            AddRef();
            *object = static_cast<IMAPIFolder*>(this);
            return S_OK;
        }
        *object = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }

    HRESULT SaveChanges(ULONG) override {
        FaultGate gate(*context_, "IMAPIFolder::SaveChanges");
        if (gate.Failed())
            return gate.Result();
        if (!writable_)
            return MAPI_E_NO_ACCESS;
        if (!new_name_.has_value())
            return gate.Finish(S_OK);
        StoreDb& db = *context_->db;
        Lock lock(db.Mutex());
        Txn txn(db, true);
        HRESULT hr = txn.Result();
        if (FAILED(hr))
            return hr;
        FolderRow self;
        hr = GetFolder(db, id_, &self);
        if (hr == MAPI_E_NOT_FOUND)
            return MAPI_E_OBJECT_DELETED;
        if (FAILED(hr))
            return hr;
        if (self.parent_id != 0) {
            FolderRow twin;
            hr = FindChildFolder(db, self.parent_id, *new_name_, &twin);
            if (SUCCEEDED(hr) && twin.id != id_)
                return MAPI_E_COLLISION;
        }
        hr = RenameFolder(db, id_, *new_name_, std::nullopt);
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        if (SUCCEEDED(hr))
            new_name_.reset();
        return gate.Finish(hr);
    }

    HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                     LPSPropValue* values) override {
        FaultGate gate(*context_, "IMAPIFolder::GetProps");
        if (gate.Failed())
            return gate.Result();
        StoreDb& db = *context_->db;
        Lock lock(db.Mutex());
        try {
            FolderRow self;
            HRESULT hr = GetFolder(db, id_, &self);
            if (hr == MAPI_E_NOT_FOUND)
                return MAPI_E_OBJECT_DELETED;
            if (FAILED(hr))
                return hr;
            std::uint32_t messages = 0, subfolders = 0;
            hr = CountFolderContents(db, id_, &messages, &subfolders);
            if (FAILED(hr))
                return hr;
            PropBag bag;
            std::vector<BYTE> entry = MakeObjectEntryId(db.Guid(), EntryKind::Folder, id_);
            bag.Bin(PR_ENTRYID, entry);
            bag.Bin(PR_RECORD_KEY, entry);
            bag.WStr(PR_DISPLAY_NAME_W, ToUtf16(new_name_.value_or(self.name)));
            if (self.parent_id != 0)
                bag.Bin(PR_PARENT_ENTRYID,
                        MakeObjectEntryId(db.Guid(), EntryKind::Folder, self.parent_id));
            bag.Bin(PR_STORE_ENTRYID, context_->store_entry_id);
            bag.Long(PR_OBJECT_TYPE, MAPI_FOLDER);
            bag.Long(PR_FOLDER_TYPE, self.kind == kKindRoot ? FOLDER_ROOT : FOLDER_GENERIC);
            bag.Long(PR_CONTENT_COUNT, static_cast<LONG>(messages));
            bag.Bool(PR_SUBFOLDERS, subfolders != 0);
            return gate.Finish(AnswerGetProps(bag, tags, flags, count, values));
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }

    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* object) override {
        if (object == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *object = nullptr;
        FaultGate gate(*context_, "IMAPIFolder::OpenProperty");
        if (gate.Failed())
            return gate.Result();
        if (tag != PR_RULES_TABLE)
            return MAPI_E_NO_SUPPORT;
        if ((flags & MAPI_MODIFY) && !writable_)
            return MAPI_E_NO_ACCESS;
        if (iid == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        if (!(*iid == IID_IExchangeModifyTable))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        {
            StoreDb& db = *context_->db;
            Lock lock(db.Mutex());
            FolderRow self;
            HRESULT hr = GetFolder(db, id_, &self);
            if (hr == MAPI_E_NOT_FOUND)
                return MAPI_E_OBJECT_DELETED;
            if (FAILED(hr))
                return hr;
        }
        RulesObject* rules = NewObject<RulesObject>(context_, id_, writable_);
        if (rules == nullptr)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        *object = static_cast<IExchangeModifyTable*>(rules);
        return gate.Finish(S_OK);
    }

    // The display name can be changed (it takes effect at SaveChanges);
    // other properties are refused in the problem array.
    HRESULT SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override {
        if (problems != nullptr)
            *problems = nullptr;
        FaultGate gate(*context_, "IMAPIFolder::SetProps");
        if (gate.Failed())
            return gate.Result();
        if (!writable_)
            return MAPI_E_NO_ACCESS;
        if (count != 0 && values == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        std::vector<SPropProblem> refused;
        for (ULONG i = 0; i < count; ++i) {
            std::string text;
            if (PROP_ID(values[i].ulPropTag) == PROP_ID(PR_DISPLAY_NAME_W) &&
                StringOf(values[i], &text) && !text.empty())
                new_name_ = text;
            else
                refused.push_back(SPropProblem{i, values[i].ulPropTag, MAPI_E_NO_SUPPORT});
        }
        if (!refused.empty() && problems != nullptr) {
            LPVOID block = nullptr;
            std::size_t size =
                offsetof(SPropProblemArray, aProblem) + sizeof(SPropProblem) * refused.size();
            SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(size), &block);
            if (FAILED(sc))
                return sc;
            auto* array = static_cast<LPSPropProblemArray>(block);
            array->cProblem = static_cast<ULONG>(refused.size());
            for (std::size_t i = 0; i < refused.size(); ++i)
                array->aProblem[i] = refused[i];
            *problems = array;
        }
        return gate.Finish(S_OK);
    }

    HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray* problems) override {
        if (problems != nullptr)
            *problems = nullptr;
        return MAPI_E_NO_SUPPORT;
    }

    HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* table) override {
        if (table == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *table = nullptr;
        FaultGate gate(*context_, "IMAPIFolder::GetContentsTable");
        if (gate.Failed())
            return gate.Result();
        HRESULT hr = CheckExists();
        if (FAILED(hr))
            return hr;
        ContextPtr context = context_;
        std::int64_t id = id_;
        bool associated = (flags & MAPI_ASSOCIATED) != 0;
        auto loader = [context, id, associated](LPMAPITABLE* out) -> HRESULT {
            StoreDb& db = *context->db;
            Lock lock(db.Mutex());
            std::vector<StoredMessage> messages;
            // This store keeps no associated (hidden) messages.
            if (!associated) {
                HRESULT hr = ListMessageRows(db, id, &messages, false);
                if (FAILED(hr))
                    return hr;
            }
            std::vector<BYTE> parent = MakeObjectEntryId(db.Guid(), EntryKind::Folder, id);
            std::vector<PropBag> bags(messages.size());
            for (std::size_t i = 0; i < messages.size(); ++i) {
                const StoredMessage& m = messages[i];
                PropBag& bag = bags[i];
                std::vector<BYTE> entry = MakeObjectEntryId(db.Guid(), EntryKind::Message, m.id);
                bag.Bin(PR_ENTRYID, entry);
                bag.Bin(PR_RECORD_KEY, entry);
                bag.Bin(PR_PARENT_ENTRYID, parent);
                bag.Long(PR_OBJECT_TYPE, MAPI_MESSAGE);
                if (m.delivery_time)
                    bag.Time(PR_MESSAGE_DELIVERY_TIME, *m.delivery_time);
                if (m.subject)
                    bag.Str(PR_SUBJECT, *m.subject);
                if (m.message_class)
                    bag.Str(PR_MESSAGE_CLASS, *m.message_class);
            }
            return TableFromBags(bags, out);
        };
        return gate.Finish(StoreTable::Create(context_, std::move(loader), table));
    }

    // Direct children only, in the order they were created.
    HRESULT GetHierarchyTable(ULONG, LPMAPITABLE* table) override {
        if (table == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *table = nullptr;
        FaultGate gate(*context_, "IMAPIFolder::GetHierarchyTable");
        if (gate.Failed())
            return gate.Result();
        HRESULT hr = CheckExists();
        if (FAILED(hr))
            return hr;
        ContextPtr context = context_;
        std::int64_t id = id_;
        auto loader = [context, id](LPMAPITABLE* out) -> HRESULT {
            StoreDb& db = *context->db;
            Lock lock(db.Mutex());
            std::vector<FolderRow> children;
            HRESULT hr = ListChildFolders(db, id, &children);
            if (FAILED(hr))
                return hr;
            std::vector<BYTE> parent = MakeObjectEntryId(db.Guid(), EntryKind::Folder, id);
            std::vector<PropBag> bags(children.size());
            for (std::size_t i = 0; i < children.size(); ++i) {
                const FolderRow& f = children[i];
                std::uint32_t messages = 0, subfolders = 0;
                hr = CountFolderContents(db, f.id, &messages, &subfolders);
                if (FAILED(hr))
                    return hr;
                PropBag& bag = bags[i];
                std::vector<BYTE> entry = MakeObjectEntryId(db.Guid(), EntryKind::Folder, f.id);
                bag.WStr(PR_DISPLAY_NAME_W, ToUtf16(f.name));
                bag.Bin(PR_ENTRYID, entry);
                bag.Bin(PR_RECORD_KEY, entry);
                bag.Bin(PR_PARENT_ENTRYID, parent);
                bag.Long(PR_OBJECT_TYPE, MAPI_FOLDER);
                bag.Long(PR_FOLDER_TYPE, FOLDER_GENERIC);
                bag.Long(PR_CONTENT_COUNT, static_cast<LONG>(messages));
                bag.Bool(PR_SUBFOLDERS, subfolders != 0);
            }
            return TableFromBags(bags, out);
        };
        return gate.Finish(StoreTable::Create(context_, std::move(loader), table));
    }

    // The access of what opens here is that of the store's logon, not of
    // this folder's own open.
    HRESULT OpenEntry(ULONG entry_size, LPENTRYID entry, LPCIID iid, ULONG flags,
                      ULONG* object_type, LPUNKNOWN* object) override {
        if (object == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *object = nullptr;
        FaultGate gate(*context_, "IMAPIFolder::OpenEntry");
        if (gate.Failed())
            return gate.Result();
        return gate.Finish(
            OpenInContext(context_, id_, entry_size, entry, iid, flags, object_type, object));
    }

    HRESULT CreateMessage(LPCIID iid, ULONG, LPMESSAGE* message) override {
        if (message == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *message = nullptr;
        FaultGate gate(*context_, "IMAPIFolder::CreateMessage");
        if (gate.Failed())
            return gate.Result();
        if (!writable_)
            return MAPI_E_NO_ACCESS;
        if (!IidIs(iid, {&IID_IUnknown, &IID_IMAPIProp, &IID_IMessage}))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        HRESULT hr = CheckExists();
        if (FAILED(hr))
            return hr;
        InfoMessage* made = NewObject<InfoMessage>(context_, id_, 0, true);
        if (made == nullptr)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        *message = made;
        return gate.Finish(S_OK);
    }

    // Deletes the listed messages of this folder in one transaction. When
    // some of them are not in the folder (any more) the others are still
    // deleted and the result is MAPI_W_PARTIAL_COMPLETION; when none of
    // them is, MAPI_E_NOT_FOUND.
    HRESULT DeleteMessages(LPENTRYLIST messages, ULONG_PTR, LPVOID, ULONG) override {
        FaultGate gate(*context_, "IMAPIFolder::DeleteMessages");
        if (gate.Failed())
            return gate.Result();
        if (!writable_)
            return MAPI_E_NO_ACCESS;
        if (messages == nullptr || (messages->cValues != 0 && messages->lpbin == nullptr))
            return MAPI_E_INVALID_PARAMETER;
        StoreDb& db = *context_->db;
        Lock lock(db.Mutex());
        Txn txn(db, true);
        HRESULT hr = txn.Result();
        if (FAILED(hr))
            return hr;
        ULONG missing = 0;
        for (ULONG i = 0; i < messages->cValues; ++i) {
            EntryIdParts parts;
            const SBinary& id = messages->lpbin[i];
            if (FAILED(ParseEntryId(db.Guid(), id.lpb, id.cb, &parts)) ||
                parts.kind != EntryKind::Message) {
                ++missing;
                continue;
            }
            hr = DeleteMessageRow(db, id_, parts.row_id);
            if (hr == MAPI_E_NOT_FOUND) {
                ++missing;
                continue;
            }
            if (FAILED(hr))
                return hr;
        }
        hr = txn.Commit();
        if (FAILED(hr))
            return hr;
        if (missing != 0)
            return missing == messages->cValues ? MAPI_E_NOT_FOUND : MAPI_W_PARTIAL_COMPLETION;
        return gate.Finish(S_OK);
    }

    // Creates a generic folder below this one. A child of the same name in
    // any case is opened instead with OPEN_IF_EXISTS, and is a collision
    // without it. With MAPI_UNICODE the name is a wide string.
    HRESULT CreateFolder(ULONG folder_type, LPSTR name, LPSTR comment, LPCIID iid, ULONG flags,
                         LPMAPIFOLDER* folder) override {
        if (folder == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *folder = nullptr;
        FaultGate gate(*context_, "IMAPIFolder::CreateFolder");
        if (gate.Failed())
            return gate.Result();
        if (!writable_)
            return MAPI_E_NO_ACCESS;
        if (folder_type == FOLDER_SEARCH)
            return MAPI_E_NO_SUPPORT;
        if (folder_type != FOLDER_GENERIC)
            return MAPI_E_INVALID_PARAMETER;
        if (!IidIs(iid, {&IID_IUnknown, &IID_IMAPIProp, &IID_IMAPIContainer, &IID_IMAPIFolder}))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        std::string folder_name;
        std::string folder_comment;
        try {
            folder_name = FolderName(name, flags);
            folder_comment = FolderName(comment, flags);
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        if (folder_name.empty())
            return MAPI_E_INVALID_PARAMETER;
        StoreDb& db = *context_->db;
        Lock lock(db.Mutex());
        std::int64_t id = 0;
        {
            Txn txn(db, true);
            HRESULT hr = txn.Result();
            if (FAILED(hr))
                return hr;
            FolderRow self;
            hr = GetFolder(db, id_, &self);
            if (hr == MAPI_E_NOT_FOUND)
                return MAPI_E_OBJECT_DELETED;
            if (FAILED(hr))
                return hr;
            FolderRow existing;
            hr = FindChildFolder(db, id_, folder_name, &existing);
            if (SUCCEEDED(hr)) {
                if (!(flags & OPEN_IF_EXISTS))
                    return MAPI_E_COLLISION;
                id = existing.id;
            } else if (hr != MAPI_E_NOT_FOUND) {
                return hr;
            } else {
                hr = InsertFolder(db, context_->mailbox.id, id_, kKindUser, folder_name,
                                  folder_comment, &id);
                if (FAILED(hr))
                    return hr;
            }
            hr = txn.Commit();
            if (FAILED(hr))
                return hr;
        }
        HRESULT hr = NewFolder(context_, id, true, folder);
        return FAILED(hr) ? hr : gate.Finish(hr);
    }

private:
    ~InfoFolder() override = default;

    HRESULT CheckExists() {
        StoreDb& db = *context_->db;
        Lock lock(db.Mutex());
        FolderRow self;
        HRESULT hr = GetFolder(db, id_, &self);
        return hr == MAPI_E_NOT_FOUND ? MAPI_E_OBJECT_DELETED : hr;
    }

    ContextPtr context_;
    std::int64_t id_;
    bool writable_;
    std::optional<std::string> new_name_;
};

HRESULT NewFolder(const ContextPtr& context, std::int64_t id, bool writable, LPMAPIFOLDER* folder) {
    InfoFolder* made = NewObject<InfoFolder>(context, id, writable);
    if (made == nullptr)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    *folder = made;
    return S_OK;
}

// OpenEntry for stores and folders: a null identifier opens `null_folder`.
// `flags` ask for the access (AccessFor) that the store's logon allows.
HRESULT OpenInContext(const ContextPtr& context, std::int64_t null_folder, ULONG entry_size,
                      LPENTRYID entry, LPCIID iid, ULONG flags, ULONG* object_type,
                      LPUNKNOWN* object) {
    bool writable = false;
    if (HRESULT hr = AccessFor(flags, context->may_write, &writable); FAILED(hr))
        return hr;
    StoreDb& db = *context->db;
    Lock lock(db.Mutex());
    EntryIdParts parts;
    if (entry == nullptr || entry_size == 0) {
        parts.kind = EntryKind::Folder;
        parts.row_id = null_folder;
    } else {
        HRESULT hr = ParseEntryId(db.Guid(), entry, entry_size, &parts);
        if (FAILED(hr))
            return hr;
    }
    if (parts.kind == EntryKind::Folder) {
        if (!IidIs(iid, {&IID_IUnknown, &IID_IMAPIProp, &IID_IMAPIContainer, &IID_IMAPIFolder}))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        FolderRow folder;
        HRESULT hr = GetFolder(db, parts.row_id, &folder);
        if (FAILED(hr))
            return hr;
        // A folder of another mailbox is not in a mailbox store; the
        // server-wide private store opens it in its own mailbox's context.
        ContextPtr folder_context = context;
        if (folder.mailbox_id != context->mailbox.id) {
            MailboxRow owner;
            if (!context->server_wide || FAILED(FindMailboxById(db, folder.mailbox_id, &owner)) ||
                owner.server_id != context->mailbox.server_id)
                return MAPI_E_NOT_FOUND;
            hr = MakeContext(context->db, owner, &folder_context, false, context->may_write);
            if (FAILED(hr))
                return hr;
        }
        LPMAPIFOLDER opened = nullptr;
        hr = NewFolder(folder_context, folder.id, writable, &opened);
        if (FAILED(hr))
            return hr;
        if (object_type != nullptr)
            *object_type = MAPI_FOLDER;
        *object = opened;
        return S_OK;
    }
    if (parts.kind == EntryKind::Message) {
        if (!IidIs(iid, {&IID_IUnknown, &IID_IMAPIProp, &IID_IMessage}))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        StoredMessage stored;
        HRESULT hr = LoadMessage(db, parts.row_id, &stored);
        if (FAILED(hr))
            return hr;
        FolderRow folder;
        hr = GetFolder(db, stored.folder_id, &folder);
        if (FAILED(hr) || folder.mailbox_id != context->mailbox.id)
            return MAPI_E_NOT_FOUND;
        InfoMessage* made = NewObject<InfoMessage>(context, stored.folder_id, stored.id, writable);
        if (made == nullptr)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        hr = made->LoadFrom(stored);
        if (FAILED(hr)) {
            made->Release();
            return hr;
        }
        if (object_type != nullptr)
            *object_type = MAPI_MESSAGE;
        *object = static_cast<IMessage*>(made);
        return S_OK;
    }
    return MAPI_E_NO_SUPPORT; // a store is opened through the session
}

// The administrative interface of a store.
class ManageStore final : public IExchangeManageStore, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    explicit ManageStore(ContextPtr context) : context_(std::move(context)) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        if (iid == IID_IUnknown || iid == IID_IExchangeManageStore) {
            AddRef();
            *object = static_cast<IExchangeManageStore*>(this);
            return S_OK;
        }
        *object = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }

    // The identifier names the store and the mailbox as given; whether they
    // exist is found out when the identifier is opened.
    HRESULT CreateStoreEntryID(LPSTR store_dn, LPSTR mailbox_dn, ULONG flags, ULONG* entry_size,
                               LPENTRYID* entry) override {
        if (entry_size == nullptr || entry == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *entry_size = 0;
        *entry = nullptr;
        FaultGate gate(*context_, "IExchangeManageStore::CreateStoreEntryID");
        if (gate.Failed())
            return gate.Result();
        if (store_dn == nullptr || *store_dn == '\0')
            return MAPI_E_INVALID_PARAMETER;
        std::string mailbox = mailbox_dn != nullptr ? mailbox_dn : "";
        if (mailbox.empty() && !(flags & OPENSTORE_PUBLIC))
            return MAPI_E_INVALID_PARAMETER;
        try {
            std::vector<BYTE> id = MakeStoreEntryId(context_->db->Guid(), flags, store_dn, mailbox);
            LPVOID block = nullptr;
            SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(id.size()), &block);
            if (FAILED(sc))
                return sc;
            std::memcpy(block, id.data(), id.size());
            *entry_size = static_cast<ULONG>(id.size());
            *entry = static_cast<LPENTRYID>(block);
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        return gate.Finish(S_OK);
    }

    // The mailboxes homed on the server named by its DN (or its name; null:
    // this store's server), in the order they were created (see MailboxRows
    // for the columns). An unknown server gives MAPI_E_NOT_FOUND.
    HRESULT GetMailboxTable(LPSTR server_dn, LPMAPITABLE* table, ULONG) override {
        if (table == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *table = nullptr;
        FaultGate gate(*context_, "IExchangeManageStore::GetMailboxTable");
        if (gate.Failed())
            return gate.Result();
        std::int64_t server_id = context_->mailbox.server_id;
        {
            StoreDb& db = *context_->db;
            Lock lock(db.Mutex());
            if (server_dn != nullptr) {
                ServerRow server;
                HRESULT hr = FindServer(db, server_dn, &server);
                if (FAILED(hr))
                    return hr;
                server_id = server.id;
            }
        }
        ContextPtr context = context_;
        auto loader = [context, server_id](LPMAPITABLE* out) -> HRESULT {
            StoreDb& db = *context->db;
            Lock lock(db.Mutex());
            MailboxRows* rows = NewObject<MailboxRows>(db.Guid(), MailboxDn(db, ""));
            if (rows == nullptr)
                return MAPI_E_NOT_ENOUGH_MEMORY;
            HRESULT hr = rows->Load(db, server_id);
            if (FAILED(hr)) {
                delete rows;
                return hr;
            }
            return MAPICreateSourceTable(rows, out);
        };
        return gate.Finish(StoreTable::Create(context_, std::move(loader), table));
    }

private:
    ~ManageStore() override = default;
    ContextPtr context_;
};

class InfoStore final : public IMsgStore, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    explicit InfoStore(ContextPtr context) : context_(std::move(context)) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *object = nullptr;
        if (iid == IID_IUnknown || iid == IID_IMAPIProp || iid == IID_IMsgStore) {
            AddRef();
            *object = static_cast<IMsgStore*>(this);
            return S_OK;
        }
        if (iid == IID_IExchangeManageStore) {
            FaultGate gate(*context_, "IMsgStore::QueryInterface");
            if (gate.Failed())
                return gate.Result();
            ManageStore* manage = NewObject<ManageStore>(context_);
            if (manage == nullptr)
                return MAPI_E_NOT_ENOUGH_MEMORY;
            *object = static_cast<IExchangeManageStore*>(manage);
            return gate.Finish(S_OK);
        }
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }

    HRESULT SaveChanges(ULONG) override { return S_OK; }

    HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                     LPSPropValue* values) override {
        FaultGate gate(*context_, "IMsgStore::GetProps");
        if (gate.Failed())
            return gate.Result();
        StoreDb& db = *context_->db;
        Lock lock(db.Mutex());
        try {
            PropBag bag;
            bag.Bin(PR_ENTRYID, context_->store_entry_id);
            bag.Bin(PR_STORE_ENTRYID, context_->store_entry_id);
            bag.Bin(PR_RECORD_KEY, std::vector<BYTE>(db.Guid(), db.Guid() + 16));
            bag.Bin(PR_MDB_PROVIDER,
                    std::vector<BYTE>(kPrivateStoreProvider, kPrivateStoreProvider + 16));
            bag.Str(PR_DISPLAY_NAME, "Mailbox - " + context_->mailbox.display_name);
            bag.Long(PR_OBJECT_TYPE, MAPI_STORE);
            FolderRow top;
            HRESULT hr = FindSpecialFolder(db, context_->mailbox.id, kKindIpmSubtree, &top);
            if (SUCCEEDED(hr))
                bag.Bin(PR_IPM_SUBTREE_ENTRYID,
                        MakeObjectEntryId(db.Guid(), EntryKind::Folder, top.id));
            else if (hr != MAPI_E_NOT_FOUND)
                return hr;
            return gate.Finish(AnswerGetProps(bag, tags, flags, count, values));
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }

    HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* object) override {
        if (object != nullptr)
            *object = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray* problems) override {
        if (problems != nullptr)
            *problems = nullptr;
        return MAPI_E_NO_ACCESS;
    }
    HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray* problems) override {
        if (problems != nullptr)
            *problems = nullptr;
        return MAPI_E_NO_ACCESS;
    }

    HRESULT OpenEntry(ULONG entry_size, LPENTRYID entry, LPCIID iid, ULONG flags,
                      ULONG* object_type, LPUNKNOWN* object) override {
        if (object == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *object = nullptr;
        FaultGate gate(*context_, "IMsgStore::OpenEntry");
        if (gate.Failed())
            return gate.Result();
        std::int64_t root = 0;
        if (entry == nullptr || entry_size == 0) {
            StoreDb& db = *context_->db;
            Lock lock(db.Mutex());
            FolderRow folder;
            HRESULT hr = FindSpecialFolder(db, context_->mailbox.id, kKindRoot, &folder);
            if (FAILED(hr))
                return hr;
            root = folder.id;
        }
        return gate.Finish(
            OpenInContext(context_, root, entry_size, entry, iid, flags, object_type, object));
    }

    // Every message class is received in the Inbox (it is the receive
    // folder of "IPM" and of the default class ""). The explicit class
    // reported is "IPM" for classes of the IPM family and "" otherwise.
    HRESULT GetReceiveFolder(LPSTR message_class, ULONG flags, ULONG* entry_size, LPENTRYID* entry,
                             LPSTR* explicit_class) override {
        if (entry_size == nullptr || entry == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *entry_size = 0;
        *entry = nullptr;
        if (explicit_class != nullptr)
            *explicit_class = nullptr;
        FaultGate gate(*context_, "IMsgStore::GetReceiveFolder");
        if (gate.Failed())
            return gate.Result();
        std::string cls = message_class == nullptr ? std::string()
                          : (flags & MAPI_UNICODE)
                              ? ToUtf8(reinterpret_cast<const char16_t*>(message_class))
                              : std::string(message_class);
        StoreDb& db = *context_->db;
        Lock lock(db.Mutex());
        FolderRow inbox;
        HRESULT hr = FindSpecialFolder(db, context_->mailbox.id, kKindInbox, &inbox);
        if (FAILED(hr))
            return hr;
        std::vector<BYTE> id = MakeObjectEntryId(db.Guid(), EntryKind::Folder, inbox.id);
        LPVOID block = nullptr;
        SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(id.size()), &block);
        if (FAILED(sc))
            return sc;
        std::memcpy(block, id.data(), id.size());
        if (explicit_class != nullptr) {
            std::string upper = cls.substr(0, 4);
            for (char& c : upper)
                c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
            std::string found = upper == "IPM" || upper == "IPM." ? "IPM" : "";
            LPVOID text = nullptr;
            if (flags & MAPI_UNICODE) {
                std::u16string wide = ToUtf16(found);
                sc = MAPIAllocateMore(static_cast<ULONG>((wide.size() + 1) * sizeof(char16_t)),
                                      block, &text);
                if (SUCCEEDED(sc))
                    std::memcpy(text, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
            } else {
                sc = MAPIAllocateMore(static_cast<ULONG>(found.size() + 1), block, &text);
                if (SUCCEEDED(sc))
                    std::memcpy(text, found.c_str(), found.size() + 1);
            }
            if (FAILED(sc)) {
                MAPIFreeBuffer(block);
                return sc;
            }
            // The class lives on the identifier's chain: freeing the
            // identifier frees it too, so the caller needs one free only.
            *explicit_class = static_cast<LPSTR>(text);
        }
        *entry_size = static_cast<ULONG>(id.size());
        *entry = static_cast<LPENTRYID>(block);
        return gate.Finish(S_OK);
    }

    HRESULT StoreLogoff(ULONG* flags) override {
        FaultGate gate(*context_, "IMsgStore::StoreLogoff");
        if (gate.Failed())
            return gate.Result();
        if (flags != nullptr)
            *flags = 0; // nothing was waiting: the logoff is complete
        return gate.Finish(S_OK);
    }

private:
    ~InfoStore() override = default;
    ContextPtr context_;
};

} // namespace

HRESULT MakeContext(const std::shared_ptr<StoreDb>& db, const MailboxRow& mailbox,
                    ContextPtr* context, bool server_wide, bool may_write, ULONG logon_flags) {
    try {
        auto made = std::make_shared<StoreContext>();
        made->db = db;
        made->mailbox = mailbox;
        made->server_wide = server_wide;
        made->may_write = may_write;
        made->store_entry_id =
            MakeStoreEntryId(db->Guid(), logon_flags, mailbox.StoreDn(), mailbox.dn);
        *context = std::move(made);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    return S_OK;
}

HRESULT NewMsgStore(const ContextPtr& context, LPMDB* store) {
    InfoStore* made = NewObject<InfoStore>(context);
    if (made == nullptr)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    *store = made;
    return S_OK;
}

HRESULT OpenStoreByEntryId(const std::shared_ptr<StoreDb>& db, const MailboxRow& caller,
                           ULONG entry_size, const void* entry, LPCIID iid, ULONG flags,
                           LPMDB* store) {
    if (store == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *store = nullptr;
    if (!IidIs(iid, {&IID_IUnknown, &IID_IMAPIProp, &IID_IMsgStore}))
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    MailboxRow mailbox;
    HRESULT fault = S_OK;
    ULONG parts_flags = 0;
    {
        Lock lock(db->Mutex());
        EntryIdParts parts;
        HRESULT hr = ParseEntryId(db->Guid(), entry, entry_size, &parts);
        if (FAILED(hr))
            return hr;
        if (parts.kind != EntryKind::Store)
            return MAPI_E_INVALID_ENTRYID;
        parts_flags = parts.store_flags;
        // The fault is looked up for the mailbox as the identifier names it
        // (and as the caller's own, for identifiers of no mailbox).
        hr = FindMailbox(*db, parts.mailbox_dn.empty() ? caller.dn : parts.mailbox_dn, &mailbox);
        fault = db->CheckFault("IMAPISession::OpenMsgStore",
                               SUCCEEDED(hr) ? mailbox.alias : std::string(),
                               parts.mailbox_dn.empty() ? caller.dn : parts.mailbox_dn);
        if (FAILED(fault))
            return fault;
        // This store holds no public folders.
        if (parts.store_flags & OPENSTORE_PUBLIC)
            return MAPI_E_NOT_FOUND;
        if (FAILED(hr))
            return hr;
        // The store DN must be the private store of the mailbox's server.
        if (!EqualNoCase(parts.store_dn, mailbox.StoreDn()))
            return MAPI_E_NOT_FOUND;
    }
    // The identifier of the caller's own store from the stores table (no
    // logon flags) opens the server-wide private store.
    const bool own = EqualNoCase(mailbox.dn, caller.dn);
    const bool server_wide = parts_flags == 0 && own;
    // Another user's mailbox opens only with administrative privilege, and
    // may be written only when the logon also takes ownership; the caller's
    // own mailbox is the caller's to write.
    if (!own && !(parts_flags & OPENSTORE_USE_ADMIN_PRIVILEGE))
        return MAPI_E_NO_ACCESS;
    const bool logon_may_write = own || (parts_flags & OPENSTORE_TAKE_OWNERSHIP) != 0;
    // The store itself is written only when the open asks for it.
    if ((flags & MDB_WRITE) && !logon_may_write)
        return MAPI_E_NO_ACCESS;
    const bool may_write = (flags & (MDB_WRITE | MAPI_BEST_ACCESS)) != 0 && logon_may_write;
    ContextPtr context;
    HRESULT hr =
        MakeContext(db, mailbox, &context, server_wide, may_write,
                    parts_flags & (OPENSTORE_USE_ADMIN_PRIVILEGE | OPENSTORE_TAKE_OWNERSHIP));
    if (SUCCEEDED(hr))
        hr = NewMsgStore(context, store);
    if (FAILED(hr))
        return hr;
    return fault != S_OK ? fault : S_OK;
}

// ---- The session ----------------------------------------------------------------------
HRESULT InfostoreSession::GetStoreRows(LPSRowSet* rows) {
    if (rows == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *rows = nullptr;
    if (logged_off_)
        return MAPI_E_END_OF_SESSION;
    HRESULT fault = db_->CheckFault("IMAPISession::GetMsgStoresTable", user_.alias, user_.dn);
    if (FAILED(fault))
        return fault;
    try {
        PropBag bag;
        bag.Bin(PR_ENTRYID, MakeStoreEntryId(db_->Guid(), 0, user_.StoreDn(), user_.dn));
        bag.Bin(PR_MDB_PROVIDER,
                std::vector<BYTE>(kPrivateStoreProvider, kPrivateStoreProvider + 16));
        bag.Str(PR_DISPLAY_NAME, "Mailbox - " + user_.display_name);
        bag.Bool(PR_DEFAULT_STORE, true);
        bag.Bin(PR_RECORD_KEY, std::vector<BYTE>(db_->Guid(), db_->Guid() + 16));
        LPVOID set = nullptr;
        SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(1)), &set);
        if (FAILED(sc))
            return sc;
        LPSPropValue values = nullptr;
        sc = ScDupPropset(bag.Size(), bag.Data(), &values);
        if (FAILED(sc)) {
            MAPIFreeBuffer(set);
            return sc;
        }
        auto* row_set = static_cast<LPSRowSet>(set);
        row_set->cRows = 1;
        row_set->aRow[0].ulAdrEntryPad = 0;
        row_set->aRow[0].cValues = bag.Size();
        row_set->aRow[0].lpProps = values;
        *rows = row_set;
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    return fault;
}

HRESULT InfostoreSession::OpenMsgStore(ULONG entry_size, LPENTRYID entry, LPCIID iid, ULONG flags,
                                       LPMDB* store) {
    if (store == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *store = nullptr;
    if (logged_off_)
        return MAPI_E_END_OF_SESSION;
    return OpenStoreByEntryId(db_, user_, entry_size, entry, iid, flags, store);
}

void InfostoreSession::Logoff() {
    logged_off_ = true;
}

} // namespace infostore
