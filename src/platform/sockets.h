// The socket library as the TCP terminal device needs it: Winsock 1.1
// behaviour on every platform, errors reported as Winsock numbers. Each
// platform folder implements this in sockets.cpp; nothing else in the library
// talks to the network.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform_traits.h"  // SocketHandle, kInvalidSocket

namespace kelmor::platform {

// Winsock error numbers, as LastSocketError reports them everywhere.
inline constexpr int32_t kWsaInterrupted = 10004;
inline constexpr int32_t kWsaBadHandle = 10009;
inline constexpr int32_t kWsaAccessDenied = 10013;
inline constexpr int32_t kWsaFault = 10014;
inline constexpr int32_t kWsaInvalidArgument = 10022;
inline constexpr int32_t kWsaTooManySockets = 10024;
inline constexpr int32_t kWsaWouldBlock = 10035;
inline constexpr int32_t kWsaNotSocket = 10038;
inline constexpr int32_t kWsaProtocolNotSupported = 10043;
inline constexpr int32_t kWsaOperationNotSupported = 10045;
inline constexpr int32_t kWsaFamilyNotSupported = 10047;
inline constexpr int32_t kWsaAddressInUse = 10048;
inline constexpr int32_t kWsaAddressNotAvailable = 10049;
inline constexpr int32_t kWsaNetworkDown = 10050;
inline constexpr int32_t kWsaNetworkUnreachable = 10051;
inline constexpr int32_t kWsaConnectionAborted = 10053;
inline constexpr int32_t kWsaConnectionReset = 10054;
inline constexpr int32_t kWsaNoBuffers = 10055;
inline constexpr int32_t kWsaNotConnected = 10057;
inline constexpr int32_t kWsaShutDown = 10058;
inline constexpr int32_t kWsaTimedOut = 10060;
inline constexpr int32_t kWsaConnectionRefused = 10061;
inline constexpr int32_t kWsaHostUnreachable = 10065;
inline constexpr int32_t kWsaSystemCallFailure = 10107;

// The socket library version the device asks for: 1.1.
inline constexpr uint16_t kSocketsVersion = 0x0101;

// Starts the socket library for the calling task; 0, or the error number.
// Never shut down again.
int32_t StartSockets();

// The error of the calling thread's last failed socket call.
int32_t LastSocketError();

// A TCP stream socket over IPv4, or kInvalidSocket.
SocketHandle OpenTcpSocket();

// Binds to port on every local IPv4 address; 0, or -1 with the error set.
// A port held only by connections lingering after a close can be bound again;
// one held by a live listener, or by a socket bound to it a moment earlier,
// cannot (kWsaAddressInUse), and the socket can then try another port.
int32_t BindToAnyAddress(SocketHandle socket, uint16_t port);

// Makes a bound socket accept connections, queueing up to backlog of them.
int32_t ListenForClients(SocketHandle socket, int32_t backlog);

// A set of sockets to look at for readiness, with the Winsock read-set
// semantics: at most kReadSetSize sockets, each at most once.
inline constexpr uint32_t kReadSetSize = 64;

struct ReadSet {
    uint32_t count = 0;
    SocketHandle sockets[kReadSetSize] = {};
};

// False (and the set unchanged) when the set is full.
inline bool AddToReadSet(ReadSet& set, SocketHandle socket) {
    for (uint32_t i = 0; i < set.count; ++i) {
        if (set.sockets[i] == socket) {
            return true;
        }
    }
    if (set.count >= kReadSetSize) {
        return false;
    }
    set.sockets[set.count++] = socket;
    return true;
}

inline bool IsInReadSet(const ReadSet& set, SocketHandle socket) {
    for (uint32_t i = 0; i < set.count; ++i) {
        if (set.sockets[i] == socket) {
            return true;
        }
    }
    return false;
}

// Looks without waiting at which sockets of the set can be read without
// blocking (input, a closed or failed connection, or a waiting connection on
// a listener). Leaves only those in the set and returns how many; -1 with the
// error set on failure (an empty set, or a socket that is not one), the set
// then undefined.
int32_t SelectReadable(ReadSet& set);

// Takes one waiting connection, or kInvalidSocket with the error set.
SocketHandle AcceptClient(SocketHandle listener);

// Receives up to length bytes, waiting at most millisecondsLeft for the first
// of them, and takes the time spent off millisecondsLeft. Returns the count,
// 0 when the peer closed, -1 on failure or when the time ran out
// (kWsaTimedOut).
int32_t ReceiveBytes(SocketHandle socket, uint8_t* buffer, int32_t length, uint32_t& millisecondsLeft);

// Sends all length bytes. A peer that takes nothing for stallMilliseconds
// makes the send fail (kWsaTimedOut), as does a vanished peer; neither ever
// raises a signal. Returns length, or -1 with the error set.
int32_t SendBytes(SocketHandle socket, const uint8_t* data, int32_t length, uint32_t stallMilliseconds);

void CloseSocket(SocketHandle socket);

// True when a connection has ended (the peer closed it, or it failed) with
// nothing left unread; looks without waiting and takes nothing.
bool ConnectionEnded(SocketHandle socket);

// Resizes a block of the general-purpose heap, as realloc does.
void* ResizeHeapBlock(void* block, size_t bytes);

}  // namespace kelmor::platform
