#include <cstring>

#include "harness.h"
#include "recording_device.h"
#include "runtime/runtime.h"

namespace kelmor::test {
namespace {

using runtime::Injection;
using runtime::Op;
using ::testing::ElementsAre;

constexpr uint8_t kTask = 190;
const std::vector<std::string> kWriteCalls{"Open", "Write", "Close"};

class PortServiceTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        currentDevice = &device_;
        baselinePackets_ = Kernel().LivePackets();
        baselineBuffers_ = Kernel().LiveBuffers();
    }
    void TearDown() override {
        KernelTest::TearDown();
        currentDevice = nullptr;
    }

    void Start() { StartLoop(kTask, &CurrentDevice); }

    // Fails the task's next call of op.
    void FailNext(Op op, uint32_t nth = 1) {
        Injection injection{op, nth};
        injection.task = kTask;
        Kernel().Inject(injection);
    }

    // Sends a request and expects its answer with status 0.
    Packet* Roundtrip(uint8_t request, std::string_view data = {}) {
        Packet* sent = Send(kTask, request, data);
        Packet* answer = Answer();
        EXPECT_EQ(answer, sent);
        if (answer != nullptr) {
            EXPECT_EQ(answer->status, 0);
        }
        return answer;
    }

    // No packet of the loop's own (copies and the like) is left behind.
    void ExpectNothingLeaked() {
        EXPECT_EQ(Kernel().LivePackets(), baselinePackets_);
        EXPECT_EQ(Kernel().LiveBuffers(), baselineBuffers_);
    }

    std::optional<runtime::Delivery> TakeCopy() { return Kernel().Await(kMirrorTask, 0ms); }

    RecordingDevice device_;
    size_t baselinePackets_ = 0;
    size_t baselineBuffers_ = 0;
};

TEST_F(PortServiceTest, RequestsOutsideTheTableAreAnsweredUnchanged) {
    Start();
    for (int code : {0, 5, 8, 25, 44, 46, 113, 255}) {
        Packet* sent = MakePacket(static_cast<uint8_t>(code), "ab");
        sent->param1 = 11;
        sent->param2 = 22;
        sent->param3 = 33;
        sent->actual = 7;
        sent->status = -5;
        Queue(kTask, sent);
        Packet* answer = Answer();
        ASSERT_EQ(answer, sent) << "code " << code;
        EXPECT_EQ(answer->status, 0);
        EXPECT_EQ(answer->request, code);
        EXPECT_EQ(answer->param1, 11);
        EXPECT_EQ(answer->param2, 22);
        EXPECT_EQ(answer->param3, 33);
        EXPECT_EQ(answer->actual, 7);
        EXPECT_EQ(answer->length, 2);
        Release(answer);
    }
    EXPECT_EQ(device_.Count("Open"), 0);
}

TEST_F(PortServiceTest, WriteIsBracketedByOpenAndCloseAndReportsItsLength) {
    Start();
    for (std::string data : {"hello", ""}) {
        Packet* answer = Roundtrip(F_WRITE, data);
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer->actual, data.size());
        Release(answer);
    }
    EXPECT_EQ(device_.Written(), "hello");
    std::vector<std::string> writes;
    for (const auto& call : device_.Calls()) {
        if (call != "Poll" && call != "Read") {
            writes.push_back(call);
        }
    }
    EXPECT_THAT(writes, ElementsAre("Open", "Write", "Close", "Open", "Write", "Close"));
}

TEST_F(PortServiceTest, PendingReadIsAnsweredWithTheFirstByteTheDeviceDelivers) {
    Start();
    Packet* read = MakePacket(F_READ, "", 8);
    read->length = 8;
    Queue(kTask, read);
    ASSERT_TRUE(WaitUntil([&] { return device_.Count("Read") >= 2; }));
    EXPECT_EQ(Answer(0ms), nullptr);

    device_.QueueInput("xy");
    Packet* answer = Answer();
    ASSERT_EQ(answer, read);
    EXPECT_EQ(answer->status, 0);
    EXPECT_EQ(answer->actual, 1);
    EXPECT_EQ(answer->buffer[0], 'x');
    EXPECT_EQ(answer->buffer[1], 0);
    Release(answer);

    Packet* next = Send(kTask, F_READ, "", 1);
    answer = Answer();
    ASSERT_EQ(answer, next);
    EXPECT_EQ(answer->buffer[0], 'y');
    Release(answer);
}

TEST_F(PortServiceTest, DisplacedReadIsAnsweredEmptyAndTheNewerOneGetsTheByte) {
    Start();
    Packet* first = MakePacket(F_READ, "", 1);
    first->actual = 9;
    Queue(kTask, first);
    Packet* second = Send(kTask, F_READ, "", 1);
    Packet* answer = Answer();
    ASSERT_EQ(answer, first);
    EXPECT_EQ(answer->status, 0);
    EXPECT_EQ(answer->actual, 0);
    Release(answer);

    device_.QueueInput("z");
    answer = Answer();
    ASSERT_EQ(answer, second);
    EXPECT_EQ(answer->buffer[0], 'z');
    Release(answer);
}

TEST_F(PortServiceTest, QueuedPacketsAreServedBeforeTheDeviceIsPolled) {
    Kernel().CreateTask(kTask);
    std::vector<Packet*> writes;
    for (const char* data : {"1", "2", "3"}) {
        writes.push_back(Send(kTask, F_WRITE, data));
    }
    Start();
    for (Packet* write : writes) {
        Packet* answer = Answer();
        ASSERT_EQ(answer, write);
        Release(answer);
    }
    ASSERT_TRUE(WaitUntil([&] { return device_.Count("Poll") >= 1; }));
    const auto calls = device_.Calls();
    ASSERT_GE(calls.size(), 10u);
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(calls[i], kWriteCalls[i % 3]) << "call " << i;
    }
    EXPECT_EQ(calls[9], "Poll");
    EXPECT_EQ(device_.Written(), "123");
}

TEST_F(PortServiceTest, ClientWaitPollsSeventeenTimesWhenNobodyComes) {
    struct Case {
        std::vector<bool> polls;
        int pollsBeforeFirstWrite;
    };
    uint8_t task = kTask;
    for (const Case& c : {Case{{}, 17}, Case{{true, true, false}, 3}, Case{{false}, 1}}) {
        SCOPED_TRACE(c.pollsBeforeFirstWrite);
        ++task;
        RecordingDevice device;
        device.waitForClient = 1;
        device.QueuePolls(c.polls);
        currentDevice = &device;
        Kernel().CreateTask(task);
        Packet* write = Send(task, F_WRITE, "w");
        StartLoop(task, &CurrentDevice);
        Packet* answer = Answer();
        ASSERT_EQ(answer, write);
        Release(answer);
        const auto calls = device.Calls();
        const auto firstOpen = std::find(calls.begin(), calls.end(), "Open");
        EXPECT_EQ(std::count(calls.begin(), firstOpen, "Poll"), c.pollsBeforeFirstWrite);
        Dismount(task);
    }
}

TEST_F(PortServiceTest, WaitOtherThanOneMeansNoClientWait) {
    device_.waitForClient = 2;
    Kernel().CreateTask(kTask);
    Packet* write = Send(kTask, F_WRITE, "w");
    Start();
    Packet* answer = Answer();
    ASSERT_EQ(answer, write);
    Release(answer);
    EXPECT_EQ(device_.Calls().front(), "Open");
}

TEST_F(PortServiceTest, WritesAreCopiedToTheMirrorTaskOnlyWhileConnected) {
    Kernel().CreateTask(kMirrorTask);
    Start();
    Send(kTask, F_CONNECT);
    Send(kTask, F_CONNECT);
    Release(Roundtrip(F_WRITE, "hello"));
    auto copy = TakeCopy();
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->packet->request, F_WRITE);
    EXPECT_EQ(copy->packet->length, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(copy->packet->buffer), 5), "hello");
    Release(copy->packet);

    Send(kTask, F_DISCON);  // one disconnect undoes any number of connects
    Release(Roundtrip(F_WRITE, "quiet"));
    EXPECT_FALSE(TakeCopy());
    ExpectNothingLeaked();
}

TEST_F(PortServiceTest, EveryFailedStepOfTheCopyStillAnswersTheWriteAndLeaksNothing) {
    Kernel().CreateTask(kMirrorTask);
    Start();
    Send(kTask, F_CONNECT);
    for (Op failing : {Op::CreatePacket, Op::Alloc, Op::SendPacket}) {
        SCOPED_TRACE(runtime::OpName(failing));
        const uint64_t frees = Kernel().Calls(Op::Free, kTask);
        FailNext(failing);
        Packet* answer = Roundtrip(F_WRITE, "data");
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer->actual, 4);
        Release(answer);
        EXPECT_FALSE(TakeCopy());
        EXPECT_EQ(Kernel().Calls(Op::Free, kTask) - frees, failing == Op::SendPacket ? 1u : 0u);
        ExpectNothingLeaked();
        Kernel().ClearInjections();
    }
    EXPECT_TRUE(Kernel().Asserts().empty());
}

TEST_F(PortServiceTest, TelnetRequestsAreLoggedAndReleasedWithoutAnswer) {
    testing::internal::CaptureStderr();
    Start();
    Send(kTask, F_CONNECT);
    Send(kTask, F_TLNTINP, "typed");
    Packet* noBuffer = MakePacket(F_TLNTINP);
    ASSERT_EQ(Kernel().Request(kController, kTask, noBuffer), 0);
    Send(kTask, F_DISCON);
    Dismount(kTask);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Answer(0ms), nullptr);
    EXPECT_EQ(log,
              "[Kelmor] F_CONNECT request from TELNET\n"
              "[Kelmor] F_TLNTINP request from TELNET not implemented!\n"
              "[Kelmor] F_TLNTINP request from TELNET not implemented!\n"
              "[Kelmor] F_DISCON request from TELNET\n"
              "Kelmor receive F_DISMOUNT\n");
    ExpectNothingLeaked();
    EXPECT_EQ(Kernel().Calls(Op::Free, kTask), 1u);
}

TEST_F(PortServiceTest, DismountEndsTheLoopAndLeavesAPendingReadUnanswered) {
    Start();
    Send(kTask, F_READ, "", 1);
    ASSERT_TRUE(WaitUntil([&] { return device_.Count("Read") >= 1; }));
    Dismount(kTask);
    EXPECT_EQ(Answer(0ms), nullptr);
    EXPECT_EQ(device_.Calls().back(), "Dismount");
    EXPECT_EQ(device_.Count("Dismount"), 1);
}

TEST_F(PortServiceTest, AnAnswerThatCannotBeSentIsDeletedNotLeaked) {
    Start();
    FailNext(Op::SendPacket);
    Packet* write = MakePacket(F_WRITE, "lost");
    uint8_t* buffer = write->buffer;  // the packet is the loop's once queued
    Queue(kTask, write);
    ASSERT_TRUE(WaitUntil([&] { return Kernel().LivePackets() == baselinePackets_; }));
    EXPECT_EQ(Answer(50ms), nullptr);
    EXPECT_EQ(rt_free(buffer), 0);
    EXPECT_TRUE(Kernel().Asserts().empty());
}

TEST_F(PortServiceTest, AFailedReleaseIsAssertedAndServiceGoesOn) {
    Start();
    FailNext(Op::DeletePacket);
    Send(kTask, F_CONNECT);
    FailNext(Op::Free);
    Send(kTask, F_TLNTINP, "x");
    Release(Roundtrip(F_WRITE, "after"));
    const auto asserts = Kernel().Asserts();
    ASSERT_EQ(asserts.size(), 2u);
    for (const auto& report : asserts) {
        EXPECT_EQ(report.text, "assert(!sm_Status)");
        EXPECT_EQ(report.value, 0);
        EXPECT_NE(report.file.find("port_service"), std::string::npos);
    }
}

TEST_F(PortServiceTest, ReadByteIsKeptWhenItsAnswerFailsAndSentOnTheNextPass) {
    device_.QueueInput("k");
    Start();
    FailNext(Op::SendPacket);
    Packet* read = Send(kTask, F_READ, "", 1);
    Packet* answer = Answer();
    ASSERT_EQ(answer, read);
    EXPECT_EQ(answer->actual, 1);
    EXPECT_EQ(answer->buffer[0], 'k');
    EXPECT_EQ(device_.Count("Read"), 1);
    Release(answer);
}

std::atomic<int> factoryCalls{0};
std::atomic<bool> deviceAvailable{false};

PortDevice* DeviceWhenAvailable() {
    ++factoryCalls;
    return deviceAvailable ? CurrentDevice() : nullptr;
}

TEST_F(PortServiceTest, WithoutADeviceRequestsAreAnsweredAtOnceAndTheFactoryIsRetried) {
    factoryCalls = 0;
    deviceAvailable = false;
    device_.waitForClient = 1;
    StartLoop(kTask, &DeviceWhenAvailable);

    Packet* read = MakePacket(F_READ, "", 1);
    read->actual = 5;
    Queue(kTask, read);
    Packet* answer = Answer();
    ASSERT_EQ(answer, read);
    EXPECT_EQ(answer->actual, 5);
    Release(answer);
    Packet* write = Roundtrip(F_WRITE, "gone");
    ASSERT_NE(write, nullptr);
    EXPECT_EQ(write->actual, 0);
    Release(write);
    Release(Roundtrip(F_DISMOUNT));
    EXPECT_FALSE(Kernel().TaskEnded(kTask));
    ASSERT_TRUE(WaitUntil([] { return factoryCalls >= 3; }));

    deviceAvailable = true;
    ASSERT_TRUE(WaitUntil([&] { return device_.Count("Poll") > 0; }));
    Dismount(kTask);
    EXPECT_EQ(device_.Count("Dismount"), 1);
}

}  // namespace
}  // namespace kelmor::test
