// The event-log message table, compiled into the program.
//
// An event names its text by event id and its category by number; an event
// viewer puts the event's insertion strings into the text (%1, %2, ...; a
// %n!s! or %n!d! form names the insertion's printf conversion) and shows the
// category by its name. Each text ends in CR LF, as the message compiler
// leaves it.
#pragma once
#include <cstdint>

// Events of the logging core: the whole log line is the one insertion.
constexpr std::uint32_t MSG_XAL_LOG_INFO = 0x40000200u;    // "INFO: '%1'."
constexpr std::uint32_t MSG_XAL_LOG_WARNING = 0x80000201u; // "WARNING: '%1'."
constexpr std::uint32_t MSG_XAL_LOG_ERROR = 0xC0000202u;   // "ERROR: '%1'."

// Events of the service framework, in category 39.
constexpr std::uint32_t MSG_SERVICE_STARTED = 0x40000600u;      // "%1!s! started."
constexpr std::uint32_t MSG_SERVICE_STOPPED = 0x40000601u;      // "%1!s! stopped."
constexpr std::uint32_t MSG_SERVICE_STATUS_ERROR = 0xC0000602u; // "%1!d! Service Status Error."

// Categories that the program names.
constexpr std::uint16_t CATEGORY_NONE = 0;
constexpr std::uint16_t CATEGORY_GENERIC = 1;
constexpr std::uint16_t CATEGORY_UTILITIES = 2;
constexpr std::uint16_t CATEGORY_COMMON = 10;
constexpr std::uint16_t CATEGORY_SORTWELL = 28;
constexpr std::uint16_t CATEGORY_SERVICE_CONTROLLER = 39;

// The text of `event_id`, with its final CR LF, or null for an id that the
// table does not hold.
const char16_t* EventMessageText(std::uint32_t event_id);

// The name of `category`, or null for a category that the table does not
// name.
const char16_t* EventCategoryName(std::uint16_t category);
