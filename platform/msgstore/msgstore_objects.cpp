#include "platform/msgstore/msgstore_objects.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <new>
#include <optional>

#include "mailstore/mapitags.h"
#include "platform/mapi/mapi_runtime.h"
#include "platform/msgstore/msgstore_util.h"

namespace msgstore {

const BYTE kPrivateStoreProvider[16] = {0x54, 0x94, 0xA1, 0xC0, 0x29, 0x7F, 0x10, 0x1B,
                                        0xA5, 0x87, 0x08, 0x00, 0x2B, 0x2A, 0x25, 0x17};

namespace {

// GetContentsTable: the folder's associated (hidden) contents.
constexpr ULONG MAPI_ASSOCIATED = 0x00000040;

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
        return Utf8Of(reinterpret_cast<const char16_t*>(name));
    return name;
}

std::vector<BYTE> FolderEntryId(const StoreContext& context, const Key& key) {
    return MakeObjectEntryId(context.conn->Identity(), EntryKind::Folder, key);
}

HRESULT CopyToBuffer(const std::vector<BYTE>& bytes, ULONG* size, LPENTRYID* entry) {
    LPVOID block = nullptr;
    SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(bytes.size()), &block);
    if (FAILED(sc))
        return sc;
    std::memcpy(block, bytes.data(), bytes.size());
    *size = static_cast<ULONG>(bytes.size());
    *entry = static_cast<LPENTRYID>(block);
    return S_OK;
}

HRESULT MakeContext(const std::shared_ptr<Connection>& conn, const MailboxInfo& mailbox,
                    ContextPtr* context, bool server_wide, bool may_write, ULONG logon_flags) {
    try {
        auto made = std::make_shared<StoreContext>();
        made->conn = conn;
        made->mailbox = mailbox;
        made->server_wide = server_wide;
        made->may_write = may_write;
        made->store_entry_id =
            MakeStoreEntryId(conn->Identity(), logon_flags, mailbox.StoreDn(), mailbox.dn);
        *context = std::move(made);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    return S_OK;
}

// ---- Tables ------------------------------------------------------------------------
// A table the store hands out: the generic table over the rows the backend
// loaded. SetColumns, which begins every scan, first reloads the rows when
// the store has changed since (the restriction and sort order already set
// are applied again), so one view serves scans before and after a change, as
// the rules table view must. Between two SetColumns calls the rows stay as
// they were, so a caller deleting while it reads keeps its place.
//
// A backend that takes the restriction itself gets it at the load, which
// then waits for the first read after the table is opened (columns set
// before are kept for it) and happens again after every Restrict. The
// generic evaluator still applies the restriction to the rows it returns, so
// both always agree on the rows a caller sees.
class StoreTable final : public IMAPITable, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    static HRESULT Create(const ContextPtr& context, TableSpec spec, LPMAPITABLE* table) {
        *table = nullptr;
        StoreTable* made = NewObject<StoreTable>(context, std::move(spec));
        if (made == nullptr)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        if (!made->source_.takes_restriction) {
            HRESULT hr = made->Load();
            if (FAILED(hr)) {
                made->Release();
                return hr;
            }
        }
        *table = made;
        return S_OK;
    }

    StoreTable(ContextPtr context, TableSpec spec)
        : context_(std::move(context)), source_(std::move(spec)) {}

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
        if (inner_ == nullptr)
            return gate.Finish(KeepColumns(columns, flags));
        HRESULT hr = RefreshIfChanged();
        if (FAILED(hr))
            return hr;
        hr = inner_->SetColumns(columns, flags);
        if (SUCCEEDED(hr) && source_.takes_restriction)
            hr = KeepColumns(columns, flags);
        return gate.Finish(hr);
    }
    HRESULT GetRowCount(ULONG flags, ULONG* count) override {
        FaultGate gate(*context_, "IMAPITable::GetRowCount");
        if (gate.Failed())
            return gate.Result();
        if (HRESULT hr = Ensure(); FAILED(hr))
            return hr;
        return gate.Finish(inner_->GetRowCount(flags, count));
    }
    HRESULT SeekRow(BOOKMARK origin, LONG row_count, LONG* rows_sought) override {
        FaultGate gate(*context_, "IMAPITable::SeekRow");
        if (gate.Failed())
            return gate.Result();
        if (HRESULT hr = Ensure(); FAILED(hr))
            return hr;
        return gate.Finish(inner_->SeekRow(origin, row_count, rows_sought));
    }
    HRESULT Restrict(LPSRestriction restriction, ULONG flags) override {
        FaultGate gate(*context_, "IMAPITable::Restrict");
        if (gate.Failed())
            return gate.Result();
        if (source_.takes_restriction) {
            // The rows are loaded anew for the restriction when next read.
            HRESULT hr = KeepRestriction(restriction, flags);
            if (SUCCEEDED(hr))
                hr = Drop();
            return gate.Finish(hr);
        }
        HRESULT hr = inner_->Restrict(restriction, flags);
        if (SUCCEEDED(hr))
            hr = KeepRestriction(restriction, flags);
        return gate.Finish(hr);
    }
    HRESULT SortTable(LPSSortOrderSet sort_order, ULONG flags) override {
        FaultGate gate(*context_, "IMAPITable::SortTable");
        if (gate.Failed())
            return gate.Result();
        if (HRESULT hr = Ensure(); FAILED(hr))
            return hr;
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
        if (HRESULT hr = Ensure(); FAILED(hr)) {
            if (rows != nullptr)
                *rows = nullptr;
            return hr;
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

    HRESULT Load() {
        ChangeStamp stamp = context_->conn->Stamp();
        LPMAPITABLE fresh = nullptr;
        HRESULT hr;
        try {
            hr = source_.load(source_.takes_restriction && restricted_ ? restriction_ : nullptr,
                              &fresh);
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

    // Loads a table whose load waited for the first read.
    HRESULT Ensure() {
        if (inner_ != nullptr)
            return S_OK;
        HRESULT hr = Load();
        if (SUCCEEDED(hr))
            hr = Reapply();
        if (SUCCEEDED(hr) && !columns_.empty())
            hr = inner_->SetColumns(reinterpret_cast<LPSPropTagArray>(columns_.data()),
                                    column_flags_);
        return hr;
    }

    HRESULT Drop() {
        // The columns already set (kept) carry over to the next load.
        if (inner_ != nullptr)
            inner_->Release();
        inner_ = nullptr;
        return S_OK;
    }

    HRESULT KeepColumns(LPSPropTagArray columns, ULONG flags) {
        try {
            columns_.clear();
            if (columns != nullptr) {
                const BYTE* p = reinterpret_cast<const BYTE*>(columns);
                columns_.assign(p, p + offsetof(SPropTagArray, aulPropTag) +
                                       sizeof(ULONG) * columns->cValues);
            }
            column_flags_ = flags;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        return S_OK;
    }

    HRESULT Reapply() {
        HRESULT hr = S_OK;
        if (restricted_) {
            hr = inner_->Restrict(restriction_, restrict_flags_);
            if (FAILED(hr))
                return hr;
        }
        if (!sort_.empty())
            hr = inner_->SortTable(reinterpret_cast<LPSSortOrderSet>(sort_.data()), sort_flags_);
        return hr;
    }

    HRESULT RefreshIfChanged() {
        if (context_->conn->Stamp() == stamp_)
            return S_OK;
        HRESULT hr = Load();
        if (FAILED(hr))
            return hr;
        return Reapply();
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
    TableSpec source_;
    LPMAPITABLE inner_ = nullptr;
    ChangeStamp stamp_{-1, -1};
    LPVOID restriction_chain_ = nullptr;
    LPSRestriction restriction_ = nullptr;
    bool restricted_ = false;
    ULONG restrict_flags_ = 0;
    std::vector<BYTE> sort_;
    ULONG sort_flags_ = 0;
    // The columns set, for a table whose rows are loaded anew at a Restrict.
    std::vector<BYTE> columns_;
    ULONG column_flags_ = 0;
};

// ---- Objects ------------------------------------------------------------------------
HRESULT NewFolder(const ContextPtr& context, const Key& key, bool writable, LPMAPIFOLDER* folder);
HRESULT OpenInContext(const ContextPtr& context, const Key& null_folder, ULONG entry_size,
                      LPENTRYID entry, LPCIID iid, ULONG flags, ULONG* object_type,
                      LPUNKNOWN* object);

// A message: new until its first SaveChanges, then one the backend keeps.
// One opened without write access refuses every change with
// MAPI_E_NO_ACCESS; a new message may always be written.
class StoreMessage final : public IMessage, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    StoreMessage(ContextPtr context, Key folder, Key key, bool writable)
        : context_(std::move(context)), folder_(std::move(folder)), key_(std::move(key)),
          writable_(writable) {}

    HRESULT LoadFrom(const std::vector<SPropValue>& values) {
        for (const SPropValue& value : values) {
            HRESULT hr = Put(value);
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
            const BYTE* identity = context_->conn->Identity();
            PropBag bag;
            for (const auto& entry : props_)
                bag.Raw(*entry.second);
            if (!key_.empty()) {
                bag.Bin(PR_ENTRYID, MakeObjectEntryId(identity, EntryKind::Message, key_));
                bag.Bin(PR_RECORD_KEY, MakeObjectEntryId(identity, EntryKind::Message, key_));
            }
            bag.Bin(PR_PARENT_ENTRYID, MakeObjectEntryId(identity, EntryKind::Folder, folder_));
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
            else if (!context_->conn->Storable(values[i]))
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
    ~StoreMessage() override {
        for (auto& entry : props_)
            MAPIFreeBuffer(entry.second);
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
    Key folder_;
    Key key_;
    bool writable_;
    std::map<ULONG, LPSPropValue> props_; // by property id; each its own chain
};

HRESULT StoreMessage::SaveChanges(ULONG) {
    FaultGate gate(*context_, "IMessage::SaveChanges");
    if (gate.Failed())
        return gate.Result();
    if (!writable_)
        return MAPI_E_NO_ACCESS;
    try {
        std::vector<SPropValue> values;
        bool dated = false;
        for (const auto& entry : props_) {
            values.push_back(*entry.second);
            dated = dated || entry.second->ulPropTag == PR_MESSAGE_DELIVERY_TIME;
        }
        // A message saved into a folder counts as delivered there when it is
        // first saved, so that the expunge of old items sees its age.
        SPropValue now{};
        now.ulPropTag = PR_MESSAGE_DELIVERY_TIME;
        now.Value.ft = ToFileTime(FileTimeNow());
        if (!dated)
            values.push_back(now);
        Key key = key_;
        HRESULT hr = context_->conn->SaveMessage(folder_, values, &key);
        values.clear(); // they point into the properties, which Put may replace
        if (!dated) {
            HRESULT put = Put(now);
            if (FAILED(put))
                return put;
        }
        if (SUCCEEDED(hr))
            key_ = std::move(key);
        return gate.Finish(hr);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

// The rules of one folder. The object takes its access from the folder it was
// opened on, as a server's rules table does: the rules of a folder opened
// without write access can be read, and ModifyTable refuses with
// MAPI_E_NO_ACCESS.
class RulesObject final : public IExchangeModifyTable, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    RulesObject(ContextPtr context, Key folder, bool writable)
        : context_(std::move(context)), folder_(std::move(folder)), writable_(writable) {}

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

    HRESULT GetTable(ULONG, LPMAPITABLE* table) override {
        if (table == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *table = nullptr;
        FaultGate gate(*context_, "IExchangeModifyTable::GetTable");
        if (gate.Failed())
            return gate.Result();
        TableSpec spec;
        HRESULT hr = context_->conn->RulesTable(folder_, &spec);
        if (FAILED(hr))
            return hr;
        return gate.Finish(StoreTable::Create(context_, std::move(spec), table));
    }

    HRESULT ModifyTable(ULONG flags, LPROWLIST rows) override {
        FaultGate gate(*context_, "IExchangeModifyTable::ModifyTable");
        if (gate.Failed())
            return gate.Result();
        if (!writable_)
            return MAPI_E_NO_ACCESS;
        if (rows == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        try {
            return gate.Finish(context_->conn->ModifyRules(folder_, flags, *rows));
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }

private:
    ~RulesObject() override = default;

    ContextPtr context_;
    Key folder_;
    bool writable_;
};

// A folder. One opened without write access refuses every change (its
// properties, new folders and messages below it, deletions, its rules) with
// MAPI_E_NO_ACCESS.
class StoreFolder final : public IMAPIFolder, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    StoreFolder(ContextPtr context, Key key, bool writable)
        : context_(std::move(context)), key_(std::move(key)), writable_(writable) {}

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
        HRESULT hr = context_->conn->RenameFolder(key_, *new_name_);
        if (SUCCEEDED(hr))
            new_name_.reset();
        return gate.Finish(hr);
    }

    HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                     LPSPropValue* values) override {
        FaultGate gate(*context_, "IMAPIFolder::GetProps");
        if (gate.Failed())
            return gate.Result();
        try {
            FolderInfo self;
            HRESULT hr = context_->conn->GetFolder(key_, &self);
            if (hr == MAPI_E_NOT_FOUND)
                return MAPI_E_OBJECT_DELETED;
            if (FAILED(hr))
                return hr;
            PropBag bag;
            std::vector<BYTE> entry = FolderEntryId(*context_, key_);
            bag.Bin(PR_ENTRYID, entry);
            bag.Bin(PR_RECORD_KEY, entry);
            bag.WStr(PR_DISPLAY_NAME_W, Utf16Of(new_name_.value_or(self.name)));
            if (!self.parent.empty())
                bag.Bin(PR_PARENT_ENTRYID, FolderEntryId(*context_, self.parent));
            bag.Bin(PR_STORE_ENTRYID, context_->store_entry_id);
            bag.Long(PR_OBJECT_TYPE, MAPI_FOLDER);
            bag.Long(PR_FOLDER_TYPE, self.root ? FOLDER_ROOT : FOLDER_GENERIC);
            bag.Long(PR_CONTENT_COUNT, static_cast<LONG>(self.messages));
            bag.Bool(PR_SUBFOLDERS, self.subfolders);
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
        HRESULT hr = CheckExists();
        if (FAILED(hr))
            return hr;
        RulesObject* rules = NewObject<RulesObject>(context_, key_, writable_);
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
        TableSpec spec;
        hr = context_->conn->ContentsTable(key_, (flags & MAPI_ASSOCIATED) != 0, &spec);
        if (FAILED(hr))
            return hr;
        return gate.Finish(StoreTable::Create(context_, std::move(spec), table));
    }

    // Direct children only, in the order the store keeps them.
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
        Key key = key_;
        TableSpec spec;
        spec.load = [context, key](const SRestriction*, LPMAPITABLE* out) -> HRESULT {
            std::vector<FolderInfo> children;
            HRESULT hr = context->conn->ChildFolders(key, &children);
            if (FAILED(hr))
                return hr;
            std::vector<BYTE> parent = FolderEntryId(*context, key);
            std::vector<PropBag> bags(children.size());
            for (std::size_t i = 0; i < children.size(); ++i) {
                const FolderInfo& f = children[i];
                PropBag& bag = bags[i];
                std::vector<BYTE> entry = FolderEntryId(*context, f.key);
                bag.WStr(PR_DISPLAY_NAME_W, Utf16Of(f.name));
                bag.Bin(PR_ENTRYID, entry);
                bag.Bin(PR_RECORD_KEY, entry);
                bag.Bin(PR_PARENT_ENTRYID, parent);
                bag.Long(PR_OBJECT_TYPE, MAPI_FOLDER);
                bag.Long(PR_FOLDER_TYPE, FOLDER_GENERIC);
                bag.Long(PR_CONTENT_COUNT, static_cast<LONG>(f.messages));
                bag.Bool(PR_SUBFOLDERS, f.subfolders);
            }
            return TableFromBags(bags, out);
        };
        return gate.Finish(StoreTable::Create(context_, std::move(spec), table));
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
            OpenInContext(context_, key_, entry_size, entry, iid, flags, object_type, object));
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
        StoreMessage* made = NewObject<StoreMessage>(context_, key_, Key{}, true);
        if (made == nullptr)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        *message = made;
        return gate.Finish(S_OK);
    }

    // Deletes the listed messages of this folder together. When some of
    // them are not in the folder (any more) the others are still deleted
    // and the result is MAPI_W_PARTIAL_COMPLETION; when none of them is,
    // MAPI_E_NOT_FOUND.
    HRESULT DeleteMessages(LPENTRYLIST messages, ULONG_PTR, LPVOID, ULONG) override {
        FaultGate gate(*context_, "IMAPIFolder::DeleteMessages");
        if (gate.Failed())
            return gate.Result();
        if (!writable_)
            return MAPI_E_NO_ACCESS;
        if (messages == nullptr || (messages->cValues != 0 && messages->lpbin == nullptr))
            return MAPI_E_INVALID_PARAMETER;
        ULONG missing = 0;
        try {
            std::vector<Key> keys;
            for (ULONG i = 0; i < messages->cValues; ++i) {
                EntryIdParts parts;
                const SBinary& id = messages->lpbin[i];
                if (FAILED(ParseEntryId(context_->conn->Identity(), id.lpb, id.cb, &parts)) ||
                    parts.kind != EntryKind::Message) {
                    ++missing;
                    continue;
                }
                keys.push_back(std::move(parts.key));
            }
            ULONG gone = 0;
            HRESULT hr = context_->conn->DeleteMessages(key_, keys, &gone);
            if (FAILED(hr))
                return hr;
            missing += gone;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
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
        Key made;
        try {
            folder_name = FolderName(name, flags);
            folder_comment = FolderName(comment, flags);
            if (folder_name.empty())
                return MAPI_E_INVALID_PARAMETER;
            HRESULT hr = context_->conn->CreateFolder(key_, folder_name, folder_comment,
                                                      (flags & OPEN_IF_EXISTS) != 0, &made);
            if (FAILED(hr))
                return hr;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        HRESULT hr = NewFolder(context_, made, true, folder);
        return FAILED(hr) ? hr : gate.Finish(hr);
    }

private:
    ~StoreFolder() override = default;

    HRESULT CheckExists() {
        FolderInfo self;
        HRESULT hr = context_->conn->GetFolder(key_, &self);
        return hr == MAPI_E_NOT_FOUND ? MAPI_E_OBJECT_DELETED : hr;
    }

    ContextPtr context_;
    Key key_;
    bool writable_;
    std::optional<std::string> new_name_;
};

HRESULT NewFolder(const ContextPtr& context, const Key& key, bool writable, LPMAPIFOLDER* folder) {
    StoreFolder* made = NewObject<StoreFolder>(context, key, writable);
    if (made == nullptr)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    *folder = made;
    return S_OK;
}

// OpenEntry for stores and folders: a null identifier opens `null_folder`.
// `flags` ask for the access (AccessFor) that the store's logon allows.
HRESULT OpenInContext(const ContextPtr& context, const Key& null_folder, ULONG entry_size,
                      LPENTRYID entry, LPCIID iid, ULONG flags, ULONG* object_type,
                      LPUNKNOWN* object) {
    bool writable = false;
    if (HRESULT hr = AccessFor(flags, context->may_write, &writable); FAILED(hr))
        return hr;
    Connection& conn = *context->conn;
    EntryIdParts parts;
    if (entry == nullptr || entry_size == 0) {
        parts.kind = EntryKind::Folder;
        parts.key = null_folder;
    } else {
        HRESULT hr = ParseEntryId(conn.Identity(), entry, entry_size, &parts);
        if (FAILED(hr))
            return hr;
    }
    if (parts.kind == EntryKind::Folder) {
        if (!IidIs(iid, {&IID_IUnknown, &IID_IMAPIProp, &IID_IMAPIContainer, &IID_IMAPIFolder}))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        FolderInfo folder;
        HRESULT hr = conn.GetFolder(parts.key, &folder);
        if (FAILED(hr))
            return hr;
        // A folder of another mailbox is not in a mailbox store; the
        // server-wide private store opens it in its own mailbox's context.
        ContextPtr folder_context = context;
        if (folder.owner != context->mailbox.key) {
            MailboxInfo owner;
            if (!context->server_wide || FAILED(conn.FindMailboxByKey(folder.owner, &owner)) ||
                owner.server_dn != context->mailbox.server_dn)
                return MAPI_E_NOT_FOUND;
            hr = MakeContext(context->conn, owner, &folder_context, false, context->may_write, 0);
            if (FAILED(hr))
                return hr;
        }
        LPMAPIFOLDER opened = nullptr;
        hr = NewFolder(folder_context, parts.key, writable, &opened);
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
        LPVOID chain = nullptr;
        SCODE sc = MAPIAllocateBuffer(1, &chain);
        if (FAILED(sc))
            return sc;
        Key folder_key;
        std::vector<SPropValue> values;
        HRESULT hr = conn.LoadMessage(parts.key, chain, &folder_key, &values);
        FolderInfo folder;
        if (SUCCEEDED(hr) &&
            (FAILED(conn.GetFolder(folder_key, &folder)) || folder.owner != context->mailbox.key))
            hr = MAPI_E_NOT_FOUND;
        StoreMessage* made = nullptr;
        if (SUCCEEDED(hr)) {
            made = NewObject<StoreMessage>(context, folder_key, parts.key, writable);
            if (made == nullptr)
                hr = MAPI_E_NOT_ENOUGH_MEMORY;
        }
        if (SUCCEEDED(hr))
            hr = made->LoadFrom(values);
        MAPIFreeBuffer(chain);
        if (FAILED(hr)) {
            if (made != nullptr)
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
            HRESULT hr =
                CopyToBuffer(MakeStoreEntryId(context_->conn->Identity(), flags, store_dn, mailbox),
                             entry_size, entry);
            if (FAILED(hr))
                return hr;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        return gate.Finish(S_OK);
    }

    // The mailboxes homed on the server named by its DN (or its name; null:
    // this store's server). An unknown server gives MAPI_E_NOT_FOUND.
    HRESULT GetMailboxTable(LPSTR server_dn, LPMAPITABLE* table, ULONG) override {
        if (table == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *table = nullptr;
        FaultGate gate(*context_, "IExchangeManageStore::GetMailboxTable");
        if (gate.Failed())
            return gate.Result();
        try {
            ServerInfo server{context_->mailbox.server_name, context_->mailbox.server_dn};
            if (server_dn != nullptr) {
                HRESULT hr = context_->conn->FindServer(server_dn, &server);
                if (FAILED(hr))
                    return hr;
            }
            TableSpec spec;
            HRESULT hr = context_->conn->MailboxTable(server, &spec);
            if (FAILED(hr))
                return hr;
            return gate.Finish(StoreTable::Create(context_, std::move(spec), table));
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }

private:
    ~ManageStore() override = default;
    ContextPtr context_;
};

class MsgStore final : public IMsgStore, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    explicit MsgStore(ContextPtr context) : context_(std::move(context)) {}

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
        try {
            const BYTE* identity = context_->conn->Identity();
            PropBag bag;
            bag.Bin(PR_ENTRYID, context_->store_entry_id);
            bag.Bin(PR_STORE_ENTRYID, context_->store_entry_id);
            bag.Bin(PR_RECORD_KEY, std::vector<BYTE>(identity, identity + 16));
            bag.Bin(PR_MDB_PROVIDER,
                    std::vector<BYTE>(kPrivateStoreProvider, kPrivateStoreProvider + 16));
            bag.Str(PR_DISPLAY_NAME, "Mailbox - " + context_->mailbox.display_name);
            bag.Long(PR_OBJECT_TYPE, MAPI_STORE);
            Key top;
            HRESULT hr = context_->conn->SpecialFolder(context_->mailbox, FolderRole::Top, &top);
            if (SUCCEEDED(hr))
                bag.Bin(PR_IPM_SUBTREE_ENTRYID, FolderEntryId(*context_, top));
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
        try {
            Key root;
            if (entry == nullptr || entry_size == 0) {
                HRESULT hr =
                    context_->conn->SpecialFolder(context_->mailbox, FolderRole::Root, &root);
                if (FAILED(hr))
                    return hr;
            }
            return gate.Finish(
                OpenInContext(context_, root, entry_size, entry, iid, flags, object_type, object));
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
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
        try {
            std::string cls = message_class == nullptr ? std::string()
                              : (flags & MAPI_UNICODE)
                                  ? Utf8Of(reinterpret_cast<const char16_t*>(message_class))
                                  : std::string(message_class);
            Key inbox;
            HRESULT hr =
                context_->conn->SpecialFolder(context_->mailbox, FolderRole::Inbox, &inbox);
            if (FAILED(hr))
                return hr;
            ULONG size = 0;
            LPENTRYID id = nullptr;
            hr = CopyToBuffer(FolderEntryId(*context_, inbox), &size, &id);
            if (FAILED(hr))
                return hr;
            if (explicit_class != nullptr) {
                std::string upper = cls.substr(0, 4);
                for (char& c : upper)
                    c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
                std::string found = upper == "IPM" || upper == "IPM." ? "IPM" : "";
                LPVOID text = nullptr;
                SCODE sc;
                if (flags & MAPI_UNICODE) {
                    std::u16string wide = Utf16Of(found);
                    sc = MAPIAllocateMore(static_cast<ULONG>((wide.size() + 1) * sizeof(char16_t)),
                                          id, &text);
                    if (SUCCEEDED(sc))
                        std::memcpy(text, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
                } else {
                    sc = MAPIAllocateMore(static_cast<ULONG>(found.size() + 1), id, &text);
                    if (SUCCEEDED(sc))
                        std::memcpy(text, found.c_str(), found.size() + 1);
                }
                if (FAILED(sc)) {
                    MAPIFreeBuffer(id);
                    return sc;
                }
                // The class lives on the identifier's chain: freeing the
                // identifier frees it too, so the caller needs one free only.
                *explicit_class = static_cast<LPSTR>(text);
            }
            *entry_size = size;
            *entry = id;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
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
    ~MsgStore() override = default;
    ContextPtr context_;
};

HRESULT NewMsgStore(const ContextPtr& context, LPMDB* store) {
    MsgStore* made = NewObject<MsgStore>(context);
    if (made == nullptr)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    *store = made;
    return S_OK;
}

} // namespace

HRESULT OpenStoreByEntryId(const std::shared_ptr<Connection>& conn, const MailboxInfo& caller,
                           ULONG entry_size, const void* entry, LPCIID iid, ULONG flags,
                           LPMDB* store) {
    if (store == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *store = nullptr;
    if (!IidIs(iid, {&IID_IUnknown, &IID_IMAPIProp, &IID_IMsgStore}))
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    MailboxInfo mailbox;
    HRESULT fault = S_OK;
    EntryIdParts parts;
    try {
        HRESULT hr = ParseEntryId(conn->Identity(), entry, entry_size, &parts);
        if (FAILED(hr))
            return hr;
        if (parts.kind != EntryKind::Store)
            return MAPI_E_INVALID_ENTRYID;
        // The fault is looked up for the mailbox as the identifier names it
        // (and as the caller's own, for identifiers of no mailbox).
        const std::string& named = parts.mailbox_dn.empty() ? caller.dn : parts.mailbox_dn;
        hr = conn->FindMailbox(named, &mailbox);
        fault = conn->CheckFault("IMAPISession::OpenMsgStore",
                                 SUCCEEDED(hr) ? mailbox.alias : std::string(), named);
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
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    // The identifier of the caller's own store from the stores table (no
    // logon flags) opens the server-wide private store.
    const bool own = EqualNoCase(mailbox.dn, caller.dn);
    const bool server_wide = parts.store_flags == 0 && own;
    // Another user's mailbox opens only with administrative privilege, and
    // may be written only when the logon also takes ownership; the caller's
    // own mailbox is the caller's to write.
    if (!own && !(parts.store_flags & OPENSTORE_USE_ADMIN_PRIVILEGE))
        return MAPI_E_NO_ACCESS;
    const bool logon_may_write = own || (parts.store_flags & OPENSTORE_TAKE_OWNERSHIP) != 0;
    // The store itself is written only when the open asks for it.
    if ((flags & MDB_WRITE) && !logon_may_write)
        return MAPI_E_NO_ACCESS;
    const bool may_write = (flags & (MDB_WRITE | MAPI_BEST_ACCESS)) != 0 && logon_may_write;
    if (!server_wide)
        conn->BeginLogon(mailbox);
    ContextPtr context;
    HRESULT hr =
        MakeContext(conn, mailbox, &context, server_wide, may_write,
                    parts.store_flags & (OPENSTORE_USE_ADMIN_PRIVILEGE | OPENSTORE_TAKE_OWNERSHIP));
    if (SUCCEEDED(hr))
        hr = NewMsgStore(context, store);
    if (FAILED(hr))
        return hr;
    return fault != S_OK ? fault : S_OK;
}

// ---- The session ----------------------------------------------------------------------
HRESULT StoreSession::GetStoreRows(LPSRowSet* rows) {
    if (rows == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *rows = nullptr;
    if (logged_off_)
        return MAPI_E_END_OF_SESSION;
    HRESULT fault = conn_->CheckFault("IMAPISession::GetMsgStoresTable", user_.alias, user_.dn);
    if (FAILED(fault))
        return fault;
    try {
        const BYTE* identity = conn_->Identity();
        PropBag bag;
        bag.Bin(PR_ENTRYID, MakeStoreEntryId(identity, 0, user_.StoreDn(), user_.dn));
        bag.Bin(PR_MDB_PROVIDER,
                std::vector<BYTE>(kPrivateStoreProvider, kPrivateStoreProvider + 16));
        bag.Str(PR_DISPLAY_NAME, "Mailbox - " + user_.display_name);
        bag.Bool(PR_DEFAULT_STORE, true);
        bag.Bin(PR_RECORD_KEY, std::vector<BYTE>(identity, identity + 16));
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

HRESULT StoreSession::OpenMsgStore(ULONG entry_size, LPENTRYID entry, LPCIID iid, ULONG flags,
                                   LPMDB* store) {
    if (store == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *store = nullptr;
    if (logged_off_)
        return MAPI_E_END_OF_SESSION;
    return OpenStoreByEntryId(conn_, user_, entry_size, entry, iid, flags, store);
}

void StoreSession::Logoff() {
    logged_off_ = true;
}

} // namespace msgstore
