// Registry hive files written to hurt, at the registry's limits: each is read
// as written or refused with the line at fault and what is wrong there, and
// then nothing of it is kept. How the registry reports a refused hive and
// reads it as empty, the registry's own tests show.
#include "platform/win32/registry_hive.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kHeader = "Windows Registry Editor Version 5.00\r\n";
const std::string kKeyLine = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\r\n";

std::string Utf16LeFile(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

TEST(HostileHive, DamagedFilesNameTheirLineAndLeaveNothing) {
    // 512 levels is the deepest a key goes; keys as deep as allowed, each
    // new, soon outgrow what a hive may hold.
    std::string deep = "[HKLM", endless = kHeader;
    std::u16string deep_key = u"HKLM";
    for (int level = 1; level < 512; ++level) {
        deep += "\\k";
        deep_key += u"\\k";
    }
    for (int line = 0; line < 400; ++line) {
        endless += "[HKLM\\" + std::to_string(line);
        for (int level = 2; level < 512; ++level)
            endless += "\\name" + std::to_string(level);
        endless += "]\r\n";
    }
    const struct {
        const char* what;
        std::string bytes;
        int line;
        const char* message;
    } cases[] = {
        {"hex type missing", kHeader + kKeyLine + "\"List\"=hex():41,00\r\n", 3,
         "hex(N): needs a type number"},
        // A long run of digits once overflowed the byte being read.
        {"hex digits run on", kHeader + kKeyLine + "\"Blob\"=hex:" + std::string(64, '8') + "\r\n",
         3, "hex data must be bytes of two hex digits"},
        {"odd UTF-16", Utf16LeFile(u"Windows Registry Editor Version 5.00\r\n") + "x", 1,
         "UTF-16LE text with an odd number of bytes"},
        {"big-endian UTF-16", "\xFE\xFF" + std::string("\0W", 2), 1,
         "UTF-16 big-endian text is not supported"},
        {"name too long", kHeader + "[HKLM\\" + std::string(256, 'k') + "]\r\n", 2,
         "a key name is longer than 255 characters"},
        {"nested too deep", kHeader + deep + "\\k]\r\n", 2,
         "a key is nested more than 512 levels deep"},
        {"endless keys", endless, 18, "the keys of the hive add up to more than 16777216"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryHive hive;
        RegistryParseError error;
        EXPECT_FALSE(ParseRegistryHive(c.bytes, &hive, &error));
        EXPECT_TRUE(hive.keys.empty());
        EXPECT_EQ(error.line, c.line);
        EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    }

    // What is allowed reads as written: the deepest key, a type no one
    // knows, and a deletion that takes the keys below it.
    RegistryHive hive;
    RegistryParseError error;
    ASSERT_TRUE(
        ParseRegistryHive(kHeader + deep + "]\r\n" + kKeyLine +
                              "\"Huge\"=hex(ffffffff):00\r\n[HKLM\\A\\B\\C]\r\n[-HKLM\\A]\r\n",
                          &hive, &error))
        << error.line << ": " << error.message;
    EXPECT_EQ(hive.keys.count(RegistryFoldPath(deep_key)), 1u);
    const RegistryKey& key = hive.keys.at(RegistryFoldPath(u"HKLM\\SOFTWARE\\Altavane\\Sortwell"));
    EXPECT_EQ(key.values.at(u"huge").type, 0xffffffffu);
    EXPECT_EQ(key.values.at(u"huge").data, std::vector<unsigned char>{0});
    EXPECT_EQ(hive.keys.count(RegistryFoldPath(u"HKLM\\A")), 0u);
    EXPECT_EQ(hive.keys.count(RegistryFoldPath(u"HKLM\\A\\B\\C")), 0u);
}

} // namespace
