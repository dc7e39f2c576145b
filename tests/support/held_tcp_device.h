// A TCP terminal device for a port loop that a test starts with StartLoop,
// held where the test can see its client table: after each device call the
// port task notes how many entries the table has and how many of them hold
// a connection, and the test reads that note, never the table itself.
#pragma once

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "devices/tcp_device.h"

namespace kelmor::test {

// The port the first TCP port task listens on, and what every client is sent
// before its answers are read.
inline constexpr uint16_t kFirstTerminalPort = 9100;
inline constexpr const char* kLoginPrompts = "login: password: ";
inline constexpr size_t kLoginPromptsSize = 17;

// Entries that hold a connection.
inline uint32_t LiveEntries(const TcpDevice& device) {
    uint32_t live = 0;
    for (uint32_t i = 0; i < device.clientCount; ++i) {
        live += device.clients[i] != platform::kInvalidSocket ? 1 : 0;
    }
    return live;
}

struct ClientTable {
    uint32_t entries = 0;
    uint32_t live = 0;
};

class HeldTcpPort final : public PortDevice {
public:
    void Open() override { Noted([&] { device_.Open(); }); }
    bool Poll() override {
        bool nothingNew = true;
        Noted([&] { nothingNew = device_.Poll(); });
        return nothingNew;
    }
    void Read(uint8_t* buffer, uint16_t* count) override { Noted([&] { device_.Read(buffer, count); }); }
    void Write(const uint8_t* data, uint16_t length) override { Noted([&] { device_.Write(data, length); }); }
    void Close() override { Noted([&] { device_.Close(); }); }
    void Dismount() override { Noted([&] { device_.Dismount(); }); }

    // Starts the device as P1's would be started.
    void Start() {
        std::strcpy(device_.name, "P1");
        device_.service = 2;
        Noted([&] { device_.Start(); });
    }
    ClientTable Table() {
        std::lock_guard lock(mutex_);
        return table_;
    }
    // After the loop has ended: the table's storage goes, the device is new again.
    void Forget() {
        std::free(device_.clients);
        device_ = TcpDevice();
        std::lock_guard lock(mutex_);
        table_ = {};
    }

private:
    template <typename Call>
    void Noted(Call call) {
        call();
        const ClientTable now{device_.clientCount, LiveEntries(device_)};
        std::lock_guard lock(mutex_);
        table_ = now;
    }

    TcpDevice device_;
    std::mutex mutex_;
    ClientTable table_;
};

inline HeldTcpPort heldTcpPort;

// The factory for StartLoop.
inline PortDevice* HeldTcpDevice() {
    heldTcpPort.Start();
    return &heldTcpPort;
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
