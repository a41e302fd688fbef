#include "tests/support/held_in_child.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace swtest {

HeldInChild::HeldInChild(const std::function<bool()>& take) {
    int ready[2];
    if (::pipe(ready) != 0) {
        ADD_FAILURE() << "pipe failed";
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(ready[0]);
        const char state = take() ? 'y' : 'n';
        (void)!::write(ready[1], &state, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char state = 0;
    held_ = pid_ > 0 && ::read(ready[0], &state, 1) == 1 && state == 'y';
    ::close(ready[0]);
}

HeldInChild::~HeldInChild() {
    End();
}

void HeldInChild::End() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

} // namespace swtest
