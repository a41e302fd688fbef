// Logon and sessions against the test provider.
#include "tests/mapi/profile_fixture.h"

namespace {

using namespace mapi_test;

constexpr FLAGS kAgentLogonFlags = 0x18032;

class MapiSession : public ProfileTest {
protected:
    void SetUp() override {
        ProfileTest::SetUp();
        ASSERT_EQ(MakeAgentProfile("Sortwell-session", "agent", "HOST9"), S_OK);
    }
    // The private store's entry identifier, found the way the agent finds
    // it: a property restriction on the provider uid.
    static HRESULT PrivateStoreRows(LPMAPISESSION session, LPSRowSet* rows) {
        LPMAPITABLE table = nullptr;
        HRESULT hr = session->GetMsgStoresTable(0, &table);
        if (FAILED(hr))
            return hr;
        SizedSPropTagArray<1> cols = {1, {PR_ENTRYID}};
        SPropValue uid{};
        uid.ulPropTag = PR_MDB_PROVIDER;
        uid.Value.bin = {16, const_cast<BYTE*>(kPrivateProvider)};
        SRestriction r = Property(RELOP_EQ, PR_MDB_PROVIDER, &uid);
        hr = HrQueryAllRows(table, cols.get(), &r, nullptr, 0, rows);
        UlRelease(table);
        return hr;
    }
};

TEST_F(MapiSession, AgentLogonFindsAndOpensItsPrivateStore) {
    const int logons = Provider().counts.logons;
    const int logoffs = Provider().counts.logoffs;
    LPMAPISESSION session = nullptr;
    ASSERT_EQ(
        MAPILogonEx(0, const_cast<char*>("sortwell-SESSION"), nullptr, kAgentLogonFlags, &session),
        S_OK);
    EXPECT_EQ(Provider().counts.logons, logons + 1);

    LPMAPITABLE table = nullptr;
    ASSERT_EQ(session->GetMsgStoresTable(0, &table), S_OK);
    ULONG count = 0;
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 2u);
    UlRelease(table);

    LPSRowSet rows = nullptr;
    ASSERT_EQ(PrivateStoreRows(session, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 1u);
    ASSERT_EQ(rows->aRow[0].cValues, 1u);
    const SPropValue& entry = rows->aRow[0].lpProps[0];
    ASSERT_EQ(entry.ulPropTag, PR_ENTRYID);
    ASSERT_EQ(entry.Value.bin.cb, 6u);
    EXPECT_EQ(std::memcmp(entry.Value.bin.lpb, kPrivateEntry, 6), 0);

    LPMDB store = nullptr;
    ASSERT_EQ(session->OpenMsgStore(0, entry.Value.bin.cb,
                                    reinterpret_cast<LPENTRYID>(entry.Value.bin.lpb), nullptr,
                                    MAPI_BEST_ACCESS, &store),
              S_OK);
    // The provider logged on with the profile's global section.
    EXPECT_EQ(static_cast<TestStore*>(store)->home, "/o=Test/ou=Site/cn=Servers/cn=HOST9");
    UlRelease(store);
    FreeProws(rows);

    // A warning comes back with the store; an unknown identifier fails.
    BYTE warn[6];
    std::memcpy(warn, kWarningEntry, 6);
    EXPECT_EQ(session->OpenMsgStore(0, 6, reinterpret_cast<LPENTRYID>(warn), nullptr, 0xB1, &store),
              MAPI_W_ERRORS_RETURNED);
    ASSERT_NE(store, nullptr);
    UlRelease(store);
    BYTE bogus[3] = {1, 2, 3};
    EXPECT_EQ(session->OpenMsgStore(0, 3, reinterpret_cast<LPENTRYID>(bogus), nullptr, 0, &store),
              MAPI_E_INVALID_ENTRYID);
    EXPECT_EQ(store, nullptr);
    EXPECT_EQ(
        session->OpenMsgStore(0, 6, reinterpret_cast<LPENTRYID>(warn), nullptr, 0x40000, &store),
        MAPI_E_UNKNOWN_FLAGS);

    EXPECT_EQ(session->Logoff(0, 0, 0), S_OK);
    EXPECT_EQ(Provider().counts.logoffs, logoffs + 1);
    EXPECT_EQ(session->GetMsgStoresTable(0, &table), MAPI_E_END_OF_SESSION);
    EXPECT_EQ(session->Logoff(0, 0, 0), S_OK); // nothing more to end
    EXPECT_EQ(Provider().counts.logoffs, logoffs + 1);
    UlRelease(session);
}

TEST_F(MapiSession, ReleasingWithoutLogoffStillEndsTheServiceSession) {
    const int alive = Provider().counts.sessions_alive;
    LPMAPISESSION session = nullptr;
    ASSERT_EQ(
        MAPILogonEx(0, const_cast<char*>("Sortwell-session"), nullptr, kAgentLogonFlags, &session),
        S_OK);
    EXPECT_EQ(Provider().counts.sessions_alive, alive + 1);
    // A store opened through the session may outlive it.
    LPMDB store = nullptr;
    BYTE id[6];
    std::memcpy(id, kPublicEntry, 6);
    ASSERT_EQ(session->OpenMsgStore(0, 6, reinterpret_cast<LPENTRYID>(id), nullptr, 0, &store),
              S_OK);
    UlRelease(session);
    EXPECT_EQ(Provider().counts.sessions_alive, alive);
    UlRelease(store);
}

TEST_F(MapiSession, LogonFailuresSayWhy) {
    LPMAPISESSION session = reinterpret_cast<LPMAPISESSION>(0x1);
    EXPECT_EQ(
        MAPILogonEx(0, const_cast<char*>("no-such-profile"), nullptr, kAgentLogonFlags, &session),
        MAPI_E_LOGON_FAILED);
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, kAgentLogonFlags, &session), MAPI_E_LOGON_FAILED);
    EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("Sortwell-session"), nullptr, 0x40000000, &session),
              MAPI_E_UNKNOWN_FLAGS);
    EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("Sortwell-session"), nullptr,
                          kAgentLogonFlags | MAPI_UNICODE, &session),
              MAPI_E_BAD_CHARWIDTH);

    // A profile with a service never configured.
    LPPROFADMIN admin = nullptr;
    LPSERVICEADMIN services = nullptr;
    ASSERT_EQ(MAPIAdminProfiles(0, &admin), S_OK);
    ASSERT_EQ(admin->CreateProfile(const_cast<char*>("bare"), nullptr, 0, 0), S_OK);
    EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("bare"), nullptr, kAgentLogonFlags, &session),
              MAPI_E_UNCONFIGURED);
    ASSERT_EQ(admin->AdminServices(const_cast<char*>("bare"), nullptr, 0, 0, &services), S_OK);
    ASSERT_EQ(services->CreateMsgService(const_cast<char*>("MSEMS"), nullptr, 0, 0), S_OK);
    EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("bare"), nullptr, kAgentLogonFlags, &session),
              MAPI_E_UNCONFIGURED);
    UlRelease(services);
    UlRelease(admin);

    // A configured service whose provider is gone from this process.
    static TestProvider ghost;
    MAPIRegisterMsgService("GHOST", &ghost);
    ASSERT_EQ(MAPIAdminProfiles(0, &admin), S_OK);
    ASSERT_EQ(admin->CreateProfile(const_cast<char*>("haunted"), nullptr, 0, 0), S_OK);
    ASSERT_EQ(admin->AdminServices(const_cast<char*>("haunted"), nullptr, 0, 0, &services), S_OK);
    ASSERT_EQ(services->CreateMsgService(const_cast<char*>("GHOST"), nullptr, 0, 0), S_OK);
    LPMAPITABLE table = nullptr;
    LPSRowSet rows = nullptr;
    ASSERT_EQ(services->GetMsgServiceTable(0, &table), S_OK);
    SizedSPropTagArray<1> cols = {1, {PR_SERVICE_UID}};
    ASSERT_EQ(HrQueryAllRows(table, cols.get(), nullptr, nullptr, 0, &rows), S_OK);
    SPropValue name = Str(PR_PROFILE_UNRESOLVED_NAME, "=x");
    ASSERT_EQ(
        services->ConfigureMsgService(
            reinterpret_cast<LPMAPIUID>(rows->aRow[0].lpProps[0].Value.bin.lpb), 0, 0, 1, &name),
        S_OK);
    FreeProws(rows);
    UlRelease(table);
    UlRelease(services);
    UlRelease(admin);
    MAPIRegisterMsgService("GHOST", nullptr);
    EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("haunted"), nullptr, kAgentLogonFlags, &session),
              MAPI_E_NOT_FOUND);
    EXPECT_EQ(session, nullptr);
}

} // namespace
