#pragma once

#include "devices/port_device.h"
#include "runtime/runtime.h"

// A port whose output goes to a file: emptied at start, appended to by every
// write request, closed between requests. Nothing can be read from it.
class FileDevice final : public PortDevice {
public:
    static constexpr int kPathLimit = 50;

    void Start(const char* deviceText);

    void Open() override;
    bool Poll() override { return true; }
    void Read(uint8_t*, uint16_t* count) override { *count = 0; }
    void Write(const uint8_t* data, uint16_t length) override;
    void Close() override;
    void Dismount() override { Close(); }

    RtFile file = 0;
    char path[kPathLimit + 1] = {};
};
