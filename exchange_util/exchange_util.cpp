// The Exchange utility library's lookups. See exchange_util.h for what each
// function takes and returns; the comments here explain the choices made
// inside them.
#include "exchange_util/exchange_util.h"

#include <cstring>

#include "mailstore/mapitags.h"
#include "runtime/vtx_str.h"

namespace {

// Flags of the administrative mailbox logon.
constexpr ULONG kMailboxEntryFlags = OPENSTORE_USE_ADMIN_PRIVILEGE | OPENSTORE_TAKE_OWNERSHIP;
constexpr ULONG kMailboxOpenFlags = MDB_NO_MAIL | MDB_TEMPORARY | MAPI_BEST_ACCESS | MDB_NO_DIALOG;
constexpr ULONG kHierarchyFlags = MAPI_UNICODE | MAPI_DEFERRED_ERRORS;

// A MAPIAllocateBuffer copy of `size` bytes at `bytes`, handed out through
// the two out-parameters only when the allocation succeeds.
HRESULT CopyEntryId(ULONG size, const BYTE* bytes, ULONG* entry_size, LPENTRYID* entry) {
    LPVOID copy = nullptr;
    if (MAPIAllocateBuffer(size, &copy) != S_OK || copy == nullptr)
        return E_OUTOFMEMORY;
    if (size != 0)
        std::memcpy(copy, bytes, size);
    *entry_size = size;
    *entry = static_cast<LPENTRYID>(copy);
    return S_OK;
}

} // namespace

HRESULT HrOpenStoreByProvider(LPMAPISESSION session, const MAPIUID* provider_uid, LPMDB* store) {
    if (store == nullptr)
        return E_INVALIDARG;
    *store = nullptr;
    if (session == nullptr || provider_uid == nullptr)
        return E_INVALIDARG;

    LPMAPITABLE table = nullptr;
    if (FAILED(session->GetMsgStoresTable(0, &table)))
        return E_FAIL;

    SizedSPropTagArray<1> columns = {1, {PR_ENTRYID}};
    SPropValue provider{};
    provider.ulPropTag = PR_MDB_PROVIDER;
    provider.Value.bin.cb = sizeof(MAPIUID);
    // The restriction only reads the value; the MAPI structure has no const.
    provider.Value.bin.lpb = const_cast<BYTE*>(provider_uid->ab);
    SRestriction match{};
    match.rt = RES_PROPERTY;
    match.res.resProperty.relop = RELOP_EQ;
    match.res.resProperty.ulPropTag = PR_MDB_PROVIDER;
    match.res.resProperty.lpProp = &provider;

    LPSRowSet rows = nullptr;
    HRESULT hr = HrQueryAllRows(table, columns.get(), &match, nullptr, 0, &rows);
    HRESULT result = E_FAIL;
    bool have_row = rows != nullptr && rows->cRows > 0;
    if (hr == MAPI_E_NOT_FOUND || (hr == S_OK && !have_row)) {
        result = UTIL_E_NOT_FOUND;
    } else if (FAILED(hr) || !have_row) {
        // Any other failure, and a warning that brought no row.
        result = E_FAIL;
    } else {
        const SRow& row = rows->aRow[0];
        if (row.cValues == 1 && row.lpProps != nullptr && row.lpProps[0].ulPropTag == PR_ENTRYID) {
            const SBinary& id = row.lpProps[0].Value.bin;
            LPMDB opened = nullptr;
            HRESULT open = session->OpenMsgStore(0, id.cb, reinterpret_cast<LPENTRYID>(id.lpb),
                                                 nullptr, MAPI_BEST_ACCESS, &opened);
            if (SUCCEEDED(open) && opened != nullptr) {
                *store = opened;
                result = S_OK;
            } else if (SUCCEEDED(open)) {
                result = E_FAIL; // a store that claims success but hands back nothing
            }
        }
    }

    FreeProws(rows);
    table->Release();
    return result;
}

HRESULT HrMailboxLogon(LPMAPISESSION session, LPMDB private_store, LPSTR store_dn, LPSTR mailbox_dn,
                       LPMDB* mailbox_store) {
    if (session == nullptr || private_store == nullptr || store_dn == nullptr ||
        mailbox_store == nullptr)
        return E_INVALIDARG;

    LPEXCHANGEMANAGESTORE manage = nullptr;
    if (FAILED(private_store->QueryInterface(IID_IExchangeManageStore,
                                             reinterpret_cast<void**>(&manage))) ||
        manage == nullptr)
        return E_FAIL;

    ULONG flags = kMailboxEntryFlags;
    if (mailbox_dn == nullptr || mailbox_dn[0] == '\0')
        flags |= OPENSTORE_PUBLIC;

    ULONG entry_size = 0;
    LPENTRYID entry = nullptr;
    HRESULT result = E_FAIL;
    if (SUCCEEDED(manage->CreateStoreEntryID(store_dn, mailbox_dn, flags, &entry_size, &entry))) {
        LPMDB opened = nullptr;
        HRESULT hr =
            session->OpenMsgStore(0, entry_size, entry, nullptr, kMailboxOpenFlags, &opened);
        if (hr == MAPI_E_NOT_FOUND) {
            result = UTIL_E_NOT_FOUND;
        } else if (FAILED(hr) || opened == nullptr) {
            result = E_FAIL;
        } else if (hr == MAPI_W_ERRORS_RETURNED) {
            // Part of the store could not be opened: not a usable mailbox.
            opened->Release();
            result = E_FAIL;
        } else {
            *mailbox_store = opened;
            result = hr;
        }
    }

    if (entry != nullptr)
        MAPIFreeBuffer(entry);
    manage->Release();
    return result;
}

HRESULT HrMailboxLogoff(LPMDB* mailbox_store) {
    if (mailbox_store == nullptr || *mailbox_store == nullptr)
        return S_OK;
    ULONG flags = LOGOFF_NO_WAIT;
    HRESULT hr = (*mailbox_store)->StoreLogoff(&flags);
    if (FAILED(hr))
        return hr;
    (*mailbox_store)->Release();
    *mailbox_store = nullptr;
    return hr;
}

HRESULT HrMAPIFindIPMSubtree(LPMDB store, ULONG* entry_size, LPENTRYID* entry) {
    if (entry_size == nullptr || entry == nullptr)
        return E_INVALIDARG;
    *entry_size = 0;
    *entry = nullptr;
    // A missing store is a failed read, as a missing folder is for
    // HrMAPIFindFolder.
    if (store == nullptr)
        return E_FAIL;

    SizedSPropTagArray<1> tags = {1, {PR_IPM_SUBTREE_ENTRYID}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    HRESULT hr = store->GetProps(tags.get(), 0, &count, &values);
    HRESULT result;
    if (hr == MAPI_W_ERRORS_RETURNED) {
        bool not_found = values != nullptr && count >= 1 &&
                         PROP_TYPE(values[0].ulPropTag) == PT_ERROR &&
                         values[0].Value.err == MAPI_E_NOT_FOUND;
        result = not_found ? MAPI_E_NOT_FOUND : E_FAIL;
    } else if (FAILED(hr) || values == nullptr || count < 1 ||
               values[0].ulPropTag != PR_IPM_SUBTREE_ENTRYID) {
        result = E_FAIL;
    } else {
        result = CopyEntryId(values[0].Value.bin.cb, values[0].Value.bin.lpb, entry_size, entry);
    }
    if (values != nullptr)
        MAPIFreeBuffer(values);
    return result;
}

HRESULT HrMAPIFindInbox(LPMDB store, ULONG* entry_size, LPENTRYID* entry) {
    if (entry_size == nullptr || entry == nullptr)
        return E_INVALIDARG;
    *entry_size = 0;
    *entry = nullptr;
    if (store == nullptr)
        return E_FAIL;

    char message_class[] = "IPM";
    ULONG size = 0;
    LPENTRYID id = nullptr;
    HRESULT hr = store->GetReceiveFolder(message_class, 0, &size, &id, nullptr);
    if (SUCCEEDED(hr)) {
        *entry_size = size;
        *entry = id;
        return S_OK;
    }
    // A failing store should hand back nothing; free whatever it did.
    if (id != nullptr)
        MAPIFreeBuffer(id);
    return hr == MAPI_E_NOT_FOUND ? MAPI_E_NOT_FOUND : E_FAIL;
}

HRESULT HrMAPIFindFolder(LPMAPIFOLDER folder, LPCWSTR name, ULONG* entry_size, LPENTRYID* entry) {
    if (entry_size == nullptr || entry == nullptr)
        return E_INVALIDARG;
    *entry_size = 0;
    *entry = nullptr;
    if (name == nullptr)
        return E_INVALIDARG;
    if (folder == nullptr)
        return E_FAIL;

    LPMAPITABLE table = nullptr;
    if (FAILED(folder->GetHierarchyTable(kHierarchyFlags, &table)))
        return E_FAIL;

    SizedSPropTagArray<2> columns = {2, {PR_DISPLAY_NAME_W, PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    HRESULT hr = HrQueryAllRows(table, columns.get(), nullptr, nullptr, 0, &rows);
    HRESULT result = UTIL_E_NOT_FOUND;
    if (hr == MAPI_E_NOT_FOUND) {
        result = UTIL_E_NOT_FOUND;
    } else if (FAILED(hr)) {
        result = E_FAIL;
    } else if (rows != nullptr) {
        for (ULONG i = 0; i < rows->cRows; ++i) {
            const SRow& row = rows->aRow[i];
            // A row whose name column holds an error (or a null string) has no
            // name, and a row without a name never equals the one looked for.
            if (row.cValues < 2 || row.lpProps == nullptr ||
                row.lpProps[0].ulPropTag != PR_DISPLAY_NAME_W ||
                row.lpProps[0].Value.lpszW == nullptr ||
                VTX_WStrICmp(row.lpProps[0].Value.lpszW, name) != 0)
                continue;
            // The first match decides; a match that carries no entry
            // identifier cannot be opened and is a failure, not a miss.
            const SPropValue& id = row.lpProps[1];
            if (id.ulPropTag == PR_ENTRYID)
                result = CopyEntryId(id.Value.bin.cb, id.Value.bin.lpb, entry_size, entry);
            else
                result = E_FAIL;
            break;
        }
    }

    FreeProws(rows);
    table->Release();
    return result;
}
