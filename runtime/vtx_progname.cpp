// The program's name, as shown in messages.
#include "runtime/vtx_progname.h"

#include <atomic>

namespace {

std::atomic<const char16_t*> g_program_name{nullptr};

} // namespace

void VTXPR_SetProgramName(const char16_t* path) {
    if (path == nullptr) {
        g_program_name.store(nullptr, std::memory_order_release);
        return;
    }
    const char16_t* name = path;
    for (const char16_t* p = path; *p != u'\0'; ++p) {
        if (*p == u'/' || *p == u'\\') {
            name = p + 1;
        }
    }
    g_program_name.store(name, std::memory_order_release);
}

const char16_t* VTXPR_ProgramName() {
    const char16_t* name = g_program_name.load(std::memory_order_acquire);
    return name != nullptr ? name : u"";
}
