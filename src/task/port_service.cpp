#include "task/port_service.h"

#include <cstring>

#include "config/port_map.h"
#include "platform/platform.h"
#include "runtime/runtime.h"

namespace {

constexpr int32_t kIdleWait = 24;
constexpr uint8_t kMirrorTask = 75;
constexpr int kClientWaitPolls = 16;  // sleeps before giving up on a first client
constexpr uint32_t kClientWaitSleep = 15;
constexpr const char* kReleaseFailed = "assert(!sm_Status)";

struct Delivery {
    Packet* packet = nullptr;
    uint32_t replyHandle = 0;
};

struct PendingRead {
    Delivery read;
    bool active = false;
    bool holdsByte = false;  // delivered, but its answer could not be sent yet
};

struct LoopState {
    PortDevice* device = nullptr;
    Delivery current;
    bool delivered = false;
    PendingRead pending;
    bool connected = false;
    bool stop = false;
};

enum class Disposition { Answer, Kept, Deleted };

bool Receive(LoopState& state, int32_t wait) {
    uint32_t ignored1 = 0;
    uint32_t ignored2 = 0;
    state.delivered = rt_receive_packet(0, wait, &state.current.packet, &state.current.replyHandle,
                                        &ignored1, &ignored2) == 0;
    return state.delivered;
}

void DeletePacket(Packet* packet) {
    if (rt_delete_packet(packet) != 0) {
        rt_assert(__FILE__, __LINE__, 0, 0, kReleaseFailed);
    }
}

void FreeBuffer(void* buffer) {
    if (rt_free(buffer) != 0) {
        rt_assert(__FILE__, __LINE__, 0, 0, kReleaseFailed);
    }
}

bool SendAnswer(const Delivery& delivery) {
    delivery.packet->status = 0;
    return rt_send_packet(delivery.packet, delivery.packet->replyTo, 0, SEND_REPLY,
                          delivery.replyHandle) == 0;
}

// An answer nobody can take would leak the packet; give it back instead.
void AnswerOrDelete(const Delivery& delivery) {
    if (!SendAnswer(delivery)) {
        DeletePacket(delivery.packet);
    }
}

void WaitForFirstClient(PortDevice& device) {
    int sleeps = 0;
    while (device.Poll() && sleeps < kClientWaitPolls) {
        ++sleeps;
        kelmor::platform::SleepMilliseconds(kClientWaitSleep);
    }
}

void SendMirrorCopy(const Packet& request) {
    Packet* copy = nullptr;
    if (rt_create_packet(0, &copy, 0, F_WRITE) != 0) {
        return;
    }
    uint32_t ignored = 0;
    void* buffer = nullptr;
    if (rt_alloc(request.length, 0, &ignored, &buffer) != 0) {
        DeletePacket(copy);
        return;
    }
    copy->buffer = static_cast<uint8_t*>(buffer);
    if (request.length != 0) {
        std::memcpy(copy->buffer, request.buffer, request.length);
    }
    copy->length = request.length;
    if (rt_send_packet(copy, kMirrorTask, 0, SEND_NEW, reinterpret_cast<uintptr_t>(copy)) != 0) {
        FreeBuffer(copy->buffer);
        DeletePacket(copy);
    }
}

Disposition BeginRead(LoopState& state) {
    if (state.device == nullptr) {
        return Disposition::Answer;
    }
    PendingRead& pending = state.pending;
    if (pending.active) {
        // The displaced requester gets an empty answer rather than none.
        if (!pending.holdsByte) {
            pending.read.packet->actual = 0;
        }
        AnswerOrDelete(pending.read);
    }
    pending = {state.current, true, false};
    return Disposition::Kept;
}

Disposition ServeWrite(LoopState& state) {
    Packet& packet = *state.current.packet;
    if (state.device != nullptr) {
        state.device->Open();
        state.device->Write(packet.buffer, packet.length);
        packet.actual = packet.length;
        state.device->Close();
        if (state.connected) {
            SendMirrorCopy(packet);
        }
    }
    return Disposition::Answer;
}

Disposition ServeDismount(LoopState& state) {
    kelmor::platform::DebugOutput("Kelmor receive F_DISMOUNT\n");
    if (state.device != nullptr) {
        state.device->Dismount();
        state.stop = true;
    }
    return Disposition::Answer;
}

Disposition SetConnected(LoopState& state, bool connected, const char* logLine) {
    kelmor::platform::DebugOutput(logLine);
    state.connected = connected;
    DeletePacket(state.current.packet);
    return Disposition::Deleted;
}

Disposition DropTelnetInput(LoopState& state) {
    kelmor::platform::DebugOutput("[Kelmor] F_TLNTINP request from TELNET not implemented!\n");
    if (state.current.packet->buffer != nullptr) {
        FreeBuffer(state.current.packet->buffer);
    }
    DeletePacket(state.current.packet);
    return Disposition::Deleted;
}

Disposition Dispatch(LoopState& state) {
    switch (state.current.packet->request) {
        case F_READ:
            return BeginRead(state);
        case F_WRITE:
            return ServeWrite(state);
        case F_DISCON:
            return SetConnected(state, false, "[Kelmor] F_DISCON request from TELNET\n");
        case F_DISMOUNT:
            return ServeDismount(state);
        case F_CONNECT:
            return SetConnected(state, true, "[Kelmor] F_CONNECT request from TELNET\n");
        case F_TLNTINP:
            return DropTelnetInput(state);
        default:
            return Disposition::Answer;
    }
}

// Tries the pending read once; true when a packet arrived afterwards.
bool ServePendingRead(LoopState& state) {
    PendingRead& pending = state.pending;
    if (!pending.holdsByte) {
        Packet& packet = *pending.read.packet;
        state.device->Open();
        state.device->Read(packet.buffer, &packet.actual);
        state.device->Close();
        pending.holdsByte = packet.actual != 0;
    }
    if (!pending.holdsByte || !SendAnswer(pending.read)) {
        return false;  // a byte whose answer failed is kept for the next pass
    }
    pending = {};
    return Receive(state, 0);
}

// The device's turn, once the queue is empty; true when a packet arrived.
bool ServeDevice(LoopState& state) {
    if (state.device == nullptr) {
        return false;
    }
    if (!state.device->Poll() && Receive(state, 0)) {
        return true;
    }
    return state.pending.active && ServePendingRead(state);
}

}  // namespace

void ServePort(DeviceFactory makeDevice) {
    LoopState state;
    Receive(state, 0);
    for (;;) {
        if (state.stop) {
            return;
        }
        if (state.device == nullptr) {
            state.device = makeDevice();
            if (state.device != nullptr && state.device->waitForClient == 1) {
                WaitForFirstClient(*state.device);
            }
        }
        if (state.delivered) {
            if (Dispatch(state) == Disposition::Answer) {
                AnswerOrDelete(state.current);
            }
            if (state.stop) {
                return;
            }
            if (Receive(state, 0)) {
                continue;
            }
        }
        if (ServeDevice(state)) {
            continue;
        }
        Receive(state, kIdleWait);
    }
}

void RunPortService() { ServePort(&CreatePortDevice); }
