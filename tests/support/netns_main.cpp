// main of the test programs that listen on the terminal ports 9100..9199.
// Each runs in a network namespace of its own, with only a loopback
// interface, so it collides neither with a host running on this machine nor
// with the other tests that ctest runs at the same time.
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "private_network.h"

namespace kelmor::test {
namespace {

std::string unavailableReason;

std::string Failure(const char* step) {
    return std::string("no private network namespace for this test: ") + step + ": " + std::strerror(errno) +
           " (needs root or CAP_SYS_ADMIN and CAP_NET_ADMIN)";
}

std::string EnterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        return Failure("unshare(CLONE_NEWNET)");
    }
    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0) {
        return Failure("socket");
    }
    ifreq loopback{};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
    std::string reason;
    if (ioctl(control, SIOCGIFFLAGS, &loopback) != 0) {
        reason = Failure("SIOCGIFFLAGS lo");
    } else {
        loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP);
        if (ioctl(control, SIOCSIFFLAGS, &loopback) != 0) {
            reason = Failure("SIOCSIFFLAGS lo up");
        }
    }
    close(control);
    return reason;
}

}  // namespace

const std::string& PrivateNetworkUnavailable() { return unavailableReason; }

}  // namespace kelmor::test

int main(int argc, char** argv) {
    // A namespace belongs to the thread that enters it and to the threads and
    // programs it starts afterwards, so this comes before anything else runs.
    kelmor::test::unavailableReason = kelmor::test::EnterPrivateNetwork();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
