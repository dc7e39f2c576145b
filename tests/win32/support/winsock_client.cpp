#define WIN32_LEAN_AND_MEAN
#include <winsock.h>

#include "winsock_client.h"

namespace kelmor::test {
namespace {

bool SocketsStarted() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(0x0101, &data) == 0;
    }();
    return started;
}

}  // namespace

WinsockClient::~WinsockClient() { Close(); }

bool WinsockClient::Connect(uint16_t port) {
    Close();
    if (!SocketsStarted()) {
        return false;
    }
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Loopback connects complete or fail at once; the server accepts later.
    if (socket_ == INVALID_SOCKET || connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Close();
        return false;
    }
    return true;
}

bool WinsockClient::Send(std::string_view bytes) {
    return socket_ != INVALID_SOCKET &&
           send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
}

bool WinsockClient::ReceiveSome(std::chrono::milliseconds limit) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval wait{static_cast<long>(limit.count() / 1000), static_cast<long>(limit.count() % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) != 1) {
        return false;
    }
    char chunk[1024];
    const int got = recv(socket_, chunk, sizeof chunk, 0);
    if (got <= 0) {
        return false;
    }
    received_.append(chunk, static_cast<size_t>(got));
    return true;
}

bool WinsockClient::Expect(std::string_view text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (received_.size() < text.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (socket_ == INVALID_SOCKET || left.count() <= 0 || !ReceiveSome(left)) {
            break;
        }
    }
    const bool matched = received_ == text;
    received_.clear();
    return matched;
}

bool WinsockClient::ClosedByPeer(std::chrono::milliseconds limit) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval wait{static_cast<long>(limit.count() / 1000), static_cast<long>(limit.count() % 1000) * 1000};
    char byte = 0;
    return select(0, &readable, nullptr, nullptr, &wait) == 1 && recv(socket_, &byte, 1, 0) <= 0;
}

void WinsockClient::Close() {
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
    received_.clear();
}

PortHolder::PortHolder(uint16_t port) {
    if (!SocketsStarted()) {
        return;
    }
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (socket_ != INVALID_SOCKET &&
        (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(socket_, 1) != 0)) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
}

PortHolder::~PortHolder() {
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
    }
}

}  // namespace kelmor::test
