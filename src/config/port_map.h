// Which device stands behind a port: the port table, the port map key in the
// configuration and the device vocabulary.
#pragma once

#include <cstdint>

#include "devices/port_device.h"

struct PortEntry {
    uint8_t task;
    const char* name;
    int32_t service;
};

// The port served by a task number, or null for a task that serves none.
const PortEntry* FindPortEntry(uint8_t task);

inline constexpr int kPortMapKeySize = 128;
inline constexpr uint32_t kConfigTextSize = 50;
inline constexpr const char* kDefaultDeviceText = "nul:";
inline constexpr const char* kWaitValueName = "Wait";

// Fills key (kPortMapKeySize bytes) with the port map key text.
void BuildPortMapKey(char* key);

enum class DeviceKind { Null, Serial, Tcp, File };

struct DeviceChoice {
    DeviceKind kind;
    int32_t comNumber;  // 1..4 for a serial device
};

// The device an upper-cased device text selects.
DeviceChoice SelectDevice(const char* upperCasedText);

// Makes, fills in and starts the running task's device; null only when no
// memory could be had for it.
PortDevice* CreatePortDevice();
