// File status, deletion, renaming, opening and directory listing, on real
// temporary files and directories.
#include "runtime/vtxpr_dir.h"
#include "runtime/vtxpr_fileio.h"
#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>

namespace fs = std::filesystem;
using runtime_test::ScratchDir;
using runtime_test::Wide;
using runtime_test::WriteFile;

namespace {

int Check(const std::string& path, int flags) {
    return VTXPR_CheckFile(Wide(path).c_str(), flags);
}

// Every name the listing gives with `flags`, in a set.
std::set<std::u16string> List(const std::string& path, int flags) {
    std::set<std::u16string> names;
    VTXPR_DIR* dir = VTXPR_OpenDir(Wide(path).c_str());
    EXPECT_NE(dir, nullptr);
    if (dir == nullptr) {
        return names;
    }
    VTXPR_DIRENT* entry = nullptr;
    for (;;) {
        EXPECT_EQ(VTXPR_ReadDir(dir, &entry, flags), 0);
        if (entry == nullptr) {
            break;
        }
        EXPECT_TRUE(names.insert(VTXPR_EntryName(entry)).second) << "a name came twice";
    }
    EXPECT_EQ(VTXPR_CloseDir(dir), 0);
    return names;
}

} // namespace

TEST(RuntimeFileStatus, TellsFilesFromDirectoriesAndReadsOwnerPermissions) {
    ScratchDir scratch;
    const std::string file = scratch / "agent.log";
    WriteFile(file, "line\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);

    EXPECT_EQ(Check(file, VTXPR_FILE_EXISTS), 0);
    EXPECT_EQ(Check(file, VTXPR_FILE_EXISTS | VTXPR_FILE_REGULAR | VTXPR_FILE_READABLE |
                              VTXPR_FILE_WRITABLE),
              0);
    EXPECT_EQ(Check(file, VTXPR_FILE_DIRECTORY), -1);
    EXPECT_EQ(Check(file, VTXPR_FILE_EXECUTABLE), -1);
    fs::permissions(file, fs::perms::owner_exec, fs::perm_options::add);
    EXPECT_EQ(Check(file, VTXPR_FILE_EXECUTABLE | VTXPR_FILE_READABLE), 0);
    fs::permissions(file, fs::perms::owner_read);
    EXPECT_EQ(Check(file, VTXPR_FILE_WRITABLE), -1);
    EXPECT_EQ(Check(file, VTXPR_FILE_READABLE), 0);

    EXPECT_EQ(Check(scratch.path(), VTXPR_FILE_DIRECTORY | VTXPR_FILE_EXISTS), 0);
    EXPECT_EQ(Check(scratch.path(), VTXPR_FILE_REGULAR), -1);

    // Nothing there, an empty path, a null path, no flags asked on a missing
    // file: all -1.
    EXPECT_EQ(Check(scratch / "missing.log", VTXPR_FILE_EXISTS), -1);
    EXPECT_EQ(Check(scratch / "missing.log", 0), -1);
    EXPECT_EQ(VTXPR_CheckFile(u"", 0), -1);
    EXPECT_EQ(VTXPR_CheckFile(nullptr, 0), -1);

    // A link counts as what it points at; a dangling link as nothing.
    fs::create_symlink(file, scratch / "link.log");
    EXPECT_EQ(Check(scratch / "link.log", VTXPR_FILE_REGULAR), 0);
    fs::create_symlink(scratch / "gone", scratch / "dangling");
    EXPECT_EQ(Check(scratch / "dangling", VTXPR_FILE_EXISTS), -1);

    // Non-ASCII names reach the file system as UTF-8.
    WriteFile(scratch / "Jörg-€.log", "x");
    EXPECT_EQ(Check(scratch / "Jörg-€.log", VTXPR_FILE_REGULAR), 0);
}

TEST(RuntimeFileStatus, IgnoresATrailingSeparatorUnlessItFollowsADrive) {
    ScratchDir scratch;
    fs::create_directory(scratch / "logs");
    WriteFile(scratch / "agent.log", "x");

    EXPECT_EQ(Check(scratch / "logs/", VTXPR_FILE_DIRECTORY), 0);
    EXPECT_EQ(Check(scratch / "logs\\", VTXPR_FILE_DIRECTORY), 0);
    // A file followed by a separator is still examined as the file.
    EXPECT_EQ(Check(scratch / "agent.log/", VTXPR_FILE_REGULAR), 0);
    // A one-character path keeps its separator: the root itself.
    EXPECT_EQ(VTXPR_CheckFile(u"/", VTXPR_FILE_DIRECTORY), 0);

    // Drive letters: "D:\" keeps its separator, and a bare "C:" is examined
    // as "C:\". Names made to tell the forms apart: a directory "D:\" next
    // to a regular file "D:", and a directory "C:\" with no "C:".
    fs::create_directory(scratch / "D:\\");
    WriteFile(scratch / "D:", "x");
    fs::create_directory(scratch / "C:\\");
    EXPECT_EQ(Check(scratch / "D:\\", VTXPR_FILE_DIRECTORY), 0);
    EXPECT_EQ(Check(scratch / "D:", VTXPR_FILE_REGULAR), -1);
    EXPECT_EQ(Check(scratch / "C:", VTXPR_FILE_DIRECTORY), 0);
}

TEST(RuntimeFileOps, UnlinkDeletesFilesOnly) {
    ScratchDir scratch;
    const std::string file = scratch / "old.log";
    WriteFile(file, "x");

    EXPECT_EQ(VTXPR_Unlink(nullptr), 0);
    EXPECT_EQ(VTXPR_Unlink(Wide(file).c_str()), 0);
    EXPECT_FALSE(fs::exists(file));

    errno = 0;
    EXPECT_EQ(VTXPR_Unlink(Wide(file).c_str()), -1);
    EXPECT_EQ(errno, ENOENT);

    fs::create_directory(scratch / "keep");
    errno = 0;
    EXPECT_EQ(VTXPR_Unlink(Wide(scratch / "keep").c_str()), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_TRUE(fs::is_directory(scratch / "keep"));
}

TEST(RuntimeFileOps, RenameMovesButNeverReplaces) {
    ScratchDir scratch;
    const std::string from = scratch / "agent.log";
    const std::string to = scratch / "agent200512040000.log";
    WriteFile(from, "current");

    EXPECT_EQ(VTXPR_Rename(Wide(from).c_str(), Wide(to).c_str()), 0);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(fs::file_size(to), 7u);

    // A target that exists stays as it was, and so does the source.
    WriteFile(from, "newer text");
    EXPECT_EQ(VTXPR_Rename(Wide(from).c_str(), Wide(to).c_str()), EEXIST);
    EXPECT_EQ(fs::file_size(from), 10u);
    EXPECT_EQ(fs::file_size(to), 7u);

    EXPECT_EQ(VTXPR_Rename(Wide(scratch / "none").c_str(), Wide(scratch / "x").c_str()), ENOENT);
    EXPECT_EQ(VTXPR_Rename(nullptr, Wide(to).c_str()), EINVAL);
}

TEST(RuntimeFileOps, FOpenOpensWideNamesWithTheGivenMode) {
    ScratchDir scratch;
    const std::string path = scratch / "Ωmega.log";
    std::FILE* stream = VTXPR_FOpen(Wide(path).c_str(), "a+");
    ASSERT_NE(stream, nullptr);
    std::fputs("one\n", stream);
    std::fclose(stream);
    stream = VTXPR_FOpen(Wide(path).c_str(), "a+");
    ASSERT_NE(stream, nullptr);
    std::fputs("two\n", stream);
    std::fclose(stream);
    EXPECT_EQ(fs::file_size(path), 8u); // appended, not truncated

    EXPECT_EQ(VTXPR_FOpen(Wide(scratch / "missing").c_str(), "r"), nullptr);
    EXPECT_EQ(VTXPR_FOpen(nullptr, "r"), nullptr);
    EXPECT_EQ(VTXPR_FOpen(Wide(path).c_str(), nullptr), nullptr);
}

TEST(RuntimeDirectory, ReadFlagsSkipDotsAndHiddenNames) {
    ScratchDir scratch;
    WriteFile(scratch / "agent.log", "x");
    WriteFile(scratch / ".profile", "x");
    WriteFile(scratch / "Jörg.log", "x");
    fs::create_directory(scratch / "sub");

    using Names = std::set<std::u16string>;
    EXPECT_EQ(List(scratch.path(), 0),
              (Names{u".", u"..", u"agent.log", u".profile", u"Jörg.log", u"sub"}));
    EXPECT_EQ(List(scratch.path(), VTXPR_DIR_SKIP_DOT),
              (Names{u"..", u"agent.log", u".profile", u"Jörg.log", u"sub"}));
    EXPECT_EQ(List(scratch.path(), VTXPR_DIR_SKIP_DOTDOT),
              (Names{u".", u"agent.log", u".profile", u"Jörg.log", u"sub"}));
    EXPECT_EQ(List(scratch.path(), VTXPR_DIR_SKIP_DOT | VTXPR_DIR_SKIP_DOTDOT),
              (Names{u"agent.log", u".profile", u"Jörg.log", u"sub"}));
    EXPECT_EQ(List(scratch.path(), VTXPR_DIR_SKIP_HIDDEN),
              (Names{u"agent.log", u"Jörg.log", u"sub"}));

    // An empty directory with the dots skipped ends at the first read, and
    // reading past the end stays at the end.
    fs::create_directory(scratch / "empty");
    VTXPR_DIR* dir = VTXPR_OpenDir(Wide(scratch / "empty").c_str());
    ASSERT_NE(dir, nullptr);
    VTXPR_DIRENT* entry = nullptr;
    EXPECT_EQ(VTXPR_ReadDir(dir, &entry, VTXPR_DIR_SKIP_HIDDEN), 0);
    EXPECT_EQ(entry, nullptr);
    EXPECT_EQ(VTXPR_ReadDir(dir, &entry, VTXPR_DIR_SKIP_HIDDEN), 0);
    EXPECT_EQ(entry, nullptr);
    EXPECT_EQ(VTXPR_CloseDir(dir), 0);
}

TEST(RuntimeDirectory, OpenRefusesNonDirectoriesAndReadReportsAVanishedOne) {
    ScratchDir scratch;
    WriteFile(scratch / "file", "x");
    EXPECT_EQ(VTXPR_OpenDir(Wide(scratch / "file").c_str()), nullptr);
    EXPECT_EQ(VTXPR_OpenDir(Wide(scratch / "missing").c_str()), nullptr);
    EXPECT_EQ(VTXPR_OpenDir(u""), nullptr);
    EXPECT_EQ(VTXPR_OpenDir(nullptr), nullptr);
    EXPECT_EQ(VTXPR_CloseDir(nullptr), 0);
    EXPECT_EQ(VTXPR_EntryName(nullptr), nullptr);
    VTXPR_FreeEntry(nullptr);

    // The search starts at the first real read: a directory removed after
    // it was opened is an error, not an empty listing.
    fs::create_directory(scratch / "going");
    VTXPR_DIR* dir = VTXPR_OpenDir(Wide(scratch / "going/").c_str());
    ASSERT_NE(dir, nullptr);
    fs::remove(scratch / "going");
    // An uninitialised entry variable is not freed on the first read.
    VTXPR_DIRENT* entry = reinterpret_cast<VTXPR_DIRENT*>(0x1);
    EXPECT_EQ(VTXPR_ReadDir(dir, &entry, VTXPR_DIR_SKIP_DOT | VTXPR_DIR_SKIP_DOTDOT), -1);
    EXPECT_EQ(entry, nullptr);
    EXPECT_EQ(VTXPR_ReadDir(nullptr, &entry, 0), -1);
    EXPECT_EQ(VTXPR_CloseDir(dir), 0);
}
