// File status, deletion, renaming and opening, on wide (UTF-16) paths.
#pragma once
#include <cstdio>

// File status flags.
constexpr int VTXPR_FILE_EXECUTABLE = 1;
constexpr int VTXPR_FILE_WRITABLE = 2;
constexpr int VTXPR_FILE_READABLE = 4;
constexpr int VTXPR_FILE_EXISTS = 16;
constexpr int VTXPR_FILE_REGULAR = 32;
constexpr int VTXPR_FILE_DIRECTORY = 64;

// 0 when `path` exists and has every flag in `required`; -1 otherwise, for an
// empty path, or when the status cannot be read. A trailing `\` or `/` is
// ignored (unless it follows a drive letter's `:`); a bare drive "C:" is
// examined as "C:\".
int VTXPR_CheckFile(const char16_t* path, int required);
// Deletes a file. A null path gives 0; otherwise 0 or -1 (errno set).
int VTXPR_Unlink(const char16_t* path);
// Renames a file. 0, or the errno of the failure.
int VTXPR_Rename(const char16_t* from, const char16_t* to);
// Opens a file with a C mode string ("a+", "r", ...); null on failure.
std::FILE* VTXPR_FOpen(const char16_t* path, const char* mode);
