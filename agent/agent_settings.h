// The agent's settings, read from the registry key
// HKEY_LOCAL_MACHINE\SOFTWARE\Altavane\Sortwell at every initialisation.
#pragma once
#include "runtime/vtxpr_limits.h"

#include <cstdint>

constexpr const char16_t* AGENT_SETTINGS_KEY = u"SOFTWARE\\Altavane\\Sortwell";

// Defaults and limits.
constexpr std::uint32_t AGENT_DEFAULT_INTERVAL = 3600; // seconds
constexpr std::uint32_t AGENT_MIN_INTERVAL = 60;
constexpr std::uint32_t AGENT_DEFAULT_THREADS = 5;
constexpr std::uint32_t AGENT_MAX_THREADS = 20;
constexpr std::uint32_t AGENT_DEFAULT_RETENTION = 30; // days
constexpr std::uint32_t AGENT_DEFAULT_BEGIN_HOUR = 1;
constexpr std::uint32_t AGENT_DEFAULT_END_HOUR = 2;

struct agent_settings {
    std::uint32_t thread_count;      // mailbox workers, 1 to 20
    std::uint32_t interval;          // seconds between passes, at least 60
    std::uint32_t expunge_report;    // 0: no report; else the fewest expunged items reported
    std::uint32_t spam_retention;    // days, at least 1
    std::uint32_t maintenance_begin; // hour 0-23
    std::uint32_t maintenance_end;   // hour 0-23, never equal to the begin hour
    std::uint8_t maintenance_only;   // 1: passes do maintenance only
    char16_t alias[VTXPR_NAME_CHARS];
    char16_t server[VTXPR_MAX_PATH];
    char16_t spam_folder[VTXPR_MAX_PATH];
    char16_t spam_substring[VTXPR_MAX_PATH];
};

// Reads every setting, applying defaults and range rules. Returns 0, or
// 28001 (already logged with the value's name) when "Alias", "Spam Folder" or
// "Spam SubString" cannot be read; then the later values are not read.
//
// A text that fills its whole field without a terminator (a hex(1) value of
// exactly 512 or 520 bytes) is refused as if it could not be read: such a
// name would only arrive cut, and a cut folder name or marker would make the
// agent act on the wrong folder or the wrong mail without a word; refusing
// it names the value in 28001 (for "Server" the computer's name is taken).
std::int32_t agent_settings_read(agent_settings* settings);

// Trims white space (as iswspace sees it) from both ends of `text` in place.
void agent_settings_trim(char16_t* text);
