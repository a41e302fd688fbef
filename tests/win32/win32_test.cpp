// The registry and event-log stand-ins: the hive parser's value types,
// encodings and malformed input; the registry calls over a hive file; the
// event writers, the rendering of event texts and the syslog line.
#include "controller/win32logging.h"
#include "controller/win32reg.h"
#include "platform/win32/eventlog.h"
#include "platform/win32/registry.h"
#include "platform/win32/registry_hive.h"
#include "resources/eventlog_messages.h"
#include "tests/support/events.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

using Bytes = std::vector<unsigned char>;

const RegistryValue* Find(const RegistryHive& hive, const std::u16string& key,
                          const std::u16string& name) {
    const auto k = hive.keys.find(RegistryFoldPath(key));
    if (k == hive.keys.end())
        return nullptr;
    const auto v = k->second.values.find(RegistryFoldName(name));
    return v == k->second.values.end() ? nullptr : &v->second;
}

Bytes Utf16Le(const std::u16string& text) {
    Bytes bytes;
    for (const char16_t c : text + u'\0') {
        bytes.push_back(static_cast<unsigned char>(c & 0xFF));
        bytes.push_back(static_cast<unsigned char>(c >> 8));
    }
    return bytes;
}

TEST(RegistryHive, ValueTypesEscapesContinuationsAndEncodings) {
    const char sample[] = "Windows Registry Editor Version 5.00\r\n"
                          "\r\n"
                          "; the agent's settings\r\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\r\n"
                          "\"Alias\"=\"sortwell-admin\"\r\n"
                          "\"Quoted\"=\"say \\\"hi\\\" to C:\\\\temp\\\\\"\r\n"
                          "\"Threads\"=dword:00000014\r\n"
                          "\"Short\"=dword:7\r\n"
                          "\"Blob\"=hex:01,02,ff\r\n"
                          "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
                          "\"List\"=hex(7):61,00,00,00,\\\r\n"
                          "  62,00,00,00,\\\r\n"
                          "  00,00\r\n"
                          "\"Big\"=hex(b):01,00,00,00,00,00,00,80\r\n"
                          "\"Empty\"=hex:\r\n"
                          "@=\"the default\"\r\n"
                          "\"Spam Folder\" = \"Junk \xe2\x80\x93 Spam\"\r\n"
                          "\r\n"
                          "[HKLM\\SOFTWARE\\Altavane\\Old]\r\n"
                          "\"Gone\"=\"soon\"\r\n"
                          "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Old]\r\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\r\n"
                          "\"Short\"=-\r\n";
    RegistryHive hive;
    RegistryParseError error;
    ASSERT_TRUE(ParseRegistryHive(sample, &hive, &error)) << error.line << ": " << error.message;
    const std::u16string key = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell";
    const std::tuple<std::u16string, std::uint32_t, Bytes> values[] = {
        {u"Alias", 1, Utf16Le(u"sortwell-admin")},
        {u"Quoted", 1, Utf16Le(u"say \"hi\" to C:\\temp\\")},
        {u"Threads", 4, {0x14, 0, 0, 0}},
        {u"Blob", 3, {1, 2, 0xff}},
        {u"Expand", 2, Utf16Le(u"%A%")},
        {u"List", 7, {0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0}},
        {u"Big", 11, {1, 0, 0, 0, 0, 0, 0, 0x80}},
        {u"Empty", 3, {}},
        {u"", 1, Utf16Le(u"the default")},
        {u"spam folder", 1, Utf16Le(u"Junk \u2013 Spam")},
    };
    for (const auto& [name, type, data] : values) {
        const RegistryValue* found = Find(hive, key, name);
        ASSERT_NE(found, nullptr) << std::string(name.begin(), name.end());
        EXPECT_EQ(std::tie(found->type, found->data), std::tie(type, data));
    }
    // Deletions of a value and of a key; keys above a key exist; names and
    // roots compare without case, HKLM standing for HKEY_LOCAL_MACHINE.
    EXPECT_EQ(Find(hive, key, u"Short"), nullptr);
    EXPECT_EQ(hive.keys.count(RegistryFoldPath(u"HKLM\\SOFTWARE\\Altavane\\Old")), 0u);
    EXPECT_EQ(hive.keys.count(RegistryFoldPath(u"hkey_local_machine\\software")), 1u);
    EXPECT_NE(Find(hive, u"hklm\\software\\altavane\\SORTWELL\\", u"ALIAS"), nullptr);
    EXPECT_EQ(RegistryFoldPath(u"SOFTWARE\\X"), u"") << "no root";

    // UTF-16 with its byte order mark, and UTF-8 with one.
    std::string utf16 = "\xff\xfe";
    for (const char16_t c : std::u16string(u"Windows Registry Editor Version 5.00\r\n"
                                           u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\S]\r\n"
                                           u"\"Name\"=\"\u00e9t\u00e9 \U0001F600\"\r\n")) {
        utf16 += static_cast<char>(c & 0xFF);
        utf16 += static_cast<char>(c >> 8);
    }
    ASSERT_TRUE(ParseRegistryHive(utf16, &hive, &error)) << error.message;
    EXPECT_EQ(Find(hive, u"HKLM\\SOFTWARE\\S", u"Name")->data,
              Utf16Le(u"\u00e9t\u00e9 \U0001F600"));
    ASSERT_TRUE(ParseRegistryHive("\xef\xbb\xbfWindows Registry Editor Version 5.00\n"
                                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\S]\n\"N\"=\"\xc3\xa9\"\n",
                                  &hive, &error))
        << error.message;
    EXPECT_EQ(Find(hive, u"HKLM\\SOFTWARE\\S", u"N")->data, Utf16Le(u"\u00e9"));
}

// Malformed files, and files at the registry's limits: 512 levels is the
// deepest a key goes, and keys as deep as allowed, each new, soon outgrow
// what a hive may hold.
TEST(RegistryHive, MalformedInputNamesItsLineAndLeavesNothing) {
    const std::string header = "Windows Registry Editor Version 5.00\n";
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\S]\n";
    std::string deep = "[HKLM", endless = header;
    std::u16string deep_key = u"HKLM";
    for (int level = 1; level < 512; ++level) {
        deep += "\\k";
        deep_key += u"\\k";
    }
    for (int line = 0; line < 400; ++line) {
        endless += "[HKLM\\" + std::to_string(line);
        for (int level = 2; level < 512; ++level)
            endless += "\\name" + std::to_string(level);
        endless += "]\n";
    }
    std::string odd_utf16 = "\xFF\xFE";
    for (const char c : header)
        odd_utf16 += std::string{c, '\0'};
    // The file, the line reported and words of the message.
    const std::tuple<std::string, int, const char*> cases[] = {
        {"REGEDIT5\n" + key, 1, "first line"},
        {"", 1, "empty"},
        {"\n\n" + header + key + "\"A\"=\"x\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\n", 6, "end with ']'"},
        {header + "[SOFTWARE\\S]\n", 2, "root"},
        {header + "[HKLM\\A\\\\B]\n", 2, "empty name"},
        {header + "\"A\"=\"x\"\n", 2, "follow the [key]"},
        {header + key + "\"A\"=\"C:\\temp\"\n", 3, "unknown escape"},
        {header + key + "\"A\"=\"open\n", 3, "closing quote"},
        {header + key + "\"A\"=\"x\" junk\n", 3, "after a string"},
        {header + key + "\"A\"=dword:123456789\n", 3, "1 to 8 hex digits"},
        {header + key + "\"A\"=dword:xyz\n", 3, "1 to 8 hex digits"},
        {header + key + "\"A\"=hex:01,02,\\\n  03,zz\n", 4, "two hex digits"},
        {header + key + "\"A\"=hex:01,,02\n", 3, "empty byte"},
        {header + key + "\"A\"=hex:01 02\n", 3, "separated by commas"},
        {header + key + "\"A\"=hex(q):01\n", 3, "hex(N)"},
        {header + key + "\"A\"=string\n", 3, "value data"},
        {header + key + "\"A\" \"x\"\n", 3, "followed by '='"},
        {header + key + "A=\"x\"\n", 3, "expected a key"},
        {header + "[-HKLM\\SOFTWARE\\S]\n\"A\"=\"x\"\n", 3, "follow the [key]"},
        {header + key + "\"List\"=hex():41,00\n", 3, "hex(N): needs a type number"},
        // A long run of digits once overflowed the byte being read.
        {header + key + "\"A\"=hex:" + std::string(64, '8') + "\n", 3, "two hex digits"},
        {odd_utf16 + "x", 1, "UTF-16LE text with an odd number of bytes"},
        {"\xFE\xFF" + std::string("\0W", 2), 1, "UTF-16 big-endian text is not supported"},
        {header + "[HKLM\\" + std::string(256, 'k') + "]\n", 2, "longer than 255 characters"},
        {header + deep + "\\k]\n", 2, "nested more than 512 levels deep"},
        {endless, 18, "the keys of the hive add up to more than 16777216"},
    };
    for (const auto& [text, line, words] : cases) {
        RegistryHive hive;
        hive.keys[u"stale"];
        RegistryParseError error;
        EXPECT_FALSE(ParseRegistryHive(text, &hive, &error)) << text;
        EXPECT_EQ(error.line, line) << text << "\n" << error.message;
        EXPECT_NE(error.message.find(words), std::string::npos) << error.message;
        EXPECT_TRUE(hive.keys.empty()) << text;
    }
    // What is allowed reads as written: the deepest key, a type no one
    // knows, and a deletion that takes the keys below it.
    RegistryHive hive;
    RegistryParseError error;
    ASSERT_TRUE(ParseRegistryHive(header + deep + "]\n" + key +
                                      "\"Huge\"=hex(ffffffff):00\n[HKLM\\A\\B\\C]\n[-HKLM\\A]\n",
                                  &hive, &error))
        << error.line << ": " << error.message;
    EXPECT_EQ(hive.keys.count(RegistryFoldPath(deep_key)), 1u);
    const RegistryValue* huge = Find(hive, u"HKLM\\SOFTWARE\\S", u"Huge");
    ASSERT_NE(huge, nullptr);
    EXPECT_EQ(std::tie(huge->type, huge->data), std::tuple(0xffffffffu, Bytes{0}));
    EXPECT_EQ(hive.keys.count(RegistryFoldPath(u"HKLM\\A")), 0u);
    EXPECT_EQ(hive.keys.count(RegistryFoldPath(u"HKLM\\A\\B\\C")), 0u);
}

constexpr const char16_t* kKey = u"SOFTWARE\\Altavane\\Sortwell";

// A hive file named by SORTWELL_REGISTRY; every key opened is closed again.
class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        swtest::WriteFile(hive_, "Windows Registry Editor Version 5.00\n"
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
    long Read(const char16_t* machine, const char16_t* name, std::uint32_t* size = nullptr) {
        std::uint32_t own = sizeof buffer_;
        return registry_read_value(HKEY_LOCAL_MACHINE, machine, kKey, name, buffer_,
                                   size != nullptr ? size : &own);
    }
    std::u16string Text() const { return reinterpret_cast<const char16_t*>(buffer_); }

    swtest::TempDir dir_;
    std::string hive_ = dir_ / "registry.reg";
    DWORD open_before_ = 0;
    unsigned char buffer_[64] = {};
};

TEST_F(Registry, ValuesComeBackAsStoredWithTheirSizes) {
    std::uint32_t size = sizeof buffer_; // five UTF-16 units and the terminator
    EXPECT_EQ((std::tuple{Read(nullptr, u"Alias", &size), size, Text()}),
              std::tuple(0, 12u, u"admin"));
    size = sizeof buffer_;
    EXPECT_EQ((std::tuple{Read(nullptr, u"threads", &size), size, buffer_[0]}),
              std::tuple(0, 4u, 4));
    // Missing value or key: 2; missing arguments: 87.
    EXPECT_EQ(Read(nullptr, u"Nothing"), 2);
    auto read = [&](const char16_t* key, unsigned char* into, std::uint32_t* into_size) {
        return registry_read_value(HKEY_LOCAL_MACHINE, nullptr, key, u"Alias", into, into_size);
    };
    EXPECT_EQ(read(u"SOFTWARE\\Nobody", buffer_, &size), 2);
    EXPECT_EQ(std::tuple(read(kKey, nullptr, &size), read(kKey, buffer_, nullptr),
                         read(nullptr, buffer_, &size)),
              std::tuple(87, 87, 87));
    EXPECT_EQ(Read(nullptr, nullptr), 87);
    // The calls beneath: the size alone can be asked for; reserved must be null.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key), 0);
    DWORD type = 0, needed = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Alias", nullptr, &type, nullptr, &needed), 0);
    EXPECT_EQ(std::tie(type, needed), std::tuple(REG_SZ, 12u));
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Alias", &reserved, &type, nullptr, &needed), 87);
    EXPECT_EQ(RegCloseKey(key), 0);
    EXPECT_EQ(RegCloseKey(key), 6) << "a key closes once";
}

TEST_F(Registry, ABrokenOrMissingHiveIsSaidOnceAndReadsEmpty) {
    swtest::WriteFile(hive_, "Windows Registry Editor Version 5.00\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\n"
                             "\"Alias\"=\"admin\"\n"
                             "\"Threads\"=dword:4x\n");
    swtest::CapturedStderr captured(dir_ / "stderr.txt");
    EXPECT_EQ(Read(nullptr, u"Alias"), 2);
    EXPECT_EQ(Read(nullptr, u"Alias"), 2);
    const std::string missing = dir_ / "missing.reg";
    ::setenv("SORTWELL_REGISTRY", missing.c_str(), 1);
    EXPECT_EQ(Read(nullptr, u"Alias"), 2);
    EXPECT_EQ(captured.Text(),
              "sortwell: registry hive " + hive_ +
                  ", line 4: a dword needs 1 to 8 hex digits; the registry reads as empty\n"
                  "sortwell: the registry hive " +
                  missing + " (SORTWELL_REGISTRY) does not exist; the registry reads as empty\n");
}

// ---------------------------------------------------------------- event log

TEST(EventText, RenderingAndSyslogLines) {
    // A missing insertion shows as written; an unknown id shows its strings.
    EXPECT_EQ(EventLogRenderText(MSG_SERVICE_STATUS_ERROR, 0, nullptr),
              u"%1!d! Service Status Error.");
    const char16_t* two[] = {u"a", u"b"};
    EXPECT_EQ(EventLogRenderText(0x12345678u, 2, two), u"a b");
    EXPECT_EQ(std::u16string(EventCategoryName(0)), u"None");
    EXPECT_EQ(EventCategoryName(27), nullptr);
    // Syslog lines are one line with id, category and data.
    const char16_t* line[] = {u"[Corvane] (WARNING:1.2): [28007] Unable:\n\ta\\b\x01\n"};
    EXPECT_EQ(EventLogSyslogLine(28, MSG_XAL_LOG_WARNING, 1, line, 0, nullptr),
              "event_id=0x80000201 category=28 (Sortwell): WARNING: '[Corvane] (WARNING:1.2): "
              "[28007] Unable:\\n\\ta\\\\b\\x01\\n'.");
    const std::uint32_t datum = 1063;
    const char16_t* number[] = {u"1063"};
    EXPECT_EQ(EventLogSyslogLine(39, MSG_SERVICE_STATUS_ERROR, 1, number, 4, &datum),
              "event_id=0xC0000602 category=39 (Service Controller): 1063 Service Status "
              "Error. data=27040000");
    EXPECT_EQ(EventLogSyslogLine(77, MSG_XAL_LOG_INFO, 1, line, 0, nullptr).substr(0, 32),
              "event_id=0x40000200 category=77:");
}

// Events go to a fresh event file: the program's source is closed first so
// that the next event opens it under the environment set here.
class EventLog : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("SORTWELL_EVENTLOG", "FILE", 1);
        ::setenv("SORTWELL_EVENTLOG_FILE", events_.c_str(), 1);
        Close();
    }
    void TearDown() override {
        Close();
        ::unsetenv("SORTWELL_EVENTLOG");
    }
    static void Close() {
        if (event_log_toggle_source(u"Sortwell") > 1)
            event_log_toggle_source(u"Sortwell");
    }
    std::vector<swtest::EventRecord> Events() { return swtest::ReadEventFile(events_); }

    swtest::TempDir dir_;
    std::string events_ = dir_ / "events.jsonl";
};

TEST_F(EventLog, EventsCarryTheirFieldsAndFourBytesOfDataAnInsertion) {
    EXPECT_NE(event_log_report(EVENTLOG_WARNING_TYPE, 28, 0x80000201u, u"\"quoted\" \u00e9\n"), 0);
    const std::uint32_t five = 5, big = 65541; // 0x10005: its low 16 bits show, 5 too
    const std::uint64_t eight = 5;
    const char16_t* given[] = {u"given"};
    event_log_report_data(EVENTLOG_ERROR_TYPE, 39, 0xC0000602u, 0, 4, nullptr, &five);
    event_log_report_data(EVENTLOG_ERROR_TYPE, 39, 0xC0000602u, 1, 4, given, &big);
    event_log_report_data(EVENTLOG_ERROR_TYPE, 39, 0xC0000602u, 0, 8, nullptr, &eight);
    const auto events = Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].source, "Sortwell");
    EXPECT_EQ(events[0].strings, std::vector<std::string>{"\"quoted\" \xc3\xa9\n"});
    // A UTC stamp: "2026-12-04T07:05:09.123Z".
    int part[7] = {};
    char zone[2] = {};
    EXPECT_EQ(std::sscanf(events[0].time.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%1[Z]", &part[0],
                          &part[1], &part[2], &part[3], &part[4], &part[5], &part[6], zone),
              8);
    EXPECT_EQ(events[0].time.size(), 24u);
    EXPECT_EQ(std::tie(events[1].strings, events[1].data, events[1].message),
              std::tuple(std::vector<std::string>{"5"}, "05000000", "5 Service Status Error."));
    EXPECT_EQ(std::tie(events[2].strings, events[2].data),
              std::tuple(std::vector<std::string>{"given", "5"}, "05000100"));
    EXPECT_EQ(std::tie(events[3].strings, events[3].data),
              std::tuple(std::vector<std::string>{}, "0500000000000000"));

    // The events above opened the default source: a toggle closes it. A
    // source of another name is then opened and closed; the next event opens
    // the default one again; a closed source's handle is refused.
    EXPECT_EQ(event_log_toggle_source(u"ovo"), 1);
    const std::intptr_t opened = event_log_toggle_source(u"ovo");
    EXPECT_GT(opened, 1);
    EXPECT_NE(event_log_report(EVENTLOG_SUCCESS, 1, 0x40000200u, u"first"), 0);
    EXPECT_EQ(event_log_toggle_source(u"ovo"), 1) << "closing reports success";
    EXPECT_NE(event_log_report(EVENTLOG_SUCCESS, 1, 0x40000200u, u"second"), 0);
    EXPECT_FALSE(
        ReportEventW(reinterpret_cast<HANDLE>(opened), 0, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Events().at(4).source, "ovo");
    EXPECT_EQ(Events().at(5).source, "Sortwell");
    EXPECT_EQ(RegisterEventSourceW(u"\\\\elsewhere.example.org", u"Sortwell"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);

    // An unknown mode is named and syslog is used.
    ::setenv("SORTWELL_EVENTLOG", "JOURNAL", 1);
    swtest::CapturedStderr captured(dir_ / "stderr.txt");
    HANDLE source = RegisterEventSourceW(nullptr, u"sortwell-test");
    EXPECT_EQ(captured.Text(), "sortwell: SORTWELL_EVENTLOG=JOURNAL is neither FILE nor SYSLOG; "
                               "events go to syslog\n");
    ASSERT_NE(source, nullptr);
    const char16_t* strings[] = {u"to syslog"};
    EXPECT_TRUE(
        ReportEventW(source, EVENTLOG_SUCCESS, 1, 0x40000200u, nullptr, 1, 0, strings, nullptr));
    EXPECT_TRUE(DeregisterEventSource(source));
}

} // namespace
