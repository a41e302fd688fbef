#include "platform/win32/registry.h"

#include "platform/win32/machine_name.h"
#include "platform/win32/registry_hive.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

struct HKEY__ {
    std::shared_ptr<const RegistryHive> hive; // the hive as it was when opened
    std::u16string path;                      // folded full path
};

namespace {

constexpr const char* kDefaultHive = "/etc/sortwell/registry.reg";

// What the hive file was when it was read last: a change to any of these
// makes the next open read it again.
struct FileIdentity {
    std::string path;
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified_ns = 0;
    std::int64_t changed_ns = 0;

    bool operator==(const FileIdentity&) const = default;
};

std::mutex g_lock; // guards everything below
std::shared_ptr<const RegistryHive>* g_hive = nullptr;
FileIdentity* g_identity = nullptr;
std::unordered_set<HKEY__*>* g_open_keys = nullptr;
// How the last reading of the hive went (RegistryHiveStatus).
LONG g_status = static_cast<LONG>(ERROR_SUCCESS);
std::string* g_problem = nullptr;

std::u16string RootPath(HKEY key) {
    switch (reinterpret_cast<std::uintptr_t>(key)) {
    case 0x80000000u:
        return u"hkey_classes_root";
    case 0x80000001u:
        return u"hkey_current_user";
    case 0x80000002u:
        return u"hkey_local_machine";
    case 0x80000003u:
        return u"hkey_users";
    case 0x80000005u:
        return u"hkey_current_config";
    default:
        return {};
    }
}

bool IsPredefined(HKEY key) {
    return !RootPath(key).empty();
}

FileIdentity Identify(const std::string& path) {
    FileIdentity identity;
    identity.path = path;
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        identity.exists = true;
        identity.device = status.st_dev;
        identity.inode = status.st_ino;
        identity.size = status.st_size;
        identity.modified_ns =
            static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
        identity.changed_ns =
            static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    }
    return identity;
}

bool ReadWholeFile(const std::string& path, std::string* bytes, int* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = errno;
            ::close(fd);
            return false;
        }
        if (got == 0) {
            break;
        }
        bytes->append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return true;
}

// The current hive, read again when the file changed. Called under g_lock.
std::shared_ptr<const RegistryHive> CurrentHive() {
    const char* named = std::getenv("SORTWELL_REGISTRY");
    const bool explicit_path = named != nullptr && *named != '\0';
    const std::string path = explicit_path ? named : kDefaultHive;
    FileIdentity identity = Identify(path);
    if (g_hive == nullptr) {
        g_hive = new std::shared_ptr<const RegistryHive>;
        g_identity = new FileIdentity;
        g_problem = new std::string;
    } else if (*g_hive && identity == *g_identity) {
        return *g_hive;
    }

    auto hive = std::make_shared<RegistryHive>();
    LONG status = static_cast<LONG>(ERROR_SUCCESS);
    std::string problem;
    if (identity.exists) {
        std::string bytes;
        int error = 0;
        RegistryParseError parse_error;
        if (!ReadWholeFile(path, &bytes, &error)) {
            status = static_cast<LONG>(ERROR_ACCESS_DENIED);
            problem = std::string("cannot be read: ") + std::strerror(error);
            std::fprintf(stderr,
                         "sortwell: cannot read the registry hive %s: %s; the registry reads as "
                         "empty\n",
                         path.c_str(), std::strerror(error));
        } else if (!ParseRegistryHive(bytes, hive.get(), &parse_error)) {
            status = static_cast<LONG>(ERROR_BADDB);
            problem = "cannot be parsed: line " + std::to_string(parse_error.line) + ": " +
                      parse_error.message;
            std::fprintf(stderr,
                         "sortwell: registry hive %s, line %d: %s; the registry reads as empty\n",
                         path.c_str(), parse_error.line, parse_error.message.c_str());
        }
    } else {
        status = static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        problem = "does not exist";
        if (explicit_path) {
            std::fprintf(stderr,
                         "sortwell: the registry hive %s (SORTWELL_REGISTRY) does not exist; the "
                         "registry reads as empty\n",
                         path.c_str());
        }
    }
    g_status = status;
    *g_problem = problem;
    *g_hive = hive;
    *g_identity = identity;
    return hive;
}

// A new open key, counted. Called under g_lock.
HKEY NewKey(std::shared_ptr<const RegistryHive> hive, std::u16string path) {
    auto* key = new HKEY__{std::move(hive), std::move(path)};
    if (g_open_keys == nullptr) {
        g_open_keys = new std::unordered_set<HKEY__*>;
    }
    try {
        g_open_keys->insert(key);
    } catch (...) {
        delete key;
        throw;
    }
    return key;
}

bool IsOpen(HKEY key) {
    return g_open_keys != nullptr && g_open_keys->count(key) != 0;
}

// The hive and key path a handle stands for: a predefined root reads the
// current hive, an open key the hive it was opened on. False for a handle
// that is neither. Called under g_lock.
bool Resolve(HKEY key, std::shared_ptr<const RegistryHive>* hive, std::u16string* path) {
    if (IsPredefined(key)) {
        *hive = CurrentHive();
        *path = RootPath(key);
        return true;
    }
    if (IsOpen(key)) {
        *hive = key->hive;
        *path = key->path;
        return true;
    }
    return false;
}

} // namespace

LONG RegConnectRegistryW(LPCWSTR machine, HKEY root, HKEY* result) {
    if (result == nullptr) {
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    }
    *result = nullptr;
    if (root != HKEY_LOCAL_MACHINE && root != HKEY_USERS) {
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    }
    try {
        if (!Win32IsLocalMachineName(machine)) {
            return static_cast<LONG>(ERROR_BAD_NETPATH);
        }
        std::lock_guard<std::mutex> guard(g_lock);
        *result = NewKey(CurrentHive(), RootPath(root));
        return static_cast<LONG>(ERROR_SUCCESS);
    } catch (const std::bad_alloc&) {
        return static_cast<LONG>(ERROR_NOT_ENOUGH_MEMORY);
    }
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD /*options*/, REGSAM /*access*/, HKEY* result) {
    if (result == nullptr) {
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    }
    *result = nullptr;
    try {
        std::lock_guard<std::mutex> guard(g_lock);
        std::shared_ptr<const RegistryHive> hive;
        std::u16string path;
        if (!Resolve(key, &hive, &path)) {
            return static_cast<LONG>(ERROR_INVALID_HANDLE);
        }
        if (sub_key != nullptr && *sub_key != u'\0') {
            if (*sub_key == u'\\') {
                return static_cast<LONG>(ERROR_INVALID_PARAMETER);
            }
            path = RegistryFoldPath(path + u"\\" + sub_key);
            if (path.empty() || path.find(u"\\\\") != std::u16string::npos) {
                return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
            }
            if (hive->keys.count(path) == 0) {
                return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
            }
        }
        *result = NewKey(std::move(hive), std::move(path));
        return static_cast<LONG>(ERROR_SUCCESS);
    } catch (const std::bad_alloc&) {
        return static_cast<LONG>(ERROR_NOT_ENOUGH_MEMORY);
    }
}

LONG RegQueryValueExW(HKEY key, LPCWSTR value_name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size) {
    if (reserved != nullptr || (data != nullptr && size == nullptr)) {
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    }
    try {
        std::shared_ptr<const RegistryHive> hive;
        std::u16string path;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            if (!Resolve(key, &hive, &path)) {
                return static_cast<LONG>(ERROR_INVALID_HANDLE);
            }
        }
        const auto found_key = hive->keys.find(path);
        if (found_key == hive->keys.end()) {
            return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        }
        const std::u16string name = RegistryFoldName(value_name != nullptr ? value_name : u"");
        const auto found = found_key->second.values.find(name);
        if (found == found_key->second.values.end()) {
            return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        }
        const RegistryValue& value = found->second;
        const auto needed = static_cast<DWORD>(value.data.size());
        if (type != nullptr) {
            *type = value.type;
        }
        if (data == nullptr) {
            if (size != nullptr) {
                *size = needed;
            }
            return static_cast<LONG>(ERROR_SUCCESS);
        }
        if (*size < needed) {
            *size = needed;
            return static_cast<LONG>(ERROR_MORE_DATA);
        }
        if (needed > 0) {
            std::memcpy(data, value.data.data(), needed);
        }
        *size = needed;
        return static_cast<LONG>(ERROR_SUCCESS);
    } catch (const std::bad_alloc&) {
        return static_cast<LONG>(ERROR_NOT_ENOUGH_MEMORY);
    }
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, DWORD* name_chars, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* size) {
    if (name == nullptr || name_chars == nullptr || reserved != nullptr ||
        (data != nullptr && size == nullptr)) {
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    }
    try {
        std::shared_ptr<const RegistryHive> hive;
        std::u16string path;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            if (!Resolve(key, &hive, &path)) {
                return static_cast<LONG>(ERROR_INVALID_HANDLE);
            }
        }
        const auto found_key = hive->keys.find(path);
        if (found_key == hive->keys.end() || index >= found_key->second.values.size()) {
            return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
        }
        auto entry = found_key->second.values.begin();
        std::advance(entry, index);
        const RegistryValue& value = entry->second;
        if (*name_chars <= value.name.size()) {
            *name_chars = static_cast<DWORD>(value.name.size() + 1);
            return static_cast<LONG>(ERROR_MORE_DATA);
        }
        std::memcpy(name, value.name.data(), value.name.size() * sizeof(char16_t));
        name[value.name.size()] = u'\0';
        *name_chars = static_cast<DWORD>(value.name.size());
        if (type != nullptr) {
            *type = value.type;
        }
        const auto needed = static_cast<DWORD>(value.data.size());
        if (data == nullptr) {
            if (size != nullptr) {
                *size = needed;
            }
            return static_cast<LONG>(ERROR_SUCCESS);
        }
        if (*size < needed) {
            *size = needed;
            return static_cast<LONG>(ERROR_MORE_DATA);
        }
        if (needed > 0) {
            std::memcpy(data, value.data.data(), needed);
        }
        *size = needed;
        return static_cast<LONG>(ERROR_SUCCESS);
    } catch (const std::bad_alloc&) {
        return static_cast<LONG>(ERROR_NOT_ENOUGH_MEMORY);
    }
}

LONG RegCloseKey(HKEY key) {
    if (IsPredefined(key)) {
        return static_cast<LONG>(ERROR_SUCCESS);
    }
    std::lock_guard<std::mutex> guard(g_lock);
    if (!IsOpen(key)) {
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    }
    g_open_keys->erase(key);
    delete key;
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegistryHiveStatus(std::string* path, std::string* problem) {
    try {
        std::lock_guard<std::mutex> guard(g_lock);
        CurrentHive();
        *path = g_identity->path;
        *problem = *g_problem;
        return g_status;
    } catch (const std::bad_alloc&) {
        return static_cast<LONG>(ERROR_NOT_ENOUGH_MEMORY);
    }
}

DWORD RegistryOpenKeyCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_open_keys == nullptr ? 0 : static_cast<DWORD>(g_open_keys->size());
}
