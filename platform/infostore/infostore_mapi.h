// The store's MAPI objects: message stores, the administrative interface,
// folders, messages, the rules object and the tables they hand out.
//
// Each object belongs to one opened mailbox store (a StoreContext): the
// session's connection and the mailbox. Every object derives from
// MAPIObject, so the runtime's live-object count covers them all, and every
// buffer handed to a caller comes from MAPIAllocateBuffer.
//
// Faults: at the start of each operation the store asks its fault table
// whether the operation (named "Interface::Method") is to fail for this
// mailbox. A failure code is returned at once and nothing is done; a warning
// lets the operation do its work and is returned in place of S_OK.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/infostore/infostore_db.h"
#include "platform/infostore/infostore_model.h"
#include "platform/mapi/msgservice.h"

namespace infostore {

// The provider UID of the private store (PR_MDB_PROVIDER).
extern const BYTE kPrivateStoreProvider[16];

struct StoreContext {
    std::shared_ptr<StoreDb> db;
    MailboxRow mailbox;
    std::vector<BYTE> store_entry_id; // PR_ENTRYID of the mailbox's store
    // The logged-on user's own store, as the session's stores table names
    // it: the server's private information store seen with the session's
    // administrative rights. Through it a folder of any mailbox homed on the
    // same server opens by its entry id (the agent checks the folder of
    // every mailbox's rule that way); a mailbox store opens only its own.
    bool server_wide = false;
    // Whether the logon may write: objects opened with MAPI_MODIFY or
    // MAPI_BEST_ACCESS through a store that may not write are read-only (or
    // refused), and read-only objects refuse every change.
    bool may_write = true;

    // S_OK, or the result a fault prescribes for `operation`.
    HRESULT Fault(const char* operation) const {
        return db->CheckFault(operation, mailbox.alias, mailbox.dn);
    }
};
using ContextPtr = std::shared_ptr<const StoreContext>;

// Makes the context of `mailbox`'s store on `db`.
// The store's PR_ENTRYID carries the administrative logon flags it was
// opened with (`logon_flags`), so that the identifier opens it again the same
// way.
HRESULT MakeContext(const std::shared_ptr<StoreDb>& db, const MailboxRow& mailbox,
                    ContextPtr* context, bool server_wide = false, bool may_write = true,
                    ULONG logon_flags = 0);
// A new message store object for the context (one reference).
HRESULT NewMsgStore(const ContextPtr& context, LPMDB* store);

// The session a logon makes: the logged-on user's own mailbox on `db`.
class InfostoreSession : public IMsgServiceSession {
public:
    InfostoreSession(std::shared_ptr<StoreDb> db, MailboxRow user)
        : db_(std::move(db)), user_(std::move(user)) {}
    HRESULT GetStoreRows(LPSRowSet* rows) override;
    HRESULT OpenMsgStore(ULONG entry_size, LPENTRYID entry, LPCIID iid, ULONG flags,
                         LPMDB* store) override;
    void Logoff() override;

private:
    std::shared_ptr<StoreDb> db_;
    MailboxRow user_;
    bool logged_off_ = false;
};

// Opens the store that a store entry id names, as OpenMsgStore does for
// both the session and the stores table: MAPI_E_NOT_FOUND for an unknown
// mailbox, a public store or a store DN that is not the mailbox's;
// MAPI_E_NO_ACCESS for another user's mailbox without
// OPENSTORE_USE_ADMIN_PRIVILEGE in the identifier, or MDB_WRITE where the
// logon may not write. The store may write when `flags` ask for it (MDB_WRITE
// or MAPI_BEST_ACCESS) and the logon allows it: the caller's own mailbox, or
// an administrative logon that takes ownership (OPENSTORE_TAKE_OWNERSHIP).
HRESULT OpenStoreByEntryId(const std::shared_ptr<StoreDb>& db, const MailboxRow& caller,
                           ULONG entry_size, const void* entry, LPCIID iid, ULONG flags,
                           LPMDB* store);

} // namespace infostore
