// What the hardening tests share: the real agent run with the MAPI runtime's
// live counts reported on standard error.
#pragma once
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace swtest {

// The line the MAPI runtime writes at the end of a run that gave back every
// buffer and object it obtained.
constexpr const char* kNothingLeft = "live buffers 0 objects 0\n";

// Starts `ovo mode` with `env` and the live-count report asked for.
inline std::unique_ptr<Process> StartCounted(std::vector<std::string> env,
                                             const std::string& mode) {
    env.push_back("SORTWELL_MAPI_LEAK_CHECK=1");
    return Process::Start(OvoProgram(), {mode}, env);
}

inline ProcessResult RunCounted(const std::vector<std::string>& env, const std::string& mode) {
    auto agent = StartCounted(env, mode);
    if (agent == nullptr || !agent->Wait(60000)) {
        ADD_FAILURE() << "ovo " << mode << " did not end";
        return {};
    }
    return agent->result();
}

} // namespace swtest
