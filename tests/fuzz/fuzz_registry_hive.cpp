// Arbitrary bytes as a registry hive file.
//
// Whatever the bytes, the parser ends with either a hive or one error (a
// line and a message) and an empty hive. A hive that parsed holds only
// folded names, every key's parents exist, and written back out in the same
// text format (UTF-16LE, every value as hex(N)) it parses to the same hive.
#include "platform/win32/registry_hive.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "hive parser broke a promise: %s\n", what);
        std::abort();
    }
}

void Put(std::string& out, std::u16string_view text) {
    for (char16_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
}

std::u16string HexByte(unsigned value) {
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    return {kDigits[(value >> 4) & 0xF], kDigits[value & 0xF]};
}

// The hive as .reg text in UTF-16LE with its byte order mark.
std::string Write(const RegistryHive& hive) {
    std::string out = "\xFF\xFE";
    Put(out, u"Windows Registry Editor Version 5.00\r\n");
    for (const auto& [path, key] : hive.keys) {
        Put(out, u"\r\n[");
        Put(out, path);
        Put(out, u"]\r\n");
        for (const auto& [name, value] : key.values) {
            if (name.empty()) {
                Put(out, u"@");
            } else {
                std::u16string quoted = u"\"";
                for (char16_t c : name) {
                    if (c == u'\\' || c == u'"')
                        quoted.push_back(u'\\');
                    quoted.push_back(c);
                }
                quoted.push_back(u'"');
                Put(out, quoted);
            }
            std::u16string type;
            for (int shift = 28; shift >= 0; shift -= 4)
                type.push_back(HexByte((value.type >> shift) & 0xF)[1]);
            Put(out, u"=hex(" + type + u"):");
            for (std::size_t i = 0; i < value.data.size(); ++i)
                Put(out, (i == 0 ? u"" : u",") + HexByte(value.data[i]));
            Put(out, u"\r\n");
        }
    }
    return out;
}

bool SameHive(const RegistryHive& a, const RegistryHive& b) {
    if (a.keys.size() != b.keys.size())
        return false;
    for (auto i = a.keys.begin(), j = b.keys.begin(); i != a.keys.end(); ++i, ++j) {
        if (i->first != j->first || i->second.values.size() != j->second.values.size())
            return false;
        auto v = i->second.values.begin();
        auto w = j->second.values.begin();
        for (; v != i->second.values.end(); ++v, ++w) {
            if (v->first != w->first || v->second.type != w->second.type ||
                v->second.data != w->second.data) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    RegistryHive hive;
    RegistryParseError error;
    if (!ParseRegistryHive(bytes, &hive, &error)) {
        Require(hive.keys.empty(), "a failed parse leaves keys behind");
        Require(!error.message.empty(), "a failed parse without a message");
        Require(error.line >= 1 || error.message == "out of memory",
                "an error without a line number");
        Require(static_cast<std::size_t>(error.line) <= size + 1, "an error past the last line");
        return 0;
    }
    for (const auto& [path, key] : hive.keys) {
        Require(RegistryFoldPath(path) == path, "a key path that is not folded");
        for (std::size_t sep = path.find(u'\\'); sep != std::u16string::npos;
             sep = path.find(u'\\', sep + 1)) {
            Require(hive.keys.count(path.substr(0, sep)) == 1, "a key without its parent");
        }
        for (const auto& entry : key.values)
            Require(RegistryFoldName(entry.first) == entry.first, "a value name not folded");
    }
    RegistryHive again;
    RegistryParseError again_error;
    const std::string written = Write(hive);
    Require(ParseRegistryHive(written, &again, &again_error), "a written hive does not parse");
    Require(SameHive(hive, again), "a written hive parses to another hive");
    return 0;
}
