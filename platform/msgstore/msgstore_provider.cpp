// The "MSEMS" message service: profile configuration and logon against the
// store that StoreLocation() names, whatever backend holds it.
//
// Configuration resolves the unresolved server (its name or DN; a null
// string pointer or no value at all means this host, by its host name) and
// the unresolved mailbox ("=alias", or a bare alias or DN) and hands back,
// for the profile's global section:
//   PR_PROFILE_HOME_SERVER_DN  the DN of the server that holds the mailbox
//   PR_PROFILE_HOME_SERVER     that server's name
//   PR_PROFILE_USER            the mailbox DN
// Results:
//   no store at the location   MAPI_E_UNCONFIGURED (configure), MAPI_E_LOGON_FAILED (logon)
//   other failures to open it  as the backend gives them (for the embedded store:
//                              MAPI_E_CORRUPT_STORE, MAPI_E_VERSION)
//   unknown server             MAPI_E_UNCONFIGURED: a service cannot be set up against a
//                              server the organisation does not have
//   unknown mailbox            MAPI_E_NOT_FOUND
//   no mailbox named at all    MAPI_E_INVALID_PARAMETER
//   a profile never configured MAPI_E_UNCONFIGURED at logon
//   its mailbox since removed  MAPI_E_LOGON_FAILED
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "mailstore/mapitags.h"
#include "platform/mapi/mapi_runtime.h"
#include "platform/msgstore/msgstore_objects.h"
#include "platform/msgstore/msgstore_util.h"

namespace msgstore {
namespace {

std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}
struct Registered {
    BackendOpener opener = nullptr;
    ProfileFaultProbe probe = nullptr;
};
std::map<std::string, Registered>& Openers() {
    static std::map<std::string, Registered> openers;
    return openers;
}

// What is registered for the longest scheme `location` starts with.
Registered Find(const std::string& location) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registered found;
    std::size_t longest = 0;
    for (const auto& [scheme, candidate] : Openers())
        if (location.compare(0, scheme.size(), scheme) == 0 &&
            (found.opener == nullptr || scheme.size() > longest)) {
            found = candidate;
            longest = scheme.size();
        }
    return found;
}
std::mutex& OverrideMutex() {
    static std::mutex mutex;
    return mutex;
}
std::string& OverrideLocation() {
    static std::string location;
    return location;
}

const SPropValue* FindTag(ULONG count, const SPropValue* values, ULONG id) {
    for (ULONG i = 0; i < count && values != nullptr; ++i)
        if (PROP_ID(values[i].ulPropTag) == PROP_ID(id) &&
            PROP_TYPE(values[i].ulPropTag) != PT_ERROR)
            return &values[i];
    return nullptr;
}

// The text of a string value of either width; false for no value, a value
// that is no string or a null string pointer.
bool TextOf(const SPropValue* value, std::string* text) {
    return value != nullptr && StringOf(*value, text);
}

HRESULT Open(HRESULT when_missing, std::shared_ptr<Backend>* backend,
             std::shared_ptr<Connection>* conn) {
    std::string error;
    HRESULT hr = OpenBackend(StoreLocation(), when_missing, backend, &error);
    if (SUCCEEDED(hr))
        hr = (*backend)->Connect(conn);
    return hr;
}

// The configured properties as one MAPIAllocateBuffer array.
HRESULT HandTexts(const std::vector<std::pair<ULONG, std::string>>& texts, ULONG* count,
                  LPSPropValue* out) {
    LPVOID block = nullptr;
    SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * texts.size()), &block);
    if (FAILED(sc))
        return sc;
    auto* array = static_cast<LPSPropValue>(block);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        LPVOID text = nullptr;
        sc = MAPIAllocateMore(static_cast<ULONG>(texts[i].second.size() + 1), block, &text);
        if (FAILED(sc)) {
            MAPIFreeBuffer(block);
            return sc;
        }
        std::memcpy(text, texts[i].second.c_str(), texts[i].second.size() + 1);
        array[i].ulPropTag = texts[i].first;
        array[i].dwAlignPad = 0;
        array[i].Value.lpszA = static_cast<char*>(text);
    }
    *count = static_cast<ULONG>(texts.size());
    *out = array;
    return S_OK;
}

class StoreProvider final : public IMsgServiceProvider {
public:
    HRESULT Configure(ULONG count, const SPropValue* values, ULONG* out_count,
                      LPSPropValue* out_values) override {
        if (out_count == nullptr || out_values == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *out_count = 0;
        *out_values = nullptr;
        try {
            std::string name;
            if (!TextOf(FindTag(count, values, PR_PROFILE_UNRESOLVED_NAME), &name))
                return MAPI_E_INVALID_PARAMETER;
            if (!name.empty() && name[0] == '=')
                name.erase(0, 1);
            if (name.empty())
                return MAPI_E_INVALID_PARAMETER;
            std::string server;
            if (!TextOf(FindTag(count, values, PR_PROFILE_UNRESOLVED_SERVER), &server)) {
                char host[256] = {};
                if (::gethostname(host, sizeof(host) - 1) != 0)
                    return MAPI_E_UNCONFIGURED;
                server = host;
            }
            std::shared_ptr<Backend> backend;
            std::shared_ptr<Connection> conn;
            HRESULT hr = Open(MAPI_E_UNCONFIGURED, &backend, &conn);
            if (FAILED(hr))
                return hr;
            MailboxInfo mailbox;
            HRESULT found = conn->FindMailbox(name, &mailbox);
            HRESULT fault = conn->CheckFault("IMsgServiceAdmin::ConfigureMsgService",
                                             SUCCEEDED(found) ? mailbox.alias : name,
                                             SUCCEEDED(found) ? mailbox.dn : name);
            if (FAILED(fault))
                return fault;
            ServerInfo given;
            hr = conn->FindServer(server, &given);
            if (hr == MAPI_E_NOT_FOUND)
                return MAPI_E_UNCONFIGURED;
            if (FAILED(hr))
                return hr;
            if (FAILED(found))
                return found;
            hr = HandTexts({{PR_PROFILE_HOME_SERVER_DN, mailbox.server_dn},
                            {PR_PROFILE_HOME_SERVER, mailbox.server_name},
                            {PR_PROFILE_USER, mailbox.dn}},
                           out_count, out_values);
            return FAILED(hr) ? hr : fault;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }

    HRESULT Logon(ULONG count, const SPropValue* global, IMsgServiceSession** session) override {
        if (session == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *session = nullptr;
        try {
            std::string user;
            if (!TextOf(FindTag(count, global, PR_PROFILE_USER), &user))
                return MAPI_E_UNCONFIGURED;
            std::shared_ptr<Backend> backend;
            std::shared_ptr<Connection> conn;
            HRESULT hr = Open(MAPI_E_LOGON_FAILED, &backend, &conn);
            if (FAILED(hr))
                return hr;
            MailboxInfo mailbox;
            hr = conn->FindMailbox(user, &mailbox);
            if (hr == MAPI_E_NOT_FOUND)
                return MAPI_E_LOGON_FAILED;
            if (FAILED(hr))
                return hr;
            HRESULT fault = conn->CheckFault("MAPILogonEx", mailbox.alias, mailbox.dn);
            if (FAILED(fault))
                return fault;
            *session = new StoreSession(std::move(backend), std::move(conn), std::move(mailbox));
            return fault;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }
};

// The MAPI runtime's own profile operations answer to the store's faults
// too, so that every call the agent makes can be failed on demand. A
// profile belongs to no mailbox: only faults for every mailbox apply. The
// store is opened for each question (profile operations are rare: a few at
// every start of the agent); without a store nothing fails.
HRESULT ProfileFaultHook(const char* operation) {
    const std::string location = StoreLocation();
    Registered found = Find(location);
    return found.probe != nullptr ? found.probe(location, operation) : S_OK;
}

} // namespace

void RegisterBackend(const char* scheme, BackendOpener opener, ProfileFaultProbe probe) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Openers()[scheme] = Registered{opener, probe};
}

HRESULT OpenBackend(const std::string& location, HRESULT when_missing,
                    std::shared_ptr<Backend>* backend, std::string* error) {
    BackendOpener opener = Find(location).opener;
    if (opener == nullptr) {
        *error = "no store backend takes the location " + location;
        return when_missing;
    }
    return opener(location, when_missing, backend, error);
}

std::string StoreLocation() {
    {
        std::lock_guard<std::mutex> lock(OverrideMutex());
        if (!OverrideLocation().empty())
            return OverrideLocation();
    }
    const char* env = std::getenv("SORTWELL_INFOSTORE");
    if (env != nullptr && *env != '\0')
        return env;
    return kDefaultStoreLocation;
}

void SetStoreLocationOverride(const std::string& location) {
    std::lock_guard<std::mutex> lock(OverrideMutex());
    OverrideLocation() = location;
}

void RegisterMsgService() {
    static StoreProvider provider;
    static std::once_flag once;
    std::call_once(once, [] {
        MAPIRegisterMsgService("MSEMS", &provider);
        MAPISetFaultHook(&ProfileFaultHook);
    });
}

} // namespace msgstore
