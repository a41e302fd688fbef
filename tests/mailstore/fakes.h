// Small recording stand-ins for MAPI objects, for what the embedded store
// cannot show from outside: the flags an operation passes, and the exact row
// list it hands to ModifyTable. They live on the test's stack; `refs` shows
// whether every reference handed out was given back.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "mailstore/mapix.h"
#include "platform/mapi/mapi_runtime.h"

namespace fakes {

template <class Interface> class Counted : public Interface {
public:
    HRESULT QueryInterface(const IID&, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    ULONG refs = 1;
};

// An object with properties that supports none of the property calls.
template <class Interface> class NoProps : public Counted<Interface> {
public:
    HRESULT SaveChanges(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT GetProps(LPSPropTagArray, ULONG, ULONG*, LPSPropValue*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
};

class ManageStore : public Counted<IExchangeManageStore> {
public:
    HRESULT CreateStoreEntryID(LPSTR store_dn, LPSTR mailbox_dn, ULONG flags, ULONG* entry_size,
                               LPENTRYID* entry) override {
        seen_store_dn = store_dn != nullptr ? store_dn : "<null>";
        seen_mailbox_dn = mailbox_dn != nullptr ? mailbox_dn : "<null>";
        seen_flags = flags;
        if (FAILED(result))
            return result;
        LPVOID id = nullptr;
        MAPIAllocateBuffer(4, &id);
        std::memset(id, 0x5A, 4);
        *entry_size = 4;
        *entry = static_cast<LPENTRYID>(id);
        return result;
    }
    HRESULT GetMailboxTable(LPSTR, LPMAPITABLE*, ULONG) override { return MAPI_E_NO_SUPPORT; }

    HRESULT result = S_OK;
    std::string seen_store_dn, seen_mailbox_dn;
    ULONG seen_flags = 0;
};

class Store : public NoProps<IMsgStore> {
public:
    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (!(iid == IID_IExchangeManageStore) || !offers_manage_store) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        manage.AddRef();
        *object = static_cast<IExchangeManageStore*>(&manage);
        return S_OK;
    }
    HRESULT OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT GetReceiveFolder(LPSTR, ULONG, ULONG*, LPENTRYID*, LPSTR*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT StoreLogoff(ULONG* flags) override {
        seen_logoff_flags = *flags;
        return logoff_result;
    }

    ManageStore manage;
    bool offers_manage_store = true;
    HRESULT logoff_result = S_OK;
    ULONG seen_logoff_flags = 0;
};

class Session : public Counted<IMAPISession> {
public:
    HRESULT GetMsgStoresTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT OpenMsgStore(ULONG_PTR, ULONG, LPENTRYID, LPCIID iid, ULONG flags,
                         LPMDB* store) override {
        seen_flags = flags;
        seen_iid_null = iid == nullptr;
        if (FAILED(open_result))
            return open_result;
        opened.AddRef();
        *store = &opened;
        return open_result;
    }
    HRESULT Logoff(ULONG_PTR, ULONG, ULONG) override { return S_OK; }

    Store opened; // what OpenMsgStore hands out
    HRESULT open_result = S_OK;
    ULONG seen_flags = 0;
    bool seen_iid_null = false;
};

// A folder whose hierarchy table holds the given rows.
class Folder : public NoProps<IMAPIFolder> {
public:
    HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* table) override {
        seen_flags = flags;
        return MAPICreateRowTable(static_cast<ULONG>(children.size()), children.data(), table);
    }
    HRESULT GetContentsTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT CreateMessage(LPCIID, ULONG, LPMESSAGE*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT DeleteMessages(LPENTRYLIST, ULONG_PTR, LPVOID, ULONG) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT CreateFolder(ULONG, LPSTR, LPSTR, LPCIID, ULONG, LPMAPIFOLDER*) override {
        return MAPI_E_NO_SUPPORT;
    }

    std::vector<SRow> children; // rows of values the test keeps alive
    ULONG seen_flags = 0;
};

// Keeps a deep copy of every row list it is given.
class RuleRecorder : public Counted<IExchangeModifyTable> {
public:
    ~RuleRecorder() override {
        for (const Entry& entry : entries)
            MAPIFreeBuffer(entry.values);
    }
    HRESULT GetTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT ModifyTable(ULONG flags, LPROWLIST rows) override {
        seen_flags = flags;
        for (ULONG i = 0; i < rows->cEntries; ++i) {
            Entry entry{rows->aEntries[i].ulRowFlags, rows->aEntries[i].cValues, nullptr};
            ScDupPropset(entry.count, rows->aEntries[i].rgPropVals, &entry.values);
            entries.push_back(entry);
        }
        return result;
    }

    struct Entry {
        ULONG row_flags;
        ULONG count;
        LPSPropValue values;
    };
    std::vector<Entry> entries;
    HRESULT result = S_OK;
    ULONG seen_flags = 0xFFFFFFFF;
};

} // namespace fakes
