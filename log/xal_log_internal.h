// The pieces of the logging module that work together behind
// xal_log_message: line building, the event-log hand-off, the file writer,
// rotation and clean-up. Tests call them one by one.
#pragma once
#include "platform/xalshareddata/xal_shared_log_settings.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// The name of a level in a line ("ALERT", "ERROR", ...; any other level
// "DEBUG").
const char16_t* xal_log_level_name(int level);
// The event type that a level is handed over as.
std::uint16_t xal_log_event_type(int level);
// The event id of an event type: 0x40000200, 0x80000201 or 0xC0000202.
std::uint32_t xal_log_event_id(std::uint16_t event_type);

// Builds one line into `line` (XAL_LOG_LINE_CHARS + 1 characters): the
// prefix, then the message from `format` and `arguments`, cut so that the
// line with a final line feed has at most XAL_LOG_LINE_CHARS characters,
// then the line feed when the text does not already end in one. The prefix
// is "[Corvane] (LEVEL:pid.tid): [number] " for the event log (`date_stamp`
// null) and "<date stamp> (LEVEL:pid.tid): [number] " for a file. Returns the
// line's length.
std::size_t xal_log_build_line(char16_t* line, const char16_t* date_stamp,
                               const char16_t* level_name, std::uint32_t process_id,
                               std::uint32_t thread_id, std::uint32_t number,
                               const char16_t* format, va_list arguments);

// Formats the event-log line ("[Corvane] (LEVEL:pid.tid): [number] " and the
// message) and reports it: type from the level, category number / 1000.
void xal_log_event_v(int level, std::uint32_t number, const char16_t* format, va_list arguments);
void xal_log_event(int level, std::uint32_t number, const char16_t* format, ...);

// The date stamp of a file line for the time `seconds`: "4 Dec 2026 07:05:09".
void xal_log_date_stamp(std::int64_t seconds, char16_t* stamp, std::size_t count);

// Writes one line to the record's stream (see xal_log_file.cpp).
void xal_log_write_file(const char16_t* date_stamp, const char16_t* level_name,
                        std::uint32_t process_id, std::uint32_t thread_id, int id,
                        const char16_t* format, va_list arguments);

// The rotation check, under the record's lock: moves the log file to its
// stamped name when the current period has ended. Returns 0 or the error
// number of a failed move; *moved tells whether the file was moved.
int xal_log_rotate(XAL_SHARED_LOG_SETTINGS* settings, bool* moved);

// Deletes the oldest rotated files in `directory` (null: the current
// directory) beyond the record's number to keep. Returns 0, 10055, 10024 or
// 1003.
int xal_log_cleanup(const XAL_SHARED_LOG_SETTINGS* settings, const char16_t* directory);

// Forgets the cached zone offset, so that the next rotation check computes
// it again. For tests that change the time zone.
void xal_log_reset_zone_cache();
