#include "devices/tcp_device.h"

// Placeholder until the socket layer lands: behaves as a failed start.
void TcpDevice::Start() {}
bool TcpDevice::Poll() { return true; }
void TcpDevice::Read(uint8_t*, uint16_t* count) { *count = 0; }
void TcpDevice::Write(const uint8_t*, uint16_t) {}
void TcpDevice::Dismount() {}
int32_t TcpDevice::SendLoginNotice() { return 1; }
