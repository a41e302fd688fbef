// The operating-system version, the computer's name and string loading, over
// uname, gethostname and the compiled-in string table; and running a
// command line.
#include "platform/win32/sysinfo.h"

#include "resources/string_table.h"
#include "runtime/vtx_str.h"

#include <cstdlib>
#include <cstring>
#include <limits.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The one module there is: any non-null address serves as its handle.
char g_program_module;

HINSTANCE ProgramModule() {
    return reinterpret_cast<HINSTANCE>(&g_program_module);
}

// Reads one decimal number at *text and moves past it; 0 when none.
unsigned ReadNumber(const char** text) {
    unsigned value = 0;
    while (**text >= '0' && **text <= '9') {
        value = value * 10 + static_cast<unsigned>(**text - '0');
        if (value > 0xFFFF) {
            value = 0xFFFF;
        }
        ++*text;
    }
    return value;
}

} // namespace

DWORD GetVersion() {
    struct utsname name;
    if (::uname(&name) != 0) {
        return 0;
    }
    // The release reads like "6.1.0-18-amd64".
    const char* text = name.release;
    const unsigned major = ReadNumber(&text);
    unsigned minor = 0;
    if (*text == '.') {
        ++text;
        minor = ReadNumber(&text);
    }
    return static_cast<DWORD>((major & 0xFF) | ((minor & 0xFF) << 8));
}

BOOL GetComputerNameW(LPWSTR buffer, DWORD* size) {
    if (buffer == nullptr || size == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char host[HOST_NAME_MAX + 1];
    if (::gethostname(host, sizeof(host)) != 0) {
        host[0] = '\0';
    }
    host[HOST_NAME_MAX] = '\0';
    char16_t wide[HOST_NAME_MAX + 1];
    VTX_Utf8ToUtf16(host, wide, HOST_NAME_MAX + 1);
    const std::size_t length = VTX_WStrLen(wide);
    if (length + 1 > *size) {
        *size = static_cast<DWORD>(length + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::memcpy(buffer, wide, (length + 1) * sizeof(char16_t));
    *size = static_cast<DWORD>(length);
    return TRUE;
}

HMODULE GetModuleHandleW(LPCWSTR module_name) {
    if (module_name != nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return ProgramModule();
}

int LoadStringW(HINSTANCE instance, unsigned int id, LPWSTR buffer, int count) {
    if (buffer == nullptr || count < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (instance != nullptr && instance != ProgramModule()) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    const char16_t* text = StringTableText(id);
    if (text == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    const std::size_t length = VTX_WStrLen(text);
    if (count == 0) {
        const char16_t* view = text;
        std::memcpy(buffer, &view, sizeof(view));
        return static_cast<int>(length);
    }
    std::size_t copied = length;
    if (copied > static_cast<std::size_t>(count) - 1) {
        copied = static_cast<std::size_t>(count) - 1;
    }
    std::memcpy(buffer, text, copied * sizeof(char16_t));
    buffer[copied] = u'\0';
    return static_cast<int>(copied);
}

int RunCommandLine(const char* command) {
    if (command == nullptr) {
        return -1;
    }
    const int status = std::system(command);
    if (status != -1 && WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (status != -1 && WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}
