// The portable runtime where the agent's runs cannot show a fault: UTF-8
// and UTF-16 conversion of ill-formed text and into short buffers, case
// folding, locks and threads, sleeping, and the small tables and error
// numbers. The directory and file calls are the log rotation's, tested there.
#include "runtime/vtx_progname.h"
#include "runtime/vtx_str.h"
#include "runtime/vtxos_file.h"
#include "runtime/vtxpr_errno.h"
#include "runtime/vtxpr_mem.h"
#include "runtime/vtxpr_signal.h"
#include "runtime/vtxpr_sync.h"
#include "runtime/vtxpr_threads.h"
#include "runtime/vtxpr_time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

const std::u16string R(1, u'\xFFFD'); // the replacement character

TEST(RuntimeUtf, WellFormedTextRoundTripsAndIllFormedBecomesReplacements) {
    const std::pair<std::u16string, std::string> pairs[] = {
        {u"Gr\u00FC\u00DFe \u20AC", "Gr\xC3\xBC\xC3\x9F"
                                    "e \xE2\x82\xAC"},
        {u"\u07FF\u0800\uFFFF", "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {u"\U0001F600\U0010FFFF", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"}, // surrogate pairs
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},          // views carry NULs
    };
    for (const auto& [wide, utf8] : pairs) {
        EXPECT_EQ(VTX_ToUtf8(wide), utf8);
        EXPECT_EQ(VTX_FromUtf8(utf8), wide);
    }
    // Each unpaired surrogate is one U+FFFD; a low half before a high half
    // is two strays, not a pair.
    EXPECT_EQ(VTX_ToUtf8(std::u16string{u'A', u'\xDE00', u'\xD83D', u'B', u'\xD83D'}),
              "A\xEF\xBF\xBD\xEF\xBF\xBD"
              "B\xEF\xBF\xBD");
    // UTF-8: one U+FFFD for each maximal part that cannot be completed.
    const std::pair<std::string, std::u16string> cases[] = {
        {"\x80", R},                             // stray continuation
        {"\xC0\xAF", R + R},                     // overlong lead
        {"\xE0\x80\x80", R + R + R},             // overlong form
        {"\xED\xA0\x80", R + R + R},             // encoded surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},     // above U+10FFFF
        {"\xF5\x80\xFF", R + R + R},             // no such lead bytes
        {"\xE2\x82\x41", R + u"A"},              // cut short
        {"x\xF0\x9F\x98", u"x" + R},             // cut short at the end
        {"\xE2\x82\xE2\x82\xAC", R + u"\u20AC"}, // a new lead restarts
    };
    for (const auto& [utf8, wide] : cases)
        EXPECT_EQ(VTX_FromUtf8(utf8), wide) << "input of " << utf8.size() << " bytes";
}

TEST(RuntimeUtf, BufferFormsTerminateCountAndNeverSplitACharacter) {
    char narrow[8] = "xxxxxxx";
    EXPECT_EQ(VTX_Utf16ToUtf8(u"a\u20AC", narrow, 5), 5u); // 1 + 3 bytes + terminator
    EXPECT_STREQ(narrow, "a\xE2\x82\xAC");
    // One byte short: the euro sign is left out whole, and nothing after it.
    EXPECT_EQ(VTX_Utf16ToUtf8(u"a\u20ACb", narrow, 4), 6u);
    EXPECT_STREQ(narrow, "a");
    EXPECT_EQ(VTX_Utf16ToUtf8(u"\U0001F600", nullptr, 0), 5u);
    EXPECT_EQ(VTX_Utf16ToUtf8(u"abc", narrow, 0), 4u);
    EXPECT_EQ(narrow[0], 'a'); // size 0: untouched
    EXPECT_EQ(VTX_Utf16ToUtf8(nullptr, narrow, 8), 1u);
    EXPECT_STREQ(narrow, "");
    char16_t wide[4];
    EXPECT_EQ(VTX_Utf8ToUtf16("ab\xF0\x9F\x98\x80", wide, 4), 5u);
    EXPECT_EQ(std::u16string(wide), u"ab"); // the pair does not fit whole
    EXPECT_EQ(VTX_Utf8ToUtf16("a\xF0\x9F\x98\x80", wide, 4), 4u);
    EXPECT_EQ(std::u16string(wide), u"a\U0001F600");
    EXPECT_EQ(VTX_Utf8ToUtf16("\x80z", wide, 4), 3u);
    EXPECT_EQ(std::u16string(wide), R + u"z");

    // Bounded copies zero-fill, and do not terminate a copy that fills.
    char16_t dest[8];
    std::u16string(8, u'x').copy(dest, 8);
    EXPECT_EQ(VTX_WStrNCpy(dest, u"abc", 5), dest);
    EXPECT_EQ(std::u16string(dest, 8), std::u16string(u"abc\0\0xxx", 8));
    VTX_WStrNCpy(dest, u"abcdef", 3);
    EXPECT_EQ(std::u16string(dest, 8), std::u16string(u"abc\0\0xxx", 8));
    EXPECT_EQ(VTX_WStrLen(u"\U0001F600x"), 3u); // code units, not characters
}

TEST(RuntimeWideStrings, CaseInsensitiveOrderFoldsToLowerCase) {
    EXPECT_EQ(VTX_WStrICmp(u"Junk E-Mail \u00C4\u00D6\u00DC", u"JUNK e-mail \u00E4\u00F6\u00FC"),
              0);
    EXPECT_EQ(VTX_WStrICmp(u"\u041F\u0420\u0418 \u03A3\u0391", u"\u043F\u0440\u0438 \u03C3\u03B1"),
              0);
    // Folding to lower, not upper, decides the order against '_' (0x5F).
    EXPECT_LT(VTX_WStrICmp(u"_rule", u"Rule"), 0);
    EXPECT_LT(VTX_WStrICmp(u"a", u"B"), 0);
    EXPECT_GT(VTX_WStrCmp(u"a", u"B"), 0);
    // Prefixes first; units compare unsigned; nulls sort like empty strings.
    EXPECT_LT(VTX_WStrICmp(u"abc", u"ABCD"), 0);
    EXPECT_GT(VTX_WStrICmp(u"\xFF01", u"z"), 0);
    EXPECT_GT(VTX_WStrCmp(u"\xFF01", u"z"), 0);
    EXPECT_EQ(VTX_WStrICmp(nullptr, u""), 0);
    EXPECT_LT(VTX_WStrCmp(nullptr, u"a"), 0);

    // Pairs from runs of every shape: contiguous, alternating, single.
    std::u16string lowered = u"Z\u00DE\u0100\u012E\u0130\u0178\u0400\u0531\u10A0\u1E9E\u2160"
                             u"\u212A\u24B6\uFF21";
    for (char16_t& unit : lowered)
        unit = VTX_WToLower(unit);
    EXPECT_EQ(lowered, u"z\u00FE\u0101\u012F"
                       u"i\u00FF\u0450\u0561\u2D00\u00DF\u2170"
                       u"k\u24D0\uFF41");
    // Lowering twice changes nothing more (a wrong step in any run of the
    // table shows), and surrogate halves stay as they are.
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
        const char16_t once = VTX_WToLower(static_cast<char16_t>(unit));
        ASSERT_EQ(VTX_WToLower(once), once) << std::hex << unit;
        ASSERT_EQ(once >= 0xD800 && once <= 0xDFFF, unit >= 0xD800 && unit <= 0xDFFF);
    }
}

struct Gate {
    std::atomic<bool> open{false}, started{false}, finished{false};
    std::uint32_t result = 0;
    VTXPR_LOCK* lock = nullptr;
};

std::uint32_t WaitAtGate(void* argument) {
    Gate* gate = static_cast<Gate*>(argument);
    const std::uint32_t result = gate->result;
    if (gate->lock != nullptr)
        VTXPR_Lock(gate->lock);
    gate->started = true;
    while (!gate->open)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (gate->lock != nullptr)
        VTXPR_Unlock(gate->lock);
    gate->finished = true; // the gate may be gone once this is seen
    return result;
}

TEST(RuntimeThreads, ExitCodesAndRecursiveLocks) {
    Gate gate;
    gate.result = 42;
    VTXPR_THREAD thread = nullptr;
    ASSERT_EQ(VTXPR_CreateThread(&thread, nullptr, WaitAtGate, &gate), 0);
    std::uint32_t code = 0;
    EXPECT_EQ((std::tuple{VTXPR_GetExitCodeThread(thread, &code), code}),
              std::tuple(0, VTXPR_STILL_ACTIVE));
    gate.open = true;
    EXPECT_EQ((std::tuple{VTXPR_JoinThread(thread), gate.finished.load()}), std::tuple(0, true));
    EXPECT_EQ((std::tuple{VTXPR_GetExitCodeThread(thread, &code), code}), std::tuple(0, 42u));
    EXPECT_EQ((std::tuple{VTXPR_CloseThread(&thread), thread}), std::tuple(0, nullptr));
    EXPECT_EQ(VTXPR_GetExitCodeThread(nullptr, &code), -1);
    EXPECT_EQ(VTXPR_CloseThread(&thread), -1);

    // A lock is recursive for its holder and exclusive for others.
    VTXPR_LOCK* lock = VTXPR_CreateLock();
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ((std::tuple{VTXPR_Lock(lock), VTXPR_Lock(lock)}), std::tuple(0, 0));
    Gate other;
    other.lock = lock;
    other.open = true;
    ASSERT_EQ(VTXPR_CreateThread(&thread, nullptr, WaitAtGate, &other), 0);
    EXPECT_EQ(VTXPR_Unlock(lock), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(other.started) << "entered after only one of two releases";
    EXPECT_EQ((std::tuple{VTXPR_Unlock(lock), VTXPR_JoinThread(thread), other.finished.load(),
                          VTXPR_CloseThread(&thread)}),
              std::tuple(0, 0, true, 0));
    EXPECT_EQ((std::tuple{VTXPR_Lock(nullptr), VTXPR_Unlock(nullptr)}), std::tuple(-1, -1));
    EXPECT_EQ(VTXPR_DestroyLock(lock), 0);
    VTXPR_Free(lock);
}

// A clock that records every sleep instead of sleeping.
struct RecordingClock {
    RecordingClock() {
        const VTXPR_CLOCK clock{[](void*) -> std::int64_t { return 0; }, &Sleep, this};
        VTXPR_SetClock(&clock);
    }
    ~RecordingClock() { VTXPR_SetClock(nullptr); }
    static void Sleep(void* self, std::uint32_t ms) {
        static_cast<RecordingClock*>(self)->sleeps.push_back(ms);
    }
    std::vector<std::uint32_t> sleeps;
};

TEST(RuntimeTables, SleepsErrorsTheProgramNameAndTheCurrentDirectory) {
    {
        RecordingClock clock;
        for (const double seconds : {0.0005, 0.01, 0.0109, 1.005, 2.5, -3.0, std::nan(""), 1e12})
            VTXPR_Sleep(seconds);
        // 1.005 has no exact binary form and still sleeps 1005; the longest
        // wait is capped at the counter's range.
        EXPECT_EQ(clock.sleeps,
                  (std::vector<std::uint32_t>{0, 10, 10, 1005, 2500, 0, 0,
                                              std::numeric_limits<std::uint32_t>::max()}));
    }
    // The platform's last error is per thread; other kinds read errno.
    VTXPR_SetPlatformError(1332);
    errno = EACCES;
    EXPECT_EQ(std::tuple(VTXPR_LastError(VTXPR_ERR_PLATFORM), VTXPR_LastError(VTXPR_ERR_CRT),
                         VTXPR_LastError(VTXPR_ERR_SOCKET)),
              std::tuple(1332, EACCES, EACCES));
    std::uint32_t seen_elsewhere = 99;
    std::thread([&] { seen_elsewhere = VTXPR_PlatformError(); }).join();
    EXPECT_EQ(seen_elsewhere, 0u);
    VTXPR_SetPlatformError(0);

    // The program name is the file-name part of the path, as a reference.
    static const char16_t kPath[] = u"C:\\Program Files\\Sortwell\\ovo.exe";
    VTXPR_SetProgramName(kPath);
    EXPECT_EQ(VTXPR_ProgramName(), kPath + 26);
    VTXPR_SetProgramName(u"/usr/sbin/ovo");
    EXPECT_EQ(std::u16string(VTXPR_ProgramName()), u"ovo");
    VTXPR_SetProgramName(nullptr);
    EXPECT_EQ(std::u16string(VTXPR_ProgramName()), u"");

    // The current directory fits a buffer one longer than its text; one short is -1.
    const std::u16string here = VTX_FromUtf8(std::filesystem::current_path().string());
    std::vector<char16_t> buffer(here.size() + 1);
    EXPECT_EQ((std::tuple{VTXPR_GetCurrentDirectory(buffer.data(), buffer.size()),
                          std::u16string(buffer.data()),
                          VTXPR_GetCurrentDirectory(buffer.data(), here.size())}),
              std::tuple(0, here, -1));
}

} // namespace
