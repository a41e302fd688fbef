#include "agent/agent_controller.h"

#include "agent/agent_entry.h"
#include "controller/win32logging.h"
#include "log/xal_log.h"
#include "platform/win32/named_event.h"
#include "resources/string_table.h"
#include "runtime/vtx_str.h"

#include <new>

namespace {

constexpr int MSG_NO_MEMORY = 10013; // "Malloc error while attempting to allocate memory."

} // namespace

agent_controller::~agent_controller() {
    if (remove_event != nullptr) {
        CloseHandle(remove_event);
        remove_event = nullptr;
    }
}

void agent_controller::on_shutdown() {
    stop_flag.store(1);
}

void agent_controller::on_reload() {
    reconfigure_flag.store(1);
}

std::int32_t agent_controller::read_settings() {
    return agent_settings_read(&settings);
}

std::int32_t agent_controller::initialize(std::int32_t argc, char16_t** argv) {
    // 1. The remove-rules event. A handle from an earlier initialisation is
    // closed first, so each holds at most one connection to its creator.
    if (remove_event != nullptr) {
        CloseHandle(remove_event);
        remove_event = nullptr;
    }
    remove_event = OpenEventW(EVENT_MODIFY_STATE, FALSE, AGENT_REMOVE_EVENT_NAME);
    if (remove_event != nullptr) {
        remove_flag = 1;
        once_flag = 1;
    }

    // 2. The first argument alone decides; the rest are ignored.
    if (argc > 1) {
        if (VTX_WStrICmp(argv[1], g_agent_ui.remove_keyword) == 0) {
            remove_flag = 1;
            once_flag = 1;
        } else if (VTX_WStrICmp(argv[1], g_agent_ui.once_keyword) == 0) {
            once_flag = 1;
        } else {
            agent_print_text(IDS_UNRECOGNIZED);
            agent_print_text(IDS_USAGE);
            return 1;
        }
    }

    // 3. Open the event source (or close it on a re-initialisation; the next
    // event opens it again under the same name).
    event_log_toggle_source(g_agent_ui.program_name);

    // 4. The mailbox engine.
    engine = new (std::nothrow) mailbox_engine();
    if (engine == nullptr) {
        xal_log_message(XAL_LOG_ERR, MSG_NO_MEMORY);
        return 1;
    }

    // 5. The settings.
    if (read_settings() != 0) {
        return 1;
    }

    // 6. Profile, logon and workers.
    if (engine->setup(settings.thread_count, settings.spam_retention, settings.expunge_report,
                      settings.alias, settings.server, settings.spam_folder,
                      settings.spam_substring) != 0) {
        return 1;
    }
    return 0;
}

void agent_controller::uninitialize() {
    if (engine != nullptr) {
        engine->teardown();
        delete engine;
        engine = nullptr;
    }
}
