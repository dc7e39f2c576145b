// A controller-side program's task: sends requests to port tasks, keeps one
// read pending on the ports it listens to, and collects what they deliver.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "runtime/packet.h"

namespace kelmor::host {

struct RequestResult {
    bool answered = false;  // false: no answer within the limit
    int32_t status = 0;
    uint16_t actual = 0;
};

class ControllerTask {
public:
    // Attaches the calling thread as task self; use it from that thread only.
    ControllerTask(uint8_t self, const std::string& name);

    // Sends one request and waits for its answer. Connect, disconnect and
    // telnet input are never answered by a port: those count as answered
    // once queued.
    RequestResult Request(uint8_t port, uint8_t code, std::string_view data, std::chrono::milliseconds limit);
    RequestResult Write(uint8_t port, std::string_view data) { return Request(port, F_WRITE, data, kWriteLimit); }

    // From now on one F_READ is kept pending on port.
    void Listen(uint8_t port);
    // What port has delivered and nobody took yet.
    std::string& Input(uint8_t port) { return input_[port]; }
    // Handles arriving packets until done(input) holds or limit passes.
    bool WaitForInput(uint8_t port, const std::function<bool(const std::string&)>& done,
                      std::chrono::milliseconds limit);
    // Handles the packets that arrive within limit (returns after the first).
    void Pump(std::chrono::milliseconds limit);

    static constexpr std::chrono::milliseconds kWriteLimit{2000};

private:
    void IssueRead(uint8_t port);
    // True when packet was the awaited one.
    bool Handle(Packet* packet, const Packet* awaited, RequestResult& result);

    uint8_t self_;
    std::map<uint8_t, Packet*> pendingReads_;
    std::map<uint8_t, std::string> input_;
};

// Releases a packet that came back to us, with its buffer.
void ReleasePacket(Packet* packet);

}  // namespace kelmor::host
