// A Dovecot server as a backend of the store's MAPI objects
// (platform/msgstore), driven through its doveadm HTTP API:
//
//   organisation  this machine (its host name) is the one server; the
//                 mailboxes are the userdb's users, each named by its user
//                 name (alias, DN and address alike)
//   folders       the user's Dovecot mailboxes in the namespace that holds
//                 INBOX; the root and the top folder are the namespace root,
//                 the Inbox is INBOX (shown as "Inbox"); a folder's key holds
//                 its mailbox GUID, so its entry identifier stays the same
//                 across passes and renames
//   rules         the blocks "# rule:[NAME]" of the user's active Sieve script
//                 (sieve_script.h), ours and the user's: state from
//                 "if false #", the condition from the header test, the
//                 action from fileinto
//   messages      search/fetch by mailbox GUID, expunge by UID, save
//
// What a logon reads of a user (namespace, mailboxes with GUIDs and counts,
// the scripts and the active script's text) is read once, in one POST where
// it can be (the namespace is kept for the process, the active script's name
// is remembered to fetch it in the same POST next time), and kept until the
// next logon to a mailbox; every change the backend makes updates it.
//
// Faults: Dovecot has no fault table; its failures are real ones, mapped
// to HRESULTs by the client (doveadm_client.h). CheckFault lets everything
// pass.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <set>

#include "mailstore/mapitags.h"
#include "platform/dovecot/doveadm_client.h"
#include "platform/dovecot/dovecot_location.h"
#include "platform/dovecot/mailbox_names.h"
#include "platform/dovecot/sieve_script.h"
#include "platform/mapi/mapi_runtime.h"
#include "platform/win32/registry.h"
#include "platform/msgstore/msgstore_util.h"

namespace dovecot {
namespace {

using msgstore::FolderInfo;
using msgstore::FolderRole;
using msgstore::Key;
using msgstore::PropBag;
using msgstore::TableSpec;

constexpr const char* kRuleProvider = "MSExchange.Rules";
constexpr const char* kScriptName = "sortwell";
constexpr const char* kInboxName = "Inbox";

// Key kinds: the namespace root, a mailbox by GUID, a mailbox by a name that
// did not exist (a rule's fileinto target), a message.
constexpr BYTE kRootKey = 'R';
constexpr BYTE kGuidKey = 'G';
constexpr BYTE kNameKey = 'N';
constexpr BYTE kMessageKey = 'M';

// Layout: the kind, the user's name as a 16-bit length and its bytes, then
// the kind's own text (GUID, name, or "GUID:UID").
Key MakeKey(BYTE kind, const std::string& user, const std::string& rest) {
    Key key{kind, static_cast<BYTE>(user.size() & 0xFF), static_cast<BYTE>(user.size() >> 8)};
    key.insert(key.end(), user.begin(), user.end());
    key.insert(key.end(), rest.begin(), rest.end());
    return key;
}

bool ParseKey(const Key& key, BYTE* kind, std::string* user, std::string* rest) {
    if (key.size() < 3)
        return false;
    std::size_t n = key[1] | (static_cast<std::size_t>(key[2]) << 8);
    if (key.size() < 3 + n || n == 0)
        return false;
    *kind = key[0];
    user->assign(key.begin() + 3, key.begin() + 3 + static_cast<std::ptrdiff_t>(n));
    rest->assign(key.begin() + 3 + static_cast<std::ptrdiff_t>(n), key.end());
    return *kind == kRootKey || *kind == kGuidKey || *kind == kNameKey || *kind == kMessageKey;
}

std::string HostName() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return "localhost";
    return host;
}

std::string ServerDnOf(const std::string& host) {
    return "/o=Sortwell/ou=Dovecot/cn=Configuration/cn=Servers/cn=" + host;
}

// FNV-1a, 64 bits.
std::uint64_t Hash(std::string_view text, std::uint64_t h = 1469598103934665603ull) {
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

// Says `line` on standard error once in the process's life.
void SayOnce(const std::string& line) {
    static std::mutex mutex;
    static std::set<std::string> said;
    std::lock_guard<std::mutex> lock(mutex);
    if (said.insert(line).second)
        std::fprintf(stderr, "sortwell: %s\n", line.c_str());
}

// What the process keeps across logons, per server location.
struct Shared {
    std::mutex mutex;
    std::map<std::string, MailboxNamespace> namespaces; // per user
    std::map<std::string, std::string> active_names;    // per user: the active script last seen
    std::vector<std::string> users;                     // the userdb, as last listed
};

std::shared_ptr<Shared> SharedFor(const std::string& location) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<Shared>> all;
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<Shared>& shared = all[location];
    if (shared == nullptr)
        shared = std::make_shared<Shared>();
    return shared;
}

// What a logon has read of one user.
struct UserState {
    // The user's namespace; until it is known (ns_known) the user's
    // mailboxes have no separator character in their names, so every one
    // is a top-level mailbox whatever the namespace, and ns has no prefix.
    MailboxNamespace ns;
    bool ns_known = false;
    std::vector<MailboxStatusInfo> boxes;
    std::vector<SieveScriptInfo> scripts;
    std::string active; // the active script's name, "" when none is
    std::string text;   // its text

    const MailboxStatusInfo* ByGuid(std::string_view guid) const {
        for (const MailboxStatusInfo& box : boxes)
            if (box.guid == guid)
                return &box;
        return nullptr;
    }
    // By the name Sieve and IMAP use (INBOX in any case).
    const MailboxStatusInfo* ByName(std::string_view name) const {
        for (const MailboxStatusInfo& box : boxes)
            if (box.name == name || (IsInbox(box.name) && IsInbox(name)))
                return &box;
        return nullptr;
    }
    static bool IsInbox(std::string_view name) { return msgstore::EqualNoCase(name, "INBOX"); }
    // Whether a name other than INBOX may hold a separator, so that only the
    // namespace can tell where it belongs.
    bool Nested() const {
        for (const MailboxStatusInfo& box : boxes)
            if (!IsInbox(box.name) && box.name.find_first_of("./") != std::string::npos)
                return true;
        return false;
    }
    // The parent's full name ("" for the namespace root).
    std::string ParentName(const std::string& name) const {
        if (IsInbox(name) || ns.separator == '\0')
            return "";
        std::string_view rest = name;
        if (rest.substr(0, ns.prefix.size()) == ns.prefix)
            rest.remove_prefix(ns.prefix.size());
        std::size_t cut = rest.rfind(ns.separator);
        if (cut == std::string_view::npos)
            return "";
        return name.substr(0, name.size() - rest.size() + cut);
    }
    // The name shown for a mailbox: its last level, "Inbox" for INBOX.
    std::string Leaf(const std::string& name) const {
        if (IsInbox(name))
            return kInboxName;
        std::string_view rest = name;
        if (rest.substr(0, ns.prefix.size()) == ns.prefix)
            rest.remove_prefix(ns.prefix.size());
        if (ns.separator != '\0') {
            std::size_t cut = rest.rfind(ns.separator);
            if (cut != std::string_view::npos)
                rest.remove_prefix(cut + 1);
        }
        return std::string(rest);
    }
};

// A rule property value as the table hands it out.
struct RuleRowData {
    std::int64_t id = 0;
    const SieveRule* rule = nullptr;
};

class DovecotConnection final : public msgstore::Connection,
                                public std::enable_shared_from_this<DovecotConnection> {
public:
    DovecotConnection(ClientOptions options, std::shared_ptr<Shared> shared, const BYTE* identity)
        : client_(std::move(options)), shared_(std::move(shared)) {
        std::memcpy(identity_, identity, sizeof identity_);
        host_ = HostName();
    }

    const BYTE* Identity() const override { return identity_; }

    HRESULT CheckFault(const char*, const std::string&, const std::string&) override {
        return S_OK;
    }

    msgstore::ChangeStamp Stamp() override {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        return {generation_, 0};
    }

    // ---- Organisation ------------------------------------------------------------------
    HRESULT FindServer(const std::string& name_or_dn, msgstore::ServerInfo* server) override {
        if (!msgstore::EqualNoCase(name_or_dn, host_) &&
            !msgstore::EqualNoCase(name_or_dn, ServerDnOf(host_)))
            return MAPI_E_NOT_FOUND;
        *server = {host_, ServerDnOf(host_)};
        return S_OK;
    }

    HRESULT FindMailbox(const std::string& name, msgstore::MailboxInfo* mailbox) override {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        std::vector<std::string> users;
        {
            std::lock_guard<std::mutex> shared_lock(shared_->mutex);
            users = shared_->users;
        }
        std::optional<std::string> found = Match(users, name);
        if (!found) {
            HRESULT hr = ListUsers(&users);
            if (FAILED(hr))
                return hr;
            found = Match(users, name);
        }
        if (!found)
            return MAPI_E_NOT_FOUND;
        *mailbox = InfoOf(*found);
        return S_OK;
    }

    HRESULT FindMailboxByKey(const std::string& key, msgstore::MailboxInfo* mailbox) override {
        return FindMailbox(key, mailbox);
    }

    HRESULT MailboxTable(const msgstore::ServerInfo&, TableSpec* table) override {
        std::shared_ptr<DovecotConnection> self = shared_from_this();
        table->load = [self](const SRestriction*, LPMAPITABLE* out) -> HRESULT {
            std::vector<std::string> users;
            HRESULT hr;
            {
                std::lock_guard<std::recursive_mutex> lock(self->mutex_);
                hr = self->ListUsers(&users);
            }
            if (FAILED(hr))
                return hr;
            std::vector<PropBag> bags(users.size());
            for (std::size_t i = 0; i < users.size(); ++i) {
                msgstore::MailboxInfo info = self->InfoOf(users[i]);
                bags[i].Str(PR_EMAIL_ADDRESS_A, info.dn);
                bags[i].Str(PR_DISPLAY_NAME, info.display_name);
                bags[i].Bin(PR_ENTRYID, msgstore::MakeStoreEntryId(self->identity_, 0,
                                                                   info.StoreDn(), info.dn));
            }
            hr = msgstore::TableFromBags(bags, out);
            if (SUCCEEDED(hr)) {
                // Rows come back with the address and the name unless the
                // caller sets columns.
                SizedSPropTagArray<2> columns = {2, {PR_EMAIL_ADDRESS_A, PR_DISPLAY_NAME}};
                hr = (*out)->SetColumns(columns.get(), 0);
                if (FAILED(hr)) {
                    (*out)->Release();
                    *out = nullptr;
                }
            }
            return hr;
        };
        return S_OK;
    }

    void BeginLogon(const msgstore::MailboxInfo&) override {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        states_.clear();
        ++generation_;
    }

    // ---- Folders ------------------------------------------------------------------------
    HRESULT SpecialFolder(const msgstore::MailboxInfo& mailbox, FolderRole role,
                          Key* folder) override {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        UserState* state = nullptr;
        HRESULT hr = State(mailbox.key, &state);
        if (FAILED(hr))
            return hr;
        if (role != FolderRole::Inbox) {
            *folder = MakeKey(kRootKey, mailbox.key, "");
            return S_OK;
        }
        const MailboxStatusInfo* inbox = state->ByName("INBOX");
        if (inbox == nullptr)
            return MAPI_E_NOT_FOUND;
        *folder = MakeKey(kGuidKey, mailbox.key, inbox->guid);
        return S_OK;
    }

    HRESULT GetFolder(const Key& folder, FolderInfo* info) override {
        BYTE kind = 0;
        std::string user, rest;
        if (!ParseKey(folder, &kind, &user, &rest) || kind == kMessageKey)
            return MAPI_E_INVALID_ENTRYID;
        if (kind == kNameKey)
            return MAPI_E_NOT_FOUND;
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        UserState* state = nullptr;
        HRESULT hr = State(user, &state);
        if (FAILED(hr))
            return hr;
        if (kind == kRootKey) {
            info->key = folder;
            info->parent.clear();
            info->root = true;
            info->name.clear();
            info->messages = 0;
            info->subfolders = !state->boxes.empty();
            info->owner = user;
            return S_OK;
        }
        const MailboxStatusInfo* box = state->ByGuid(rest);
        if (box == nullptr)
            return MAPI_E_NOT_FOUND;
        Describe(user, *state, *box, info);
        return S_OK;
    }

    HRESULT ChildFolders(const Key& parent, std::vector<FolderInfo>* children) override {
        BYTE kind = 0;
        std::string user, rest;
        if (!ParseKey(parent, &kind, &user, &rest) || (kind != kRootKey && kind != kGuidKey))
            return MAPI_E_NOT_FOUND;
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        UserState* state = nullptr;
        HRESULT hr = State(user, &state);
        if (FAILED(hr))
            return hr;
        std::string parent_name;
        if (kind == kGuidKey) {
            const MailboxStatusInfo* box = state->ByGuid(rest);
            if (box == nullptr)
                return MAPI_E_NOT_FOUND;
            parent_name = box->name;
        }
        for (const MailboxStatusInfo& box : state->boxes) {
            if (state->ParentName(box.name) != parent_name)
                continue;
            // INBOX's namespace children ("INBOX.x" with the prefix INBOX.)
            // belong to the root, not to INBOX.
            if (kind == kGuidKey && UserState::IsInbox(parent_name) &&
                state->ns.prefix == "INBOX" + std::string(1, state->ns.separator))
                continue;
            children->emplace_back();
            Describe(user, *state, box, &children->back());
        }
        return S_OK;
    }

    HRESULT CreateFolder(const Key& parent, const std::string& name, const std::string&,
                         bool open_if_exists, Key* folder) override {
        BYTE kind = 0;
        std::string user, rest;
        if (!ParseKey(parent, &kind, &user, &rest) || (kind != kRootKey && kind != kGuidKey))
            return MAPI_E_OBJECT_DELETED;
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        UserState* state = nullptr;
        HRESULT hr = State(user, &state);
        if (SUCCEEDED(hr))
            hr = KnowNamespace(user, state);
        if (FAILED(hr))
            return hr;
        if (state->ns.separator != '\0' && name.find(state->ns.separator) != std::string::npos)
            return MAPI_E_INVALID_PARAMETER;
        std::vector<FolderInfo> siblings;
        hr = ChildFolders(parent, &siblings);
        if (FAILED(hr))
            return hr == MAPI_E_NOT_FOUND ? MAPI_E_OBJECT_DELETED : hr;
        for (const FolderInfo& sibling : siblings)
            if (msgstore::EqualNoCase(sibling.name, name)) {
                if (!open_if_exists)
                    return MAPI_E_COLLISION;
                *folder = sibling.key;
                return S_OK;
            }
        std::string full;
        if (kind == kRootKey) {
            full = state->ns.TopLevel(name);
        } else {
            const MailboxStatusInfo* box = state->ByGuid(rest);
            if (box == nullptr || state->ns.separator == '\0')
                return MAPI_E_NO_SUPPORT;
            full = box->name + state->ns.separator + name;
        }
        // Made and read back (for its GUID) in one POST; one that exists
        // already (made meanwhile, or named in other letters where the
        // server ignores case) is read back the same way.
        HRESULT create_hr = S_OK, status_hr = S_OK;
        std::vector<MailboxStatusInfo> made;
        Batch batch;
        batch.MailboxCreate(user, {full}, &create_hr);
        batch.MailboxStatus(user, {full}, &made, &status_hr);
        hr = client_.Execute(batch);
        if (FAILED(hr))
            return Failed(user, hr);
        if (FAILED(create_hr) && create_hr != MAPI_E_COLLISION)
            return Failed(user, create_hr);
        if (FAILED(status_hr))
            return Failed(user, status_hr);
        if (made.empty())
            return MAPI_E_CALL_FAILED;
        state->boxes.push_back(made.front());
        ++generation_;
        *folder = MakeKey(kGuidKey, user, made.front().guid);
        return S_OK;
    }

    HRESULT RenameFolder(const Key&, const std::string&) override { return MAPI_E_NO_SUPPORT; }

    // ---- Messages -------------------------------------------------------------------------
    HRESULT ContentsTable(const Key& folder, bool associated, TableSpec* table) override {
        BYTE kind = 0;
        std::string user, guid;
        if (!ParseKey(folder, &kind, &user, &guid))
            return MAPI_E_INVALID_ENTRYID;
        std::shared_ptr<DovecotConnection> self = shared_from_this();
        table->takes_restriction = true;
        table->load = [self, folder, kind, user, guid, associated](const SRestriction* restriction,
                                                                   LPMAPITABLE* out) -> HRESULT {
            std::vector<PropBag> bags;
            if (kind == kGuidKey && !associated) {
                std::lock_guard<std::recursive_mutex> lock(self->mutex_);
                HRESULT hr = self->MessageRows(folder, user, guid, restriction, &bags);
                if (FAILED(hr))
                    return hr;
            }
            return msgstore::TableFromBags(bags, out);
        };
        return S_OK;
    }

    HRESULT LoadMessage(const Key& message, LPVOID chain, Key* folder,
                        std::vector<SPropValue>* values) override {
        BYTE kind = 0;
        std::string user, rest;
        if (!ParseKey(message, &kind, &user, &rest) || kind != kMessageKey)
            return MAPI_E_INVALID_ENTRYID;
        std::size_t colon = rest.find(':');
        if (colon == std::string::npos)
            return MAPI_E_INVALID_ENTRYID;
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        std::vector<FetchedMessage> found;
        HRESULT hr = client_.Fetch(
            user, {"date.received.unixtime", "hdr.subject", "hdr", "body"},
            {"mailbox-guid", rest.substr(0, colon), "uid", rest.substr(colon + 1)}, &found);
        if (FAILED(hr))
            return Failed(user, hr);
        if (found.empty())
            return MAPI_E_NOT_FOUND;
        *folder = MakeKey(kGuidKey, user, rest.substr(0, colon));
        PropBag bag;
        for (const auto& [field, value] : found.front()) {
            if (field == "date.received.unixtime")
                bag.Time(PR_MESSAGE_DELIVERY_TIME, FileTimeOf(value));
            else if (field == "hdr.subject")
                bag.Str(PR_SUBJECT, value);
            else if (field == "hdr")
                bag.Str(PR_TRANSPORT_MESSAGE_HEADERS, value);
            else if (field == "body")
                bag.Str(PR_BODY, value);
        }
        bag.Str(PR_MESSAGE_CLASS, "IPM.Note");
        for (ULONG i = 0; i < bag.Size(); ++i) {
            SPropValue copy{};
            SCODE sc = PropCopyMore(&copy, &bag.Data()[i], chain);
            if (FAILED(sc))
                return sc;
            values->push_back(copy);
        }
        return S_OK;
    }

    // A new message is saved as a plain-text message (UTF-8) into the
    // folder's mailbox, received now; an existing one cannot be changed.
    HRESULT SaveMessage(const Key& folder, const std::vector<SPropValue>& values,
                        Key* message) override {
        if (!message->empty())
            return MAPI_E_NO_SUPPORT;
        BYTE kind = 0;
        std::string user, guid;
        if (!ParseKey(folder, &kind, &user, &guid) || kind != kGuidKey)
            return MAPI_E_OBJECT_DELETED;
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        UserState* state = nullptr;
        HRESULT hr = State(user, &state);
        if (FAILED(hr))
            return hr;
        const MailboxStatusInfo* box = state->ByGuid(guid);
        if (box == nullptr)
            return MAPI_E_OBJECT_DELETED;
        std::string subject, body, headers;
        for (const SPropValue& v : values) {
            std::string text;
            if (!msgstore::StringOf(v, &text))
                continue;
            if (PROP_ID(v.ulPropTag) == PROP_ID(PR_SUBJECT))
                subject = text;
            else if (PROP_ID(v.ulPropTag) == PROP_ID(PR_BODY))
                body = text;
            else if (PROP_ID(v.ulPropTag) == PROP_ID(PR_TRANSPORT_MESSAGE_HEADERS))
                headers = text;
        }
        hr = client_.Save(user, box->name, Compose(headers, subject, body));
        if (FAILED(hr))
            return Failed(user, hr);
        ++generation_;
        return S_OK;
    }

    HRESULT DeleteMessages(const Key& folder, const std::vector<Key>& messages,
                           ULONG* missing) override {
        *missing = 0;
        BYTE kind = 0;
        std::string user, guid;
        if (!ParseKey(folder, &kind, &user, &guid) || kind != kGuidKey)
            return MAPI_E_OBJECT_DELETED;
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        Batch batch;
        std::vector<HRESULT> results(messages.size(), S_OK);
        for (std::size_t i = 0; i < messages.size(); ++i) {
            BYTE message_kind = 0;
            std::string message_user, rest;
            std::size_t colon = std::string::npos;
            if (!ParseKey(messages[i], &message_kind, &message_user, &rest) ||
                message_kind != kMessageKey || message_user != user ||
                (colon = rest.find(':')) == std::string::npos || rest.substr(0, colon) != guid) {
                ++*missing;
                continue;
            }
            batch.Expunge(user, {"mailbox-guid", guid, "uid", rest.substr(colon + 1)}, &results[i]);
        }
        if (batch.empty())
            return S_OK;
        HRESULT hr = client_.Execute(batch);
        if (FAILED(hr))
            return Failed(user, hr);
        for (HRESULT one : results)
            if (FAILED(one))
                return Failed(user, one);
        ++generation_;
        return S_OK;
    }

    // ---- Rules ----------------------------------------------------------------------------
    HRESULT RulesTable(const Key& folder, TableSpec* table) override {
        BYTE kind = 0;
        std::string user, rest;
        if (!ParseKey(folder, &kind, &user, &rest))
            return MAPI_E_INVALID_ENTRYID;
        std::shared_ptr<DovecotConnection> self = shared_from_this();
        table->load = [self, user](const SRestriction*, LPMAPITABLE* out) -> HRESULT {
            std::lock_guard<std::recursive_mutex> lock(self->mutex_);
            return self->RuleRows(user, out);
        };
        return S_OK;
    }

    HRESULT ModifyRules(const Key& folder, ULONG flags, const ROWLIST& rows) override {
        BYTE kind = 0;
        std::string user, rest;
        if (!ParseKey(folder, &kind, &user, &rest))
            return MAPI_E_OBJECT_DELETED;
        if (flags != 0)
            return MAPI_E_NO_SUPPORT;
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        UserState* state = nullptr;
        HRESULT hr = State(user, &state);
        if (FAILED(hr))
            return hr;
        SieveScript script(state->text);
        if (!script.complete())
            return MAPI_E_CORRUPT_DATA; // never write what cannot be read to its end
        bool changed = false;
        for (ULONG e = 0; e < rows.cEntries; ++e) {
            const ROWENTRY& entry = rows.aEntries[e];
            if (entry.cValues != 0 && entry.rgPropVals == nullptr)
                return MAPI_E_INVALID_PARAMETER;
            switch (entry.ulRowFlags) {
            case ROW_ADD:
                hr = AddRule(user, *state, entry, &script);
                break;
            case ROW_REMOVE: {
                const SPropValue* id = PpropFindProp(entry.rgPropVals, entry.cValues, PR_RULE_ID);
                if (id == nullptr)
                    return MAPI_E_INVALID_PARAMETER;
                hr = RemoveRule(id->Value.li, &script);
                break;
            }
            case ROW_EMPTY:
                continue;
            default:
                return MAPI_E_NO_SUPPORT;
            }
            if (FAILED(hr))
                return hr;
            changed = true;
        }
        if (!changed)
            return S_OK;
        return PutScript(user, state, script.text());
    }

private:
    static std::optional<std::string> Match(const std::vector<std::string>& users,
                                            const std::string& name) {
        for (const std::string& user : users)
            if (user == name)
                return user;
        for (const std::string& user : users)
            if (msgstore::EqualNoCase(user, name))
                return user;
        return std::nullopt;
    }

    msgstore::MailboxInfo InfoOf(const std::string& user) const {
        msgstore::MailboxInfo info;
        info.key = user;
        info.alias = user;
        info.display_name = user;
        info.dn = user;
        info.server_name = host_;
        info.server_dn = ServerDnOf(host_);
        return info;
    }

    HRESULT ListUsers(std::vector<std::string>* users) {
        HRESULT hr = client_.Users(users);
        if (FAILED(hr))
            return hr;
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->users = *users;
        return S_OK;
    }

    // A failed call about `user`: what was kept of the user may be stale.
    HRESULT Failed(const std::string& user, HRESULT hr) {
        states_.erase(user);
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->namespaces.erase(user);
        return hr;
    }

    // The user's state, read when this logon has not read it yet. The
    // caller holds the lock.
    HRESULT State(const std::string& user, UserState** out) {
        auto found = states_.find(user);
        if (found != states_.end()) {
            *out = &found->second;
            return S_OK;
        }
        UserState state;
        std::string guess;
        bool have_ns = false;
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            auto ns = shared_->namespaces.find(user);
            if (ns != shared_->namespaces.end()) {
                state.ns = ns->second;
                have_ns = true;
            }
            auto name = shared_->active_names.find(user);
            guess = name != shared_->active_names.end() ? name->second : kScriptName;
        }
        // The mailboxes, the scripts and (most likely) the active script's
        // text in one POST: three commands, each of which costs the server a
        // user lookup. The masks find every mailbox in the namespace layouts
        // handled here, whichever the user has.
        HRESULT status_hr = S_OK, list_hr = S_OK, get_hr = S_OK;
        std::string guessed_text;
        Batch batch;
        batch.MailboxStatus(user, kEveryMailboxMasks, &state.boxes, &status_hr);
        batch.SieveList(user, &state.scripts, &list_hr);
        batch.SieveGet(user, guess, &guessed_text, &get_hr);
        HRESULT hr = client_.Execute(batch);
        if (FAILED(hr))
            return Failed(user, hr);
        if (FAILED(status_hr))
            return Failed(user, status_hr);
        if (FAILED(list_hr))
            return Failed(user, list_hr);
        state.ns_known = have_ns;
        // Names that may hold a separator: the namespace decides where they
        // belong, so it is found out now (one more POST, once per process).
        if (state.Nested()) {
            hr = KnowNamespace(user, &state);
            if (FAILED(hr))
                return hr;
        }
        // mailboxStatus names INBOX for both masks when the prefix is empty.
        std::vector<MailboxStatusInfo> unique;
        std::set<std::string> seen;
        for (MailboxStatusInfo& box : state.boxes)
            if (seen.insert(box.guid).second)
                unique.push_back(std::move(box));
        state.boxes = std::move(unique);
        // A user whose INBOX was never opened has none in a listing; named
        // alone, it is opened and shows.
        if (state.ByName("INBOX") == nullptr) {
            std::vector<MailboxStatusInfo> inbox;
            hr = client_.MailboxStatus(user, {"INBOX"}, &inbox);
            if (FAILED(hr))
                return Failed(user, hr);
            state.boxes.insert(state.boxes.begin(), inbox.begin(), inbox.end());
        }
        for (const SieveScriptInfo& script : state.scripts)
            if (script.active)
                state.active = script.name;
        if (!state.active.empty()) {
            if (state.active == guess && SUCCEEDED(get_hr)) {
                state.text = std::move(guessed_text);
            } else {
                hr = client_.SieveGet(user, state.active, &state.text);
                if (FAILED(hr))
                    return Failed(user, hr);
            }
        }
        if (!state.active.empty()) {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->active_names[user] = state.active;
        }
        ++generation_;
        *out = &(states_[user] = std::move(state));
        return S_OK;
    }

    // Makes sure the user's namespace is known (inferred from one POST of
    // probes the first time this process sees the user), and keeps only the
    // namespace's own mailboxes (INBOX/x is a child of INBOX where the
    // prefix is empty, and in the namespace where it is INBOX/). A user
    // whose names hold no separator (most users on a first pass) is probed
    // with the names already read, which saves the server two listings.
    HRESULT KnowNamespace(const std::string& user, UserState* state) {
        if (!state->ns_known) {
            const bool nested = state->Nested();
            std::vector<std::string> flat;
            if (!nested)
                for (const MailboxStatusInfo& box : state->boxes)
                    flat.push_back(box.name);
            HRESULT hr = client_.Namespace(user, nested ? nullptr : &flat, &state->ns);
            if (hr == MAPI_E_NO_SUPPORT)
                SayOnce(client_.LastError());
            if (FAILED(hr))
                return Failed(user, hr);
            state->ns_known = true;
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->namespaces[user] = state->ns;
        }
        std::vector<MailboxStatusInfo> mine;
        for (MailboxStatusInfo& box : state->boxes)
            if (UserState::IsInbox(box.name) ||
                box.name.compare(0, state->ns.prefix.size(), state->ns.prefix) == 0)
                mine.push_back(std::move(box));
        state->boxes = std::move(mine);
        return S_OK;
    }

    void Describe(const std::string& user, const UserState& state, const MailboxStatusInfo& box,
                  FolderInfo* info) const {
        info->key = MakeKey(kGuidKey, user, box.guid);
        std::string parent = state.ParentName(box.name);
        const MailboxStatusInfo* up = parent.empty() ? nullptr : state.ByName(parent);
        info->parent =
            up != nullptr ? MakeKey(kGuidKey, user, up->guid) : MakeKey(kRootKey, user, "");
        info->root = false;
        info->name = state.Leaf(box.name);
        info->messages = static_cast<std::uint32_t>(box.messages);
        info->subfolders = false;
        for (const MailboxStatusInfo& other : state.boxes)
            info->subfolders = info->subfolders || state.ParentName(other.name) == box.name;
        info->owner = user;
    }

    static std::uint64_t FileTimeOf(const std::string& unix_seconds) {
        return msgstore::kUnixEpochAsFileTime +
               static_cast<std::uint64_t>(std::atoll(unix_seconds.c_str())) * 10000000ull;
    }

    // The search words for a restriction the server can answer: an upper
    // bound on the delivery time ("before" compares INTERNALDATE to the
    // second). Nothing for any other restriction: every message is fetched.
    static std::vector<std::string> PushedDown(const SRestriction* restriction) {
        if (restriction == nullptr || restriction->rt != RES_PROPERTY)
            return {};
        const SPropertyRestriction& p = restriction->res.resProperty;
        if (p.lpProp == nullptr || p.ulPropTag != PR_MESSAGE_DELIVERY_TIME ||
            PROP_TYPE(p.lpProp->ulPropTag) != PT_SYSTIME ||
            (p.relop != RELOP_LT && p.relop != RELOP_LE))
            return {};
        std::uint64_t cutoff = msgstore::FromFileTime(p.lpProp->Value.ft);
        if (cutoff <= msgstore::kUnixEpochAsFileTime)
            return {};
        // Messages received before the first whole second after the cutoff:
        // a superset of those the restriction keeps.
        std::uint64_t seconds = (cutoff - msgstore::kUnixEpochAsFileTime) / 10000000ull + 1;
        return {"before", std::to_string(seconds)};
    }

    HRESULT MessageRows(const Key& folder, const std::string& user, const std::string& guid,
                        const SRestriction* restriction, std::vector<PropBag>* bags) {
        std::vector<std::string> query{"mailbox-guid", guid};
        for (std::string& word : PushedDown(restriction))
            query.push_back(std::move(word));
        std::vector<FetchedMessage> found;
        HRESULT hr =
            client_.Fetch(user, {"uid", "date.received.unixtime", "hdr.subject"}, query, &found);
        if (hr == MAPI_E_NOT_FOUND)
            return MAPI_E_OBJECT_DELETED;
        if (FAILED(hr))
            return Failed(user, hr);
        std::vector<BYTE> parent =
            msgstore::MakeObjectEntryId(identity_, msgstore::EntryKind::Folder, folder);
        bags->resize(found.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            PropBag& bag = (*bags)[i];
            std::string uid;
            for (const auto& [field, value] : found[i]) {
                if (field == "uid")
                    uid = value;
                else if (field == "date.received.unixtime")
                    bag.Time(PR_MESSAGE_DELIVERY_TIME, FileTimeOf(value));
                else if (field == "hdr.subject")
                    bag.Str(PR_SUBJECT, value);
            }
            std::vector<BYTE> entry =
                msgstore::MakeObjectEntryId(identity_, msgstore::EntryKind::Message,
                                            MakeKey(kMessageKey, user, guid + ":" + uid));
            bag.Bin(PR_ENTRYID, entry);
            bag.Bin(PR_RECORD_KEY, entry);
            bag.Bin(PR_PARENT_ENTRYID, parent);
            bag.Long(PR_OBJECT_TYPE, MAPI_MESSAGE);
            bag.Str(PR_MESSAGE_CLASS, "IPM.Note");
        }
        return S_OK;
    }

    // RFC 5322 text of a message the agent writes (its report).
    std::string Compose(const std::string& headers, const std::string& subject,
                        const std::string& body) const {
        if (!headers.empty())
            return headers + (headers.back() == '\n' ? "" : "\n") + "\n" + body;
        std::time_t now = std::time(nullptr);
        std::tm tm{};
        gmtime_r(&now, &tm);
        char date[64];
        std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S +0000", &tm);
        bool ascii = true;
        for (unsigned char c : subject)
            ascii = ascii && c >= 0x20 && c < 0x7F;
        std::string shown = subject;
        if (!ascii) {
            static const char digits[] =
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
            std::string b64;
            for (std::size_t i = 0; i < subject.size(); i += 3) {
                unsigned v = static_cast<unsigned char>(subject[i]) << 16;
                if (i + 1 < subject.size())
                    v |= static_cast<unsigned char>(subject[i + 1]) << 8;
                if (i + 2 < subject.size())
                    v |= static_cast<unsigned char>(subject[i + 2]);
                b64 += digits[(v >> 18) & 63];
                b64 += digits[(v >> 12) & 63];
                b64 += i + 1 < subject.size() ? digits[(v >> 6) & 63] : '=';
                b64 += i + 2 < subject.size() ? digits[v & 63] : '=';
            }
            shown = "=?UTF-8?B?" + b64 + "?=";
        }
        return std::string("Date: ") + date + "\nFrom: Sortwell <postmaster@" + host_ +
               ">\nSubject: " + shown +
               "\nMIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n"
               "Content-Transfer-Encoding: 8bit\n\n" +
               body;
    }

    // A block's rule id: its text's hash, told apart from an identical
    // block before it by how many came first.
    static std::int64_t RuleId(const std::string& text, const SieveRule& rule,
                               std::map<std::uint64_t, int>* seen) {
        std::uint64_t h = Hash(std::string_view(text).substr(rule.offset, rule.length));
        int n = (*seen)[h]++;
        return static_cast<std::int64_t>(
            (h + static_cast<std::uint64_t>(n) * 0x9E3779B97F4A7C15ull) & 0x7FFFFFFFFFFFFFFFull);
    }

    HRESULT RuleRows(const std::string& user, LPMAPITABLE* out) {
        UserState* state = nullptr;
        HRESULT hr = State(user, &state);
        if (FAILED(hr))
            return hr;
        SieveScript script(state->text);
        LPVOID chain = nullptr;
        SCODE sc = MAPIAllocateBuffer(1, &chain);
        if (FAILED(sc))
            return sc;
        std::vector<PropBag> bags(script.rules().size());
        std::map<std::uint64_t, int> seen;
        std::vector<BYTE> store_id = msgstore::MakeStoreEntryId(
            identity_, 0, ServerDnOf(host_) + msgstore::kPrivateMdbSuffix, user);
        for (std::size_t i = 0; i < script.rules().size() && SUCCEEDED(hr); ++i) {
            const SieveRule& rule = script.rules()[i];
            PropBag& bag = bags[i];
            bag.I8(PR_RULE_ID, RuleId(script.text(), rule, &seen));
            bag.Long(PR_RULE_SEQUENCE, static_cast<LONG>(i + 1));
            bag.Long(PR_RULE_STATE, rule.enabled ? ST_ENABLED : ST_DISABLED);
            bag.Str(PR_RULE_PROVIDER, kRuleProvider);
            bag.Str(PR_RULE_NAME, rule.name);
            bag.Long(PR_RULE_LEVEL, 0);
            LPSRestriction condition = nullptr;
            hr = Condition(rule, chain, &condition);
            if (SUCCEEDED(hr))
                bag.Pointer(PR_RULE_CONDITION, condition);
            LPACTIONS actions = nullptr;
            if (SUCCEEDED(hr))
                hr = Actions(user, *state, rule, store_id, chain, &actions);
            if (SUCCEEDED(hr))
                bag.Pointer(PR_RULE_ACTIONS, actions);
        }
        if (SUCCEEDED(hr))
            hr = msgstore::TableFromBags(bags, out);
        MAPIFreeBuffer(chain);
        return hr;
    }

    template <typename T>
    static SCODE Allocate(LPVOID chain, T** out, std::size_t size = sizeof(T)) {
        LPVOID block = nullptr;
        SCODE sc = MAPIAllocateMore(static_cast<ULONG>(size), chain, &block);
        if (FAILED(sc))
            return sc;
        std::memset(block, 0, size);
        *out = static_cast<T*>(block);
        return S_OK;
    }

    static SCODE Text(LPVOID chain, const std::string& text, char** out) {
        SCODE sc = Allocate(chain, out, text.size() + 1);
        if (SUCCEEDED(sc))
            std::memcpy(*out, text.c_str(), text.size() + 1);
        return sc;
    }

    // The header test as the headers containing "Name: value", as the agent
    // writes its condition; any other test as a comment holding its text
    // (no message property could stand for it).
    static HRESULT Condition(const SieveRule& rule, LPVOID chain, LPSRestriction* out) {
        LPSRestriction r = nullptr;
        SCODE sc = Allocate(chain, &r);
        if (FAILED(sc))
            return sc;
        LPSPropValue value = nullptr;
        if (FAILED(sc = Allocate(chain, &value)))
            return sc;
        if (rule.header) {
            r->rt = RES_CONTENT;
            r->res.resContent.ulFuzzyLevel = FL_SUBSTRING | FL_IGNORECASE | FL_LOOSE;
            r->res.resContent.ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
            r->res.resContent.lpProp = value;
            value->ulPropTag = PR_TRANSPORT_MESSAGE_HEADERS;
            sc = Text(chain, rule.header->header + ": " + rule.header->value, &value->Value.lpszA);
        } else {
            r->rt = RES_COMMENT;
            r->res.resComment.cValues = 1;
            r->res.resComment.lpProp = value;
            r->res.resComment.lpRes = nullptr;
            value->ulPropTag = PR_SUBJECT;
            sc = Text(chain, rule.test, &value->Value.lpszA);
        }
        if (FAILED(sc))
            return sc;
        *out = r;
        return S_OK;
    }

    // A fileinto as a move to the folder's entry identifier: of its
    // mailbox's GUID, or, when no mailbox has the name, one that opens
    // nothing.
    HRESULT Actions(const std::string& user, const UserState& state, const SieveRule& rule,
                    const std::vector<BYTE>& store_id, LPVOID chain, LPACTIONS* out) const {
        LPACTIONS actions = nullptr;
        SCODE sc = Allocate(chain, &actions);
        if (FAILED(sc))
            return sc;
        actions->ulVersion = EDK_RULES_VERSION;
        if (rule.fileinto) {
            LPACTION action = nullptr;
            if (FAILED(sc = Allocate(chain, &action)))
                return sc;
            action->acttype = OP_MOVE;
            const MailboxStatusInfo* box = state.ByName(*rule.fileinto);
            Key key = box != nullptr ? MakeKey(kGuidKey, user, box->guid)
                                     : MakeKey(kNameKey, user, *rule.fileinto);
            std::vector<BYTE> folder_id =
                msgstore::MakeObjectEntryId(identity_, msgstore::EntryKind::Folder, key);
            BYTE* bytes = nullptr;
            if (FAILED(sc = Allocate(chain, &bytes, folder_id.size())))
                return sc;
            std::memcpy(bytes, folder_id.data(), folder_id.size());
            action->actMoveCopy.cbFldEntryId = static_cast<ULONG>(folder_id.size());
            action->actMoveCopy.lpFldEntryId = reinterpret_cast<LPENTRYID>(bytes);
            if (FAILED(sc = Allocate(chain, &bytes, store_id.size())))
                return sc;
            std::memcpy(bytes, store_id.data(), store_id.size());
            action->actMoveCopy.cbStoreEntryId = static_cast<ULONG>(store_id.size());
            action->actMoveCopy.lpStoreEntryId = reinterpret_cast<LPENTRYID>(bytes);
            actions->cActions = 1;
            actions->lpAction = action;
        }
        *out = actions;
        return S_OK;
    }

    // Adds the block a ROW_ADD entry describes: its name, state, the header
    // test its condition stands for, and the mailbox its move goes to.
    HRESULT AddRule(const std::string& user, const UserState& state, const ROWENTRY& entry,
                    SieveScript* script) {
        std::string name;
        bool enabled = true;
        std::optional<HeaderTest> test;
        std::optional<std::string> mailbox;
        for (ULONG i = 0; i < entry.cValues; ++i) {
            const SPropValue& v = entry.rgPropVals[i];
            switch (PROP_ID(v.ulPropTag)) {
            case PROP_ID(PR_RULE_NAME):
                if (!msgstore::StringOf(v, &name))
                    return MAPI_E_INVALID_PARAMETER;
                break;
            case PROP_ID(PR_RULE_STATE):
                if (PROP_TYPE(v.ulPropTag) != PT_LONG)
                    return MAPI_E_INVALID_TYPE;
                enabled = (v.Value.l & ST_ENABLED) != 0;
                break;
            case PROP_ID(PR_RULE_CONDITION): {
                if (PROP_TYPE(v.ulPropTag) != PT_SRESTRICTION || v.Value.lpv == nullptr)
                    return MAPI_E_INVALID_TYPE;
                HRESULT hr = TestOf(*static_cast<const SRestriction*>(v.Value.lpv), &test);
                if (FAILED(hr))
                    return hr;
                break;
            }
            case PROP_ID(PR_RULE_ACTIONS): {
                if (PROP_TYPE(v.ulPropTag) != PT_ACTIONS || v.Value.lpv == nullptr)
                    return MAPI_E_INVALID_TYPE;
                HRESULT hr =
                    TargetOf(user, state, *static_cast<const ACTIONS*>(v.Value.lpv), &mailbox);
                if (FAILED(hr))
                    return hr;
                break;
            }
            default:
                break;
            }
        }
        // Sieve has no rule without a test or without a mailbox to file into
        // that the agent would write.
        if (name.empty() || !test || !mailbox)
            return MAPI_E_NO_SUPPORT;
        return script->AddRule(name, *test, *mailbox, enabled, RulePlace::Last);
    }

    static HRESULT TestOf(const SRestriction& r, std::optional<HeaderTest>* test) {
        if (r.rt != RES_CONTENT || r.res.resContent.lpProp == nullptr)
            return MAPI_E_NO_SUPPORT;
        std::string marker;
        if (!msgstore::StringOf(*r.res.resContent.lpProp, &marker))
            return MAPI_E_INVALID_PARAMETER;
        ULONG id = PROP_ID(r.res.resContent.ulPropTag);
        if (id == PROP_ID(PR_SUBJECT)) {
            *test = HeaderTest{"Subject", marker};
            return S_OK;
        }
        if (id != PROP_ID(PR_TRANSPORT_MESSAGE_HEADERS))
            return MAPI_E_NO_SUPPORT;
        std::string why;
        *test = HeaderTestFromMarker(marker, &why);
        if (!*test) {
            SayOnce("the Dovecot backend writes no rule for the marker \"" + marker + "\": " + why +
                    "; give \"Spam SubString\" the form \"Name: value\"");
            return MAPI_E_NO_SUPPORT;
        }
        return S_OK;
    }

    HRESULT TargetOf(const std::string& user, const UserState& state, const ACTIONS& actions,
                     std::optional<std::string>* mailbox) const {
        if (actions.cActions == 0 || actions.lpAction == nullptr)
            return S_OK;
        const ACTION& a = actions.lpAction[0];
        if (a.acttype != OP_MOVE && a.acttype != OP_COPY)
            return MAPI_E_NO_SUPPORT;
        msgstore::EntryIdParts parts;
        HRESULT hr = msgstore::ParseEntryId(identity_, a.actMoveCopy.lpFldEntryId,
                                            a.actMoveCopy.cbFldEntryId, &parts);
        if (FAILED(hr))
            return hr;
        BYTE kind = 0;
        std::string owner, guid;
        if (parts.kind != msgstore::EntryKind::Folder ||
            !ParseKey(parts.key, &kind, &owner, &guid) || kind != kGuidKey || owner != user)
            return MAPI_E_NOT_FOUND;
        const MailboxStatusInfo* box = state.ByGuid(guid);
        if (box == nullptr)
            return MAPI_E_NOT_FOUND;
        *mailbox = box->name;
        return S_OK;
    }

    static HRESULT RemoveRule(std::int64_t id, SieveScript* script) {
        std::map<std::uint64_t, int> seen;
        for (const SieveRule& rule : script->rules()) {
            if (RuleId(script->text(), rule, &seen) != id)
                continue;
            std::string text = script->text();
            text.erase(rule.offset, rule.length);
            *script = SieveScript(std::move(text));
            return S_OK;
        }
        return MAPI_E_NOT_FOUND;
    }

    // Replaces the active script whole (a script that does not compile is
    // refused by the server and the old one stays active), or makes and
    // activates one when the user has none.
    HRESULT PutScript(const std::string& user, UserState* state, const std::string& text) {
        std::string name = state->active;
        if (name.empty()) {
            name = kScriptName;
            for (int n = 2;; ++n) {
                bool taken = false;
                for (const SieveScriptInfo& script : state->scripts)
                    taken = taken || script.name == name;
                if (!taken)
                    break;
                name = std::string(kScriptName) + "-" + std::to_string(n);
            }
        }
        HRESULT hr = client_.SievePut(user, name, text, state->active.empty());
        if (FAILED(hr))
            return Failed(user, hr);
        if (state->active.empty()) {
            state->scripts.push_back({name, true});
            state->active = name;
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->active_names[user] = name;
        }
        state->text = text;
        ++generation_;
        return S_OK;
    }

    Client client_;
    std::shared_ptr<Shared> shared_;
    BYTE identity_[16] = {};
    std::string host_;
    std::recursive_mutex mutex_;
    std::map<std::string, UserState> states_;
    std::int64_t generation_ = 0;
};

class DovecotBackend final : public msgstore::Backend {
public:
    DovecotBackend(ClientOptions options, std::shared_ptr<Shared> shared, const BYTE* identity)
        : options_(std::move(options)), shared_(std::move(shared)) {
        std::memcpy(identity_, identity, sizeof identity_);
    }
    HRESULT Connect(std::shared_ptr<msgstore::Connection>* connection) override {
        try {
            *connection = std::make_shared<DovecotConnection>(options_, shared_, identity_);
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        return S_OK;
    }

private:
    ClientOptions options_;
    std::shared_ptr<Shared> shared_;
    BYTE identity_[16] = {};
};

// The marker the agent's rule will look for, as its settings name it: Sieve
// tests one header at a time, so a marker that is not "Name: value" has no
// rule this backend could write without matching something else. It is
// refused at the agent's start (the profile's configuration fails), with
// one line saying why, rather than in every mailbox. S_OK when the settings
// name no marker (the agent refuses to start without one anyway).
HRESULT CheckMarker(std::string* error) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Altavane\\Sortwell", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return S_OK;
    char16_t text[1024] = {};
    DWORD type = 0;
    DWORD size = sizeof text - sizeof(char16_t);
    LONG status = RegQueryValueExW(key, u"Spam SubString", nullptr, &type,
                                   reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return S_OK;
    const std::string marker = msgstore::Utf8Of(text);
    std::string why;
    if (HeaderTestFromMarker(marker, &why))
        return S_OK;
    *error = "the Dovecot backend cannot keep a rule for the marker \"" + marker + "\": " + why +
             "; give \"Spam SubString\" the form \"Name: value\" (for example \"X-Spam-Flag: "
             "YES\")";
    return MAPI_E_NO_SUPPORT;
}

HRESULT OpenDovecot(const std::string& location, HRESULT when_missing,
                    std::shared_ptr<msgstore::Backend>* backend, std::string* error) {
    if (HRESULT hr = CheckMarker(error); FAILED(hr)) {
        SayOnce(*error);
        return hr;
    }
    Location parsed;
    HRESULT hr = ParseLocation(location, &parsed, error);
    if (FAILED(hr)) {
        SayOnce(*error);
        return when_missing;
    }
    std::string warning = EndpointWarning(parsed);
    if (!warning.empty())
        SayOnce(warning);
    ClientOptions options;
    options.base_url = parsed.base_url;
    hr = ReadApiKey(KeyFilePath(), &options.api_key, error);
    if (FAILED(hr)) {
        SayOnce(*error);
        return hr;
    }
    // The identity in every entry identifier: the endpoint's, so that an
    // identifier of another server is refused.
    BYTE identity[16];
    std::uint64_t a = Hash(parsed.base_url);
    std::uint64_t b = Hash(parsed.base_url, a ^ 0x5bd1e9955bd1e995ull);
    for (int i = 0; i < 8; ++i) {
        identity[i] = static_cast<BYTE>(a >> (8 * i));
        identity[8 + i] = static_cast<BYTE>(b >> (8 * i));
    }
    try {
        *backend = std::make_shared<DovecotBackend>(std::move(options), SharedFor(parsed.base_url),
                                                    identity);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    return S_OK;
}

struct Registrar {
    Registrar() { msgstore::RegisterBackend(kLocationScheme, &OpenDovecot, nullptr); }
} registrar;

} // namespace
} // namespace dovecot

// The symbol the library's link option refers to, so that this object file
// (and with it the registrar above) is part of every program that links
// sw_dovecot.
extern "C" {
extern const int sortwell_dovecot_registrar_anchor;
const int sortwell_dovecot_registrar_anchor = 1;
}
