// Profiles, message services and sections, kept in the profile file: its
// parser, its damage, and the life cycle of the profiles in it (made the
// agent's own way, against a message service of the tests' own).
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "mailstore/mailbox_ops.h"
#include "mailstore/mapix.h"
#include "platform/mapi/mapi_profile_file.h"
#include "tests/mapi/mapi_test_support.h"

namespace {

using namespace mapi_test;
using Names = std::vector<std::string>;

// The message service "MSEMS" of these tests: Configure wants "=name"
// ("=refuse" is refused) and answers with the home server (given, or
// "DEFAULT") and the user; a logon tells configured profiles from others.
class TestProvider : public IMsgServiceProvider {
public:
    int configures = 0;
    std::string last_server;
    HRESULT Configure(ULONG count, const SPropValue* values, ULONG* out_count,
                      LPSPropValue* out_values) override {
        ++configures;
        const SPropValue* name = mapi_detail::FindValue(values, count, PR_PROFILE_UNRESOLVED_NAME);
        const SPropValue* server =
            mapi_detail::FindValue(values, count, PR_PROFILE_UNRESOLVED_SERVER);
        if (name == nullptr || name->Value.lpszA == nullptr || name->Value.lpszA[0] != '=')
            return MAPI_E_INVALID_PARAMETER;
        if (std::string(name->Value.lpszA) == "=refuse")
            return MAPI_E_NOT_FOUND;
        const char* given = server != nullptr ? server->Value.lpszA : nullptr;
        last_server = server == nullptr ? "(absent)" : given == nullptr ? "(null)" : given;
        std::string dn = "/o=Test/ou=Site/cn=Servers/cn=" + std::string(given ? given : "DEFAULT");
        SPropValue out[2] = {Str(PR_PROFILE_HOME_SERVER_DN, dn.c_str()),
                             Str(PR_PROFILE_USER, name->Value.lpszA + 1)};
        *out_count = 2;
        return ScDupPropset(2, out, out_values);
    }
    HRESULT Logon(ULONG count, const SPropValue* global, IMsgServiceSession**) override {
        return mapi_detail::FindValue(global, count, PR_PROFILE_HOME_SERVER_DN)
                   ? MAPI_E_NO_SUPPORT
                   : MAPI_E_UNCONFIGURED;
    }
};

TestProvider& Provider() {
    static TestProvider* provider = [] {
        auto* p = new TestProvider;
        MAPIRegisterMsgService("MSEMS", p);
        return p;
    }();
    return *provider;
}

// Each test has its own profile file in a fresh directory, and an
// initialised thread.
class MapiProfiles : public LeakCheckedTest {
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
        std::stringstream s;
        s << std::ifstream(path_).rdbuf();
        return s.str();
    }
    void WriteFile(const std::string& text) const {
        std::filesystem::create_directories(dir_ + "/state");
        std::ofstream(path_) << text;
    }
    // A profile's global section, and the objects that hold it.
    struct Global {
        LPPROFADMIN admin = nullptr;
        LPSERVICEADMIN services = nullptr;
        LPPROFSECT section = nullptr;
        explicit Global(const char* profile) {
            if (MAPIAdminProfiles(0, &admin) == S_OK &&
                admin->AdminServices(const_cast<char*>(profile), nullptr, 0, 0, &services) == S_OK)
                services->OpenProfileSection(const_cast<LPMAPIUID>(&pbGlobalProfileSectionGuid),
                                             nullptr, 0, &section);
        }
        ~Global() {
            UlRelease(section);
            UlRelease(services);
            UlRelease(admin);
        }
    };
    // Makes profile `name` in a child process that is killed as soon as it
    // has: the signal that ended the child.
    static int MadeAndKilled(const char* name) {
        pid_t pid = ::fork();
        if (pid == 0) {
            MAPIInitialize(nullptr);
            if (MakeAgentProfile(name, "HOST") == S_OK)
                ::raise(SIGKILL);
            ::_exit(3);
        }
        int status = 0;
        return ::waitpid(pid, &status, 0) == pid && WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    }
    // The names in the profile table, in order.
    static Names ProfileNames() {
        LPPROFADMIN admin = nullptr;
        LPMAPITABLE table = nullptr;
        LPSRowSet rows = nullptr;
        Names names;
        SizedSPropTagArray<1> cols = {1, {PR_DISPLAY_NAME}};
        if (MAPIAdminProfiles(0, &admin) == S_OK && admin->GetProfileTable(0, &table) == S_OK &&
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
    // The agent's own way of making its profile for mailbox "agent": every
    // profile of the name deleted first, the service added and configured.
    static HRESULT MakeAgentProfile(const char* profile, const char* server) {
        std::u16string p = mapi_detail::Utf8ToUtf16(profile);
        std::u16string s = server ? mapi_detail::Utf8ToUtf16(server) : u"";
        return mapi_CreateProfile(p.c_str(), u"agent", server ? s.c_str() : nullptr);
    }

    std::string dir_;
    std::string path_;
};

TEST_F(MapiProfiles, LifeCycleCreateCollideListDelete) {
    EXPECT_EQ(ProfileNames(), Names{}); // no file yet: no profiles
    LPPROFADMIN admin = nullptr;
    ASSERT_EQ(MAPIAdminProfiles(0, &admin), S_OK);
    EXPECT_EQ(admin->CreateProfile(const_cast<char*>("Sortwell-A"), nullptr, 0, 0), S_OK);
    EXPECT_EQ(admin->CreateProfile(const_cast<char*>("Sortwell-B"), nullptr, 0, 0), S_OK);
    // Names collide without regard to case.
    EXPECT_EQ(admin->CreateProfile(const_cast<char*>("SORTWELL-a"), nullptr, 0, 0),
              MAPI_E_COLLISION);
    EXPECT_EQ(ProfileNames(), (Names{"Sortwell-A", "Sortwell-B"}));
    EXPECT_EQ(admin->DeleteProfile(const_cast<char*>("sortwell-b"), 0), S_OK);
    EXPECT_EQ(ProfileNames(), (Names{"Sortwell-A"}));
    EXPECT_EQ(admin->DeleteProfile(const_cast<char*>("Sortwell-B"), 0), MAPI_E_NOT_FOUND);
    // Bad names are refused clearly.
    EXPECT_EQ(admin->CreateProfile(nullptr, nullptr, 0, 0), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(admin->CreateProfile(const_cast<char*>(""), nullptr, 0, 0), MAPI_E_INVALID_PARAMETER);
    std::string long_name(257, 'p');
    EXPECT_EQ(admin->CreateProfile(long_name.data(), nullptr, 0, 0), MAPI_E_STRING_TOO_LONG);
    EXPECT_EQ(admin->DeleteProfile(const_cast<char*>("Sortwell-A"), 0x4), MAPI_E_UNKNOWN_FLAGS);
    // Names with quotes, backslashes, line breaks and non-ASCII survive the file.
    std::string odd = "We\"ird\\ \n\xC3\xA9";
    EXPECT_EQ(admin->CreateProfile(odd.data(), nullptr, 0, 0), S_OK);
    UlRelease(admin);
    EXPECT_EQ(ProfileNames(), (Names{"Sortwell-A", odd}));
}

// What the service resolved lands in the global section, which reads in
// either string width and refuses changes; its refusals and the values no
// profile can keep are clear failures.
TEST_F(MapiProfiles, ServicesAreConfiguredThroughTheProviderAndFailClearly) {
    ASSERT_EQ(MakeAgentProfile("Sortwell-host", nullptr), S_OK);
    EXPECT_EQ(Provider().last_server, "(null)"); // a null server reaches the provider as null
    {
        Global g("SORTWELL-HOST");
        ASSERT_NE(g.section, nullptr);
        LPSPropValue dn = nullptr;
        ASSERT_EQ(HrGetOneProp(g.section, PR_PROFILE_HOME_SERVER_DN, &dn), S_OK);
        EXPECT_STREQ(dn->Value.lpszA, "/o=Test/ou=Site/cn=Servers/cn=DEFAULT");
        MAPIFreeBuffer(dn);
        ASSERT_EQ(HrGetOneProp(g.section, CHANGE_PROP_TYPE(PR_PROFILE_USER, PT_UNICODE), &dn),
                  S_OK);
        EXPECT_EQ(std::u16string(dn->Value.lpszW), u"agent");
        MAPIFreeBuffer(dn);
        EXPECT_EQ(HrGetOneProp(g.section, PR_PROFILE_HOME_SERVER, &dn), MAPI_E_NOT_FOUND);
        SPropValue change = Str(PR_PROFILE_HOME_SERVER, "x");
        EXPECT_EQ(HrSetOneProp(g.section, &change), MAPI_E_NO_ACCESS);
    }

    Global g("Sortwell-host");
    ASSERT_NE(g.services, nullptr);
    LPMAPITABLE table = nullptr;
    LPSRowSet rows = nullptr;
    ASSERT_EQ(g.services->GetMsgServiceTable(0, &table), S_OK);
    ASSERT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 1u);
    LPSPropValue uid_value =
        PpropFindProp(rows->aRow[0].lpProps, rows->aRow[0].cValues, PR_SERVICE_UID);
    ASSERT_NE(uid_value, nullptr);
    auto* uid = reinterpret_cast<LPMAPIUID>(uid_value->Value.bin.lpb);
    // The provider's refusal is returned unchanged; a value that cannot be
    // kept in a profile, wherever it comes, is refused before the provider
    // sees any.
    SPropValue refused[2] = {Str(PR_PROFILE_UNRESOLVED_NAME, "=refuse"),
                             {PROP_TAG(PT_OBJECT, 0x6650), 0, {}}};
    EXPECT_EQ(g.services->ConfigureMsgService(uid, 0, 0, 1, refused), MAPI_E_NOT_FOUND);
    const int configures = Provider().configures;
    EXPECT_EQ(g.services->ConfigureMsgService(uid, 0, 0, 2, refused), MAPI_E_INVALID_TYPE);
    EXPECT_EQ(Provider().configures, configures);
    FreeProws(rows);
    UlRelease(table);
}

TEST_F(MapiProfiles, AHandWrittenFileIsReadAndCaseVariantsAreReplacedOneByOne) {
    WriteFile("sortwell-profiles 1\n"
              "profile \"Sortwell-X\"\n"
              "service 000102030405060708090a0b0c0d0e0f 1 \"MSEMS\" \"Microsoft Exchange\"\n"
              "section 13dbb0c8aa05101a9bb000aa002fc45a\n"
              "prop 6612001e \"/o=Old\"\n"
              "prop 3001001f \"w\\u00e9\\ud800\"\n"
              "prop 0fff0102 x:\n"
              "\n"
              "profile \"other\"\n"
              "profile \"SORTWELL-x\"\n");
    EXPECT_EQ(ProfileNames(), (Names{"Sortwell-X", "other", "SORTWELL-x"}));
    // The old profile's global section reads as written, a lone surrogate
    // and an empty binary included.
    {
        Global g("sortwell-x");
        ASSERT_NE(g.section, nullptr);
        ULONG count = 0;
        LPSPropValue values = nullptr;
        ASSERT_EQ(g.section->GetProps(nullptr, 0, &count, &values), S_OK);
        ASSERT_EQ(count, 3u);
        EXPECT_STREQ(values[0].Value.lpszA, "/o=Old");
        EXPECT_EQ(std::u16string(values[1].Value.lpszW),
                  std::u16string(u"w\u00e9") + char16_t(0xD800));
        EXPECT_EQ(values[2].Value.bin.cb, 0u);
        MAPIFreeBuffer(values);
    }
    // Each DeleteProfile removes one of the two case variants, so the
    // agent's row-by-row deletion succeeds for both.
    ASSERT_EQ(MakeAgentProfile("sortwell-X", "NEW"), S_OK);
    EXPECT_EQ(ProfileNames(), (Names{"other", "sortwell-X"}));
    EXPECT_EQ(FileText().find("/o=Old"), std::string::npos);
}

TEST_F(MapiProfiles, CorruptOrUnusableFilesGiveClearResults) {
    WriteFile("sortwell-profiles 1\nprofile \"ok\"\nprop zz\n");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ProfileNames(), Names{}); // treated as empty
    std::string err = ::testing::internal::GetCapturedStderr();
    for (const std::string& said : {path_, std::string("corrupt"), std::string("line 3")})
        EXPECT_NE(err.find(said), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    // The next change replaces it and keeps the damaged file aside.
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(MakeAgentProfile("fresh", "H"), S_OK);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(ProfileNames(), (Names{"fresh"}));
    EXPECT_TRUE(std::filesystem::exists(path_ + ".corrupt"));
    // A truncated last line is corrupt too.
    std::ofstream(path_, std::ios::app) << "profile \"half";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ProfileNames(), Names{});
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("corrupt"), std::string::npos);

    // A file that cannot be read, or a place that cannot be written.
    ::setenv("SORTWELL_PROFILES", (dir_ + "/state").c_str(), 1); // a directory
    LPPROFADMIN admin = nullptr;
    ASSERT_EQ(MAPIAdminProfiles(0, &admin), S_OK);
    LPMAPITABLE table = nullptr;
    EXPECT_EQ(admin->GetProfileTable(0, &table), MAPI_E_DISK_ERROR);
    EXPECT_EQ(table, nullptr);
    ::setenv("SORTWELL_PROFILES", (path_ + "/below-a-file").c_str(), 1);
    EXPECT_EQ(admin->CreateProfile(const_cast<char*>("x"), nullptr, 0, 0), MAPI_E_DISK_ERROR);
    UlRelease(admin);
    ::setenv("SORTWELL_PROFILES", path_.c_str(), 1);
}

// A run killed before it could delete its temporary profile leaves it only
// until the next profile is made; profiles of running processes and
// profiles without a recorded creator stay.
TEST_F(MapiProfiles, ProfilesOfEndedCreatorsGoAtTheNextCreate) {
    const mapi_detail::ProfileOwner self = mapi_detail::CurrentOwner();
    ASSERT_TRUE(self.known);
    ASSERT_GT(self.start_ticks, 0u);
    const std::string boot = self.boot_id.empty() ? "-" : self.boot_id;
    const std::string pid = std::to_string(::getpid()), ticks = std::to_string(self.start_ticks);
    WriteFile("sortwell-profiles 1\nprofile \"legacy\"\n" // written before owners were recorded
              "profile \"reused-pid\"\nowner " +
              pid + " " + std::to_string(self.start_ticks - 1) + " " + boot +
              "\nprofile \"other-boot\"\nowner " + pid + " " + ticks +
              " 00000000-0000-0000-0000-000000000000\nprofile \"mine\"\nowner " + pid + " " +
              ticks + " " + boot + "\n");
    std::ofstream(path_ + ".tmp.99999.0") << "sortwell-profiles 1\n"; // a write cut short
    EXPECT_EQ(ProfileNames(), (Names{"legacy", "reused-pid", "other-boot", "mine"}));

    // Killed runs, one after the other: each drops what the previous one
    // left, so only the last one's profile is there.
    for (const char* name : {"swl__0", "swl__1", "swl__2"})
        EXPECT_EQ(MadeAndKilled(name), SIGKILL);
    EXPECT_EQ(ProfileNames(), (Names{"legacy", "mine", "swl__2"}));
    EXPECT_FALSE(std::filesystem::exists(path_ + ".tmp.99999.0"));

    ASSERT_EQ(MakeAgentProfile("swl__last", "HOST"), S_OK);
    EXPECT_EQ(ProfileNames(), (Names{"legacy", "mine", "swl__last"}));
    EXPECT_NE(FileText().find("profile \"swl__last\"\nowner " + pid + " " + ticks),
              std::string::npos)
        << FileText();
}

} // namespace
