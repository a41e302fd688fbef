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

// The values the agent reads, in the order it reads them.
enum agent_setting_index : unsigned {
    AGENT_SETTING_ALIAS,
    AGENT_SETTING_SERVER,
    AGENT_SETTING_SPAM_FOLDER,
    AGENT_SETTING_SPAM_SUBSTRING,
    AGENT_SETTING_INTERVAL,
    AGENT_SETTING_THREAD_COUNT,
    AGENT_SETTING_EXPUNGE_REPORT,
    AGENT_SETTING_SPAM_RETENTION,
    AGENT_SETTING_MAINTENANCE_ONLY,
    AGENT_SETTING_MAINTENANCE_BEGIN,
    AGENT_SETTING_MAINTENANCE_END,
    AGENT_SETTING_COUNT
};
// Their names under AGENT_SETTINGS_KEY, by index.
extern const char16_t* const AGENT_SETTING_NAMES[AGENT_SETTING_COUNT];

// How one reading met each value.
constexpr std::uint8_t AGENT_SETTING_NOT_READ = 0;  // not looked at (see below)
constexpr std::uint8_t AGENT_SETTING_FROM_HIVE = 1; // its data was taken
constexpr std::uint8_t AGENT_SETTING_DEFAULTED = 2; // missing, unreadable or too large
struct agent_settings_trace {
    std::uint8_t origin[AGENT_SETTING_COUNT] = {};
    // A number as read, before the range rules (0 when it was not taken).
    std::uint32_t number[AGENT_SETTING_COUNT] = {};
    // The required value whose failure ended the reading (28001), or null.
    const char16_t* missing = nullptr;
    // The maintenance hours were invalid and the window 1 to 2 was put in
    // their place (28017).
    bool window_invalid = false;
};

// Reads every setting, applying defaults and range rules, and logs nothing.
// Returns 0, or 28001 when "Alias", "Spam Folder" or "Spam SubString" cannot
// be read; then the later values are not read. A begin hour above 23 makes
// the window invalid before "Maintenance End (Hour)" is read, which then is
// not read either. `trace`, when given, receives what the reading met.
//
// A text that fills its whole field without a terminator (a hex(1) value of
// exactly 512 or 520 bytes) is refused as if it could not be read: such a
// name would only arrive cut, and a cut folder name or marker would make the
// agent act on the wrong folder or the wrong mail without a word; refusing
// it names the value in 28001 (for "Server" the computer's name is taken).
std::int32_t agent_settings_load(agent_settings* settings, agent_settings_trace* trace = nullptr);

// The agent's reading: agent_settings_load, then the messages it calls for
// in the order the values were read: 28001 naming the value (level 3),
// 28021 for maintenance-only mode (level 5), 28017 for an invalid window
// (level 4). Returns what agent_settings_load returned.
std::int32_t agent_settings_read(agent_settings* settings);

// Trims white space (as iswspace sees it) from both ends of `text` in place.
void agent_settings_trim(char16_t* text);
