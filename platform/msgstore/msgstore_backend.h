// The storage seam below the store's MAPI objects.
//
// The MAPI objects a logon hands out (message stores, the administrative
// interface, folders, messages, the rules object and their tables) exist
// once, in msgstore_objects.cpp, with every MAPI rule they follow: access
// flags and MAPI_E_NO_ACCESS, the fault gate at the start of each operation,
// the live-object count, entry identifiers, the generic table with its
// restriction evaluator, and property answers. Below them sits one backend
// per kind of storage, reached through the interface here:
//
//   Backend     one per process and store location, shared by every session;
//               hands out Connections
//   Connection  one per MAPI session (a worker's logon): the calls below,
//               grouped by object family, each made by one thread at a time
//
// A backend names its folders and messages by opaque keys (bytes only it
// reads); the objects wrap them into entry identifiers together with the
// backend's 16-byte identity, so an identifier of another store is refused
// before the backend sees it. Results are HRESULTs; nothing throws out of a
// backend.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mailstore/mapix.h"

namespace msgstore {

// A folder's or message's key, meaningful only to the backend that made it.
using Key = std::vector<BYTE>;

// The DN of a server's private store is the server's DN and this.
constexpr const char* kPrivateMdbSuffix = "/cn=Microsoft Private MDB";

// ---- Organisation and mailboxes ---------------------------------------------------
struct ServerInfo {
    std::string name;
    std::string dn;
};

struct MailboxInfo {
    std::string key;          // what the backend knows it by (FolderInfo::owner)
    std::string alias;        // what faults and listings name it by
    std::string display_name; // "Mailbox - <display name>" is its store's name
    std::string dn;           // the address (PR_EMAIL_ADDRESS) the agent logs on with
    std::string server_name;
    std::string server_dn;
    // The DN of the private store holding the mailbox.
    std::string StoreDn() const { return server_dn + kPrivateMdbSuffix; }
};

// ---- Folders ----------------------------------------------------------------------
enum class FolderRole {
    Root,  // the store's root folder (a null entry identifier opens it)
    Top,   // the top of the user's folders (PR_IPM_SUBTREE_ENTRYID)
    Inbox, // the receive folder of every message class
};

struct FolderInfo {
    Key key;
    Key parent; // empty for the root
    bool root = false;
    std::string name; // UTF-8
    std::uint32_t messages = 0;
    bool subfolders = false;
    std::string owner; // the key of the mailbox that holds it
};

// ---- Tables -------------------------------------------------------------------------
// Loads a table's rows into a new generic table (MAPICreateRowTable or
// MAPICreateSourceTable). `restriction` is the restriction the caller set
// (null when none), for a backend that takes it itself (TableSpec); such a
// backend may return rows that do not match, since the generic evaluator is
// applied to every row it returns, but must not leave out a row that does.
using TableLoader = std::function<HRESULT(const SRestriction* restriction, LPMAPITABLE* rows)>;

struct TableSpec {
    TableLoader load;
    // The backend answers the restriction itself: the rows are loaded when
    // the table is first read, after any Restrict, rather than when it is
    // opened (a remote store would otherwise ship every row first).
    bool takes_restriction = false;
};

// A stamp that changes whenever what a table shows may have changed; open
// table views reload when it differs from the one taken at their load.
using ChangeStamp = std::pair<std::int64_t, std::int64_t>;

class Connection {
public:
    virtual ~Connection() = default;

    // ---- The backend and this connection ----------------------------------------------
    // The 16 bytes in every entry identifier this backend's objects hand out.
    virtual const BYTE* Identity() const = 0;
    // Every connection may be reached from several threads (objects of a
    // session handed between threads); the backend serialises its calls.

    // ---- Faults -----------------------------------------------------------------------
    // S_OK, or the result a fault prescribes for `operation` (named
    // "Interface::Method") on the mailbox (alias and DN; both empty for no
    // mailbox). A warning lets the operation run and is returned in place of
    // S_OK; a failure is returned at once and nothing is done.
    virtual HRESULT CheckFault(const char* operation, const std::string& alias,
                               const std::string& dn) = 0;

    // ---- Change detection -------------------------------------------------------------
    virtual ChangeStamp Stamp() = 0;

    // ---- Organisation and mailboxes -------------------------------------------------
    // By name or DN; MAPI_E_NOT_FOUND when unknown.
    virtual HRESULT FindServer(const std::string& name_or_dn, ServerInfo* server) = 0;
    // By alias or DN, without regard to case; MAPI_E_NOT_FOUND when unknown.
    virtual HRESULT FindMailbox(const std::string& alias_or_dn, MailboxInfo* mailbox) = 0;
    // By MailboxInfo::key; MAPI_E_NOT_FOUND when unknown.
    virtual HRESULT FindMailboxByKey(const std::string& key, MailboxInfo* mailbox) = 0;
    // The mailbox table of `server`: one row per mailbox with
    // PR_EMAIL_ADDRESS_A, PR_DISPLAY_NAME and PR_ENTRYID (of its store, see
    // MakeStoreEntryId), the first two by default.
    virtual HRESULT MailboxTable(const ServerInfo& server, TableSpec* table) = 0;
    // A logon to `mailbox`'s store begins: what the backend remembers of the
    // mailbox from an earlier logon is to be read anew.
    virtual void BeginLogon(const MailboxInfo& mailbox) { (void)mailbox; }

    // ---- Folders ----------------------------------------------------------------------
    virtual HRESULT SpecialFolder(const MailboxInfo& mailbox, FolderRole role, Key* folder) = 0;
    // MAPI_E_NOT_FOUND when the folder is gone; MAPI_E_INVALID_ENTRYID for a
    // key this backend never makes.
    virtual HRESULT GetFolder(const Key& folder, FolderInfo* info) = 0;
    // Direct children, in the order the store keeps them.
    virtual HRESULT ChildFolders(const Key& parent, std::vector<FolderInfo>* children) = 0;
    // Creates a child of `parent`. A child of the same name in any case is
    // given back instead when `open_if_exists`, else MAPI_E_COLLISION;
    // MAPI_E_OBJECT_DELETED when the parent is gone.
    virtual HRESULT CreateFolder(const Key& parent, const std::string& name,
                                 const std::string& comment, bool open_if_exists, Key* folder) = 0;
    // MAPI_E_COLLISION when a sibling has the name; MAPI_E_OBJECT_DELETED
    // when the folder is gone.
    virtual HRESULT RenameFolder(const Key& folder, const std::string& name) = 0;

    // ---- Messages ----------------------------------------------------------------------
    // The contents table: PR_ENTRYID, PR_RECORD_KEY, PR_PARENT_ENTRYID,
    // PR_OBJECT_TYPE, and PR_MESSAGE_DELIVERY_TIME, PR_SUBJECT and
    // PR_MESSAGE_CLASS where known. `associated`: the hidden contents.
    virtual HRESULT ContentsTable(const Key& folder, bool associated, TableSpec* table) = 0;
    // A message's folder and its properties, the values allocated on
    // `chain` (MAPIAllocateMore).
    virtual HRESULT LoadMessage(const Key& message, LPVOID chain, Key* folder,
                                std::vector<SPropValue>* values) = 0;
    // Stores a message (`message` empty: a new one, whose key comes back
    // there) with exactly `values`. MAPI_E_OBJECT_DELETED when the folder
    // is gone.
    virtual HRESULT SaveMessage(const Key& folder, const std::vector<SPropValue>& values,
                                Key* message) = 0;
    // Whether the backend can keep `value` on a message (SetProps refuses
    // the others with MAPI_E_INVALID_TYPE).
    virtual bool Storable(const SPropValue& value) {
        (void)value;
        return true;
    }
    // Deletes the messages of `folder` named in `messages` together;
    // `missing` counts those that are not in the folder (any more).
    virtual HRESULT DeleteMessages(const Key& folder, const std::vector<Key>& messages,
                                   ULONG* missing) = 0;

    // ---- Rules --------------------------------------------------------------------------
    // The rules table of `folder`: every rule with the properties the rule
    // has (PR_RULE_ID among them).
    virtual HRESULT RulesTable(const Key& folder, TableSpec* table) = 0;
    // Applies the row list (ROW_ADD, ROW_MODIFY, ROW_REMOVE, ROW_EMPTY; with
    // ROWLIST_REPLACE every rule goes first) to `folder`'s rules: all
    // entries or none. MAPI_E_OBJECT_DELETED when the folder is gone.
    virtual HRESULT ModifyRules(const Key& folder, ULONG flags, const ROWLIST& rows) = 0;
};

// ---- Backends ------------------------------------------------------------------------
class Backend {
public:
    virtual ~Backend() = default;
    // A connection for one session.
    virtual HRESULT Connect(std::shared_ptr<Connection>* connection) = 0;
};

// Opens the backend for a store location. `when_missing` is the result for
// a location where there is no store at all (the caller's to choose:
// configuration and logon fail differently); other failures as they come.
// `error` gets one line for the operator.
using BackendOpener = HRESULT (*)(const std::string& location, HRESULT when_missing,
                                  std::shared_ptr<Backend>* backend, std::string* error);

// The result a fault prescribes for one of the MAPI runtime's own profile
// operations (no mailbox) on the store at `location`, found out without
// waiting for anything: S_OK when there is none or the store cannot tell.
using ProfileFaultProbe = HRESULT (*)(const std::string& location, const char* operation);

// Registers the backend for locations that start with `scheme` ("" for the
// default: every location no scheme claims). A later registration of the
// same scheme replaces the earlier one. `probe` may be null.
void RegisterBackend(const char* scheme, BackendOpener opener, ProfileFaultProbe probe);
// The backend for `location`, opened by the opener its scheme chose.
HRESULT OpenBackend(const std::string& location, HRESULT when_missing,
                    std::shared_ptr<Backend>* backend, std::string* error);

// ---- The store location -------------------------------------------------------------
// The location used when nothing else names one.
constexpr const char* kDefaultStoreLocation = "/var/lib/sortwell/infostore.db";
// The store that MAPI logons and profile configuration use: the process-wide
// override if one is set, else the SORTWELL_INFOSTORE environment variable
// when it is set and not empty, else the default.
std::string StoreLocation();
// Sets (or, with an empty text, clears) the process-wide override; safe to
// call while other threads log on.
void SetStoreLocationOverride(const std::string& location);

// Registers the "MSEMS" message service with the MAPI runtime (idempotent).
void RegisterMsgService();

} // namespace msgstore
