#include "resources/eventlog_messages.h"

namespace {

struct MessageEntry {
    std::uint32_t id;
    const char16_t* text;
};

constexpr MessageEntry kMessages[] = {
    {MSG_XAL_LOG_INFO, u"INFO: '%1'.\r\n"},
    {MSG_XAL_LOG_WARNING, u"WARNING: '%1'.\r\n"},
    {MSG_XAL_LOG_ERROR, u"ERROR: '%1'.\r\n"},
    {MSG_SERVICE_STARTED, u"%1!s! started.\r\n"},
    {MSG_SERVICE_STOPPED, u"%1!s! stopped.\r\n"},
    {MSG_SERVICE_STATUS_ERROR, u"%1!d! Service Status Error.\r\n"},
};

struct CategoryEntry {
    std::uint16_t category;
    const char16_t* name;
};

constexpr CategoryEntry kCategories[] = {
    {CATEGORY_NONE, u"None"},
    {CATEGORY_GENERIC, u"Generic"},
    {CATEGORY_UTILITIES, u"Utilities"},
    {CATEGORY_COMMON, u"Common"},
    // The deferral notices of the service framework's control signals.
    {19, u"Service Signals"},
    {CATEGORY_SORTWELL, u"Sortwell"},
    {CATEGORY_SERVICE_CONTROLLER, u"Service Controller"},
};

} // namespace

const char16_t* EventMessageText(std::uint32_t event_id) {
    for (const MessageEntry& entry : kMessages) {
        if (entry.id == event_id) {
            return entry.text;
        }
    }
    return nullptr;
}

const char16_t* EventCategoryName(std::uint16_t category) {
    for (const CategoryEntry& entry : kCategories) {
        if (entry.category == category) {
            return entry.name;
        }
    }
    return nullptr;
}
