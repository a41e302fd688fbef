// The agent's entry point and its user-interface strings.
#pragma once
#include "runtime/vtxpr_limits.h"

#include <cstdint>

// The texts that serve as keywords or names, loaded once at start from the
// string table.
struct agent_ui_strings {
    char16_t remove_keyword[VTXPR_NAME_CHARS]; // "remove"
    char16_t once_keyword[VTXPR_NAME_CHARS];   // "once"
    char16_t program_name[VTXPR_NAME_CHARS];   // "Sortwell", the event source
};
extern agent_ui_strings g_agent_ui;

// Loads the keyword and name texts into g_agent_ui.
void agent_load_ui_strings();
// Prints string-table text `id` to standard output as UTF-8, exactly as it
// stands; a text that cannot be loaded is not printed.
void agent_print_text(std::uint32_t id);
// The wide entry: banner, controller, start; returns the exit status.
int agent_wmain(int argc, char16_t** argv);
