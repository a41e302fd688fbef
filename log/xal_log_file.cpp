// The file writer, rotation of the log file by time, and removal of old
// rotated files. Everything that touches the stream runs under the record's
// lock; lines are built before it is taken.
#include "log/xal_log_catalogue.h"
#include "log/xal_log_internal.h"
#include "log/xal_log_limits.h"
#include "log/xal_log.h"
#include "runtime/vtx_str.h"
#include "runtime/vtxos_file.h"
#include "runtime/vtxpr_dir.h"
#include "runtime/vtxpr_fileio.h"
#include "runtime/vtxpr_strings.h"
#include "runtime/vtxpr_time.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

namespace {

// The zone offset (seconds west of UTC, daylight saving included) as last
// computed; only touched under the record's lock. It is refreshed at each
// rotation, so the first boundary after a daylight-saving change still
// falls by the old offset and the ones after it by the new.
bool g_zone_cached = false;
std::int32_t g_zone = 0;

constexpr char kSwitchNotice[] = "*** could not write to log file, switching to stderr\n";

std::FILE* LoadStream(XAL_SHARED_LOG_SETTINGS* settings) {
    return std::atomic_ref<std::FILE*>(settings->stream).load(std::memory_order_acquire);
}

void StoreStream(XAL_SHARED_LOG_SETTINGS* settings, std::FILE* stream) {
    std::atomic_ref<std::FILE*>(settings->stream).store(stream, std::memory_order_release);
}

// `directory` joined with `name` by the separator (none after a directory
// that already ends in one), or `name` alone for an empty directory.
void JoinPath(char16_t* out, std::size_t count, const char16_t* directory, const char16_t* name) {
    const std::size_t length = VTX_WStrLen(directory);
    if (length == 0) {
        VTXPR_Snprintf(out, count, u"%s", name);
    } else if (directory[length - 1] == VTXPR_PathSeparator()) {
        VTXPR_Snprintf(out, count, u"%s%s", directory, name);
    } else {
        VTXPR_Snprintf(out, count, u"%s%c%s", directory, static_cast<int>(VTXPR_PathSeparator()),
                       name);
    }
}

bool StartsWithIgnoringCase(const std::u16string& text, const char16_t* prefix) {
    for (std::size_t i = 0; prefix[i] != u'\0'; ++i) {
        if (i >= text.size() || VTX_WToLower(text[i]) != VTX_WToLower(prefix[i])) {
            return false;
        }
    }
    return true;
}

// Whether `name` is a rotated copy of the log file: the configured file
// name, twelve characters of stamp, and the configured extension.
bool IsRotatedName(const XAL_SHARED_LOG_SETTINGS* settings, const std::u16string& name) {
    const std::size_t dot = name.rfind(u'.');
    const std::u16string stem = dot == std::u16string::npos ? name : name.substr(0, dot);
    const std::u16string extension =
        dot == std::u16string::npos ? std::u16string() : name.substr(dot);
    return StartsWithIgnoringCase(stem, settings->log_file_name) &&
           VTX_WStrICmp(extension.c_str(), settings->log_extension) == 0 &&
           stem.size() == VTX_WStrLen(settings->log_file_name) + XAL_LOG_STAMP_DIGITS;
}

// The report of a failed move or clean-up: an error event whose number in
// brackets and whose category come from the error number itself.
void ReportFailure(int message_id, int error) {
    char16_t text[XAL_LOG_REPORT_CHARS];
    VTXPR_Snprintf(text, XAL_LOG_REPORT_CHARS, xal_log_catalogue_text(message_id), error);
    xal_log_event(XAL_LOG_ERR, static_cast<std::uint32_t>(error), u"%s", text);
}

} // namespace

void xal_log_reset_zone_cache() {
    g_zone_cached = false;
}

int xal_log_rotate(XAL_SHARED_LOG_SETTINGS* settings, bool* moved) {
    *moved = false;
    const std::int32_t period = settings->rotate_period;
    if (period <= 0) {
        return 0;
    }
    const std::int64_t now = VTXPR_Time();
    if (!g_zone_cached) {
        g_zone = VTXPR_ZoneOffsetWest(now);
        g_zone_cached = true;
    }
    // Slots of local time: local midnight starts a slot of one day.
    const std::int64_t current_slot = (now - g_zone) / period;
    const std::int64_t last_slot =
        (static_cast<std::int64_t>(settings->period_start) - settings->zone_at_start) / period;
    if (current_slot <= last_slot) {
        return 0;
    }

    // The name carries the local start of the period that has ended.
    VTXPR_TM start{};
    VTXPR_LocalTime(last_slot * period + settings->zone_at_start, &start);
    char16_t stamp[XAL_LOG_STAMP_DIGITS + 8];
    VTXPR_Snprintf(stamp, sizeof stamp / sizeof stamp[0], u"%u%.02u%.02u%.02u%.02u",
                   static_cast<unsigned>(start.tm_year), static_cast<unsigned>(start.tm_mon + 1),
                   static_cast<unsigned>(start.tm_mday), static_cast<unsigned>(start.tm_hour),
                   static_cast<unsigned>(start.tm_min));
    // The stamp goes after the file name and before its extension: the
    // directory, the separator and the file name are the path itself.
    char16_t rotated[XAL_LOG_PATH_CHARS];
    if (settings->log_extension[0] == u'\0') {
        VTXPR_Snprintf(rotated, XAL_LOG_PATH_CHARS, u"%s%s", settings->log_path, stamp);
    } else {
        VTXPR_Snprintf(rotated, XAL_LOG_PATH_CHARS, u"%s%s%s", settings->log_path, stamp,
                       settings->log_extension);
    }

    int result = 0;
    // A file of that name already there is never overwritten: writing goes
    // on into the current file.
    if (VTXPR_CheckFile(rotated, VTXPR_FILE_EXISTS) != 0) {
        std::FILE* stream = LoadStream(settings);
        StoreStream(settings, nullptr);
        // Standard error (after a write failure) is never closed; reopening
        // brings the output back to the log file.
        if (stream != nullptr && stream != stderr) {
            std::fclose(stream);
        }
        result = VTXPR_Rename(settings->log_path, rotated);
        if (result == 0) {
            *moved = true;
        }
        StoreStream(settings, VTXPR_FOpen(settings->log_path, "a+"));
    }
    settings->period_start = static_cast<std::int32_t>(now);
    g_zone = VTXPR_ZoneOffsetWest(now);
    settings->zone_at_start = g_zone;
    return result;
}

int xal_log_cleanup(const XAL_SHARED_LOG_SETTINGS* settings, const char16_t* directory) {
    const std::size_t keep = static_cast<std::size_t>(std::max(settings->keep, 0));
    std::vector<std::u16string> names;
    try {
        // Room for the files kept and one more; a very large number to keep
        // starts smaller and grows like any other list.
        names.reserve(std::min<std::size_t>(keep + 1, 4096));
    } catch (const std::bad_alloc&) {
        return XAL_LOG_ERR_NO_MEMORY;
    }
    char16_t current[XAL_LOG_PATH_CHARS];
    if (directory == nullptr) {
        if (VTXPR_GetCurrentDirectory(current, XAL_LOG_PATH_CHARS) != 0) {
            return XAL_LOG_ERR_NO_CURRENT_DIRECTORY;
        }
        directory = current;
    }
    VTXPR_DIR* listing = VTXPR_OpenDir(directory);
    if (listing == nullptr) {
        return XAL_LOG_ERR_DIRECTORY;
    }
    int result = 0;
    VTXPR_DIRENT* entry = nullptr;
    for (;;) {
        if (VTXPR_ReadDir(listing, &entry, VTXPR_DIR_SKIP_DOT | VTXPR_DIR_SKIP_DOTDOT) != 0) {
            result = XAL_LOG_ERR_DIRECTORY;
            break;
        }
        if (entry == nullptr) {
            break;
        }
        try {
            const std::u16string name = VTXPR_EntryName(entry);
            if (IsRotatedName(settings, name)) {
                if (names.size() == names.capacity()) {
                    names.reserve(names.capacity() + XAL_LOG_KEEP_GROWTH);
                }
                names.push_back(name);
            }
        } catch (const std::bad_alloc&) {
            result = XAL_LOG_ERR_NO_MEMORY;
            break;
        }
    }
    VTXPR_FreeEntry(entry);

    // The stamps sort by time, so the first names are the oldest.
    if (result == 0 && names.size() > keep) {
        std::sort(names.begin(), names.end(), [](const std::u16string& a, const std::u16string& b) {
            return VTX_WStrCmp(a.c_str(), b.c_str()) < 0;
        });
        for (std::size_t i = 0; i < names.size() - keep; ++i) {
            char16_t path[XAL_LOG_PATH_CHARS];
            JoinPath(path, XAL_LOG_PATH_CHARS, directory, names[i].c_str());
            VTXPR_Unlink(path); // a file that will not go stays; nothing to report
        }
    }
    names.clear();
    VTXPR_CloseDir(listing);
    return result;
}

void xal_log_write_file(const char16_t* date_stamp, const char16_t* level_name,
                        std::uint32_t process_id, std::uint32_t thread_id, int id,
                        const char16_t* format, va_list arguments) {
    char16_t line[XAL_LOG_LINE_CHARS + 1];
    xal_log_build_line(line, date_stamp, level_name, process_id, thread_id,
                       static_cast<std::uint32_t>(id), format, arguments);
    // Files get UTF-8: at most three bytes a UTF-16 unit.
    char bytes[(XAL_LOG_LINE_CHARS + 1) * 3];
    const std::size_t needed = VTX_Utf16ToUtf8(line, bytes, sizeof bytes);
    const std::size_t length = std::min(needed, sizeof bytes) - 1;

    XAL_SHARED_LOG_SETTINGS* settings = &xal_shared_log_settings;
    VTXPR_Lock(&settings->lock);
    if (LoadStream(settings) == nullptr) {
        // Cleared since the caller looked.
        std::fwrite(bytes, 1, length, stderr);
        std::fflush(stderr);
        VTXPR_Unlock(&settings->lock);
        return;
    }
    if (settings->rotate_period > 0) {
        bool moved = false;
        const int error = xal_log_rotate(settings, &moved);
        if (error != 0) {
            ++settings->rotate_failures;
            if (LoadStream(settings) == nullptr ||
                settings->rotate_failures >= XAL_LOG_RENAME_REPORT_EVERY) {
                ReportFailure(XAL_MSG_RENAME_FAILED, error);
                settings->rotate_failures = 0;
            }
        }
        if (settings->keep > 0 && moved) {
            const int cleanup_error = xal_log_cleanup(
                settings, settings->log_directory[0] != u'\0' ? settings->log_directory : nullptr);
            if (cleanup_error != 0) {
                ReportFailure(XAL_MSG_DELETE_FAILED, cleanup_error);
            }
        }
    }
    std::FILE* stream = LoadStream(settings);
    if (stream == nullptr) {
        // The log file could not be opened again after a move: this line
        // is lost, the following ones go to the event log.
        VTXPR_Unlock(&settings->lock);
        return;
    }
    std::fwrite(bytes, 1, length, stream);
    std::fflush(stream);
    if (std::ferror(stream) && stream != stderr) {
        // The failed file stays open and is left alone.
        StoreStream(settings, stderr);
        std::fputs(kSwitchNotice, stderr);
        std::fwrite(bytes, 1, length, stderr);
        std::fflush(stderr);
    }
    VTXPR_Unlock(&settings->lock);
}
