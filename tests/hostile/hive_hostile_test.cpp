// Registry hive files written to hurt: damaged syntax, wrong types, text
// that is no valid UTF-8 or UTF-16, huge values, deep and endless keys,
// binary garbage and a file of 10 MB. Each either reads as written or gives
// one clear line on standard error (path, line number, what is wrong), after
// which the registry reads as empty; a good file put in its place is read
// again at once.
#include "controller/win32reg.h"
#include "platform/win32/registry.h"
#include "platform/win32/registry_hive.h"
#include "tests/hostile/hostile_support.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

namespace hostile {
namespace {

constexpr const char16_t* kKey = u"SOFTWARE\\Altavane\\Sortwell";
const std::string kHeader = "Windows Registry Editor Version 5.00\r\n";
const std::string kKeyLine = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\r\n";

class HostileHive : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("SORTWELL_REGISTRY", hive_.c_str(), 1);
        open_before_ = RegistryOpenKeyCount();
    }
    void TearDown() override {
        EXPECT_EQ(RegistryOpenKeyCount(), open_before_) << "a key was left open";
        ::unsetenv("SORTWELL_REGISTRY");
    }

    // Writes the hive file. Every write gets a new size or a new time, so
    // the registry notices it; a short pause makes sure of the time.
    void Install(const std::string& bytes) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        WriteFile(hive_, bytes);
    }

    long Read(const char16_t* name, std::vector<unsigned char>* data, std::uint32_t capacity) {
        data->assign(capacity, 0xAA);
        std::uint32_t size = capacity;
        long result =
            registry_read_value(HKEY_LOCAL_MACHINE, nullptr, kKey, name, data->data(), &size);
        if (result == 0) {
            data->resize(size);
        } else {
            last_size_ = size;
        }
        return result;
    }

    // Reads "Alias" from a file with `bytes`, capturing standard error.
    long ReadAliasFrom(const std::string& bytes, std::string* complaint) {
        Install(bytes);
        CapturedStderr captured(dir_.file("stderr.txt"));
        std::vector<unsigned char> data;
        long result = Read(u"Alias", &data, 256);
        *complaint = captured.Text();
        return result;
    }

    // After damage: a good file in the same place is read at once.
    void ExpectRecovery() {
        Install(kHeader + kKeyLine + "\"Alias\"=\"admin\"\r\n");
        std::vector<unsigned char> data;
        ASSERT_EQ(Read(u"Alias", &data, 64), 0);
        ASSERT_EQ(data.size(), 12u);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data.data())), u"admin");
    }

    TempDir dir_{"sortwell-hostile"};
    std::string hive_ = dir_.file("registry.reg");
    DWORD open_before_ = 0;
    std::uint32_t last_size_ = 0;
};

std::u16string Utf16(const std::vector<unsigned char>& data) {
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    return text;
}

std::string Utf16LeFile(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

TEST_F(HostileHive, DamagedFilesGiveOneClearLineAndReadAsEmptyUntilMended) {
    struct Case {
        const char* what;
        std::string bytes;
        int line;
        const char* message;
    };
    std::mt19937 random(12345);
    std::string garbage(4096, '\0');
    for (char& c : garbage) {
        c = static_cast<char>(random() & 0xFF);
    }
    garbage[0] = 'Z'; // no byte order mark by chance
    const std::vector<Case> cases = {
        {"unterminated string", kHeader + kKeyLine + "\"Alias\"=\"admin\r\n", 3,
         "a string has no closing quote"},
        {"hex type missing", kHeader + kKeyLine + "\"List\"=hex():41,00\r\n", 3,
         "hex(N): needs a type number"},
        // A long run of digits once overflowed the byte being read.
        {"hex digits run on", kHeader + kKeyLine + "\"Blob\"=hex:" + std::string(64, '8') + "\r\n",
         3, "hex data must be bytes of two hex digits"},
        {"binary garbage", garbage, 1, "the first line must be"},
        {"NUL in the first line", std::string("Windows Registry\0 Editor Version 5.00\r\n", 39), 1,
         "the first line must be"},
        {"odd UTF-16", Utf16LeFile(u"Windows Registry Editor Version 5.00\r\n") + "x", 1,
         "UTF-16LE text with an odd number of bytes"},
        {"big-endian UTF-16", "\xFE\xFF" + std::string("\0W", 2), 1,
         "UTF-16 big-endian text is not supported"},
        {"name too long", kHeader + "[HKLM\\" + std::string(256, 'k') + "]\r\n", 2,
         "a key name is longer than 255 characters"},

    };
    // The parser's own tests cover each syntax error; here each kind of
    // damage also goes through the registry, which names it and recovers.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryHive hive;
        RegistryParseError error;
        EXPECT_FALSE(ParseRegistryHive(c.bytes, &hive, &error));
        EXPECT_TRUE(hive.keys.empty());
        EXPECT_EQ(error.line, c.line);
        EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;

        std::string complaint;
        EXPECT_EQ(ReadAliasFrom(c.bytes, &complaint), 2) << "a damaged hive reads as empty";
        const std::string expected = "sortwell: registry hive " + hive_ + ", line " +
                                     std::to_string(c.line) + ": " + error.message +
                                     "; the registry reads as empty\n";
        EXPECT_EQ(complaint, expected);
        ExpectRecovery();
    }
}

TEST_F(HostileHive, ValuesOfTheWrongTypeComeBackAsStoredWithTheirSize) {
    Install(kHeader + kKeyLine +
            "\"Threads\"=\"four\"\r\n"         // text where a number belongs
            "\"Interval\"=dword:0000003c\r\n"  // a number where text belongs
            "\"Alias\"=hex(1):61,00,64,00\r\n" // text without its terminating NUL
            "\"List\"=hex(7):41,00\r\n"        // a list cut short
            "\"Odd\"=hex(2):41\r\n"            // half a wide character
            "\"Huge\"=hex(ffffffff):00\r\n");  // a type no one knows
    std::vector<unsigned char> data;
    EXPECT_EQ(Read(u"Threads", &data, 4), 234) << "a DWORD-sized buffer cannot take the text";
    EXPECT_EQ(last_size_, 10u);
    ASSERT_EQ(Read(u"Threads", &data, 64), 0);
    EXPECT_EQ(Utf16(data), std::u16string(u"four\0", 5));

    ASSERT_EQ(Read(u"Interval", &data, 64), 0);
    EXPECT_EQ(data, (std::vector<unsigned char>{0x3c, 0, 0, 0}));
    EXPECT_EQ(Read(u"Interval", &data, 2), 234);
    EXPECT_EQ(last_size_, 4u);

    ASSERT_EQ(Read(u"Alias", &data, 64), 0);
    EXPECT_EQ(Utf16(data), u"ad") << "no terminator is made up";
    ASSERT_EQ(Read(u"List", &data, 64), 0);
    EXPECT_EQ(data.size(), 2u);
    ASSERT_EQ(Read(u"Odd", &data, 64), 0);
    EXPECT_EQ(data, std::vector<unsigned char>{0x41});
    ASSERT_EQ(Read(u"Huge", &data, 64), 0);
    EXPECT_EQ(data, std::vector<unsigned char>{0});

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key), 0);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Huge", nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(type, 0xffffffffu);
    EXPECT_EQ(RegCloseKey(key), 0);
}

TEST_F(HostileHive, HugeValuesAreReadWholeOrReportedWithTheSizeNeeded) {
    // A string of a million characters and 256 KiB of hex data continued
    // over 32768 lines.
    const std::string text(1 << 20, 'x');
    std::string hex = "\"Blob\"=hex:";
    for (int line = 0; line < 32768; ++line) {
        hex += line == 0 ? "" : ",\\\r\n  ";
        for (int i = 0; i < 8; ++i) {
            static const char* const kBytes[] = {"00", "11", "7f", "80", "a5", "c3", "fe", "ff"};
            hex += (i == 0 ? "" : ",") + std::string(kBytes[(line + i) % 8]);
        }
    }
    Install(kHeader + kKeyLine + "\"Alias\"=\"" + text + "\"\r\n" + hex + "\r\n");

    std::vector<unsigned char> data;
    EXPECT_EQ(Read(u"Alias", &data, 512), 234);
    EXPECT_EQ(last_size_, 2u * (1u << 20) + 2u);
    ASSERT_EQ(Read(u"Alias", &data, 3u << 20), 0);
    ASSERT_EQ(data.size(), 2u * (1u << 20) + 2u);
    EXPECT_EQ(Utf16(data), std::u16string(1 << 20, u'x') + std::u16string(1, u'\0'));

    ASSERT_EQ(Read(u"Blob", &data, 1u << 20), 0);
    ASSERT_EQ(data.size(), 32768u * 8u);
    EXPECT_EQ(data[0], 0x00);
    EXPECT_EQ(data[9], 0x7f);             // line 1, byte 1: kBytes[2]
    EXPECT_EQ(data[32767 * 8 + 7], 0xfe); // line 32767, byte 7: kBytes[6]
}

TEST_F(HostileHive, TextThatIsNoValidUtf8OrUtf16ReadsBackSensibly) {
    // Bytes that are no UTF-8 become one U+FFFD each; the rest of the line
    // is read as written.
    Install(kHeader + kKeyLine +
            "\"Alias\"=\"a\xff"
            "b\xc3(c\xed\xa0\x80"
            "d\"\r\n");
    std::vector<unsigned char> data;
    ASSERT_EQ(Read(u"Alias", &data, 256), 0);
    EXPECT_EQ(Utf16(data), std::u16string(u"a\xfffd"
                                          u"b\xfffd(c\xfffd\xfffd\xfffd"
                                          u"d\0",
                                          11));

    // UTF-16 with lone surrogates: the code units are kept as written, so
    // that a name read back compares equal to what was written.
    Install(Utf16LeFile(u"Windows Registry Editor Version 5.00\r\n"
                        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\r\n"
                        u"\"Alias\"=\"x\xdc00y\xd800\"\r\n"
                        u"\"N\xd801me\"=dword:00000007\r\n"));
    ASSERT_EQ(Read(u"Alias", &data, 256), 0);
    EXPECT_EQ(Utf16(data), std::u16string(u"x\xdc00y\xd800\0", 5));
    ASSERT_EQ(Read(u"n\xd801ME", &data, 16), 0);
    EXPECT_EQ(data, (std::vector<unsigned char>{7, 0, 0, 0}));
}

TEST_F(HostileHive, DeepAndEndlessKeysStopAtTheRegistrysLimits) {
    // 511 levels below the root is the deepest a key goes, and it opens.
    std::string path = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell";
    std::u16string sub = kKey;
    for (int level = 4; level < 512; ++level) {
        path += "\\k";
        sub += u"\\k";
    }
    Install(kHeader + "[" + path + "]\r\n\"Deep\"=dword:00000001\r\n");
    std::vector<unsigned char> data(4);
    std::uint32_t size = 4;
    EXPECT_EQ(
        registry_read_value(HKEY_LOCAL_MACHINE, nullptr, sub.c_str(), u"Deep", data.data(), &size),
        0);
    EXPECT_EQ(data[0], 1);

    // One level more is refused with a clear message.
    std::string complaint;
    EXPECT_EQ(ReadAliasFrom(kHeader + "[" + path + "\\k]\r\n", &complaint), 2);
    EXPECT_NE(complaint.find("line 2: a key is nested more than 512 levels deep"),
              std::string::npos)
        << complaint;

    // Keys as deep as allowed, each new, until their paths outgrow what a
    // hive may hold: refused at the line that goes too far, quickly.
    std::string endless = kHeader;
    for (int line = 0; line < 400; ++line) {
        endless += "[HKLM\\" + std::to_string(line);
        for (int level = 2; level < 512; ++level) {
            endless += "\\name" + std::to_string(level);
        }
        endless += "]\r\n";
    }
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadAliasFrom(endless, &complaint), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_NE(complaint.find("the keys of the hive add up to more than 16777216 characters"),
              std::string::npos)
        << complaint;
    ExpectRecovery();
}

TEST_F(HostileHive, LargeFilesAreReadOrRefusedInOnePass) {
    // Twenty thousand keys, then ten megabytes of deletions of keys that are
    // not there, then one deletion that takes all of them: a deletion finds
    // its keys without walking the whole hive.
    std::string text = kHeader;
    for (int i = 0; i < 20000; ++i) {
        text += "[HKLM\\SOFTWARE\\Filler\\Key" + std::to_string(i) + "\\Sub]\r\n";
    }
    for (int i = 0; text.size() < (10u << 20); ++i) {
        text += "[-HKLM\\SOFTWARE\\Gone\\Key" + std::to_string(i) + "]\r\n";
    }
    text += "[-HKLM\\SOFTWARE\\Filler]\r\n";
    Install(text + kKeyLine + "\"Alias\"=\"after ten megabytes\"\r\n");
    std::vector<unsigned char> data;
    ASSERT_EQ(Read(u"Alias", &data, 256), 0);
    EXPECT_EQ(Utf16(data), std::u16string(u"after ten megabytes\0", 20));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Filler", 0, KEY_QUERY_VALUE, &key), 2);
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Filler\\Key7", 0, KEY_QUERY_VALUE, &key), 2);

    // Two megabytes of garbage after a good start: one complaint, with the
    // line where it went wrong.
    std::string garbage = kHeader + kKeyLine + "\"Alias\"=\"admin\"\r\n\x01";
    std::mt19937 random(99);
    while (garbage.size() < (2u << 20)) {
        garbage.push_back(static_cast<char>(random() & 0xFF));
    }
    std::string complaint;
    EXPECT_EQ(ReadAliasFrom(garbage, &complaint), 2);
    EXPECT_NE(complaint.find("line 4: "), std::string::npos) << complaint.substr(0, 300);
    EXPECT_EQ(std::count(complaint.begin(), complaint.end(), '\n'), 1);
    ExpectRecovery();
}

} // namespace
} // namespace hostile
