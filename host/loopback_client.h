// A TCP client on this machine's loopback address, for scripts that talk to
// a terminal port the way a user's telnet would.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace kelmor::host {

class LoopbackClient {
public:
    LoopbackClient() = default;
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;
    ~LoopbackClient();

    // Keeps trying while the port refuses, up to limit.
    bool Connect(int tcpPort, std::chrono::milliseconds limit);
    bool Send(std::string_view bytes);
    // Receives until what came holds text (consumed up to its end) or limit passes.
    bool Expect(std::string_view text, std::chrono::milliseconds limit);
    // Everything received and not yet consumed.
    const std::string& Received() const { return received_; }
    void Close();

private:
    bool TryConnect(int tcpPort, std::chrono::steady_clock::time_point deadline);

    int socket_ = -1;
    std::string received_;
};

}  // namespace kelmor::host
