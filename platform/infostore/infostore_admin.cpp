#include "platform/infostore/infostore_admin.h"

#include "platform/msgstore/msgstore_backend.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "mailstore/mapitags.h"
#include "mailstore/mapix.h"
#include "platform/infostore/infostore_codec.h"
#include "platform/infostore/infostore_model.h"

namespace infostore {

struct Admin::Impl {
    std::shared_ptr<StoreDb> db;
};

namespace {

std::string HrText(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%08x", static_cast<unsigned>(hr));
    return buf;
}

// Frees a MAPI buffer chain when it goes out of scope.
struct ChainHolder {
    LPVOID head = nullptr;
    ~ChainHolder() {
        if (head != nullptr)
            MAPIFreeBuffer(head);
    }
};

} // namespace

std::string StorePath() {
    return msgstore::StoreLocation();
}

void SetStorePathOverride(const std::string& path) {
    msgstore::SetStoreLocationOverride(path);
}

const std::vector<std::string>& FaultOperations() {
    static const std::vector<std::string> kOperations = {
        "MAPIAdminProfiles",
        "IProfAdmin::GetProfileTable",
        "IProfAdmin::CreateProfile",
        "IProfAdmin::DeleteProfile",
        "IProfAdmin::AdminServices",
        "IMsgServiceAdmin::CreateMsgService",
        "IMsgServiceAdmin::GetMsgServiceTable",
        "IMsgServiceAdmin::OpenProfileSection",
        "IProfSect::GetProps",
        "MAPILogonEx",
        "IMsgServiceAdmin::ConfigureMsgService",
        "IMAPISession::GetMsgStoresTable",
        "IMAPISession::OpenMsgStore",
        "IMsgStore::QueryInterface",
        "IMsgStore::OpenEntry",
        "IMsgStore::GetProps",
        "IMsgStore::GetReceiveFolder",
        "IMsgStore::StoreLogoff",
        "IExchangeManageStore::CreateStoreEntryID",
        "IExchangeManageStore::GetMailboxTable",
        "IMAPIFolder::OpenEntry",
        "IMAPIFolder::GetProps",
        "IMAPIFolder::SetProps",
        "IMAPIFolder::SaveChanges",
        "IMAPIFolder::GetHierarchyTable",
        "IMAPIFolder::GetContentsTable",
        "IMAPIFolder::CreateFolder",
        "IMAPIFolder::CreateMessage",
        "IMAPIFolder::DeleteMessages",
        "IMAPIFolder::OpenProperty",
        "IMessage::GetProps",
        "IMessage::SetProps",
        "IMessage::SaveChanges",
        "IExchangeModifyTable::GetTable",
        "IExchangeModifyTable::ModifyTable",
        "IMAPITable::SetColumns",
        "IMAPITable::SeekRow",
        "IMAPITable::Restrict",
        "IMAPITable::SortTable",
        "IMAPITable::GetRowCount",
        "IMAPITable::QueryRows",
    };
    return kOperations;
}

const char* FolderKindName(FolderKind kind) {
    switch (kind) {
    case FolderKind::Root:
        return "root";
    case FolderKind::IpmSubtree:
        return "top";
    case FolderKind::Inbox:
        return "inbox";
    default:
        return "user";
    }
}

Admin::Admin() : impl_(new Impl) {}
Admin::~Admin() = default;

HRESULT Admin::Fail(HRESULT hr, std::string message) {
    error_ = std::move(message);
    return hr;
}

HRESULT Admin::Create(const std::string& path, const std::string& org, const std::string& site,
                      std::unique_ptr<Admin>* admin) {
    admin->reset();
    std::unique_ptr<Admin> made;
    try {
        made.reset(new Admin());
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    made->path_ = path;
    auto bad_name = [](const std::string& text) {
        return text.empty() || text.find('/') != std::string::npos;
    };
    if (bad_name(org) || bad_name(site)) {
        made->error_ = "organisation and site names must be non-empty and hold no '/'";
        admin->swap(made);
        return MAPI_E_INVALID_PARAMETER;
    }
    std::string error;
    HRESULT hr = StoreDb::Open(path, true, &made->impl_->db, &error);
    if (SUCCEEDED(hr)) {
        hr = made->impl_->db->Initialise(org, site, &error);
        if (FAILED(hr)) {
            made->impl_->db.reset();
            ::unlink(path.c_str());
            ::unlink((path + "-wal").c_str());
            ::unlink((path + "-shm").c_str());
        }
    }
    if (FAILED(hr))
        made->error_ = error;
    admin->swap(made);
    return hr;
}

HRESULT Admin::Open(const std::string& path, std::unique_ptr<Admin>* admin) {
    admin->reset();
    std::unique_ptr<Admin> made;
    try {
        made.reset(new Admin());
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    made->path_ = path;
    std::string error;
    HRESULT hr = StoreDb::Open(path, false, &made->impl_->db, &error);
    if (FAILED(hr))
        made->error_ = error;
    admin->swap(made);
    return hr;
}

#define ADMIN_DB                                                                                   \
    if (!impl_->db)                                                                                \
        return Fail(MAPI_E_NOT_INITIALIZED, "the store is not open");                              \
    StoreDb& db = *impl_->db;                                                                      \
    std::lock_guard<std::recursive_mutex> db_lock(db.Mutex());                                     \
    error_.clear()

// ---- Organisation ----------------------------------------------------------------------
HRESULT Admin::AddServer(const std::string& name, ServerInfo* info) {
    ADMIN_DB;
    if (name.empty() || name.find('/') != std::string::npos)
        return Fail(MAPI_E_INVALID_PARAMETER, "a server name must be non-empty and hold no '/'");
    ServerRow row;
    if (SUCCEEDED(FindServer(db, name, &row)))
        return Fail(MAPI_E_COLLISION, "server already exists: " + name);
    HRESULT hr = InsertServer(db, name, &row);
    if (FAILED(hr))
        return Fail(hr, "cannot add server " + name + ": " + db.ErrorText());
    if (info != nullptr)
        *info = ServerInfo{row.id, row.name, row.dn};
    return S_OK;
}

HRESULT Admin::ListServers(std::vector<ServerInfo>* servers) {
    ADMIN_DB;
    std::vector<ServerRow> rows;
    HRESULT hr = ListServerRows(db, &rows);
    if (FAILED(hr))
        return Fail(hr, "cannot read the servers: " + db.ErrorText());
    servers->clear();
    for (const ServerRow& row : rows)
        servers->push_back(ServerInfo{row.id, row.name, row.dn});
    return S_OK;
}

namespace {

HRESULT PickServer(StoreDb& db, const std::string& server, ServerRow* row, std::string* error) {
    if (!server.empty()) {
        HRESULT hr = FindServer(db, server, row);
        if (FAILED(hr))
            *error = hr == MAPI_E_NOT_FOUND ? "unknown server: " + server : db.ErrorText();
        return hr;
    }
    std::vector<ServerRow> rows;
    HRESULT hr = ListServerRows(db, &rows);
    if (FAILED(hr)) {
        *error = db.ErrorText();
        return hr;
    }
    if (rows.size() != 1) {
        *error = rows.empty() ? "the store has no server"
                              : "the store has several servers: "
                                "name one";
        return rows.empty() ? MAPI_E_NOT_FOUND : MAPI_E_AMBIGUOUS_RECIP;
    }
    *row = rows.front();
    return S_OK;
}

bool ValidAlias(const std::string& alias) {
    if (alias.empty() || alias.size() > 200 || alias[0] == '=' || alias[0] == '/')
        return false;
    for (unsigned char c : alias)
        if (c <= ' ' || c == '/' || c == 127)
            return false;
    return true;
}

MailboxInfo ToInfo(const MailboxRow& row) {
    return MailboxInfo{row.id, row.alias, row.display_name, row.dn, row.server_name, row.server_dn};
}

} // namespace

HRESULT Admin::AddMailbox(const std::string& alias, const std::string& server,
                          const std::string& display_name, MailboxInfo* info) {
    ADMIN_DB;
    if (!ValidAlias(alias))
        return Fail(MAPI_E_INVALID_PARAMETER,
                    "invalid alias \"" + alias +
                        "\": use printable characters without spaces or '/', not starting with "
                        "'='");
    ServerRow srv;
    std::string error;
    HRESULT hr = PickServer(db, server, &srv, &error);
    if (FAILED(hr))
        return Fail(hr, error);
    MailboxRow row;
    if (SUCCEEDED(infostore::FindMailbox(db, alias, &row)))
        return Fail(MAPI_E_COLLISION, "mailbox already exists: " + alias);
    hr = InsertMailbox(db, srv, alias, display_name, &row);
    if (FAILED(hr))
        return Fail(hr, "cannot add mailbox " + alias + ": " + db.ErrorText());
    if (info != nullptr)
        *info = ToInfo(row);
    return S_OK;
}

HRESULT Admin::AddMailboxes(std::uint32_t count, const std::string& prefix,
                            const std::string& server) {
    ADMIN_DB;
    if (!ValidAlias(prefix))
        return Fail(MAPI_E_INVALID_PARAMETER, "invalid alias prefix \"" + prefix + "\"");
    if (count == 0)
        return Fail(MAPI_E_INVALID_PARAMETER, "the count must be at least 1");
    ServerRow srv;
    std::string error;
    HRESULT hr = PickServer(db, server, &srv, &error);
    if (FAILED(hr))
        return Fail(hr, error);
    Txn txn(db, true);
    if (FAILED(txn.Result()))
        return Fail(txn.Result(), "cannot write to the store: " + db.ErrorText());
    // Numbers continue after the highest one already used with the prefix.
    std::uint64_t next = 1;
    {
        Stmt q = db.Prepare("SELECT alias FROM mailboxes WHERE substr(alias, 1, ?) = ?");
        q.Bind(1, static_cast<std::int64_t>(prefix.size()));
        q.Bind(2, prefix);
        while (q.Row()) {
            std::string rest = q.Text(0).substr(prefix.size());
            if (!rest.empty() && rest.size() < 19 &&
                std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
                next = std::max<std::uint64_t>(next, std::stoull(rest) + 1);
        }
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string alias = prefix + std::to_string(next + i);
        hr = InsertMailbox(db, srv, alias, "", nullptr);
        if (FAILED(hr))
            return Fail(hr, "cannot add mailbox " + alias + ": " +
                                (hr == MAPI_E_COLLISION ? "it exists" : db.ErrorText()));
    }
    hr = txn.Commit();
    if (FAILED(hr))
        return Fail(hr, "cannot write to the store: " + db.ErrorText());
    return S_OK;
}

HRESULT Admin::FindMailbox(const std::string& alias_or_dn, MailboxInfo* info) {
    ADMIN_DB;
    MailboxRow row;
    HRESULT hr = infostore::FindMailbox(db, alias_or_dn, &row);
    if (FAILED(hr))
        return Fail(hr,
                    hr == MAPI_E_NOT_FOUND ? "unknown mailbox: " + alias_or_dn : db.ErrorText());
    if (info != nullptr)
        *info = ToInfo(row);
    return S_OK;
}

HRESULT Admin::ListMailboxes(const std::string& server, std::vector<MailboxInfo>* mailboxes) {
    ADMIN_DB;
    std::int64_t server_id = 0;
    if (!server.empty()) {
        ServerRow srv;
        HRESULT hr = FindServer(db, server, &srv);
        if (FAILED(hr))
            return Fail(hr, "unknown server: " + server);
        server_id = srv.id;
    }
    std::vector<MailboxRow> rows;
    HRESULT hr = ListMailboxRows(db, server_id, &rows);
    if (FAILED(hr))
        return Fail(hr, "cannot read the mailboxes: " + db.ErrorText());
    mailboxes->clear();
    for (const MailboxRow& row : rows)
        mailboxes->push_back(ToInfo(row));
    return S_OK;
}

// ---- Folders and messages ----------------------------------------------------------------
#define ADMIN_MAILBOX(name, row)                                                                   \
    MailboxRow row;                                                                                \
    {                                                                                              \
        HRESULT mailbox_hr = infostore::FindMailbox(db, name, &row);                               \
        if (FAILED(mailbox_hr))                                                                    \
            return Fail(mailbox_hr, mailbox_hr == MAPI_E_NOT_FOUND                                 \
                                        ? "unknown mailbox: " + std::string(name)                  \
                                        : db.ErrorText());                                         \
    }

namespace {

FolderInfo MakeFolderInfo(StoreDb& db, const FolderRow& row, const std::string& path) {
    FolderInfo info;
    info.id = row.id;
    info.kind = row.kind == kKindRoot         ? FolderKind::Root
                : row.kind == kKindIpmSubtree ? FolderKind::IpmSubtree
                : row.kind == kKindInbox      ? FolderKind::Inbox
                                              : FolderKind::User;
    info.name = row.name;
    info.path = path;
    info.entry_id = MakeObjectEntryId(db.Guid(), EntryKind::Folder, row.id);
    CountFolderContents(db, row.id, &info.message_count, &info.subfolder_count);
    return info;
}

void WalkFolders(StoreDb& db, const FolderRow& folder, const std::string& path,
                 std::vector<FolderInfo>* out, int depth) {
    out->push_back(MakeFolderInfo(db, folder, path));
    if (depth > 200)
        return;
    std::vector<FolderRow> children;
    if (FAILED(ListChildFolders(db, folder.id, &children)))
        return;
    for (const FolderRow& child : children)
        WalkFolders(db, child, path == "/" ? child.name : path + "/" + child.name, out, depth + 1);
}

} // namespace

HRESULT Admin::ListFolders(const std::string& mailbox, std::vector<FolderInfo>* folders) {
    ADMIN_DB;
    ADMIN_MAILBOX(mailbox, mb);
    folders->clear();
    Txn txn(db, false);
    FolderRow top;
    HRESULT hr = FindSpecialFolder(db, mb.id, kKindIpmSubtree, &top);
    if (hr == MAPI_E_NOT_FOUND)
        return S_OK; // the top folder was deleted: nothing below it either
    if (FAILED(hr))
        return Fail(hr, db.ErrorText());
    try {
        WalkFolders(db, top, "/", folders, 0);
    } catch (const std::bad_alloc&) {
        return Fail(MAPI_E_NOT_ENOUGH_MEMORY, "out of memory");
    }
    return S_OK;
}

HRESULT Admin::FindFolder(const std::string& mailbox, const std::string& path, FolderInfo* info) {
    ADMIN_DB;
    ADMIN_MAILBOX(mailbox, mb);
    FolderRow row;
    std::string error;
    HRESULT hr = ResolveFolderPath(db, mb.id, path, &row, &error);
    if (FAILED(hr))
        return Fail(hr, error + " in mailbox " + mb.alias);
    *info = MakeFolderInfo(db, row, FolderPath(db, row));
    return S_OK;
}

HRESULT Admin::StoreEntryId(const std::string& mailbox, std::vector<BYTE>* entry_id) {
    ADMIN_DB;
    ADMIN_MAILBOX(mailbox, mb);
    *entry_id = MakeStoreEntryId(db.Guid(), 0, mb.StoreDn(), mb.dn);
    return S_OK;
}

HRESULT Admin::CreateFolder(const std::string& mailbox, const std::string& path, FolderInfo* info) {
    ADMIN_DB;
    ADMIN_MAILBOX(mailbox, mb);
    std::string trimmed = path;
    while (!trimmed.empty() && trimmed.back() == '/')
        trimmed.pop_back();
    std::size_t slash = trimmed.rfind('/');
    std::string parent_path = slash == std::string::npos ? "/" : trimmed.substr(0, slash);
    std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (name.empty())
        return Fail(MAPI_E_INVALID_PARAMETER, "no folder name given");
    Txn txn(db, true);
    if (FAILED(txn.Result()))
        return Fail(txn.Result(), "cannot write to the store: " + db.ErrorText());
    FolderRow parent;
    std::string error;
    HRESULT hr = ResolveFolderPath(db, mb.id, parent_path, &parent, &error);
    if (FAILED(hr))
        return Fail(hr, error + " in mailbox " + mb.alias);
    // Only an exact duplicate is refused: folders whose names differ in
    // case alone can be made here, as another client might leave them.
    std::vector<FolderRow> children;
    hr = ListChildFolders(db, parent.id, &children);
    if (FAILED(hr))
        return Fail(hr, db.ErrorText());
    for (const FolderRow& child : children)
        if (child.name == name)
            return Fail(MAPI_E_COLLISION, "folder already exists: " + path);
    std::int64_t id = 0;
    hr = InsertFolder(db, mb.id, parent.id, kKindUser, name, "", &id);
    if (SUCCEEDED(hr))
        hr = txn.Commit();
    if (FAILED(hr))
        return Fail(hr, "cannot create folder " + path + ": " + db.ErrorText());
    if (info != nullptr) {
        FolderRow row;
        GetFolder(db, id, &row);
        *info = MakeFolderInfo(db, row, FolderPath(db, row));
    }
    return S_OK;
}

HRESULT Admin::DeleteFolder(const std::string& mailbox, const std::string& path) {
    ADMIN_DB;
    ADMIN_MAILBOX(mailbox, mb);
    Txn txn(db, true);
    if (FAILED(txn.Result()))
        return Fail(txn.Result(), "cannot write to the store: " + db.ErrorText());
    FolderRow row;
    std::string error;
    HRESULT hr = ResolveFolderPath(db, mb.id, path, &row, &error);
    if (FAILED(hr))
        return Fail(hr, error + " in mailbox " + mb.alias);
    if (row.kind == kKindRoot)
        return Fail(MAPI_E_NO_ACCESS, "the root folder cannot be deleted");
    hr = DeleteFolderRow(db, row.id);
    if (SUCCEEDED(hr))
        hr = txn.Commit();
    if (FAILED(hr))
        return Fail(hr, "cannot delete folder " + path + ": " + db.ErrorText());
    return S_OK;
}

HRESULT Admin::ListMessages(const std::string& mailbox, const std::string& path,
                            std::vector<MessageInfo>* messages) {
    ADMIN_DB;
    ADMIN_MAILBOX(mailbox, mb);
    messages->clear();
    Txn txn(db, false);
    std::vector<FolderRow> folders;
    std::string error;
    if (path.empty()) {
        // Every folder below the top folder, in the order ListFolders gives.
        std::vector<FolderRow> pending;
        FolderRow top;
        HRESULT hr = FindSpecialFolder(db, mb.id, kKindIpmSubtree, &top);
        if (hr == MAPI_E_NOT_FOUND)
            return S_OK;
        if (FAILED(hr))
            return Fail(hr, db.ErrorText());
        pending.push_back(top);
        while (!pending.empty()) {
            FolderRow f = pending.back();
            pending.pop_back();
            folders.push_back(f);
            std::vector<FolderRow> children;
            ListChildFolders(db, f.id, &children);
            pending.insert(pending.end(), children.rbegin(), children.rend());
        }
    } else {
        FolderRow row;
        HRESULT hr = ResolveFolderPath(db, mb.id, path, &row, &error);
        if (FAILED(hr))
            return Fail(hr, error + " in mailbox " + mb.alias);
        folders.push_back(row);
    }
    for (const FolderRow& folder : folders) {
        std::vector<StoredMessage> rows;
        HRESULT hr = ListMessageRows(db, folder.id, &rows, true);
        if (FAILED(hr))
            return Fail(hr, "cannot read messages: " + db.ErrorText());
        std::string folder_path = FolderPath(db, folder);
        for (const StoredMessage& m : rows) {
            MessageInfo info;
            info.id = m.id;
            info.folder_path = folder_path;
            info.entry_id = MakeObjectEntryId(db.Guid(), EntryKind::Message, m.id);
            info.delivery_time = m.delivery_time;
            info.subject = m.subject.value_or("");
            info.headers = m.headers.value_or("");
            info.body = m.body.value_or("");
            info.message_class = m.message_class.value_or("");
            messages->push_back(std::move(info));
        }
    }
    return S_OK;
}

HRESULT Admin::Deliver(const std::string& mailbox, const std::string& rfc5322,
                       const DeliveryOptions& options, DeliveryResult* result) {
    ADMIN_DB;
    ADMIN_MAILBOX(mailbox, mb);
    ParsedMessage parsed;
    std::string error;
    HRESULT hr = ParseMessage(rfc5322, &parsed, &error);
    if (FAILED(hr))
        return Fail(hr, error);
    std::uint64_t when = 0;
    if (options.delivery_time.has_value()) {
        when = *options.delivery_time;
    } else {
        if (!(options.age_days >= 0.0) || options.age_days > 100000.0)
            return Fail(MAPI_E_INVALID_PARAMETER, "the age must be between 0 and 100000 days");
        std::uint64_t now = FileTimeNow();
        auto age = static_cast<std::uint64_t>(options.age_days *
                                              static_cast<double>(kFileTimeUnitsPerDay));
        when = age > now ? 0 : now - age;
    }
    std::int64_t target = 0;
    if (!options.apply_rules && !options.folder_path.empty()) {
        FolderRow row;
        hr = ResolveFolderPath(db, mb.id, options.folder_path, &row, &error);
        if (FAILED(hr))
            return Fail(hr, error + " in mailbox " + mb.alias);
        target = row.id;
    }
    DeliveryOutcome outcome;
    hr = DeliverMessage(db, mb, parsed, when, options.apply_rules, target, &outcome, &error);
    if (FAILED(hr))
        return Fail(hr, error);
    if (result != nullptr) {
        result->message_id = outcome.message_id;
        result->rule_id = outcome.rule_id;
        FolderRow folder;
        result->folder_path =
            outcome.folder_id != 0 && SUCCEEDED(GetFolder(db, outcome.folder_id, &folder))
                ? FolderPath(db, folder)
                : "";
    }
    return S_OK;
}

// ---- Rules ---------------------------------------------------------------------------------
namespace {

HRESULT RuleFolder(StoreDb& db, const MailboxRow& mb, const std::string& path, FolderRow* row,
                   std::string* error) {
    if (!path.empty())
        return ResolveFolderPath(db, mb.id, path, row, error);
    HRESULT hr = FindSpecialFolder(db, mb.id, kKindInbox, row);
    if (hr == MAPI_E_NOT_FOUND)
        *error = "the mailbox has no Inbox";
    else if (FAILED(hr))
        *error = db.ErrorText();
    return hr;
}

} // namespace

HRESULT Admin::ListRules(const std::string& mailbox, const std::string& path,
                         std::vector<RuleInfo>* rules) {
    ADMIN_DB;
    ADMIN_MAILBOX(mailbox, mb);
    rules->clear();
    Txn txn(db, false);
    FolderRow folder;
    std::string error;
    HRESULT hr = RuleFolder(db, mb, path, &folder, &error);
    if (FAILED(hr))
        return Fail(hr, error + " in mailbox " + mb.alias);
    std::vector<RuleRow> rows;
    hr = ListRuleRows(db, folder.id, &rows);
    if (FAILED(hr))
        return Fail(hr, "cannot read the rules: " + db.ErrorText());
    auto folder_name = [&](const SBinary& id) -> std::string {
        ACTMOVECOPY move{};
        move.cbFldEntryId = id.cb;
        move.lpFldEntryId = reinterpret_cast<LPENTRYID>(id.lpb);
        std::int64_t target = ActionTargetFolder(db, mb, move);
        FolderRow row;
        if (target == 0 || FAILED(GetFolder(db, target, &row)))
            return "";
        std::string p = FolderPath(db, row);
        return p.empty() ? row.name : p;
    };
    for (const RuleRow& row : rows) {
        RuleInfo info;
        static_cast<RuleProps&>(info) = row;
        info.id = row.id;
        info.has_condition = row.condition.has_value();
        info.has_actions = row.actions.has_value();
        ChainHolder chain;
        if (FAILED(MAPIAllocateBuffer(1, &chain.head)))
            return Fail(MAPI_E_NOT_ENOUGH_MEMORY, "out of memory");
        if (row.condition.has_value()) {
            LPSRestriction r = nullptr;
            HRESULT dhr = DecodeRestriction(*row.condition, chain.head, &r);
            info.condition_text =
                SUCCEEDED(dhr) ? DescribeRestriction(r) : "<corrupt: " + HrText(dhr) + ">";
        } else {
            info.condition_text = "<none>";
        }
        if (row.actions.has_value()) {
            LPACTIONS a = nullptr;
            HRESULT dhr = DecodeActions(*row.actions, chain.head, &a);
            if (SUCCEEDED(dhr)) {
                info.actions_text = DescribeActions(a, folder_name);
                for (ULONG i = 0; i < a->cActions; ++i) {
                    const ACTION& act = a->lpAction[i];
                    if (act.acttype == OP_MOVE || act.acttype == OP_COPY) {
                        SBinary id{act.actMoveCopy.cbFldEntryId,
                                   reinterpret_cast<LPBYTE>(act.actMoveCopy.lpFldEntryId)};
                        std::string name = folder_name(id);
                        if (!name.empty())
                            info.move_target = name;
                        break;
                    }
                }
            } else {
                info.actions_text = "<corrupt: " + HrText(dhr) + ">";
            }
        } else {
            info.actions_text = "<none>";
        }
        rules->push_back(std::move(info));
    }
    return S_OK;
}

HRESULT Admin::AddRule(const std::string& mailbox, const std::string& path, const RuleSpec& rule,
                       std::int64_t* rule_id) {
    ADMIN_DB;
    ADMIN_MAILBOX(mailbox, mb);
    RuleRow row;
    static_cast<RuleProps&>(row) = rule;
    if (rule.raw_condition.has_value()) {
        row.condition = rule.raw_condition;
    } else if (rule.condition != nullptr) {
        std::vector<BYTE> bytes;
        HRESULT hr = EncodeRestriction(rule.condition, &bytes);
        if (FAILED(hr))
            return Fail(hr, "the condition cannot be stored (" + HrText(hr) + ")");
        row.condition = std::move(bytes);
    }
    if (rule.raw_actions.has_value()) {
        row.actions = rule.raw_actions;
    } else if (rule.actions != nullptr) {
        std::vector<BYTE> bytes;
        HRESULT hr = EncodeActions(rule.actions, &bytes);
        if (FAILED(hr))
            return Fail(hr, "the actions cannot be stored (" + HrText(hr) + ")");
        row.actions = std::move(bytes);
    }
    Txn txn(db, true);
    if (FAILED(txn.Result()))
        return Fail(txn.Result(), "cannot write to the store: " + db.ErrorText());
    FolderRow folder;
    std::string error;
    HRESULT hr = RuleFolder(db, mb, path, &folder, &error);
    if (FAILED(hr))
        return Fail(hr, error + " in mailbox " + mb.alias);
    row.folder_id = folder.id;
    std::int64_t id = 0;
    hr = InsertRule(db, row, &id);
    if (SUCCEEDED(hr))
        hr = txn.Commit();
    if (FAILED(hr))
        return Fail(hr, "cannot add the rule: " + db.ErrorText());
    if (rule_id != nullptr)
        *rule_id = id;
    return S_OK;
}

namespace {

// The rule of that id in any folder of the mailbox.
HRESULT MailboxRule(StoreDb& db, const MailboxRow& mb, std::int64_t rule_id, RuleRow* rule) {
    HRESULT hr = LoadRule(db, rule_id, rule);
    if (FAILED(hr))
        return hr;
    FolderRow folder;
    hr = GetFolder(db, rule->folder_id, &folder);
    if (FAILED(hr) || folder.mailbox_id != mb.id)
        return MAPI_E_NOT_FOUND;
    return S_OK;
}

} // namespace

HRESULT Admin::DisableRule(const std::string& mailbox, std::int64_t rule_id) {
    ADMIN_DB;
    ADMIN_MAILBOX(mailbox, mb);
    Txn txn(db, true);
    RuleRow rule;
    HRESULT hr = MailboxRule(db, mb, rule_id, &rule);
    if (FAILED(hr))
        return Fail(hr, "mailbox " + mb.alias + " has no rule " + std::to_string(rule_id));
    rule.state = rule.state.value_or(0) & ~static_cast<std::int32_t>(ST_ENABLED);
    hr = UpdateRule(db, rule);
    if (SUCCEEDED(hr))
        hr = txn.Commit();
    if (FAILED(hr))
        return Fail(hr, "cannot change the rule: " + db.ErrorText());
    return S_OK;
}

HRESULT Admin::SetRuleState(const std::string& mailbox, std::int64_t rule_id, std::int32_t state) {
    ADMIN_DB;
    ADMIN_MAILBOX(mailbox, mb);
    Txn txn(db, true);
    RuleRow rule;
    HRESULT hr = MailboxRule(db, mb, rule_id, &rule);
    if (FAILED(hr))
        return Fail(hr, "mailbox " + mb.alias + " has no rule " + std::to_string(rule_id));
    rule.state = state;
    hr = UpdateRule(db, rule);
    if (SUCCEEDED(hr))
        hr = txn.Commit();
    if (FAILED(hr))
        return Fail(hr, "cannot change the rule: " + db.ErrorText());
    return S_OK;
}

HRESULT Admin::DeleteRule(const std::string& mailbox, std::int64_t rule_id) {
    ADMIN_DB;
    ADMIN_MAILBOX(mailbox, mb);
    Txn txn(db, true);
    RuleRow rule;
    HRESULT hr = MailboxRule(db, mb, rule_id, &rule);
    if (FAILED(hr))
        return Fail(hr, "mailbox " + mb.alias + " has no rule " + std::to_string(rule_id));
    hr = DeleteRuleRow(db, rule.folder_id, rule.id);
    if (SUCCEEDED(hr))
        hr = txn.Commit();
    if (FAILED(hr))
        return Fail(hr, "cannot delete the rule: " + db.ErrorText());
    return S_OK;
}

// ---- Faults ------------------------------------------------------------------------------
HRESULT Admin::AddFault(const FaultSpec& fault, std::int64_t* fault_id) {
    ADMIN_DB;
    const auto& ops = FaultOperations();
    if (std::find(ops.begin(), ops.end(), fault.operation) == ops.end())
        return Fail(MAPI_E_INVALID_PARAMETER, "unknown operation: " + fault.operation);
    if (fault.hr == S_OK && fault.delay_ms == 0)
        return Fail(MAPI_E_INVALID_PARAMETER, "a fault of 0x00000000 would change nothing");
    if (fault.times < -1 || fault.times == 0)
        return Fail(MAPI_E_INVALID_PARAMETER, "the count must be at least 1 (or always)");
    if (fault.after < 0)
        return Fail(MAPI_E_INVALID_PARAMETER, "the calls to let pass cannot be negative");
    if (fault.delay_ms < 0 || fault.delay_ms > kMaxFaultDelayMs)
        return Fail(MAPI_E_INVALID_PARAMETER,
                    "the delay must be 0 to " + std::to_string(kMaxFaultDelayMs) + " ms");
    std::string mailbox = fault.mailbox.empty() ? "*" : fault.mailbox;
    if (mailbox != "*") {
        MailboxRow mb;
        if (FAILED(infostore::FindMailbox(db, mailbox, &mb)))
            return Fail(MAPI_E_INVALID_PARAMETER, "unknown mailbox: " + mailbox);
    }
    Stmt q = db.Prepare("INSERT INTO faults(operation, mailbox, hr, remaining, pass_first, "
                        "delay_ms) VALUES(?, ?, ?, ?, ?, ?)");
    q.Bind(1, fault.operation);
    q.Bind(2, mailbox);
    q.Bind(3, static_cast<std::int64_t>(fault.hr));
    q.Bind(4, static_cast<std::int64_t>(fault.times));
    q.Bind(5, static_cast<std::int64_t>(fault.after));
    q.Bind(6, static_cast<std::int64_t>(fault.delay_ms));
    HRESULT hr = q.Exec();
    if (FAILED(hr))
        return Fail(hr, "cannot add the fault: " + db.ErrorText());
    db.FaultsChanged();
    if (fault_id != nullptr)
        *fault_id = db.LastInsertId();
    return S_OK;
}

HRESULT Admin::ClearFaults() {
    ADMIN_DB;
    Stmt q = db.Prepare("DELETE FROM faults");
    HRESULT hr = q.Exec();
    if (FAILED(hr))
        return Fail(hr, "cannot clear the faults: " + db.ErrorText());
    db.FaultsChanged();
    return S_OK;
}

HRESULT Admin::ListFaults(std::vector<FaultInfo>* faults) {
    ADMIN_DB;
    faults->clear();
    Stmt q = db.Prepare("SELECT id, operation, mailbox, hr, remaining, pass_first, delay_ms "
                        "FROM faults ORDER BY id");
    while (q.Row())
        faults->push_back(FaultInfo{q.Int(0), q.Text(1), q.Text(2), static_cast<HRESULT>(q.Int(3)),
                                    static_cast<std::int32_t>(q.Int(4)),
                                    static_cast<std::int32_t>(q.Int(5)),
                                    static_cast<std::int32_t>(q.Int(6))});
    if (FAILED(q.Result()))
        return Fail(q.Result(), "cannot read the faults: " + db.ErrorText());
    return S_OK;
}

// ---- Demo ----------------------------------------------------------------------------------
HRESULT Admin::BuildDemo(const DemoOptions& options) {
    if (options.mailboxes == 0 || options.mailboxes > 1000)
        return Fail(MAPI_E_INVALID_PARAMETER, "the demo holds 1 to 1000 mailboxes");
    std::string server = options.server;
    bool add_server = true;
    {
        ADMIN_DB;
        std::vector<MailboxRow> mailboxes;
        HRESULT hr = ListMailboxRows(db, 0, &mailboxes);
        if (FAILED(hr))
            return Fail(hr, db.ErrorText());
        if (!mailboxes.empty())
            return Fail(MAPI_E_COLLISION, "the demo needs a store without mailboxes");
        std::vector<ServerRow> servers;
        hr = ListServerRows(db, &servers);
        if (FAILED(hr))
            return Fail(hr, db.ErrorText());
        // A server already there is used: the one named, or the only one.
        for (const ServerRow& row : servers)
            if (server.empty() ? servers.size() == 1 : EqualNoCase(row.name, server)) {
                server = row.name;
                add_server = false;
            }
    }
    if (server.empty()) {
        char host[256] = {};
        if (::gethostname(host, sizeof(host) - 1) != 0 || host[0] == '\0')
            return Fail(MAPI_E_CALL_FAILED, "cannot read this host's name");
        server = host;
    }
    HRESULT hr = add_server ? AddServer(server) : S_OK;
    if (SUCCEEDED(hr))
        hr = AddMailbox("sortwell", server, "Sortwell Agent");
    for (std::uint32_t i = 1; SUCCEEDED(hr) && i <= options.mailboxes; ++i)
        hr = AddMailbox("user" + std::to_string(i), server, "Demo User " + std::to_string(i));
    if (FAILED(hr))
        return hr;
    // Some mail in every mailbox: ordinary mail, and mail a filter has
    // marked as spam, some of it old.
    const char* const kMessages[][3] = {
        {"Project plan", "", "0"},
        {"Cheap watches", "X-Spam-Flag: YES\n", "0"},
        {"Lunch on Friday?", "", "2"},
        {"You have won", "X-Spam-Flag: YES\n", "45"},
    };
    for (std::uint32_t i = 1; SUCCEEDED(hr) && i <= options.mailboxes; ++i) {
        std::string alias = "user" + std::to_string(i);
        for (const auto& m : kMessages) {
            std::string text = std::string("From: someone@example.net\nTo: ") + alias +
                               "@example.net\nSubject: " + m[0] + "\n" + m[1] +
                               "\nThis is a demo message.\n";
            DeliveryOptions delivery;
            delivery.age_days = std::atof(m[2]);
            hr = Deliver(alias, text, delivery);
            if (FAILED(hr))
                break;
        }
    }
    // One mailbox holds a rule of another provider, which the agent must
    // leave alone.
    if (SUCCEEDED(hr)) {
        SPropValue value{};
        value.ulPropTag = PR_SUBJECT;
        value.Value.lpszA = const_cast<char*>("newsletter");
        SRestriction condition{};
        condition.rt = RES_CONTENT;
        condition.res.resContent = {FL_SUBSTRING | FL_IGNORECASE, PR_SUBJECT, &value};
        ACTION action{};
        action.acttype = OP_MARK_AS_READ;
        ACTIONS actions{EDK_RULES_VERSION, 1, &action};
        RuleSpec rule;
        rule.sequence = 10;
        rule.state = ST_ENABLED;
        rule.level = 0;
        rule.provider = "Demo.Client";
        rule.name = "Newsletters";
        rule.condition = &condition;
        rule.actions = &actions;
        hr = AddRule("user1", "", rule);
    }
    return hr;
}

} // namespace infostore
