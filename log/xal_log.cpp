// The logging entry: catalogue lookup, the level filter, and the event-log
// line.
#include "log/xal_log.h"

#include "controller/win32logging.h"
#include "log/xal_log_catalogue.h"
#include "log/xal_log_internal.h"
#include "log/xal_log_limits.h"
#include "platform/win32/win32_base.h"
#include "resources/eventlog_messages.h"
#include "runtime/vtx_str.h"
#include "runtime/vtxpr_strings.h"
#include "runtime/vtxpr_time.h"

#include <atomic>
#include <cstdio>

namespace {

constexpr const char16_t* kMonths[12] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                         u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

} // namespace

const char16_t* xal_log_level_name(int level) {
    switch (level) {
    case XAL_LOG_ALERT:
        return u"ALERT";
    case XAL_LOG_ERR:
        return u"ERROR";
    case XAL_LOG_WARNING:
        return u"WARNING";
    case XAL_LOG_NOTICE:
        return u"NOTICE";
    case XAL_LOG_INFO:
        return u"INFO";
    default: // 2, 7 and anything else
        return u"DEBUG";
    }
}

std::uint16_t xal_log_event_type(int level) {
    switch (level) {
    case XAL_LOG_ALERT:
    case XAL_LOG_ERR:
        return EVENTLOG_ERROR_TYPE;
    case XAL_LOG_WARNING:
        return EVENTLOG_WARNING_TYPE;
    case XAL_LOG_NOTICE:
        return EVENTLOG_SUCCESS;
    default:
        return EVENTLOG_INFORMATION_TYPE;
    }
}

std::uint32_t xal_log_event_id(std::uint16_t event_type) {
    switch (event_type) {
    case EVENTLOG_SUCCESS:
    case EVENTLOG_INFORMATION_TYPE:
        return MSG_XAL_LOG_INFO;
    case EVENTLOG_WARNING_TYPE:
        return MSG_XAL_LOG_WARNING;
    default:
        return MSG_XAL_LOG_ERROR;
    }
}

std::size_t xal_log_build_line(char16_t* line, const char16_t* date_stamp,
                               const char16_t* level_name, std::uint32_t process_id,
                               std::uint32_t thread_id, std::uint32_t number,
                               const char16_t* format, va_list arguments) {
    line[0] = u'\0';
    if (date_stamp == nullptr) {
        VTXPR_Snprintf(line, XAL_LOG_PREFIX_LIMIT, u"[Corvane] (%s:%u.%u): [%u] ", level_name,
                       process_id, thread_id, number);
    } else {
        VTXPR_Snprintf(line, XAL_LOG_PREFIX_LIMIT, u"%s (%s:%u.%u): [%u] ", date_stamp, level_name,
                       process_id, thread_id, number);
    }
    std::size_t length = VTX_WStrLen(line);
    // The message fills the rest of the buffer, leaving one character for
    // the final line feed.
    VTXPR_Vsnprintf(line + length, XAL_LOG_LINE_CHARS - length, format, arguments);
    length += VTX_WStrLen(line + length);
    if (length == XAL_LOG_LINE_CHARS - 1 && IsHighSurrogate(line[length - 1])) {
        // Cut between the halves of a pair: the lone half would only turn
        // into a replacement character.
        line[--length] = u'\0';
    }
    if (length == 0 || line[length - 1] != u'\n') {
        line[length++] = u'\n';
        line[length] = u'\0';
    }
    return length;
}

void xal_log_event_v(int level, std::uint32_t number, const char16_t* format, va_list arguments) {
    char16_t line[XAL_LOG_LINE_CHARS + 1];
    xal_log_build_line(line, nullptr, xal_log_level_name(level), GetCurrentProcessId(),
                       GetCurrentThreadId(), number, format, arguments);
    const std::uint16_t type = xal_log_event_type(level);
    // The event log takes no lock of ours: each line is one event.
    event_log_report(type, static_cast<std::uint16_t>(number / 1000), xal_log_event_id(type), line);
}

void xal_log_event(int level, std::uint32_t number, const char16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    xal_log_event_v(level, number, format, arguments);
    va_end(arguments);
}

void xal_log_date_stamp(std::int64_t seconds, char16_t* stamp, std::size_t count) {
    VTXPR_TM local{};
    if (VTXPR_LocalTime(seconds, &local) != 0 || local.tm_mon < 0 || local.tm_mon > 11) {
        VTXPR_Snprintf(stamp, count, u"%s", u"?");
        return;
    }
    VTXPR_Snprintf(stamp, count, u"%u %s %u %.02u:%.02u:%.02u",
                   static_cast<unsigned>(local.tm_mday), kMonths[local.tm_mon],
                   static_cast<unsigned>(local.tm_year), static_cast<unsigned>(local.tm_hour),
                   static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec));
}

void xal_log_message(int level, int id, ...) {
    xal_shared_log_settings_load();
    XAL_SHARED_LOG_SETTINGS& settings = xal_shared_log_settings;

    const char16_t* format = xal_log_catalogue_text(id);
    if (format == nullptr) {
        xal_log_message(XAL_LOG_ERR, XAL_MSG_INTERNAL_ERROR, id);
        return;
    }
    // Dropped messages cost this comparison and nothing else: no argument
    // is formatted.
    if (level > std::atomic_ref<std::int32_t>(settings.level).load(std::memory_order_relaxed)) {
        return;
    }
    va_list arguments;
    va_start(arguments, id);
    if (std::atomic_ref<std::FILE*>(settings.stream).load(std::memory_order_acquire) == nullptr) {
        xal_log_event_v(level, static_cast<std::uint32_t>(id), format, arguments);
    } else {
        char16_t stamp[XAL_LOG_DATE_CHARS];
        xal_log_date_stamp(VTXPR_Time(), stamp, XAL_LOG_DATE_CHARS);
        xal_log_write_file(stamp, xal_log_level_name(level), GetCurrentProcessId(),
                           GetCurrentThreadId(), id, format, arguments);
    }
    va_end(arguments);
}
