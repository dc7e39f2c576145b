// Shared test harness: a fresh stand-in kernel per test, the test thread
// attached as a controller task, and helpers to run port tasks and talk to
// them with real packets.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel.h"
#include "task/port_service.h"

namespace kelmor::test {

using namespace std::chrono_literals;

inline constexpr uint8_t kController = 1;
inline constexpr uint8_t kLoginNoticeTask = 68;
inline constexpr uint8_t kMirrorTask = 75;
inline constexpr std::chrono::milliseconds kAnswerLimit = 3s;
inline constexpr const char* kPortMapKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zorva\\Zorva Robotics Veltrane V6.20\\Port Map";

runtime::Kernel& Kernel();

// Polls condition every millisecond until it holds or limit passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = kAnswerLimit);

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The port task's real entry, as the host starts it.
    void StartPortTask(uint8_t task);
    // A port task whose loop gets its device from factory instead of the port map.
    void StartLoop(uint8_t task, DeviceFactory factory);
    void MapPort(const std::string& port, const std::string& text);

    // A packet of ours with a runtime buffer holding data (or bufferSize bytes).
    Packet* MakePacket(uint8_t request, std::string_view data = {}, size_t bufferSize = 0);
    // Queues a request of ours for task; the answer comes back to us.
    void Queue(uint8_t task, Packet* packet);
    // Makes and queues a request for task.
    Packet* Send(uint8_t task, uint8_t request, std::string_view data = {}, size_t bufferSize = 0);
    // The next packet queued for us, or null when none came within limit.
    Packet* Answer(std::chrono::milliseconds limit = kAnswerLimit);
    void Release(Packet* packet);
    // Sends F_DISMOUNT, takes its answer and waits until the task has ended.
    void Dismount(uint8_t task);

private:
    std::vector<uint8_t> running_;
};

}  // namespace kelmor::test
