// The store's data operations on one connection, shared by the MAPI objects
// and the administration interface: the organisation, folders, messages,
// rules, and delivery through the Inbox's rules.
//
// Functions here expect the caller to hold the connection's mutex; those
// that change several rows open their own transaction (which nests inside a
// caller's).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/infostore/infostore_admin.h"
#include "platform/infostore/infostore_db.h"
#include "platform/infostore/infostore_util.h"

namespace infostore {

constexpr const char* kPrivateMdbSuffix = "/cn=Microsoft Private MDB";
constexpr const char* kTopFolderName = "Top of Information Store";

// Folder kinds as stored.
constexpr int kKindRoot = 0;
constexpr int kKindIpmSubtree = 1;
constexpr int kKindInbox = 2;
constexpr int kKindUser = 3;

struct ServerRow {
    std::int64_t id = 0;
    std::string name;
    std::string dn;
};

struct MailboxRow {
    std::int64_t id = 0;
    std::string alias;
    std::string display_name;
    std::string dn;
    std::int64_t server_id = 0;
    std::string server_name;
    std::string server_dn;
    // The DN of the private store holding the mailbox.
    std::string StoreDn() const { return server_dn + kPrivateMdbSuffix; }
};

struct FolderRow {
    std::int64_t id = 0;
    std::int64_t mailbox_id = 0;
    std::int64_t parent_id = 0; // 0 for the root
    int kind = kKindUser;
    std::string name;
    std::string comment;
};

struct StoredMessage {
    std::int64_t id = 0;
    std::int64_t folder_id = 0;
    std::optional<std::uint64_t> delivery_time;
    std::optional<std::string> subject;
    std::optional<std::string> headers;
    std::optional<std::string> body;
    std::optional<std::string> message_class;
    std::vector<BYTE> props; // any other properties (EncodeProps), may be empty
};

struct RuleRow : RuleProps {
    std::int64_t id = 0;
    std::int64_t folder_id = 0;
    std::optional<std::vector<BYTE>> condition;
    std::optional<std::vector<BYTE>> actions;
};

std::string ServerDn(const StoreDb& db, const std::string& name);
std::string MailboxDn(const StoreDb& db, const std::string& alias);

// ---- Organisation ---------------------------------------------------------------------
HRESULT FindServer(StoreDb& db, const std::string& name_or_dn, ServerRow* server);
HRESULT ListServerRows(StoreDb& db, std::vector<ServerRow>* servers);
HRESULT InsertServer(StoreDb& db, const std::string& name, ServerRow* server);
// By alias or DN, without regard to case. MAPI_E_NOT_FOUND when unknown.
HRESULT FindMailbox(StoreDb& db, const std::string& alias_or_dn, MailboxRow* mailbox);
HRESULT FindMailboxById(StoreDb& db, std::int64_t id, MailboxRow* mailbox);
// Mailboxes of one server (0: every server) in creation order.
HRESULT ListMailboxRows(StoreDb& db, std::int64_t server_id, std::vector<MailboxRow>* rows);
// Inserts a mailbox and its standard folders (inside the caller's
// transaction, or one of its own).
HRESULT InsertMailbox(StoreDb& db, const ServerRow& server, const std::string& alias,
                      const std::string& display_name, MailboxRow* mailbox);

// ---- Folders ---------------------------------------------------------------------------
HRESULT GetFolder(StoreDb& db, std::int64_t id, FolderRow* folder);
HRESULT FindSpecialFolder(StoreDb& db, std::int64_t mailbox_id, int kind, FolderRow* folder);
// Direct children in creation order.
HRESULT ListChildFolders(StoreDb& db, std::int64_t parent_id, std::vector<FolderRow>* rows);
// The first direct child whose name equals `name` without regard to case.
HRESULT FindChildFolder(StoreDb& db, std::int64_t parent_id, const std::string& name,
                        FolderRow* folder);
HRESULT InsertFolder(StoreDb& db, std::int64_t mailbox_id, std::int64_t parent_id, int kind,
                     const std::string& name, const std::string& comment, std::int64_t* id);
HRESULT RenameFolder(StoreDb& db, std::int64_t id, const std::string& name,
                     const std::optional<std::string>& comment);
HRESULT DeleteFolderRow(StoreDb& db, std::int64_t id);
HRESULT CountFolderContents(StoreDb& db, std::int64_t id, std::uint32_t* messages,
                            std::uint32_t* subfolders);
// Resolves a path below the top folder ("/" is the top folder itself).
HRESULT ResolveFolderPath(StoreDb& db, std::int64_t mailbox_id, const std::string& path,
                          FolderRow* folder, std::string* error);
// The path of a folder below the top folder ("/" for the top folder; ""
// when the folder is not below it).
std::string FolderPath(StoreDb& db, const FolderRow& folder);

// ---- Messages --------------------------------------------------------------------------
HRESULT InsertMessage(StoreDb& db, const StoredMessage& message, std::int64_t* id);
HRESULT UpdateMessage(StoreDb& db, const StoredMessage& message);
HRESULT LoadMessage(StoreDb& db, std::int64_t id, StoredMessage* message);
HRESULT ListMessageRows(StoreDb& db, std::int64_t folder_id, std::vector<StoredMessage>* rows,
                        bool with_text);
HRESULT DeleteMessageRow(StoreDb& db, std::int64_t folder_id, std::int64_t id);

// ---- Rules ---------------------------------------------------------------------------------
HRESULT ListRuleRows(StoreDb& db, std::int64_t folder_id, std::vector<RuleRow>* rows);
HRESULT InsertRule(StoreDb& db, const RuleRow& rule, std::int64_t* id);
HRESULT UpdateRule(StoreDb& db, const RuleRow& rule);
HRESULT DeleteRuleRow(StoreDb& db, std::int64_t folder_id, std::int64_t id);
HRESULT LoadRule(StoreDb& db, std::int64_t id, RuleRow* rule);

// ---- Delivery --------------------------------------------------------------------------
struct DeliveryOutcome {
    std::int64_t message_id = 0;
    std::int64_t folder_id = 0;
    std::optional<std::int64_t> rule_id;
};
// Files `message` in the mailbox's Inbox and applies the Inbox's enabled
// rules in PR_RULE_SEQUENCE order, as the server does on delivery.
// `target_folder` (not 0) files it there instead, without rules.
HRESULT DeliverMessage(StoreDb& db, const MailboxRow& mailbox, const ParsedMessage& message,
                       std::uint64_t delivery_time, bool apply_rules, std::int64_t target_folder,
                       DeliveryOutcome* outcome, std::string* error);

// The folder a move or copy action names, when it is a folder of `mailbox`
// that exists; 0 otherwise.
std::int64_t ActionTargetFolder(StoreDb& db, const MailboxRow& mailbox, const ACTMOVECOPY& move);

} // namespace infostore
