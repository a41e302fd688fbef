// Parsing hive files: value types, escapes, continuations, encodings and
// malformed input with the line it is reported at.
#include "platform/win32/registry_hive.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

using Bytes = std::vector<unsigned char>;

const RegistryValue* Find(const RegistryHive& hive, const std::u16string& key,
                          const std::u16string& name) {
    const auto k = hive.keys.find(RegistryFoldPath(key));
    if (k == hive.keys.end()) {
        return nullptr;
    }
    const auto v = k->second.values.find(RegistryFoldName(name));
    return v == k->second.values.end() ? nullptr : &v->second;
}

Bytes Utf16Le(const std::u16string& text) {
    Bytes bytes;
    for (const char16_t c : text) {
        bytes.push_back(static_cast<unsigned char>(c & 0xFF));
        bytes.push_back(static_cast<unsigned char>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

const char kSample[] = "Windows Registry Editor Version 5.00\r\n"
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

TEST(RegistryHive, ValueTypesEscapesAndContinuations) {
    RegistryHive hive;
    RegistryParseError error;
    ASSERT_TRUE(ParseRegistryHive(kSample, &hive, &error)) << error.line << ": " << error.message;
    const std::u16string key = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell";

    const std::tuple<std::string, std::uint32_t, Bytes> values[] = {
        {"Alias", 1, Utf16Le(u"sortwell-admin")},
        {"Quoted", 1, Utf16Le(u"say \"hi\" to C:\\temp\\")},
        {"Threads", 4, {0x14, 0, 0, 0}},
        {"Blob", 3, {1, 2, 0xff}},
        {"Expand", 2, Utf16Le(u"%A%")},
        {"List", 7, {0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0}},
        {"Big", 11, {1, 0, 0, 0, 0, 0, 0, 0x80}},
        {"Empty", 3, {}},
        {"", 1, Utf16Le(u"the default")},
        {"spam folder", 1, Utf16Le(u"Junk \u2013 Spam")},
    };
    for (const auto& [name, type, data] : values) {
        const RegistryValue* found = Find(hive, key, std::u16string(name.begin(), name.end()));
        ASSERT_NE(found, nullptr) << name;
        EXPECT_EQ(found->type, type);
        EXPECT_EQ(found->data, data);
    }

    // Deletions: a value, and a key with everything under it.
    EXPECT_EQ(Find(hive, key, u"Short"), nullptr);
    EXPECT_EQ(hive.keys.count(RegistryFoldPath(u"HKLM\\SOFTWARE\\Altavane\\Old")), 0u);
    // Keys above a key exist; names compare without case.
    EXPECT_EQ(hive.keys.count(RegistryFoldPath(u"hkey_local_machine\\software")), 1u);
    EXPECT_EQ(hive.keys.count(RegistryFoldPath(u"HKLM\\Software\\ALTAVANE\\sortwell\\")), 1u);
    EXPECT_NE(Find(hive, u"hklm\\software\\altavane\\SORTWELL", u"ALIAS"), nullptr);
}

TEST(RegistryHive, Utf16AndByteOrderMarks) {
    const std::u16string text = u"Windows Registry Editor Version 5.00\r\n"
                                u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\S]\r\n"
                                u"\"Name\"=\"\u00e9t\u00e9 \U0001F600\"\r\n";
    std::string bytes = "\xff\xfe";
    for (const char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    RegistryHive hive;
    RegistryParseError error;
    ASSERT_TRUE(ParseRegistryHive(bytes, &hive, &error)) << error.message;
    EXPECT_EQ(Find(hive, u"HKLM\\SOFTWARE\\S", u"Name")->data,
              Utf16Le(u"\u00e9t\u00e9 \U0001F600"));

    const std::string utf8 = "\xef\xbb\xbfWindows Registry Editor Version 5.00\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\S]\n\"N\"=\"\xc3\xa9\"\n";
    ASSERT_TRUE(ParseRegistryHive(utf8, &hive, &error)) << error.message;
    EXPECT_EQ(Find(hive, u"HKLM\\SOFTWARE\\S", u"N")->data, Utf16Le(u"\u00e9"));
    // Odd-sized and big-endian text: the hostile hive tests.
}

TEST(RegistryHive, MalformedInputNamesItsLineAndLeavesNothing) {
    const std::string header = "Windows Registry Editor Version 5.00\n";
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\S]\n";
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
}

TEST(RegistryHive, RootsAndTheirAbbreviationsFoldToOneName) {
    EXPECT_EQ(RegistryFoldPath(u"HKLM\\Software\\X\\"), u"hkey_local_machine\\software\\x");
    EXPECT_EQ(RegistryFoldPath(u"HKEY_CURRENT_USER"), u"hkey_current_user");
    EXPECT_EQ(RegistryFoldPath(u"hku\\S-1"), u"hkey_users\\s-1");
    EXPECT_EQ(RegistryFoldPath(u"HKCR\\.txt"), u"hkey_classes_root\\.txt");
    EXPECT_EQ(RegistryFoldPath(u"HKCC"), u"hkey_current_config");
    EXPECT_EQ(RegistryFoldPath(u"HKEY_LOCAL_MACHINES\\X"), u"");
    EXPECT_EQ(RegistryFoldPath(u"SOFTWARE\\X"), u"");
}

} // namespace
