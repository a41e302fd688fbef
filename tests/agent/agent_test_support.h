// Helpers for the agent's tests: registry hive files, a fake clock, and
// running the program as a child process.
#pragma once
#include "tests/controller/controller_test_support.h"

#include "runtime/vtxpr_time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace swtest {

// A hive file holding `lines` (already in .reg syntax) under the agent's key.
inline std::string HiveText(const std::vector<std::string>& lines) {
    std::string text = "Windows Registry Editor Version 5.00\n\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\n";
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

// The three values without which the agent does not start.
inline std::vector<std::string> RequiredValues() {
    return {"\"Alias\"=\"sortwell-admin\"", "\"Server\"=\"MAIL01\"",
            "\"Spam Folder\"=\"Junk Mail\"", "\"Spam SubString\"=\"X-Spam-Flag: YES\""};
}

inline std::string Dword(const std::string& name, std::uint32_t value) {
    char digits[16];
    std::snprintf(digits, sizeof(digits), "%08x", value);
    return "\"" + name + "\"=dword:" + digits;
}

// "Name"=hex(1):.. holding `units` UTF-16 code units of `c` and no terminator.
inline std::string HexText(const std::string& name, std::size_t units, char c) {
    std::string line = "\"" + name + "\"=hex(1):";
    char byte[8];
    std::snprintf(byte, sizeof(byte), "%02x", static_cast<unsigned char>(c));
    for (std::size_t i = 0; i < units; ++i) {
        line += std::string(i == 0 ? "" : ",") + byte + ",00";
    }
    return line;
}

// A clock that only moves when the program sleeps, starting at a given UTC
// time; the tests run with TZ=UTC so that local time is that time.
class FakeClock {
public:
    explicit FakeClock(std::int64_t start_seconds) : now_ns_(start_seconds * 1000000000LL) {
        VTXPR_CLOCK clock{&FakeClock::Now, &FakeClock::Sleep, this};
        VTXPR_SetClock(&clock);
    }
    ~FakeClock() { VTXPR_SetClock(nullptr); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    std::int64_t seconds() const { return now_ns_.load() / 1000000000LL; }
    // Called after every sleep with the new time in seconds.
    std::function<void(std::int64_t)> after_sleep;

private:
    static std::int64_t Now(void* context) {
        return static_cast<FakeClock*>(context)->now_ns_.load();
    }
    static void Sleep(void* context, std::uint32_t milliseconds) {
        FakeClock* self = static_cast<FakeClock*>(context);
        self->now_ns_ += static_cast<std::int64_t>(milliseconds) * 1000000LL;
        if (self->after_sleep) {
            self->after_sleep(self->seconds());
        }
    }
    std::atomic<std::int64_t> now_ns_;
};

// Seconds since 1970 of day `day` (0 = 1 March 2027) at hh:mm, UTC.
inline std::int64_t At(int day, int hour, int minute) {
    const std::int64_t march_1_2027 = 1803859200; // 2027-03-01 00:00:00 UTC
    return march_1_2027 + day * 86400LL + hour * 3600LL + minute * 60LL;
}

// A child process running a program with a pipe on its standard output.
struct Child {
    pid_t pid = -1;
    int out_fd = -1;
    std::string out;
    int status = -1;
    bool exited = false;

    // Reads what is there without blocking.
    void drain() {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(out_fd, buffer, sizeof(buffer));
            if (got <= 0) {
                return;
            }
            out.append(buffer, static_cast<std::size_t>(got));
        }
    }
    // Waits for the end up to `timeout_ms`; false (and the child killed)
    // when it did not end in time.
    bool wait(int timeout_ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            drain();
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                exited = true;
                drain();
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        drain();
        return false;
    }
    int exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
    int killed_by() const { return WIFSIGNALED(status) ? WTERMSIG(status) : 0; }
    ~Child() {
        if (pid > 0 && !exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (out_fd >= 0) {
            ::close(out_fd);
        }
    }
};

// Starts `program` with `args` and the test's environment less every
// variable of the program's own, plus `env` ("NAME=value"). The child starts
// with default signal handling and no core files.
inline std::unique_ptr<Child> Spawn(const std::string& program,
                                    const std::vector<std::string>& args,
                                    const std::vector<std::string>& env) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.rfind("NOTIFY_SOCKET=", 0) == 0 || text.rfind("XAL_", 0) == 0 ||
            text.rfind("SORTWELL_", 0) == 0 || text.rfind("SWTEST_", 0) == 0) {
            continue;
        }
        environment.push_back(text);
    }
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& text : environment) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& text : argv_text) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return nullptr;
    }
    auto child = std::make_unique<Child>();
    child->pid = ::fork();
    if (child->pid == 0) {
        ::dup2(pipe_fds[1], 1);
        sigset_t none;
        sigemptyset(&none);
        ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGUSR1}) {
            std::signal(sig, SIG_DFL);
        }
        struct rlimit no_core {
            0, 0
        };
        ::setrlimit(RLIMIT_CORE, &no_core);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    child->out_fd = pipe_fds[0];
    ::fcntl(child->out_fd, F_SETFL, O_NONBLOCK);
    return child;
}

// Waits until file `path` contains `needle` (up to `timeout_ms`).
inline bool WaitForText(const std::string& path, const std::string& needle, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (ReadFile(path).find(needle) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace swtest
