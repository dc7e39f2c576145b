// The controller's side of a measurement: port tasks started in-process on
// the stand-in kernel, exactly as the host starts them, and controller-side
// streams of requests that keep them busy.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "runtime/packet.h"

namespace kelmor::bench {

inline constexpr uint8_t kControllerTask = 1;
inline constexpr uint8_t kEchoTask = 40;
inline constexpr uint8_t kLoginNoticeTask = 68;
// Port tasks by port digit: P0 is task 31, P1..P8 are 188..195.
inline constexpr uint8_t kPortTasks[] = {31, 188, 189, 190, 191, 192, 193, 194, 195};
// What a client answers to the login exchange.
inline constexpr const char* kLoginAnswers = "\r\r";

// A fresh stand-in kernel with the calling thread as controller task 1 and a
// task 68 that counts login notices. Tasks still running at the end are
// dismounted.
class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Map(const std::string& port, const std::string& text);
    void StartPort(uint8_t task);
    // A task that answers every packet at once and otherwise waits in the
    // kernel as long as a port task does when idle: the bare round trip, and
    // the bare cost of idling.
    void StartEcho(uint8_t task = kEchoTask);
    // The TCP port the task announced; 0 when none came within limit.
    uint16_t TcpPort(uint8_t task, std::chrono::milliseconds limit);
    bool WaitLogins(int count, std::chrono::milliseconds limit);

    // A packet with a runtime buffer of size bytes, filled with a pattern.
    static Packet* MakePacket(uint8_t request, size_t size);
    // Queues packet for task as a request of task 1.
    static bool Queue(uint8_t task, Packet* packet);
    // The next packet that comes back to task 1, or null.
    static Packet* Await(std::chrono::milliseconds limit);

    void Dismount(uint8_t task);

private:
    std::vector<uint8_t> started_;
    std::atomic<int> logins_{0};
};

// Keeps window requests of one kind in flight to a port task from a thread
// of its own: each answer is queued again at once. The calling thread must
// not take packets for task 1 while it runs.
class RequestStream {
public:
    RequestStream(uint8_t task, uint8_t request, size_t size, int window);
    ~RequestStream();
    void Start();
    // Stops queueing and takes back what is still in flight.
    void Stop();
    uint64_t Answered() const { return answered_.load(std::memory_order_relaxed); }
    uint64_t BytesAnswered() const { return bytes_.load(std::memory_order_relaxed); }

private:
    uint8_t task_;
    uint8_t request_;
    std::vector<Packet*> packets_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> answered_{0};
    std::atomic<uint64_t> bytes_{0};  // the actual counts of the answers
    std::thread thread_;
};

}  // namespace kelmor::bench
