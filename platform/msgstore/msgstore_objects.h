// The store's MAPI objects over a backend connection (msgstore_backend.h):
// message stores, the administrative interface, folders, messages, the rules
// object and the tables they hand out, and the session a logon makes.
//
// Each object belongs to one opened mailbox store (a StoreContext): the
// session's connection and the mailbox. Every object derives from
// MAPIObject, so the runtime's live-object count covers them all, and every
// buffer handed to a caller comes from MAPIAllocateBuffer.
//
// Faults: at the start of each operation the object asks the connection
// whether the operation (named "Interface::Method") is to fail for this
// mailbox. A failure code is returned at once and nothing is done; a warning
// lets the operation do its work and is returned in place of S_OK.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/mapi/msgservice.h"
#include "platform/msgstore/msgstore_backend.h"

namespace msgstore {

// The provider UID of the private store (PR_MDB_PROVIDER).
extern const BYTE kPrivateStoreProvider[16];

struct StoreContext {
    std::shared_ptr<Connection> conn;
    MailboxInfo mailbox;
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
        return conn->CheckFault(operation, mailbox.alias, mailbox.dn);
    }
};
using ContextPtr = std::shared_ptr<const StoreContext>;

// The session a logon makes: the logged-on user's own mailbox, through one
// connection of `backend`.
class StoreSession : public IMsgServiceSession {
public:
    StoreSession(std::shared_ptr<Backend> backend, std::shared_ptr<Connection> conn,
                 MailboxInfo user)
        : backend_(std::move(backend)), conn_(std::move(conn)), user_(std::move(user)) {}
    HRESULT GetStoreRows(LPSRowSet* rows) override;
    HRESULT OpenMsgStore(ULONG entry_size, LPENTRYID entry, LPCIID iid, ULONG flags,
                         LPMDB* store) override;
    void Logoff() override;

private:
    std::shared_ptr<Backend> backend_;
    std::shared_ptr<Connection> conn_;
    MailboxInfo user_;
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
HRESULT OpenStoreByEntryId(const std::shared_ptr<Connection>& conn, const MailboxInfo& caller,
                           ULONG entry_size, const void* entry, LPCIID iid, ULONG flags,
                           LPMDB* store);

} // namespace msgstore
