// A datagram socket in the abstract namespace standing in for systemd's
// service notification socket.
#pragma once
#include <string>
#include <vector>

namespace swtest {

class NotifySocket {
public:
    NotifySocket();
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // The NOTIFY_SOCKET value to give the service.
    std::string address() const;
    // Collects messages until one holds `needle` (true) or `timeout_ms` ran
    // out (false). What arrives is appended to messages() and to `*seen`.
    bool WaitFor(const std::string& needle, int timeout_ms,
                 std::vector<std::string>* seen = nullptr);
    // Collects what arrives within `quiet_ms` of the previous message and
    // returns it (it is appended to messages() too).
    std::vector<std::string> Take(int quiet_ms = 200);
    // Everything received so far.
    const std::vector<std::string>& messages() const { return messages_; }

private:
    bool ReceiveOne(int timeout_ms);
    std::string name_;
    int fd_ = -1;
    std::vector<std::string> messages_;
};

} // namespace swtest
