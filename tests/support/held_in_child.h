// Something another process holds: a forked child runs `take` (a lock, an
// event, as another user if it likes) and keeps what it took until the
// test ends it, by End() or the destructor, which kill and reap it.
#pragma once
#include <functional>
#include <sys/types.h>

namespace swtest {

class HeldInChild {
public:
    // Returns once `take` has run in the child; held() tells whether it
    // returned true.
    explicit HeldInChild(const std::function<bool()>& take);
    ~HeldInChild();
    HeldInChild(const HeldInChild&) = delete;
    HeldInChild& operator=(const HeldInChild&) = delete;

    bool held() const { return held_; }
    void End();

private:
    pid_t pid_ = -1;
    bool held_ = false;
};

} // namespace swtest
