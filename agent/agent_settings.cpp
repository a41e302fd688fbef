#include "agent/agent_settings.h"

#include "controller/win32reg.h"
#include "log/xal_log.h"
#include "platform/win32/sysinfo.h"
#include "runtime/vtx_str.h"

#include <cstring>

namespace {

constexpr int MSG_REGISTRY_READ = 28001; // "Error reading configuration from Windows registry: %s."
constexpr int MSG_BAD_WINDOW = 28017;    // "The maintenance window specificied is invalid. ..."
constexpr int MSG_MAINTENANCE_ONLY =
    28021; // "The Sortwell will be running in 'Maintenance Only Mode'."

// Records in `trace` (when there is one) how value `index` was met.
void Note(agent_settings_trace* trace, unsigned index, bool taken, std::uint32_t number = 0) {
    if (trace != nullptr) {
        trace->origin[index] = taken ? AGENT_SETTING_FROM_HIVE : AGENT_SETTING_DEFAULTED;
        trace->number[index] = taken ? number : 0;
    }
}

// Reads text value `index` into `field` of `units` wide characters, which
// the caller has zeroed. False when the read fails or the data fills the
// whole field without a terminator.
bool ReadText(unsigned index, char16_t* field, std::size_t units, agent_settings_trace* trace) {
    std::uint32_t size = static_cast<std::uint32_t>(units * sizeof(char16_t));
    bool taken = registry_read_value(HKEY_LOCAL_MACHINE, nullptr, AGENT_SETTINGS_KEY,
                                     AGENT_SETTING_NAMES[index], field, &size) == 0;
    if (taken && field[units - 1] != u'\0') {
        std::memset(field, 0, units * sizeof(char16_t));
        taken = false;
    }
    Note(trace, index, taken);
    return taken;
}

// Reads 32-bit number `index` into *value. False when the read fails;
// *value is then unchanged.
bool ReadNumber(unsigned index, std::uint32_t* value, agent_settings_trace* trace) {
    std::uint32_t data = 0;
    std::uint32_t size = sizeof(data);
    const bool taken = registry_read_value(HKEY_LOCAL_MACHINE, nullptr, AGENT_SETTINGS_KEY,
                                           AGENT_SETTING_NAMES[index], &data, &size) == 0;
    Note(trace, index, taken, data);
    if (taken) {
        *value = data;
    }
    return taken;
}

} // namespace

const char16_t* const AGENT_SETTING_NAMES[AGENT_SETTING_COUNT] = {
    u"Alias",
    u"Server",
    u"Spam Folder",
    u"Spam SubString",
    u"Interval (Seconds)",
    u"ThreadCount",
    u"Expunge Report",
    u"Spam Retention (Days)",
    u"RunMaintenanceOnly",
    u"Maintenance Begin (Hour)",
    u"Maintenance End (Hour)",
};

void agent_settings_trim(char16_t* text) {
    const char16_t* start = text;
    while (*start != u'\0' && VTX_IsWSpace(*start)) {
        ++start;
    }
    const std::size_t length = VTX_WStrLen(start);
    // From the last character back, but never the first one.
    char16_t* end = const_cast<char16_t*>(start) + length;
    while (end > start + 1 && VTX_IsWSpace(end[-1])) {
        *--end = u'\0';
    }
    if (start != text) {
        std::memmove(text, start, (VTX_WStrLen(start) + 1) * sizeof(char16_t));
    }
}

std::int32_t agent_settings_load(agent_settings* settings, agent_settings_trace* trace) {
    agent_settings_trace own;
    if (trace == nullptr) {
        trace = &own;
    }
    *trace = agent_settings_trace{};
    std::memset(settings->alias, 0, sizeof(settings->alias));
    std::memset(settings->server, 0, sizeof(settings->server));
    std::memset(settings->spam_folder, 0, sizeof(settings->spam_folder));
    std::memset(settings->spam_substring, 0, sizeof(settings->spam_substring));

    if (!ReadText(AGENT_SETTING_ALIAS, settings->alias, VTXPR_NAME_CHARS, trace)) {
        trace->missing = AGENT_SETTING_NAMES[AGENT_SETTING_ALIAS];
        return MSG_REGISTRY_READ;
    }
    if (!ReadText(AGENT_SETTING_SERVER, settings->server, VTXPR_MAX_PATH, trace)) {
        DWORD size = VTXPR_MAX_PATH;
        GetComputerNameW(settings->server, &size);
    }
    if (!ReadText(AGENT_SETTING_SPAM_FOLDER, settings->spam_folder, VTXPR_MAX_PATH, trace)) {
        trace->missing = AGENT_SETTING_NAMES[AGENT_SETTING_SPAM_FOLDER];
        return MSG_REGISTRY_READ;
    }
    agent_settings_trim(settings->spam_folder);
    if (!ReadText(AGENT_SETTING_SPAM_SUBSTRING, settings->spam_substring, VTXPR_MAX_PATH, trace)) {
        trace->missing = AGENT_SETTING_NAMES[AGENT_SETTING_SPAM_SUBSTRING];
        return MSG_REGISTRY_READ;
    }

    std::uint32_t value = 0;
    if (!ReadNumber(AGENT_SETTING_INTERVAL, &value, trace)) {
        value = AGENT_DEFAULT_INTERVAL;
    }
    settings->interval = value < AGENT_MIN_INTERVAL ? AGENT_MIN_INTERVAL : value;

    if (!ReadNumber(AGENT_SETTING_THREAD_COUNT, &value, trace)) {
        value = AGENT_DEFAULT_THREADS;
    } else if (value > AGENT_MAX_THREADS) {
        value = AGENT_MAX_THREADS;
    } else if (value == 0) {
        value = 1;
    }
    settings->thread_count = value;

    if (!ReadNumber(AGENT_SETTING_EXPUNGE_REPORT, &value, trace)) {
        value = 0;
    }
    settings->expunge_report = value;

    if (!ReadNumber(AGENT_SETTING_SPAM_RETENTION, &value, trace)) {
        value = AGENT_DEFAULT_RETENTION;
    } else if (value == 0) {
        value = 1;
    }
    settings->spam_retention = value;

    std::uint32_t maintenance_only = 0;
    ReadNumber(AGENT_SETTING_MAINTENANCE_ONLY, &maintenance_only, trace);
    settings->maintenance_only = maintenance_only == 1 ? 1 : 0;

    bool valid = true;
    if (!ReadNumber(AGENT_SETTING_MAINTENANCE_BEGIN, &value, trace)) {
        value = AGENT_DEFAULT_BEGIN_HOUR;
    }
    settings->maintenance_begin = value;
    if (value > 23) {
        valid = false;
    } else {
        if (!ReadNumber(AGENT_SETTING_MAINTENANCE_END, &value, trace)) {
            value = AGENT_DEFAULT_END_HOUR;
        }
        settings->maintenance_end = value;
        valid = value <= 23 && value != settings->maintenance_begin;
    }
    if (!valid) {
        trace->window_invalid = true;
        settings->maintenance_begin = AGENT_DEFAULT_BEGIN_HOUR;
        settings->maintenance_end = AGENT_DEFAULT_END_HOUR;
    }
    return 0;
}

std::int32_t agent_settings_read(agent_settings* settings) {
    agent_settings_trace trace;
    const std::int32_t result = agent_settings_load(settings, &trace);
    if (result != 0) {
        xal_log_message(XAL_LOG_ERR, MSG_REGISTRY_READ, trace.missing);
        return result;
    }
    if (settings->maintenance_only == 1) {
        xal_log_message(XAL_LOG_NOTICE, MSG_MAINTENANCE_ONLY);
    }
    if (trace.window_invalid) {
        xal_log_message(XAL_LOG_WARNING, MSG_BAD_WINDOW);
    }
    return 0;
}
