#include "resources/string_table.h"

namespace {

struct StringEntry {
    std::uint32_t id;
    const char16_t* text;
};

constexpr StringEntry kStrings[] = {
    {IDS_REMOVE_BANNER, u"Removing all rules from mailboxes. This may take a few moments..."},
    {IDS_UNRECOGNIZED, u"Unrecognized argument.\n"},
    {IDS_USAGE, u"\n\nUsage: ovo.exe [remove] [once]\n"},
    {IDS_REMOVE_KEYWORD, u"remove"},
    {IDS_PROGRAM_NAME, u"Sortwell"},
    {IDS_ONCE_KEYWORD, u"once"},
};

} // namespace

const char16_t* StringTableText(std::uint32_t id) {
    for (const StringEntry& entry : kStrings) {
        if (entry.id == id) {
            return entry.text;
        }
    }
    return nullptr;
}
