// The logging entry: every diagnostic is logged by catalogue number.
#pragma once

// Levels, in the syslog numbering: a smaller number is more severe.
constexpr int XAL_LOG_ALERT = 1;
constexpr int XAL_LOG_ERR = 3;
constexpr int XAL_LOG_WARNING = 4;
constexpr int XAL_LOG_NOTICE = 5;
constexpr int XAL_LOG_INFO = 6;
constexpr int XAL_LOG_DEBUG = 7;

// Logs catalogue message `id` (category * 1000 + index) at `level` with the
// arguments its text expects (wide strings as const char16_t*, numbers as
// 32-bit int or unsigned, never long). Any thread, any time.
void xal_log_message(int level, int id, ...);
