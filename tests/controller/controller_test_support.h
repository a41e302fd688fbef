// Helpers shared by the controller and agent tests: temporary folders, the
// log and event files that the tests read, and a captured service
// notification socket.
#pragma once
#include "platform/xalshareddata/xal_shared_log_settings.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace swtest {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// How often `needle` occurs in `text`.
inline int CountOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

// A folder under /tmp, removed with its files at the end.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/swtest-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        path_ = made != nullptr ? made : "/tmp";
    }
    ~TempDir() {
        const std::string command = "rm -rf '" + path_ + "'";
        if (path_ != "/tmp") {
            int ignored = std::system(command.c_str());
            (void)ignored;
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The process's log file (every level, debug included) and event file,
// set up once for the whole test program before anything logs.
class LogFiles : public ::testing::Environment {
public:
    static LogFiles& get() {
        static LogFiles* files = new LogFiles();
        return *files;
    }
    void SetUp() override {
        ::setenv("XAL_LOG_FILE", log_path().c_str(), 1);
        ::setenv("XAL_LOG_LEVEL", "7", 1);
        ::setenv("SORTWELL_EVENTLOG", "FILE", 1);
        ::setenv("SORTWELL_EVENTLOG_FILE", event_path().c_str(), 1);
        xal_shared_log_settings_reload();
    }
    std::string log_path() const { return dir_.file("test.log"); }
    std::string event_path() const { return dir_.file("events.jsonl"); }
    // What was logged (or evented) since `mark` (a size returned by mark()).
    std::size_t log_mark() const { return ReadFile(log_path()).size(); }
    std::string log_since(std::size_t mark) const { return ReadFile(log_path()).substr(mark); }
    std::size_t event_mark() const { return ReadFile(event_path()).size(); }
    std::string events_since(std::size_t mark) const {
        const std::string all = ReadFile(event_path());
        return mark <= all.size() ? all.substr(mark) : std::string();
    }

private:
    LogFiles() = default;
    TempDir dir_;
};

// Registers LogFiles with the test framework once per program, however many
// test files ask (the framework deletes what it is given).
inline bool UseLogFiles() {
    static const bool registered = (::testing::AddGlobalTestEnvironment(&LogFiles::get()), true);
    return registered;
}

// The catalogue ids in `text`, in order of appearance ("[28018]" -> 28018).
inline std::vector<int> LoggedIds(const std::string& text) {
    std::vector<int> ids;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t open = line.find("): [");
        if (open == std::string::npos) {
            continue;
        }
        ids.push_back(std::atoi(line.c_str() + open + 4));
    }
    return ids;
}

// A datagram socket in the abstract namespace standing in for systemd's
// notification socket; `address()` is the NOTIFY_SOCKET value.
class NotifyCapture {
public:
    NotifyCapture() {
        static int serial = 0;
        name_ = "swtest-notify-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name_.data(), name_.size());
        const socklen_t length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_.size());
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            ADD_FAILURE() << "cannot bind the notification socket: " << std::strerror(errno);
        }
    }
    ~NotifyCapture() { ::close(fd_); }
    NotifyCapture(const NotifyCapture&) = delete;
    NotifyCapture& operator=(const NotifyCapture&) = delete;

    std::string address() const { return "@" + name_; }

    // Every message that arrives within `wait_ms` of the previous one.
    std::vector<std::string> take(int wait_ms = 200) {
        std::vector<std::string> messages;
        for (;;) {
            pollfd fds{fd_, POLLIN, 0};
            if (::poll(&fds, 1, wait_ms) <= 0) {
                return messages;
            }
            char buffer[512];
            const ssize_t got = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (got < 0) {
                return messages;
            }
            messages.emplace_back(buffer, static_cast<std::size_t>(got));
        }
    }

    // Waits up to `timeout_ms` for a message containing `needle`, keeping
    // everything received on the way in *seen.
    bool wait_for(const std::string& needle, int timeout_ms, std::vector<std::string>* seen) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            pollfd fds{fd_, POLLIN, 0};
            if (::poll(&fds, 1, 50) <= 0) {
                continue;
            }
            char buffer[512];
            const ssize_t got = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (got < 0) {
                continue;
            }
            seen->emplace_back(buffer, static_cast<std::size_t>(got));
            if (seen->back().find(needle) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    std::string name_;
    int fd_ = -1;
};

} // namespace swtest
