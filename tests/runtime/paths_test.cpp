// Path splitting, the separator, the current directory and the program name.
#include "runtime/vtx_progname.h"
#include "runtime/vtx_str.h"
#include "runtime/vtxos_file.h"
#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

struct Split {
    std::u16string text; // the path after the split
    bool has_parts = false;
    std::u16string directory;
    std::u16string file_name;
};

Split SplitOf(std::u16string path) {
    Split result;
    char16_t* directory = reinterpret_cast<char16_t*>(0x1);
    char16_t* file_name = reinterpret_cast<char16_t*>(0x1);
    VTXPR_SplitPath(path.data(), &directory, &file_name);
    EXPECT_EQ(directory == nullptr, file_name == nullptr);
    result.has_parts = directory != nullptr;
    if (result.has_parts) {
        EXPECT_EQ(directory, path.data());
        result.directory = directory;
        result.file_name = file_name;
    }
    result.text = path.c_str();
    return result;
}

} // namespace

TEST(RuntimePaths, SplitAtTheLastSeparatorOfEitherKind) {
    EXPECT_EQ(VTXPR_PathSeparator(), u'/');

    Split split = SplitOf(u"logs/agent.log");
    ASSERT_TRUE(split.has_parts);
    EXPECT_EQ(split.directory, u"logs");
    EXPECT_EQ(split.file_name, u"agent.log");

    split = SplitOf(u"logs\\agent.log");
    ASSERT_TRUE(split.has_parts);
    EXPECT_EQ(split.directory, u"logs");
    EXPECT_EQ(split.file_name, u"agent.log");

    // The last separator wins, whichever kind it is.
    split = SplitOf(u"/var/log\\sortwell/agent.log");
    ASSERT_TRUE(split.has_parts);
    EXPECT_EQ(split.directory, u"/var/log\\sortwell");
    EXPECT_EQ(split.file_name, u"agent.log");
    split = SplitOf(u"C:\\logs/old\\agent.log");
    ASSERT_TRUE(split.has_parts);
    EXPECT_EQ(split.directory, u"C:\\logs/old");

    // A trailing separator leaves an empty file name.
    split = SplitOf(u"logs/");
    ASSERT_TRUE(split.has_parts);
    EXPECT_EQ(split.directory, u"logs");
    EXPECT_EQ(split.file_name, u"");

    // No separator, or only one in the first place: nothing is split and the
    // path stays as it was.
    for (const std::u16string path : {u"\\agent.log", u"/agent.log", u"agent.log", u"/", u""}) {
        split = SplitOf(path);
        EXPECT_FALSE(split.has_parts) << VTX_ToUtf8(path);
        EXPECT_EQ(split.text, path);
    }
}

TEST(RuntimePaths, CurrentDirectoryFitsOrFails) {
    const std::string current = std::filesystem::current_path().string();
    char16_t buffer[4096];
    ASSERT_EQ(VTXPR_GetCurrentDirectory(buffer, 4096), 0);
    EXPECT_EQ(std::u16string(buffer), runtime_test::Wide(current));

    // Exactly room for the text and its terminator, then one short.
    EXPECT_EQ(VTXPR_GetCurrentDirectory(buffer, current.size() + 1), 0);
    EXPECT_EQ(VTXPR_GetCurrentDirectory(buffer, current.size()), -1);
    EXPECT_EQ(VTXPR_GetCurrentDirectory(nullptr, 4096), -1);
}

TEST(RuntimeProgramName, KeepsTheFileNamePartAsAReference) {
    static const char16_t kLinuxPath[] = u"/usr/sbin/ovo";
    VTXPR_SetProgramName(kLinuxPath);
    EXPECT_EQ(std::u16string(VTXPR_ProgramName()), u"ovo");
    EXPECT_EQ(VTXPR_ProgramName(), kLinuxPath + 10);

    static const char16_t kWindowsPath[] = u"C:\\Program Files\\Sortwell\\ovo.exe";
    VTXPR_SetProgramName(kWindowsPath);
    EXPECT_EQ(std::u16string(VTXPR_ProgramName()), u"ovo.exe");

    static const char16_t kBare[] = u"ovo";
    VTXPR_SetProgramName(kBare);
    EXPECT_EQ(VTXPR_ProgramName(), kBare);

    VTXPR_SetProgramName(nullptr);
    ASSERT_NE(VTXPR_ProgramName(), nullptr);
    EXPECT_EQ(VTXPR_ProgramName()[0], u'\0');
}
