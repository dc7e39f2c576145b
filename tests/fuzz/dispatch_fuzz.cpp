// The service loop, fed packets with any request code and any fields, as a
// controller may queue them (every buffer holds at least max(length, 1)
// bytes). The fuzzer's thread is the port task: the loop runs on it, and the
// device's Poll, called whenever the queue runs dry, queues the next packets
// and checks the answers and copies that came back. Every request is
// answered unchanged but for its documented fields, or released; each write
// reaches the device whole and in order, between Open and Close, and its copy
// reaches task 75 while TELNET is connected; nothing is left behind.
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "devices/port_device.h"
#include "fuzz_input.h"
#include "kernel.h"
#include "runtime/runtime.h"
#include "task/port_service.h"

namespace {

using kelmor::fuzz::Check;
using kelmor::fuzz::FuzzInput;
using kelmor::runtime::Kernel;
using Clock = std::chrono::milliseconds;

constexpr uint8_t kController = 1;
constexpr uint8_t kPortTask = 190;
constexpr uint8_t kMirrorTask = 75;
constexpr uint8_t kCodes[] = {F_READ, F_WRITE, F_DISCON, F_LOGIN_NOTICE, F_DISMOUNT, F_CONNECT, F_TLNTINP};

bool ReleasedByTheLoop(uint8_t request) { return request == F_CONNECT || request == F_DISCON || request == F_TLNTINP; }

void Release(Packet* packet) {
    if (packet->buffer != nullptr) {
        Check(rt_free(packet->buffer) == 0, "buffer released");
    }
    Check(rt_delete_packet(packet) == 0, "packet deleted");
}

struct QueuedWrite {
    std::string data;
    bool copied;  // TELNET connected when the loop serves it
};

class FuzzDevice final : public PortDevice {
public:
    void Begin(FuzzInput& input) {
        input_ = &input;
        waitForClient = input.Bit() ? 1 : 0;
        outstanding_.clear();
        ownBuffers_.clear();
        writes_.clear();
        copies_.clear();
        connected_ = false;
        polls_ = 0;
        dismountQueued_ = false;
        dismounted_ = false;
        open_ = false;
    }

    void Open() override {
        Check(!dismounted_ && !open_, "Open only between requests, never after Dismount");
        open_ = true;
    }
    void Close() override {
        Check(open_, "Close follows Open");
        open_ = false;
    }
    bool Poll() override {
        Check(!dismounted_ && !open_, "Poll outside Open and Close, never after Dismount");
        TakeAnswers();
        for (int count = 1 + input_->Byte() % 4; count > 0 && !input_->Empty(); --count) {
            QueueFromInput();
        }
        // Something is queued whenever the loop polls, so it never waits.
        if (input_->Empty() && !dismountQueued_) {
            Queue(MakePacket(F_DISMOUNT, 0, false));
        }
        // The first answer ends a client wait at once.
        return polls_++ > 0 && input_->Bit();
    }
    void Read(uint8_t* buffer, uint16_t* count) override {
        Check(open_, "Read between Open and Close");
        *count = 0;
        if (input_->Bit()) {
            buffer[0] = input_->Byte();  // the first byte, which every buffer has
            *count = 1;
        }
    }
    void Write(const uint8_t* data, uint16_t length) override {
        Check(open_, "Write between Open and Close");
        Check(!writes_.empty(), "a write the controller queued");
        const QueuedWrite expected = writes_.front();
        writes_.pop_front();
        Check(length == expected.data.size() && (length == 0 || std::memcmp(data, expected.data.data(), length) == 0),
              "the device gets each write's bytes whole and in order");
        if (expected.copied) {
            copies_.push_back(expected.data);
        }
    }
    void Dismount() override {
        Check(!dismounted_ && !open_, "one Dismount, outside Open and Close");
        dismounted_ = true;
    }

    // After the loop: the answers that came last, then whatever it left.
    void Finish() {
        Check(dismounted_, "the loop ends only after a dismount");
        TakeAnswers();
        Kernel& kernel = Kernel::Get();
        while (auto left = kernel.Await(kPortTask, Clock(0))) {
            outstanding_.erase(left->packet);  // queued behind the dismount
            std::erase(ownBuffers_, left->packet->buffer);
            Release(left->packet);
        }
        for (void* buffer : ownBuffers_) {
            Check(rt_free(buffer) == 0, "the requester's buffer released");
        }
        Check(outstanding_.size() <= 1, "a pending read at most is left unanswered");
        for (auto& [packet, before] : outstanding_) {
            Check(before.request == F_READ, "only a read is left pending");
            Release(packet);
        }
        Check(kernel.LivePackets() == 0 && kernel.LiveBuffers() == 0, "no packet or buffer is left behind");
    }

private:
    Packet* MakePacket(uint8_t request, uint16_t length, bool withBuffer) {
        Packet* packet = nullptr;
        Check(rt_create_packet(0, &packet, 0, request) == 0, "packet made");
        packet->length = length;
        if (withBuffer) {
            void* buffer = nullptr;
            uint32_t ignored = 0;
            const uint32_t size = length == 0 ? 1 : length;
            Check(rt_alloc(size, 0, &ignored, &buffer) == 0, "buffer made");
            const std::string bytes = input_->Bytes(size);
            std::memset(buffer, 0xA5, size);
            std::memcpy(buffer, bytes.data(), bytes.size());
            packet->buffer = static_cast<uint8_t*>(buffer);
        }
        return packet;
    }

    void QueueFromInput() {
        const uint8_t choice = input_->Byte();
        const uint8_t request = choice < 192 ? kCodes[choice % std::size(kCodes)] : input_->Byte();
        const uint16_t length = input_->Bit() ? input_->Word() % 600 : input_->Byte() % 8;
        const bool withBuffer = request == F_READ || request == F_WRITE || input_->Bit();
        Packet* packet = MakePacket(request, length, withBuffer);
        packet->link = input_->Long();
        packet->status = static_cast<int32_t>(input_->Long());
        packet->param1 = static_cast<int32_t>(input_->Long());
        packet->actual = input_->Word();
        packet->param2 = static_cast<int32_t>(input_->Long());
        packet->param3 = static_cast<int32_t>(input_->Long());
        Queue(packet);
    }

    // The loop serves requests in the order they were queued, so what each
    // will find (connected or not) is known here.
    void Queue(Packet* packet) {
        const uint8_t request = packet->request;
        if (request == F_WRITE) {
            writes_.push_back({std::string(reinterpret_cast<const char*>(packet->buffer), packet->length), connected_});
        } else if (request == F_CONNECT || request == F_DISCON) {
            connected_ = request == F_CONNECT;
        } else if (request == F_DISMOUNT) {
            dismountQueued_ = true;
        }
        if (!ReleasedByTheLoop(request)) {
            outstanding_[packet] = *packet;
        } else if (request != F_TLNTINP && packet->buffer != nullptr) {
            // The loop deletes a connect or disconnect without looking at its
            // buffer, which stays the requester's.
            ownBuffers_.push_back(packet->buffer);
        }
        Check(Kernel::Get().Request(kController, kPortTask, packet) == 0, "request queued");
    }

    void TakeAnswers() {
        Kernel& kernel = Kernel::Get();
        while (auto answer = kernel.Await(kController, Clock(0))) {
            Packet* packet = answer->packet;
            const auto found = outstanding_.find(packet);
            Check(found != outstanding_.end(), "an answer to a request of ours, once; none to TELNET's");
            const Packet& before = found->second;
            Check(packet->status == 0, "answered with status 0");
            Check(packet->request == before.request && packet->buffer == before.buffer &&
                      packet->length == before.length && packet->link == before.link &&
                      packet->param1 == before.param1 && packet->param2 == before.param2 &&
                      packet->param3 == before.param3,
                  "an answer changes no field but status and actual");
            if (before.request == F_WRITE) {
                Check(packet->actual == packet->length, "a write reports its length");
            } else if (before.request == F_READ) {
                Check(packet->actual <= 1, "a read delivers at most one byte");
            } else {
                Check(packet->actual == before.actual, "other requests keep actual");
            }
            outstanding_.erase(found);
            Release(packet);
        }
        while (auto copy = kernel.Await(kMirrorTask, Clock(0))) {
            Check(!copies_.empty(), "a copy only of a write served while connected");
            const std::string expected = copies_.front();
            copies_.pop_front();
            const Packet& packet = *copy->packet;
            Check(packet.request == F_WRITE && packet.length == expected.size() &&
                      (expected.empty() || std::memcmp(packet.buffer, expected.data(), expected.size()) == 0),
                  "the copy holds the write's bytes");
            Release(copy->packet);
        }
        Check(copies_.empty(), "every write served while connected is copied");
    }

    FuzzInput* input_ = nullptr;
    std::map<Packet*, Packet> outstanding_;  // as queued
    std::vector<void*> ownBuffers_;
    std::deque<QueuedWrite> writes_;
    std::deque<std::string> copies_;
    bool connected_ = false;
    int polls_ = 0;
    bool dismountQueued_ = false;
    bool dismounted_ = false;
    bool open_ = false;
};

FuzzDevice device;

PortDevice* TheDevice() { return &device; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Kernel& kernel = Kernel::Get();
    kernel.SetEventSink([](const kelmor::runtime::KernelEvent&) {});
    kernel.Reset();
    kernel.AttachThread(kPortTask, "kelmor");
    kernel.CreateTask(kController, "controller");
    kernel.CreateTask(kMirrorTask, "mirror");
    FuzzInput input(data, size);
    device.Begin(input);
    ServePort(&TheDevice);
    device.Finish();
    kernel.DetachThread();
    return 0;
}
