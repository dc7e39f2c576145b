#include "loopback_namespace.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelmor::test {
namespace {

std::string Failure(const char* step) { return std::string(step) + ": " + std::strerror(errno); }

std::string ConfigureLoopback(int control, uint32_t extraAddress) {
    ifreq loopback{};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(control, SIOCGIFFLAGS, &loopback) != 0) {
        return Failure("SIOCGIFFLAGS lo");
    }
    loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP);
    if (ioctl(control, SIOCSIFFLAGS, &loopback) != 0) {
        return Failure("SIOCSIFFLAGS lo up");
    }
    if (extraAddress == 0) {
        return {};
    }
    ifreq extra{};
    std::strncpy(extra.ifr_name, "lo:1", IFNAMSIZ - 1);
    auto* address = reinterpret_cast<sockaddr_in*>(&extra.ifr_addr);
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(extraAddress);
    if (ioctl(control, SIOCSIFADDR, &extra) != 0) {
        return Failure("SIOCSIFADDR lo:1");
    }
    return {};
}

}  // namespace

std::string EnterLoopbackNamespace(uint32_t extraAddress) {
    if (unshare(CLONE_NEWNET) != 0) {
        return Failure("unshare(CLONE_NEWNET)");
    }
    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0) {
        return Failure("socket");
    }
    std::string reason = ConfigureLoopback(control, extraAddress);
    close(control);
    return reason;
}

}  // namespace kelmor::test
