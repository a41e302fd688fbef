#include "agent/agent_entry.h"

#include "agent/agent_controller.h"
#include "log/xal_log.h"
#include "platform/win32/sysinfo.h"
#include "resources/string_table.h"
#include "runtime/vtx_str.h"

#include <cstdio>
#include <new>
#include <string>

namespace {

constexpr int MSG_NO_MEMORY = 10013; // "Malloc error while attempting to allocate memory."

} // namespace

agent_ui_strings g_agent_ui{};

void agent_load_ui_strings() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    LoadStringW(instance, IDS_REMOVE_KEYWORD, g_agent_ui.remove_keyword, VTXPR_NAME_CHARS);
    LoadStringW(instance, IDS_ONCE_KEYWORD, g_agent_ui.once_keyword, VTXPR_NAME_CHARS);
    LoadStringW(instance, IDS_PROGRAM_NAME, g_agent_ui.program_name, VTXPR_NAME_CHARS);
}

void agent_print_text(std::uint32_t id) {
    char16_t text[VTXPR_TEXT_CHARS];
    if (LoadStringW(GetModuleHandleW(nullptr), id, text, VTXPR_TEXT_CHARS) == 0) {
        return;
    }
    try {
        const std::string bytes = VTX_ToUtf8(std::u16string_view(text));
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);
    } catch (const std::bad_alloc&) {
        xal_log_message(XAL_LOG_ERR, MSG_NO_MEMORY);
    }
}

int agent_wmain(int argc, char16_t** argv) {
    agent_load_ui_strings();
    if (argc == 2 && VTX_WStrICmp(argv[1], g_agent_ui.remove_keyword) == 0) {
        agent_print_text(IDS_REMOVE_BANNER);
    }
    agent_controller* controller = new (std::nothrow) agent_controller();
    if (controller == nullptr) {
        // Without the controller nothing can run: say why and fail, as a
        // controller that could not be constructed would.
        xal_log_message(XAL_LOG_ERR, MSG_NO_MEMORY);
        return 1;
    }
    const int result = controller->start(AGENT_SERVICE_NAME, AGENT_DISPLAY_NAME, argc, argv);
    delete controller;
    return result;
}
