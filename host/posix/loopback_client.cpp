#include "loopback_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace kelmor::host {
namespace {

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

LoopbackClient::~LoopbackClient() { Close(); }

// One connection attempt, waiting at most until deadline.
bool LoopbackClient::TryConnect(int tcpPort, std::chrono::steady_clock::time_point deadline) {
    Close();
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket_ < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(tcpPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fcntl(socket_, F_SETFL, O_NONBLOCK);
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        Close();
        return false;
    }
    pollfd ready{socket_, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    if (::poll(&ready, 1, MillisecondsLeft(deadline)) != 1 ||
        getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
        Close();
        return false;
    }
    return true;
}

bool LoopbackClient::Connect(int tcpPort, std::chrono::milliseconds limit) {
    // The port may still be starting up: try again until the limit.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!TryConnect(tcpPort, deadline)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool LoopbackClient::Send(std::string_view bytes) {
    while (socket_ >= 0 && !bytes.empty()) {
        const ssize_t sent = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EAGAIN) {
            pollfd ready{socket_, POLLOUT, 0};
            ::poll(&ready, 1, 1000);
            continue;
        }
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
        pollfd ready{socket_, POLLIN, 0};
        if (socket_ < 0 || ::poll(&ready, 1, MillisecondsLeft(deadline)) != 1) {
            return false;
        }
        char chunk[4096];
        const ssize_t got = ::recv(socket_, chunk, sizeof chunk, 0);
        if (got <= 0) {
            return false;
        }
        received_.append(chunk, static_cast<size_t>(got));
    }
}

void LoopbackClient::Close() {
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
    received_.clear();
}

}  // namespace kelmor::host
