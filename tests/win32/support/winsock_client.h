// A telnet-like test client over Windows Sockets on the loopback address,
// every wait bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelmor::test {

class WinsockClient {
public:
    WinsockClient() = default;
    ~WinsockClient();
    WinsockClient(const WinsockClient&) = delete;
    WinsockClient& operator=(const WinsockClient&) = delete;

    bool Connect(uint16_t port);
    bool Send(std::string_view bytes);
    // Receives until exactly what came so far, and nothing more, is text.
    bool Expect(std::string_view text, std::chrono::milliseconds limit = std::chrono::seconds(5));
    // True when the server closed the connection within limit.
    bool ClosedByPeer(std::chrono::milliseconds limit = std::chrono::seconds(5));
    const std::string& Received() const { return received_; }
    void Close();

private:
    bool ReceiveSome(std::chrono::milliseconds limit);

    uintptr_t socket_ = ~uintptr_t{0};
    std::string received_;
};

// A listener of the test's own on 127.0.0.1's and every address's port, or
// nothing when the port is taken; closed on destruction.
class PortHolder {
public:
    explicit PortHolder(uint16_t port);
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    bool Holds() const { return socket_ != ~uintptr_t{0}; }

private:
    uintptr_t socket_ = ~uintptr_t{0};
};

}  // namespace kelmor::test
