// Runtime operations that fail, on the paths the other tests leave out: each
// failure takes its documented way, the port goes on serving, and every
// packet and buffer comes back (or stays with the runtime where the runtime
// itself refused to take it). Then a fault in one of the nine port tasks,
// handled by its guard while the other eight keep answering.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "config/port_map.h"
#include "held_tcp_device.h"
#include "private_network.h"
#include "recording_device.h"
#include "runtime/runtime.h"
#include "tcp_client.h"

namespace kelmor::test {
namespace {

using runtime::InjectAction;
using runtime::Injection;
using runtime::Op;

constexpr uint8_t kTask = 190;
constexpr uint8_t kP1 = 188;
constexpr uint8_t kP3 = 190;

class RuntimeFailuresTest : public PrivateNetworkTest {
protected:
    void SetUp() override {
        PrivateNetworkTest::SetUp();
        currentDevice = &device_;
        packets_ = Kernel().LivePackets();
        buffers_ = Kernel().LiveBuffers();
    }
    void TearDown() override {
        PrivateNetworkTest::TearDown();
        currentDevice = nullptr;
    }

    void Fail(Op op, uint8_t task = kTask, bool fromThenOn = false) {
        Injection injection{op};
        injection.task = task;
        injection.fromThenOn = fromThenOn;
        Kernel().Inject(injection);
    }

    // A request answered with status 0 and its length as actual.
    void Roundtrip(uint8_t task, uint8_t request, const std::string& data = {}) {
        Packet* sent = Send(task, request, data);
        Packet* answer = Answer();
        ASSERT_EQ(answer, sent) << "request " << int(request);
        EXPECT_EQ(answer->status, 0);
        if (request == F_WRITE) {
            EXPECT_EQ(answer->actual, data.size());
        }
        Release(answer);
    }

    void ExpectAsserts(size_t count) {
        const auto asserts = Kernel().Asserts();
        ASSERT_EQ(asserts.size(), count);
        for (const auto& report : asserts) {
            EXPECT_EQ(report.text, "assert(!sm_Status)");
            EXPECT_EQ(report.value, 0);
        }
    }

    // Live packets and buffers beyond those at the start.
    void ExpectLeftWithTheRuntime(size_t packets, size_t buffers) {
        EXPECT_EQ(Kernel().LivePackets(), packets_ + packets);
        EXPECT_EQ(Kernel().LiveBuffers(), buffers_ + buffers);
    }

    RecordingDevice device_;
    size_t packets_ = 0;
    size_t buffers_ = 0;
};

// The loop's own release paths, where a second operation fails after the
// first: each failed release is asserted and the loop serves the next request.
TEST_F(RuntimeFailuresTest, FailedReleasesAfterAFailedStepAreAssertedAndServiceGoesOn) {
    struct Case {
        const char* what;
        std::vector<Op> failing;  // each fails once, at its next call
        bool copying;             // TELNET connected: the write is copied to task 75
        size_t packetsKept;       // refused by the runtime's delete
        size_t buffersKept;       // refused by the runtime's free
    };
    const Case cases[] = {
        {"answer not sent, packet not deleted", {Op::SendPacket, Op::DeletePacket}, false, 0, 0},
        {"copy without a buffer, copy not deleted", {Op::Alloc, Op::DeletePacket}, true, 1, 0},
        {"copy not sent, its buffer not freed", {Op::SendPacket, Op::Free}, true, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Kernel().Reset();
        Kernel().AttachThread(kController);
        Kernel().CreateTask(kMirrorTask);
        StartLoop(kTask, &CurrentDevice);
        if (c.copying) {
            Send(kTask, F_CONNECT);
        }
        Roundtrip(kTask, F_WRITE, "warm");  // the loop is past its start
        while (auto copy = Kernel().Await(kMirrorTask, 0ms)) {
            Release(copy->packet);
        }
        for (Op op : c.failing) {
            Fail(op);
        }
        Packet* write = Send(kTask, F_WRITE, "data");
        uint8_t* const buffer = write->buffer;
        ASSERT_TRUE(WaitUntil([&] { return Kernel().Asserts().size() == 1; }));
        if (c.copying) {
            // The write itself is answered.
            Packet* answer = Answer();
            ASSERT_EQ(answer, write);
            EXPECT_EQ(answer->actual, 4);
            Release(answer);
            EXPECT_FALSE(Kernel().Await(kMirrorTask, 0ms)) << "no copy went out";
        } else {
            // Neither answered nor deleted: still the runtime's, and ours to clear.
            EXPECT_EQ(Answer(50ms), nullptr);
            EXPECT_EQ(rt_delete_packet(write), 0);
            EXPECT_EQ(rt_free(buffer), 0);
        }
        Roundtrip(kTask, F_WRITE, "next");
        ExpectAsserts(1);
        while (auto copy = Kernel().Await(kMirrorTask, 0ms)) {
            Release(copy->packet);  // the copies of the writes that went well
        }
        Dismount(kTask);
        ExpectLeftWithTheRuntime(c.packetsKept, c.buffersKept);
    }
}

TEST_F(RuntimeFailuresTest, DisplacedReadThatCannotBeAnsweredIsDeleted) {
    StartLoop(kTask, &CurrentDevice);
    Packet* first = Send(kTask, F_READ, "", 1);
    uint8_t* const firstBuffer = first->buffer;
    ASSERT_TRUE(WaitUntil([&] { return device_.Count("Read") >= 1; }));
    Fail(Op::SendPacket);
    Packet* second = Send(kTask, F_READ, "", 1);
    ASSERT_TRUE(WaitUntil([&] { return Kernel().LivePackets() == packets_ + 1; })) << "the first read is deleted";
    device_.QueueInput("z");
    Packet* answer = Answer();
    ASSERT_EQ(answer, second);
    EXPECT_EQ(answer->buffer[0], 'z');
    Release(answer);
    EXPECT_EQ(Answer(50ms), nullptr);
    EXPECT_EQ(rt_free(firstBuffer), 0);  // the requester's buffer
    ExpectAsserts(0);
    ExpectLeftWithTheRuntime(0, 0);
}

TEST_F(RuntimeFailuresTest, FirstReceiveFailingBeforeTheDeviceExistsLosesNothing) {
    Kernel().CreateTask(kTask);
    Packet* early = Send(kTask, F_WRITE, "early");
    Fail(Op::ReceivePacket);
    StartLoop(kTask, &CurrentDevice);
    Packet* answer = Answer();
    ASSERT_EQ(answer, early);
    EXPECT_EQ(answer->actual, 5);
    Release(answer);
    EXPECT_EQ(device_.Written(), "early");
    const auto calls = device_.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "Poll") << "with nothing received the pass goes to the device first";
    ExpectLeftWithTheRuntime(0, 0);
}

TEST_F(RuntimeFailuresTest, ReceiveFailingForAWhileMeansNoPacketsAndTheDeviceStillServed) {
    StartLoop(kTask, &CurrentDevice);
    Roundtrip(kTask, F_WRITE, "before");
    const uint64_t receives = Kernel().Calls(Op::ReceivePacket, kTask);
    Fail(Op::ReceivePacket, kTask, true);
    // Past the receive that may have been waiting already: from here on each fails.
    ASSERT_TRUE(WaitUntil([&] { return Kernel().Calls(Op::ReceivePacket, kTask) >= receives + 2; }));
    Packet* queued = Send(kTask, F_WRITE, "queued");
    const int pollsBefore = device_.Count("Poll");
    EXPECT_EQ(Answer(100ms), nullptr) << "no packet reaches a loop whose receive fails";
    const int polls = device_.Count("Poll") - pollsBefore;
    EXPECT_GT(polls, 0) << "the device is still polled";
    Kernel().ClearInjections();
    Packet* answer = Answer();
    ASSERT_EQ(answer, queued);
    EXPECT_EQ(answer->actual, 6);
    Release(answer);
    EXPECT_EQ(device_.Written(), "beforequeued");
    ExpectLeftWithTheRuntime(0, 0);
    // A receive that fails at once has no wait in it, so the loop polls
    // without pause for as long as the runtime fails it.
    RecordProperty("polls_in_100ms_of_failing_receives", polls);
}

// Port tasks with their real devices, where a runtime call the device makes
// fails: what the task does then, and that it goes on serving.
class DeviceRuntimeFailuresTest : public RuntimeFailuresTest {
protected:
    void SetUp() override {
        RuntimeFailuresTest::SetUp();
        if (!IsSkipped()) {
            Kernel().StartSink(kLoginNoticeTask, "login notices", [](const Packet&, int) {});
            Kernel().SetEventSink([](const runtime::KernelEvent&) {});
        }
    }
    void TearDown() override {
        RuntimeFailuresTest::TearDown();
        Kernel().SetEventSink(nullptr);
    }

    std::string TempPath(const std::string& name) {
        return ::testing::TempDir() + "krf" + std::to_string(getpid()) + name;
    }

    // A client logged in on P1's port, once the port listens; null when none could.
    static std::unique_ptr<TcpClient> LogInOnP1() {
        std::unique_ptr<TcpClient> client;
        const bool connected = WaitUntil([&] {
            client = std::make_unique<TcpClient>(kFirstTerminalPort);
            return client->Connected();
        });
        if (!connected || !client->Send("u\rp\r") || client->Receive(kLoginPromptsSize) != kLoginPrompts) {
            return nullptr;
        }
        return client;
    }

    // A client logs in on P1's port and gets a write.
    void ExpectTcpPortServes() {
        auto client = LogInOnP1();
        ASSERT_NE(client, nullptr);
        Roundtrip(kP1, F_WRITE, "hello");
        EXPECT_EQ(client->Receive(5), "hello");
    }
};

TEST_F(DeviceRuntimeFailuresTest, WaitListThatCannotBeReadMeansNoClientWait) {
    MapPort("P1", "TCP:");
    MapPort("Wait", "P1");
    Kernel().AttachThread(kP1);
    Injection waitUnreadable{Op::ReadConfigValue, 2};  // the first read is P1's device text
    waitUnreadable.task = kP1;
    Kernel().Inject(waitUnreadable);
    PortDevice* device = CreatePortDevice();
    Kernel().AttachThread(kController);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->waitForClient, 0);
    EXPECT_EQ(Kernel().Calls(Op::ReadConfigValue, kP1), 2u);
    device->Dismount();
}

TEST_F(DeviceRuntimeFailuresTest, TcpPortServesWhenItsAnnouncementOrConsoleLineFails) {
    for (Op failing : {Op::AnnounceService, Op::ConsolePrintf}) {
        SCOPED_TRACE(runtime::OpName(failing));
        Kernel().Reset();
        Kernel().AttachThread(kController);
        Kernel().StartSink(kLoginNoticeTask, "login notices", [](const Packet&, int) {});
        MapPort("P1", "TCP:");
        Fail(failing, kP1);
        StartPortTask(kP1);
        ExpectTcpPortServes();
        EXPECT_EQ(Kernel().Calls(failing, kP1), 1u);
        Dismount(kP1);
    }
}

TEST_F(DeviceRuntimeFailuresTest, FilePortWhoseRuntimeFileCallsFailLosesOnlyThoseWrites) {
    struct Case {
        const char* what;
        Op failing;
        std::string expected;  // the file after "old" was there and "one", "two" were written
    };
    const Case cases[] = {
        {"cannot be emptied at start", Op::FileOpen, "oldonetwo"},
        {"write fails", Op::FileWrite, "two"},
        {"close fails", Op::FileClose, "onetwo"},  // the emptying at start
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Kernel().Reset();
        Kernel().AttachThread(kController);
        const std::string path = TempPath("p3.txt");
        std::ofstream(path, std::ios::trunc) << "old";
        MapPort("P3", path);
        Fail(c.failing, kP3);
        StartPortTask(kP3);
        Roundtrip(kP3, F_WRITE, "one");
        Roundtrip(kP3, F_WRITE, "two");
        Dismount(kP3);
        EXPECT_EQ(ReadWholeFile(path), c.expected);
        EXPECT_GT(Kernel().Calls(c.failing, kP3), 0u);
        std::remove(path.c_str());
    }
}

TEST_F(DeviceRuntimeFailuresTest, TaskThatCannotAttachOrDeleteItselfStillServesAndEnds) {
    for (Op failing : {Op::TaskAttach, Op::TaskDelete}) {
        SCOPED_TRACE(runtime::OpName(failing));
        Kernel().Reset();
        Kernel().AttachThread(kController);
        MapPort("P3", "NUL:");
        Fail(failing, kP3);
        StartPortTask(kP3);
        Roundtrip(kP3, F_WRITE, "served");
        Dismount(kP3);
        EXPECT_EQ(Kernel().Calls(Op::TaskDelete, kP3), 1u);
        EXPECT_EQ(Kernel().Calls(Op::FaultHandler), 0u);
    }
}

// All nine port tasks at once, with a TCP client on P1 and a file on P5; P5
// faults inside its fifth file write. Its guard hands the fault to the
// runtime and the task ends; every other task answers every request.
TEST_F(DeviceRuntimeFailuresTest, FaultInOneOfNinePortTasksLeavesTheOtherEightServing) {
    constexpr uint8_t kTasks[] = {31, 188, 189, 190, 191, 192, 193, 194, 195};
    constexpr uint8_t kFaulting = 192;  // P5
    constexpr int kRounds = 12;
    const std::string file = TempPath("p5.txt");
    for (int n = 1; n <= 4; ++n) {
        setenv(("KELMOR_COM" + std::to_string(n)).c_str(), "/nonexistent/kelmor-line", 1);
    }
    MapPort("P1", "TCP:");
    MapPort("P2", "COM2:");  // a line that is not there
    MapPort("P5", file);
    Injection fault{Op::FileWrite, 5};
    fault.task = kFaulting;
    fault.action = InjectAction::RaiseSignal;
    fault.signal = SIGSEGV;
    Kernel().Inject(fault);
    for (uint8_t task : kTasks) {
        StartPortTask(task);
    }
    auto client = LogInOnP1();
    ASSERT_NE(client, nullptr);

    std::map<uint8_t, int> answered;
    std::vector<uint8_t> serving(std::begin(kTasks), std::end(kTasks));
    Packet* lost = nullptr;
    std::string toP1;
    for (int round = 0; round < kRounds; ++round) {
        std::map<Packet*, uint8_t> sent;
        for (uint8_t task : serving) {
            const std::string data = std::to_string(task) + "/" + std::to_string(round) + ";";
            sent[Send(task, F_WRITE, data)] = task;
            if (task == kP1) {
                toP1 += data;
            }
        }
        while (!sent.empty()) {
            Packet* answer = Answer(sent.size() == 1 && sent.begin()->second == kFaulting ? 1000ms : kAnswerLimit);
            if (answer == nullptr) {
                ASSERT_EQ(sent.size(), 1u) << "a task other than P5 stopped answering in round " << round;
                ASSERT_EQ(sent.begin()->second, kFaulting);
                lost = sent.begin()->first;
                break;
            }
            ASSERT_EQ(sent.count(answer), 1u);
            EXPECT_EQ(answer->status, 0);
            EXPECT_EQ(answer->actual, answer->length);
            ++answered[sent[answer]];
            sent.erase(answer);
            Release(answer);
        }
        if (lost != nullptr && serving.size() == std::size(kTasks)) {
            ASSERT_TRUE(Kernel().WaitTaskEnded(kFaulting, kAnswerLimit));
            std::erase(serving, kFaulting);
        }
    }
    ASSERT_NE(lost, nullptr) << "P5 never faulted";
    EXPECT_EQ(answered[kFaulting], 4);
    for (uint8_t task : serving) {
        EXPECT_EQ(answered[task], kRounds) << "task " << int(task);
    }
    const auto faults = Kernel().Faults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].task, kFaulting);
    EXPECT_EQ(faults[0].signal, SIGSEGV);
    ASSERT_EQ(Kernel().HandledFaults().size(), 1u);
    EXPECT_EQ(Kernel().DeleteCount(kFaulting), 1);
    EXPECT_EQ(client->Receive(toP1.size()), toP1) << "P1's client got every write in order";
    EXPECT_EQ(ReadWholeFile(file), "192/0;192/1;192/2;192/3;");

    for (uint8_t task : serving) {
        Dismount(task);
        EXPECT_EQ(Kernel().DeleteCount(task), 1);
    }
    EXPECT_EQ(Kernel().HandledFaults().size(), 1u);
    EXPECT_TRUE(Kernel().Asserts().empty());
    // The fault left P5 in the middle of its write: its file stays open and
    // the request it was serving stays unanswered, as nothing is freed on the
    // way out of a faulted task.
    EXPECT_EQ(Kernel().OpenFiles(), 1u);
    Release(lost);
    ExpectLeftWithTheRuntime(0, 0);
    std::remove(file.c_str());
    for (int n = 1; n <= 4; ++n) {
        unsetenv(("KELMOR_COM" + std::to_string(n)).c_str());
    }
}

}  // namespace
}  // namespace kelmor::test
