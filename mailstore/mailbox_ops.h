// The mailbox operations: one operation per mailbox task, each a fixed
// sequence of Extended MAPI calls.
//
// How every operation reports:
// - The result is an HRESULT: non-negative on success (normally 0), and on
//   failure the unchanged result of the MAPI call that failed. The first
//   failing call ends the operation unless its description says that a
//   failure is only counted or passed over. The exceptions are
//   mapi_ValidateRule (1 or 0), mapi_DeleteProfile (nothing) and
//   mapi_ExpungeItems (whose result the agent does not use).
// - Nothing is logged here. The caller turns a failure into one catalogue
//   message about the mailbox concerned.
// - Every object, table, row set and MAPI buffer an operation obtains is
//   released by the operation itself on every path, in the order given
//   below. Objects handed out through an out-parameter belong to the caller.
// - Names arrive as wide strings; a name MAPI takes as 8-bit text is
//   converted (UTF-8 is the 8-bit code page here) just before the call that
//   needs it.
// - Arguments the operation cannot work without (a null object or name)
//   give E_INVALIDARG before any call is made, unless stated otherwise.
// - Nothing is kept between calls: worker threads run the operations at the
//   same time, each on the objects of its own mailbox.
#pragma once
#include "mailstore/mapi_interfaces.h"

// Longest unresolved mailbox name, with its terminator, in wide characters.
constexpr ULONG MAILBOX_OPS_UNRESOLVED_NAME_CHARS = 512;
// Most rules a rules-table scan reads; a table of more rules gives
// MAPI_E_TABLE_TOO_BIG.
constexpr LONG MAILBOX_OPS_MAX_RULES = 1024;
// 100-nanosecond units taken off the current time for every day of retention
// (573,504 units short of an exact day).
constexpr std::uint64_t MAILBOX_OPS_RETENTION_UNITS_PER_DAY = 863999426496ull;
// The report message's body and subject.
constexpr const char16_t* MAILBOX_OPS_REPORT_BODY =
    u"Succesfully expunged %d items.\nFailed to expunge %d items.";
constexpr const char* MAILBOX_OPS_REPORT_SUBJECT = "Sortwell Maintenance Report";
// The provider every rule of the agent is written under.
constexpr const char* MAILBOX_OPS_RULE_PROVIDER = "MSExchange.Rules";

// ---- Profiles and server identity ------------------------------------------------

// Creates the MAPI profile `profile_name` holding one Exchange message service
// configured for the mailbox "=`mailbox_name`" on `server_name` (null: no
// server given, the service is configured with a null server string).
// Every existing profile whose name equals `profile_name` ignoring case is
// deleted first; a failed deletion ends the operation before anything is
// created. Once the new profile exists, any later failure deletes it again
// and the first failure is returned. Returns the result of
// ConfigureMsgService on success.
// Own results: E_INVALIDARG for a null profile or mailbox name, or a mailbox
// name too long for MAILBOX_OPS_UNRESOLVED_NAME_CHARS; MAPI_E_NOT_FOUND when
// the service table shows no Exchange service after it was created;
// MAPI_E_CORRUPT_DATA when that row carries no 16-byte service UID.
HRESULT mapi_CreateProfile(LPCWSTR profile_name, LPCWSTR mailbox_name, LPCWSTR server_name);

// Deletes the profile `profile_name`. A profile that does not exist (or any
// other failure) has no further effect.
void mapi_DeleteProfile(LPCWSTR profile_name);

// Reads the distinguished name of the home server from the global section of
// the profile `profile_name` and copies it, as wide text, into `server_dn`
// of `capacity` characters (the rest of the buffer filled with zeros).
// Own results: E_INVALIDARG for a null buffer or a capacity of 0;
// MAPI_E_NOT_FOUND when the property holds a null string;
// MAPI_E_STRING_TOO_LONG when the name does not fit with its terminator.
// After a failure the buffer is left as it was.
HRESULT mapi_GetProfileServerDN(LPCWSTR profile_name, LPWSTR server_dn, ULONG capacity);

// ---- Mailbox logon and folders ------------------------------------------------------

// Logs on to the mailbox `mailbox_name` of the message store `store_name`
// (may be null) through `agent_store`, the private store of `session`, and
// opens its Inbox. A null mailbox name returns 0 and opens nothing.
// `*mailbox_store` receives the mailbox store as soon as the logon succeeds;
// the caller owns it from then on, also when a later step fails, and logs it
// off with HrMailboxLogoff. `*inbox` receives the Inbox; the caller releases
// it. Returns the result of the last call made.
HRESULT MailboxLogonAndOpenInbox(LPMAPISESSION session, LPMDB agent_store, LPCWSTR store_name,
                                 LPCWSTR mailbox_name, LPMDB* mailbox_store, LPMAPIFOLDER* inbox);

// Opens the direct child of the mailbox's IPM subtree whose display name
// equals `folder_name` ignoring case, or with a null name the IPM subtree
// itself, into `*folder` (the caller releases it). A missing folder gives
// UTIL_E_NOT_FOUND and opens nothing.
HRESULT mapi_OpenMailboxFolder(LPMDB mailbox_store, LPCWSTR folder_name, LPMAPIFOLDER* folder);

// ---- The spam folder rule -------------------------------------------------------------

// Opens the Inbox's rules: the modify-table object and a view of its table.
// The caller gives both back with mapi_ReleaseRulesTables.
HRESULT mapi_GetRulesTables(LPMAPIFOLDER inbox, LPEXCHANGEMODIFYTABLE* modify_table,
                            LPMAPITABLE* table_view);

// Releases the view, then the modify table; either may be null.
void mapi_ReleaseRulesTables(LPEXCHANGEMODIFYTABLE modify_table, LPMAPITABLE table_view);

// 1 when the first rule named `rule_name` (ignoring case) is enabled (state
// exactly ST_ENABLED), has an action, and the folder its first action moves
// to opens through `store`; 0 otherwise, also when the table cannot be read,
// holds more than MAILBOX_OPS_MAX_RULES rules, or a row before the match is
// not well formed. `modify_table` is not used.
BOOL mapi_ValidateRule(LPMDB store, LPEXCHANGEMODIFYTABLE modify_table, LPMAPITABLE table_view,
                       LPCWSTR rule_name);

// Deletes every rule named `rule_name` (ignoring case), one ModifyTable call
// each; a failed deletion does not stop the later ones. Returns the result of
// the last ModifyTable, or the result of the table query when nothing
// matched (an unreadable table counts as empty and gives 0).
// MAPI_E_TABLE_TOO_BIG for more than MAILBOX_OPS_MAX_RULES rules;
// E_INVALIDARG when a row is not well formed (the rows before it have been
// dealt with).
HRESULT mapi_DeleteRule(LPEXCHANGEMODIFYTABLE modify_table, LPMAPITABLE table_view,
                        LPCWSTR rule_name);

// Adds the enabled rule `rule_name` that moves every message whose transport
// headers (or, when `subject_flag` is not 0, subject) contain
// `spam_substring`, ignoring case, into `spam_folder` of `mailbox_store`.
// Returns the result of the failing step, or that of ModifyTable.
HRESULT mapi_AddMessageMoveRule(LPEXCHANGEMODIFYTABLE modify_table, LPMDB mailbox_store,
                                LPCWSTR rule_name, ULONG subject_flag, LPCWSTR spam_substring,
                                LPMAPIFOLDER spam_folder);

// Opens, through `store`, the folder that the first rule named `rule_name`
// moves messages to, into `*folder` (which must be null on entry; it is set
// only when the folder opens). Returns the result of the open; E_FAIL for an
// empty or unreadable table; MAPI_E_TABLE_TOO_BIG; E_NOTIMPL when no rule of
// the name comes before a malformed row, or the rule has no action.
HRESULT mapi_OpenRuleFolder(LPMDB store, LPMAPITABLE table_view, LPCWSTR rule_name,
                            LPMAPIFOLDER* folder);

// ---- Expunge ----------------------------------------------------------------------------

// The retention cut-off: `now` (a FILETIME count) minus `retention_days`
// times MAILBOX_OPS_RETENTION_UNITS_PER_DAY. A retention reaching back before
// 1 January 1601 gives 0 (the earliest time there is), so that nothing is
// older than the cut-off and nothing is deleted; it never wraps around.
std::uint64_t mapi_ExpungeCutoff(std::uint64_t now, ULONG retention_days);

// The current time of the runtime clock (VTXPR_TimeNs) as a FILETIME count.
std::uint64_t mapi_FileTimeNow();

// Deletes from `folder` every message delivered before the cut-off, one
// DeleteMessages call each (a failed deletion is counted, not fatal). When
// `report_threshold` is not 0 and at least that many messages matched, it
// then saves a report message in the folder giving how many were deleted
// and how many could not be. The caller keeps the folder. Returns S_OK, or
// the failure that ended the run (messages deleted until then stay
// deleted); a failure while writing the report is not returned.
HRESULT mapi_ExpungeItems(LPMAPIFOLDER folder, ULONG retention_days, ULONG report_threshold);
