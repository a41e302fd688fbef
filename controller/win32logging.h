// The program's event source in the event log.
#pragma once
#include <cstdint>

// Event types.
constexpr std::uint16_t EVENTLOG_SUCCESS = 0;
constexpr std::uint16_t EVENTLOG_ERROR_TYPE = 1;
constexpr std::uint16_t EVENTLOG_WARNING_TYPE = 2;
constexpr std::uint16_t EVENTLOG_INFORMATION_TYPE = 4;

// Reports one event with the single insertion string `text`. Returns non-zero
// on success, 0 when the source cannot be registered or the report failed.
int event_log_report(std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                     const char16_t* text);
// Reports one event with `count` insertion strings and `data_size` bytes of
// data. A 4-byte datum adds its low 16 bits as one more insertion string in
// decimal.
void event_log_report_data(std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                           std::uint16_t count, std::uint32_t data_size, const char16_t** strings,
                           const void* data);
// Opens the event source under `source_name` when it is not open, closes it
// when it is. Returns the new handle value after opening (0 on failure), or
// the result of the close.
std::intptr_t event_log_toggle_source(const char16_t* source_name);
