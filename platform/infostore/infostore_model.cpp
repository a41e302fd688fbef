#include "platform/infostore/infostore_model.h"

#include <cstring>

#include "mailstore/mapitags.h"
#include "platform/infostore/infostore_codec.h"
#include "platform/mapi/mapi_runtime.h"

namespace infostore {
namespace {

constexpr const char* kMailboxColumns =
    "SELECT m.id, m.alias, m.display_name, m.dn, m.server_id, s.name, s.dn "
    "FROM mailboxes m JOIN servers s ON s.id = m.server_id ";

void ReadMailbox(const Stmt& q, MailboxRow* row) {
    row->id = q.Int(0);
    row->alias = q.Text(1);
    row->display_name = q.Text(2);
    row->dn = q.Text(3);
    row->server_id = q.Int(4);
    row->server_name = q.Text(5);
    row->server_dn = q.Text(6);
}

void ReadFolder(const Stmt& q, FolderRow* row) {
    row->id = q.Int(0);
    row->mailbox_id = q.Int(1);
    row->parent_id = q.IsNull(2) ? 0 : q.Int(2);
    row->kind = static_cast<int>(q.Int(3));
    row->name = q.Text(4);
    row->comment = q.Text(5);
}

template <typename T> void BindOptional(Stmt& q, int index, const std::optional<T>& value) {
    if (value.has_value())
        q.Bind(index, static_cast<std::int64_t>(*value));
    else
        q.BindNull(index);
}

void BindOptionalText(Stmt& q, int index, const std::optional<std::string>& value) {
    if (value.has_value())
        q.Bind(index, *value);
    else
        q.BindNull(index);
}

void BindOptionalBlob(Stmt& q, int index, const std::optional<std::vector<BYTE>>& value) {
    if (value.has_value())
        q.BindBlob(index, value->data(), value->size());
    else
        q.BindNull(index);
}

std::optional<std::int32_t> OptionalInt(const Stmt& q, int column) {
    if (q.IsNull(column))
        return std::nullopt;
    return static_cast<std::int32_t>(q.Int(column));
}

std::optional<std::string> OptionalText(const Stmt& q, int column) {
    if (q.IsNull(column))
        return std::nullopt;
    return q.Text(column);
}

std::optional<std::vector<BYTE>> OptionalBlob(const Stmt& q, int column) {
    if (q.IsNull(column))
        return std::nullopt;
    return q.Blob(column);
}

void ReadRule(const Stmt& q, RuleRow* rule) {
    rule->id = q.Int(0);
    rule->folder_id = q.Int(1);
    rule->sequence = OptionalInt(q, 2);
    rule->state = OptionalInt(q, 3);
    rule->condition = OptionalBlob(q, 4);
    rule->actions = OptionalBlob(q, 5);
    rule->provider = OptionalText(q, 6);
    rule->name = OptionalText(q, 7);
    rule->level = OptionalInt(q, 8);
    rule->user_flags = OptionalInt(q, 9);
    rule->provider_data = OptionalBlob(q, 10);
}

constexpr const char* kRuleColumns =
    "SELECT id, folder_id, sequence, state, condition, actions, provider, name, level, "
    "user_flags, provider_data FROM rules ";

void ReadMessage(const Stmt& q, StoredMessage* m, bool with_text) {
    m->id = q.Int(0);
    m->folder_id = q.Int(1);
    m->delivery_time.reset();
    if (!q.IsNull(2))
        m->delivery_time = static_cast<std::uint64_t>(q.Int(2));
    m->subject = OptionalText(q, 3);
    m->message_class = OptionalText(q, 4);
    if (with_text) {
        m->headers = OptionalText(q, 5);
        m->body = OptionalText(q, 6);
        m->props = q.Blob(7);
    }
}

// A MAPI buffer chain freed when the holder goes out of scope.
struct ScratchBuffer {
    LPVOID head = nullptr;
    ~ScratchBuffer() {
        if (head != nullptr)
            MAPIFreeBuffer(head);
    }
};

SPropValue StringProp(ULONG tag, const std::string& text) {
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.lpszA = const_cast<char*>(text.c_str());
    return v;
}

// Reads every row of `q` into `rows` with `read`; running out of memory is
// an error result like any other.
template <typename Row, typename Read> HRESULT ReadAll(Stmt& q, std::vector<Row>* rows, Read read) {
    try {
        while (q.Row()) {
            rows->emplace_back();
            read(q, &rows->back());
        }
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    return q.Result();
}

} // namespace

std::string ServerDn(const StoreDb& db, const std::string& name) {
    return "/o=" + db.Org() + "/ou=" + db.Site() + "/cn=Configuration/cn=Servers/cn=" + name;
}

std::string MailboxDn(const StoreDb& db, const std::string& alias) {
    return "/o=" + db.Org() + "/ou=" + db.Site() + "/cn=Recipients/cn=" + alias;
}

// ---- Organisation ---------------------------------------------------------------------
HRESULT FindServer(StoreDb& db, const std::string& name_or_dn, ServerRow* server) {
    Stmt q = db.Prepare("SELECT id, name, dn FROM servers WHERE name = ?1 OR dn = ?1 LIMIT 1");
    q.Bind(1, name_or_dn);
    if (!q.Row())
        return FAILED(q.Result()) ? q.Result() : MAPI_E_NOT_FOUND;
    server->id = q.Int(0);
    server->name = q.Text(1);
    server->dn = q.Text(2);
    return S_OK;
}

HRESULT ListServerRows(StoreDb& db, std::vector<ServerRow>* servers) {
    servers->clear();
    Stmt q = db.Prepare("SELECT id, name, dn FROM servers ORDER BY id");
    while (q.Row())
        servers->push_back(ServerRow{q.Int(0), q.Text(1), q.Text(2)});
    return q.Result();
}

HRESULT InsertServer(StoreDb& db, const std::string& name, ServerRow* server) {
    Stmt q = db.Prepare("INSERT INTO servers(name, dn) VALUES(?, ?)");
    std::string dn = ServerDn(db, name);
    q.Bind(1, name);
    q.Bind(2, dn);
    HRESULT hr = q.Exec();
    if (FAILED(hr))
        return hr;
    server->id = db.LastInsertId();
    server->name = name;
    server->dn = dn;
    return S_OK;
}

HRESULT FindMailbox(StoreDb& db, const std::string& alias_or_dn, MailboxRow* mailbox) {
    static const std::string sql =
        std::string(kMailboxColumns) + "WHERE m.alias = ?1 OR m.dn = ?1 LIMIT 1";
    Stmt q = db.Prepare(sql.c_str());
    q.Bind(1, alias_or_dn);
    if (!q.Row())
        return FAILED(q.Result()) ? q.Result() : MAPI_E_NOT_FOUND;
    ReadMailbox(q, mailbox);
    return S_OK;
}

HRESULT FindMailboxById(StoreDb& db, std::int64_t id, MailboxRow* mailbox) {
    static const std::string sql = std::string(kMailboxColumns) + "WHERE m.id = ?1";
    Stmt q = db.Prepare(sql.c_str());
    q.Bind(1, id);
    if (!q.Row())
        return FAILED(q.Result()) ? q.Result() : MAPI_E_NOT_FOUND;
    ReadMailbox(q, mailbox);
    return S_OK;
}

HRESULT ListMailboxRows(StoreDb& db, std::int64_t server_id, std::vector<MailboxRow>* rows) {
    rows->clear();
    static const std::string all = std::string(kMailboxColumns) + "ORDER BY m.id";
    static const std::string one =
        std::string(kMailboxColumns) + "WHERE m.server_id = ?1 ORDER BY m.id";
    Stmt q = db.Prepare(server_id == 0 ? all.c_str() : one.c_str());
    if (server_id != 0)
        q.Bind(1, server_id);
    return ReadAll(q, rows, ReadMailbox);
}

HRESULT InsertMailbox(StoreDb& db, const ServerRow& server, const std::string& alias,
                      const std::string& display_name, MailboxRow* mailbox) {
    Txn txn(db, true);
    HRESULT hr = txn.Result();
    if (FAILED(hr))
        return hr;
    std::string dn = MailboxDn(db, alias);
    {
        Stmt q = db.Prepare(
            "INSERT INTO mailboxes(alias, display_name, dn, server_id) VALUES(?, ?, ?, ?)");
        q.Bind(1, alias);
        q.Bind(2, display_name.empty() ? alias : display_name);
        q.Bind(3, dn);
        q.Bind(4, server.id);
        hr = q.Exec();
        if (FAILED(hr))
            return hr;
    }
    std::int64_t id = db.LastInsertId();
    std::int64_t root = 0, top = 0, ignored = 0;
    hr = InsertFolder(db, id, 0, kKindRoot, "", "", &root);
    if (SUCCEEDED(hr))
        hr = InsertFolder(db, id, root, kKindIpmSubtree, kTopFolderName, "", &top);
    if (SUCCEEDED(hr))
        hr = InsertFolder(db, id, top, kKindInbox, "Inbox", "", &ignored);
    for (const char* name : {"Outbox", "Sent Items", "Deleted Items", "Drafts"})
        if (SUCCEEDED(hr))
            hr = InsertFolder(db, id, top, kKindUser, name, "", &ignored);
    if (SUCCEEDED(hr))
        hr = txn.Commit();
    if (FAILED(hr))
        return hr;
    if (mailbox != nullptr) {
        mailbox->id = id;
        mailbox->alias = alias;
        mailbox->display_name = display_name.empty() ? alias : display_name;
        mailbox->dn = dn;
        mailbox->server_id = server.id;
        mailbox->server_name = server.name;
        mailbox->server_dn = server.dn;
    }
    return S_OK;
}

// ---- Folders ---------------------------------------------------------------------------
HRESULT GetFolder(StoreDb& db, std::int64_t id, FolderRow* folder) {
    Stmt q = db.Prepare(
        "SELECT id, mailbox_id, parent_id, kind, name, comment FROM folders WHERE id = ?");
    q.Bind(1, id);
    if (!q.Row())
        return FAILED(q.Result()) ? q.Result() : MAPI_E_NOT_FOUND;
    ReadFolder(q, folder);
    return S_OK;
}

HRESULT FindSpecialFolder(StoreDb& db, std::int64_t mailbox_id, int kind, FolderRow* folder) {
    Stmt q = db.Prepare("SELECT id, mailbox_id, parent_id, kind, name, comment FROM folders "
                        "WHERE mailbox_id = ? AND kind = ? ORDER BY id LIMIT 1");
    q.Bind(1, mailbox_id);
    q.Bind(2, static_cast<std::int64_t>(kind));
    if (!q.Row())
        return FAILED(q.Result()) ? q.Result() : MAPI_E_NOT_FOUND;
    ReadFolder(q, folder);
    return S_OK;
}

HRESULT ListChildFolders(StoreDb& db, std::int64_t parent_id, std::vector<FolderRow>* rows) {
    rows->clear();
    Stmt q = db.Prepare("SELECT id, mailbox_id, parent_id, kind, name, comment FROM folders "
                        "WHERE parent_id = ? ORDER BY id");
    q.Bind(1, parent_id);
    return ReadAll(q, rows, ReadFolder);
}

HRESULT FindChildFolder(StoreDb& db, std::int64_t parent_id, const std::string& name,
                        FolderRow* folder) {
    Stmt q = db.Prepare("SELECT id, mailbox_id, parent_id, kind, name, comment FROM folders "
                        "WHERE parent_id = ? AND name_key = ? ORDER BY id LIMIT 1");
    q.Bind(1, parent_id);
    q.Bind(2, FoldKey(name));
    if (!q.Row())
        return FAILED(q.Result()) ? q.Result() : MAPI_E_NOT_FOUND;
    ReadFolder(q, folder);
    return S_OK;
}

HRESULT InsertFolder(StoreDb& db, std::int64_t mailbox_id, std::int64_t parent_id, int kind,
                     const std::string& name, const std::string& comment, std::int64_t* id) {
    Stmt q = db.Prepare("INSERT INTO folders(mailbox_id, parent_id, kind, name, name_key, "
                        "comment) VALUES(?, ?, ?, ?, ?, ?)");
    q.Bind(1, mailbox_id);
    if (parent_id == 0)
        q.BindNull(2);
    else
        q.Bind(2, parent_id);
    q.Bind(3, static_cast<std::int64_t>(kind));
    q.Bind(4, name);
    q.Bind(5, FoldKey(name));
    q.Bind(6, comment);
    HRESULT hr = q.Exec();
    if (SUCCEEDED(hr))
        *id = db.LastInsertId();
    return hr;
}

HRESULT RenameFolder(StoreDb& db, std::int64_t id, const std::string& name,
                     const std::optional<std::string>& comment) {
    Stmt q = db.Prepare("UPDATE folders SET name = ?, name_key = ?, "
                        "comment = coalesce(?, comment) WHERE id = ?");
    q.Bind(1, name);
    q.Bind(2, FoldKey(name));
    BindOptionalText(q, 3, comment);
    q.Bind(4, id);
    HRESULT hr = q.Exec();
    if (SUCCEEDED(hr) && db.Changes() == 0)
        return MAPI_E_NOT_FOUND;
    return hr;
}

HRESULT DeleteFolderRow(StoreDb& db, std::int64_t id) {
    Stmt q = db.Prepare("DELETE FROM folders WHERE id = ?");
    q.Bind(1, id);
    HRESULT hr = q.Exec();
    if (SUCCEEDED(hr) && db.Changes() == 0)
        return MAPI_E_NOT_FOUND;
    if (SUCCEEDED(hr))
        db.NoteRulesChanged(); // its rules went with it
    return hr;
}

HRESULT CountFolderContents(StoreDb& db, std::int64_t id, std::uint32_t* messages,
                            std::uint32_t* subfolders) {
    Stmt q = db.Prepare("SELECT (SELECT count(*) FROM messages WHERE folder_id = ?1), "
                        "(SELECT count(*) FROM folders WHERE parent_id = ?1)");
    q.Bind(1, id);
    if (!q.Row())
        return FAILED(q.Result()) ? q.Result() : MAPI_E_CALL_FAILED;
    *messages = static_cast<std::uint32_t>(q.Int(0));
    *subfolders = static_cast<std::uint32_t>(q.Int(1));
    return S_OK;
}

HRESULT ResolveFolderPath(StoreDb& db, std::int64_t mailbox_id, const std::string& path,
                          FolderRow* folder, std::string* error) {
    FolderRow current;
    HRESULT hr = FindSpecialFolder(db, mailbox_id, kKindIpmSubtree, &current);
    if (FAILED(hr)) {
        *error = hr == MAPI_E_NOT_FOUND ? "the mailbox has no top folder" : db.ErrorText();
        return hr;
    }
    std::size_t pos = 0;
    std::string walked;
    while (pos <= path.size()) {
        std::size_t slash = path.find('/', pos);
        std::string part =
            path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        pos = slash == std::string::npos ? path.size() + 1 : slash + 1;
        if (part.empty())
            continue;
        FolderRow child;
        hr = FindChildFolder(db, current.id, part, &child);
        walked += (walked.empty() ? "" : "/") + part;
        if (FAILED(hr)) {
            *error = hr == MAPI_E_NOT_FOUND ? "no folder \"" + walked + "\"" : db.ErrorText();
            return hr;
        }
        current = child;
    }
    *folder = current;
    return S_OK;
}

std::string FolderPath(StoreDb& db, const FolderRow& folder) {
    std::vector<std::string> names;
    FolderRow current = folder;
    for (int guard = 0; guard < 10000; ++guard) {
        if (current.kind == kKindIpmSubtree) {
            if (names.empty())
                return "/";
            std::string path;
            for (auto it = names.rbegin(); it != names.rend(); ++it)
                path += (path.empty() ? "" : "/") + *it;
            return path;
        }
        if (current.parent_id == 0)
            return "";
        names.push_back(current.name);
        if (FAILED(GetFolder(db, current.parent_id, &current)))
            return "";
    }
    return "";
}

// ---- Messages --------------------------------------------------------------------------

// Binds delivery_time, subject, headers, body, message_class and props, in
// that order, from parameter `first` on.
static void BindMessageColumns(Stmt& q, int first, const StoredMessage& m) {
    if (m.delivery_time.has_value())
        q.Bind(first, static_cast<std::int64_t>(*m.delivery_time));
    else
        q.BindNull(first);
    BindOptionalText(q, first + 1, m.subject);
    BindOptionalText(q, first + 2, m.headers);
    BindOptionalText(q, first + 3, m.body);
    BindOptionalText(q, first + 4, m.message_class);
    if (m.props.empty())
        q.BindNull(first + 5);
    else
        q.BindBlob(first + 5, m.props.data(), m.props.size());
}

HRESULT InsertMessage(StoreDb& db, const StoredMessage& m, std::int64_t* id) {
    Stmt q = db.Prepare("INSERT INTO messages(folder_id, delivery_time, subject, headers, body, "
                        "message_class, props) VALUES(?, ?, ?, ?, ?, ?, ?)");
    q.Bind(1, m.folder_id);
    BindMessageColumns(q, 2, m);
    HRESULT hr = q.Exec();
    if (SUCCEEDED(hr))
        *id = db.LastInsertId();
    return hr;
}

HRESULT UpdateMessage(StoreDb& db, const StoredMessage& m) {
    Stmt q = db.Prepare("UPDATE messages SET delivery_time = ?, subject = ?, headers = ?, "
                        "body = ?, message_class = ?, props = ? WHERE id = ?");
    BindMessageColumns(q, 1, m);
    q.Bind(7, m.id);
    HRESULT hr = q.Exec();
    if (SUCCEEDED(hr) && db.Changes() == 0)
        return MAPI_E_OBJECT_DELETED;
    return hr;
}

HRESULT LoadMessage(StoreDb& db, std::int64_t id, StoredMessage* message) {
    Stmt q = db.Prepare("SELECT id, folder_id, delivery_time, subject, message_class, headers, "
                        "body, props FROM messages WHERE id = ?");
    q.Bind(1, id);
    if (!q.Row())
        return FAILED(q.Result()) ? q.Result() : MAPI_E_NOT_FOUND;
    ReadMessage(q, message, true);
    return S_OK;
}

HRESULT ListMessageRows(StoreDb& db, std::int64_t folder_id, std::vector<StoredMessage>* rows,
                        bool with_text) {
    rows->clear();
    Stmt q = with_text ? db.Prepare("SELECT id, folder_id, delivery_time, subject, "
                                    "message_class, headers, body, props FROM messages "
                                    "WHERE folder_id = ? ORDER BY id")
                       : db.Prepare("SELECT id, folder_id, delivery_time, subject, "
                                    "message_class FROM messages WHERE folder_id = ? "
                                    "ORDER BY id");
    q.Bind(1, folder_id);
    return ReadAll(q, rows,
                   [with_text](const Stmt& row, auto* out) { ReadMessage(row, out, with_text); });
}

HRESULT DeleteMessageRow(StoreDb& db, std::int64_t folder_id, std::int64_t id) {
    Stmt q = db.Prepare("DELETE FROM messages WHERE id = ? AND folder_id = ?");
    q.Bind(1, id);
    q.Bind(2, folder_id);
    HRESULT hr = q.Exec();
    if (SUCCEEDED(hr) && db.Changes() == 0)
        return MAPI_E_NOT_FOUND;
    return hr;
}

// ---- Rules ---------------------------------------------------------------------------------
HRESULT ListRuleRows(StoreDb& db, std::int64_t folder_id, std::vector<RuleRow>* rows) {
    rows->clear();
    static const std::string sql = std::string(kRuleColumns) + "WHERE folder_id = ? ORDER BY id";
    Stmt q = db.Prepare(sql.c_str());
    q.Bind(1, folder_id);
    return ReadAll(q, rows, ReadRule);
}

HRESULT LoadRule(StoreDb& db, std::int64_t id, RuleRow* rule) {
    static const std::string sql = std::string(kRuleColumns) + "WHERE id = ?";
    Stmt q = db.Prepare(sql.c_str());
    q.Bind(1, id);
    if (!q.Row())
        return FAILED(q.Result()) ? q.Result() : MAPI_E_NOT_FOUND;
    ReadRule(q, rule);
    return S_OK;
}

HRESULT InsertRule(StoreDb& db, const RuleRow& rule, std::int64_t* id) {
    Stmt q = db.Prepare("INSERT INTO rules(folder_id, sequence, state, condition, actions, "
                        "provider, name, level, user_flags, provider_data) "
                        "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    q.Bind(1, rule.folder_id);
    BindOptional(q, 2, rule.sequence);
    BindOptional(q, 3, rule.state);
    BindOptionalBlob(q, 4, rule.condition);
    BindOptionalBlob(q, 5, rule.actions);
    BindOptionalText(q, 6, rule.provider);
    BindOptionalText(q, 7, rule.name);
    BindOptional(q, 8, rule.level);
    BindOptional(q, 9, rule.user_flags);
    BindOptionalBlob(q, 10, rule.provider_data);
    HRESULT hr = q.Exec();
    if (SUCCEEDED(hr)) {
        *id = db.LastInsertId();
        db.NoteRulesChanged();
    }
    return hr;
}

HRESULT UpdateRule(StoreDb& db, const RuleRow& rule) {
    Stmt q = db.Prepare("UPDATE rules SET sequence = ?, state = ?, condition = ?, actions = ?, "
                        "provider = ?, name = ?, level = ?, user_flags = ?, provider_data = ? "
                        "WHERE id = ? AND folder_id = ?");
    BindOptional(q, 1, rule.sequence);
    BindOptional(q, 2, rule.state);
    BindOptionalBlob(q, 3, rule.condition);
    BindOptionalBlob(q, 4, rule.actions);
    BindOptionalText(q, 5, rule.provider);
    BindOptionalText(q, 6, rule.name);
    BindOptional(q, 7, rule.level);
    BindOptional(q, 8, rule.user_flags);
    BindOptionalBlob(q, 9, rule.provider_data);
    q.Bind(10, rule.id);
    q.Bind(11, rule.folder_id);
    HRESULT hr = q.Exec();
    if (SUCCEEDED(hr) && db.Changes() == 0)
        return MAPI_E_NOT_FOUND;
    if (SUCCEEDED(hr))
        db.NoteRulesChanged();
    return hr;
}

HRESULT DeleteRuleRow(StoreDb& db, std::int64_t folder_id, std::int64_t id) {
    Stmt q = db.Prepare("DELETE FROM rules WHERE id = ? AND folder_id = ?");
    q.Bind(1, id);
    q.Bind(2, folder_id);
    HRESULT hr = q.Exec();
    if (SUCCEEDED(hr) && db.Changes() == 0)
        return MAPI_E_NOT_FOUND;
    if (SUCCEEDED(hr))
        db.NoteRulesChanged();
    return hr;
}

// ---- Delivery --------------------------------------------------------------------------
std::int64_t ActionTargetFolder(StoreDb& db, const MailboxRow& mailbox, const ACTMOVECOPY& move) {
    // The store part, when given, must name this mailbox of this store: a
    // move into another mailbox is not carried out.
    if (move.cbStoreEntryId != 0) {
        EntryIdParts store;
        if (FAILED(ParseEntryId(db.Guid(), move.lpStoreEntryId, move.cbStoreEntryId, &store)) ||
            store.kind != EntryKind::Store || !EqualNoCase(store.mailbox_dn, mailbox.dn))
            return 0;
    }
    EntryIdParts parts;
    if (FAILED(ParseEntryId(db.Guid(), move.lpFldEntryId, move.cbFldEntryId, &parts)) ||
        parts.kind != EntryKind::Folder)
        return 0;
    FolderRow folder;
    if (FAILED(GetFolder(db, parts.row_id, &folder)) || folder.mailbox_id != mailbox.id)
        return 0;
    return folder.id;
}

HRESULT DeliverMessage(StoreDb& db, const MailboxRow& mailbox, const ParsedMessage& message,
                       std::uint64_t delivery_time, bool apply_rules, std::int64_t target_folder,
                       DeliveryOutcome* outcome, std::string* error) {
    Txn txn(db, true);
    HRESULT hr = txn.Result();
    if (FAILED(hr)) {
        *error = "cannot write to the store: " + db.ErrorText();
        return hr;
    }
    std::int64_t folder_id = target_folder;
    if (folder_id == 0) {
        FolderRow inbox;
        hr = FindSpecialFolder(db, mailbox.id, kKindInbox, &inbox);
        if (FAILED(hr)) {
            *error = hr == MAPI_E_NOT_FOUND ? "mailbox " + mailbox.alias + " has no Inbox"
                                            : db.ErrorText();
            return hr;
        }
        folder_id = inbox.id;
    }
    StoredMessage stored;
    stored.folder_id = folder_id;
    stored.delivery_time = delivery_time;
    stored.subject = message.subject;
    stored.headers = message.headers;
    stored.body = message.body;
    stored.message_class = message.message_class;
    std::int64_t id = 0;
    hr = InsertMessage(db, stored, &id);
    if (FAILED(hr)) {
        *error = "cannot store the message: " + db.ErrorText();
        return hr;
    }
    outcome->message_id = id;
    outcome->folder_id = folder_id;
    outcome->rule_id.reset();

    if (apply_rules && target_folder == 0) {
        // Enabled rules in sequence order; rules without a sequence come
        // last, ties go by age.
        std::vector<RuleRow> rules;
        {
            static const std::string sql = std::string(kRuleColumns) +
                                           "WHERE folder_id = ? AND (state & 1) = 1 "
                                           "ORDER BY sequence IS NULL, sequence, id";
            Stmt q = db.Prepare(sql.c_str());
            q.Bind(1, folder_id);
            while (q.Row()) {
                rules.emplace_back();
                ReadRule(q, &rules.back());
            }
            if (FAILED(q.Result())) {
                *error = "cannot read the rules: " + db.ErrorText();
                return q.Result();
            }
        }
        SPropValue props[6];
        ULONG count = 0;
        std::string empty;
        props[count++] = StringProp(PR_TRANSPORT_MESSAGE_HEADERS, message.headers);
        props[count++] = StringProp(PR_SUBJECT, message.subject);
        props[count++] = StringProp(PR_BODY, message.body);
        props[count++] = StringProp(PR_MESSAGE_CLASS, message.message_class);
        props[count].ulPropTag = PR_MESSAGE_DELIVERY_TIME;
        props[count++].Value.ft = ToFileTime(delivery_time);
        props[count].ulPropTag = PR_MESSAGE_SIZE;
        props[count++].Value.l = static_cast<LONG>(message.headers.size() + message.body.size());

        bool moved = false;
        for (const RuleRow& rule : rules) {
            if (moved)
                break;
            if (!rule.condition.has_value() || !rule.actions.has_value())
                continue; // a rule without a condition or actions does nothing
            ScratchBuffer scratch;
            if (FAILED(MAPIAllocateBuffer(1, &scratch.head)))
                return MAPI_E_NOT_ENOUGH_MEMORY;
            LPSRestriction condition = nullptr;
            LPACTIONS actions = nullptr;
            // Rules whose stored data does not decode are passed over.
            if (FAILED(DecodeRestriction(*rule.condition, scratch.head, &condition)) ||
                FAILED(DecodeActions(*rule.actions, scratch.head, &actions)))
                continue;
            if (MAPIEvaluateRestriction(condition, count, props) != S_OK)
                continue;
            for (ULONG a = 0; a < actions->cActions && !moved; ++a) {
                const ACTION& act = actions->lpAction[a];
                if (act.acttype == OP_MOVE || act.acttype == OP_COPY) {
                    std::int64_t target = ActionTargetFolder(db, mailbox, act.actMoveCopy);
                    // A target that is gone leaves the message where it is.
                    if (target == 0)
                        continue;
                    if (act.acttype == OP_MOVE) {
                        Stmt move = db.Prepare("UPDATE messages SET folder_id = ? WHERE id = ?");
                        move.Bind(1, target);
                        move.Bind(2, id);
                        hr = move.Exec();
                        if (FAILED(hr))
                            return hr;
                        outcome->folder_id = target;
                        outcome->rule_id = rule.id;
                        moved = true;
                    } else {
                        StoredMessage copy = stored;
                        copy.folder_id = target;
                        std::int64_t copy_id = 0;
                        hr = InsertMessage(db, copy, &copy_id);
                        if (FAILED(hr))
                            return hr;
                    }
                } else if (act.acttype == OP_DELETE) {
                    hr = DeleteMessageRow(db, folder_id, id);
                    if (FAILED(hr))
                        return hr;
                    outcome->folder_id = 0;
                    outcome->rule_id = rule.id;
                    moved = true;
                }
            }
            if (rule.state.has_value() && (*rule.state & ST_EXIT_LEVEL) != 0)
                break;
        }
    }
    hr = txn.Commit();
    if (FAILED(hr))
        *error = "cannot store the message: " + db.ErrorText();
    return hr;
}

} // namespace infostore
