// File status, deletion, renaming, opening and directory listing, on real
// temporary files and directories.
#include "runtime/vtx_str.h"
#include "runtime/vtxpr_dir.h"
#include "runtime/vtxpr_fileio.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using ScratchDir = swtest::TempDir;
using swtest::WriteFile;

// Paths in these tests are UTF-8; the conversion has tests of its own.
std::u16string W(const std::string& path) {
    return VTX_FromUtf8(path);
}

int Check(const std::string& path, int flags) {
    return VTXPR_CheckFile(W(path).c_str(), flags);
}

// Every name the listing gives with `flags`.
std::set<std::u16string> List(const std::string& path, int flags) {
    std::set<std::u16string> names;
    VTXPR_DIR* dir = VTXPR_OpenDir(W(path).c_str());
    EXPECT_NE(dir, nullptr);
    VTXPR_DIRENT* entry = nullptr;
    while (dir != nullptr && VTXPR_ReadDir(dir, &entry, flags) == 0 && entry != nullptr) {
        EXPECT_TRUE(names.insert(VTXPR_EntryName(entry)).second) << "a name came twice";
    }
    EXPECT_EQ(entry, nullptr) << "the listing ended on an error";
    EXPECT_EQ(VTXPR_CloseDir(dir), 0);
    return names;
}

} // namespace

TEST(RuntimeFileStatus, TellsFilesFromDirectoriesAndReadsOwnerPermissions) {
    ScratchDir scratch;
    const std::string file = scratch / "Jörg.log";
    WriteFile(file, "line\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);

    EXPECT_EQ(Check(file, VTXPR_FILE_EXISTS | VTXPR_FILE_REGULAR | VTXPR_FILE_READABLE |
                              VTXPR_FILE_WRITABLE),
              0);
    EXPECT_EQ(Check(file, VTXPR_FILE_DIRECTORY), -1);
    EXPECT_EQ(Check(file, VTXPR_FILE_EXECUTABLE), -1);
    fs::permissions(file, fs::perms::owner_exec);
    EXPECT_EQ(Check(file, VTXPR_FILE_EXECUTABLE), 0);
    EXPECT_EQ(Check(file, VTXPR_FILE_READABLE), -1);

    EXPECT_EQ(Check(scratch.path(), VTXPR_FILE_DIRECTORY | VTXPR_FILE_EXISTS), 0);
    EXPECT_EQ(Check(scratch.path(), VTXPR_FILE_REGULAR), -1);
    EXPECT_EQ(Check(scratch / "missing.log", 0), -1);
    EXPECT_EQ(VTXPR_CheckFile(u"", 0), -1);
    EXPECT_EQ(VTXPR_CheckFile(nullptr, 0), -1);

    // A dangling link is nothing.
    fs::create_symlink(scratch / "gone", scratch / "dangling");
    EXPECT_EQ(Check(scratch / "dangling", VTXPR_FILE_EXISTS), -1);
}

TEST(RuntimeFileStatus, IgnoresATrailingSeparatorUnlessItFollowsADrive) {
    ScratchDir scratch;
    fs::create_directory(scratch / "logs");
    WriteFile(scratch / "agent.log", "x");
    EXPECT_EQ(Check(scratch / "logs/", VTXPR_FILE_DIRECTORY), 0);
    EXPECT_EQ(Check(scratch / "logs\\", VTXPR_FILE_DIRECTORY), 0);
    EXPECT_EQ(Check(scratch / "agent.log/", VTXPR_FILE_REGULAR), 0);
    EXPECT_EQ(VTXPR_CheckFile(u"/", VTXPR_FILE_DIRECTORY), 0);

    // "D:\" keeps its separator and a bare "C:" is examined as "C:\". The
    // names tell the forms apart: a directory "D:\" beside a file "D:", and
    // a directory "C:\" with no "C:".
    fs::create_directory(scratch / "D:\\");
    WriteFile(scratch / "D:", "x");
    fs::create_directory(scratch / "C:\\");
    EXPECT_EQ(Check(scratch / "D:\\", VTXPR_FILE_DIRECTORY), 0);
    EXPECT_EQ(Check(scratch / "C:", VTXPR_FILE_DIRECTORY), 0);
}

TEST(RuntimeFileOps, UnlinkAndRename) {
    ScratchDir scratch;
    const std::string from = scratch / "agent.log";
    const std::string to = scratch / "agent200512040000.log";

    // Opening for appending, and a rename that fails with ENOENT, show in
    // the log file tests (an earlier run's lines kept, a vanished file).
    WriteFile(from, "one\ntwo\n");
    // Renaming moves the file but never replaces one already there.
    EXPECT_EQ(VTXPR_Rename(W(from).c_str(), W(to).c_str()), 0);
    EXPECT_FALSE(fs::exists(from));
    WriteFile(from, "newer");
    EXPECT_EQ(VTXPR_Rename(W(from).c_str(), W(to).c_str()), EEXIST);
    EXPECT_EQ(fs::file_size(from), 5u);
    EXPECT_EQ(fs::file_size(to), 8u);

    // Deleting removes files only, and a null path is nothing to do.
    EXPECT_EQ(VTXPR_Unlink(nullptr), 0);
    EXPECT_EQ(VTXPR_Unlink(W(to).c_str()), 0);
    EXPECT_FALSE(fs::exists(to));
    errno = 0;
    EXPECT_EQ(VTXPR_Unlink(W(to).c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(VTXPR_Unlink(W(scratch.path()).c_str()), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_TRUE(fs::is_directory(scratch.path()));
}

TEST(RuntimeDirectory, ReadFlagsSkipDotsAndHiddenNames) {
    ScratchDir scratch;
    WriteFile(scratch / "agent.log", "x");
    WriteFile(scratch / ".profile", "x");
    WriteFile(scratch / "Jörg.log", "x");
    fs::create_directory(scratch / "sub");

    using Names = std::set<std::u16string>;
    const Names all = {u".", u"..", u"agent.log", u".profile", u"J\u00F6rg.log", u"sub"};
    EXPECT_EQ(List(scratch.path(), 0), all);
    Names expected = all;
    expected.erase(u".");
    EXPECT_EQ(List(scratch.path(), VTXPR_DIR_SKIP_DOT), expected);
    expected.erase(u"..");
    EXPECT_EQ(List(scratch.path(), VTXPR_DIR_SKIP_DOT | VTXPR_DIR_SKIP_DOTDOT), expected);
    expected.insert(u".");
    EXPECT_EQ(List(scratch.path(), VTXPR_DIR_SKIP_DOTDOT), expected);
    EXPECT_EQ(List(scratch.path(), VTXPR_DIR_SKIP_HIDDEN),
              (Names{u"agent.log", u"J\u00F6rg.log", u"sub"}));

    // Reading past the end of an empty listing stays at the end.
    fs::create_directory(scratch / "empty");
    VTXPR_DIR* dir = VTXPR_OpenDir(W(scratch / "empty").c_str());
    ASSERT_NE(dir, nullptr);
    VTXPR_DIRENT* entry = nullptr;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(VTXPR_ReadDir(dir, &entry, VTXPR_DIR_SKIP_HIDDEN), 0);
        EXPECT_EQ(entry, nullptr);
    }
    EXPECT_EQ(VTXPR_CloseDir(dir), 0);
}

TEST(RuntimeDirectory, OpenRefusesNonDirectoriesAndReadReportsAVanishedOne) {
    ScratchDir scratch;
    WriteFile(scratch / "file", "x");
    EXPECT_EQ(VTXPR_OpenDir(W(scratch / "file").c_str()), nullptr);
    EXPECT_EQ(VTXPR_OpenDir(W(scratch / "missing").c_str()), nullptr);

    // The search starts at the first real read: a directory removed after
    // it was opened is an error, not an empty listing. The entry variable
    // is not freed on the first read, so it may start out as anything.
    fs::create_directory(scratch / "going");
    VTXPR_DIR* dir = VTXPR_OpenDir(W(scratch / "going/").c_str());
    ASSERT_NE(dir, nullptr);
    fs::remove(scratch / "going");
    VTXPR_DIRENT* entry = reinterpret_cast<VTXPR_DIRENT*>(0x1);
    EXPECT_EQ(VTXPR_ReadDir(dir, &entry, VTXPR_DIR_SKIP_DOT | VTXPR_DIR_SKIP_DOTDOT), -1);
    EXPECT_EQ(entry, nullptr);
    EXPECT_EQ(VTXPR_CloseDir(dir), 0);
}
