// The Exchange utility library: stateless lookups over Extended MAPI that
// reach a mailbox and the folders in it.
//
// Conventions shared by every function here:
// - the result is an HRESULT from the short list below; the MAPI codes of the
//   calls made are not passed on except where a function says so;
// - nothing is logged: the caller decides what a failure means and logs it;
// - results come back through out-parameters; an entry identifier comes back
//   as a byte count and a MAPIAllocateBuffer copy that the caller frees with
//   MAPIFreeBuffer; after a failure nothing is handed back that needs freeing;
// - every table and interface a call opens for itself is released before it
//   returns;
// - no state is kept between calls, so several threads may call at once, each
//   with objects of its own session.
//
// Results:
//   S_OK              success.
//   E_INVALIDARG      a required argument is missing. Fix the call.
//   E_FAIL            a MAPI call failed for a reason other than not-found.
//                     Nothing to retry here; report it and move on.
//   E_OUTOFMEMORY     no memory for the copy of an entry identifier.
//   UTIL_E_NOT_FOUND  no such store, mailbox, folder or row (see each
//                     function); the caller may create what is missing.
//   MAPI_E_NOT_FOUND  passed through by HrMAPIFindIPMSubtree and
//                     HrMAPIFindInbox when the store lacks the folder.
#pragma once
#include "mailstore/mapix.h"

// The library's own not-found result.
constexpr HRESULT UTIL_E_NOT_FOUND = static_cast<HRESULT>(0x800B0001u);

// The provider UID of the server's private information store, as carried in
// PR_MDB_PROVIDER of the session's message-stores table. Passed to
// HrOpenStoreByProvider to open the private store of the agent's own session.
inline constexpr MAPIUID PRIVATE_STORE_PROVIDER_UID = {{0x54, 0x94, 0xA1, 0xC0, 0x29, 0x7F, 0x10,
                                                        0x1B, 0xA5, 0x87, 0x08, 0x00, 0x2B, 0x2A,
                                                        0x25, 0x17}};

// Opens the message store of `session` whose PR_MDB_PROVIDER equals the 16
// bytes at `provider_uid`. `*store` is cleared first and receives the opened
// store (one reference, the caller releases it).
// Results: S_OK; UTIL_E_NOT_FOUND when the session has no such store;
// E_FAIL when the table cannot be read, its row is malformed, or the open
// fails; E_INVALIDARG when an argument is null.
HRESULT HrOpenStoreByProvider(LPMAPISESSION session, const MAPIUID* provider_uid, LPMDB* store);

// Opens the mailbox `mailbox_dn` of the information store `store_dn` (both
// 8-bit) through `private_store`, an already opened store of `session`, with
// administrative rights. A null or empty `mailbox_dn` asks for the public
// store. `*mailbox_store` receives the store only on success and is left
// untouched otherwise.
// Results: the success code of the open (S_OK or another success code);
// E_INVALIDARG when session, private_store, store_dn or mailbox_store is
// null; UTIL_E_NOT_FOUND when the mailbox does not exist; E_FAIL otherwise,
// also when the open comes back with MAPI_W_ERRORS_RETURNED.
HRESULT HrMailboxLogon(LPMAPISESSION session, LPMDB private_store, LPSTR store_dn, LPSTR mailbox_dn,
                       LPMDB* mailbox_store);

// Logs the store at `*mailbox_store` off, releases it and sets the pointer to
// null. A null address or pointer is S_OK and does nothing. When the logoff
// fails its result is returned and the store is neither released nor cleared.
HRESULT HrMailboxLogoff(LPMDB* mailbox_store);

// The entry identifier of the store's IPM subtree (the top of the folders a
// user sees). Both out-parameters are cleared first.
// Results: S_OK; MAPI_E_NOT_FOUND when the store has no such property;
// E_FAIL on any other failure (a null store included); E_OUTOFMEMORY;
// E_INVALIDARG when an out-parameter address is null.
HRESULT HrMAPIFindIPMSubtree(LPMDB store, ULONG* entry_size, LPENTRYID* entry);

// The entry identifier of the store's receive folder for the class "IPM",
// the Inbox. Both out-parameters are cleared first.
// Results: S_OK (also when the store answers with a warning);
// MAPI_E_NOT_FOUND unchanged; E_FAIL on any other failure (a null store
// included); E_INVALIDARG when an out-parameter address is null.
HRESULT HrMAPIFindInbox(LPMDB store, ULONG* entry_size, LPENTRYID* entry);

// The entry identifier of the first direct subfolder of `folder`, in
// hierarchy-table order, whose display name equals `name` without regard to
// case. The search does not descend into subfolders.
// Results: S_OK; UTIL_E_NOT_FOUND when no child matches (or the folder has
// none); E_INVALIDARG when an out-parameter address or the name is null
// (the out-parameters are cleared first when both are given); E_FAIL when
// the folder is null or its hierarchy cannot be read, or when the matching
// row carries no entry identifier; E_OUTOFMEMORY.
HRESULT HrMAPIFindFolder(LPMAPIFOLDER folder, LPCWSTR name, ULONG* entry_size, LPENTRYID* entry);
