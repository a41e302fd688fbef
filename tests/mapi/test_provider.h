// A small message service for the tests: it resolves a mailbox name to a
// home server.
#pragma once
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/mapi/mapi_test_support.h"

namespace mapi_test {

struct ProviderCounts {
    std::atomic<int> configures{0};
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
    // Sessions are the real store's business and tested against it; here a
    // logon only tells a configured profile from one that is not.
    HRESULT Logon(ULONG count, const SPropValue* global, IMsgServiceSession**) override {
        return mapi_detail::FindValue(global, count, PR_PROFILE_HOME_SERVER_DN)
                   ? MAPI_E_NO_SUPPORT
                   : MAPI_E_UNCONFIGURED;
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
