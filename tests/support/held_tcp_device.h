// A TCP terminal device for a port loop that a test starts with StartLoop,
// held where the test can look into its client table. Look only once the
// loop has answered a packet and no client is connecting: the answer orders
// the loop's changes before the look.
#pragma once

#include <dirent.h>

#include <cstdlib>
#include <cstring>

#include "devices/tcp_device.h"

namespace kelmor::test {

// The port the first TCP port task listens on, and what every client is sent
// before its answers are read.
inline constexpr uint16_t kFirstTerminalPort = 9100;
inline constexpr const char* kLoginPrompts = "login: password: ";
inline constexpr size_t kLoginPromptsSize = 17;

inline TcpDevice heldTcpDevice;

// The factory for StartLoop: starts the held device as P1 would be started.
inline PortDevice* HeldTcpDevice() {
    std::strcpy(heldTcpDevice.name, "P1");
    heldTcpDevice.service = 2;
    heldTcpDevice.Start();
    return &heldTcpDevice;
}

// After the loop has ended: the table's storage goes, the device is new again.
inline void ForgetHeldTcpDevice() {
    std::free(heldTcpDevice.clients);
    heldTcpDevice = TcpDevice();
}

// Entries that hold a connection.
inline uint32_t LiveEntries(const TcpDevice& device) {
    uint32_t live = 0;
    for (uint32_t i = 0; i < device.clientCount; ++i) {
        live += device.clients[i] != platform::kInvalidSocket ? 1 : 0;
    }
    return live;
}

// The descriptors this process has open (the count includes the one that
// reads the folder, the same every time).
inline size_t CountDescriptors() {
    size_t count = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (readdir(folder) != nullptr) {
            ++count;
        }
        closedir(folder);
    }
    return count;
}

}  // namespace kelmor::test
