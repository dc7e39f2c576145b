// Replaces system calls of the socket layer for one test: copy the real
// table, change the entries the test wants, and the layer uses the copy
// until the object goes away.
#pragma once

#include "socket_calls.h"

namespace kelmor::test {

class SocketFaults {
public:
    SocketFaults() = default;
    ~SocketFaults() { platform::UseSocketCalls(nullptr); }
    SocketFaults(const SocketFaults&) = delete;
    SocketFaults& operator=(const SocketFaults&) = delete;

    // The entries to change; Apply makes them take effect.
    platform::SocketCalls calls = platform::SystemSocketCalls();
    void Apply() { platform::UseSocketCalls(&calls); }
};

}  // namespace kelmor::test
