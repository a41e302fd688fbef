// Mailbox logon, the Inbox, and folders directly below the IPM subtree.
#include <new>
#include <string>

#include "exchange_util/exchange_util.h"
#include "mailstore/mailbox_ops.h"
#include "mailstore/mailbox_ops_text.h"
#include "mailstore/mapix.h"

using mailbox_ops::ToAnsi;

namespace {

// Every folder is opened for writing, with errors deferred to first use.
constexpr ULONG kFolderOpenFlags = MAPI_MODIFY | MAPI_DEFERRED_ERRORS;

// Opens a folder through `container` (a null identifier: the root folder of
// a store) into `*folder`. The object type reported is of no interest.
template <typename Container>
HRESULT OpenFolder(Container* container, ULONG entry_size, LPENTRYID entry, LPMAPIFOLDER* folder) {
    ULONG object_type = 0;
    LPUNKNOWN object = nullptr;
    HRESULT hr =
        container->OpenEntry(entry_size, entry, nullptr, kFolderOpenFlags, &object_type, &object);
    if (SUCCEEDED(hr))
        *folder = static_cast<LPMAPIFOLDER>(object);
    return hr;
}

struct LogonState {
    LPMAPIFOLDER root = nullptr;
    ULONG inbox_size = 0;
    LPENTRYID inbox_id = nullptr;
};

HRESULT LogonSteps(LogonState& s, LPMAPISESSION session, LPMDB agent_store, LPCWSTR store_name,
                   LPCWSTR mailbox_name, LPMDB* mailbox_store, LPMAPIFOLDER* inbox) {
    std::string mailbox = ToAnsi(mailbox_name);
    std::string store;
    if (store_name != nullptr)
        store = ToAnsi(store_name);
    LPMDB opened = nullptr;
    HRESULT hr =
        HrMailboxLogon(session, agent_store, store_name != nullptr ? store.data() : nullptr,
                       mailbox.data(), &opened);
    if (FAILED(hr))
        return hr;
    // From here on the caller owns the store, whatever fails next.
    *mailbox_store = opened;

    hr = OpenFolder(opened, 0, nullptr, &s.root);
    if (FAILED(hr))
        return hr;
    hr = HrMAPIFindInbox(opened, &s.inbox_size, &s.inbox_id);
    if (FAILED(hr))
        return hr;
    return OpenFolder(s.root, s.inbox_size, s.inbox_id, inbox);
}

} // namespace

HRESULT MailboxLogonAndOpenInbox(LPMAPISESSION session, LPMDB agent_store, LPCWSTR store_name,
                                 LPCWSTR mailbox_name, LPMDB* mailbox_store, LPMAPIFOLDER* inbox) {
    if (mailbox_name == nullptr)
        return S_OK;
    if (mailbox_store == nullptr || inbox == nullptr)
        return E_INVALIDARG;

    LogonState s;
    HRESULT hr;
    try {
        hr = LogonSteps(s, session, agent_store, store_name, mailbox_name, mailbox_store, inbox);
    } catch (const std::bad_alloc&) {
        hr = MAPI_E_NOT_ENOUGH_MEMORY;
    }
    if (s.inbox_id != nullptr)
        MAPIFreeBuffer(s.inbox_id);
    UlRelease(s.root);
    return hr;
}

HRESULT mapi_OpenMailboxFolder(LPMDB mailbox_store, LPCWSTR folder_name, LPMAPIFOLDER* folder) {
    if (mailbox_store == nullptr || folder == nullptr)
        return E_INVALIDARG;

    LPMAPIFOLDER root = nullptr;
    HRESULT hr = OpenFolder(mailbox_store, 0, nullptr, &root);
    if (FAILED(hr))
        return hr;

    ULONG entry_size = 0;
    LPENTRYID entry = nullptr;
    hr = HrMAPIFindIPMSubtree(mailbox_store, &entry_size, &entry);
    if (FAILED(hr)) {
        root->Release();
        return hr;
    }
    LPMAPIFOLDER subtree = nullptr;
    hr = OpenFolder(root, entry_size, entry, &subtree);
    MAPIFreeBuffer(entry);
    if (FAILED(hr)) {
        root->Release();
        return hr;
    }

    if (folder_name == nullptr) {
        root->Release();
        *folder = subtree;
        return hr;
    }

    entry_size = 0;
    entry = nullptr;
    hr = HrMAPIFindFolder(subtree, folder_name, &entry_size, &entry);
    if (FAILED(hr)) {
        root->Release();
        subtree->Release();
        return hr;
    }
    // Children are opened through the root folder, not through the store.
    hr = OpenFolder(root, entry_size, entry, folder);
    MAPIFreeBuffer(entry);
    root->Release();
    subtree->Release();
    return hr;
}
