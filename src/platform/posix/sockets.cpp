// Winsock 1.1 behaviour over BSD sockets. Readiness uses poll(2), so a
// descriptor number of any size works (an fd_set ends at 1024); sends never
// raise SIGPIPE; an interrupted call is made again.
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/sockets.h"
#include "socket_calls.h"

namespace kelmor::platform {
namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

int32_t NoStartupNeeded(uint16_t) { return 0; }

constexpr SocketCalls kSystemCalls = {
    &NoStartupNeeded, &::socket, &::setsockopt, &::bind,    &::listen, &::dup3,
    &::poll,          &::accept4, &::recv,      &::send,    &::close,  &::realloc,
};

std::atomic<const SocketCalls*> activeCalls{&kSystemCalls};

const SocketCalls& Calls() { return *activeCalls.load(std::memory_order_acquire); }

// Winsock keeps the last error per thread, and so do we.
thread_local int32_t lastError = 0;

int32_t Fail(int32_t winsockError) {
    lastError = winsockError;
    return -1;
}

int32_t FailFromErrno() { return Fail(WinsockError(errno)); }

// Milliseconds from now until deadline, rounded up, for poll's time limit.
int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto rounded = std::chrono::ceil<Milliseconds>(left).count();
    return rounded > INT_MAX ? INT_MAX : static_cast<int>(rounded);
}

// Waits until fd is ready for events or deadline passes: 1 ready (or in
// error, which the next call reports), 0 time out, -1 failure.
int WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd watched{fd, events, 0};
        const int ready = Calls().poll(&watched, 1, MillisecondsUntil(deadline));
        if (ready >= 0) {
            return ready;
        }
        if (errno != EINTR) {
            return FailFromErrno();
        }
    }
}

}  // namespace

const SocketCalls& SystemSocketCalls() { return kSystemCalls; }

void UseSocketCalls(const SocketCalls* calls) {
    activeCalls.store(calls != nullptr ? calls : &kSystemCalls, std::memory_order_release);
}

int32_t WinsockError(int errnoValue) {
    switch (errnoValue) {
        case EINTR: return kWsaInterrupted;
        case EBADF: return kWsaBadHandle;
        case EACCES:
        case EPERM: return kWsaAccessDenied;
        case EFAULT: return kWsaFault;
        case EINVAL: return kWsaInvalidArgument;
        case EMFILE:
        case ENFILE: return kWsaTooManySockets;
        case EAGAIN: return kWsaWouldBlock;
        case ENOTSOCK: return kWsaNotSocket;
        case EPROTONOSUPPORT: return kWsaProtocolNotSupported;
        case EOPNOTSUPP: return kWsaOperationNotSupported;
        case EAFNOSUPPORT: return kWsaFamilyNotSupported;
        case EADDRINUSE: return kWsaAddressInUse;
        case EADDRNOTAVAIL: return kWsaAddressNotAvailable;
        case ENETDOWN: return kWsaNetworkDown;
        case ENETUNREACH: return kWsaNetworkUnreachable;
        case ECONNABORTED: return kWsaConnectionAborted;
        case ECONNRESET:
        case EPIPE: return kWsaConnectionReset;
        case ENOBUFS:
        case ENOMEM: return kWsaNoBuffers;
        case ENOTCONN: return kWsaNotConnected;
        case ESHUTDOWN: return kWsaShutDown;
        case ETIMEDOUT: return kWsaTimedOut;
        case ECONNREFUSED: return kWsaConnectionRefused;
        case EHOSTUNREACH: return kWsaHostUnreachable;
        default: return kWsaSystemCallFailure;
    }
}

int32_t StartSockets() {
    const int32_t result = Calls().startup(kSocketsVersion);
    if (result != 0) {
        lastError = result;  // the library's start reports its error itself
    }
    return result;
}

int32_t LastSocketError() { return lastError; }

SocketHandle OpenTcpSocket() {
    const int fd = Calls().socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        FailFromErrno();
        return kInvalidSocket;
    }
    return fd;
}

int32_t BindToAnyAddress(SocketHandle socket, uint16_t port) {
    // Lets a restarted host have its port back while the old connections sit
    // in TIME_WAIT, as Windows does by default; a live listener still holds
    // its port against us.
    const int on = 1;
    if (Calls().setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return FailFromErrno();
    }
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    // Two port tasks binding the same free port at once could otherwise both
    // lose it (each listen fails against the other's bind) and both move on.
    static std::mutex claiming;
    std::lock_guard claim(claiming);
    if (Calls().bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return FailFromErrno();
    }
    // With SO_REUSEADDR two sockets may both bind a port until one of them
    // listens, and then the other's listen fails: two port tasks starting at
    // once would both think they had 9100. Listening at once settles who owns
    // the port here, where Winsock settles it; the loser gets a fresh socket
    // under the same handle, so it can go on to the next port.
    if (Calls().listen(socket, 1) != 0) {
        const int32_t error = WinsockError(errno);
        const int fresh = Calls().socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fresh >= 0) {
            Calls().dup3(fresh, socket, O_CLOEXEC);
            Calls().close(fresh);
        }
        return Fail(error);
    }
    return 0;
}

int32_t ListenForClients(SocketHandle socket, int32_t backlog) {
    return Calls().listen(socket, backlog) == 0 ? 0 : FailFromErrno();
}

int32_t SelectReadable(ReadSet& set) {
    if (set.count == 0 || set.count > kReadSetSize) {
        return Fail(kWsaInvalidArgument);
    }
    pollfd watched[kReadSetSize];
    for (uint32_t i = 0; i < set.count; ++i) {
        if (set.sockets[i] < 0) {
            return Fail(kWsaNotSocket);  // poll would silently skip it
        }
        watched[i] = {set.sockets[i], POLLIN, 0};
    }
    int ready = 0;
    do {
        ready = Calls().poll(watched, set.count, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        return FailFromErrno();
    }
    uint32_t kept = 0;
    for (uint32_t i = 0; i < set.count; ++i) {
        if ((watched[i].revents & POLLNVAL) != 0) {
            return Fail(kWsaNotSocket);
        }
        // A hang-up or an error reads at once too: recv then reports it.
        if ((watched[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            set.sockets[kept++] = watched[i].fd;
        }
    }
    set.count = kept;
    return static_cast<int32_t>(kept);
}

SocketHandle AcceptClient(SocketHandle listener) {
    for (;;) {
        const int fd = Calls().accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            return fd;
        }
        if (errno != EINTR) {
            FailFromErrno();
            return kInvalidSocket;
        }
    }
}

int32_t ReceiveBytes(SocketHandle socket, uint8_t* buffer, int32_t length, uint32_t& millisecondsLeft) {
    const auto deadline = Clock::now() + Milliseconds(millisecondsLeft);
    int32_t result = -1;
    for (;;) {
        // Usually the input is there already (the caller looked): take it
        // without a second look, and wait only when nothing has come yet.
        const ssize_t received = Calls().recv(socket, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
        if (received >= 0) {
            result = static_cast<int32_t>(received);
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            FailFromErrno();
            break;
        }
        const int ready = WaitFor(socket, POLLIN, deadline);
        if (ready < 0) {
            break;
        }
        if (ready == 0) {
            Fail(kWsaTimedOut);
            break;
        }
    }
    const auto left = std::chrono::floor<Milliseconds>(deadline - Clock::now()).count();
    millisecondsLeft = left > 0 ? static_cast<uint32_t>(left) : 0;
    return result;
}

int32_t SendBytes(SocketHandle socket, const uint8_t* data, int32_t length, uint32_t stallMilliseconds) {
    int32_t sent = 0;
    while (sent < length) {
        const ssize_t taken = Calls().send(socket, data + sent, static_cast<size_t>(length - sent),
                                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (taken > 0) {
            sent += static_cast<int32_t>(taken);
            continue;
        }
        if (taken < 0 && errno == EINTR) {
            continue;
        }
        if (taken < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return FailFromErrno();
        }
        // The peer's window is full: give it the stall limit to take more.
        const int ready = WaitFor(socket, POLLOUT, Clock::now() + Milliseconds(stallMilliseconds));
        if (ready < 0) {
            return -1;
        }
        if (ready == 0) {
            return Fail(kWsaTimedOut);
        }
    }
    return sent;
}

void CloseSocket(SocketHandle socket) {
    // Not repeated on EINTR: Linux has released the descriptor either way.
    Calls().close(socket);
}

bool ConnectionEnded(SocketHandle socket) {
    pollfd watched{socket, POLLIN, 0};
    if (Calls().poll(&watched, 1, 0) != 1) {
        return false;
    }
    if ((watched.revents & (POLLERR | POLLNVAL)) != 0) {
        return true;
    }
    uint8_t next = 0;
    const ssize_t peeked = Calls().recv(socket, &next, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

void* ResizeHeapBlock(void* block, size_t bytes) { return Calls().realloc(block, bytes); }

}  // namespace kelmor::platform
