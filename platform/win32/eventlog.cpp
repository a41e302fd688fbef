#include "platform/win32/eventlog.h"

#include "platform/win32/machine_name.h"
#include "resources/eventlog_messages.h"
#include "runtime/vtx_str.h"
#include "runtime/vtxpr_time.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <string_view>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint32_t kSourceMagic = 0x45564c47u; // marks a live EventSource
constexpr const char* kDefaultEventFile = "/var/log/sortwell/events.jsonl";

enum class Sink { Syslog, File };

// One registered source. Sources are never freed: a handle that a caller
// still holds after closing stays safe to pass and is refused by its flag.
struct EventSource {
    std::uint32_t magic = kSourceMagic;
    std::mutex lock; // guards open and fd
    bool open = true;
    Sink sink = Sink::Syslog;
    int fd = -1;
    std::u16string source;
    std::string ident; // syslog keeps a pointer to it for good
};

// Every source ever registered, reachable for the life of the process.
std::mutex g_sources_lock;
std::vector<EventSource*>* g_sources = nullptr;

// syslog has one ident for the process: switching sources switches it.
std::mutex g_syslog_lock;
const EventSource* g_syslog_source = nullptr;

EventSource* AsSource(HANDLE handle) {
    auto* source = static_cast<EventSource*>(handle);
    if (source == nullptr || source->magic != kSourceMagic) {
        return nullptr;
    }
    return source;
}

std::string Utf8(const char16_t* text) {
    return text == nullptr ? std::string() : VTX_ToUtf8(text);
}

void AppendHex(std::string& out, const void* data, DWORD size) {
    static const char kDigits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (DWORD i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
}

// JSON string escaping of UTF-8 text.
void AppendJsonString(std::string& out, std::string_view text) {
    static const char kDigits[] = "0123456789abcdef";
    out += '"';
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                out += "\\u00";
                out += kDigits[c >> 4];
                out += kDigits[c & 15];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

// Escaping for one syslog line.
std::string EscapeControls(std::string_view text) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 16);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string CategoryText(WORD category) {
    std::string text = std::to_string(category);
    if (const char16_t* name = EventCategoryName(category)) {
        text += " (" + VTX_ToUtf8(name) + ")";
    }
    return text;
}

std::string EventIdText(DWORD event_id) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(event_id));
    return text;
}

int SyslogPriority(WORD type) {
    switch (type) {
    case 1: // error
        return LOG_ERR;
    case 2: // warning
        return LOG_WARNING;
    case 0: // success
        return LOG_NOTICE;
    default: // information and the audit types
        return LOG_INFO;
    }
}

// Opens the event file named by the environment; -1 after reporting why not.
int OpenEventFile() {
    const char* named = std::getenv("SORTWELL_EVENTLOG_FILE");
    const char* path = (named != nullptr && *named != '\0') ? named : kDefaultEventFile;
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        const int error = errno;
        std::fprintf(stderr,
                     "sortwell: cannot open the event file %s (SORTWELL_EVENTLOG_FILE): %s; "
                     "events go to syslog instead\n",
                     path, std::strerror(error));
    }
    return fd;
}

Sink ChosenSink() {
    const char* mode = std::getenv("SORTWELL_EVENTLOG");
    if (mode == nullptr || *mode == '\0' || ::strcasecmp(mode, "SYSLOG") == 0) {
        return Sink::Syslog;
    }
    if (::strcasecmp(mode, "FILE") == 0) {
        return Sink::File;
    }
    std::fprintf(stderr,
                 "sortwell: SORTWELL_EVENTLOG=%s is neither FILE nor SYSLOG; events go to "
                 "syslog\n",
                 mode);
    return Sink::Syslog;
}

bool WriteAll(int fd, const std::string& line) {
    // One write: the file is opened for appending, so the whole event lands
    // at the end in one piece. A short write (a full disk) is an error.
    ssize_t written;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    return written == static_cast<ssize_t>(line.size());
}

} // namespace

std::u16string EventLogRenderText(DWORD event_id, WORD string_count, const LPCWSTR* strings) {
    auto insertion = [&](unsigned number) -> std::u16string_view {
        if (number == 0 || number > string_count || strings == nullptr ||
            strings[number - 1] == nullptr) {
            return {};
        }
        return strings[number - 1];
    };
    std::u16string out;
    const char16_t* text = EventMessageText(event_id);
    if (text == nullptr) {
        for (WORD i = 0; i < string_count; ++i) {
            if (i > 0) {
                out += u' ';
            }
            out += insertion(i + 1u);
        }
        return out;
    }
    for (const char16_t* p = text; *p != u'\0';) {
        if (p[0] == u'%' && p[1] == u'%') {
            out += u'%';
            p += 2;
        } else if (p[0] == u'%' && p[1] >= u'1' && p[1] <= u'9') {
            const char16_t* q = p + 1;
            unsigned number = 0;
            while (*q >= u'0' && *q <= u'9' && number < 100) {
                number = number * 10 + static_cast<unsigned>(*q - u'0');
                ++q;
            }
            if (*q == u'!') {
                // A printf form such as !s! or !d!: the insertion is text
                // already, so the form only needs skipping.
                const char16_t* end = q + 1;
                while (*end != u'\0' && *end != u'!') {
                    ++end;
                }
                if (*end == u'!') {
                    q = end + 1;
                }
            }
            if (number <= string_count) {
                out += insertion(number);
            } else {
                out.append(p, q); // no such insertion: shown as written
            }
            p = q;
        } else {
            out += *p++;
        }
    }
    while (!out.empty() && (out.back() == u'\n' || out.back() == u'\r')) {
        out.pop_back();
        // Only the table's own terminator goes; a line feed inside the
        // quoted insertion stays, since the text after it is "'.".
    }
    return out;
}

std::string EventLogSyslogLine(WORD category, DWORD event_id, WORD string_count,
                               const LPCWSTR* strings, DWORD data_size, const void* data) {
    std::string line =
        "event_id=" + EventIdText(event_id) + " category=" + CategoryText(category) + ": " +
        EscapeControls(VTX_ToUtf8(EventLogRenderText(event_id, string_count, strings)));
    if (data != nullptr && data_size > 0) {
        line += " data=";
        AppendHex(line, data, data_size);
    }
    return line;
}

std::string EventLogJsonLine(std::int64_t time_ns, const char16_t* source, WORD type, WORD category,
                             DWORD event_id, WORD string_count, const LPCWSTR* strings,
                             DWORD data_size, const void* data) {
    std::int64_t seconds = time_ns / 1000000000;
    std::int64_t millis = (time_ns % 1000000000) / 1000000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm utc{};
    ::gmtime_r(&when, &utc);
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));

    std::string line = "{\"time\":\"";
    line += stamp;
    line += "\",\"source\":";
    AppendJsonString(line, Utf8(source));
    line += ",\"type\":" + std::to_string(type);
    line += ",\"category\":" + std::to_string(category);
    line += ",\"event_id\":" + std::to_string(event_id);
    line += ",\"strings\":[";
    for (WORD i = 0; i < string_count; ++i) {
        if (i > 0) {
            line += ',';
        }
        AppendJsonString(line, Utf8(strings != nullptr ? strings[i] : nullptr));
    }
    line += "],\"data\":\"";
    if (data != nullptr) {
        AppendHex(line, data, data_size);
    }
    line += "\",\"message\":";
    AppendJsonString(line, VTX_ToUtf8(EventLogRenderText(event_id, string_count, strings)));
    line += "}\n";
    return line;
}

HANDLE RegisterEventSourceW(LPCWSTR server_name, LPCWSTR source_name) {
    try {
        if (source_name == nullptr || *source_name == u'\0') {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (!Win32IsLocalMachineName(server_name)) {
            SetLastError(ERROR_BAD_NETPATH);
            return nullptr;
        }
        auto* source = new EventSource;
        source->source = source_name;
        source->ident = VTX_ToUtf8(source->source);
        source->sink = ChosenSink();
        if (source->sink == Sink::File) {
            source->fd = OpenEventFile();
            if (source->fd < 0) {
                source->sink = Sink::Syslog;
            }
        }
        std::lock_guard<std::mutex> guard(g_sources_lock);
        if (g_sources == nullptr) {
            g_sources = new std::vector<EventSource*>;
        }
        g_sources->push_back(source);
        return source;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL ReportEventW(HANDLE event_log, WORD type, WORD category, DWORD event_id, PSID /*user_sid*/,
                  WORD string_count, DWORD data_size, LPCWSTR* strings, void* data) {
    EventSource* source = AsSource(event_log);
    if (source == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((string_count > 0 && strings == nullptr) || (data_size > 0 && data == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        // The line is built before any lock is taken.
        Sink sink;
        {
            std::lock_guard<std::mutex> guard(source->lock);
            if (!source->open) {
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            sink = source->sink;
        }
        if (sink == Sink::File) {
            const std::string line =
                EventLogJsonLine(VTXPR_TimeNs(), source->source.c_str(), type, category, event_id,
                                 string_count, strings, data_size, data);
            std::lock_guard<std::mutex> guard(source->lock);
            if (!source->open) {
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            if (!WriteAll(source->fd, line)) {
                SetLastError(ERROR_WRITE_FAULT);
                return FALSE;
            }
            return TRUE;
        }
        const std::string line =
            EventLogSyslogLine(category, event_id, string_count, strings, data_size, data);
        std::lock_guard<std::mutex> guard(g_syslog_lock);
        if (g_syslog_source != source) {
            ::openlog(source->ident.c_str(), LOG_PID, LOG_DAEMON);
            g_syslog_source = source;
        }
        ::syslog(LOG_DAEMON | SyslogPriority(type), "%s", line.c_str());
        return TRUE;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL DeregisterEventSource(HANDLE event_log) {
    EventSource* source = AsSource(event_log);
    if (source == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(source->lock);
    if (!source->open) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    source->open = false;
    if (source->fd >= 0) {
        ::close(source->fd);
        source->fd = -1;
    }
    return TRUE;
}
