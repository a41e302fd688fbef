// Directory listing.
#pragma once

// Read flags.
constexpr int VTXPR_DIR_SKIP_DOT = 1;    // skip "."
constexpr int VTXPR_DIR_SKIP_DOTDOT = 2; // skip ".."
constexpr int VTXPR_DIR_SKIP_HIDDEN = 4; // skip every name that begins with a dot

struct VTXPR_DIR;
struct VTXPR_DIRENT;

// A handle on the directory, or null when `path` is no directory or memory
// runs out.
VTXPR_DIR* VTXPR_OpenDir(const char16_t* path);
// Reads the next entry into *entry. Returns 0 with an entry; 0 with *entry
// null at the end of the directory; -1 on any other error or when memory
// runs out. Once the handle has been read from, the entry passed in is freed
// first, so a loop passes the same variable each time.
int VTXPR_ReadDir(VTXPR_DIR* dir, VTXPR_DIRENT** entry, int flags);
// The entry's name (null for a null entry).
const char16_t* VTXPR_EntryName(const VTXPR_DIRENT* entry);
// Frees an entry; null is ignored.
void VTXPR_FreeEntry(VTXPR_DIRENT* entry);
// Ends the listing and frees the handle: 0, or -1 when ending it failed;
// null gives 0.
int VTXPR_CloseDir(VTXPR_DIR* dir);
