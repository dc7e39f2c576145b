// Inside of the stand-in kernel, shared by kernel.cpp and the rt_* operations.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "kernel.h"

namespace kelmor::runtime {

inline constexpr int kNoTask = -1;
inline constexpr size_t kSystemBlockSize = 2048;
inline constexpr size_t kTaskBlockSize = 64;
inline constexpr int kPortSetupElements = 9;
inline constexpr size_t kPortSetupElementSize = 64;
inline constexpr int kFaultSlots = 64;

// Non-zero statuses the operations give back.
inline constexpr int32_t kFailed = 1;
inline constexpr int32_t kNoPacket = 2;
inline constexpr int32_t kNotFound = 2;      // as ERROR_FILE_NOT_FOUND
inline constexpr int32_t kWrongType = 13;    // as ERROR_INVALID_DATA
inline constexpr int32_t kMoreData = 234;    // as ERROR_MORE_DATA
inline constexpr int32_t kInjected = 0x7E57; // failure made by a test

struct Task {
    uint8_t number = 0;
    std::string name;
    std::deque<Delivery> queue;
    std::condition_variable arrived;
    bool ended = false;
    int deletes = 0;
    std::thread thread;
    alignas(8) std::array<uint8_t, kTaskBlockSize> block{};
    PortTraffic traffic;
};

struct PortSetupTable {
    alignas(8) std::array<std::array<uint8_t, kPortSetupElementSize>, kPortSetupElements> elements{};
};

struct InjectionRule {
    Injection injection;
    uint32_t seen = 0;
};

struct Kernel::Impl {
    std::mutex mutex;
    std::condition_variable taskEnded;
    std::array<std::unique_ptr<Task>, 256> tasks;
    std::unordered_map<Packet*, bool> packets;  // live packet -> queued
    std::unordered_map<void*, size_t> buffers;
    std::unordered_set<RtFile> files;
    std::unordered_map<uint32_t, uint8_t> replyHandles;  // handle -> requester
    uint32_t nextReplyHandle = 1;
    alignas(8) std::array<uint8_t, kSystemBlockSize> systemBlock{};
    std::unique_ptr<PortSetupTable> portSetup;
    ConfigStore config;

    std::atomic<int32_t> verdict{1};
    std::array<std::atomic<int>, kFaultSlots> faultTask{};
    std::array<std::atomic<int>, kFaultSlots> faultSignal{};
    std::array<std::atomic<const char*>, kFaultSlots> faultName{};
    std::atomic<int> faultCount{0};
    std::vector<FaultReport> handledFaults;

    std::mutex injectionMutex;
    std::atomic<bool> anyInjection{false};
    std::vector<InjectionRule> injections;
    std::array<std::array<std::atomic<uint64_t>, kOpCount>, 257> calls{};  // [256]: every task

    std::atomic<bool> tracing{false};
    std::vector<std::pair<int, Op>> trace;
    std::vector<AssertReport> asserts;
    std::vector<Announcement> announcements;
    std::string console;
    std::vector<std::unique_ptr<std::thread>> sinkThreads;

    std::mutex sinkMutex;
    std::function<void(const KernelEvent&)> eventSink;

    Task* FindTask(int number);  // mutex held
    void Emit(const KernelEvent& event);
    // Counts the call and applies any injection; true when it is to fail.
    bool Intercept(Op op);
};

// The task the calling thread is, or kNoTask.
int CurrentTask();

}  // namespace kelmor::runtime
