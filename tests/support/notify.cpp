#include "tests/support/notify.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace swtest {

NotifySocket::NotifySocket() {
    static int serial = 0;
    name_ = "swtest-notify-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name_.data(), name_.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_.size());
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0)
        ADD_FAILURE() << "cannot bind the notification socket: " << std::strerror(errno);
}

NotifySocket::~NotifySocket() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string NotifySocket::address() const {
    return "@" + name_;
}

bool NotifySocket::ReceiveOne(int timeout_ms) {
    pollfd fds{fd_, POLLIN, 0};
    if (::poll(&fds, 1, timeout_ms) <= 0)
        return false;
    char buffer[1024];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got < 0)
        return false;
    messages_.emplace_back(buffer, static_cast<std::size_t>(got));
    return true;
}

bool NotifySocket::WaitFor(const std::string& needle, int timeout_ms,
                           std::vector<std::string>* seen) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (!ReceiveOne(50))
            continue;
        if (seen != nullptr)
            seen->push_back(messages_.back());
        if (messages_.back().find(needle) != std::string::npos)
            return true;
    }
    return false;
}

std::vector<std::string> NotifySocket::Take(int quiet_ms) {
    const std::size_t first = messages_.size();
    while (ReceiveOne(quiet_ms)) {
    }
    return {messages_.begin() + static_cast<std::ptrdiff_t>(first), messages_.end()};
}

} // namespace swtest
