// The one interface through which a port task drives the PC device behind its
// port. Devices are made once with new and never deleted, so there is no
// virtual destructor; the slot order of the operations is fixed.
#pragma once

#include <cstdint>

class PortDevice {
public:
    virtual void Open() = 0;
    // True when nothing new has happened at the device.
    virtual bool Poll() = 0;
    // Delivers at most one byte into buffer[0]; always stores 0 or 1 in *count.
    virtual void Read(uint8_t* buffer, uint16_t* count) = 0;
    virtual void Write(const uint8_t* data, uint16_t length) = 0;
    virtual void Close() = 0;
    virtual void Dismount() = 0;

    int32_t service = 0;
    char name[20] = {};
    int32_t waitForClient = 0;

protected:
    PortDevice() = default;
    ~PortDevice() = default;
};
