#include "devices/serial_device.h"

// Placeholder until the serial line layer lands: behaves as a line that does
// not exist.
void SerialDevice::Start(int32_t number) { comNumber = number; }
void SerialDevice::ConfigureLine() {}
void SerialDevice::Read(uint8_t*, uint16_t* count) { *count = 0; }
void SerialDevice::Write(const uint8_t*, uint16_t) {}
void SerialDevice::Dismount() {}
