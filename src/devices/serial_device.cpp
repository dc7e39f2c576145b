#include "devices/serial_device.h"

#include <cstdio>

#include "platform/comm.h"

namespace platform = kelmor::platform;

void SerialDevice::Start(int32_t number) {
    comNumber = number;
    char lineName[16];
    std::snprintf(lineName, sizeof lineName, "COM%d:", comNumber);
    handle = platform::OpenCommLine(lineName);
    if (handle == platform::kInvalidCommHandle) {
        return;  // a missing or taken line: writes dropped, reads empty
    }
    ConfigureLine();
    platform::SetReadsReturnAtOnce(handle);
    // One NUL byte tells the peer the port is up; it goes out after the
    // settings, through the same path as every later write.
    const uint8_t nul = 0;
    Write(&nul, 1);
}

void SerialDevice::ConfigureLine() {
    if (handle == platform::kInvalidCommHandle) {
        return;
    }
    platform::SetModemLine(handle, platform::ModemLine::Dtr, false);
    platform::SetModemLine(handle, platform::ModemLine::Rts, false);
    const platform::CommLineSettings settings{
        .baudRate = baudRate,
        .byteSize = 8,
        .parity = platform::CommParity::None,
        .stopBits = platform::CommStopBits::One,
        .binary = true,
        .checkParity = true,
        .outputHeldByCts = false,
        .outputHeldByDsr = false,
        .dtrOnWhileOpen = true,
        .rtsOnWhileOpen = true,
        .inputGatedByDsr = false,
        .sendOnAfterXoff = true,
        .outputXonXoff = true,
        .inputXonXoff = true,
        .replaceErrorBytes = false,
        .discardNul = false,
        .abortOnError = false,
        .xonChar = 0x11,
        .xoffChar = 0x13,
    };
    platform::ConfigureCommLine(handle, settings);
    platform::SetModemLine(handle, platform::ModemLine::Dtr, true);
    platform::SetModemLine(handle, platform::ModemLine::Rts, true);
}

// The handle is not tested: on a line that never opened both calls fail and
// the count is 0.
void SerialDevice::Read(uint8_t* buffer, uint16_t* count) {
    platform::ClearCommErrors(handle);
    uint32_t received = 0;
    if (!platform::ReadComm(handle, buffer, 1, &received)) {
        received = 0;
    }
    *count = static_cast<uint16_t>(received);
}

void SerialDevice::Write(const uint8_t* data, uint16_t length) {
    if (handle == platform::kInvalidCommHandle) {
        return;
    }
    platform::WriteComm(handle, data, length);
}

// The handle keeps its value; no call follows a dismount.
void SerialDevice::Dismount() { platform::CloseCommLine(handle); }
