// main of the test programs that listen on the terminal ports 9100..9199.
// Each runs in a network namespace of its own, with only a loopback
// interface, so it collides neither with a host running on this machine nor
// with the other tests that ctest runs at the same time.

#include <string>

#include <gtest/gtest.h>

#include "loopback_namespace.h"
#include "private_network.h"

namespace kelmor::test {
namespace {

std::string unavailableReason;

}  // namespace

const std::string& PrivateNetworkUnavailable() { return unavailableReason; }

}  // namespace kelmor::test

int main(int argc, char** argv) {
    // A namespace belongs to the thread that enters it and to the threads and
    // programs it starts afterwards, so this comes before anything else runs.
    if (const std::string reason = kelmor::test::EnterLoopbackNamespace(); !reason.empty()) {
        kelmor::test::unavailableReason = "no private network namespace for this test: " + reason +
                                          " (needs root or CAP_SYS_ADMIN and CAP_NET_ADMIN)";
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
