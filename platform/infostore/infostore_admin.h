// Administration of the embedded information store.
//
// The store is one SQLite database file. It holds the organisation (servers
// and the mailboxes homed on them), every mailbox's folders and messages, the
// rules of each folder, and the fault table. The MAPI side of the store (the
// "MSEMS" message service) and this administration interface work on the
// same file; both may be used at the same time from several threads and
// processes.
//
// This interface is what `sortwell-store` and the tests use to build a store
// and to put mailboxes into the states the agent has to deal with. Every
// operation returns an HRESULT (S_OK, or a MAPI failure code) and never
// throws; on failure LastError() holds one line naming the problem, suitable
// for showing to a user as it is.
//
// Names used throughout:
// - A server DN is  /o=ORG/ou=SITE/cn=Configuration/cn=Servers/cn=NAME.
// - A mailbox DN is /o=ORG/ou=SITE/cn=Recipients/cn=ALIAS; it is the mailbox's
//   PR_EMAIL_ADDRESS. A server's private store DN is its DN followed by
//   "/cn=Microsoft Private MDB".
// - A mailbox is named by its alias or its DN, compared without regard to
//   case.
// - A folder path is relative to the mailbox's top folder ("Top of
//   Information Store"): "Inbox", "Spam", "Inbox/Lists". Components are
//   separated by '/' and compared without regard to case. The path "/" names
//   the top folder itself.
// - Times are FILETIME values as one unsigned 64-bit number: 100-nanosecond
//   units since 1 January 1601 UTC. "Now" is the runtime clock
//   (VTXPR_TimeNs), so tests that install a clock see it here too.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mailstore/mapidefs.h"

namespace infostore {

// ---- Where the store lives -----------------------------------------------------
// The path used when nothing else names one.
constexpr const char* kDefaultStorePath = "/var/lib/sortwell/infostore.db";
// The store file that MAPI logons and profile configuration use: the
// process-wide override if one is set, else the SORTWELL_INFOSTORE
// environment variable when it is set and not empty, else the default.
std::string StorePath();
// Sets (or, with an empty path, clears) the process-wide override. Meant for
// tests that run stores of their own in one process; safe to call while
// other threads log on.
void SetStorePathOverride(const std::string& path);

// Makes sure the "MSEMS" message service is registered with the MAPI
// runtime. Linking sw_infostore already registers it before main() runs
// (the library forces its registrar into every program that links it); this
// call is for programs that want to be explicit. Idempotent and thread-safe.
void RegisterMsgService();

// ---- What the store holds, as the administration interface reports it -------------
struct ServerInfo {
    std::int64_t id = 0;
    std::string name;
    std::string dn;
};

struct MailboxInfo {
    std::int64_t id = 0;
    std::string alias;
    std::string display_name;
    std::string dn; // PR_EMAIL_ADDRESS
    std::string server_name;
    std::string server_dn;
};

// Folder kinds.
enum class FolderKind { Root, IpmSubtree, Inbox, User };

struct FolderInfo {
    std::int64_t id = 0;
    FolderKind kind = FolderKind::User;
    std::string name;           // display name ("" for the root)
    std::string path;           // as described above; "/" for the top folder
    std::vector<BYTE> entry_id; // PR_ENTRYID, as MAPI hands it out
    std::uint32_t message_count = 0;
    std::uint32_t subfolder_count = 0;
};

struct MessageInfo {
    std::int64_t id = 0;
    std::string folder_path;
    std::vector<BYTE> entry_id;
    std::optional<std::uint64_t> delivery_time; // PR_MESSAGE_DELIVERY_TIME
    std::string subject;                        // PR_SUBJECT ("" when none)
    std::string headers;                        // PR_TRANSPORT_MESSAGE_HEADERS
    std::string body;                           // PR_BODY
    std::string message_class;                  // PR_MESSAGE_CLASS
};

// A rule row as it is stored. Every property may be missing, as in a row
// written by another provider; a missing property is also missing from the
// rules table that MAPI shows (SetColumns then gives PT_ERROR for it).
struct RuleProps {
    std::optional<std::int32_t> sequence;           // PR_RULE_SEQUENCE
    std::optional<std::int32_t> state;              // PR_RULE_STATE
    std::optional<std::int32_t> level;              // PR_RULE_LEVEL
    std::optional<std::int32_t> user_flags;         // PR_RULE_USER_FLAGS
    std::optional<std::string> provider;            // PR_RULE_PROVIDER
    std::optional<std::string> name;                // PR_RULE_NAME (UTF-8)
    std::optional<std::vector<BYTE>> provider_data; // PR_RULE_PROVIDER_DATA
};

// A rule to add: its plain properties, its condition and its actions.
struct RuleSpec : RuleProps {
    // The condition and the actions as MAPI structures (deep-copied when the
    // rule is added; not owned). Null: the property is missing, unless the
    // raw form below is given.
    const SRestriction* condition = nullptr;
    const ACTIONS* actions = nullptr;
    // Stored bytes of the condition or the actions, written as they are
    // (used to put damaged data into a store). Take precedence over the
    // structures above.
    std::optional<std::vector<BYTE>> raw_condition;
    std::optional<std::vector<BYTE>> raw_actions;
};

// A rule as listed.
struct RuleInfo : RuleProps {
    std::int64_t id = 0; // PR_RULE_ID
    bool has_condition = false;
    bool has_actions = false;
    // Readable forms of the condition and the actions, e.g.
    //   content(PR_TRANSPORT_MESSAGE_HEADERS, substring|ignorecase|loose, "X-Spam")
    //   move(Spam)   move(<missing folder>)
    // "<corrupt: ...>" when the stored bytes do not decode.
    std::string condition_text;
    std::string actions_text;
    // For the first OP_MOVE or OP_COPY action: the target folder's path when
    // it names a folder of this mailbox that exists.
    std::optional<std::string> move_target;
};

// Faults make the named operation return `hr` for the mailbox (its alias or
// DN, or "*" for every mailbox). A failure code makes the operation fail
// without doing anything; a warning (a positive code, such as
// MAPI_W_ERRORS_RETURNED) lets it do its work and return the warning; S_OK,
// allowed only with a delay, makes a slow call that succeeds. `times` is how
// many calls it hits; -1 means every call. The first `after` calls pass
// untouched (the engine's own logon before the workers', say), and each hit
// waits `delay_ms` milliseconds before the operation goes on.
struct FaultSpec {
    std::string operation; // e.g. "IMAPIFolder::CreateFolder"
    std::string mailbox = "*";
    HRESULT hr = E_FAIL;
    std::int32_t times = -1;
    std::int32_t after = 0;
    std::int32_t delay_ms = 0;
};

// The longest delay a fault may have.
constexpr std::int32_t kMaxFaultDelayMs = 600000;

struct FaultInfo {
    std::int64_t id = 0;
    std::string operation;
    std::string mailbox;
    HRESULT hr = S_OK;
    std::int32_t remaining = -1; // -1 always; 0 used up
    std::int32_t after = 0;      // calls still to pass before the first hit
    std::int32_t delay_ms = 0;
};

// Every operation name that a fault can be set on.
const std::vector<std::string>& FaultOperations();

// How a message is delivered.
struct DeliveryOptions {
    // The delivery time; when missing, now minus `age_days` (0 when missing).
    std::optional<std::uint64_t> delivery_time;
    double age_days = 0.0;
    // Apply the Inbox's enabled rules (the normal case); false files the
    // message in the Inbox, or in `folder_path` when given, untouched.
    bool apply_rules = true;
    std::string folder_path; // only with apply_rules == false
};

struct DeliveryResult {
    std::int64_t message_id = 0;
    std::string folder_path;             // where the message ended up
    std::optional<std::int64_t> rule_id; // the rule that moved it, if any
};

// The demo organisation: one server and a few mailboxes with some mail.
struct DemoOptions {
    std::string server;          // empty: this host's name
    std::uint32_t mailboxes = 5; // alias user1..userN
};

// One open store file. Not thread-safe: use one Admin per thread (several
// may be open on the same file at once, also next to MAPI sessions).
class Admin {
public:
    ~Admin();
    Admin(const Admin&) = delete;
    Admin& operator=(const Admin&) = delete;

    // Creates a new, empty store file. An existing file is refused
    // (MAPI_E_COLLISION); a directory that cannot be written gives
    // MAPI_E_NO_ACCESS. `org` and `site` form the DNs of everything the
    // store will hold.
    static HRESULT Create(const std::string& path, const std::string& org, const std::string& site,
                          std::unique_ptr<Admin>* admin);
    // Opens an existing store file: a missing file gives MAPI_E_NOT_FOUND, a
    // file that is not a store (or is damaged) MAPI_E_CORRUPT_STORE.
    // Create and Open hand out an object also when they fail, so that its
    // LastError() can be read; its other operations then fail.
    static HRESULT Open(const std::string& path, std::unique_ptr<Admin>* admin);
    // The last failure's description; empty after a success.
    const std::string& LastError() const { return error_; }
    const std::string& Path() const { return path_; }

    // ---- Organisation ----------------------------------------------------------------
    // Adds a server (a duplicate name gives MAPI_E_COLLISION).
    HRESULT AddServer(const std::string& name, ServerInfo* info = nullptr);
    HRESULT ListServers(std::vector<ServerInfo>* servers);
    // Adds a mailbox with its folders (root, top folder, Inbox, Outbox, Sent
    // Items, Deleted Items, Drafts). An empty server picks the store's only
    // server (an error when there are several or none); an empty display name
    // is the alias. A duplicate alias gives MAPI_E_COLLISION.
    HRESULT AddMailbox(const std::string& alias, const std::string& server,
                       const std::string& display_name, MailboxInfo* info = nullptr);
    // Adds `count` mailboxes PREFIX1..PREFIXcount (numbers continue after the
    // highest existing one of the prefix) in one transaction.
    HRESULT AddMailboxes(std::uint32_t count, const std::string& prefix, const std::string& server);
    HRESULT FindMailbox(const std::string& alias_or_dn, MailboxInfo* info);
    // Mailboxes in creation order; an empty server lists every server's.
    HRESULT ListMailboxes(const std::string& server, std::vector<MailboxInfo>* mailboxes);

    // ---- Folders and messages ----------------------------------------------------------
    // Every folder below the root (the top folder first, then depth first in
    // creation order).
    HRESULT ListFolders(const std::string& mailbox, std::vector<FolderInfo>* folders);
    // One folder by path (MAPI_E_NOT_FOUND when there is none).
    HRESULT FindFolder(const std::string& mailbox, const std::string& path, FolderInfo* info);
    // The PR_ENTRYID of the mailbox's store, as a rule's OP_MOVE action
    // carries it.
    HRESULT StoreEntryId(const std::string& mailbox, std::vector<BYTE>* entry_id);
    // Creates the folder named by the last component of `path` inside the
    // existing folder the rest names. An existing folder of the name gives
    // MAPI_E_COLLISION.
    HRESULT CreateFolder(const std::string& mailbox, const std::string& path,
                         FolderInfo* info = nullptr);
    // Deletes a folder with its subfolders, messages and rules. The root
    // cannot be deleted; the top folder and the Inbox can (a mailbox in that
    // state is what some tests need).
    HRESULT DeleteFolder(const std::string& mailbox, const std::string& path);
    // Messages of one folder (an empty path: of every folder), in the order
    // they were stored.
    HRESULT ListMessages(const std::string& mailbox, const std::string& path,
                         std::vector<MessageInfo>* messages);
    // Delivers an RFC 5322 message (header block, empty line, body; LF or CRLF
    // line ends) as the server would: PR_TRANSPORT_MESSAGE_HEADERS is the
    // header block, PR_SUBJECT the unfolded Subject field, PR_BODY the rest.
    HRESULT Deliver(const std::string& mailbox, const std::string& rfc5322,
                    const DeliveryOptions& options, DeliveryResult* result = nullptr);

    // ---- Rules ---------------------------------------------------------------------------
    // Rules of a folder (an empty path: the Inbox), in the order of their ids.
    HRESULT ListRules(const std::string& mailbox, const std::string& path,
                      std::vector<RuleInfo>* rules);
    // Adds a rule row as given; `rule_id` receives the new PR_RULE_ID.
    HRESULT AddRule(const std::string& mailbox, const std::string& path, const RuleSpec& rule,
                    std::int64_t* rule_id = nullptr);
    // Clears ST_ENABLED on the rule of that id.
    HRESULT DisableRule(const std::string& mailbox, std::int64_t rule_id);
    // Sets PR_RULE_STATE of the rule of that id.
    HRESULT SetRuleState(const std::string& mailbox, std::int64_t rule_id, std::int32_t state);
    HRESULT DeleteRule(const std::string& mailbox, std::int64_t rule_id);

    // ---- Faults --------------------------------------------------------------------------
    // An unknown operation name gives MAPI_E_INVALID_PARAMETER, and so does a
    // result of 0 (it would change nothing) or a mailbox that does not exist.
    HRESULT AddFault(const FaultSpec& fault, std::int64_t* fault_id = nullptr);
    HRESULT ClearFaults();
    HRESULT ListFaults(std::vector<FaultInfo>* faults);

    // ---- Demo ----------------------------------------------------------------------------
    // Adds the demo organisation to a store without mailboxes: the server
    // (the one named, else the store's only server, else this host, added
    // when missing), mailbox "sortwell" for the agent, and user1..userN with
    // some mail, part of it carrying the header "X-Spam-Flag: YES" and part
    // of it 45 days old, and one rule of another provider in user1's Inbox.
    HRESULT BuildDemo(const DemoOptions& options);

    struct Impl;

private:
    Admin();
    HRESULT Fail(HRESULT hr, std::string message);
    std::unique_ptr<Impl> impl_;
    std::string path_;
    std::string error_;
};

// The readable name of a folder kind ("root", "top", "inbox", "user").
const char* FolderKindName(FolderKind kind);

} // namespace infostore
