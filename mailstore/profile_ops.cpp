// The temporary MAPI profile and the home server's name.
#include <cstring>
#include <new>
#include <string>

#include "mailstore/mailbox_ops.h"
#include "mailstore/mailbox_ops_text.h"
#include "mailstore/mapitags.h"
#include "mailstore/mapix.h"
#include "runtime/vtx_str.h"
#include "runtime/vtxpr_strings.h"

using mailbox_ops::FromAnsi;
using mailbox_ops::ToAnsi;

namespace {

// MAPI takes these as non-const 8-bit strings; it never writes to them.
char kServiceName[] = "MSEMS";
char kServiceDisplayName[] = "Microsoft Exchange";
char kEmptyPassword[] = "";

// What mapi_CreateProfile holds, so that its clean-up can release it in
// order whichever step ended the run.
struct CreateProfileState {
    LPPROFADMIN profile_admin = nullptr;
    LPMAPITABLE profile_table = nullptr;
    LPSRowSet profile_rows = nullptr;
    LPSERVICEADMIN service_admin = nullptr;
    LPMAPITABLE service_table = nullptr;
    LPSRowSet service_rows = nullptr;
    std::string profile; // the profile name as 8-bit text
    bool created = false;
};

// Deletes every profile whose name equals the wanted one ignoring case.
HRESULT DeleteOlderProfiles(CreateProfileState& s, LPCWSTR profile_name) {
    HRESULT hr = S_OK;
    for (ULONG i = 0; i < s.profile_rows->cRows; ++i) {
        const SRow& row = s.profile_rows->aRow[i];
        // A row whose name cannot be read names no profile we could match.
        if (row.cValues < 1 || row.lpProps == nullptr ||
            row.lpProps[0].ulPropTag != PR_DISPLAY_NAME || row.lpProps[0].Value.lpszA == nullptr)
            continue;
        if (VTX_WStrICmp(FromAnsi(row.lpProps[0].Value.lpszA).c_str(), profile_name) != 0)
            continue;
        hr = s.profile_admin->DeleteProfile(s.profile.data(), 0);
        if (FAILED(hr))
            return hr;
    }
    return hr;
}

HRESULT CreateProfileSteps(CreateProfileState& s, LPCWSTR profile_name, LPCWSTR unresolved_name,
                           LPCWSTR server_name) {
    HRESULT hr = MAPIAdminProfiles(0, &s.profile_admin);
    if (FAILED(hr))
        return hr;
    hr = s.profile_admin->GetProfileTable(0, &s.profile_table);
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray<1> name_column = {1, {PR_DISPLAY_NAME}};
    hr = HrQueryAllRows(s.profile_table, name_column.get(), nullptr, nullptr, 0, &s.profile_rows);
    if (FAILED(hr))
        return hr;

    s.profile = ToAnsi(profile_name);
    if (s.profile_rows != nullptr) {
        HRESULT deleted = DeleteOlderProfiles(s, profile_name);
        if (FAILED(deleted))
            return deleted;
    }

    hr = s.profile_admin->CreateProfile(s.profile.data(), nullptr, 0, 0);
    if (FAILED(hr))
        return hr;
    s.created = true;

    hr = s.profile_admin->AdminServices(s.profile.data(), kEmptyPassword, 0, 0, &s.service_admin);
    if (FAILED(hr))
        return hr;
    hr = s.service_admin->CreateMsgService(kServiceName, kServiceDisplayName, 0, 0);
    if (FAILED(hr))
        return hr;
    hr = s.service_admin->GetMsgServiceTable(0, &s.service_table);
    if (FAILED(hr))
        return hr;

    SizedSPropTagArray<2> service_columns = {2, {PR_SERVICE_NAME, PR_SERVICE_UID}};
    SPropValue exchange{};
    exchange.ulPropTag = PR_SERVICE_NAME;
    exchange.Value.lpszA = kServiceName;
    SRestriction only_exchange{};
    only_exchange.rt = RES_CONTENT;
    only_exchange.res.resContent.ulFuzzyLevel = FL_FULLSTRING;
    only_exchange.res.resContent.ulPropTag = PR_SERVICE_NAME;
    only_exchange.res.resContent.lpProp = &exchange;
    hr = HrQueryAllRows(s.service_table, service_columns.get(), &only_exchange, nullptr, 0,
                        &s.service_rows);
    if (FAILED(hr))
        return hr;
    // The service was created a moment ago; a table that does not show it
    // leaves nothing to configure.
    if (s.service_rows == nullptr || s.service_rows->cRows == 0)
        return MAPI_E_NOT_FOUND;
    const SRow& service = s.service_rows->aRow[0];
    if (service.cValues < 2 || service.lpProps == nullptr ||
        service.lpProps[1].ulPropTag != PR_SERVICE_UID ||
        service.lpProps[1].Value.bin.cb != sizeof(MAPIUID) ||
        service.lpProps[1].Value.bin.lpb == nullptr)
        return MAPI_E_CORRUPT_DATA;
    MAPIUID service_uid;
    std::memcpy(service_uid.ab, service.lpProps[1].Value.bin.lpb, sizeof(MAPIUID));

    std::string mailbox = ToAnsi(unresolved_name);
    std::string server;
    if (server_name != nullptr)
        server = ToAnsi(server_name);
    SPropValue settings[2] = {};
    settings[0].ulPropTag = PR_PROFILE_UNRESOLVED_NAME;
    settings[0].Value.lpszA = mailbox.data();
    settings[1].ulPropTag = PR_PROFILE_UNRESOLVED_SERVER;
    settings[1].Value.lpszA = server_name != nullptr ? server.data() : nullptr;
    return s.service_admin->ConfigureMsgService(&service_uid, 0, 0, 2, settings);
}

// What mapi_GetProfileServerDN holds.
struct ServerDnState {
    LPPROFADMIN profile_admin = nullptr;
    LPSERVICEADMIN service_admin = nullptr;
    LPPROFSECT section = nullptr;
    LPSPropValue value = nullptr;
};

HRESULT ServerDnSteps(ServerDnState& s, LPCWSTR profile_name, LPWSTR server_dn, ULONG capacity) {
    HRESULT hr = MAPIAdminProfiles(0, &s.profile_admin);
    if (FAILED(hr))
        return hr;
    std::string profile;
    if (profile_name != nullptr)
        profile = ToAnsi(profile_name);
    hr = s.profile_admin->AdminServices(profile_name != nullptr ? profile.data() : nullptr, nullptr,
                                        0, 0, &s.service_admin);
    if (FAILED(hr))
        return hr;
    hr = s.service_admin->OpenProfileSection(const_cast<LPMAPIUID>(&pbGlobalProfileSectionGuid),
                                             nullptr, 0, &s.section);
    if (FAILED(hr))
        return hr;
    hr = HrGetOneProp(s.section, PR_PROFILE_HOME_SERVER_DN, &s.value);
    if (FAILED(hr))
        return hr;

    // A name that is missing or does not fit is a failure rather than a cut
    // or empty name: the caller builds the store's name from it, and a wrong
    // store name would only fail later and less clearly.
    if (s.value == nullptr || s.value->ulPropTag != PR_PROFILE_HOME_SERVER_DN ||
        s.value->Value.lpszA == nullptr)
        return MAPI_E_NOT_FOUND;
    std::u16string dn = FromAnsi(s.value->Value.lpszA);
    if (dn.size() >= capacity)
        return MAPI_E_STRING_TOO_LONG;
    VTX_WStrNCpy(server_dn, dn.c_str(), capacity);
    return hr;
}

} // namespace

HRESULT mapi_CreateProfile(LPCWSTR profile_name, LPCWSTR mailbox_name, LPCWSTR server_name) {
    if (profile_name == nullptr || mailbox_name == nullptr)
        return E_INVALIDARG;
    // The service resolves "=alias" as exactly that alias.
    char16_t unresolved[MAILBOX_OPS_UNRESOLVED_NAME_CHARS];
    int length =
        VTXPR_Snprintf(unresolved, MAILBOX_OPS_UNRESOLVED_NAME_CHARS, u"=%s", mailbox_name);
    if (length < 0 || static_cast<ULONG>(length) >= MAILBOX_OPS_UNRESOLVED_NAME_CHARS)
        return E_INVALIDARG;

    CreateProfileState s;
    HRESULT hr;
    try {
        hr = CreateProfileSteps(s, profile_name, unresolved, server_name);
    } catch (const std::bad_alloc&) {
        hr = MAPI_E_NOT_ENOUGH_MEMORY;
    }

    UlRelease(s.profile_table);
    UlRelease(s.service_table);
    FreeProws(s.service_rows);
    FreeProws(s.profile_rows);
    UlRelease(s.service_admin);
    // A half-made profile never outlives a failed run; the first failure is
    // what the caller gets, whatever this deletion says.
    if (s.created && FAILED(hr))
        s.profile_admin->DeleteProfile(s.profile.data(), 0);
    UlRelease(s.profile_admin);
    return hr;
}

void mapi_DeleteProfile(LPCWSTR profile_name) {
    // A null name names no profile; there is nothing to delete.
    if (profile_name == nullptr)
        return;
    LPPROFADMIN profile_admin = nullptr;
    if (FAILED(MAPIAdminProfiles(0, &profile_admin)))
        return;
    try {
        std::string profile = ToAnsi(profile_name);
        profile_admin->DeleteProfile(profile.data(), 0);
    } catch (const std::bad_alloc&) {
        // Nothing deleted; the caller has no way to act on it either.
    }
    profile_admin->Release();
}

HRESULT mapi_GetProfileServerDN(LPCWSTR profile_name, LPWSTR server_dn, ULONG capacity) {
    if (server_dn == nullptr || capacity == 0)
        return E_INVALIDARG;
    ServerDnState s;
    HRESULT hr;
    try {
        hr = ServerDnSteps(s, profile_name, server_dn, capacity);
    } catch (const std::bad_alloc&) {
        hr = MAPI_E_NOT_ENOUGH_MEMORY;
    }
    UlRelease(s.profile_admin);
    UlRelease(s.service_admin);
    UlRelease(s.section);
    if (s.value != nullptr)
        MAPIFreeBuffer(s.value);
    return hr;
}
