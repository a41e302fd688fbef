// Sizes and limits of the logging subsystem.
#pragma once
#include <cstddef>

// One log line, prefix included, in wide characters. A longer message is
// cut so that the line with its final line feed fits.
constexpr std::size_t XAL_LOG_LINE_CHARS = 4098;
// The limit within which the event-log prefix is formatted.
constexpr std::size_t XAL_LOG_PREFIX_LIMIT = 4096;
// A log file path, a rotated file name, a report of a rotation or clean-up
// failure: wide characters, terminator included.
constexpr std::size_t XAL_LOG_PATH_CHARS = 260;
constexpr std::size_t XAL_LOG_REPORT_CHARS = 260;
// The date stamp of a file line ("4 Dec 2026 07:05:09") and the stamp of a
// rotated file name (twelve digits).
constexpr std::size_t XAL_LOG_DATE_CHARS = 32;
constexpr std::size_t XAL_LOG_STAMP_DIGITS = 12;

// The catalogue: category * 1000 + index, categories 0 to 43; the last
// category's row ends at index 34.
constexpr int XAL_LOG_CATEGORY_SLOTS = 1000;
constexpr int XAL_LOG_LAST_CATEGORY = 43;
constexpr int XAL_LOG_CATALOGUE_SIZE = 43035;

// Messages of the logging subsystem itself.
constexpr int XAL_MSG_INTERNAL_ERROR = 1003; // an id without text was logged
constexpr int XAL_MSG_RENAME_FAILED = 2066;  // moving the log file failed
constexpr int XAL_MSG_DELETE_FAILED = 2067;  // removing old log files failed

// Failed moves of the log file counted before one is reported.
constexpr int XAL_LOG_RENAME_REPORT_EVERY = 4;
// The list of rotated names grows by this many entries when full.
constexpr std::size_t XAL_LOG_KEEP_GROWTH = 10;

// Results of the clean-up of old log files.
constexpr int XAL_LOG_ERR_NO_MEMORY = 10055;
constexpr int XAL_LOG_ERR_DIRECTORY = 10024;
constexpr int XAL_LOG_ERR_NO_CURRENT_DIRECTORY = 1003;
