// A fixture giving each test its own profile file in a fresh directory and
// an initialised thread.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "mailstore/mapix.h"
#include "platform/mapi/mapi_profile_file.h"
#include "tests/mapi/test_provider.h"

namespace mapi_test {

class ProfileTest : public LeakCheckedTest {
protected:
    void SetUp() override {
        Provider();
        char tmpl[] = "/tmp/mapi_profiles_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/state/profiles";
        ::setenv("SORTWELL_PROFILES", path_.c_str(), 1);
        ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
        LeakCheckedTest::SetUp();
    }
    void TearDown() override {
        LeakCheckedTest::TearDown();
        MAPIUninitialize();
        ::unsetenv("SORTWELL_PROFILES");
        std::filesystem::remove_all(dir_);
    }

    std::string FileText() const {
        std::ifstream in(path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // The names in the profile table, in order.
    static std::vector<std::string> ProfileNames() {
        LPPROFADMIN admin = nullptr;
        std::vector<std::string> names;
        if (MAPIAdminProfiles(0, &admin) != S_OK)
            return {"<no admin>"};
        LPMAPITABLE table = nullptr;
        LPSRowSet rows = nullptr;
        SizedSPropTagArray<1> cols = {1, {PR_DISPLAY_NAME}};
        if (admin->GetProfileTable(0, &table) == S_OK &&
            HrQueryAllRows(table, cols.get(), nullptr, nullptr, 0, &rows) == S_OK) {
            for (ULONG i = 0; i < rows->cRows; ++i)
                names.emplace_back(rows->aRow[i].lpProps[0].Value.lpszA);
        } else {
            names = {"<no table>"};
        }
        FreeProws(rows);
        UlRelease(table);
        UlRelease(admin);
        return names;
    }

    // The agent's way of making its profile: delete every profile of the
    // name, create it, add the Exchange service and configure it with the
    // mailbox and the server. Returns the first failing call's result.
    static HRESULT MakeAgentProfile(const char* profile, const char* mailbox, const char* server) {
        LPPROFADMIN admin = nullptr;
        LPSERVICEADMIN services = nullptr;
        LPMAPITABLE profiles = nullptr;
        LPMAPITABLE service_table = nullptr;
        LPSRowSet profile_rows = nullptr;
        LPSRowSet service_rows = nullptr;
        bool created = false;
        HRESULT hr = MAPIAdminProfiles(0, &admin);
        SizedSPropTagArray<1> name_col = {1, {PR_DISPLAY_NAME}};
        SizedSPropTagArray<2> svc_cols = {2, {PR_SERVICE_NAME, PR_SERVICE_UID}};
        SPropValue msems = Str(PR_SERVICE_NAME, "MSEMS");
        SRestriction by_name = Content(FL_FULLSTRING, PR_SERVICE_NAME, &msems);
        std::string unresolved = std::string("=") + mailbox;
        SPropValue config[2] = {Str(PR_PROFILE_UNRESOLVED_NAME, unresolved.c_str()),
                                Str(PR_PROFILE_UNRESOLVED_SERVER, server)};
        if (SUCCEEDED(hr))
            hr = admin->GetProfileTable(0, &profiles);
        if (SUCCEEDED(hr))
            hr = HrQueryAllRows(profiles, name_col.get(), nullptr, nullptr, 0, &profile_rows);
        for (ULONG i = 0; SUCCEEDED(hr) && i < profile_rows->cRows; ++i)
            if (mapi_detail::Utf8EqualNoCase(profile_rows->aRow[i].lpProps[0].Value.lpszA, profile))
                hr = admin->DeleteProfile(const_cast<char*>(profile), 0);
        if (SUCCEEDED(hr))
            created =
                SUCCEEDED(hr = admin->CreateProfile(const_cast<char*>(profile), nullptr, 0, 0));
        if (SUCCEEDED(hr))
            hr = admin->AdminServices(const_cast<char*>(profile), const_cast<char*>(""), 0, 0,
                                      &services);
        if (SUCCEEDED(hr))
            hr = services->CreateMsgService(const_cast<char*>("MSEMS"),
                                            const_cast<char*>("Microsoft Exchange"), 0, 0);
        if (SUCCEEDED(hr))
            hr = services->GetMsgServiceTable(0, &service_table);
        if (SUCCEEDED(hr))
            hr = HrQueryAllRows(service_table, svc_cols.get(), &by_name, nullptr, 0, &service_rows);
        if (SUCCEEDED(hr) && service_rows->cRows == 0)
            hr = MAPI_E_NOT_FOUND;
        if (SUCCEEDED(hr))
            hr = services->ConfigureMsgService(
                reinterpret_cast<LPMAPIUID>(service_rows->aRow[0].lpProps[1].Value.bin.lpb), 0, 0,
                2, config);
        UlRelease(profiles);
        UlRelease(service_table);
        FreeProws(service_rows);
        FreeProws(profile_rows);
        UlRelease(services);
        if (created && FAILED(hr))
            admin->DeleteProfile(const_cast<char*>(profile), 0);
        UlRelease(admin);
        return hr;
    }

    std::string dir_;
    std::string path_;
};

} // namespace mapi_test
