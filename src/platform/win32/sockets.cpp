// Windows Sockets 1.1 (wsock32). Every socket stays in blocking mode; a wait
// on one client is bounded by select's time limit before a receive and by the
// send time-out of the socket, so no client can hold a port task for good.
#define WIN32_LEAN_AND_MEAN
#include <winsock.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "platform/sockets.h"

namespace kelmor::platform {

static_assert(std::is_same_v<SocketHandle, SOCKET>);
static_assert(kReadSetSize == FD_SETSIZE, "a read set is Winsock 1.1's fd_set of 64");
static_assert(kWsaAddressInUse == WSAEADDRINUSE && kWsaTimedOut == WSAETIMEDOUT &&
              kWsaNotSocket == WSAENOTSOCK && kWsaInvalidArgument == WSAEINVAL);

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

timeval TimeLimit(uint32_t milliseconds) {
    timeval limit{};
    limit.tv_sec = static_cast<long>(milliseconds / 1000);
    limit.tv_usec = static_cast<long>(milliseconds % 1000) * 1000;
    return limit;
}

// select on one socket: 1 readable, 0 the time ran out, -1 failure.
int WaitReadable(SocketHandle socket, uint32_t milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval limit = TimeLimit(milliseconds);
    return select(0, &readable, nullptr, nullptr, &limit);
}

}  // namespace

int32_t StartSockets() {
    WSADATA data;
    return WSAStartup(kSocketsVersion, &data);
}

int32_t LastSocketError() { return WSAGetLastError(); }

SocketHandle OpenTcpSocket() { return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

// No SO_REUSEADDR: on Windows it would let us bind a port a live listener
// holds, and the port search relies on being refused that.
int32_t BindToAnyAddress(SocketHandle socket, uint16_t port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : -1;
}

int32_t ListenForClients(SocketHandle socket, int32_t backlog) { return listen(socket, backlog) == 0 ? 0 : -1; }

int32_t SelectReadable(ReadSet& set) {
    fd_set readable;
    FD_ZERO(&readable);
    for (uint32_t i = 0; i < set.count && i < kReadSetSize; ++i) {
        FD_SET(set.sockets[i], &readable);
    }
    timeval noWait{};
    const int ready = select(0, &readable, nullptr, nullptr, &noWait);
    if (ready == SOCKET_ERROR) {
        return -1;
    }
    uint32_t kept = 0;
    for (uint32_t i = 0; i < set.count; ++i) {
        if (__WSAFDIsSet(set.sockets[i], &readable) != 0) {
            set.sockets[kept++] = set.sockets[i];
        }
    }
    set.count = kept;
    return static_cast<int32_t>(kept);
}

SocketHandle AcceptClient(SocketHandle listener) { return accept(listener, nullptr, nullptr); }

int32_t ReceiveBytes(SocketHandle socket, uint8_t* buffer, int32_t length, uint32_t& millisecondsLeft) {
    const auto start = Clock::now();
    int32_t result = -1;
    const int ready = WaitReadable(socket, millisecondsLeft);
    if (ready == 0) {
        WSASetLastError(WSAETIMEDOUT);
    } else if (ready > 0) {
        // Readable: input, or the peer's close or failure, which recv reports.
        result = recv(socket, reinterpret_cast<char*>(buffer), length, 0);
    }
    const auto spent = std::chrono::duration_cast<Milliseconds>(Clock::now() - start).count();
    millisecondsLeft = spent >= millisecondsLeft ? 0 : millisecondsLeft - static_cast<uint32_t>(spent);
    return result;
}

// The send time-out bounds each send call; a peer that takes nothing for that
// long makes it fail with WSAETIMEDOUT.
int32_t SendBytes(SocketHandle socket, const uint8_t* data, int32_t length, uint32_t stallMilliseconds) {
    const DWORD limit = stallMilliseconds;
    if (setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit) != 0) {
        return -1;
    }
    int32_t sent = 0;
    while (sent < length) {
        const int taken = send(socket, reinterpret_cast<const char*>(data) + sent, length - sent, 0);
        if (taken == SOCKET_ERROR) {
            return -1;
        }
        sent += taken;
    }
    return sent;
}

void CloseSocket(SocketHandle socket) { closesocket(socket); }

bool ConnectionEnded(SocketHandle socket) {
    if (WaitReadable(socket, 0) != 1) {
        return false;
    }
    char next = 0;
    const int peeked = recv(socket, &next, 1, MSG_PEEK);  // readable: does not block
    return peeked == 0 || peeked == SOCKET_ERROR;
}

void* ResizeHeapBlock(void* block, size_t bytes) { return std::realloc(block, bytes); }

}  // namespace kelmor::platform
