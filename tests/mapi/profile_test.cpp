// Profiles, message services and sections, kept in the profile file.
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/mapi/profile_fixture.h"

namespace {

using namespace mapi_test;
using Names = std::vector<std::string>;

class MapiProfiles : public ProfileTest {};

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
    EXPECT_EQ(admin->DeleteProfile(const_cast<char*>("sortwell-a"), 0), S_OK);
    EXPECT_EQ(ProfileNames(), (Names{"Sortwell-B"}));
    EXPECT_EQ(admin->DeleteProfile(const_cast<char*>("Sortwell-A"), 0), MAPI_E_NOT_FOUND);
    LPSERVICEADMIN services = reinterpret_cast<LPSERVICEADMIN>(0x1);
    EXPECT_EQ(admin->AdminServices(const_cast<char*>("Sortwell-A"), nullptr, 0, 0, &services),
              MAPI_E_NOT_FOUND);
    EXPECT_EQ(services, nullptr);
    // Bad names are refused clearly.
    EXPECT_EQ(admin->CreateProfile(nullptr, nullptr, 0, 0), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(admin->CreateProfile(const_cast<char*>(""), nullptr, 0, 0), MAPI_E_INVALID_PARAMETER);
    std::string long_name(257, 'p');
    EXPECT_EQ(admin->CreateProfile(long_name.data(), nullptr, 0, 0), MAPI_E_STRING_TOO_LONG);
    EXPECT_EQ(admin->DeleteProfile(const_cast<char*>("Sortwell-B"), 0x4), MAPI_E_UNKNOWN_FLAGS);
    // Names with quotes, backslashes, line breaks and non-ASCII survive the file.
    std::string odd = "We\"ird\\ \n\xC3\xA9";
    EXPECT_EQ(admin->CreateProfile(odd.data(), nullptr, 0, 0), S_OK);
    UlRelease(admin);
    EXPECT_EQ(ProfileNames(), (Names{"Sortwell-B", odd}));
}

// What the provider resolved lands in the global section, which reads in
// either string width and refuses changes.
TEST_F(MapiProfiles, TheAgentsProfileIsConfiguredThroughTheProvider) {
    ASSERT_EQ(MakeAgentProfile("Sortwell-host", "agent", nullptr), S_OK);
    EXPECT_EQ(Provider().last_server, "(null)"); // a null server reaches the provider as null
    Global g;
    ASSERT_EQ(OpenGlobal("SORTWELL-HOST", &g), S_OK);
    LPPROFSECT global = g.section;
    LPSPropValue dn = nullptr;
    ASSERT_EQ(HrGetOneProp(global, PR_PROFILE_HOME_SERVER_DN, &dn), S_OK);
    EXPECT_STREQ(dn->Value.lpszA, "/o=Test/ou=Site/cn=Servers/cn=DEFAULT");
    MAPIFreeBuffer(dn);
    ASSERT_EQ(HrGetOneProp(global, CHANGE_PROP_TYPE(PR_PROFILE_USER, PT_UNICODE), &dn), S_OK);
    EXPECT_EQ(std::u16string(dn->Value.lpszW), u"agent");
    MAPIFreeBuffer(dn);
    EXPECT_EQ(HrGetOneProp(global, PR_PROFILE_HOME_SERVER, &dn), MAPI_E_NOT_FOUND);
    SPropValue change = Str(PR_PROFILE_HOME_SERVER, "x");
    EXPECT_EQ(HrSetOneProp(global, &change), MAPI_E_NO_ACCESS);
}

TEST_F(MapiProfiles, ServiceCreationAndConfigurationFailuresAreClear) {
    LPPROFADMIN admin = nullptr;
    LPSERVICEADMIN services = nullptr;
    ASSERT_EQ(MAPIAdminProfiles(0, &admin), S_OK);
    ASSERT_EQ(admin->CreateProfile(const_cast<char*>("P"), nullptr, 0, 0), S_OK);
    ASSERT_EQ(admin->AdminServices(const_cast<char*>("P"), nullptr, 0, 0, &services), S_OK);
    EXPECT_EQ(services->CreateMsgService(const_cast<char*>("NOSUCHSERVICE"), nullptr, 0, 0),
              MAPI_E_NOT_FOUND);
    ASSERT_EQ(services->CreateMsgService(const_cast<char*>("msems"), nullptr, 0, 0), S_OK);
    LPMAPITABLE table = nullptr;
    LPSRowSet rows = nullptr;
    ASSERT_EQ(services->GetMsgServiceTable(0, &table), S_OK);
    ASSERT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 1u);
    LPSPropValue uid_value =
        PpropFindProp(rows->aRow[0].lpProps, rows->aRow[0].cValues, PR_SERVICE_UID);
    ASSERT_NE(uid_value, nullptr);
    auto* uid = reinterpret_cast<LPMAPIUID>(uid_value->Value.bin.lpb);
    // The provider's refusal is returned unchanged and configures nothing.
    SPropValue refused = Str(PR_PROFILE_UNRESOLVED_NAME, "=refuse");
    SPropValue ghost_name = Str(PR_PROFILE_UNRESOLVED_NAME, "=x");
    EXPECT_EQ(services->ConfigureMsgService(uid, 0, 0, 1, &refused), MAPI_E_NOT_FOUND);
    LPMAPISESSION session = nullptr;
    EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("P"), nullptr, 0x18032, &session),
              MAPI_E_UNCONFIGURED);
    EXPECT_EQ(session, nullptr);
    // Values that cannot be kept in a profile are refused before the provider sees them.
    SPropValue object{};
    object.ulPropTag = PROP_TAG(PT_OBJECT, 0x6650);
    const int configures = Provider().counts.configures;
    EXPECT_EQ(services->ConfigureMsgService(uid, 0, 0, 1, &object), MAPI_E_INVALID_TYPE);
    EXPECT_EQ(Provider().counts.configures, configures);
    MAPIUID unknown{};
    EXPECT_EQ(services->ConfigureMsgService(&unknown, 0, 0, 1, &refused), MAPI_E_NOT_FOUND);
    EXPECT_EQ(services->ConfigureMsgService(uid, 0, 0x1000, 1, &refused), MAPI_E_UNKNOWN_FLAGS);
    // A configured service whose provider is gone from this process.
    ASSERT_EQ(services->ConfigureMsgService(uid, 0, 0, 1, &ghost_name), S_OK);
    MAPIRegisterMsgService("MSEMS", nullptr);
    EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("P"), nullptr, 0x18032, &session), MAPI_E_NOT_FOUND);
    MAPIRegisterMsgService("MSEMS", &Provider());
    EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("P"), nullptr, 0x18032, &session),
              MAPI_E_NO_SUPPORT);
    // Deleting the service leaves an empty table.
    EXPECT_EQ(services->DeleteMsgService(uid), S_OK);
    EXPECT_EQ(services->DeleteMsgService(uid), MAPI_E_NOT_FOUND);
    FreeProws(rows);
    UlRelease(table);
    ASSERT_EQ(services->GetMsgServiceTable(0, &table), S_OK);
    ULONG count = 99;
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 0u);
    UlRelease(table);
    // A deleted profile's admin object reports it gone.
    ASSERT_EQ(admin->DeleteProfile(const_cast<char*>("P"), 0), S_OK);
    EXPECT_EQ(services->CreateMsgService(const_cast<char*>("MSEMS"), nullptr, 0, 0),
              MAPI_E_NOT_FOUND);
    UlRelease(services);
    UlRelease(admin);
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
        Global g;
        ASSERT_EQ(OpenGlobal("sortwell-x", &g), S_OK);
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
    ASSERT_EQ(MakeAgentProfile("sortwell-X", "agent", "NEW"), S_OK);
    EXPECT_EQ(ProfileNames(), (Names{"other", "sortwell-X"}));
    EXPECT_EQ(FileText().find("/o=Old"), std::string::npos);
}

TEST_F(MapiProfiles, ConcurrentThreadsAndProcessesLoseNoProfile) {
    constexpr int kThreads = 6;
    constexpr int kEach = 8;
    auto make = [](const std::string& prefix) {
        LPPROFADMIN admin = nullptr;
        if (MAPIAdminProfiles(0, &admin) != S_OK)
            return 1;
        int failures = 0;
        for (int i = 0; i < kEach; ++i) {
            std::string name = prefix + std::to_string(i);
            failures += admin->CreateProfile(name.data(), nullptr, 0, 0) != S_OK;
        }
        UlRelease(admin);
        return failures;
    };
    // The child stays alive until the threads are done: a profile whose
    // creator has ended would be dropped by the next CreateProfile.
    int done[2];
    ASSERT_EQ(::pipe(done), 0);
    pid_t child = Child([&] {
        ::close(done[1]);
        int failures = 0;
        for (int t = 0; t < kThreads; ++t)
            failures += make("child-" + std::to_string(t) + "-");
        char byte = 0;
        while (::read(done[0], &byte, 1) < 0 && errno == EINTR) {
        }
        return failures == 0 ? 0 : 4;
    });
    ::close(done[0]);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures, &make] {
            MAPIInitialize(nullptr);
            failures += make("thread-" + std::to_string(t) + "-");
            MAPIUninitialize();
        });
    }
    for (auto& th : threads)
        th.join();
    ::close(done[1]);
    EXPECT_EQ(Wait(child), 0);
    EXPECT_EQ(failures.load(), 0);
    Names names = ProfileNames();
    EXPECT_EQ(names.size(), static_cast<std::size_t>(2 * kThreads * kEach));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
}

// A run killed before it could delete its temporary profile leaves it only
// until the next profile is made; profiles of running processes and
// profiles without a recorded creator stay.
TEST_F(MapiProfiles, ProfilesOfEndedCreatorsGoAtTheNextCreate) {
    const mapi_detail::ProfileOwner self = mapi_detail::CurrentOwner();
    ASSERT_TRUE(self.known);
    ASSERT_GT(self.start_ticks, 0u);
    const std::string boot = self.boot_id.empty() ? "-" : self.boot_id;
    const std::string pid = std::to_string(::getpid());
    const std::string ticks = std::to_string(self.start_ticks);
    WriteFile("sortwell-profiles 1\n"
              "profile \"legacy\"\n" // written before owners were recorded
              "profile \"reused-pid\"\nowner " +
              pid + " " + std::to_string(self.start_ticks - 1) + " " + boot +
              "\nprofile \"other-boot\"\nowner " + pid + " " + ticks +
              " 00000000-0000-0000-0000-000000000000\n"
              "profile \"mine\"\nowner " +
              pid + " " + ticks + " " + boot + "\n");
    // A write cut short by a kill, before its rename.
    std::ofstream(path_ + ".tmp.99999.0") << "sortwell-profiles 1\n";
    // Listing drops nothing.
    EXPECT_EQ(ProfileNames(), (Names{"legacy", "reused-pid", "other-boot", "mine"}));

    // Killed runs, one after the other: each drops what the previous one
    // left, so only the last one's profile is there.
    for (int i = 0; i < 5; ++i) {
        std::string name = "swl__" + std::to_string(i);
        EXPECT_EQ(Wait(Child([&] {
                      if (MakeAgentProfile(name.c_str(), "agent", "HOST") == S_OK)
                          ::raise(SIGKILL);
                      return 3;
                  })),
                  128 + SIGKILL);
    }
    EXPECT_EQ(ProfileNames(), (Names{"legacy", "mine", "swl__4"}));
    EXPECT_FALSE(std::filesystem::exists(path_ + ".tmp.99999.0"));

    // A run that is still going keeps its profile.
    int hold[2];
    int ready[2];
    ASSERT_EQ(::pipe(hold), 0);
    ASSERT_EQ(::pipe(ready), 0);
    pid_t running = Child([&] {
        ::close(hold[1]);
        char byte = MakeAgentProfile("swl__running", "agent", "HOST") == S_OK ? 1 : 0;
        (void)!::write(ready[1], &byte, 1);
        while (::read(hold[0], &byte, 1) < 0 && errno == EINTR) {
        }
        return 0;
    });
    ::close(hold[0]);
    ::close(ready[1]);
    char made = 0;
    ASSERT_EQ(::read(ready[0], &made, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(made, 1);
    EXPECT_EQ(ProfileNames(), (Names{"legacy", "mine", "swl__running"}));
    ASSERT_EQ(MakeAgentProfile("swl__next", "agent", "HOST"), S_OK);
    EXPECT_EQ(ProfileNames(), (Names{"legacy", "mine", "swl__running", "swl__next"}));
    EXPECT_NE(FileText().find("profile \"swl__next\"\nowner " + pid + " "), std::string::npos)
        << FileText();

    // Once the running creator has ended, its profile goes too.
    ::close(hold[1]);
    ASSERT_EQ(Wait(running), 0);
    ASSERT_EQ(MakeAgentProfile("swl__last", "agent", "HOST"), S_OK);
    EXPECT_EQ(ProfileNames(), (Names{"legacy", "mine", "swl__next", "swl__last"}));
}

TEST_F(MapiProfiles, CorruptOrUnusableFilesGiveClearResults) {
    WriteFile("sortwell-profiles 1\nprofile \"ok\"\nprop zz\n");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ProfileNames(), Names{}); // treated as empty
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(path_), std::string::npos) << err;
    EXPECT_NE(err.find("corrupt"), std::string::npos) << err;
    EXPECT_NE(err.find("line 3"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    // The next change replaces it and keeps the damaged file aside.
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(MakeAgentProfile("fresh", "agent", "H"), S_OK);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(ProfileNames(), (Names{"fresh"}));
    EXPECT_TRUE(std::filesystem::exists(path_ + ".corrupt"));

    // A truncated last line is corrupt too.
    {
        std::ofstream out(path_, std::ios::app);
        out << "profile \"half";
    }
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

TEST_F(MapiProfiles, InitialisationIsCountedPerThread) {
    LPPROFADMIN admin = nullptr;
    ASSERT_EQ(MAPIAdminProfiles(0, &admin), S_OK); // the fixture initialised this thread
    UlRelease(admin);
    std::thread([] {
        LPPROFADMIN other = reinterpret_cast<LPPROFADMIN>(0x1);
        EXPECT_EQ(MAPIAdminProfiles(0, &other), MAPI_E_NOT_INITIALIZED);
        EXPECT_EQ(other, nullptr);
        LPMAPISESSION session = nullptr;
        EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("P"), nullptr, 0x18032, &session),
                  MAPI_E_NOT_INITIALIZED);
        // Two initialisations need two uninitialisations.
        ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
        MAPIINIT_0 init = {MAPI_INIT_VERSION, MAPI_MULTITHREAD_NOTIFICATIONS | MAPI_NT_SERVICE};
        ASSERT_EQ(MAPIInitialize(&init), S_OK);
        MAPIUninitialize();
        EXPECT_EQ(MAPIAdminProfiles(0, &other), S_OK);
        UlRelease(other);
        MAPIUninitialize();
        EXPECT_EQ(MAPIAdminProfiles(0, &other), MAPI_E_NOT_INITIALIZED);
        MAPIUninitialize(); // one too many does no harm
        MAPIINIT_0 bad = {7, 0};
        EXPECT_EQ(MAPIInitialize(&bad), MAPI_E_VERSION);
        EXPECT_EQ(MAPIAdminProfiles(0, &other), MAPI_E_NOT_INITIALIZED);
    }).join();
}

} // namespace
