#pragma once

#include <cstdint>

#include "devices/port_device.h"
#include "platform/platform.h"

// A port served as a small TCP terminal on the first free port 9100..9199:
// login exchange, one input byte at a time, output to every client.
class TcpDevice final : public PortDevice {
public:
    // How long a client may keep the port task waiting, at each place where
    // the task waits on one client.
    static constexpr uint32_t kLoginAnswerLimitMs = 10000;  // per prompt
    static constexpr uint32_t kSendStallLimitMs = 5000;     // per send without progress
    static constexpr uint32_t kEscapeTailLimitMs = 200;     // the five bytes after 0x8F
    // Failed accepts one Poll puts up with before it gives up until next time.
    static constexpr int kFailedAcceptLimit = 64;

    void Start();

    void Open() override {}
    bool Poll() override;
    void Read(uint8_t* buffer, uint16_t* count) override;
    void Write(const uint8_t* data, uint16_t length) override;
    void Close() override {}
    void Dismount() override;

    int32_t SendLoginNotice();

    // Frees the entries of connections that ended while nobody read or wrote,
    // so that the table grows only with clients still there; the lowest
    // freed index, or clientCount when none was.
    uint32_t FreeEndedEntries();

    kelmor::platform::SocketHandle listenSocket = kelmor::platform::kInvalidSocket;
    uint32_t clientCount = 0;
    kelmor::platform::SocketHandle* clients = nullptr;  // general-purpose heap; -1 is a free entry
    uint8_t escapeTail[5] = {};                         // the bytes that follow an escape byte
};
