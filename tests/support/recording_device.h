// A device that records every call the service loop makes on it and plays
// back scripted Poll results and input bytes.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "devices/port_device.h"

namespace kelmor::test {

class RecordingDevice final : public PortDevice {
public:
    void Open() override { Log("Open"); }
    bool Poll() override;
    void Read(uint8_t* buffer, uint16_t* count) override;
    void Write(const uint8_t* data, uint16_t length) override;
    void Close() override { Log("Close"); }
    void Dismount() override { Log("Dismount"); }

    // Poll gives these results first, then true.
    void QueuePolls(std::vector<bool> results);
    void QueueInput(const std::string& bytes);
    std::vector<std::string> Calls();
    int Count(const std::string& call);
    std::string Written();

private:
    void Log(std::string call);

    std::mutex mutex_;
    std::vector<std::string> calls_;
    std::deque<bool> polls_;
    std::deque<uint8_t> input_;
    std::string written_;
};

// The factories a test loop can use: each hands out the one device the test
// put there (or none).
extern std::atomic<RecordingDevice*> currentDevice;
PortDevice* CurrentDevice();

}  // namespace kelmor::test
