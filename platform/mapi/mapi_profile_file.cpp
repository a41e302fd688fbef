// Reading, writing and locking the profile file (see mapi_profile_file.h).
//
// The format is line-based UTF-8 text, readable by an administrator:
//
//   sortwell-profiles 1
//   profile "Sortwell-host1"
//   owner 4242 1234567 0f4a9c3e-5b8d-4d4e-9f1a-2b3c4d5e6f70
//   service 0123456789abcdef0123456789abcdef 1 "MSEMS" "Microsoft Exchange"
//   section 13dbb0c8aa05101a9bb000aa002fc45a
//   prop 6612001e "/o=Org/ou=Site/cn=Servers/cn=HOST1"
//   prop 6608001e null
//
// A string is quoted; inside it \\ and \" stand for themselves, \xHH for a
// byte of an 8-bit string and \uHHHH for a UTF-16 unit of a wide one (used
// for control characters and unpaired surrogates). `null` is a null string
// pointer, `x:HEX` a binary value, `n:HEX` a number. Services and sections
// belong to the profile above them, props to the section above them. The
// optional owner line gives the creating process's pid, its start time in
// clock ticks after boot and the boot id ("-" when unknown); files written
// before owners were recorded have none and read as before.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/mapi/mapi_profile_file.h"

namespace mapi_detail {

namespace {

constexpr const char* kDefaultPath = "/var/lib/sortwell/profiles";
constexpr const char* kHeader = "sortwell-profiles 1";

HRESULT ErrnoResult(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return MAPI_E_NO_ACCESS;
    case ENOSPC:
    case EDQUOT:
        return MAPI_E_NOT_ENOUGH_DISK;
    case ENOMEM:
        return MAPI_E_NOT_ENOUGH_MEMORY;
    default:
        return MAPI_E_DISK_ERROR;
    }
}

// ---- Encoding ------------------------------------------------------------------

const char kHex[] = "0123456789abcdef";

void AppendHex(std::string& out, const BYTE* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(kHex[bytes[i] >> 4]);
        out.push_back(kHex[bytes[i] & 15]);
    }
}

std::string Hex32(ULONG v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(v));
    return buf;
}

void QuoteBytes(std::string& out, std::string_view text) {
    out.push_back('"');
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
}

void QuoteWide(std::string& out, std::u16string_view text) {
    out.push_back('"');
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t u = text[i];
        bool pair = u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                    text[i + 1] <= 0xDFFF;
        if (pair) {
            out += Utf16ToUtf8(text.substr(i, 2));
            ++i;
        } else if ((u >= 0xD800 && u <= 0xDFFF) || u < 0x20 || u == 0x7F) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out.push_back(kHex[(u >> shift) & 15]);
        } else if (u == u'"' || u == u'\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(u));
        } else {
            out += Utf16ToUtf8(text.substr(i, 1));
        }
    }
    out.push_back('"');
}

std::string UidHex(const MAPIUID& uid) {
    std::string s;
    AppendHex(s, uid.ab, sizeof uid.ab);
    return s;
}

std::string Serialise(const ProfileSet& set) {
    std::string out = std::string(kHeader) + "\n";
    for (const StoredProfile& p : set.profiles) {
        out += "profile ";
        QuoteBytes(out, p.name);
        out += "\n";
        if (p.owner.known)
            out += "owner " + std::to_string(p.owner.pid) + " " +
                   std::to_string(p.owner.start_ticks) + " " +
                   (p.owner.boot_id.empty() ? std::string("-") : p.owner.boot_id) + "\n";
        for (const StoredService& s : p.services) {
            out += "service " + UidHex(s.uid) + (s.configured ? " 1 " : " 0 ");
            QuoteBytes(out, s.name);
            out += " ";
            QuoteBytes(out, s.display_name);
            out += "\n";
        }
        for (const StoredSection& sec : p.sections) {
            out += "section " + UidHex(sec.uid) + "\n";
            for (const StoredProp& prop : sec.props) {
                out += "prop " + Hex32(prop.tag) + " ";
                const ULONG type = PROP_TYPE(prop.tag);
                if (IsStringType(type) && prop.null_string) {
                    out += "null";
                } else if (type == PT_STRING8) {
                    QuoteBytes(out, prop.text);
                } else if (type == PT_UNICODE) {
                    QuoteWide(out, prop.wide);
                } else if (type == PT_BINARY || type == PT_CLSID) {
                    out += "x:";
                    AppendHex(out, prop.bytes.data(), prop.bytes.size());
                } else {
                    char buf[24];
                    std::snprintf(buf, sizeof buf, "n:%llx",
                                  static_cast<unsigned long long>(prop.number));
                    out += buf;
                }
                out += "\n";
            }
        }
    }
    return out;
}

// ---- Decoding ------------------------------------------------------------------

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHexBytes(std::string_view text, std::vector<BYTE>* out) {
    if (text.size() % 2 != 0)
        return false;
    out->clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = HexDigit(text[i]);
        int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(static_cast<BYTE>(hi * 16 + lo));
    }
    return true;
}

bool ParseUid(std::string_view text, MAPIUID* uid) {
    std::vector<BYTE> bytes;
    if (text.size() != 32 || !ParseHexBytes(text, &bytes))
        return false;
    std::memcpy(uid->ab, bytes.data(), 16);
    return true;
}

bool ParseNumber(std::string_view text, std::uint64_t* out) {
    if (text.empty() || text.size() > 16)
        return false;
    std::uint64_t v = 0;
    for (char c : text) {
        int d = HexDigit(c);
        if (d < 0)
            return false;
        v = v * 16 + static_cast<unsigned>(d);
    }
    *out = v;
    return true;
}

bool ParseTicks(std::string_view text, std::uint64_t* out) {
    if (text.empty() || text.size() > 19)
        return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    *out = v;
    return true;
}

bool ParsePid(std::string_view text, ProfileOwner* owner) {
    std::uint64_t v = 0;
    if (text.size() > 10 || !ParseTicks(text, &v) || v == 0 || v > 0x7FFFFFFF)
        return false;
    owner->pid = static_cast<long>(v);
    return true;
}

// A boot id is the kernel's UUID text; "-" stands for none.
bool ValidBootId(std::string_view text) {
    if (text == "-")
        return true;
    if (text.empty() || text.size() > 64)
        return false;
    for (char c : text)
        if (HexDigit(c) < 0 && c != '-')
            return false;
    return true;
}

// One token of a line: a quoted string (unescaped into `raw`, keeping
// \uHHHH escapes as units in `units`) or a bare word.
struct Token {
    bool quoted = false;
    std::string raw;      // bare word, or the bytes of a quoted string
    std::u16string units; // a quoted string read as wide text
};

bool Tokenise(std::string_view line, std::vector<Token>* out) {
    out->clear();
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ') {
            ++i;
            continue;
        }
        Token t;
        if (line[i] != '"') {
            std::size_t end = line.find(' ', i);
            if (end == line.npos)
                end = line.size();
            t.raw = std::string(line.substr(i, end - i));
            i = end;
            out->push_back(std::move(t));
            continue;
        }
        t.quoted = true;
        ++i;
        std::string pending; // UTF-8 bytes not yet moved into `units`
        auto flush = [&] {
            t.units += Utf8ToUtf16(pending);
            pending.clear();
        };
        bool closed = false;
        while (i < line.size()) {
            char c = line[i++];
            if (c == '"') {
                closed = true;
                break;
            }
            if (c != '\\') {
                t.raw.push_back(c);
                pending.push_back(c);
                continue;
            }
            if (i >= line.size())
                return false;
            char e = line[i++];
            if (e == '"' || e == '\\') {
                t.raw.push_back(e);
                pending.push_back(e);
            } else if (e == 'x' && i + 2 <= line.size() && HexDigit(line[i]) >= 0 &&
                       HexDigit(line[i + 1]) >= 0) {
                char b = static_cast<char>(HexDigit(line[i]) * 16 + HexDigit(line[i + 1]));
                t.raw.push_back(b);
                pending.push_back(b);
                i += 2;
            } else if (e == 'u' && i + 4 <= line.size()) {
                std::uint64_t v = 0;
                if (!ParseNumber(line.substr(i, 4), &v))
                    return false;
                flush();
                t.units.push_back(static_cast<char16_t>(v));
                i += 4;
            } else {
                return false;
            }
        }
        if (!closed)
            return false;
        flush();
        out->push_back(std::move(t));
    }
    return true;
}

// Parses the file's text; on failure says where and why.
bool Parse(const std::string& text, ProfileSet* set, int* bad_line, const char** why) {
    set->profiles.clear();
    std::size_t pos = 0;
    int line_no = 0;
    std::vector<Token> tokens;
    StoredSection* section = nullptr;
    auto fail = [&](const char* reason) {
        *bad_line = line_no;
        *why = reason;
        set->profiles.clear();
        return false;
    };
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == text.npos)
            return ++line_no, fail("the last line is not complete");
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        ++line_no;
        if (line_no == 1) {
            if (line != kHeader)
                return fail("unknown header");
            continue;
        }
        if (line.empty())
            continue;
        if (!Tokenise(line, &tokens) || tokens.empty() || tokens[0].quoted)
            return fail("unreadable line");
        const std::string& kind = tokens[0].raw;
        if (kind == "profile") {
            if (tokens.size() != 2 || !tokens[1].quoted || tokens[1].raw.empty())
                return fail("bad profile line");
            set->profiles.push_back(StoredProfile{tokens[1].raw, {}, {}, {}});
            section = nullptr;
        } else if (kind == "owner") {
            ProfileOwner owner;
            if (set->profiles.empty() || set->profiles.back().owner.known || tokens.size() != 4 ||
                tokens[3].quoted || !ParsePid(tokens[1].raw, &owner) ||
                !ParseTicks(tokens[2].raw, &owner.start_ticks) || !ValidBootId(tokens[3].raw))
                return fail("bad owner line");
            owner.known = true;
            if (tokens[3].raw != "-")
                owner.boot_id = tokens[3].raw;
            set->profiles.back().owner = std::move(owner);
        } else if (kind == "service") {
            StoredService s;
            if (set->profiles.empty() || tokens.size() != 5 || !ParseUid(tokens[1].raw, &s.uid) ||
                (tokens[2].raw != "0" && tokens[2].raw != "1") || !tokens[3].quoted ||
                !tokens[4].quoted)
                return fail("bad service line");
            s.configured = tokens[2].raw == "1";
            s.name = tokens[3].raw;
            s.display_name = tokens[4].raw;
            set->profiles.back().services.push_back(std::move(s));
        } else if (kind == "section") {
            MAPIUID uid;
            if (set->profiles.empty() || tokens.size() != 2 || !ParseUid(tokens[1].raw, &uid) ||
                set->profiles.back().FindSection(uid) != nullptr)
                return fail("bad section line");
            set->profiles.back().sections.push_back(StoredSection{uid, {}});
            section = &set->profiles.back().sections.back();
        } else if (kind == "prop") {
            std::uint64_t tag = 0;
            if (section == nullptr || tokens.size() != 3 || tokens[1].raw.size() != 8 ||
                !ParseNumber(tokens[1].raw, &tag))
                return fail("bad prop line");
            StoredProp p;
            p.tag = static_cast<ULONG>(tag);
            const ULONG type = PROP_TYPE(p.tag);
            const Token& v = tokens[2];
            if (IsStringType(type) && !v.quoted && v.raw == "null") {
                p.null_string = true;
            } else if (type == PT_STRING8 && v.quoted) {
                p.text = v.raw;
            } else if (type == PT_UNICODE && v.quoted) {
                p.wide = v.units;
            } else if ((type == PT_BINARY || type == PT_CLSID) && !v.quoted &&
                       v.raw.starts_with("x:") &&
                       ParseHexBytes(std::string_view(v.raw).substr(2), &p.bytes) &&
                       (type != PT_CLSID || p.bytes.size() == sizeof(GUID))) {
            } else if (!IsStringType(type) && type != PT_BINARY && type != PT_CLSID && !v.quoted &&
                       v.raw.starts_with("n:") &&
                       ParseNumber(std::string_view(v.raw).substr(2), &p.number)) {
            } else {
                return fail("bad property value");
            }
            section->props.push_back(std::move(p));
        } else {
            return fail("unknown line");
        }
    }
    return true; // an empty file holds no profiles
}

// Reads the whole file. A missing file is an empty text.
HRESULT ReadFileText(const std::string& path, std::string* text, bool* exists) {
    text->clear();
    *exists = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? S_OK : ErrnoResult(errno);
    *exists = true;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int error = errno;
            ::close(fd);
            return ErrnoResult(error);
        }
        if (n == 0)
            break;
        text->append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return S_OK;
}

// Says once per version of a corrupt file that it is being ignored.
void ReportCorrupt(const std::string& path, int line, const char* why) {
    static std::mutex mutex;
    static std::string last;
    struct stat st {};
    std::string key = path;
    if (::stat(path.c_str(), &st) == 0)
        key += "|" + std::to_string(st.st_size) + "|" + std::to_string(st.st_mtim.tv_sec) + "." +
               std::to_string(st.st_mtim.tv_nsec);
    std::lock_guard lock(mutex);
    if (key == last)
        return;
    last = key;
    std::fprintf(stderr,
                 "sortwell: profile file %s is corrupt at line %d (%s); its profiles are "
                 "ignored\n",
                 path.c_str(), line, why);
}

HRESULT Load(const std::string& path, ProfileSet* set, bool* corrupt) {
    std::string text;
    bool exists = false;
    *corrupt = false;
    HRESULT hr = ReadFileText(path, &text, &exists);
    if (FAILED(hr) || !exists)
        return hr;
    int line = 0;
    const char* why = "";
    if (!Parse(text, set, &line, &why)) {
        *corrupt = true;
        ReportCorrupt(path, line, why);
    }
    return S_OK;
}

HRESULT MakeParentDirectory(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return S_OK;
    std::string dir = path.substr(0, slash);
    for (std::size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            std::string part = dir.substr(0, i);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return ErrnoResult(errno);
        }
    }
    return S_OK;
}

HRESULT WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ErrnoResult(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    return S_OK;
}

// Temporary files are written only under the exclusive lock, so one that
// exists while the lock is held was left by a process killed between writing
// and renaming it. Removing them here keeps killed runs from filling the
// directory.
void RemoveStaleTemporaries(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string prefix =
        (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp.";
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr)
        return;
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
    }
    ::closedir(listing);
}

HRESULT Save(const std::string& path, const ProfileSet& set, bool keep_corrupt) {
    static std::atomic<unsigned> counter{0};
    const std::string text = Serialise(set);
    const std::string temp =
        path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return ErrnoResult(errno);
    HRESULT hr = WriteAll(fd, text);
    if (SUCCEEDED(hr) && ::fsync(fd) != 0)
        hr = ErrnoResult(errno);
    if (::close(fd) != 0 && SUCCEEDED(hr))
        hr = ErrnoResult(errno);
    if (SUCCEEDED(hr) && keep_corrupt)
        ::rename(path.c_str(), (path + ".corrupt").c_str());
    if (SUCCEEDED(hr) && ::rename(temp.c_str(), path.c_str()) != 0)
        hr = ErrnoResult(errno);
    if (FAILED(hr))
        ::unlink(temp.c_str());
    return hr;
}

} // namespace

StoredSection* StoredProfile::FindSection(const MAPIUID& uid) {
    for (StoredSection& s : sections)
        if (SameUid(s.uid, uid))
            return &s;
    return nullptr;
}

StoredSection& StoredProfile::Section(const MAPIUID& uid) {
    if (StoredSection* s = FindSection(uid))
        return *s;
    sections.push_back(StoredSection{uid, {}});
    return sections.back();
}

StoredService* StoredProfile::FindService(const MAPIUID& uid) {
    for (StoredService& s : services)
        if (SameUid(s.uid, uid))
            return &s;
    return nullptr;
}

StoredProfile* ProfileSet::Find(std::string_view name) {
    for (StoredProfile& p : profiles)
        if (Utf8EqualNoCase(p.name, name))
            return &p;
    return nullptr;
}

std::string ProfileFilePath() {
    const char* env = std::getenv("SORTWELL_PROFILES");
    return (env != nullptr && *env != '\0') ? std::string(env) : std::string(kDefaultPath);
}

HRESULT ReadProfiles(ProfileSet* out) {
    try {
        bool corrupt = false;
        return Load(ProfileFilePath(), out, &corrupt);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

HRESULT UpdateProfiles(const std::function<HRESULT(ProfileSet&)>& change) {
    try {
        const std::string path = ProfileFilePath();
        // A file named by SORTWELL_PROFILES gets its missing directories. The
        // default one's directory belongs to the package, which makes it
        // with the right owner; it is never made here (a root run by hand
        // would leave a root-owned directory for the package to find).
        const bool named = path != kDefaultPath;
        HRESULT hr = named ? MakeParentDirectory(path) : S_OK;
        if (FAILED(hr))
            return hr;
        int lock = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock < 0 && errno == ENOENT && !named) {
            static std::once_flag said;
            std::call_once(said, [&] {
                std::fprintf(stderr,
                             "sortwell: the directory of the profile file %s does not exist; "
                             "the sortwell package makes it, or set SORTWELL_PROFILES to "
                             "another file\n",
                             path.c_str());
            });
            return MAPI_E_DISK_ERROR;
        }
        if (lock < 0)
            return ErrnoResult(errno);
        while (::flock(lock, LOCK_EX) != 0) {
            if (errno != EINTR) {
                int error = errno;
                ::close(lock);
                return ErrnoResult(error);
            }
        }
        RemoveStaleTemporaries(path);
        ProfileSet set;
        bool corrupt = false;
        hr = Load(path, &set, &corrupt);
        if (SUCCEEDED(hr))
            hr = change(set);
        if (SUCCEEDED(hr)) {
            HRESULT saved = Save(path, set, corrupt);
            if (FAILED(saved))
                hr = saved;
        }
        ::flock(lock, LOCK_UN);
        ::close(lock);
        return hr;
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

HRESULT StoreProp(const SPropValue& value, StoredProp* out) {
    *out = StoredProp{};
    out->tag = value.ulPropTag;
    switch (PROP_TYPE(value.ulPropTag)) {
    case PT_STRING8:
        out->null_string = value.Value.lpszA == nullptr;
        if (value.Value.lpszA != nullptr)
            out->text = value.Value.lpszA;
        return S_OK;
    case PT_UNICODE:
        out->null_string = value.Value.lpszW == nullptr;
        if (value.Value.lpszW != nullptr)
            out->wide.assign(value.Value.lpszW, WideLength(value.Value.lpszW));
        return S_OK;
    case PT_BINARY:
        if (value.Value.bin.lpb != nullptr)
            out->bytes.assign(value.Value.bin.lpb, value.Value.bin.lpb + value.Value.bin.cb);
        return S_OK;
    case PT_CLSID:
        if (value.Value.lpguid == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        out->bytes.resize(sizeof(GUID));
        std::memcpy(out->bytes.data(), value.Value.lpguid, sizeof(GUID));
        return S_OK;
    case PT_I2:
    case PT_BOOLEAN:
        out->number = static_cast<std::uint16_t>(value.Value.i);
        return S_OK;
    case PT_LONG:
    case PT_ERROR:
    case PT_NULL:
        out->number = value.Value.ul;
        return S_OK;
    case PT_R4: {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &value.Value.flt, sizeof bits);
        out->number = bits;
        return S_OK;
    }
    case PT_DOUBLE:
    case PT_APPTIME:
    case PT_CURRENCY:
    case PT_I8:
    case PT_SYSTIME:
        std::memcpy(&out->number, &value.Value, sizeof out->number);
        return S_OK;
    default:
        // Objects, restrictions, rule actions and unknown types have no
        // lasting form in a profile.
        return MAPI_E_INVALID_TYPE;
    }
}

HRESULT PropsToValues(const std::vector<StoredProp>& props, ULONG* count, LPSPropValue* values) {
    *count = 0;
    *values = nullptr;
    void* block = nullptr;
    const std::size_t n = props.size();
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>((n ? n : 1) * sizeof(SPropValue)), &block);
    if (FAILED(hr))
        return hr;
    LPSPropValue out = static_cast<LPSPropValue>(block);
    for (std::size_t i = 0; i < n; ++i) {
        const StoredProp& p = props[i];
        SPropValue v{};
        v.ulPropTag = p.tag;
        GUID guid{};
        std::u16string wide;
        switch (PROP_TYPE(p.tag)) {
        case PT_STRING8:
            v.Value.lpszA = p.null_string ? nullptr : const_cast<char*>(p.text.c_str());
            break;
        case PT_UNICODE:
            v.Value.lpszW = p.null_string ? nullptr : const_cast<char16_t*>(p.wide.c_str());
            break;
        case PT_BINARY:
            v.Value.bin.cb = static_cast<ULONG>(p.bytes.size());
            v.Value.bin.lpb = const_cast<BYTE*>(p.bytes.data());
            break;
        case PT_CLSID:
            std::memcpy(&guid, p.bytes.data(), sizeof guid);
            v.Value.lpguid = &guid;
            break;
        case PT_I2:
        case PT_BOOLEAN:
            v.Value.i = static_cast<std::int16_t>(p.number);
            break;
        case PT_LONG:
        case PT_ERROR:
        case PT_NULL:
            v.Value.ul = static_cast<ULONG>(p.number);
            break;
        case PT_R4: {
            std::uint32_t bits = static_cast<std::uint32_t>(p.number);
            std::memcpy(&v.Value.flt, &bits, sizeof bits);
            break;
        }
        default:
            std::memcpy(&v.Value, &p.number, sizeof p.number);
        }
        hr = PropCopyMore(&out[i], &v, out);
        if (FAILED(hr)) {
            MAPIFreeBuffer(out);
            return hr;
        }
    }
    *count = static_cast<ULONG>(n);
    *values = out;
    return S_OK;
}

void MergeProps(std::vector<StoredProp>& into, const std::vector<StoredProp>& from) {
    for (const StoredProp& p : from) {
        bool replaced = false;
        for (StoredProp& q : into) {
            if (PROP_ID(q.tag) == PROP_ID(p.tag)) {
                q = p;
                replaced = true;
                break;
            }
        }
        if (!replaced)
            into.push_back(p);
    }
}

namespace {

// The boot id of the running kernel, or empty.
std::string CurrentBootId() {
    std::string text;
    bool exists = false;
    if (FAILED(ReadFileText("/proc/sys/kernel/random/boot_id", &text, &exists)) || !exists)
        return {};
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return ValidBootId(text) && text != "-" ? text : std::string();
}

enum class ProcessState { running, gone, unknown };

// Reads the start time of `pid` from /proc/<pid>/stat. The command name in
// field 2 may hold spaces and parentheses, so the fields are counted from
// its last closing parenthesis.
ProcessState StartTicks(long pid, std::uint64_t* ticks) {
    std::string text;
    bool exists = false;
    HRESULT hr = ReadFileText("/proc/" + std::to_string(pid) + "/stat", &text, &exists);
    if (FAILED(hr))
        return ProcessState::unknown;
    if (!exists) {
        // /proc may hide other users' processes (hidepid, systemd's
        // ProtectProc=invisible); only "no such process" means gone.
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            return ProcessState::gone;
        return ProcessState::unknown;
    }
    std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return ProcessState::unknown;
    // After the name: state is field 3; the start time is field 22.
    std::size_t pos = close + 1;
    for (int field = 3; field <= 22; ++field) {
        while (pos < text.size() && text[pos] == ' ')
            ++pos;
        std::size_t end = text.find(' ', pos);
        if (end == std::string::npos)
            end = text.size();
        if (field == 22)
            return ParseTicks(std::string_view(text).substr(pos, end - pos), ticks)
                       ? ProcessState::running
                       : ProcessState::unknown;
        pos = end;
    }
    return ProcessState::unknown;
}

} // namespace

ProfileOwner CurrentOwner() {
    ProfileOwner owner;
    owner.pid = static_cast<long>(::getpid());
    if (StartTicks(owner.pid, &owner.start_ticks) != ProcessState::running)
        return ProfileOwner{};
    owner.boot_id = CurrentBootId();
    owner.known = true;
    return owner;
}

bool OwnerGone(const ProfileOwner& owner) {
    if (!owner.known)
        return false;
    if (!owner.boot_id.empty()) {
        const std::string boot = CurrentBootId();
        if (!boot.empty() && boot != owner.boot_id)
            return true;
    }
    std::uint64_t ticks = 0;
    switch (StartTicks(owner.pid, &ticks)) {
    case ProcessState::gone:
        return true;
    case ProcessState::running:
        return ticks != owner.start_ticks;
    case ProcessState::unknown:
        break;
    }
    return false;
}

std::size_t DropOrphanedProfiles(ProfileSet& set) {
    const std::size_t before = set.profiles.size();
    std::erase_if(set.profiles, [](const StoredProfile& p) { return OwnerGone(p.owner); });
    return before - set.profiles.size();
}

bool SameUid(const MAPIUID& a, const MAPIUID& b) {
    return std::memcmp(a.ab, b.ab, sizeof a.ab) == 0;
}

MAPIUID NewUid() {
    static std::atomic<std::uint64_t> counter{0};
    MAPIUID uid{};
    try {
        std::random_device device;
        for (std::size_t i = 0; i < sizeof uid.ab; i += 4) {
            std::uint32_t r = device();
            std::memcpy(uid.ab + i, &r, 4);
        }
    } catch (...) {
        // No random source: time and a counter still give distinct values.
        std::uint64_t a =
            static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
        std::uint64_t b = counter.fetch_add(1) ^ (static_cast<std::uint64_t>(::getpid()) << 32);
        std::memcpy(uid.ab, &a, 8);
        std::memcpy(uid.ab + 8, &b, 8);
    }
    return uid;
}

} // namespace mapi_detail
