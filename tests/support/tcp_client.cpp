#include "tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kelmor::test {
namespace {

using Clock = std::chrono::steady_clock;

// Waits for input until deadline; false when none came.
bool WaitReadable(int fd, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd watched{fd, POLLIN, 0};
        const int ready = poll(&watched, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready >= 0 || errno != EINTR) {
            return ready > 0;
        }
    }
}

}  // namespace

TcpClient::TcpClient(uint16_t port, int receiveBuffer) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return;
    }
    if (receiveBuffer > 0) {
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    // Bounds connect (and our sends) even when the listener's queue is full.
    const timeval limit{3, 0};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Close();
    }
}

TcpClient::~TcpClient() { Close(); }

bool TcpClient::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

std::string TcpClient::Receive(size_t count, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::string received;
    while (received.size() < count && WaitReadable(fd_, deadline)) {
        char chunk[4096];
        const size_t wanted = std::min(sizeof chunk, count - received.size());
        const ssize_t got = recv(fd_, chunk, wanted, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            break;
        }
        if (got > 0) {
            received.append(chunk, static_cast<size_t>(got));
        }
    }
    return received;
}

bool TcpClient::ReceiveUntilClosed(std::string& received, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (WaitReadable(fd_, deadline)) {
        char chunk[4096];
        const ssize_t got = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            return true;  // closed, or reset
        }
        if (got > 0) {
            received.append(chunk, static_cast<size_t>(got));
        }
    }
    return false;
}

void TcpClient::Close(bool abort) {
    if (fd_ < 0) {
        return;
    }
    if (abort) {
        const linger reset{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(fd_);
    fd_ = -1;
}

}  // namespace kelmor::test
