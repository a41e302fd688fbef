// The shared log settings record: the level threshold and where log lines
// go, filled from the environment at first use.
//
// The logging core reads the record directly. While `stream` is null every
// line goes to the event log; otherwise lines go to that stream (a log file
// or standard error) under `lock`, and a log file may be rotated by time.
//
// Environment, read at first use:
//   XAL_LOG_LEVEL   the threshold: 1 to 7, or alert, error, warning, notice,
//                   info, debug (default 5, notice)
//   XAL_LOG_FILE    a log file path (appended to, created when missing; at
//                   most 129 characters), or "stderr"
//   XAL_LOG_ROTATE  the rotation period of a log file: seconds, or minute,
//                   hour, day or week with an optional count before it
//                   ("6 hour", "2days"); periods turn at local-time
//                   boundaries counted from 1 January 1970
//   XAL_LOG_KEEP    how many rotated files to keep (default 0, all)
// With no log file named, lines go to standard error when it is a terminal
// and to the event log otherwise. A value that cannot be used is reported
// in one line on standard error naming the variable, and the default takes
// its place; a log file that cannot be opened leaves the default
// destination.
#pragma once
#include "runtime/vtxpr_sync.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr std::size_t XAL_SETTINGS_TEXT_CHARS = 130; // 260 bytes of UTF-16
constexpr std::size_t XAL_SETTINGS_UNIT_CHARS = 6;   // 12 bytes, not terminated when full

// The layout is shared and fixed up to `stream`: 32-bit little-endian
// integers, UTF-16 text fields. On 64-bit Linux the stream pointer is 8
// bytes wide and aligned to 8, and the lock is the size of the runtime's
// recursive mutex, so from `stream` on the offsets differ from the 32-bit
// original (stream at 1088 instead of 1084, the lock after it).
struct XAL_SHARED_LOG_SETTINGS {
    std::int32_t initialized;   // 1 once `lock` has been initialised
    std::int32_t level;         // messages up to this level are written
    std::int32_t zone_at_start; // seconds west of UTC in force at period_start
    std::int32_t period_start;  // start of the current period, seconds since 1970
    char16_t log_path[XAL_SETTINGS_TEXT_CHARS];
    char16_t rotate_unit[XAL_SETTINGS_UNIT_CHARS];   // "second", "minute", "hour", "day", "week"
    std::int32_t rotate_count;                       // how many units make one period
    std::int32_t keep;                               // rotated files to keep; 0 keeps all
    std::int32_t rotate_failures;                    // failed moves since the last report
    std::int32_t rotate_period;                      // seconds; 0 means no rotation
    char16_t log_directory[XAL_SETTINGS_TEXT_CHARS]; // empty: the current directory
    char16_t log_file_name[XAL_SETTINGS_TEXT_CHARS]; // extension included
    char16_t log_extension[XAL_SETTINGS_TEXT_CHARS]; // dot included; empty when none
    std::FILE* stream; // null: the event log; stderr; or the open log file
    VTXPR_LOCK lock;   // serialises rotation, clean-up and writes
};

static_assert(offsetof(XAL_SHARED_LOG_SETTINGS, level) == 4);
static_assert(offsetof(XAL_SHARED_LOG_SETTINGS, log_path) == 16);
static_assert(offsetof(XAL_SHARED_LOG_SETTINGS, rotate_unit) == 276);
static_assert(offsetof(XAL_SHARED_LOG_SETTINGS, rotate_count) == 288);
static_assert(offsetof(XAL_SHARED_LOG_SETTINGS, rotate_period) == 300);
static_assert(offsetof(XAL_SHARED_LOG_SETTINGS, log_directory) == 304);
static_assert(offsetof(XAL_SHARED_LOG_SETTINGS, log_file_name) == 564);
static_assert(offsetof(XAL_SHARED_LOG_SETTINGS, log_extension) == 824);
static_assert(sizeof(void*) != 8 || offsetof(XAL_SHARED_LOG_SETTINGS, stream) == 1088);

extern XAL_SHARED_LOG_SETTINGS xal_shared_log_settings;

// Fills the record from the environment the first time it is called; later
// calls return at once. Safe from any thread.
void xal_shared_log_settings_load();

// Reads the environment again and refills the record, closing a log file
// that the record had open. The lock stays as it was. For tests and tools:
// no other thread may log meanwhile.
void xal_shared_log_settings_reload();
