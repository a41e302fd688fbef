// sortwell-check-config: reads the agent's settings from the hive exactly as
// the agent does, and says in one line each, with the hive's path, what the
// agent will make of them:
//
//   sortwell-check-config      (the hive is $SORTWELL_REGISTRY, as for the agent)
//
// every setting's effective value and where it came from; values under the
// key that the agent never reads (a misspelt name) and values of a type the
// agent does not expect; a marker that would file every message as spam, a
// spam folder name that is empty once trimmed, a maintenance window that
// will be replaced; a hive that is missing, unreadable or cannot be parsed.
// Exit status: 0 when the agent would start with these settings, 1 when it
// would not (the last line says why), 2 on bad usage. It writes nothing to
// the log or the event log: its lines are for the administrator, and the
// service runs it before every start so that they reach the journal.
#include "agent/agent_settings.h"
#include "platform/win32/registry.h"
#include "runtime/vtx_str.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage = "Usage: sortwell-check-config [--help | --version]\n";
constexpr const char* kKeyText = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell";

// Every line names the hive first, as a compiler names the file.
std::string g_prefix;

void Say(const std::string& text) {
    std::printf("%s%s\n", g_prefix.c_str(), text.c_str());
}

std::string Name(unsigned index) {
    return "\"" + VTX_ToUtf8(AGENT_SETTING_NAMES[index]) + "\"";
}

// Text as the administrator would write it in the hive, with what cannot be
// seen made visible.
std::string Quoted(const char16_t* text) {
    std::string out = "\"";
    for (const char c : VTX_ToUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", byte);
            out += code;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

bool IsBlank(const char16_t* text) {
    for (; *text != u'\0'; ++text) {
        if (!VTX_IsWSpace(*text)) {
            return false;
        }
    }
    return true;
}

bool IsText(unsigned index) {
    return index <= AGENT_SETTING_SPAM_SUBSTRING;
}

std::string TypeName(DWORD type) {
    switch (type) {
    case REG_SZ:
        return "text";
    case REG_DWORD:
        return "a dword";
    case REG_BINARY:
        return "binary data (hex:)";
    default:
        return "data of type hex(" + std::to_string(type) + ")";
    }
}

// Lower-case letters and digits only: "Interval (Seconds)" -> "intervalseconds".
std::string Letters(const std::u16string& name) {
    std::string out;
    for (const char c : VTX_ToUtf8(name)) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            out += c;
        } else if (c >= 'A' && c <= 'Z') {
            out += static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The setting an unknown name most likely meant, or AGENT_SETTING_COUNT: one
// that differs by a letter or two, shares a long beginning, or holds it.
unsigned Meant(const std::u16string& name) {
    const std::string wanted = Letters(name);
    unsigned best = AGENT_SETTING_COUNT;
    std::size_t best_distance = 0;
    for (unsigned i = 0; i < AGENT_SETTING_COUNT; ++i) {
        const std::string known = Letters(AGENT_SETTING_NAMES[i]);
        const std::size_t distance = EditDistance(wanted, known);
        std::size_t common = 0;
        while (common < wanted.size() && common < known.size() && wanted[common] == known[common]) {
            ++common;
        }
        const bool close = distance <= 2 || common >= 5 ||
                           (wanted.size() >= 5 && known.find(wanted) != std::string::npos);
        if (close && (best == AGENT_SETTING_COUNT || distance < best_distance)) {
            best = i;
            best_distance = distance;
        }
    }
    return best;
}

// One value of the key as the hive holds it.
struct HiveValue {
    std::u16string name;
    DWORD type = 0;
    DWORD size = 0;
};

std::vector<HiveValue> KeyValues(HKEY key) {
    std::vector<HiveValue> values;
    for (DWORD index = 0;; ++index) {
        char16_t name[16384];
        DWORD name_chars = sizeof name / sizeof name[0];
        HiveValue value;
        if (RegEnumValueW(key, index, name, &name_chars, nullptr, &value.type, nullptr,
                          &value.size) != static_cast<LONG>(ERROR_SUCCESS)) {
            return values;
        }
        value.name.assign(name, name_chars);
        values.push_back(value);
    }
}

// The effective value of setting `index`, and where it came from.
std::string SettingLine(unsigned index, const agent_settings& s, const agent_settings_trace& t) {
    const std::uint8_t origin = t.origin[index];
    const std::uint32_t read = t.number[index];
    std::string value;
    std::string from = origin == AGENT_SETTING_FROM_HIVE ? "from the hive" : "default";
    switch (index) {
    case AGENT_SETTING_ALIAS:
        value = Quoted(s.alias);
        break;
    case AGENT_SETTING_SERVER:
        value = Quoted(s.server);
        if (origin != AGENT_SETTING_FROM_HIVE) {
            from = "default: this machine's name";
        }
        break;
    case AGENT_SETTING_SPAM_FOLDER:
        value = Quoted(s.spam_folder);
        break;
    case AGENT_SETTING_SPAM_SUBSTRING:
        value = Quoted(s.spam_substring);
        break;
    case AGENT_SETTING_INTERVAL:
        value = std::to_string(s.interval) + " seconds";
        break;
    case AGENT_SETTING_THREAD_COUNT:
        value = std::to_string(s.thread_count);
        break;
    case AGENT_SETTING_EXPUNGE_REPORT:
        value = s.expunge_report == 0 ? "0, no report" : std::to_string(s.expunge_report);
        break;
    case AGENT_SETTING_SPAM_RETENTION:
        value = std::to_string(s.spam_retention) + " days";
        break;
    case AGENT_SETTING_MAINTENANCE_ONLY:
        value = s.maintenance_only == 1 ? "1, maintenance only: rules are left alone" : "0, off";
        if (origin == AGENT_SETTING_FROM_HIVE && read > 1) {
            from += ", which holds " + std::to_string(read) + ": only 1 turns it on";
        }
        break;
    case AGENT_SETTING_MAINTENANCE_BEGIN:
        value = std::to_string(s.maintenance_begin) + ":00";
        break;
    case AGENT_SETTING_MAINTENANCE_END:
        value = std::to_string(s.maintenance_end) + ":00";
        break;
    default:
        break;
    }
    const bool window =
        index == AGENT_SETTING_MAINTENANCE_BEGIN || index == AGENT_SETTING_MAINTENANCE_END;
    if (origin == AGENT_SETTING_DEFAULTED && t.missing == AGENT_SETTING_NAMES[index]) {
        value = "-";
        from = "missing, and it is required";
    } else if (origin == AGENT_SETTING_NOT_READ && t.missing != nullptr) {
        value = "-";
        from = "not read: the agent stops at the missing \"" + VTX_ToUtf8(t.missing) + "\"";
    } else if (origin == AGENT_SETTING_NOT_READ) {
        from = "default, not read: the begin hour already makes the window invalid";
    } else if (window && t.window_invalid) {
        from = "default: the window in the hive is invalid";
    } else if (origin == AGENT_SETTING_FROM_HIVE && !IsText(index) &&
               index != AGENT_SETTING_MAINTENANCE_ONLY) {
        const std::uint32_t effective = index == AGENT_SETTING_INTERVAL         ? s.interval
                                        : index == AGENT_SETTING_THREAD_COUNT   ? s.thread_count
                                        : index == AGENT_SETTING_SPAM_RETENTION ? s.spam_retention
                                                                                : read;
        if (effective != read) {
            from += ", which holds " + std::to_string(read) + ", brought into range";
        }
    }
    return Name(index) + " = " + value + " (" + from + ")";
}

// What is wrong with value `index` as the hive holds it, or "".
std::string TypeProblem(unsigned index, const HiveValue& value, const agent_settings_trace& t) {
    const std::size_t field_bytes =
        index == AGENT_SETTING_ALIAS ? VTXPR_NAME_CHARS * 2 : VTXPR_MAX_PATH * 2;
    if (IsText(index)) {
        const bool too_long =
            value.size > field_bytes ||
            (t.origin[index] == AGENT_SETTING_DEFAULTED && value.size == field_bytes);
        if (too_long) {
            return Name(index) + " is too long: the agent reads at most " +
                   std::to_string(field_bytes / 2 - 1) + " characters, and takes it as missing";
        }
        if (value.type != REG_SZ) {
            return Name(index) + " is " + TypeName(value.type) +
                   ", but the agent reads text (\"...\"): it takes the " +
                   std::to_string(value.size) + " bytes as they are, as UTF-16 text";
        }
        return "";
    }
    if (value.type == REG_DWORD && value.size == 4) {
        return "";
    }
    const std::string what = value.type == REG_DWORD
                                 ? "a dword of " + std::to_string(value.size) + " bytes"
                                 : TypeName(value.type);
    const std::string line =
        Name(index) + " is " + what + ", but the agent reads a number (dword:): ";
    if (value.size > 4) {
        return line + "its " + std::to_string(value.size) +
               " bytes do not fit four, so it counts as missing";
    }
    return line + "it takes its " + std::to_string(value.size) + " bytes as the number " +
           std::to_string(t.number[index]);
}

int Check() {
    std::string path;
    std::string problem;
    const LONG status = RegistryHiveStatus(&path, &problem);
    g_prefix = path + ": ";
    if (status == static_cast<LONG>(ERROR_NOT_ENOUGH_MEMORY)) {
        throw std::bad_alloc();
    }
    if (status != static_cast<LONG>(ERROR_SUCCESS)) {
        Say("the hive " + problem + "; the agent finds no settings in it");
    }

    HKEY key = nullptr;
    std::vector<HiveValue> values;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AGENT_SETTINGS_KEY, 0, KEY_READ, &key) ==
        static_cast<LONG>(ERROR_SUCCESS)) {
        values = KeyValues(key);
        RegCloseKey(key);
    } else if (status == static_cast<LONG>(ERROR_SUCCESS)) {
        Say(std::string("the hive has no key [") + kKeyText + "]");
    }

    agent_settings settings{};
    agent_settings_trace trace;
    const std::int32_t result = agent_settings_load(&settings, &trace);
    for (unsigned i = 0; i < AGENT_SETTING_COUNT; ++i) {
        Say(SettingLine(i, settings, trace));
    }

    for (const HiveValue& value : values) {
        unsigned index = 0;
        while (index < AGENT_SETTING_COUNT &&
               VTX_WStrICmp(value.name.c_str(), AGENT_SETTING_NAMES[index]) != 0) {
            ++index;
        }
        if (index == AGENT_SETTING_COUNT) {
            std::string line = value.name.empty() ? std::string("the key's default value (@)")
                                                  : "\"" + VTX_ToUtf8(value.name) + "\"";
            line += " is not a value the agent reads, so it has no effect";
            const unsigned meant = value.name.empty() ? AGENT_SETTING_COUNT : Meant(value.name);
            if (meant != AGENT_SETTING_COUNT) {
                line += " (did you mean " + Name(meant) + "?)";
            }
            Say(line);
            continue;
        }
        const std::string type_problem = TypeProblem(index, value, trace);
        if (!type_problem.empty()) {
            Say(type_problem);
        }
    }

    if (result == 0) {
        if (settings.spam_substring[0] == u'\0') {
            Say("WARNING: \"Spam SubString\" is empty: every message's headers contain the empty "
                "text, so the rule would file EVERY incoming message as spam");
        } else if (IsBlank(settings.spam_substring)) {
            Say("WARNING: \"Spam SubString\" is only white space: every message's headers contain "
                "it, so the rule would file EVERY incoming message as spam");
        }
        if (settings.spam_folder[0] == u'\0') {
            Say("\"Spam Folder\" is empty once the blanks around it are removed: no mailbox can "
                "get a spam folder or a rule (warning 28011 for each)");
        }
        if (trace.window_invalid) {
            const std::uint32_t begin = trace.number[AGENT_SETTING_MAINTENANCE_BEGIN];
            const std::uint32_t end =
                trace.origin[AGENT_SETTING_MAINTENANCE_END] == AGENT_SETTING_FROM_HIVE
                    ? trace.number[AGENT_SETTING_MAINTENANCE_END]
                    : AGENT_DEFAULT_END_HOUR;
            std::string why;
            if (begin > 23) {
                why = "\"Maintenance Begin (Hour)\" is " + std::to_string(begin) + ", above 23";
            } else if (end > 23) {
                why = "\"Maintenance End (Hour)\" is " + std::to_string(end) + ", above 23";
            } else {
                why = "begin and end are both " + std::to_string(begin);
            }
            Say("the maintenance window is invalid: " + why +
                "; the agent uses the window 1:00 to 2:00 instead (warning 28017)");
        }
        Say("the agent would start with these settings");
        return 0;
    }
    const bool present = std::any_of(values.begin(), values.end(), [&](const HiveValue& value) {
        return VTX_WStrICmp(value.name.c_str(), trace.missing) == 0;
    });
    Say("the agent would not start: \"" + VTX_ToUtf8(trace.missing) + "\" is required and " +
        (present ? "cannot be read" : "is missing") + " (error 28001)");
    return 1;
}

int Run(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        std::fputs("Reads the settings from the hive $SORTWELL_REGISTRY (default\n"
                   "/etc/sortwell/registry.reg) as the agent ovo does, and says what the agent\n"
                   "will make of them. Exit status: 0 the agent would start, 1 it would not,\n"
                   "2 bad usage.\n",
                   stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("sortwell-check-config %s\n", SORTWELL_VERSION);
        return 0;
    }
    if (argc != 1) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return Check();
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("sortwell-check-config: out of memory\n", stderr);
        return 1;
    }
}
