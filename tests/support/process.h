// Programs run as child processes with a time limit, their standard output
// and error collected, and the paths of the project's own programs.
#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace swtest {

// The programs as this build made them.
const char* OvoProgram();
const char* StoreProgram();
const char* RemoveRulesProgram();
const char* CheckConfigProgram();

struct ProcessResult {
    int exit_code = -1;     // -1 unless the program exited normally
    int signal = 0;         // the signal that ended it, or 0
    bool timed_out = false; // killed because it ran past the time limit
    std::string out;
    std::string err;
    double seconds = 0; // wall time from start to end
};

// A program running in the background with its standard output and error
// collected. The destructor kills and reaps a child that is still running.
class Process {
public:
    // Starts `program` with `args`. The environment is the test's own less
    // every variable the programs read (NOTIFY_SOCKET, XAL_*, SORTWELL_*,
    // SWTEST_*, LD_PRELOAD), plus `env` ("NAME=value"). Signals start at
    // their default actions and no core file is written. `input` is the
    // standard input (any size).
    static std::unique_ptr<Process> Start(const std::string& program,
                                          const std::vector<std::string>& args,
                                          const std::vector<std::string>& env,
                                          const std::string& input = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool Signal(int signal_number) const;
    // Waits up to `timeout_ms` for the end; on time-out the child is killed
    // and false returned.
    bool Wait(int timeout_ms);
    // True while the child has not ended (reaping it when it has).
    bool Running();
    // What is known so far (complete once Wait returned).
    const ProcessResult& result();

private:
    Process() = default;
    void Drain();
    bool Reap(bool block);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool ended_ = false;
    std::chrono::steady_clock::time_point started_;
    ProcessResult result_;
};

// Runs a program to its end (killed after `timeout_ms`). A program that
// cannot be started fails the test and gives exit code -1. (Not called Run,
// which a test fixture's own member would hide.)
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::string& input = "",
                         int timeout_ms = 60000);

// The name of this machine.
std::string HostName();

} // namespace swtest
