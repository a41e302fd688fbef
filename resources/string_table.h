// The program's string table, compiled into the program.
//
// User-interface texts are loaded by number (LoadStringW over this table).
// A text is printed exactly as it stands here: nothing is added to it, so a
// text that should end a line carries its own line feed.
#pragma once
#include <cstdint>

// The agent's texts.
constexpr std::uint32_t IDS_REMOVE_BANNER = 101;  // printed for a lone "remove"
constexpr std::uint32_t IDS_UNRECOGNIZED = 102;   // an unknown first argument
constexpr std::uint32_t IDS_USAGE = 103;          // printed after IDS_UNRECOGNIZED
constexpr std::uint32_t IDS_REMOVE_KEYWORD = 104; // keyword of remove mode
constexpr std::uint32_t IDS_PROGRAM_NAME = 105;   // program name, event source name
constexpr std::uint32_t IDS_ONCE_KEYWORD = 106;   // keyword of once mode

// The text of string `id`, NUL-terminated, or null when the table holds no
// string of that number.
const char16_t* StringTableText(std::uint32_t id);
