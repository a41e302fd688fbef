// Reading values through the registry calls and registry_read_value, over a
// hive file named by SORTWELL_REGISTRY.
#include "controller/win32reg.h"
#include "platform/win32/registry.h"
#include "tests/log/log_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

namespace {

using swtest::WriteFile;

constexpr const char16_t* kKey = u"SOFTWARE\\Altavane\\Sortwell";

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(hive_, "Windows Registry Editor Version 5.00\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\n"
                         "\"Alias\"=\"admin\"\n"
                         "\"Threads\"=dword:00000004\n");
        ::setenv("SORTWELL_REGISTRY", hive_.c_str(), 1);
        open_before_ = RegistryOpenKeyCount();
    }
    void TearDown() override {
        EXPECT_EQ(RegistryOpenKeyCount(), open_before_) << "a key was left open";
        ::unsetenv("SORTWELL_REGISTRY");
    }
    long Read(const char16_t* machine, const char16_t* name, void* buffer, std::uint32_t* size) {
        return registry_read_value(HKEY_LOCAL_MACHINE, machine, kKey, name, buffer, size);
    }

    logtest::ScratchDir dir_;
    std::string hive_ = dir_ / "registry.reg";
    DWORD open_before_ = 0;
};

TEST_F(Registry, ValuesComeBackAsStoredWithSizesInBytes) {
    unsigned char buffer[64];
    std::uint32_t size = sizeof buffer;
    ASSERT_EQ(Read(nullptr, u"Alias", buffer, &size), 0);
    EXPECT_EQ(size, 12u); // five UTF-16 units and the terminator
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer)), u"admin");

    size = sizeof buffer;
    ASSERT_EQ(Read(nullptr, u"threads", buffer, &size), 0);
    EXPECT_EQ(size, 4u);
    std::uint32_t threads = 0;
    std::memcpy(&threads, buffer, 4);
    EXPECT_EQ(threads, 4u);

    // Missing value, missing key: 2. Missing arguments: 87. Too small a
    // buffer (234 and the size needed): the hostile hive tests.
    size = sizeof buffer;
    EXPECT_EQ(Read(nullptr, u"Nothing", buffer, &size), 2);
    EXPECT_EQ(registry_read_value(HKEY_LOCAL_MACHINE, nullptr, u"SOFTWARE\\Nobody", u"Alias",
                                  buffer, &size),
              2);
    EXPECT_EQ(Read(nullptr, u"Alias", nullptr, &size), 87);
    EXPECT_EQ(Read(nullptr, u"Alias", buffer, nullptr), 87);
    EXPECT_EQ(Read(nullptr, nullptr, buffer, &size), 87);
    EXPECT_EQ(registry_read_value(HKEY_LOCAL_MACHINE, nullptr, nullptr, u"Alias", buffer, &size),
              87);
}

TEST_F(Registry, OtherMachinesCannotBeReachedAndThisOneCan) {
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    std::u16string name(host, host + std::strlen(host));
    unsigned char buffer[64];
    for (const std::u16string& machine :
         {name, u"\\\\" + name, std::u16string(u"localhost"), std::u16string(u".")}) {
        std::uint32_t size = sizeof buffer;
        EXPECT_EQ(Read(machine.c_str(), u"Alias", buffer, &size), 0)
            << std::string(machine.begin(), machine.end());
        EXPECT_EQ(size, 12u);
        EXPECT_EQ(RegistryOpenKeyCount(), open_before_) << "the connected key is closed";
    }
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(Read(u"\\\\mail-server-2.example.org", u"Alias", buffer, &size), 53);

    // The calls beneath: a connected key is a key of its own.
    HKEY connected = nullptr;
    ASSERT_EQ(RegConnectRegistryW(nullptr, HKEY_LOCAL_MACHINE, &connected), 0);
    EXPECT_EQ(RegistryOpenKeyCount(), open_before_ + 1);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(connected, kKey, 0, KEY_QUERY_VALUE, &key), 0);
    DWORD type = 0;
    DWORD needed = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Alias", nullptr, &type, nullptr, &needed), 0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(needed, 12u);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Alias", &reserved, &type, nullptr, &needed), 87);
    EXPECT_EQ(RegCloseKey(key), 0);
    EXPECT_EQ(RegCloseKey(key), 6) << "a key closes once";
    EXPECT_EQ(RegCloseKey(connected), 0);
    EXPECT_EQ(RegConnectRegistryW(nullptr, HKEY_CURRENT_USER, &connected), 6);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), 0);
}

TEST_F(Registry, TheHiveIsReadAgainWhenItChanges) {
    unsigned char buffer[64];
    std::uint32_t size = sizeof buffer;
    ASSERT_EQ(Read(nullptr, u"Alias", buffer, &size), 0);
    // A key opened before the change keeps reading what it opened.
    HKEY held = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &held), 0);

    WriteFile(hive_, "Windows Registry Editor Version 5.00\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\n"
                     "\"Alias\"=\"second-admin\"\n");
    size = sizeof buffer;
    ASSERT_EQ(Read(nullptr, u"Alias", buffer, &size), 0);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer)), u"second-admin");
    size = sizeof buffer;
    EXPECT_EQ(Read(nullptr, u"Threads", buffer, &size), 2);

    DWORD held_size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(held, u"Alias", nullptr, nullptr, buffer, &held_size), 0);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer)), u"admin");
    EXPECT_EQ(RegCloseKey(held), 0);
}

TEST_F(Registry, ABrokenOrMissingHiveIsReportedOnceAndReadsEmpty) {
    WriteFile(hive_, "Windows Registry Editor Version 5.00\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\n"
                     "\"Alias\"=\"admin\"\n"
                     "\"Threads\"=dword:4x\n");
    unsigned char buffer[64];
    logtest::CapturedStderr captured(dir_ / "stderr.txt");
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(Read(nullptr, u"Alias", buffer, &size), 2);
    size = sizeof buffer;
    EXPECT_EQ(Read(nullptr, u"Alias", buffer, &size), 2);
    const std::string missing = dir_ / "missing.reg";
    ::setenv("SORTWELL_REGISTRY", missing.c_str(), 1);
    size = sizeof buffer;
    EXPECT_EQ(Read(nullptr, u"Alias", buffer, &size), 2);
    EXPECT_EQ(captured.Text(),
              "sortwell: registry hive " + hive_ +
                  ", line 4: a dword needs 1 to 8 hex digits; the registry reads as empty\n"
                  "sortwell: the registry hive " +
                  missing + " (SORTWELL_REGISTRY) does not exist; the registry reads as empty\n");
}

} // namespace
