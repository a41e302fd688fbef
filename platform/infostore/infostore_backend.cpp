// The embedded store as a backend of the store's MAPI objects
// (platform/msgstore): each connection is one SQLite connection (WAL) to the
// store file, so worker threads never share one. Folders and messages are
// keyed by their row ids (8 bytes, little-endian), which makes their entry
// identifiers the very bytes earlier versions handed out: row ids are never
// reused, so an identifier stays with its object across processes and never
// names another object after a deletion.
//
// Faults: the fault table lives in the store file (sortwell-store fault);
// every operation of the objects asks it through CheckFault.
#include <cstring>
#include <mutex>
#include <new>

#include "mailstore/mapitags.h"
#include "platform/infostore/infostore_admin.h"
#include "platform/infostore/infostore_codec.h"
#include "platform/infostore/infostore_model.h"
#include "platform/mapi/mapi_runtime.h"
#include "platform/msgstore/msgstore_util.h"

namespace infostore {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;
using msgstore::FolderInfo;
using msgstore::FolderRole;
using msgstore::Key;
using msgstore::PropBag;
using msgstore::TableSpec;

// ModifyTable: replace every row of the table with the list's rows.
constexpr ULONG ROWLIST_REPLACE = 0x00000001;

msgstore::MailboxInfo InfoOf(const MailboxRow& row) {
    msgstore::MailboxInfo info;
    info.key = std::to_string(row.id);
    info.alias = row.alias;
    info.display_name = row.display_name;
    info.dn = row.dn;
    info.server_name = row.server_name;
    info.server_dn = row.server_dn;
    return info;
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

    // Reads the mailboxes homed on `server_dn` in the order they were
    // created. The caller holds the connection's lock.
    HRESULT Load(StoreDb& db, const std::string& server_dn) {
        Stmt q = db.Prepare("SELECT m.dn, m.display_name, s.dn FROM mailboxes m "
                            "JOIN servers s ON s.id = m.server_id "
                            "WHERE s.dn = ?1 ORDER BY m.id");
        q.Bind(1, server_dn);
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
            msgstore::MakeStoreEntryId(guid_, 0, store_dn_, dn_, &entry_id_);
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

// Takes the rule properties of a row entry into `rule`. Properties that are
// no rule property are passed over; a rule property of the wrong type is
// refused.
HRESULT ApplyValues(const ROWENTRY& entry, RuleRow* rule) {
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
            if (!msgstore::IsString(type))
                return MAPI_E_INVALID_TYPE;
            // A null string pointer is kept as a missing property.
            std::optional<std::string>& slot =
                id == PROP_ID(PR_RULE_PROVIDER) ? rule->provider : rule->name;
            if (msgstore::StringOf(v, &text))
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

class InfostoreConnection final : public msgstore::Connection {
public:
    explicit InfostoreConnection(std::shared_ptr<StoreDb> db) : db_(std::move(db)) {}

    const BYTE* Identity() const override { return db_->Guid(); }

    HRESULT CheckFault(const char* operation, const std::string& alias,
                       const std::string& dn) override {
        return db_->CheckFault(operation, alias, dn);
    }

    msgstore::ChangeStamp Stamp() override {
        Lock lock(db_->Mutex());
        return {sqlite3_total_changes64(db_->Handle()), db_->DataVersion()};
    }

    // ---- Organisation ------------------------------------------------------------------
    HRESULT FindServer(const std::string& name_or_dn, msgstore::ServerInfo* server) override {
        Lock lock(db_->Mutex());
        ServerRow row;
        HRESULT hr = infostore::FindServer(*db_, name_or_dn, &row);
        if (SUCCEEDED(hr))
            *server = {row.name, row.dn};
        return hr;
    }

    HRESULT FindMailbox(const std::string& alias_or_dn, msgstore::MailboxInfo* mailbox) override {
        Lock lock(db_->Mutex());
        MailboxRow row;
        HRESULT hr = infostore::FindMailbox(*db_, alias_or_dn, &row);
        if (SUCCEEDED(hr))
            *mailbox = InfoOf(row);
        return hr;
    }

    HRESULT FindMailboxByKey(const std::string& key, msgstore::MailboxInfo* mailbox) override {
        Lock lock(db_->Mutex());
        MailboxRow row;
        HRESULT hr = FindMailboxById(*db_, std::atoll(key.c_str()), &row);
        if (SUCCEEDED(hr))
            *mailbox = InfoOf(row);
        return hr;
    }

    HRESULT MailboxTable(const msgstore::ServerInfo& server, TableSpec* table) override {
        std::shared_ptr<StoreDb> db = db_;
        std::string server_dn = server.dn;
        table->load = [db, server_dn](const SRestriction*, LPMAPITABLE* out) -> HRESULT {
            Lock lock(db->Mutex());
            auto* rows = new (std::nothrow) MailboxRows(db->Guid(), MailboxDn(*db, ""));
            if (rows == nullptr)
                return MAPI_E_NOT_ENOUGH_MEMORY;
            HRESULT hr = rows->Load(*db, server_dn);
            if (FAILED(hr)) {
                delete rows;
                return hr;
            }
            return MAPICreateSourceTable(rows, out);
        };
        return S_OK;
    }

    // ---- Folders ------------------------------------------------------------------------
    HRESULT SpecialFolder(const msgstore::MailboxInfo& mailbox, FolderRole role,
                          Key* folder) override {
        Lock lock(db_->Mutex());
        int kind = role == FolderRole::Root  ? kKindRoot
                   : role == FolderRole::Top ? kKindIpmSubtree
                                             : kKindInbox;
        FolderRow row;
        HRESULT hr = FindSpecialFolder(*db_, std::atoll(mailbox.key.c_str()), kind, &row);
        if (SUCCEEDED(hr))
            *folder = RowKey(row.id);
        return hr;
    }

    HRESULT GetFolder(const Key& folder, FolderInfo* info) override {
        std::int64_t id = RowOf(folder);
        if (id == 0)
            return MAPI_E_INVALID_ENTRYID;
        Lock lock(db_->Mutex());
        FolderRow row;
        HRESULT hr = infostore::GetFolder(*db_, id, &row);
        if (FAILED(hr))
            return hr;
        return Describe(row, info);
    }

    HRESULT ChildFolders(const Key& parent, std::vector<FolderInfo>* children) override {
        Lock lock(db_->Mutex());
        std::vector<FolderRow> rows;
        HRESULT hr = ListChildFolders(*db_, RowOf(parent), &rows);
        if (FAILED(hr))
            return hr;
        children->resize(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            hr = Describe(rows[i], &(*children)[i]);
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }

    HRESULT CreateFolder(const Key& parent, const std::string& name, const std::string& comment,
                         bool open_if_exists, Key* folder) override {
        Lock lock(db_->Mutex());
        std::int64_t parent_id = RowOf(parent);
        Txn txn(*db_, true);
        HRESULT hr = txn.Result();
        if (FAILED(hr))
            return hr;
        FolderRow self;
        hr = infostore::GetFolder(*db_, parent_id, &self);
        if (hr == MAPI_E_NOT_FOUND)
            return MAPI_E_OBJECT_DELETED;
        if (FAILED(hr))
            return hr;
        std::int64_t id = 0;
        FolderRow existing;
        hr = FindChildFolder(*db_, parent_id, name, &existing);
        if (SUCCEEDED(hr)) {
            if (!open_if_exists)
                return MAPI_E_COLLISION;
            id = existing.id;
        } else if (hr != MAPI_E_NOT_FOUND) {
            return hr;
        } else {
            hr = InsertFolder(*db_, self.mailbox_id, parent_id, kKindUser, name, comment, &id);
            if (FAILED(hr))
                return hr;
        }
        hr = txn.Commit();
        if (SUCCEEDED(hr))
            *folder = RowKey(id);
        return hr;
    }

    HRESULT RenameFolder(const Key& folder, const std::string& name) override {
        std::int64_t id = RowOf(folder);
        Lock lock(db_->Mutex());
        Txn txn(*db_, true);
        HRESULT hr = txn.Result();
        if (FAILED(hr))
            return hr;
        FolderRow self;
        hr = infostore::GetFolder(*db_, id, &self);
        if (hr == MAPI_E_NOT_FOUND)
            return MAPI_E_OBJECT_DELETED;
        if (FAILED(hr))
            return hr;
        if (self.parent_id != 0) {
            FolderRow twin;
            hr = FindChildFolder(*db_, self.parent_id, name, &twin);
            if (SUCCEEDED(hr) && twin.id != id)
                return MAPI_E_COLLISION;
        }
        hr = infostore::RenameFolder(*db_, id, name, std::nullopt);
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        return hr;
    }

    // ---- Messages -------------------------------------------------------------------------
    HRESULT ContentsTable(const Key& folder, bool associated, TableSpec* table) override {
        std::shared_ptr<StoreDb> db = db_;
        std::int64_t id = RowOf(folder);
        table->load = [db, id, associated](const SRestriction*, LPMAPITABLE* out) -> HRESULT {
            Lock lock(db->Mutex());
            std::vector<StoredMessage> messages;
            // This store keeps no associated (hidden) messages.
            if (!associated) {
                HRESULT hr = ListMessageRows(*db, id, &messages, false);
                if (FAILED(hr))
                    return hr;
            }
            const BYTE* guid = db->Guid();
            std::vector<BYTE> parent =
                msgstore::MakeObjectEntryId(guid, msgstore::EntryKind::Folder, RowKey(id));
            std::vector<PropBag> bags(messages.size());
            for (std::size_t i = 0; i < messages.size(); ++i) {
                const StoredMessage& m = messages[i];
                PropBag& bag = bags[i];
                std::vector<BYTE> entry =
                    msgstore::MakeObjectEntryId(guid, msgstore::EntryKind::Message, RowKey(m.id));
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
            return msgstore::TableFromBags(bags, out);
        };
        return S_OK;
    }

    HRESULT LoadMessage(const Key& message, LPVOID chain, Key* folder,
                        std::vector<SPropValue>* values) override {
        std::int64_t id = RowOf(message);
        if (id == 0)
            return MAPI_E_INVALID_ENTRYID;
        StoredMessage m;
        {
            Lock lock(db_->Mutex());
            HRESULT hr = infostore::LoadMessage(*db_, id, &m);
            if (FAILED(hr))
                return hr;
        }
        *folder = RowKey(m.folder_id);
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
            SPropValue copy{};
            SCODE sc = PropCopyMore(&copy, &bag.Data()[i], chain);
            if (FAILED(sc))
                return sc;
            values->push_back(copy);
        }
        if (!m.props.empty()) {
            ULONG count = 0;
            LPSPropValue decoded = nullptr;
            HRESULT hr = DecodeProps(m.props, chain, &count, &decoded);
            if (FAILED(hr))
                return hr;
            values->insert(values->end(), decoded, decoded + count);
        }
        return S_OK;
    }

    HRESULT SaveMessage(const Key& folder, const std::vector<SPropValue>& values,
                        Key* message) override {
        StoredMessage stored;
        stored.id = message->empty() ? 0 : RowOf(*message);
        stored.folder_id = RowOf(folder);
        std::vector<SPropValue> others;
        for (const SPropValue& v : values) {
            // The text properties the store keeps in columns of their own.
            std::optional<std::string>* column = nullptr;
            switch (PROP_ID(v.ulPropTag)) {
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
                    stored.delivery_time = msgstore::FromFileTime(v.Value.ft);
                    continue;
                }
                break;
            default:
                break;
            }
            std::string text;
            if (column != nullptr && msgstore::StringOf(v, &text)) {
                *column = std::move(text);
                continue;
            }
            others.push_back(v);
        }
        HRESULT hr = S_OK;
        if (!others.empty())
            hr = EncodeProps(static_cast<ULONG>(others.size()), others.data(), &stored.props);
        if (FAILED(hr))
            return hr;
        Lock lock(db_->Mutex());
        Txn txn(*db_, true);
        hr = txn.Result();
        if (FAILED(hr))
            return hr;
        FolderRow row;
        hr = infostore::GetFolder(*db_, stored.folder_id, &row);
        if (hr == MAPI_E_NOT_FOUND)
            return MAPI_E_OBJECT_DELETED;
        if (FAILED(hr))
            return hr;
        if (stored.id == 0) {
            std::int64_t id = 0;
            hr = InsertMessage(*db_, stored, &id);
            if (SUCCEEDED(hr))
                hr = txn.Commit();
            if (SUCCEEDED(hr))
                *message = RowKey(id);
        } else {
            hr = UpdateMessage(*db_, stored);
            if (SUCCEEDED(hr))
                hr = txn.Commit();
        }
        return hr;
    }

    bool Storable(const SPropValue& value) override {
        std::vector<BYTE> ignored;
        return SUCCEEDED(EncodeProps(1, &value, &ignored));
    }

    HRESULT DeleteMessages(const Key& folder, const std::vector<Key>& messages,
                           ULONG* missing) override {
        *missing = 0;
        Lock lock(db_->Mutex());
        Txn txn(*db_, true);
        HRESULT hr = txn.Result();
        if (FAILED(hr))
            return hr;
        for (const Key& key : messages) {
            std::int64_t id = RowOf(key);
            if (id == 0) {
                ++*missing;
                continue;
            }
            hr = DeleteMessageRow(*db_, RowOf(folder), id);
            if (hr == MAPI_E_NOT_FOUND) {
                ++*missing;
                continue;
            }
            if (FAILED(hr))
                return hr;
        }
        return txn.Commit();
    }

    // ---- Rules ----------------------------------------------------------------------------
    // The table holds every rule of the folder, whatever its provider, with
    // the properties the rule was stored with and no others. A condition or
    // actions value whose stored bytes do not decode comes back as PT_ERROR
    // with MAPI_E_CORRUPT_DATA, so the rest of the table stays readable.
    HRESULT RulesTable(const Key& folder, TableSpec* table) override {
        std::shared_ptr<StoreDb> db = db_;
        std::int64_t folder_id = RowOf(folder);
        table->load = [db, folder_id](const SRestriction*, LPMAPITABLE* out) -> HRESULT {
            Lock lock(db->Mutex());
            std::vector<RuleRow> rules;
            HRESULT hr = ListRuleRows(*db, folder_id, &rules);
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
            hr = msgstore::TableFromBags(bags, out);
            MAPIFreeBuffer(chain);
            return hr;
        };
        return S_OK;
    }

    HRESULT ModifyRules(const Key& folder, ULONG flags, const ROWLIST& rows) override {
        const std::int64_t folder_id = RowOf(folder);
        StoreDb& db = *db_;
        Lock lock(db.Mutex());
        Txn txn(db, true);
        HRESULT hr = txn.Result();
        if (FAILED(hr))
            return hr;
        FolderRow row;
        hr = infostore::GetFolder(db, folder_id, &row);
        if (hr == MAPI_E_NOT_FOUND)
            return MAPI_E_OBJECT_DELETED;
        if (FAILED(hr))
            return hr;
        if (flags & ROWLIST_REPLACE) {
            Stmt clear = db.Prepare("DELETE FROM rules WHERE folder_id = ?");
            clear.Bind(1, folder_id);
            hr = clear.Exec();
            if (FAILED(hr))
                return hr;
            db.NoteRulesChanged();
        }
        // All entries apply together or not at all.
        for (ULONG e = 0; e < rows.cEntries; ++e) {
            const ROWENTRY& entry = rows.aEntries[e];
            if (entry.cValues != 0 && entry.rgPropVals == nullptr)
                return MAPI_E_INVALID_PARAMETER;
            const SPropValue* id_value = PpropFindProp(entry.rgPropVals, entry.cValues, PR_RULE_ID);
            switch (entry.ulRowFlags) {
            case ROW_ADD: {
                RuleRow rule;
                rule.folder_id = folder_id;
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
                if (SUCCEEDED(hr) && rule.folder_id != folder_id)
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
                hr = DeleteRuleRow(db, folder_id, id_value->Value.li);
                break;
            case ROW_EMPTY:
                break; // an entry marked empty is passed over
            default:
                return MAPI_E_INVALID_PARAMETER;
            }
            if (FAILED(hr))
                return hr;
        }
        return txn.Commit();
    }

private:
    // The caller holds the lock.
    HRESULT Describe(const FolderRow& row, FolderInfo* info) {
        std::uint32_t messages = 0, subfolders = 0;
        HRESULT hr = CountFolderContents(*db_, row.id, &messages, &subfolders);
        if (FAILED(hr))
            return hr;
        info->key = RowKey(row.id);
        info->parent = row.parent_id != 0 ? RowKey(row.parent_id) : Key{};
        info->root = row.kind == kKindRoot;
        info->name = row.name;
        info->messages = messages;
        info->subfolders = subfolders != 0;
        info->owner = std::to_string(row.mailbox_id);
        return S_OK;
    }

    std::shared_ptr<StoreDb> db_;
};

class InfostoreBackend final : public msgstore::Backend {
public:
    explicit InfostoreBackend(std::shared_ptr<StoreDb> db) : db_(std::move(db)) {}
    HRESULT Connect(std::shared_ptr<msgstore::Connection>* connection) override {
        try {
            *connection = std::make_shared<InfostoreConnection>(db_);
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        return S_OK;
    }

private:
    std::shared_ptr<StoreDb> db_;
};

// Each opening opens the file anew: every session gets a connection of its own.
HRESULT OpenInfostore(const std::string& location, HRESULT when_missing,
                      std::shared_ptr<msgstore::Backend>* backend, std::string* error) {
    std::shared_ptr<StoreDb> db;
    HRESULT hr = StoreDb::Open(location, false, &db, error);
    if (hr == MAPI_E_NOT_FOUND || hr == MAPI_E_INVALID_PARAMETER)
        return when_missing;
    if (FAILED(hr))
        return hr;
    try {
        *backend = std::make_shared<InfostoreBackend>(std::move(db));
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    return S_OK;
}

// A store that is busy (locked by another process) counts as having no
// fault: the question never makes a profile operation wait.
HRESULT ProfileFault(const std::string& location, const char* operation) {
    NoBusyWait quick;
    std::shared_ptr<StoreDb> db;
    std::string error;
    if (FAILED(StoreDb::Open(location, false, &db, &error)))
        return S_OK;
    return db->CheckFault(operation, std::string(), std::string());
}

} // namespace

void RegisterMsgService() {
    static std::once_flag once;
    std::call_once(once, [] {
        msgstore::RegisterBackend("", &OpenInfostore, &ProfileFault);
        msgstore::RegisterMsgService();
    });
}

namespace {
// Registers the service before main() runs in every program that links the
// library (see CMakeLists.txt for how the linker is made to keep it).
struct Registrar {
    Registrar() { RegisterMsgService(); }
} registrar;
} // namespace

} // namespace infostore

// The symbol the library's link option refers to, so that this object file
// (and with it the registrar above) is part of every program that links
// sw_infostore.
extern "C" {
extern const int sortwell_infostore_registrar_anchor;
const int sortwell_infostore_registrar_anchor = 1;
}
