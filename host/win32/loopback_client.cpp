// The loopback client over Windows Sockets 1.1, the socket library the port
// library itself uses; connect and receive are bounded with select.
#define WIN32_LEAN_AND_MEAN
#include <winsock.h>

#include "loopback_client.h"

namespace kelmor::host {
namespace {

timeval TimeLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    timeval limit{};
    if (left.count() > 0) {
        limit.tv_sec = static_cast<long>(left.count() / 1000000);
        limit.tv_usec = static_cast<long>(left.count() % 1000000);
    }
    return limit;
}

bool SocketsStarted() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(0x0101, &data) == 0;
    }();
    return started;
}

SOCKET AsSocket(int socket) { return static_cast<SOCKET>(socket); }

}  // namespace

LoopbackClient::~LoopbackClient() { Close(); }

bool LoopbackClient::Connect(int tcpPort, std::chrono::milliseconds limit) {
    Close();
    if (!SocketsStarted()) {
        return false;
    }
    const SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (client == INVALID_SOCKET) {
        return false;
    }
    socket_ = static_cast<int>(client);  // socket handles are small numbers that fit
    const auto deadline = std::chrono::steady_clock::now() + limit;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(tcpPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    u_long nonBlocking = 1;
    ioctlsocket(client, FIONBIO, &nonBlocking);
    if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        Close();
        return false;
    }
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(client, &writable);
    FD_SET(client, &failed);
    timeval left = TimeLeft(deadline);
    if (select(0, nullptr, &writable, &failed, &left) != 1 || !FD_ISSET(client, &writable)) {
        Close();
        return false;
    }
    u_long blocking = 0;
    ioctlsocket(client, FIONBIO, &blocking);
    return true;
}

bool LoopbackClient::Send(std::string_view bytes) {
    while (socket_ >= 0 && !bytes.empty()) {
        const int sent = send(AsSocket(socket_), bytes.data(), static_cast<int>(bytes.size()), 0);
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return socket_ >= 0;
}

bool LoopbackClient::Expect(std::string_view text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (const auto at = received_.find(text); at != std::string::npos) {
            received_.erase(0, at + text.size());
            return true;
        }
        if (socket_ < 0) {
            return false;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(AsSocket(socket_), &readable);
        timeval left = TimeLeft(deadline);
        if (select(0, &readable, nullptr, nullptr, &left) != 1) {
            return false;
        }
        char chunk[4096];
        const int got = recv(AsSocket(socket_), chunk, sizeof chunk, 0);
        if (got <= 0) {
            return false;
        }
        received_.append(chunk, static_cast<size_t>(got));
    }
}

void LoopbackClient::Close() {
    if (socket_ >= 0) {
        closesocket(AsSocket(socket_));
        socket_ = -1;
    }
    received_.clear();
}

}  // namespace kelmor::host
