// Initialisation, the message-service registry, logon and sessions.
//
// MAPIInitialize counts per thread: MAPILogonEx and MAPIAdminProfiles give
// MAPI_E_NOT_INITIALIZED on a thread whose count is 0. Memory and utility
// functions, and the objects already handed out, work on any thread.
//
// MAPILogonEx opens a session on a named profile: every configured service
// of the profile is logged on through its provider, which receives the
// profile's global section. An unknown profile gives MAPI_E_LOGON_FAILED; a
// profile without a configured service gives MAPI_E_UNCONFIGURED; a service
// whose provider is not registered in this process gives MAPI_E_NOT_FOUND;
// a provider's own logon failure is returned unchanged. After Logoff (or
// the last Release) the service sessions are logged off and deleted; later
// calls on the session give MAPI_E_END_OF_SESSION.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <vector>

#include "platform/mapi/mapi_profile_file.h"

namespace {

using namespace mapi_detail;

thread_local unsigned t_init_count = 0;
// Initialisations not yet undone, on all threads together.
std::atomic<unsigned> g_process_init_count{0};

// Called when the last initialisation of the process has been undone. With
// SORTWELL_MAPI_LEAK_CHECK set to a non-empty value it writes the line
// "live buffers N objects M" to standard error, so that a test can see
// whether a whole run of a program gave back everything it obtained.
void ReportLiveCountsIfAsked() {
    const char* asked = std::getenv("SORTWELL_MAPI_LEAK_CHECK");
    if (asked == nullptr || *asked == '\0')
        return;
    std::fprintf(stderr, "live buffers %lu objects %lu\n",
                 static_cast<unsigned long>(MAPIDebugLiveBuffers()),
                 static_cast<unsigned long>(MAPIDebugLiveObjects()));
    std::fflush(stderr);
}

struct Registration {
    std::string name;
    IMsgServiceProvider* provider;
};
std::mutex g_registry_mutex;
std::vector<Registration>& Registry() {
    static std::vector<Registration> registry;
    return registry;
}

constexpr ULONG MAPI_NO_COINIT = 0x00000008;
constexpr ULONG MAPI_ALLOW_OTHERS = 0x00000008;
constexpr ULONG MAPI_USE_DEFAULT = 0x00000040;
constexpr ULONG MAPI_FORCE_DOWNLOAD = 0x00001000;
constexpr ULONG MAPI_SERVICE_UI_ALWAYS = 0x00002000;
constexpr ULONG MAPI_PASSWORD_UI = 0x00020000;
constexpr ULONG MAPI_TIMEOUT_SHORT = 0x00100000;
constexpr ULONG MAPI_BG_SESSION = 0x00200000;
constexpr ULONG kLogonFlags =
    MAPI_LOGON_UI | MAPI_NEW_SESSION | MAPI_ALLOW_OTHERS | MAPI_EXPLICIT_PROFILE | MAPI_EXTENDED |
    MAPI_USE_DEFAULT | MAPI_FORCE_DOWNLOAD | MAPI_SERVICE_UI_ALWAYS | MAPI_NO_MAIL |
    MAPI_NT_SERVICE | MAPI_PASSWORD_UI | MAPI_TIMEOUT_SHORT | MAPI_BG_SESSION;
constexpr ULONG MDB_ONLINE = 0x00000100;
constexpr ULONG kOpenStoreFlags = MDB_NO_DIALOG | MDB_WRITE | MAPI_DEFERRED_ERRORS |
                                  MAPI_BEST_ACCESS | MDB_TEMPORARY | MDB_NO_MAIL | MDB_ONLINE;

class Session final : public IMAPISession, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    // Takes over `global` (freed with the session: providers may keep
    // pointing into it while their sessions live).
    explicit Session(LPSPropValue global) : global_(global) {}

    ~Session() override {
        EndServices();
        MAPIFreeBuffer(global_);
    }

    bool Reserve(std::size_t count) {
        try {
            services_.reserve(count);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    // Room was reserved, so this does not allocate.
    void AddService(IMsgServiceSession* service) { services_.push_back(service); }

    HRESULT QueryInterface(const IID& iid, void** object) override {
        static const IID* const kIids[] = {&IID_IUnknown, &IID_IMAPISession};
        return AnswerQuery(static_cast<IMAPISession*>(this), iid, object, kIids);
    }

    // One row per store of every service, as the providers give them.
    HRESULT GetMsgStoresTable(ULONG flags, LPMAPITABLE* table) override {
        if (table == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *table = nullptr;
        if (flags & ~MAPI_UNICODE)
            return MAPI_E_UNKNOWN_FLAGS;
        std::shared_lock lock(mutex_);
        if (ended_)
            return MAPI_E_END_OF_SESSION;
        std::vector<LPSRowSet> sets;
        HRESULT hr = S_OK;
        try {
            std::vector<SRow> rows;
            for (IMsgServiceSession* service : services_) {
                LPSRowSet set = nullptr;
                hr = service->GetStoreRows(&set);
                if (FAILED(hr))
                    break;
                if (set == nullptr)
                    continue;
                sets.push_back(set);
                rows.insert(rows.end(), set->aRow, set->aRow + set->cRows);
            }
            if (SUCCEEDED(hr))
                hr = MAPICreateRowTable(static_cast<ULONG>(rows.size()), rows.data(), table);
        } catch (const std::bad_alloc&) {
            hr = MAPI_E_NOT_ENOUGH_MEMORY;
        }
        for (LPSRowSet set : sets)
            FreeProws(set);
        return hr;
    }

    // Asks each service in turn; the first that knows the identifier opens
    // it. With one service its result passes through unchanged, warnings
    // included.
    HRESULT OpenMsgStore(ULONG_PTR, ULONG entry_size, LPENTRYID entry, LPCIID iid, ULONG flags,
                         LPMDB* store) override {
        if (store == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *store = nullptr;
        if (entry == nullptr || entry_size == 0)
            return MAPI_E_INVALID_ENTRYID;
        if (flags & ~kOpenStoreFlags)
            return MAPI_E_UNKNOWN_FLAGS;
        std::shared_lock lock(mutex_);
        if (ended_)
            return MAPI_E_END_OF_SESSION;
        HRESULT hr = MAPI_E_NOT_FOUND;
        for (std::size_t i = 0; i < services_.size(); ++i) {
            hr = services_[i]->OpenMsgStore(entry_size, entry, iid, flags, store);
            const bool foreign = hr == MAPI_E_INVALID_ENTRYID || hr == MAPI_E_UNKNOWN_ENTRYID;
            if (!foreign || i + 1 == services_.size())
                break;
        }
        return hr;
    }

    HRESULT Logoff(ULONG_PTR, ULONG, ULONG) override {
        std::unique_lock lock(mutex_);
        EndServices();
        return S_OK;
    }

private:
    void EndServices() {
        if (ended_)
            return;
        ended_ = true;
        for (IMsgServiceSession* service : services_) {
            service->Logoff();
            delete service;
        }
        services_.clear();
    }

    std::shared_mutex mutex_;
    bool ended_ = false;
    std::vector<IMsgServiceSession*> services_;
    LPSPropValue global_;
};

} // namespace

namespace mapi_detail {

bool ThreadInitialized() {
    return t_init_count > 0;
}

IMsgServiceProvider* FindMsgServiceProvider(std::string_view service_name) {
    std::lock_guard lock(g_registry_mutex);
    for (const Registration& r : Registry())
        if (Utf8EqualNoCase(r.name, service_name))
            return r.provider;
    return nullptr;
}

} // namespace mapi_detail

void MAPIRegisterMsgService(const char* service_name, IMsgServiceProvider* provider) {
    if (service_name == nullptr || *service_name == '\0')
        return;
    try {
        std::lock_guard lock(g_registry_mutex);
        for (Registration& r : Registry()) {
            if (Utf8EqualNoCase(r.name, service_name)) {
                r.provider = provider;
                return;
            }
        }
        Registry().push_back(Registration{service_name, provider});
    } catch (const std::bad_alloc&) {
        // Out of memory: the service stays unregistered and its creation
        // fails later with MAPI_E_NOT_FOUND.
    }
}

HRESULT MAPIInitialize(LPVOID init) {
    if (init != nullptr) {
        const auto* options = static_cast<const MAPIINIT_0*>(init);
        if (options->ulVersion != MAPI_INIT_VERSION)
            return MAPI_E_VERSION;
        if (options->ulFlags & ~(MAPI_MULTITHREAD_NOTIFICATIONS | MAPI_NO_COINIT | MAPI_NT_SERVICE))
            return MAPI_E_UNKNOWN_FLAGS;
    }
    ++t_init_count;
    g_process_init_count.fetch_add(1);
    return S_OK;
}

void MAPIUninitialize() {
    if (t_init_count == 0)
        return;
    --t_init_count;
    if (g_process_init_count.fetch_sub(1) == 1)
        ReportLiveCountsIfAsked();
}

HRESULT MAPILogonEx(ULONG_PTR, LPSTR profile_name, LPSTR, FLAGS flags, LPMAPISESSION* session) {
    if (session == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *session = nullptr;
    if (!ThreadInitialized())
        return MAPI_E_NOT_INITIALIZED;
    if (flags & MAPI_UNICODE)
        return MAPI_E_BAD_CHARWIDTH; // the profile name arrives as 8-bit text
    if (flags & ~kLogonFlags)
        return MAPI_E_UNKNOWN_FLAGS;
    if (profile_name == nullptr || *profile_name == '\0')
        return MAPI_E_LOGON_FAILED; // there is no default profile to fall back on
    try {
        ProfileSet set;
        HRESULT hr = ReadProfiles(&set);
        if (FAILED(hr))
            return hr;
        StoredProfile* profile = set.Find(profile_name);
        if (profile == nullptr)
            return MAPI_E_LOGON_FAILED;
        std::vector<std::pair<StoredService*, IMsgServiceProvider*>> services;
        for (StoredService& s : profile->services) {
            if (!s.configured)
                continue;
            IMsgServiceProvider* provider = FindMsgServiceProvider(s.name);
            if (provider == nullptr)
                return MAPI_E_NOT_FOUND;
            services.emplace_back(&s, provider);
        }
        if (services.empty())
            return MAPI_E_UNCONFIGURED;

        StoredSection* global = profile->FindSection(pbGlobalProfileSectionGuid);
        std::vector<StoredProp> none;
        ULONG count = 0;
        LPSPropValue values = nullptr;
        hr = PropsToValues(global ? global->props : none, &count, &values);
        if (FAILED(hr))
            return hr;
        Session* created = new (std::nothrow) Session(values);
        if (created == nullptr) {
            MAPIFreeBuffer(values);
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        if (!created->Reserve(services.size())) {
            created->Release();
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        for (auto& [service, provider] : services) {
            IMsgServiceSession* opened = nullptr;
            hr = provider->Logon(count, values, &opened);
            if (FAILED(hr)) {
                created->Release();
                return hr;
            }
            if (opened == nullptr) {
                created->Release();
                return MAPI_E_LOGON_FAILED;
            }
            created->AddService(opened);
        }
        *session = created;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}
