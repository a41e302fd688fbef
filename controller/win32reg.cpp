// Reading one registry value, on this machine or through a connection.
#include "controller/win32reg.h"

#include "platform/win32/registry.h"

long registry_read_value(HKEY root, const char16_t* machine, const char16_t* key_path,
                         const char16_t* value_name, void* buffer, std::uint32_t* size) {
    if (key_path == nullptr || value_name == nullptr || buffer == nullptr || size == nullptr) {
        return static_cast<long>(ERROR_INVALID_PARAMETER);
    }
    HKEY base = root;
    if (machine != nullptr) {
        HKEY connected = nullptr;
        const LONG connect_result = RegConnectRegistryW(machine, root, &connected);
        if (connect_result != static_cast<LONG>(ERROR_SUCCESS)) {
            return connect_result;
        }
        base = connected;
    }

    HKEY opened = nullptr;
    LONG result = RegOpenKeyExW(base, key_path, 0, KEY_QUERY_VALUE, &opened);
    if (result == static_cast<LONG>(ERROR_SUCCESS)) {
        result = RegQueryValueExW(opened, value_name, nullptr, nullptr, static_cast<BYTE*>(buffer),
                                  size);
    }

    if (opened != nullptr) {
        RegCloseKey(opened);
    }
    if (base != root) {
        RegCloseKey(base);
    }
    return result;
}
