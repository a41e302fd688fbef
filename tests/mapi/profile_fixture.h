// A fixture giving each test its own profile file in a fresh directory and
// an initialised thread.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "mailstore/mailbox_ops.h"
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

    // Writes the profile file by hand.
    void WriteFile(const std::string& text) const {
        std::filesystem::create_directories(dir_ + "/state");
        std::ofstream(path_) << text;
    }

    // A profile's global section with the objects that hold it, released
    // in turn when it goes.
    struct Global {
        LPPROFADMIN admin = nullptr;
        LPSERVICEADMIN services = nullptr;
        LPPROFSECT section = nullptr;
        ~Global() {
            UlRelease(section);
            UlRelease(services);
            UlRelease(admin);
        }
    };
    static HRESULT OpenGlobal(const char* profile, Global* g) {
        HRESULT hr = MAPIAdminProfiles(0, &g->admin);
        if (SUCCEEDED(hr))
            hr = g->admin->AdminServices(const_cast<char*>(profile), nullptr, 0, 0, &g->services);
        if (SUCCEEDED(hr))
            hr = g->services->OpenProfileSection(const_cast<LPMAPIUID>(&pbGlobalProfileSectionGuid),
                                                 nullptr, 0, &g->section);
        return hr;
    }

    // Runs `body` in a child process with MAPI initialised; its result is
    // the child's exit status.
    static pid_t Child(const std::function<int()>& body) {
        pid_t pid = ::fork();
        if (pid == 0) {
            MAPIInitialize(nullptr);
            ::_exit(body());
        }
        return pid;
    }
    // How a child ended: its exit status, or 128 and the killing signal.
    static int Wait(pid_t pid) {
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

    // The agent's own way of making its profile (every profile of the name
    // deleted first, the service added and configured).
    static HRESULT MakeAgentProfile(const char* profile, const char* mailbox, const char* server) {
        auto wide = [](const char* text) {
            return text ? mapi_detail::Utf8ToUtf16(text) : std::u16string();
        };
        std::u16string p = wide(profile), m = wide(mailbox), s = wide(server);
        return mapi_CreateProfile(p.c_str(), m.c_str(), server ? s.c_str() : nullptr);
    }

    std::string dir_;
    std::string path_;
};

} // namespace mapi_test
