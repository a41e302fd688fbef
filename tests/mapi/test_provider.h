// A small message service for the tests: it resolves a mailbox name to a
// home server, and its sessions offer a private and a public store.
#pragma once
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/mapi/mapi_test_support.h"

namespace mapi_test {

inline const BYTE kPrivateProvider[16] = {0x54, 0x94, 0xA1, 0xC0, 0x29, 0x7F, 0x10, 0x1B,
                                          0xA5, 0x87, 0x08, 0x00, 0x2B, 0x2A, 0x25, 0x17};
inline const BYTE kPublicProvider[16] = {0x78, 0xB2, 0xFA, 0x70, 0xAF, 0xF7, 0x11, 0xCD,
                                         0x9B, 0xC8, 0x00, 0xAA, 0x00, 0x2F, 0xC4, 0x5A};
inline const BYTE kPrivateEntry[6] = {0, 0, 0, 0, 'P', 'R'};
inline const BYTE kPublicEntry[6] = {0, 0, 0, 0, 'P', 'U'};
inline const BYTE kWarningEntry[6] = {0, 0, 0, 0, 'W', 'N'};

class TestStore : public IMsgStore, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT
    explicit TestStore(std::string home) : home(std::move(home)) {}
    std::string home; // the home server the session was given
    HRESULT QueryInterface(const IID& iid, void** object) override {
        static const IID* const kIids[] = {&IID_IUnknown, &IID_IMsgStore};
        return mapi_detail::AnswerQuery(static_cast<IMsgStore*>(this), iid, object, kIids);
    }
    HRESULT SaveChanges(ULONG) override { return S_OK; }
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
    HRESULT OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT GetReceiveFolder(LPSTR, ULONG, ULONG*, LPENTRYID*, LPSTR*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT StoreLogoff(ULONG*) override { return S_OK; }
};

struct ProviderCounts {
    std::atomic<int> configures{0};
    std::atomic<int> logons{0};
    std::atomic<int> logoffs{0};
    std::atomic<int> sessions_alive{0};
};

class TestServiceSession : public IMsgServiceSession {
public:
    TestServiceSession(ProviderCounts& counts, std::string home) : counts_(counts), home_(home) {
        ++counts_.sessions_alive;
    }
    ~TestServiceSession() override { --counts_.sessions_alive; }
    HRESULT GetStoreRows(LPSRowSet* rows) override {
        void* block = nullptr;
        MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(2)), &block);
        auto* set = static_cast<LPSRowSet>(block);
        set->cRows = 2;
        AddRow(set->aRow[0], kPublicEntry, kPublicProvider, "Public Folders", false);
        AddRow(set->aRow[1], kPrivateEntry, kPrivateProvider, "Mailbox - Agent", true);
        *rows = set;
        return S_OK;
    }
    HRESULT OpenMsgStore(ULONG size, LPENTRYID entry, LPCIID, ULONG, LPMDB* store) override {
        auto is = [&](const BYTE(&id)[6]) { return size == 6 && std::memcmp(entry, id, 6) == 0; };
        if (!is(kPrivateEntry) && !is(kPublicEntry) && !is(kWarningEntry))
            return MAPI_E_INVALID_ENTRYID;
        *store = new TestStore(home_);
        return is(kWarningEntry) ? MAPI_W_ERRORS_RETURNED : S_OK;
    }
    void Logoff() override { ++counts_.logoffs; }

private:
    static void AddRow(SRow& row, const BYTE (&entry)[6], const BYTE (&provider)[16],
                       const char* name, bool is_default) {
        SPropValue v[4] = {};
        v[0].ulPropTag = PR_ENTRYID;
        v[0].Value.bin = {6, const_cast<BYTE*>(entry)};
        v[1].ulPropTag = PR_MDB_PROVIDER;
        v[1].Value.bin = {16, const_cast<BYTE*>(provider)};
        v[2].ulPropTag = PR_DISPLAY_NAME;
        v[2].Value.lpszA = const_cast<char*>(name);
        v[3].ulPropTag = PR_DEFAULT_STORE;
        v[3].Value.b = is_default;
        row.ulAdrEntryPad = 0;
        row.cValues = 4;
        ScDupPropset(4, v, &row.lpProps);
    }
    ProviderCounts& counts_;
    std::string home_;
};

// Configure: the mailbox name must come as "=name"; "=refuse" is refused.
// The result is the home server's name, from the server given or "DEFAULT".
class TestProvider : public IMsgServiceProvider {
public:
    ProviderCounts counts;
    std::string last_server = "(not configured)";
    HRESULT Configure(ULONG count, const SPropValue* values, ULONG* out_count,
                      LPSPropValue* out_values) override {
        ++counts.configures;
        const SPropValue* name = mapi_detail::FindValue(values, count, PR_PROFILE_UNRESOLVED_NAME);
        const SPropValue* server =
            mapi_detail::FindValue(values, count, PR_PROFILE_UNRESOLVED_SERVER);
        if (name == nullptr || name->Value.lpszA == nullptr || name->Value.lpszA[0] != '=')
            return MAPI_E_INVALID_PARAMETER;
        if (std::string(name->Value.lpszA) == "=refuse")
            return MAPI_E_NOT_FOUND;
        last_server = server == nullptr                ? "(absent)"
                      : server->Value.lpszA == nullptr ? "(null)"
                                                       : server->Value.lpszA;
        std::string dn =
            "/o=Test/ou=Site/cn=Servers/cn=" +
            std::string(server && server->Value.lpszA ? server->Value.lpszA : "DEFAULT");
        SPropValue out[2] = {Str(PR_PROFILE_HOME_SERVER_DN, dn.c_str()),
                             Str(PR_PROFILE_USER, name->Value.lpszA + 1)};
        return ScDupPropset(2, out, out_values) == S_OK ? (*out_count = 2, S_OK)
                                                        : MAPI_E_NOT_ENOUGH_MEMORY;
    }
    HRESULT Logon(ULONG count, const SPropValue* global, IMsgServiceSession** session) override {
        ++counts.logons;
        const SPropValue* dn = mapi_detail::FindValue(global, count, PR_PROFILE_HOME_SERVER_DN);
        if (dn == nullptr)
            return MAPI_E_UNCONFIGURED;
        *session = new TestServiceSession(counts, dn->Value.lpszA);
        return S_OK;
    }
};

// One provider for the whole test program, registered as "MSEMS".
inline TestProvider& Provider() {
    static TestProvider* provider = [] {
        auto* p = new TestProvider;
        MAPIRegisterMsgService("MSEMS", p);
        return p;
    }();
    return *provider;
}

} // namespace mapi_test
