// Every test process gets a network namespace of its own when it may make
// one (as root, where the container allows it). The agent's remove-rules
// event is a socket in the abstract namespace, which belongs to the network
// namespace: without this, a remove request that one test (or another suite
// on the machine) makes would turn any agent started meanwhile into a remove
// pass, and a test's own request would reach other tests' agents. The
// loopback interface is brought up, so that servers a test starts on
// 127.0.0.1 answer. Elsewhere the process stays where it is, and the tests
// that create the event take turns (see tests/CMakeLists.txt).
//
// The test support library is linked with -u sw_test_isolation, so this
// file is part of every test program, whatever else it uses.
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern "C" {
// 1 when this process runs in a network namespace of its own.
int sw_test_isolation = 0;
}

namespace {

void BringUpLoopback() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        ::ioctl(fd, SIOCSIFFLAGS, &request);
    }
    ::close(fd);
}

__attribute__((constructor)) void IsolateTestProcess() {
    if (::geteuid() != 0 || std::getenv("SWTEST_SHARED_NETWORK") != nullptr)
        return;
    if (::unshare(CLONE_NEWNET) != 0)
        return;
    BringUpLoopback();
    sw_test_isolation = 1;
}

} // namespace
