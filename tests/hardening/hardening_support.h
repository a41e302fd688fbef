// What the hardening tests share: the real agent run with the MAPI runtime's
// live counts reported on standard error, and kept apart from remove
// requests that other programs on the machine make meanwhile.
#pragma once
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace swtest {

// The line the MAPI runtime writes at the end of a run that gave back every
// buffer and object it obtained.
constexpr const char* kNothingLeft = "live buffers 0 objects 0\n";

// Starts `ovo mode` with `env` and the live-count report asked for. The
// remove-rules event is a socket in the abstract namespace, which belongs to
// the network namespace: with `apart` (and root's rights), the agent gets a
// network namespace of its own, so that an event another suite creates at
// the same time cannot turn this run into a remove pass.
// True when this process may give a child a network namespace of its own
// (root, and a container that allows it); asked once.
inline bool CanIsolate() {
    static const bool can = [] {
        if (::geteuid() != 0)
            return false;
        ProcessResult probe = RunProgram("/usr/bin/unshare", {"--net", "/bin/true"}, {}, "", 10000);
        return probe.exit_code == 0;
    }();
    return can;
}

inline std::unique_ptr<Process> StartCounted(std::vector<std::string> env, const std::string& mode,
                                             bool apart = true) {
    env.push_back("SORTWELL_MAPI_LEAK_CHECK=1");
    if (apart && CanIsolate())
        return Process::Start("/usr/bin/unshare", {"--net", OvoProgram(), mode}, env);
    return Process::Start(OvoProgram(), {mode}, env);
}

inline ProcessResult RunCounted(const std::vector<std::string>& env, const std::string& mode,
                                bool apart = true) {
    auto agent = StartCounted(env, mode, apart);
    if (agent == nullptr || !agent->Wait(60000)) {
        ADD_FAILURE() << "ovo " << mode << " did not end";
        return {};
    }
    return agent->result();
}

} // namespace swtest
