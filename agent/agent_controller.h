// The Agent controller: the base controller's one subclass. It chooses the
// mode (normal, once, remove), reads the settings, drives the mailbox
// engine through the cycle of passes and turns shutdown and reload requests
// into one-byte flags that the cycle polls at least once a second.
#pragma once
#include "agent/agent_settings.h"
#include "agent/mailbox_engine.h"
#include "controller/base_controller.h"
#include "platform/win32/win32_base.h"

#include <cstdint>

// The service's name and display name.
constexpr const char16_t* AGENT_SERVICE_NAME = u"XALSWL";
constexpr const char16_t* AGENT_DISPLAY_NAME = u"Altavane Sortwell for Exchange";
// The event another process creates to ask for a remove pass; set by the
// agent when that pass is over.
constexpr const char16_t* AGENT_REMOVE_EVENT_NAME = u"Global\\REMOVE_RULES";

class agent_controller : public base_controller {
public:
    agent_controller() = default;
    // Closes the remove-rules event when one is open; the mailbox engine is
    // already gone through uninitialize.
    ~agent_controller() override;

    // The cycle of passes; returns 0.
    std::int32_t run(std::int32_t argc, char16_t** argv) override;
    void on_shutdown() override;
    void on_reload() override;
    // 0 on success, 1 on failure (already reported).
    std::int32_t initialize(std::int32_t argc, char16_t** argv) override;
    void uninitialize() override;

    // Reads the settings into `settings`: 0, or 28001 (logged).
    std::int32_t read_settings();

    // Members, in order.
    mailbox_engine* engine = nullptr;
    agent_flag stop_flag{0};
    agent_flag reconfigure_flag{0};
    std::uint8_t once_flag = 0;
    std::uint8_t remove_flag = 0;
    HANDLE remove_event = nullptr;
    agent_settings settings{};
};

// The maintenance window of whole hours [begin, end) of the local day, also
// across midnight (end < begin).
bool maintenance_window_open(std::uint32_t begin, std::uint32_t end, std::uint32_t hour);
// True when `hour` lies outside the closed range begin..end (end included),
// where a finished maintenance is re-armed.
bool maintenance_window_passed(std::uint32_t begin, std::uint32_t end, std::uint32_t hour);
// The window checks made before and after each pass on `engine`'s
// maintenance state, at local hour `hour` (logging 28018 and 28019).
void maintenance_start_check(mailbox_engine* engine, const agent_settings& settings,
                             std::uint32_t hour);
void maintenance_end_check(mailbox_engine* engine, const agent_settings& settings,
                           std::uint32_t hour);
