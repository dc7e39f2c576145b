#pragma once

#include "devices/port_device.h"

// A port with nothing behind it: writes vanish, reads never deliver.
class NullDevice final : public PortDevice {
public:
    void Start() {}

    void Open() override {}
    bool Poll() override { return true; }
    void Read(uint8_t*, uint16_t* count) override { *count = 0; }
    void Write(const uint8_t*, uint16_t) override {}
    void Close() override {}
    void Dismount() override {}
};
