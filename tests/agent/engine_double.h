// A test double of the mailbox engine, linked in place of the real one.
//
// It does no mail work: setup and teardown are recorded; run_pass records
// the pass and then waits, like the real pass, in one-second sleeps
// (through the runtime's clock) for as many seconds as it is told, ending
// early on a stop or reload request. Unit tests program it through
// engine_double_script(); the test program reads from the environment:
//   SWTEST_ENGINE_TRACE     a file to which each call appends one line
//   SWTEST_ENGINE_SETUP_MS  real milliseconds setup takes
#pragma once
#include "agent/mailbox_engine.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct engine_double_pass {
    std::uint32_t pass = 0;
    std::uint32_t state = 0;  // maintenance state when the pass began
    std::int64_t started = 0; // VTXPR_Time() when the pass began
    std::uint32_t waited = 0; // seconds the pass waited
};

struct engine_double_state {
    std::uint32_t pass_seconds = 0; // how long each pass waits
    // Called at the start of every pass, before its wait.
    std::function<void(std::uint32_t pass)> on_pass;
    std::vector<std::string> calls; // "setup", "run_pass", "teardown", "destroy"
    std::vector<engine_double_pass> passes;
};

// The double's process-wide state; reset between tests.
engine_double_state& engine_double_script();
