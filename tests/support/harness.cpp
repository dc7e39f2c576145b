#include "harness.h"

#include <array>
#include <cstring>
#include <thread>

#include "runtime/runtime.h"
#include "task/port_task.h"

namespace kelmor::test {
namespace {

std::array<DeviceFactory, 256> loopFactories{};

void LoopEntry() {
    const uint8_t task = *static_cast<uint8_t*>(rt_global_block(kTaskBlock));
    rt_task_attach(kTaskName);
    ServePort(loopFactories[task]);
    rt_task_delete(0);
}

}  // namespace

runtime::Kernel& Kernel() { return runtime::Kernel::Get(); }

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void KernelTest::SetUp() {
    Kernel().Reset();
    Kernel().AttachThread(kController, "controller");
}

void KernelTest::TearDown() {
    for (uint8_t task : running_) {
        if (!Kernel().TaskEnded(task)) {
            Packet* dismount = MakePacket(F_DISMOUNT);
            if (Kernel().Request(kController, task, dismount) != 0) {
                Release(dismount);
            }
            Kernel().WaitTaskEnded(task, kAnswerLimit);
        }
    }
    Kernel().DetachThread();
    Kernel().Reset();
}

void KernelTest::StartPortTask(uint8_t task) {
    running_.push_back(task);
    Kernel().StartTask(task, &PortTaskEntry);
}

void KernelTest::StartLoop(uint8_t task, DeviceFactory factory) {
    loopFactories[task] = factory;
    running_.push_back(task);
    Kernel().StartTask(task, &LoopEntry);
}

void KernelTest::MapPort(const std::string& port, const std::string& text) {
    Kernel().Config().SetText(kPortMapKey, port, text);
}

Packet* KernelTest::MakePacket(uint8_t request, std::string_view data, size_t bufferSize) {
    Packet* packet = Kernel().NewRequest(request, data, bufferSize);
    EXPECT_NE(packet, nullptr);
    return packet;
}

void KernelTest::Queue(uint8_t task, Packet* packet) { EXPECT_EQ(Kernel().Request(kController, task, packet), 0); }

Packet* KernelTest::Send(uint8_t task, uint8_t request, std::string_view data, size_t bufferSize) {
    Packet* packet = MakePacket(request, data, bufferSize);
    Queue(task, packet);
    return packet;
}

Packet* KernelTest::Answer(std::chrono::milliseconds limit) {
    auto delivery = Kernel().Await(kController, limit);
    return delivery ? delivery->packet : nullptr;
}

void KernelTest::Release(Packet* packet) { EXPECT_TRUE(Kernel().ReleaseRequest(packet)); }

void KernelTest::Dismount(uint8_t task) {
    Packet* dismount = Send(task, F_DISMOUNT);
    Packet* answer = Answer();
    ASSERT_EQ(answer, dismount);
    Release(answer);
    ASSERT_TRUE(Kernel().WaitTaskEnded(task, kAnswerLimit));
}

}  // namespace kelmor::test
