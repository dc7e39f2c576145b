// The stand-in controller runtime: a small kernel with tasks, packet queues,
// timed waits, global blocks, configuration, files, console and fault
// injection. The rt_* operations the port library calls are built on it; the
// host and the tests drive it through this class.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config_store.h"
#include "runtime/runtime.h"

namespace kelmor::runtime {

enum class Op : int {
    TaskAttach,
    FaultFilter,
    FaultHandler,
    TaskDelete,
    GlobalBlock,
    ReceivePacket,
    SendPacket,
    DeletePacket,
    Alloc,
    Free,
    AnnounceService,
    CreatePacket,
    Assert,
    ReadConfigValue,
    FileOpen,
    FileWrite,
    FileClose,
    ConsolePrintf,
    VarGetElement,
    Count
};

inline constexpr int kOpCount = static_cast<int>(Op::Count);

// "rt_send_packet" and so on.
const char* OpName(Op op);
std::optional<Op> OpFromName(std::string_view name);

enum class InjectAction {
    Fail,           // the operation reports failure (non-zero, null, or file 0)
    RaiseSignal,    // the signal is raised on the calling thread, then the call goes on
    StackOverflow,  // the calling thread runs out of stack
};

inline constexpr int kAnyTask = -1;

struct Injection {
    Op op;
    uint32_t nth = 1;         // the first matching call it hits
    bool fromThenOn = false;  // and every matching call after it
    int task = kAnyTask;
    InjectAction action = InjectAction::Fail;
    int signal = SIGSEGV;
};

struct AssertReport {
    int task;
    std::string file;
    int32_t line;
    int32_t value;
    std::string text;
};

struct Announcement {
    int task;
    int32_t service;
    std::string text;
    int32_t one;
    int32_t tcpPort;
};

struct FaultReport {
    int task;
    int signal;
    std::string taskName;  // as the task gave it to the filter or handler
};

struct Delivery {
    Packet* packet;
    uint32_t replyHandle;
    int sender = -1;  // the task that sent or answered it
};

// What a port task has answered so far.
struct PortTraffic {
    uint64_t requests = 0;
    uint64_t bytesWritten = 0;  // to the device, by F_WRITE
    uint64_t bytesRead = 0;     // from the device, by F_READ
};

// What the kernel tells the host about, for its log.
struct KernelEvent {
    enum class Kind { Console, Assert, Announcement, Fault, FaultHandled, TaskAttached, TaskDeleted };
    Kind kind;
    int task;
    std::string text;
};

class Kernel {
public:
    static Kernel& Get();

    // Tasks. A task's thread knows its number before its entry runs.
    void CreateTask(uint8_t number, std::string name = {});
    void StartTask(uint8_t number, void (*entry)());
    // Makes the calling thread the given task (created if need be), for
    // controller-side programs and tests.
    void AttachThread(uint8_t number, std::string name = {});
    void DetachThread();
    bool WaitTaskEnded(uint8_t number, std::chrono::milliseconds limit);
    bool TaskEnded(uint8_t number);
    int DeleteCount(uint8_t number);
    std::string TaskName(uint8_t number);
    // Joins the threads of ended tasks; waits up to limit for the others.
    bool JoinTasks(std::chrono::milliseconds limit);
    // Back to a new kernel; every started task must have ended.
    void Reset();

    // Controller side: sends packet from task `from` to task `to` as a request
    // whose answer comes back to `from`; Await takes the next packet queued
    // for a task (answers included).
    int32_t Request(uint8_t from, uint8_t to, Packet* packet);
    // A packet as a controller program makes one, through rt_create_packet and
    // rt_alloc: the request code, and a runtime buffer of max(data, bufferSize)
    // bytes holding data (none when both are empty); length is data's size.
    // Null when the runtime refused.
    Packet* NewRequest(uint8_t code, std::string_view data = {}, size_t bufferSize = 0);
    // Gives a packet that came back, and its buffer, to the runtime; false
    // when the runtime refused either.
    bool ReleaseRequest(Packet* packet);
    std::optional<Delivery> Await(uint8_t task, std::chrono::milliseconds limit);
    // A task that takes what is sent to it, hands it to onPacket and releases
    // the packet and its buffer.
    void StartSink(uint8_t number, std::string name, std::function<void(const Packet&, int sender)> onPacket);
    PortTraffic Traffic(uint8_t task);

    ConfigStore& Config();

    // Global block 1.
    void SetLoginWord(uint32_t word);
    void SetPortFunction(int portDigit, int32_t code);

    // Fault filter verdict: 1 handle, 0 pass on, -1 resume.
    void SetFaultVerdict(int32_t verdict);

    void Inject(const Injection& injection);
    void ClearInjections();

    // Observation.
    uint64_t Calls(Op op, int task = kAnyTask);
    void SetTracing(bool on);
    std::vector<std::pair<int, Op>> Trace();
    std::vector<AssertReport> Asserts();
    std::vector<Announcement> Announcements();
    std::vector<FaultReport> Faults();
    std::vector<FaultReport> HandledFaults();
    std::string ConsoleText();
    size_t LivePackets();
    size_t LiveBuffers();
    size_t OpenFiles();

    // Receives every event as it happens (console text included); by default
    // console text goes to standard output and the rest to standard error.
    void SetEventSink(std::function<void(const KernelEvent&)> sink);

    // Used by the rt_* operations.
    struct Impl;
    Impl& impl() { return *impl_; }

private:
    Kernel();
    Impl* impl_;
};

}  // namespace kelmor::runtime
