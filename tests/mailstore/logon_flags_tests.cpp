// Administrative mailbox logon and logoff against recording stand-ins: the
// flags passed, what each result of the open becomes, and that the entry
// identifier and the manage-store interface are given back on every path.
#include <gtest/gtest.h>

#include "exchange_util/exchange_util.h"
#include "tests/mailstore/fakes.h"

namespace {

char kStoreDn[] = "/o=Altavane/ou=Lab/cn=Configuration/cn=Servers/cn=MX1/cn=Microsoft Private MDB";
char kMailboxDn[] = "/o=Altavane/ou=Lab/cn=Recipients/cn=alice";
char kEmpty[] = "";

class MailboxLogonFlags : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
        buffers_ = MAPIDebugLiveBuffers();
    }
    void TearDown() override {
        // The entry identifier and the manage-store interface never outlive a call.
        EXPECT_EQ(MAPIDebugLiveBuffers(), buffers_);
        EXPECT_EQ(private_store_.manage.refs, 1u);
        EXPECT_EQ(private_store_.refs, 1u);
        MAPIUninitialize();
    }
    HRESULT Logon(LPSTR mailbox_dn, LPMDB* out) {
        return HrMailboxLogon(&session_, &private_store_, kStoreDn, mailbox_dn, out);
    }

    fakes::Session session_;
    fakes::Store private_store_;
    ULONG buffers_ = 0;
};

TEST_F(MailboxLogonFlags, AsksForAdminRightsAndThePublicStoreOnlyWithoutAMailboxName) {
    LPMDB store = nullptr;
    EXPECT_EQ(Logon(kMailboxDn, &store), S_OK);
    EXPECT_EQ(store, &session_.opened);
    EXPECT_EQ(private_store_.manage.seen_flags, 0x9u);
    EXPECT_EQ(private_store_.manage.seen_store_dn, kStoreDn);
    EXPECT_EQ(private_store_.manage.seen_mailbox_dn, kMailboxDn);
    EXPECT_EQ(session_.seen_flags, 0xB1u);
    EXPECT_TRUE(session_.seen_iid_null);
    store->Release();

    for (LPSTR no_name : {kEmpty, static_cast<LPSTR>(nullptr)}) {
        store = nullptr;
        EXPECT_EQ(Logon(no_name, &store), S_OK);
        EXPECT_EQ(private_store_.manage.seen_flags, 0xBu);
        ASSERT_NE(store, nullptr);
        store->Release();
    }
    EXPECT_EQ(session_.opened.refs, 1u);
}

TEST_F(MailboxLogonFlags, OpenResultsBecomeTheLibrarysCodesAndWarningsCountAsFailures) {
    LPMDB untouched = reinterpret_cast<LPMDB>(&session_);
    struct Case {
        HRESULT open;
        HRESULT expected;
    } cases[] = {{MAPI_W_ERRORS_RETURNED, E_FAIL},
                 {MAPI_E_NOT_FOUND, UTIL_E_NOT_FOUND},
                 {MAPI_E_NO_ACCESS, E_FAIL},
                 {MAPI_E_LOGON_FAILED, E_FAIL}};
    for (const Case& c : cases) {
        session_.open_result = c.open;
        LPMDB store = untouched;
        EXPECT_EQ(Logon(kMailboxDn, &store), c.expected) << std::hex << c.open;
        EXPECT_EQ(store, untouched);
        // The store opened with a warning was released again.
        EXPECT_EQ(session_.opened.refs, 1u);
    }

    // Another success code is passed on with the store.
    session_.open_result = MAPI_W_POSITION_CHANGED;
    LPMDB store = nullptr;
    EXPECT_EQ(Logon(kMailboxDn, &store), MAPI_W_POSITION_CHANGED);
    ASSERT_EQ(store, &session_.opened);
    store->Release();
}

TEST_F(MailboxLogonFlags, MissingArgumentsAndRefusedInterfaces) {
    LPMDB store = nullptr;
    EXPECT_EQ(HrMailboxLogon(nullptr, &private_store_, kStoreDn, kMailboxDn, &store), E_INVALIDARG);
    EXPECT_EQ(HrMailboxLogon(&session_, nullptr, kStoreDn, kMailboxDn, &store), E_INVALIDARG);
    EXPECT_EQ(HrMailboxLogon(&session_, &private_store_, nullptr, kMailboxDn, &store),
              E_INVALIDARG);
    EXPECT_EQ(private_store_.manage.seen_flags, 0u) << "no call may be made";

    private_store_.offers_manage_store = false;
    EXPECT_EQ(Logon(kMailboxDn, &store), E_FAIL);
    private_store_.offers_manage_store = true;
    private_store_.manage.result = MAPI_E_NOT_FOUND;
    EXPECT_EQ(Logon(kMailboxDn, &store), E_FAIL);
    EXPECT_EQ(store, nullptr);
    EXPECT_EQ(session_.seen_flags, 0u) << "no open after a failed entry identifier";
}

TEST_F(MailboxLogonFlags, LogoffReleasesOnlyAfterASuccessfulLogoff) {
    EXPECT_EQ(HrMailboxLogoff(nullptr), S_OK);
    LPMDB none = nullptr;
    EXPECT_EQ(HrMailboxLogoff(&none), S_OK);

    fakes::Store store;
    store.AddRef(); // the reference the logoff gives back
    LPMDB held = &store;
    store.logoff_result = MAPI_E_BUSY;
    EXPECT_EQ(HrMailboxLogoff(&held), MAPI_E_BUSY);
    EXPECT_EQ(held, &store);
    EXPECT_EQ(store.refs, 2u);
    EXPECT_EQ(store.seen_logoff_flags, LOGOFF_NO_WAIT);

    store.logoff_result = S_OK;
    EXPECT_EQ(HrMailboxLogoff(&held), S_OK);
    EXPECT_EQ(held, nullptr);
    EXPECT_EQ(store.refs, 1u);
}

} // namespace
