// Paths: the separator, splitting a path, the current directory.
#include "runtime/vtxos_file.h"

#include "runtime/vtx_str.h"

#include <filesystem>
#include <new>
#include <string>

char16_t VTXPR_PathSeparator() {
    return u'/';
}

void VTXPR_SplitPath(char16_t* path, char16_t** directory, char16_t** file_name) {
    char16_t* found = nullptr;
    const std::size_t length = VTX_WStrLen(path);
    // Down to, but not including, the first character: a path whose only
    // separator leads it has no directory part to split off.
    for (std::size_t i = length; i > 1; --i) {
        if (path[i - 1] == u'/' || path[i - 1] == u'\\') {
            found = path + (i - 1);
            break;
        }
    }
    if (found != nullptr) {
        *found = u'\0';
    }
    if (directory != nullptr) {
        *directory = found != nullptr ? path : nullptr;
    }
    if (file_name != nullptr) {
        *file_name = found != nullptr ? found + 1 : nullptr;
    }
}

int VTXPR_GetCurrentDirectory(char16_t* buffer, std::size_t count) {
    if (buffer == nullptr || count == 0) {
        return -1;
    }
    try {
        std::error_code error;
        const std::filesystem::path current = std::filesystem::current_path(error);
        if (error) {
            return -1;
        }
        const std::u16string wide = VTX_FromUtf8(current.native());
        if (wide.empty() || wide.size() + 1 > count) {
            return -1;
        }
        VTX_WStrNCpy(buffer, wide.c_str(), count);
        return 0;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}
