// Paths.
#pragma once
#include <cstddef>

// The platform's directory separator: '/' on Linux.
char16_t VTXPR_PathSeparator();
// Splits `path` in place at its last separator ('/' or '\'), searched
// backwards down to but not including the first character: the separator
// becomes a terminator, *directory points at the text before it and
// *file_name at the text after it. Without such a separator (also when the
// only one is the first character) both are null.
void VTXPR_SplitPath(char16_t* path, char16_t** directory, char16_t** file_name);
// The current directory into buffer (count wide characters); 0, or -1.
int VTXPR_GetCurrentDirectory(char16_t* buffer, std::size_t count);
