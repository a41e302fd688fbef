#include "tests/agent/engine_double.h"

#include "runtime/vtxpr_time.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

// Records the call, and appends it to the trace file when there is one.
void Record(const std::string& call, const std::string& details = "") {
    engine_double_script().calls.push_back(call);
    if (const char* path = std::getenv("SWTEST_ENGINE_TRACE"))
        std::ofstream(path, std::ios::app) << call << details << "\n";
}

} // namespace

engine_double_state& engine_double_script() {
    static engine_double_state* state = new engine_double_state();
    return *state;
}

mailbox_engine::~mailbox_engine() {
    Record("destroy");
}

// Only the thread count is recorded: nothing reads the rest from the double.
std::int32_t mailbox_engine::setup(std::uint32_t thread_count, std::uint32_t, std::uint32_t,
                                   const char16_t*, const char16_t*, const char16_t*,
                                   const char16_t*) {
    Record("setup", " threads=" + std::to_string(thread_count));
    if (const char* delay = std::getenv("SWTEST_ENGINE_SETUP_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
    return 0;
}

void mailbox_engine::teardown() {
    Record("teardown");
}

std::uint32_t mailbox_engine::run_pass(const agent_flag& stop, const agent_flag& reconfigure,
                                       std::uint32_t pass, std::uint8_t remove_pass, std::uint8_t) {
    engine_double_state& state = engine_double_script();
    completed.store(0);
    engine_double_pass record{pass, maintenance_state.load(), VTXPR_Time(), 0};
    Record("run_pass", " pass=" + std::to_string(pass) + " remove=" + std::to_string(remove_pass));
    if (state.on_pass)
        state.on_pass(pass);
    while (stop.load() == 0 && reconfigure.load() == 0 && record.waited < state.pass_seconds) {
        VTXPR_Sleep(1.0);
        ++record.waited;
    }
    state.passes.push_back(record);
    Record("pass_end");
    return record.waited;
}
