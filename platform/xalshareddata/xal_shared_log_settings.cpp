#include "platform/xalshareddata/xal_shared_log_settings.h"

#include "runtime/vtx_str.h"
#include "runtime/vtxpr_fileio.h"
#include "runtime/vtxpr_time.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <string>
#include <string_view>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

XAL_SHARED_LOG_SETTINGS xal_shared_log_settings;

namespace {

constexpr std::int32_t kDefaultLevel = 5;

std::once_flag g_loaded;

void Complain(const std::string& line) {
    std::fprintf(stderr, "sortwell: %s\n", line.c_str());
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// A whole number of 0 to 2^31-1 in decimal digits only.
bool ParseCount(std::string_view text, std::int64_t* value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    std::int64_t number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + (c - '0');
    }
    if (number > 0x7FFFFFFF) {
        return false;
    }
    *value = number;
    return true;
}

const char* Env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : nullptr;
}

std::int32_t ReadLevel() {
    const char* text = Env("XAL_LOG_LEVEL");
    if (text == nullptr) {
        return kDefaultLevel;
    }
    const std::string_view value = TrimBlanks(text);
    std::int64_t number = 0;
    if (ParseCount(value, &number) && number <= 7) {
        return static_cast<std::int32_t>(number);
    }
    static const struct {
        const char* name;
        std::int32_t level;
    } kNames[] = {{"alert", 1}, {"err", 3},    {"error", 3}, {"warning", 4},
                  {"warn", 4},  {"notice", 5}, {"info", 6},  {"debug", 7}};
    for (const auto& entry : kNames) {
        if (value.size() == std::strlen(entry.name) &&
            ::strncasecmp(value.data(), entry.name, value.size()) == 0) {
            return entry.level;
        }
    }
    Complain(std::string("XAL_LOG_LEVEL=") + text +
             " is not a level (0 to 7, or alert, error, warning, notice, info, debug); "
             "the level stays 5 (notice)");
    return kDefaultLevel;
}

// The rotation period in seconds (0 for none), with its unit and count.
std::int32_t ReadRotation(const char16_t** unit, std::int32_t* count) {
    *unit = u"";
    *count = 0;
    const char* text = Env("XAL_LOG_ROTATE");
    if (text == nullptr) {
        return 0;
    }
    std::string_view value = TrimBlanks(text);
    std::size_t digits = 0;
    while (digits < value.size() && value[digits] >= '0' && value[digits] <= '9') {
        ++digits;
    }
    std::int64_t number = 1;
    const bool has_count = digits > 0;
    if (has_count && !ParseCount(value.substr(0, digits), &number)) {
        number = -1;
    }
    const std::string_view word = TrimBlanks(value.substr(digits));
    static const struct {
        const char* name;
        const char16_t* unit;
        std::int64_t seconds;
    } kUnits[] = {
        {"", u"second", 1},        {"s", u"second", 1},        {"second", u"second", 1},
        {"seconds", u"second", 1}, {"minute", u"minute", 60},  {"minutes", u"minute", 60},
        {"hour", u"hour", 3600},   {"hours", u"hour", 3600},   {"hourly", u"hour", 3600},
        {"day", u"day", 86400},    {"days", u"day", 86400},    {"daily", u"day", 86400},
        {"week", u"week", 604800}, {"weeks", u"week", 604800}, {"weekly", u"week", 604800},
    };
    for (const auto& entry : kUnits) {
        if (word.size() != std::strlen(entry.name) ||
            ::strncasecmp(word.data(), entry.name, word.size()) != 0) {
            continue;
        }
        if (word.empty() && !has_count) {
            break;
        }
        if (number < 0 || number * entry.seconds > 0x7FFFFFFF) {
            break;
        }
        if (number == 0) {
            return 0; // "0": no rotation, as asked
        }
        *unit = entry.unit;
        *count = static_cast<std::int32_t>(number);
        return static_cast<std::int32_t>(number * entry.seconds);
    }
    Complain(std::string("XAL_LOG_ROTATE=") + text +
             " is not a period (seconds, or minute, hour, day or week with an optional count "
             "such as \"6 hour\"); the log file is not rotated");
    return 0;
}

std::int32_t ReadKeep() {
    const char* text = Env("XAL_LOG_KEEP");
    if (text == nullptr) {
        return 0;
    }
    std::int64_t number = 0;
    if (ParseCount(TrimBlanks(text), &number)) {
        return static_cast<std::int32_t>(number);
    }
    Complain(std::string("XAL_LOG_KEEP=") + text +
             " is not a number of files (0 or more); all rotated files are kept");
    return 0;
}

void CopyText(char16_t* field, std::u16string_view text) {
    std::memset(field, 0, XAL_SETTINGS_TEXT_CHARS * sizeof(char16_t));
    const std::size_t length = std::min(text.size(), XAL_SETTINGS_TEXT_CHARS - 1);
    std::memcpy(field, text.data(), length * sizeof(char16_t));
}

// Names the log file in the record and opens it; false (after saying why)
// when it cannot be used.
bool OpenLogFile(XAL_SHARED_LOG_SETTINGS* settings, const char* path_utf8) {
    const std::u16string path = VTX_FromUtf8(path_utf8);
    if (path.size() >= XAL_SETTINGS_TEXT_CHARS) {
        Complain(std::string("XAL_LOG_FILE=") + path_utf8 + " is longer than " +
                 std::to_string(XAL_SETTINGS_TEXT_CHARS - 1) + " characters; not used");
        return false;
    }
    const std::size_t slash = path.rfind(u'/');
    const std::u16string file_name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    if (file_name.empty()) {
        Complain(std::string("XAL_LOG_FILE=") + path_utf8 + " names a directory, not a file");
        return false;
    }
    std::u16string directory;
    if (slash == 0) {
        directory = u"/";
    } else if (slash != std::u16string::npos) {
        directory = path.substr(0, slash);
    }
    const std::size_t dot = file_name.rfind(u'.');
    const std::u16string extension =
        dot == std::u16string::npos ? std::u16string() : file_name.substr(dot);

    std::FILE* stream = VTXPR_FOpen(path.c_str(), "a+");
    if (stream == nullptr) {
        const int error = errno;
        Complain(std::string("cannot open the log file XAL_LOG_FILE=") + path_utf8 + ": " +
                 std::strerror(error));
        return false;
    }
    CopyText(settings->log_path, path);
    CopyText(settings->log_directory, directory);
    CopyText(settings->log_file_name, file_name);
    CopyText(settings->log_extension, extension);

    // A log file left from an earlier run belongs to the period of its last
    // line: if that period is over, the first line of this run rotates it.
    std::int64_t start = VTXPR_Time();
    struct stat status {};
    if (::fstat(::fileno(stream), &status) == 0 && status.st_size > 0 &&
        status.st_mtim.tv_sec < start) {
        start = status.st_mtim.tv_sec;
    }
    settings->period_start = static_cast<std::int32_t>(start);
    settings->zone_at_start = VTXPR_ZoneOffsetWest(start);
    std::atomic_ref<std::FILE*>(settings->stream).store(stream);
    return true;
}

void CheckDirectoryReadable(const XAL_SHARED_LOG_SETTINGS& settings) {
    const std::string directory =
        settings.log_directory[0] == u'\0' ? "." : VTX_ToUtf8(settings.log_directory);
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) {
        const int error = errno;
        Complain("cannot read the log directory " + directory + " (XAL_LOG_KEEP): " +
                 std::strerror(error) + "; old log files will not be removed");
        return;
    }
    ::closedir(listing);
}

void Fill(XAL_SHARED_LOG_SETTINGS* settings) {
    // The lock exists before any stream is named.
    if (settings->initialized != 1) {
        VTXPR_InitLock(&settings->lock);
        settings->initialized = 1;
    }
    std::atomic_ref<std::FILE*>(settings->stream).store(nullptr);
    std::memset(settings->log_path, 0, sizeof settings->log_path);
    std::memset(settings->rotate_unit, 0, sizeof settings->rotate_unit);
    std::memset(settings->log_directory, 0, sizeof settings->log_directory);
    std::memset(settings->log_file_name, 0, sizeof settings->log_file_name);
    std::memset(settings->log_extension, 0, sizeof settings->log_extension);
    settings->rotate_failures = 0;
    settings->period_start = VTXPR_Time();
    settings->zone_at_start = VTXPR_ZoneOffsetWest(settings->period_start);

    std::atomic_ref<std::int32_t>(settings->level).store(ReadLevel());
    const char16_t* unit = u"";
    std::int32_t count = 0;
    std::int32_t period = ReadRotation(&unit, &count);
    std::int32_t keep = ReadKeep();

    const char* file = Env("XAL_LOG_FILE");
    bool to_file = false;
    if (file != nullptr && ::strcasecmp(file, "stderr") == 0) {
        std::atomic_ref<std::FILE*>(settings->stream).store(stderr);
    } else if (file != nullptr) {
        to_file = OpenLogFile(settings, file);
    }
    if (file == nullptr || (!to_file && ::strcasecmp(file, "stderr") != 0)) {
        // The default destination: the terminal when there is one, else the
        // event log.
        std::atomic_ref<std::FILE*>(settings->stream)
            .store(::isatty(STDERR_FILENO) ? stderr : nullptr);
    }
    if (!to_file && (period > 0 || keep > 0)) {
        Complain("XAL_LOG_ROTATE and XAL_LOG_KEEP apply only to a log file; not used");
    }
    if (!to_file) {
        period = 0;
        keep = 0;
        unit = u"";
        count = 0;
    }
    VTX_WStrNCpy(settings->rotate_unit, unit, XAL_SETTINGS_UNIT_CHARS);
    settings->rotate_count = count;
    settings->rotate_period = period;
    settings->keep = keep;
    if (to_file && keep > 0) {
        CheckDirectoryReadable(*settings);
    }
}

void FillSafely(XAL_SHARED_LOG_SETTINGS* settings) {
    try {
        Fill(settings);
    } catch (const std::bad_alloc&) {
        // Out of memory this early: keep the threshold and send lines to the
        // event log, the one destination that needs nothing more.
        std::atomic_ref<std::int32_t>(settings->level).store(kDefaultLevel);
        Complain("out of memory while reading the XAL_LOG_ settings; defaults used");
    }
}

} // namespace

void xal_shared_log_settings_load() {
    std::call_once(g_loaded, [] { FillSafely(&xal_shared_log_settings); });
}

void xal_shared_log_settings_reload() {
    bool filled_now = false;
    std::call_once(g_loaded, [&] {
        FillSafely(&xal_shared_log_settings);
        filled_now = true;
    });
    if (filled_now) {
        return; // the first fill has just read the environment
    }
    XAL_SHARED_LOG_SETTINGS* settings = &xal_shared_log_settings;
    VTXPR_Lock(&settings->lock);
    std::FILE* old = std::atomic_ref<std::FILE*>(settings->stream).load();
    if (old != nullptr && old != stderr) {
        std::fclose(old);
    }
    std::atomic_ref<std::FILE*>(settings->stream).store(nullptr);
    FillSafely(settings);
    VTXPR_Unlock(&settings->lock);
}
