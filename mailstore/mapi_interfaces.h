// The Extended MAPI and Exchange interfaces that the agent calls.
//
// Objects are reference counted: every object handed out through an output
// argument carries one reference that its receiver gives back with Release.
// Every operation returns an HRESULT; none throws.
#pragma once
#include "mailstore/mapidefs.h"

// Interface identifiers.
extern const IID IID_IUnknown;
extern const IID IID_IMAPIProp;
extern const IID IID_IMAPIContainer;
extern const IID IID_IMAPIFolder;
extern const IID IID_IMsgStore;
extern const IID IID_IMessage;
extern const IID IID_IMAPITable;
extern const IID IID_IMAPISession;
extern const IID IID_IProfAdmin;
extern const IID IID_IMsgServiceAdmin;
extern const IID IID_IProfSect;
extern const IID IID_IExchangeManageStore;
extern const IID IID_IExchangeModifyTable;

// The profile's global section, as passed to OpenProfileSection.
extern const MAPIUID pbGlobalProfileSectionGuid;

class IUnknown {
public:
    virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    virtual ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

class IMAPITable;
class IMAPIFolder;
class IMessage;
class IMsgStore;
using LPMAPITABLE = IMAPITable*;
using LPMAPIFOLDER = IMAPIFolder*;
using LPMESSAGE = IMessage*;
using LPMDB = IMsgStore*;

class IMAPIProp : public IUnknown {
public:
    // flags: KEEP_OPEN_READONLY, KEEP_OPEN_READWRITE.
    virtual HRESULT SaveChanges(ULONG flags) = 0;
    // Values in the order of `tags` (all properties when tags is null), in
    // one buffer the caller frees with MAPIFreeBuffer. A property that is
    // missing comes back as PT_ERROR with MAPI_E_NOT_FOUND, and the result is
    // then MAPI_W_ERRORS_RETURNED.
    virtual HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                             LPSPropValue* values) = 0;
    virtual HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG interface_options, ULONG flags,
                                 LPUNKNOWN* object) = 0;
    virtual HRESULT SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) = 0;
    virtual HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) = 0;
};
using LPMAPIPROP = IMAPIProp*;

class IMAPITable : public IUnknown {
public:
    virtual HRESULT SetColumns(LPSPropTagArray columns, ULONG flags) = 0;
    virtual HRESULT GetRowCount(ULONG flags, ULONG* count) = 0;
    virtual HRESULT SeekRow(BOOKMARK origin, LONG row_count, LONG* rows_sought) = 0;
    virtual HRESULT Restrict(LPSRestriction restriction, ULONG flags) = 0;
    virtual HRESULT SortTable(LPSSortOrderSet sort_order, ULONG flags) = 0;
    // Up to row_count rows from the current position, which moves past them;
    // the caller frees the set with FreeProws.
    virtual HRESULT QueryRows(LONG row_count, ULONG flags, LPSRowSet* rows) = 0;
};

class IMAPIContainer : public IMAPIProp {
public:
    virtual HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* table) = 0;
    virtual HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* table) = 0;
    virtual HRESULT OpenEntry(ULONG entry_size, LPENTRYID entry, LPCIID iid, ULONG flags,
                              ULONG* object_type, LPUNKNOWN* object) = 0;
};

class IMAPIFolder : public IMAPIContainer {
public:
    virtual HRESULT CreateMessage(LPCIID iid, ULONG flags, LPMESSAGE* message) = 0;
    virtual HRESULT DeleteMessages(LPENTRYLIST messages, ULONG_PTR ui_param, LPVOID progress,
                                   ULONG flags) = 0;
    virtual HRESULT CreateFolder(ULONG folder_type, LPSTR name, LPSTR comment, LPCIID iid,
                                 ULONG flags, LPMAPIFOLDER* folder) = 0;
};

class IMessage : public IMAPIProp {};

class IMsgStore : public IMAPIProp {
public:
    // A null entry identifier opens the store's root folder.
    virtual HRESULT OpenEntry(ULONG entry_size, LPENTRYID entry, LPCIID iid, ULONG flags,
                              ULONG* object_type, LPUNKNOWN* object) = 0;
    virtual HRESULT GetReceiveFolder(LPSTR message_class, ULONG flags, ULONG* entry_size,
                                     LPENTRYID* entry, LPSTR* explicit_class) = 0;
    virtual HRESULT StoreLogoff(ULONG* flags) = 0;
};

class IExchangeManageStore : public IUnknown {
public:
    virtual HRESULT CreateStoreEntryID(LPSTR store_dn, LPSTR mailbox_dn, ULONG flags,
                                       ULONG* entry_size, LPENTRYID* entry) = 0;
    virtual HRESULT GetMailboxTable(LPSTR server_dn, LPMAPITABLE* table, ULONG flags) = 0;
};
using LPEXCHANGEMANAGESTORE = IExchangeManageStore*;

class IExchangeModifyTable : public IUnknown {
public:
    virtual HRESULT GetTable(ULONG flags, LPMAPITABLE* table) = 0;
    virtual HRESULT ModifyTable(ULONG flags, LPROWLIST rows) = 0;
};
using LPEXCHANGEMODIFYTABLE = IExchangeModifyTable*;

class IMAPISession : public IUnknown {
public:
    virtual HRESULT GetMsgStoresTable(ULONG flags, LPMAPITABLE* table) = 0;
    virtual HRESULT OpenMsgStore(ULONG_PTR ui_param, ULONG entry_size, LPENTRYID entry, LPCIID iid,
                                 ULONG flags, LPMDB* store) = 0;
    virtual HRESULT Logoff(ULONG_PTR ui_param, ULONG flags, ULONG reserved) = 0;
};
using LPMAPISESSION = IMAPISession*;

class IProfSect : public IMAPIProp {};
using LPPROFSECT = IProfSect*;

class IMsgServiceAdmin : public IUnknown {
public:
    virtual HRESULT GetMsgServiceTable(ULONG flags, LPMAPITABLE* table) = 0;
    virtual HRESULT CreateMsgService(LPSTR service, LPSTR display_name, ULONG_PTR ui_param,
                                     ULONG flags) = 0;
    virtual HRESULT DeleteMsgService(LPMAPIUID service_uid) = 0;
    virtual HRESULT ConfigureMsgService(LPMAPIUID service_uid, ULONG_PTR ui_param, ULONG flags,
                                        ULONG count, LPSPropValue values) = 0;
    virtual HRESULT OpenProfileSection(LPMAPIUID section_uid, LPCIID iid, ULONG flags,
                                       LPPROFSECT* section) = 0;
};
using LPSERVICEADMIN = IMsgServiceAdmin*;

class IProfAdmin : public IUnknown {
public:
    virtual HRESULT GetProfileTable(ULONG flags, LPMAPITABLE* table) = 0;
    virtual HRESULT CreateProfile(LPSTR name, LPSTR password, ULONG_PTR ui_param, ULONG flags) = 0;
    virtual HRESULT DeleteProfile(LPSTR name, ULONG flags) = 0;
    virtual HRESULT AdminServices(LPSTR name, LPSTR password, ULONG_PTR ui_param, ULONG flags,
                                  LPSERVICEADMIN* admin) = 0;
};
using LPPROFADMIN = IProfAdmin*;
