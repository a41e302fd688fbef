// The temporary profile and the home server's name.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/mapi/msgservice.h"
#include "runtime/vtx_str.h"
#include "tests/support/store_fixture.h"

namespace testing_store {
namespace {

std::vector<std::string> ProfileNames() {
    std::vector<std::string> names;
    LPPROFADMIN admin = nullptr;
    LPMAPITABLE table = nullptr;
    LPSRowSet rows = nullptr;
    SizedSPropTagArray<1> columns = {1, {PR_DISPLAY_NAME}};
    EXPECT_EQ(MAPIAdminProfiles(0, &admin), S_OK);
    EXPECT_EQ(admin->GetProfileTable(0, &table), S_OK);
    EXPECT_EQ(HrQueryAllRows(table, columns.get(), nullptr, nullptr, 0, &rows), S_OK);
    for (ULONG i = 0; rows != nullptr && i < rows->cRows; ++i)
        names.push_back(rows->aRow[i].lpProps[0].Value.lpszA);
    FreeProws(rows);
    table->Release();
    admin->Release();
    return names;
}

int CountIgnoringCase(const std::vector<std::string>& names, const std::u16string& name) {
    int count = 0;
    for (const std::string& n : names)
        count += VTX_WStrICmp(W(n).c_str(), name.c_str()) == 0 ? 1 : 0;
    return count;
}

using Profiles = StoreTest;

TEST_F(Profiles, AnOlderProfileOfTheNameInAnyCaseIsReplacedAndDeletionIsQuiet) {
    ASSERT_EQ(mapi_CreateProfile(u"SWL_Replace", u"sortwell", u"MX1"), S_OK);
    ASSERT_EQ(mapi_CreateProfile(u"swl_replace", u"alice", u"mx1"), S_OK);
    std::vector<std::string> names = ProfileNames();
    EXPECT_EQ(CountIgnoringCase(names, u"swl_replace"), 1);
    EXPECT_NE(std::find(names.begin(), names.end(), "swl_replace"), names.end());

    mapi_DeleteProfile(u"SWL_REPLACE");
    EXPECT_EQ(CountIgnoringCase(ProfileNames(), u"swl_replace"), 0);
    size_t before = ProfileNames().size();
    mapi_DeleteProfile(u"swl_replace"); // not there any more: no effect
    mapi_DeleteProfile(nullptr);
    EXPECT_EQ(ProfileNames().size(), before);
}

TEST_F(Profiles, AFailureAfterTheProfileExistsDeletesItAndReturnsTheFirstFailure) {
    Fault("IMsgServiceAdmin::ConfigureMsgService", MAPI_E_NO_ACCESS, 1);
    EXPECT_EQ(mapi_CreateProfile(u"swl_fails", u"sortwell", u"MX1"), MAPI_E_NO_ACCESS);
    EXPECT_EQ(CountIgnoringCase(ProfileNames(), u"swl_fails"), 0);

    // An alias the server does not know fails the same way.
    HRESULT unknown = mapi_CreateProfile(u"swl_fails", u"nobody", u"MX1");
    EXPECT_LT(unknown, 0);
    EXPECT_NE(unknown, E_INVALIDARG);
    EXPECT_EQ(CountIgnoringCase(ProfileNames(), u"swl_fails"), 0);

    // "=" and the name must fit 512 characters with the terminator.
    std::u16string longest(510, u'a'), too_long(511, u'a');
    EXPECT_NE(mapi_CreateProfile(u"swl_fails", longest.c_str(), u"MX1"), E_INVALIDARG);
    EXPECT_EQ(mapi_CreateProfile(u"swl_fails", too_long.c_str(), u"MX1"), E_INVALIDARG);
    EXPECT_EQ(mapi_CreateProfile(nullptr, u"sortwell", u"MX1"), E_INVALIDARG);
    EXPECT_EQ(CountIgnoringCase(ProfileNames(), u"swl_fails"), 0);
}

TEST_F(Profiles, ServerNameIsCopiedWhenItFitsAndRefusedWhenItDoesNot) {
    std::u16string dn = W(alice_.server_dn);
    char16_t buffer[256];
    std::fill(std::begin(buffer), std::end(buffer), u'x');
    ASSERT_EQ(mapi_GetProfileServerDN(profile_.c_str(), buffer, 256), S_OK);
    EXPECT_EQ(std::u16string(buffer), dn);
    EXPECT_TRUE(std::all_of(buffer + dn.size(), buffer + 256, [](char16_t c) { return c == 0; }));

    std::fill(std::begin(buffer), std::end(buffer), u'x');
    ULONG exact = static_cast<ULONG>(dn.size()) + 1;
    ASSERT_EQ(mapi_GetProfileServerDN(profile_.c_str(), buffer, exact), S_OK);
    EXPECT_EQ(std::u16string(buffer), dn);
    EXPECT_EQ(buffer[exact], u'x') << "nothing written past the capacity";

    std::fill(std::begin(buffer), std::end(buffer), u'x');
    EXPECT_EQ(mapi_GetProfileServerDN(profile_.c_str(), buffer, exact - 1), MAPI_E_STRING_TOO_LONG);
    EXPECT_EQ(buffer[0], u'x') << "a failure leaves the buffer alone";
    EXPECT_EQ(mapi_GetProfileServerDN(profile_.c_str(), buffer, 0), E_INVALIDARG);
    EXPECT_LT(mapi_GetProfileServerDN(u"swl_no_such_profile", buffer, 256), 0);
}

// A message service that records what it is configured with. Registered in
// a child process only, so that the store's own service stays in place here.
class RecordingService : public IMsgServiceProvider {
public:
    HRESULT Configure(ULONG count, const SPropValue* values, ULONG* out_count,
                      LPSPropValue* out_values) override {
        calls.push_back({});
        for (ULONG i = 0; i < count; ++i) {
            const char* text = values[i].Value.lpszA;
            calls.back().push_back(std::to_string(values[i].ulPropTag) + "=" +
                                   (text != nullptr ? text : "<null>"));
        }
        if (FAILED(result))
            return result;
        static char dn[] = "/o=Altavane/ou=Lab/cn=Configuration/cn=Servers/cn=REC";
        LPVOID out = nullptr;
        MAPIAllocateBuffer(sizeof(SPropValue), &out);
        *out_values = static_cast<LPSPropValue>(out);
        (*out_values)->ulPropTag = PR_PROFILE_HOME_SERVER_DN;
        (*out_values)->Value.lpszA = dn;
        *out_count = 1;
        return S_OK;
    }
    HRESULT Logon(ULONG, const SPropValue*, IMsgServiceSession**) override {
        return MAPI_E_NO_SUPPORT;
    }
    std::vector<std::vector<std::string>> calls;
    HRESULT result = S_OK;
};

int ConfigureInChild() {
    RecordingService service;
    MAPIRegisterMsgService("MSEMS", &service);
    MAPIInitialize(nullptr);
    int failures = 0;
    auto check = [&](bool ok, const std::string& what) {
        if (!ok) {
            std::fprintf(stderr, "FAILED: %s\n", what.c_str());
            ++failures;
        }
    };
    const std::string name = std::to_string(PR_PROFILE_UNRESOLVED_NAME) + "=";
    const std::string server = std::to_string(PR_PROFILE_UNRESOLVED_SERVER) + "=";

    check(mapi_CreateProfile(u"swl_rec", u"alice", nullptr) == S_OK, "create without server");
    check(service.calls.size() == 1 &&
              service.calls[0] == std::vector<std::string>{name + "=alice", server + "<null>"},
          "configured with \"=alice\" and a null server");
    char16_t dn[256];
    check(mapi_GetProfileServerDN(u"swl_rec", dn, 256) == S_OK &&
              std::u16string(dn) == u"/o=Altavane/ou=Lab/cn=Configuration/cn=Servers/cn=REC",
          "home server read back");

    service.result = MAPI_E_UNCONFIGURED;
    check(mapi_CreateProfile(u"SWL_REC", u"b\u00f6b", u"MX\u00c9") == MAPI_E_UNCONFIGURED,
          "failure returned");
    check(service.calls.size() == 2 &&
              service.calls[1] == std::vector<std::string>{name + "=b\xc3\xb6"
                                                                  "b",
                                                           server + "MX\xc3\x89"},
          "8-bit text is UTF-8");
    check(CountIgnoringCase(ProfileNames(), u"swl_rec") == 0,
          "the older profile and the failed one are both gone");
    MAPIUninitialize();
    return failures;
}

TEST(ProfileConfiguration, TheServiceGetsEqualsAliasAndANullServerAndNothingMore) {
    WorkDir(); // the profiles file of this run
    EXPECT_EXIT(std::exit(ConfigureInChild()), ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace testing_store
