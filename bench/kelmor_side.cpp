#include "kelmor_side.h"

#include <cstring>

#include "kernel.h"
#include "runtime/runtime.h"
#include "task/port_task.h"

namespace kelmor::bench {
namespace {

using runtime::Kernel;

constexpr const char* kPortMapKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zorva\\Zorva Robotics Veltrane V6.20\\Port Map";
constexpr std::chrono::milliseconds kDismountLimit{5000};
constexpr int32_t kEchoIdleWait = 24;  // as long as a port task's idle wait

// Answers each packet as soon as it comes, with the same receive the port
// loop uses, until a dismount.
void EchoEntry() {
    for (;;) {
        Packet* packet = nullptr;
        uint32_t handle = 0;
        uint32_t ignored1 = 0;
        uint32_t ignored2 = 0;
        if (rt_receive_packet(0, kEchoIdleWait, &packet, &handle, &ignored1, &ignored2) != 0) {
            continue;
        }
        packet->status = 0;
        const bool last = packet->request == F_DISMOUNT;
        rt_send_packet(packet, packet->replyTo, 0, SEND_REPLY, handle);
        if (last) {
            return;
        }
    }
}

void Release(Packet* packet) { Kernel::Get().ReleaseRequest(packet); }

}  // namespace

Session::Session() {
    Kernel& kernel = Kernel::Get();
    kernel.Reset();
    kernel.SetEventSink([](const runtime::KernelEvent&) {});
    kernel.AttachThread(kControllerTask, "bench");
    kernel.StartSink(kLoginNoticeTask, "logins", [this](const Packet&, int) { ++logins_; });
}

Session::~Session() {
    for (uint8_t task : started_) {
        Dismount(task);
    }
    Kernel::Get().DetachThread();
    Kernel::Get().Reset();
}

void Session::Map(const std::string& port, const std::string& text) {
    Kernel::Get().Config().SetText(kPortMapKey, port, text);
}

void Session::StartPort(uint8_t task) {
    started_.push_back(task);
    Kernel::Get().StartTask(task, &PortTaskEntry);
}

void Session::StartEcho(uint8_t task) {
    started_.push_back(task);
    Kernel::Get().StartTask(task, &EchoEntry);
}

uint16_t Session::TcpPort(uint8_t task, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        for (const runtime::Announcement& announcement : Kernel::Get().Announcements()) {
            if (announcement.task == task) {
                return static_cast<uint16_t>(announcement.tcpPort);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
}

bool Session::WaitLogins(int count, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (logins_.load() < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

Packet* Session::MakePacket(uint8_t request, size_t size) {
    Packet* packet = Kernel::Get().NewRequest(request, {}, size);
    if (packet != nullptr && size > 0) {
        for (size_t i = 0; i < size; ++i) {
            packet->buffer[i] = static_cast<uint8_t>('A' + i % 26);
        }
        packet->length = static_cast<uint16_t>(size);
    }
    return packet;
}

bool Session::Queue(uint8_t task, Packet* packet) { return Kernel::Get().Request(kControllerTask, task, packet) == 0; }

Packet* Session::Await(std::chrono::milliseconds limit) {
    auto delivery = Kernel::Get().Await(kControllerTask, limit);
    return delivery ? delivery->packet : nullptr;
}

void Session::Dismount(uint8_t task) {
    if (Kernel::Get().TaskEnded(task)) {
        return;
    }
    Packet* dismount = MakePacket(F_DISMOUNT, 0);
    if (dismount != nullptr && !Queue(task, dismount)) {
        Release(dismount);
    }
    Kernel::Get().WaitTaskEnded(task, kDismountLimit);
}

RequestStream::RequestStream(uint8_t task, uint8_t request, size_t size, int window)
    : task_(task), request_(request) {
    for (int i = 0; i < window; ++i) {
        if (Packet* packet = Session::MakePacket(request, size)) {
            packets_.push_back(packet);
        }
    }
}

RequestStream::~RequestStream() { Stop(); }

void RequestStream::Start() {
    thread_ = std::thread([this] {
        const uint16_t length = packets_.empty() ? 0 : packets_.front()->length;
        size_t inFlight = 0;
        for (Packet* packet : packets_) {
            inFlight += Session::Queue(task_, packet) ? 1 : 0;
        }
        while (!stop_.load(std::memory_order_relaxed) && inFlight > 0) {
            Packet* answer = Session::Await(std::chrono::milliseconds(100));
            if (answer == nullptr) {
                continue;
            }
            answered_.fetch_add(1, std::memory_order_relaxed);
            bytes_.fetch_add(answer->actual, std::memory_order_relaxed);
            answer->length = length;
            answer->actual = 0;
            if (!Session::Queue(task_, answer)) {
                --inFlight;
            }
        }
        // Queued writes come back before long; a read waits for input that
        // may never come, and the kernel's reset takes it back.
        const auto drain = request_ == F_READ ? std::chrono::seconds(0) : std::chrono::seconds(2);
        const auto deadline = std::chrono::steady_clock::now() + drain;
        while (inFlight > 0 && std::chrono::steady_clock::now() < deadline) {
            if (Session::Await(std::chrono::milliseconds(50)) != nullptr) {
                --inFlight;
            }
        }
    });
}

void RequestStream::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace kelmor::bench
