#include "config/port_map.h"

#include <cstring>
#include <new>

#include "devices/file_device.h"
#include "devices/null_device.h"
#include "devices/serial_device.h"
#include "devices/tcp_device.h"
#include "platform/platform.h"
#include "runtime/runtime.h"

namespace {

constexpr PortEntry kPortTable[] = {
    {31, "P0", 255}, {188, "P1", 2}, {189, "P2", 3}, {190, "P3", 4},  {191, "P4", 5},
    {192, "P5", 6},  {193, "P6", 10}, {194, "P7", 11}, {195, "P8", 12},
};

constexpr const char* kBaseKey = "SOFTWARE\\Zorva\\Zorva Robotics Veltrane";
constexpr const char* kSoftwareVersion = "V6.2051      05/11/2002";
constexpr size_t kVersionLength = 5;  // "V6.20"
constexpr const char* kPortMapSubkey = "\\Port Map";

struct Vocabulary {
    const char* text;
    DeviceChoice choice;
};

// Compared in this order; anything else names a file.
constexpr Vocabulary kVocabulary[] = {
    {"NUL:", {DeviceKind::Null, 0}},   {"COM1:", {DeviceKind::Serial, 1}},
    {"COM2:", {DeviceKind::Serial, 2}}, {"COM3:", {DeviceKind::Serial, 3}},
    {"COM4:", {DeviceKind::Serial, 4}}, {"TCP:", {DeviceKind::Tcp, 0}},
};

void UpperCaseAscii(char* text) {
    for (; *text != '\0'; ++text) {
        if (*text >= 'a' && *text <= 'z') {
            *text = static_cast<char>(*text - 'a' + 'A');
        }
    }
}

// Reads one text value of the port map; false when it is missing or unreadable.
bool ReadPortMapValue(const char* key, const char* valueName, char (&text)[kConfigTextSize]) {
    if (rt_read_config_value(key, valueName, text, kConfigTextSize) != 0) {
        text[0] = '\0';
        return false;
    }
    text[kConfigTextSize - 1] = '\0';
    return true;
}

bool WaitListNames(const char* key, const char* portName) {
    char waitText[kConfigTextSize];
    return ReadPortMapValue(key, kWaitValueName, waitText) && std::strstr(waitText, portName) != nullptr;
}

PortDevice* MakeNullDevice(const PortEntry* port) {
    auto* device = new (std::nothrow) NullDevice();
    if (device != nullptr) {
        if (port != nullptr) {
            std::strcpy(device->name, port->name);
        }
        device->Start();
    }
    return device;
}

PortDevice* MakeSerialDevice(int32_t comNumber) {
    auto* device = new (std::nothrow) SerialDevice();
    if (device != nullptr) {
        device->Start(comNumber);
    }
    return device;
}

PortDevice* MakeTcpDevice(const char* key, const PortEntry& port) {
    auto* device = new (std::nothrow) TcpDevice();
    if (device != nullptr) {
        std::strcpy(device->name, port.name);
        device->service = port.service;
        if (WaitListNames(key, port.name)) {
            device->waitForClient = 1;
        }
        device->Start();
    }
    return device;
}

PortDevice* MakeFileDevice(const char* path) {
    auto* device = new (std::nothrow) FileDevice();
    if (device != nullptr) {
        device->Start(path);
    }
    return device;
}

}  // namespace

const PortEntry* FindPortEntry(uint8_t task) {
    for (const PortEntry& entry : kPortTable) {
        if (entry.task == task) {
            return &entry;
        }
    }
    return nullptr;
}

void BuildPortMapKey(char* key) {
    std::strcpy(key, kBaseKey);
    std::strcat(key, " ");
    const size_t used = std::strlen(key);
    std::memcpy(key + used, kSoftwareVersion, kVersionLength);
    key[used + kVersionLength] = '\0';
    std::strcat(key, kPortMapSubkey);
}

DeviceChoice SelectDevice(const char* upperCasedText) {
    for (const Vocabulary& word : kVocabulary) {
        if (std::strcmp(upperCasedText, word.text) == 0) {
            return word.choice;
        }
    }
    return {DeviceKind::File, 0};
}

PortDevice* CreatePortDevice() {
    char key[kPortMapKeySize];
    BuildPortMapKey(key);

    const auto task = *static_cast<const uint8_t*>(rt_global_block(kTaskBlock));
    const PortEntry* port = FindPortEntry(task);

    char deviceText[kConfigTextSize] = "";
    if (port != nullptr) {
        ReadPortMapValue(key, port->name, deviceText);
    }
    if (deviceText[0] == '\0') {
        std::strcpy(deviceText, kDefaultDeviceText);
    }
    // The vocabulary is matched without regard to case; where file names keep
    // their case, a file port gets the path exactly as configured.
    char upperText[kConfigTextSize];
    std::strcpy(upperText, deviceText);
    UpperCaseAscii(upperText);

    const DeviceChoice choice = SelectDevice(upperText);
    switch (choice.kind) {
        case DeviceKind::Null:
            return MakeNullDevice(port);
        case DeviceKind::Serial:
            return MakeSerialDevice(choice.comNumber);
        case DeviceKind::Tcp:
            return MakeTcpDevice(key, *port);
        case DeviceKind::File:
            break;
    }
    return MakeFileDevice(kelmor::platform::kFileNamesIgnoreCase ? upperText : deviceText);
}
