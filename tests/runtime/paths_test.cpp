// Path splitting, the current directory and the program name.
#include "runtime/vtx_progname.h"
#include "runtime/vtx_str.h"
#include "runtime/vtxos_file.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

// "directory|file name" after splitting `path`, or "-" when it is not split
// (and then the path must be unchanged).
std::u16string SplitOf(std::u16string path) {
    const std::u16string original = path;
    char16_t* directory = reinterpret_cast<char16_t*>(0x1);
    char16_t* file_name = directory;
    VTXPR_SplitPath(path.data(), &directory, &file_name);
    if (directory == nullptr && file_name == nullptr) {
        EXPECT_EQ(std::u16string(path.c_str()), original);
        return u"-";
    }
    EXPECT_EQ(directory, path.data());
    return std::u16string(directory) + u"|" + file_name;
}

} // namespace

TEST(RuntimePaths, SplitAtTheLastSeparatorOfEitherKind) {
    EXPECT_EQ(VTXPR_PathSeparator(), u'/');
    EXPECT_EQ(SplitOf(u"logs/agent.log"), u"logs|agent.log");
    EXPECT_EQ(SplitOf(u"logs\\agent.log"), u"logs|agent.log");
    EXPECT_EQ(SplitOf(u"/var/log\\sortwell/agent.log"), u"/var/log\\sortwell|agent.log");
    EXPECT_EQ(SplitOf(u"C:\\logs/old\\agent.log"), u"C:\\logs/old|agent.log");
    EXPECT_EQ(SplitOf(u"logs/"), u"logs|");
    // No separator, or only one in the first place: nothing is split.
    for (const char16_t* path : {u"\\agent.log", u"/agent.log", u"agent.log", u"/", u""}) {
        EXPECT_EQ(SplitOf(path), u"-") << VTX_ToUtf8(path);
    }
}

TEST(RuntimePaths, CurrentDirectoryFitsOrFails) {
    const std::u16string current = VTX_FromUtf8(std::filesystem::current_path().string());
    char16_t buffer[4096];
    ASSERT_EQ(VTXPR_GetCurrentDirectory(buffer, current.size() + 1), 0);
    EXPECT_EQ(std::u16string(buffer), current);
    EXPECT_EQ(VTXPR_GetCurrentDirectory(buffer, current.size()), -1);
    EXPECT_EQ(VTXPR_GetCurrentDirectory(nullptr, 4096), -1);
}

TEST(RuntimeProgramName, KeepsTheFileNamePartAsAReference) {
    static const char16_t kLinuxPath[] = u"/usr/sbin/ovo";
    VTXPR_SetProgramName(kLinuxPath);
    EXPECT_EQ(VTXPR_ProgramName(), kLinuxPath + 10);

    static const char16_t kWindowsPath[] = u"C:\\Program Files\\Sortwell\\ovo.exe";
    VTXPR_SetProgramName(kWindowsPath);
    EXPECT_EQ(std::u16string(VTXPR_ProgramName()), u"ovo.exe");

    static const char16_t kBare[] = u"ovo";
    VTXPR_SetProgramName(kBare);
    EXPECT_EQ(VTXPR_ProgramName(), kBare);

    VTXPR_SetProgramName(nullptr);
    EXPECT_EQ(std::u16string(VTXPR_ProgramName()), u"");
}
