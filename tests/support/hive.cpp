#include "tests/support/hive.h"

#include <cstdio>
#include <ctime>

namespace swtest {

std::string HiveText(const std::vector<std::string>& lines) {
    std::string text = "Windows Registry Editor Version 5.00\n\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\n";
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

std::string Dword(const std::string& name, std::uint32_t value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", value);
    return "\"" + name + "\"=dword:" + digits;
}

std::string HexText(const std::string& name, std::size_t units, char c) {
    std::string line = "\"" + name + "\"=hex(1):";
    char byte[8];
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(c));
    for (std::size_t i = 0; i < units; ++i)
        line += std::string(i == 0 ? "" : ",") + byte + ",00";
    return line;
}

namespace {
std::uint32_t LocalHour() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return static_cast<std::uint32_t>(local.tm_hour);
}
} // namespace

std::vector<std::string> WindowOpenNow(std::vector<std::string> lines) {
    const std::uint32_t hour = LocalHour();
    lines.push_back(Dword("Maintenance Begin (Hour)", hour));
    lines.push_back(Dword("Maintenance End (Hour)", (hour + 23) % 24));
    return lines;
}

std::vector<std::string> WindowClosedNow(std::vector<std::string> lines) {
    const std::uint32_t hour = LocalHour();
    lines.push_back(Dword("Maintenance Begin (Hour)", (hour + 3) % 24));
    lines.push_back(Dword("Maintenance End (Hour)", (hour + 4) % 24));
    return lines;
}

bool NamesWindow(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        if (line.rfind("\"Maintenance Begin (Hour)\"", 0) == 0 ||
            line.rfind("\"Maintenance End (Hour)\"", 0) == 0)
            return true;
    return false;
}

} // namespace swtest
