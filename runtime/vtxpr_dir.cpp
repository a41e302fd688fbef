// Directory listing with wide names.
//
// The listing starts on the first read, like a search that is only begun
// when the first entry is asked for. "." and ".." come first (the file
// system's iterator leaves them out, but callers that list a directory
// expect them unless their flags skip them), then every other entry in the
// order the file system gives. Names are converted from the file system's
// UTF-8; bytes that are not UTF-8 show as U+FFFD.
#include "runtime/vtxpr_dir.h"

#include "runtime/vtx_str.h"
#include "runtime/vtxpr_fileio.h"
#include "runtime/vtxpr_mem.h"

#include <filesystem>
#include <new>
#include <string>

namespace fs = std::filesystem;

struct VTXPR_DIR {
    std::string path;
    // 1 until the first entry has been read.
    bool first_read = true;
    // Which of "." and ".." have been handed out (0, 1 or 2 of them).
    int dot_entries_done = 0;
    bool search_started = false;
    fs::directory_iterator search;
};

struct VTXPR_DIRENT {
    char16_t* name;
};

namespace {

bool Skipped(const char16_t* name, int flags) {
    const bool dot = name[0] == u'.' && name[1] == u'\0';
    const bool dotdot = name[0] == u'.' && name[1] == u'.' && name[2] == u'\0';
    if ((flags & VTXPR_DIR_SKIP_DOT) != 0 && dot) {
        return true;
    }
    if ((flags & VTXPR_DIR_SKIP_DOTDOT) != 0 && dotdot) {
        return true;
    }
    return (flags & VTXPR_DIR_SKIP_HIDDEN) != 0 && name[0] == u'.';
}

VTXPR_DIRENT* NewEntry(const char16_t* name) {
    VTXPR_DIRENT* entry = static_cast<VTXPR_DIRENT*>(VTXPR_Malloc(sizeof(VTXPR_DIRENT)));
    if (entry == nullptr) {
        return nullptr;
    }
    entry->name = VTXPR_StrDup(name);
    if (entry->name == nullptr) {
        VTXPR_Free(entry);
        return nullptr;
    }
    return entry;
}

enum class Step { kName, kEnd, kError };

// The next name of the listing, before any flag is applied.
Step NextName(VTXPR_DIR* dir, std::u16string* name) {
    if (dir->dot_entries_done < 2) {
        *name = dir->dot_entries_done == 0 ? u"." : u"..";
        ++dir->dot_entries_done;
        return Step::kName;
    }
    std::error_code error;
    if (!dir->search_started) {
        dir->search = fs::directory_iterator(dir->path, error);
        if (error) {
            return Step::kError;
        }
        dir->search_started = true;
    } else if (dir->search != fs::directory_iterator()) {
        // Reading again after the end stays at the end.
        dir->search.increment(error);
        if (error) {
            return Step::kError;
        }
    }
    if (dir->search == fs::directory_iterator()) {
        return Step::kEnd;
    }
    *name = VTX_FromUtf8(dir->search->path().filename().native());
    // Every real name has at least one character; an empty one means the
    // conversion ran out of memory.
    return name->empty() ? Step::kError : Step::kName;
}

} // namespace

VTXPR_DIR* VTXPR_OpenDir(const char16_t* path) {
    if (VTXPR_CheckFile(path, VTXPR_FILE_DIRECTORY) != 0) {
        return nullptr;
    }
    VTXPR_DIR* dir = new (std::nothrow) VTXPR_DIR;
    if (dir == nullptr) {
        return nullptr;
    }
    try {
        dir->path = VTX_ToUtf8(path);
    } catch (const std::bad_alloc&) {
        delete dir;
        return nullptr;
    }
    if (dir->path.empty()) {
        delete dir; // the conversion ran out of memory
        return nullptr;
    }
    return dir;
}

int VTXPR_ReadDir(VTXPR_DIR* dir, VTXPR_DIRENT** entry, int flags) {
    if (dir == nullptr || entry == nullptr) {
        return -1;
    }
    if (!dir->first_read) {
        VTXPR_FreeEntry(*entry);
    }
    *entry = nullptr;
    dir->first_read = false;
    try {
        std::u16string name;
        for (;;) {
            const Step step = NextName(dir, &name);
            if (step == Step::kEnd) {
                return 0;
            }
            if (step == Step::kError) {
                return -1;
            }
            if (!Skipped(name.c_str(), flags)) {
                break;
            }
        }
        *entry = NewEntry(name.c_str());
        return *entry != nullptr ? 0 : -1;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

const char16_t* VTXPR_EntryName(const VTXPR_DIRENT* entry) {
    return entry != nullptr ? entry->name : nullptr;
}

void VTXPR_FreeEntry(VTXPR_DIRENT* entry) {
    if (entry == nullptr) {
        return;
    }
    VTXPR_Free(entry->name);
    VTXPR_Free(entry);
}

int VTXPR_CloseDir(VTXPR_DIR* dir) {
    // Ending a listing cannot fail here: the iterator lets go of the
    // directory when it is destroyed.
    delete dir;
    return 0;
}
