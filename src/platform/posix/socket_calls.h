// The system calls behind the POSIX socket layer, kept in one table so a test
// can make any of them fail (accept running out of descriptors, realloc out
// of memory) without touching the code that calls them.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace kelmor::platform {

struct SocketCalls {
    // Stands in for the socket library's start; the system's returns 0.
    int32_t (*startup)(uint16_t version);
    int (*socket)(int domain, int type, int protocol);
    int (*setsockopt)(int fd, int level, int name, const void* value, socklen_t length);
    int (*bind)(int fd, const sockaddr* address, socklen_t length);
    int (*listen)(int fd, int backlog);
    int (*dup3)(int from, int to, int flags);
    int (*poll)(pollfd* fds, nfds_t count, int timeoutMilliseconds);
    int (*accept4)(int fd, sockaddr* address, socklen_t* length, int flags);
    ssize_t (*recv)(int fd, void* buffer, size_t length, int flags);
    ssize_t (*send)(int fd, const void* data, size_t length, int flags);
    int (*close)(int fd);
    void* (*realloc)(void* block, size_t bytes);
};

// The table of the real system calls.
const SocketCalls& SystemSocketCalls();

// Makes the layer use calls from now on, on every thread; null puts the
// system's table back. The table must outlive its use.
void UseSocketCalls(const SocketCalls* calls);

// The Winsock number for an errno value; the one place they are matched.
int32_t WinsockError(int errnoValue);

}  // namespace kelmor::platform
