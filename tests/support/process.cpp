#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace swtest {

const char* OvoProgram() {
    return SW_TEST_OVO;
}
const char* StoreProgram() {
    return SW_TEST_STORE;
}
const char* RemoveRulesProgram() {
    return SW_TEST_REMOVE_RULES;
}
const char* CheckConfigProgram() {
    return SW_TEST_CHECK_CONFIG;
}

namespace {

bool OwnVariable(const std::string& entry) {
    for (const char* prefix : {"NOTIFY_SOCKET=", "XAL_", "SORTWELL_", "SWTEST_", "LD_PRELOAD="})
        if (entry.rfind(prefix, 0) == 0)
            return true;
    return false;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Standard input as an unlinked temporary file, so that an input of any size
// never waits on a reader.
int InputFile(const std::string& input) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr)
        return -1;
    const bool written =
        std::fwrite(input.data(), 1, input.size(), file) == input.size() && std::fflush(file) == 0;
    const int fd = written ? ::fcntl(::fileno(file), F_DUPFD_CLOEXEC, 0) : -1;
    std::fclose(file);
    if (fd >= 0)
        ::lseek(fd, 0, SEEK_SET);
    return fd;
}

} // namespace

std::unique_ptr<Process> Process::Start(const std::string& program,
                                        const std::vector<std::string>& args,
                                        const std::vector<std::string>& env,
                                        const std::string& input) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (!OwnVariable(*entry))
            environment.emplace_back(*entry);
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv = Pointers(argv_text);
    std::vector<char*> envp = Pointers(environment);

    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    const int in_fd = InputFile(input);
    if (in_fd < 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot set up the standard files of " << program << ": "
                      << std::strerror(errno);
        for (int fd : {in_fd, out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            if (fd >= 0)
                ::close(fd);
        return nullptr;
    }
    std::unique_ptr<Process> process(new Process());
    process->started_ = std::chrono::steady_clock::now();
    process->pid_ = ::fork();
    if (process->pid_ == 0) {
        // Only async-signal-safe calls from here to exec.
        ::dup2(in_fd, 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGUSR1, SIGPIPE})
            ::sigaction(sig, &default_action, nullptr);
        struct rlimit no_core {
            0, 0
        };
        ::setrlimit(RLIMIT_CORE, &no_core);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in_fd);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    process->out_fd_ = out_pipe[0];
    process->err_fd_ = err_pipe[0];
    if (process->pid_ < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return nullptr;
    }
    ::fcntl(process->out_fd_, F_SETFL, O_NONBLOCK);
    ::fcntl(process->err_fd_, F_SETFL, O_NONBLOCK);
    return process;
}

Process::~Process() {
    if (pid_ > 0 && !ended_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0)
        ::close(out_fd_);
    if (err_fd_ >= 0)
        ::close(err_fd_);
}

bool Process::Signal(int signal_number) const {
    return !ended_ && ::kill(pid_, signal_number) == 0;
}

void Process::Drain() {
    char buffer[4096];
    for (auto [fd, text] : {std::pair{out_fd_, &result_.out}, std::pair{err_fd_, &result_.err}}) {
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0)
                break;
            text->append(buffer, static_cast<std::size_t>(got));
        }
    }
}

bool Process::Reap(bool block) {
    if (ended_)
        return true;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (done != pid_)
        return false;
    ended_ = true;
    result_.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    result_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    Drain();
    return true;
}

bool Process::Wait(int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!Reap(false)) {
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid_, SIGKILL);
            Reap(true);
            result_.timed_out = true;
            return false;
        }
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        ::poll(fds, 2, 10);
        Drain();
    }
    return true;
}

bool Process::Running() {
    Drain();
    return !Reap(false);
}

const ProcessResult& Process::result() {
    Drain();
    return result_;
}

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::string& input,
                         int timeout_ms) {
    auto process = Process::Start(program, args, env, input);
    if (!process)
        return {};
    process->Wait(timeout_ms);
    return process->result();
}

std::string HostName() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

} // namespace swtest
