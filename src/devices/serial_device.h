#pragma once

#include <cstdint>

#include "devices/port_device.h"
#include "platform/platform.h"

// A port on one of the PC's serial lines COM1..COM4: 9600 baud, 8N1, XON/XOFF
// both ways, reads that never wait and take one byte at a time.
class SerialDevice final : public PortDevice {
public:
    void Start(int32_t comNumber);

    void Open() override {}
    bool Poll() override { return true; }
    void Read(uint8_t* buffer, uint16_t* count) override;
    void Write(const uint8_t* data, uint16_t length) override;
    void Close() override {}
    void Dismount() override;

    kelmor::platform::CommHandle handle = kelmor::platform::kInvalidCommHandle;
    uint32_t baudRate = 9600;
    int32_t comNumber = 1;

private:
    void ConfigureLine();
};
