// A terminal client on loopback for the tests, with every wait bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelmor::test {

class TcpClient {
public:
    // Connects to 127.0.0.1:port. A receiveBuffer other than 0 is set as the
    // socket's receive buffer size first (a small one makes a client that
    // stops reading fill up quickly).
    explicit TcpClient(uint16_t port, int receiveBuffer = 0);
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    bool Send(std::string_view bytes);
    // What came until count bytes were there, the peer closed, or limit passed.
    std::string Receive(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(3));
    // Everything that comes until the peer closes; false when it did not
    // close within limit.
    bool ReceiveUntilClosed(std::string& received, std::chrono::milliseconds limit = std::chrono::seconds(3));
    // Closes the connection normally, or (abort) with a reset.
    void Close(bool abort = false);

private:
    int fd_ = -1;
};

}  // namespace kelmor::test
