// Profile administration: IProfAdmin, IMsgServiceAdmin and IProfSect over
// the profile file.
//
// Behaviour worth knowing:
// - Profile names compare without regard to case. Creating a profile whose
//   name is taken gives MAPI_E_COLLISION; deleting or administering one that
//   does not exist gives MAPI_E_NOT_FOUND. CreateProfile records the calling
//   process as the profile's owner and first drops every profile whose owner
//   no longer runs (see mapi_profile_file.h), so temporary profiles of killed
//   processes do not accumulate. DeleteProfile removes the first
//   profile of that name only, so a caller that deletes every matching row of
//   the profile table one by one finds each of them still there.
// - Names are 1 to 256 bytes of UTF-8 (MAPI_E_INVALID_PARAMETER when empty
//   or missing, MAPI_E_STRING_TOO_LONG when longer). Passwords are accepted
//   and ignored: the profile file holds none.
// - A message service can be created only under a name that a provider has
//   registered (MAPI_E_NOT_FOUND otherwise). ConfigureMsgService hands the
//   caller's values to the provider; the caller's values are kept in the
//   service's own section and what the provider returns is merged into the
//   global section, after which the service counts as configured. A
//   provider's failure is returned unchanged and changes nothing.
// - Sections are read from the file at every GetProps, so a section opened
//   before a ConfigureMsgService sees its result. A section of a uid that has
//   no properties yet reads as empty. Sections opened with MAPI_MODIFY accept
//   SetProps and DeleteProps, which are written at once; SaveChanges has
//   nothing left to do.
// - No user interface exists here: UI flags are accepted and ignored.
#include <cstring>
#include <new>
#include <vector>

#include "mailstore/mapitags.h"
#include "platform/mapi/mapi_profile_file.h"

namespace {

using namespace mapi_detail;

constexpr std::size_t kMaxNameBytes = 256;
constexpr ULONG MAPI_DIALOG = 0x00000008;
constexpr ULONG SERVICE_UI_ALWAYS = 0x00000002;
constexpr ULONG SERVICE_UI_ALLOWED = 0x00000010;
constexpr ULONG MSG_SERVICE_UI_READ_ONLY = 0x00000008;

HRESULT CheckName(const char* name) {
    if (name == nullptr || *name == '\0')
        return MAPI_E_INVALID_PARAMETER;
    if (std::strlen(name) > kMaxNameBytes)
        return MAPI_E_STRING_TOO_LONG;
    return S_OK;
}

template <typename F> HRESULT Guarded(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

// Builds a table from rows given as value vectors.
HRESULT TableOf(std::vector<std::vector<SPropValue>>& rows, LPMAPITABLE* table) {
    std::vector<SRow> srows;
    srows.reserve(rows.size());
    for (auto& r : rows)
        srows.push_back(SRow{0, static_cast<ULONG>(r.size()), r.data()});
    return MAPICreateRowTable(static_cast<ULONG>(srows.size()), srows.data(), table);
}

// What both profile tables do around their rows: the injected fault of
// `operation`, the argument checks, reading the profile file, and the table
// built from the rows `fill(set, rows)` gives.
template <typename Fill>
HRESULT ProfileTableCall(const char* operation, ULONG flags, LPMAPITABLE* table, Fill fill) {
    if (HRESULT fault = MAPICheckFault(operation); FAILED(fault))
        return fault;
    if (table == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    if (flags & ~MAPI_UNICODE)
        return MAPI_E_UNKNOWN_FLAGS;
    return Guarded([&]() -> HRESULT {
        ProfileSet set;
        HRESULT hr = ReadProfiles(&set);
        if (FAILED(hr))
            return hr;
        std::vector<std::vector<SPropValue>> rows;
        hr = fill(set, rows);
        return FAILED(hr) ? hr : TableOf(rows, table);
    });
}

SPropValue StringProp(ULONG tag, const std::string& text) {
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.lpszA = const_cast<char*>(text.c_str());
    return v;
}

// ---- IProfSect -------------------------------------------------------------------

class ProfileSection final : public IProfSect, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    ProfileSection(std::string profile, const MAPIUID& uid, bool writable)
        : profile_(std::move(profile)), uid_(uid), writable_(writable) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        static const IID* const kIids[] = {&IID_IUnknown, &IID_IMAPIProp, &IID_IProfSect};
        return AnswerQuery(static_cast<IProfSect*>(this), iid, object, kIids);
    }

    HRESULT SaveChanges(ULONG) override { return S_OK; }

    HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                     LPSPropValue* values) override {
        if (HRESULT fault = MAPICheckFault("IProfSect::GetProps"); FAILED(fault))
            return fault;
        if (count == nullptr || values == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *count = 0;
        *values = nullptr;
        if (flags & ~MAPI_UNICODE)
            return MAPI_E_UNKNOWN_FLAGS;
        return Guarded([&]() -> HRESULT {
            ProfileSet set;
            HRESULT hr = ReadProfiles(&set);
            if (FAILED(hr))
                return hr;
            StoredProfile* profile = set.Find(profile_);
            if (profile == nullptr)
                return MAPI_E_OBJECT_DELETED;
            StoredSection* section = profile->FindSection(uid_);
            std::vector<StoredProp> empty;
            ULONG have_count = 0;
            LPSPropValue have = nullptr;
            hr = PropsToValues(section ? section->props : empty, &have_count, &have);
            if (FAILED(hr))
                return hr;
            if (tags == nullptr) {
                *count = have_count;
                *values = have;
                return S_OK;
            }
            void* block = nullptr;
            const ULONG n = tags->cValues;
            hr = MAPIAllocateBuffer(static_cast<ULONG>((n ? n : 1) * sizeof(SPropValue)), &block);
            if (FAILED(hr)) {
                MAPIFreeBuffer(have);
                return hr;
            }
            LPSPropValue out = static_cast<LPSPropValue>(block);
            HRESULT result = S_OK;
            for (ULONG i = 0; i < n && SUCCEEDED(hr); ++i) {
                ULONG tag = tags->aulPropTag[i];
                if (PROP_TYPE(tag) == PT_UNSPECIFIED && (flags & MAPI_UNICODE)) {
                    const SPropValue* any = FindValue(have, have_count, tag);
                    if (any != nullptr && PROP_TYPE(any->ulPropTag) == PT_STRING8)
                        tag = CHANGE_PROP_TYPE(tag, PT_UNICODE);
                }
                const SPropValue* found = FindValue(have, have_count, tag);
                if (found != nullptr) {
                    hr = CopyValueAs(&out[i], *found, tag, out);
                } else {
                    out[i].ulPropTag = CHANGE_PROP_TYPE(tag, PT_ERROR);
                    out[i].dwAlignPad = 0;
                    out[i].Value.err = MAPI_E_NOT_FOUND;
                    result = MAPI_W_ERRORS_RETURNED;
                }
            }
            MAPIFreeBuffer(have);
            if (FAILED(hr)) {
                MAPIFreeBuffer(out);
                return hr;
            }
            *count = n;
            *values = out;
            return result;
        });
    }

    HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* object) override {
        if (object != nullptr)
            *object = nullptr;
        return MAPI_E_NO_SUPPORT;
    }

    HRESULT SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override {
        if (problems != nullptr)
            *problems = nullptr;
        if (values == nullptr && count > 0)
            return MAPI_E_INVALID_PARAMETER;
        if (!writable_)
            return MAPI_E_NO_ACCESS;
        return Guarded([&]() -> HRESULT {
            std::vector<StoredProp> props;
            std::vector<SPropProblem> refused;
            for (ULONG i = 0; i < count; ++i) {
                StoredProp p;
                HRESULT hr = StoreProp(values[i], &p);
                if (FAILED(hr))
                    refused.push_back(SPropProblem{i, values[i].ulPropTag, hr});
                else
                    props.push_back(std::move(p));
            }
            HRESULT hr = UpdateProfiles([&](ProfileSet& set) -> HRESULT {
                StoredProfile* profile = set.Find(profile_);
                if (profile == nullptr)
                    return MAPI_E_OBJECT_DELETED;
                MergeProps(profile->Section(uid_).props, props);
                return S_OK;
            });
            if (FAILED(hr) || refused.empty() || problems == nullptr)
                return hr;
            return Problems(refused, problems);
        });
    }

    HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
        if (problems != nullptr)
            *problems = nullptr;
        if (tags == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        if (!writable_)
            return MAPI_E_NO_ACCESS;
        return Guarded([&]() -> HRESULT {
            return UpdateProfiles([&](ProfileSet& set) -> HRESULT {
                StoredProfile* profile = set.Find(profile_);
                if (profile == nullptr)
                    return MAPI_E_OBJECT_DELETED;
                StoredSection* section = profile->FindSection(uid_);
                if (section == nullptr)
                    return S_OK;
                for (ULONG i = 0; i < tags->cValues; ++i)
                    std::erase_if(section->props, [&](const StoredProp& p) {
                        return PROP_ID(p.tag) == PROP_ID(tags->aulPropTag[i]);
                    });
                return S_OK;
            });
        });
    }

private:
    static HRESULT Problems(const std::vector<SPropProblem>& refused, LPSPropProblemArray* out) {
        const std::size_t bytes =
            offsetof(SPropProblemArray, aProblem) + refused.size() * sizeof(SPropProblem);
        void* block = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(bytes), &block);
        if (FAILED(hr))
            return hr;
        auto* array = static_cast<LPSPropProblemArray>(block);
        array->cProblem = static_cast<ULONG>(refused.size());
        for (std::size_t i = 0; i < refused.size(); ++i)
            array->aProblem[i] = refused[i];
        *out = array;
        return S_OK;
    }

    std::string profile_;
    MAPIUID uid_;
    bool writable_;
};

// ---- IMsgServiceAdmin ------------------------------------------------------

class ServiceAdmin final : public IMsgServiceAdmin, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    explicit ServiceAdmin(std::string profile) : profile_(std::move(profile)) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        static const IID* const kIids[] = {&IID_IUnknown, &IID_IMsgServiceAdmin};
        return AnswerQuery(static_cast<IMsgServiceAdmin*>(this), iid, object, kIids);
    }

    // Rows: PR_SERVICE_NAME, PR_SERVICE_UID, PR_DISPLAY_NAME and
    // PR_RESOURCE_FLAGS (0), in the order the services were created.
    HRESULT GetMsgServiceTable(ULONG flags, LPMAPITABLE* table) override {
        return ProfileTableCall(
            "IMsgServiceAdmin::GetMsgServiceTable", flags, table,
            [&](ProfileSet& set, std::vector<std::vector<SPropValue>>& rows) -> HRESULT {
                StoredProfile* profile = set.Find(profile_);
                if (profile == nullptr)
                    return MAPI_E_NOT_FOUND;
                for (StoredService& s : profile->services) {
                    SPropValue uid{};
                    uid.ulPropTag = PR_SERVICE_UID;
                    uid.Value.bin.cb = sizeof s.uid.ab;
                    uid.Value.bin.lpb = s.uid.ab;
                    SPropValue resource{};
                    resource.ulPropTag = PR_RESOURCE_FLAGS;
                    rows.push_back({StringProp(PR_SERVICE_NAME, s.name), uid,
                                    StringProp(PR_DISPLAY_NAME, s.display_name), resource});
                }
                return S_OK;
            });
    }

    HRESULT CreateMsgService(LPSTR service, LPSTR display_name, ULONG_PTR, ULONG flags) override {
        if (HRESULT fault = MAPICheckFault("IMsgServiceAdmin::CreateMsgService"); FAILED(fault))
            return fault;
        if (HRESULT hr = CheckName(service); FAILED(hr))
            return hr;
        if (display_name != nullptr && std::strlen(display_name) > kMaxNameBytes)
            return MAPI_E_STRING_TOO_LONG;
        if (flags & ~(SERVICE_UI_ALWAYS | SERVICE_UI_ALLOWED))
            return MAPI_E_UNKNOWN_FLAGS;
        if (FindMsgServiceProvider(service) == nullptr)
            return MAPI_E_NOT_FOUND;
        return Guarded([&]() -> HRESULT {
            StoredService created;
            created.uid = NewUid();
            created.name = service;
            created.display_name = display_name ? display_name : service;
            return UpdateProfiles([&](ProfileSet& set) -> HRESULT {
                StoredProfile* profile = set.Find(profile_);
                if (profile == nullptr)
                    return MAPI_E_NOT_FOUND;
                profile->services.push_back(created);
                return S_OK;
            });
        });
    }

    HRESULT DeleteMsgService(LPMAPIUID service_uid) override {
        if (service_uid == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        const MAPIUID uid = *service_uid;
        return Guarded([&]() -> HRESULT {
            return UpdateProfiles([&](ProfileSet& set) -> HRESULT {
                StoredProfile* profile = set.Find(profile_);
                if (profile == nullptr || profile->FindService(uid) == nullptr)
                    return MAPI_E_NOT_FOUND;
                std::erase_if(profile->services,
                              [&](const StoredService& s) { return SameUid(s.uid, uid); });
                std::erase_if(profile->sections,
                              [&](const StoredSection& s) { return SameUid(s.uid, uid); });
                return S_OK;
            });
        });
    }

    HRESULT ConfigureMsgService(LPMAPIUID service_uid, ULONG_PTR, ULONG flags, ULONG count,
                                LPSPropValue values) override {
        if (service_uid == nullptr || (values == nullptr && count > 0))
            return MAPI_E_INVALID_PARAMETER;
        if (flags & ~(SERVICE_UI_ALWAYS | SERVICE_UI_ALLOWED | MSG_SERVICE_UI_READ_ONLY))
            return MAPI_E_UNKNOWN_FLAGS;
        const MAPIUID uid = *service_uid;
        return Guarded([&]() -> HRESULT {
            ProfileSet set;
            HRESULT hr = ReadProfiles(&set);
            if (FAILED(hr))
                return hr;
            StoredProfile* profile = set.Find(profile_);
            if (profile == nullptr)
                return MAPI_E_NOT_FOUND;
            StoredService* service = profile->FindService(uid);
            if (service == nullptr)
                return MAPI_E_NOT_FOUND;
            IMsgServiceProvider* provider = FindMsgServiceProvider(service->name);
            if (provider == nullptr)
                return MAPI_E_NOT_FOUND;

            std::vector<StoredProp> given(count);
            for (ULONG i = 0; i < count; ++i)
                if (FAILED(hr = StoreProp(values[i], &given[i])))
                    return hr;
            ULONG resolved_count = 0;
            LPSPropValue resolved = nullptr;
            const HRESULT configured =
                provider->Configure(count, values, &resolved_count, &resolved);
            if (FAILED(configured))
                return configured;
            std::vector<StoredProp> global(resolved ? resolved_count : 0);
            hr = S_OK;
            for (std::size_t i = 0; i < global.size() && SUCCEEDED(hr); ++i)
                hr = StoreProp(resolved[i], &global[i]);
            MAPIFreeBuffer(resolved);
            if (FAILED(hr))
                return hr;

            hr = UpdateProfiles([&](ProfileSet& current) -> HRESULT {
                StoredProfile* p = current.Find(profile_);
                StoredService* s = p ? p->FindService(uid) : nullptr;
                if (s == nullptr)
                    return MAPI_E_NOT_FOUND;
                s->configured = true;
                MergeProps(p->Section(uid).props, given);
                MergeProps(p->Section(pbGlobalProfileSectionGuid).props, global);
                return S_OK;
            });
            return FAILED(hr) ? hr : configured;
        });
    }

    HRESULT OpenProfileSection(LPMAPIUID section_uid, LPCIID iid, ULONG flags,
                               LPPROFSECT* section) override {
        if (HRESULT fault = MAPICheckFault("IMsgServiceAdmin::OpenProfileSection"); FAILED(fault))
            return fault;
        if (section == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *section = nullptr;
        if (section_uid == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        if (flags & ~(MAPI_MODIFY | MAPI_DEFERRED_ERRORS | MAPI_BEST_ACCESS | MAPI_UNICODE))
            return MAPI_E_UNKNOWN_FLAGS;
        if (iid != nullptr &&
            !(*iid == IID_IProfSect || *iid == IID_IMAPIProp || *iid == IID_IUnknown))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        return Guarded([&]() -> HRESULT {
            ProfileSet set;
            HRESULT hr = ReadProfiles(&set);
            if (FAILED(hr))
                return hr;
            StoredProfile* profile = set.Find(profile_);
            if (profile == nullptr)
                return MAPI_E_NOT_FOUND;
            auto* created = new ProfileSection(profile->name, *section_uid,
                                               (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0);
            *section = created;
            return S_OK;
        });
    }

private:
    std::string profile_;
};

// ---- IProfAdmin ------------------------------------------------------------------

class ProfileAdmin final : public IProfAdmin, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    HRESULT QueryInterface(const IID& iid, void** object) override {
        static const IID* const kIids[] = {&IID_IUnknown, &IID_IProfAdmin};
        return AnswerQuery(static_cast<IProfAdmin*>(this), iid, object, kIids);
    }

    // Rows: PR_DISPLAY_NAME (PR_DISPLAY_NAME_W with MAPI_UNICODE) and
    // PR_DEFAULT_PROFILE, which is always false: there is no default profile.
    HRESULT GetProfileTable(ULONG flags, LPMAPITABLE* table) override {
        // The wide names live here, beyond the rows that point at them,
        // until the table has copied the rows.
        std::vector<std::u16string> wide;
        return ProfileTableCall(
            "IProfAdmin::GetProfileTable", flags, table,
            [&](ProfileSet& set, std::vector<std::vector<SPropValue>>& rows) -> HRESULT {
                wide.reserve(set.profiles.size());
                for (StoredProfile& p : set.profiles) {
                    SPropValue name = StringProp(PR_DISPLAY_NAME, p.name);
                    if (flags & MAPI_UNICODE) {
                        wide.push_back(Utf8ToUtf16(p.name));
                        name.ulPropTag = PR_DISPLAY_NAME_W;
                        name.Value.lpszW = wide.back().data();
                    }
                    SPropValue is_default{};
                    is_default.ulPropTag = PR_DEFAULT_PROFILE;
                    rows.push_back({name, is_default});
                }
                return S_OK;
            });
    }

    HRESULT CreateProfile(LPSTR name, LPSTR, ULONG_PTR, ULONG flags) override {
        if (HRESULT fault = MAPICheckFault("IProfAdmin::CreateProfile"); FAILED(fault))
            return fault;
        if (HRESULT hr = CheckName(name); FAILED(hr))
            return hr;
        if (flags & ~MAPI_DIALOG)
            return MAPI_E_UNKNOWN_FLAGS;
        return Guarded([&]() -> HRESULT {
            const ProfileOwner owner = CurrentOwner();
            return UpdateProfiles([&](ProfileSet& set) -> HRESULT {
                DropOrphanedProfiles(set);
                if (set.Find(name) != nullptr)
                    return MAPI_E_COLLISION;
                set.profiles.push_back(StoredProfile{name, {}, {}, owner});
                return S_OK;
            });
        });
    }

    HRESULT DeleteProfile(LPSTR name, ULONG flags) override {
        if (HRESULT fault = MAPICheckFault("IProfAdmin::DeleteProfile"); FAILED(fault))
            return fault;
        if (HRESULT hr = CheckName(name); FAILED(hr))
            return hr;
        if (flags != 0)
            return MAPI_E_UNKNOWN_FLAGS;
        return Guarded([&]() -> HRESULT {
            return UpdateProfiles([&](ProfileSet& set) -> HRESULT {
                for (auto it = set.profiles.begin(); it != set.profiles.end(); ++it) {
                    if (Utf8EqualNoCase(it->name, name)) {
                        set.profiles.erase(it);
                        return S_OK;
                    }
                }
                return MAPI_E_NOT_FOUND;
            });
        });
    }

    HRESULT AdminServices(LPSTR name, LPSTR, ULONG_PTR, ULONG flags,
                          LPSERVICEADMIN* admin) override {
        if (HRESULT fault = MAPICheckFault("IProfAdmin::AdminServices"); FAILED(fault))
            return fault;
        if (admin == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *admin = nullptr;
        if (HRESULT hr = CheckName(name); FAILED(hr))
            return hr;
        if (flags & ~MAPI_DIALOG)
            return MAPI_E_UNKNOWN_FLAGS;
        return Guarded([&]() -> HRESULT {
            ProfileSet set;
            HRESULT hr = ReadProfiles(&set);
            if (FAILED(hr))
                return hr;
            StoredProfile* profile = set.Find(name);
            if (profile == nullptr)
                return MAPI_E_NOT_FOUND;
            *admin = new ServiceAdmin(profile->name);
            return S_OK;
        });
    }
};

} // namespace

HRESULT MAPIAdminProfiles(ULONG flags, LPPROFADMIN* admin) {
    if (HRESULT fault = MAPICheckFault("MAPIAdminProfiles"); FAILED(fault))
        return fault;
    if (admin == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *admin = nullptr;
    if (!ThreadInitialized())
        return MAPI_E_NOT_INITIALIZED;
    if (flags != 0)
        return MAPI_E_UNKNOWN_FLAGS;
    ProfileAdmin* created = new (std::nothrow) ProfileAdmin;
    if (created == nullptr)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    *admin = created;
    return S_OK;
}
