// The "MSEMS" message service: profile configuration and logon against the
// store file that StorePath() names.
//
// Configuration resolves the unresolved server (its name or DN; a null
// string pointer or no value at all means this host, by its host name) and
// the unresolved mailbox ("=alias", or a bare alias or DN) and hands back,
// for the profile's global section:
//   PR_PROFILE_HOME_SERVER_DN  the DN of the server that holds the mailbox
//   PR_PROFILE_HOME_SERVER     that server's name
//   PR_PROFILE_USER            the mailbox DN
// Results:
//   store file missing         MAPI_E_UNCONFIGURED (configure), MAPI_E_LOGON_FAILED (logon)
//   store file damaged         MAPI_E_CORRUPT_STORE
//   store of another version   MAPI_E_VERSION
//   unknown server             MAPI_E_UNCONFIGURED: a service cannot be set up against a
//                              server the organisation does not have
//   unknown mailbox            MAPI_E_NOT_FOUND
//   no mailbox named at all    MAPI_E_INVALID_PARAMETER
//   a profile never configured MAPI_E_UNCONFIGURED at logon
//   its mailbox since removed  MAPI_E_LOGON_FAILED
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "mailstore/mapitags.h"
#include "platform/infostore/infostore_admin.h"
#include "platform/infostore/infostore_mapi.h"
#include "platform/mapi/mapi_runtime.h"

namespace infostore {
namespace {

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
    if (value == nullptr)
        return false;
    if (PROP_TYPE(value->ulPropTag) == PT_STRING8 && value->Value.lpszA != nullptr) {
        *text = value->Value.lpszA;
        return true;
    }
    if (PROP_TYPE(value->ulPropTag) == PT_UNICODE && value->Value.lpszW != nullptr) {
        *text = ToUtf8(value->Value.lpszW);
        return true;
    }
    return false;
}

HRESULT OpenStore(std::shared_ptr<StoreDb>* db, HRESULT when_missing) {
    std::string error;
    HRESULT hr = StoreDb::Open(StorePath(), false, db, &error);
    if (hr == MAPI_E_NOT_FOUND || hr == MAPI_E_INVALID_PARAMETER)
        return when_missing;
    return hr;
}

class InfostoreProvider final : public IMsgServiceProvider {
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
            std::shared_ptr<StoreDb> db;
            HRESULT hr = OpenStore(&db, MAPI_E_UNCONFIGURED);
            if (FAILED(hr))
                return hr;
            std::lock_guard<std::recursive_mutex> lock(db->Mutex());
            MailboxRow mailbox;
            HRESULT found = FindMailbox(*db, name, &mailbox);
            HRESULT fault = db->CheckFault("IMsgServiceAdmin::ConfigureMsgService",
                                           SUCCEEDED(found) ? mailbox.alias : name,
                                           SUCCEEDED(found) ? mailbox.dn : name);
            if (FAILED(fault))
                return fault;
            ServerRow given;
            hr = FindServer(*db, server, &given);
            if (hr == MAPI_E_NOT_FOUND)
                return MAPI_E_UNCONFIGURED;
            if (FAILED(hr))
                return hr;
            if (FAILED(found))
                return found;
            PropBagOut out;
            out.Add(PR_PROFILE_HOME_SERVER_DN, mailbox.server_dn);
            out.Add(PR_PROFILE_HOME_SERVER, mailbox.server_name);
            out.Add(PR_PROFILE_USER, mailbox.dn);
            hr = out.Hand(out_count, out_values);
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
            std::shared_ptr<StoreDb> db;
            HRESULT hr = OpenStore(&db, MAPI_E_LOGON_FAILED);
            if (FAILED(hr))
                return hr;
            MailboxRow mailbox;
            {
                std::lock_guard<std::recursive_mutex> lock(db->Mutex());
                hr = FindMailbox(*db, user, &mailbox);
                if (hr == MAPI_E_NOT_FOUND)
                    return MAPI_E_LOGON_FAILED;
                if (FAILED(hr))
                    return hr;
            }
            HRESULT fault = db->CheckFault("MAPILogonEx", mailbox.alias, mailbox.dn);
            if (FAILED(fault))
                return fault;
            *session = new InfostoreSession(std::move(db), std::move(mailbox));
            return fault;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }

private:
    // The configured properties as one MAPIAllocateBuffer array.
    struct PropBagOut {
        std::vector<std::pair<ULONG, std::string>> values;
        void Add(ULONG tag, std::string text) { values.emplace_back(tag, std::move(text)); }
        HRESULT Hand(ULONG* count, LPSPropValue* out) {
            LPVOID block = nullptr;
            SCODE sc =
                MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * values.size()), &block);
            if (FAILED(sc))
                return sc;
            auto* array = static_cast<LPSPropValue>(block);
            for (std::size_t i = 0; i < values.size(); ++i) {
                LPVOID text = nullptr;
                sc =
                    MAPIAllocateMore(static_cast<ULONG>(values[i].second.size() + 1), block, &text);
                if (FAILED(sc)) {
                    MAPIFreeBuffer(block);
                    return sc;
                }
                std::memcpy(text, values[i].second.c_str(), values[i].second.size() + 1);
                array[i].ulPropTag = values[i].first;
                array[i].dwAlignPad = 0;
                array[i].Value.lpszA = static_cast<char*>(text);
            }
            *count = static_cast<ULONG>(values.size());
            *out = array;
            return S_OK;
        }
    };
};

} // namespace

namespace {
// The MAPI runtime's own profile operations answer to the store's fault
// table too, so that every call the agent makes can be failed on demand. A
// profile belongs to no mailbox: only faults for every mailbox ("*") apply.
// The store is opened for each question (profile operations are rare: a few
// at every start of the agent); without a readable store nothing fails.
// A store that is busy (locked by another process) counts as having no
// fault: the question never makes a profile operation wait.
HRESULT ProfileFaultHook(const char* operation) {
    NoBusyWait quick;
    std::shared_ptr<StoreDb> db;
    std::string error;
    if (FAILED(StoreDb::Open(StorePath(), false, &db, &error)))
        return S_OK;
    return db->CheckFault(operation, std::string(), std::string());
}
} // namespace

void RegisterMsgService() {
    static InfostoreProvider provider;
    static std::once_flag once;
    std::call_once(once, [] {
        MAPIRegisterMsgService("MSEMS", &provider);
        MAPISetFaultHook(&ProfileFaultHook);
    });
}

namespace {
// Registers the service before main() runs in every program that links the
// library (see CMakeLists.txt for how the linker is made to keep it).
struct Registrar {
    Registrar() { RegisterMsgService(); }
} registrar;
} // namespace

} // namespace infostore

// The symbol the library's link option refers to, so that this object file
// (and with it the registrar above) is part of every program that links
// sw_infostore.
extern "C" {
extern const int sortwell_infostore_registrar_anchor;
const int sortwell_infostore_registrar_anchor = 1;
}
