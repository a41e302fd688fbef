// File status, deletion, renaming and opening on wide paths. Wide paths are
// handed to the file system as UTF-8.
//
// Choices made here:
// - The readable, writable and executable flags come from the owner's
//   permission bits, whoever asks; they describe the file, not the rights
//   of the calling process.
// - Status follows symbolic links: a link counts as what it points at, and a
//   dangling link does not exist.
// - Deleting refuses a directory (EISDIR): only files are deleted here.
// - Renaming never replaces an existing file: a target that exists already
//   gives EEXIST, so a file moved aside can never wipe out an older one.
#include "runtime/vtxpr_fileio.h"

#include "runtime/vtx_str.h"

#include <cerrno>
#include <filesystem>
#include <new>
#include <string>

namespace fs = std::filesystem;

namespace {

bool IsSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

// UTF-8 form of a wide path; false when memory runs out.
bool ToNarrowPath(const char16_t* path, std::string* out) {
    try {
        *out = VTX_ToUtf8(path);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // An empty result from a non-empty path means the conversion ran out of
    // memory.
    return !out->empty() || path[0] == u'\0';
}

} // namespace

int VTXPR_CheckFile(const char16_t* path, int required) {
    if (path == nullptr || path[0] == u'\0') {
        return -1;
    }
    std::string examined;
    if (!ToNarrowPath(path, &examined)) {
        return -1;
    }
    const std::size_t length = VTX_WStrLen(path);
    if (IsSeparator(path[length - 1])) {
        if (length >= 2 && path[length - 2] != u':') {
            examined.pop_back(); // both separators are one byte in UTF-8
        }
    } else if (path[length - 1] == u':') {
        examined.push_back('\\');
    }

    std::error_code error;
    const fs::file_status status = fs::status(examined, error);
    if (error || status.type() == fs::file_type::not_found ||
        status.type() == fs::file_type::none) {
        return -1;
    }
    int flags = VTXPR_FILE_EXISTS;
    if (status.type() == fs::file_type::regular) {
        flags |= VTXPR_FILE_REGULAR;
    } else if (status.type() == fs::file_type::directory) {
        flags |= VTXPR_FILE_DIRECTORY;
    }
    const fs::perms permissions = status.permissions();
    if ((permissions & fs::perms::owner_read) != fs::perms::none) {
        flags |= VTXPR_FILE_READABLE;
    }
    if ((permissions & fs::perms::owner_write) != fs::perms::none) {
        flags |= VTXPR_FILE_WRITABLE;
    }
    if ((permissions & fs::perms::owner_exec) != fs::perms::none) {
        flags |= VTXPR_FILE_EXECUTABLE;
    }
    return (flags & required) == required ? 0 : -1;
}

int VTXPR_Unlink(const char16_t* path) {
    if (path == nullptr) {
        return 0;
    }
    if (path[0] == u'\0') {
        errno = ENOENT;
        return -1;
    }
    std::string narrow;
    if (!ToNarrowPath(path, &narrow)) {
        errno = ENOMEM;
        return -1;
    }
    std::error_code error;
    if (fs::symlink_status(narrow, error).type() == fs::file_type::directory) {
        errno = EISDIR;
        return -1;
    }
    return std::remove(narrow.c_str()) == 0 ? 0 : -1;
}

int VTXPR_Rename(const char16_t* from, const char16_t* to) {
    if (from == nullptr || to == nullptr) {
        return EINVAL;
    }
    if (from[0] == u'\0' || to[0] == u'\0') {
        return ENOENT;
    }
    std::string narrow_from;
    std::string narrow_to;
    if (!ToNarrowPath(from, &narrow_from) || !ToNarrowPath(to, &narrow_to)) {
        return ENOMEM;
    }
    std::error_code error;
    if (fs::exists(fs::symlink_status(narrow_to, error))) {
        return EEXIST;
    }
    errno = 0;
    if (std::rename(narrow_from.c_str(), narrow_to.c_str()) == 0) {
        return 0;
    }
    return errno != 0 ? errno : EIO;
}

std::FILE* VTXPR_FOpen(const char16_t* path, const char* mode) {
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    std::string narrow;
    if (!ToNarrowPath(path, &narrow)) {
        errno = ENOMEM;
        return nullptr;
    }
    return std::fopen(narrow.c_str(), mode);
}
