// The event log, stood in for by syslog or by an event file.
//
// A registered source writes each event to syslog (the source name as the
// ident, facility daemon; the event type gives the priority: error LOG_ERR,
// warning LOG_WARNING, information LOG_INFO, success LOG_NOTICE), the text
// rendered through the program's message table with the event id and the
// category in the line.
//
// With SORTWELL_EVENTLOG=FILE at registration the source appends each event
// instead as one JSON object on one line to the file that
// SORTWELL_EVENTLOG_FILE names (default /var/log/sortwell/events.jsonl), with
// the keys time, source, type, category, event_id, strings, data (hex) and
// message (the rendered text). Each event is one write to a file opened for
// appending, so writers in any number of threads and processes never
// interleave their lines. An event file that cannot be opened is reported on
// standard error and the source writes to syslog instead.
#pragma once
#include "platform/win32/win32_base.h"

#include <string>

using PSID = void*;

constexpr DWORD ERROR_WRITE_FAULT = 29;

// Registers `source_name` on `server_name` (null for this machine). Returns
// the source's handle, or null with the last error set: ERROR_BAD_NETPATH for
// another machine, ERROR_INVALID_PARAMETER for a missing name,
// ERROR_NOT_ENOUGH_MEMORY.
HANDLE RegisterEventSourceW(LPCWSTR server_name, LPCWSTR source_name);

// Writes one event. `strings` holds `string_count` insertion strings (a null
// entry counts as an empty string); `data` holds `data_size` bytes or is
// null. The user identifier is not recorded. Returns TRUE, or FALSE with the
// last error set: ERROR_INVALID_HANDLE for a handle that is not an open
// source, ERROR_INVALID_PARAMETER for strings or data missing where a count
// is given, ERROR_WRITE_FAULT when the event file cannot be written.
BOOL ReportEventW(HANDLE event_log, WORD type, WORD category, DWORD event_id, PSID user_sid,
                  WORD string_count, DWORD data_size, LPCWSTR* strings, void* data);

// Closes a source. Its handle stays safe to pass afterwards: reports on it
// fail with ERROR_INVALID_HANDLE. Returns TRUE, or FALSE with
// ERROR_INVALID_HANDLE for a handle that is not an open source.
BOOL DeregisterEventSource(HANDLE event_log);

// The event's text as an event viewer shows it: the message table's text of
// `event_id` with %1, %2, ... (also in the forms %1!s!, %1!d!) replaced by the
// insertion strings, %% as %, and the table's final CR LF removed. An id that
// the table does not hold gives the insertion strings joined by spaces.
std::u16string EventLogRenderText(DWORD event_id, WORD string_count, const LPCWSTR* strings);

// The line handed to syslog: "event_id=0x40000200 category=28 (Sortwell): "
// followed by the rendered text and, when there is data, " data=" and its
// bytes in hex. Control characters are written as \n, \r, \t or \xNN and a
// backslash as \\, so that one event is one line.
std::string EventLogSyslogLine(WORD category, DWORD event_id, WORD string_count,
                               const LPCWSTR* strings, DWORD data_size, const void* data);

// The JSON object of one event for the event file, with its final line feed.
// `time_ns` is nanoseconds since 1970 UTC, written as UTC with milliseconds.
std::string EventLogJsonLine(std::int64_t time_ns, const char16_t* source, WORD type, WORD category,
                             DWORD event_id, WORD string_count, const LPCWSTR* strings,
                             DWORD data_size, const void* data);
