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

// Reads text value `name` into `field` of `units` wide characters, which the
// caller has zeroed. False when the read fails or the data fills the whole
// field without a terminator.
bool ReadText(const char16_t* name, char16_t* field, std::size_t units) {
    std::uint32_t size = static_cast<std::uint32_t>(units * sizeof(char16_t));
    if (registry_read_value(HKEY_LOCAL_MACHINE, nullptr, AGENT_SETTINGS_KEY, name, field, &size) !=
        0) {
        return false;
    }
    if (field[units - 1] != u'\0') {
        std::memset(field, 0, units * sizeof(char16_t));
        return false;
    }
    return true;
}

// Reads 32-bit number `name` into *value. False when the read fails; *value
// is then unchanged.
bool ReadNumber(const char16_t* name, std::uint32_t* value) {
    std::uint32_t data = 0;
    std::uint32_t size = sizeof(data);
    if (registry_read_value(HKEY_LOCAL_MACHINE, nullptr, AGENT_SETTINGS_KEY, name, &data, &size) !=
        0) {
        return false;
    }
    *value = data;
    return true;
}

} // namespace

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

std::int32_t agent_settings_read(agent_settings* settings) {
    std::memset(settings->alias, 0, sizeof(settings->alias));
    std::memset(settings->server, 0, sizeof(settings->server));
    std::memset(settings->spam_folder, 0, sizeof(settings->spam_folder));
    std::memset(settings->spam_substring, 0, sizeof(settings->spam_substring));

    if (!ReadText(u"Alias", settings->alias, VTXPR_NAME_CHARS)) {
        xal_log_message(XAL_LOG_ERR, MSG_REGISTRY_READ, u"Alias");
        return MSG_REGISTRY_READ;
    }
    if (!ReadText(u"Server", settings->server, VTXPR_MAX_PATH)) {
        DWORD size = VTXPR_MAX_PATH;
        GetComputerNameW(settings->server, &size);
    }
    if (!ReadText(u"Spam Folder", settings->spam_folder, VTXPR_MAX_PATH)) {
        xal_log_message(XAL_LOG_ERR, MSG_REGISTRY_READ, u"Spam Folder");
        return MSG_REGISTRY_READ;
    }
    agent_settings_trim(settings->spam_folder);
    if (!ReadText(u"Spam SubString", settings->spam_substring, VTXPR_MAX_PATH)) {
        xal_log_message(XAL_LOG_ERR, MSG_REGISTRY_READ, u"Spam SubString");
        return MSG_REGISTRY_READ;
    }

    std::uint32_t value = 0;
    if (!ReadNumber(u"Interval (Seconds)", &value)) {
        value = AGENT_DEFAULT_INTERVAL;
    }
    settings->interval = value < AGENT_MIN_INTERVAL ? AGENT_MIN_INTERVAL : value;

    if (!ReadNumber(u"ThreadCount", &value)) {
        value = AGENT_DEFAULT_THREADS;
    } else if (value > AGENT_MAX_THREADS) {
        value = AGENT_MAX_THREADS;
    } else if (value == 0) {
        value = 1;
    }
    settings->thread_count = value;

    if (!ReadNumber(u"Expunge Report", &value)) {
        value = 0;
    }
    settings->expunge_report = value;

    if (!ReadNumber(u"Spam Retention (Days)", &value)) {
        value = AGENT_DEFAULT_RETENTION;
    } else if (value == 0) {
        value = 1;
    }
    settings->spam_retention = value;

    std::uint32_t maintenance_only = 0;
    ReadNumber(u"RunMaintenanceOnly", &maintenance_only);
    if (maintenance_only == 1) {
        xal_log_message(XAL_LOG_NOTICE, MSG_MAINTENANCE_ONLY);
        settings->maintenance_only = 1;
    } else {
        settings->maintenance_only = 0;
    }

    bool valid = true;
    if (!ReadNumber(u"Maintenance Begin (Hour)", &value)) {
        value = AGENT_DEFAULT_BEGIN_HOUR;
    }
    settings->maintenance_begin = value;
    if (value > 23) {
        valid = false;
    } else {
        if (!ReadNumber(u"Maintenance End (Hour)", &value)) {
            value = AGENT_DEFAULT_END_HOUR;
        }
        settings->maintenance_end = value;
        valid = value <= 23 && value != settings->maintenance_begin;
    }
    if (!valid) {
        xal_log_message(XAL_LOG_WARNING, MSG_BAD_WINDOW);
        settings->maintenance_begin = AGENT_DEFAULT_BEGIN_HOUR;
        settings->maintenance_end = AGENT_DEFAULT_END_HOUR;
    }
    return 0;
}
