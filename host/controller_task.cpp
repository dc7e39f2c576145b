#include "controller_task.h"


#include "kernel.h"
#include "runtime/runtime.h"

namespace kelmor::host {

using runtime::Kernel;

void ReleasePacket(Packet* packet) { Kernel::Get().ReleaseRequest(packet); }

ControllerTask::ControllerTask(uint8_t self, const std::string& name) : self_(self) {
    Kernel::Get().AttachThread(self, name);
}

RequestResult ControllerTask::Request(uint8_t port, uint8_t code, std::string_view data,
                                      std::chrono::milliseconds limit) {
    RequestResult result;
    Packet* packet = Kernel::Get().NewRequest(code, data);
    if (packet == nullptr) {
        return result;
    }
    if (Kernel::Get().Request(self_, port, packet) != 0) {
        ReleasePacket(packet);
        return result;
    }
    if (code == F_CONNECT || code == F_DISCON || code == F_TLNTINP) {
        result.answered = true;
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        auto delivery = Kernel::Get().Await(
            self_, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
        if (delivery && Handle(delivery->packet, packet, result)) {
            return result;
        }
    }
    return result;  // the late answer is released when it comes
}

void ControllerTask::IssueRead(uint8_t port) {
    Packet* read = Kernel::Get().NewRequest(F_READ, {}, 1);
    if (read == nullptr) {
        return;
    }
    read->length = 1;
    if (Kernel::Get().Request(self_, port, read) != 0) {
        ReleasePacket(read);
        return;
    }
    pendingReads_[port] = read;
}

void ControllerTask::Listen(uint8_t port) {
    if (pendingReads_.count(port) == 0) {
        IssueRead(port);
    }
}

bool ControllerTask::Handle(Packet* packet, const Packet* awaited, RequestResult& result) {
    for (const auto& [port, read] : pendingReads_) {
        if (read == packet) {
            const uint8_t from = port;  // the entry goes away below
            input_[from].append(reinterpret_cast<const char*>(packet->buffer), std::min<uint16_t>(packet->actual, 1));
            ReleasePacket(packet);
            pendingReads_.erase(from);
            IssueRead(from);
            return false;
        }
    }
    const bool isAwaited = packet == awaited;
    if (isAwaited) {
        result = {true, packet->status, packet->actual};
    }
    ReleasePacket(packet);
    return isAwaited;
}

void ControllerTask::Pump(std::chrono::milliseconds limit) {
    RequestResult ignored;
    for (auto delivery = Kernel::Get().Await(self_, limit); delivery;
         delivery = Kernel::Get().Await(self_, std::chrono::milliseconds(0))) {
        Handle(delivery->packet, nullptr, ignored);
    }
}

bool ControllerTask::WaitForInput(uint8_t port, const std::function<bool(const std::string&)>& done,
                                  std::chrono::milliseconds limit) {
    Listen(port);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done(input_[port])) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        Pump(left);
    }
    return true;
}

}  // namespace kelmor::host
