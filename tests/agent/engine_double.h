// A test double of the mailbox engine, linked in place of the real one.
//
// It does no mail work: setup records its arguments and returns the result
// it is told to; run_pass records the pass and then waits, like the real
// pass, in one-second sleeps (through the runtime's clock) for as many
// seconds as it is told its mailboxes take, ending early on a stop or reload
// request. Unit tests program it through engine_double_script(); the test
// program reads the same settings from the environment:
//   SWTEST_ENGINE_TRACE         a file to which each call appends one line
//   SWTEST_ENGINE_PASS_SECONDS  the seconds each pass waits for its mailboxes
//   SWTEST_ENGINE_SETUP_MS      real milliseconds setup takes
//   SWTEST_ENGINE_SETUP_RESULT  what setup returns
#pragma once
#include "agent/mailbox_engine.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct engine_double_pass {
    std::uint32_t pass = 0;
    std::uint8_t remove = 0;
    std::uint8_t maintenance_only = 0;
    std::uint32_t state = 0;  // maintenance state when the pass began
    std::int64_t started = 0; // VTXPR_Time() when the pass began
    std::uint32_t waited = 0; // seconds the pass waited
    const mailbox_engine* engine = nullptr;
};

struct engine_double_setup {
    std::uint32_t thread_count = 0;
    std::uint32_t retention = 0;
    std::uint32_t report = 0;
    std::u16string alias;
    std::u16string server;
    std::u16string spam_folder;
    std::u16string spam_substring;
};

struct engine_double_state {
    // What the double does.
    std::int32_t setup_result = 0;
    std::uint32_t setup_delay_ms = 0;
    std::uint32_t pass_seconds = 0;
    // Called at the start of every pass, before its wait.
    std::function<void(mailbox_engine&, std::uint32_t pass)> on_pass;

    // What happened.
    std::vector<std::string> calls; // "setup", "run_pass", "teardown", "destroy"
    std::vector<engine_double_setup> setups;
    std::vector<engine_double_pass> passes;
};

// The double's process-wide state; reset between tests.
engine_double_state& engine_double_script();
void engine_double_reset();
