// How a message service plugs into the MAPI runtime.
//
// A profile holds message services by name. When IMsgServiceAdmin creates or
// configures a service, and when MAPILogonEx opens a session on a profile,
// the runtime hands the work to the provider registered under the service's
// name. The embedded information store registers itself as "MSEMS".
#pragma once
#include "mailstore/mapix.h"

// One logged-on session's view of a service's message stores.
class IMsgServiceSession {
public:
    virtual ~IMsgServiceSession() = default;
    // Rows for the session's message stores table: each row carries at least
    // PR_ENTRYID, PR_MDB_PROVIDER, PR_DISPLAY_NAME and PR_DEFAULT_STORE. The
    // set comes from MAPIAllocateBuffer (freed with FreeProws).
    virtual HRESULT GetStoreRows(LPSRowSet* rows) = 0;
    // Opens a store named by an entry identifier from those rows or from
    // IExchangeManageStore::CreateStoreEntryID. The result carries one
    // reference. May return a warning with the store (MAPI_W_ERRORS_RETURNED).
    virtual HRESULT OpenMsgStore(ULONG entry_size, LPENTRYID entry, LPCIID iid, ULONG flags,
                                 LPMDB* store) = 0;
    // The session ends: stores opened through it may still be released later.
    virtual void Logoff() = 0;
};

class IMsgServiceProvider {
public:
    virtual ~IMsgServiceProvider() = default;
    // IMsgServiceAdmin::ConfigureMsgService. `values` are the caller's
    // properties; the provider resolves them and returns the properties to
    // store in the profile's global section (for the Exchange service:
    // PR_PROFILE_HOME_SERVER_DN and the resolved user), as one
    // MAPIAllocateBuffer array. A failure is returned unchanged to the caller
    // of ConfigureMsgService.
    virtual HRESULT Configure(ULONG count, const SPropValue* values, ULONG* out_count,
                              LPSPropValue* out_values) = 0;
    // MAPILogonEx on a profile holding this service: `global` is the
    // profile's global section as configured.
    virtual HRESULT Logon(ULONG count, const SPropValue* global, IMsgServiceSession** session) = 0;
};

// Registers `provider` under `service_name` (not owned; lives for the
// process). A later registration of the same name replaces the earlier one.
void MAPIRegisterMsgService(const char* service_name, IMsgServiceProvider* provider);
