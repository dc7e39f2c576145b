#include "recording_device.h"

#include <algorithm>

namespace kelmor::test {

std::atomic<RecordingDevice*> currentDevice{nullptr};

PortDevice* CurrentDevice() { return currentDevice.load(); }

void RecordingDevice::Log(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
}

bool RecordingDevice::Poll() {
    Log("Poll");
    std::lock_guard lock(mutex_);
    if (polls_.empty()) {
        return true;
    }
    const bool result = polls_.front();
    polls_.pop_front();
    return result;
}

void RecordingDevice::Read(uint8_t* buffer, uint16_t* count) {
    Log("Read");
    std::lock_guard lock(mutex_);
    *count = 0;
    if (!input_.empty()) {
        buffer[0] = input_.front();
        input_.pop_front();
        *count = 1;
    }
}

void RecordingDevice::Write(const uint8_t* data, uint16_t length) {
    Log("Write");
    std::lock_guard lock(mutex_);
    written_.append(reinterpret_cast<const char*>(data), length);
}

void RecordingDevice::QueuePolls(std::vector<bool> results) {
    std::lock_guard lock(mutex_);
    polls_.insert(polls_.end(), results.begin(), results.end());
}

void RecordingDevice::QueueInput(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
}

std::vector<std::string> RecordingDevice::Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
}

int RecordingDevice::Count(const std::string& call) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(calls_.begin(), calls_.end(), call));
}

std::string RecordingDevice::Written() {
    std::lock_guard lock(mutex_);
    return written_;
}

}  // namespace kelmor::test
