#pragma once

#include <cstdint>

#include "devices/port_device.h"
#include "platform/platform.h"

// A port served as a small TCP terminal on the first free port 9100..9199:
// login exchange, one input byte at a time, output to every client.
class TcpDevice final : public PortDevice {
public:
    void Start();

    void Open() override {}
    bool Poll() override;
    void Read(uint8_t* buffer, uint16_t* count) override;
    void Write(const uint8_t* data, uint16_t length) override;
    void Close() override {}
    void Dismount() override;

    int32_t SendLoginNotice();

    kelmor::platform::SocketHandle listenSocket = kelmor::platform::kInvalidSocket;
    uint32_t clientCount = 0;
    kelmor::platform::SocketHandle* clients = nullptr;
};
