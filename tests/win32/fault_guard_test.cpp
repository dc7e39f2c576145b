// The task's fault guard on real structured exception handling: processor
// faults and raised exceptions on a port task's thread, the three verdicts,
// and the guard's place among the other frames of the thread.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <csignal>

#include "exception_frame.h"
#include "harness.h"
#include "platform/platform.h"
#include "task/port_task.h"

namespace kelmor::test {
namespace {

using runtime::InjectAction;
using runtime::Injection;
using runtime::Op;

constexpr uint8_t kTask = 188;
constexpr auto kAccessViolation = static_cast<int>(EXCEPTION_ACCESS_VIOLATION);
constexpr auto kDivideByZero = static_cast<int>(EXCEPTION_INT_DIVIDE_BY_ZERO);

class FaultGuardTest : public KernelTest {
protected:
    void InjectFault(Op op, uint32_t nth, InjectAction action = InjectAction::RaiseSignal, int signo = SIGSEGV) {
        Injection injection{op, nth};
        injection.task = kTask;
        injection.action = action;
        injection.signal = signo;
        Kernel().Inject(injection);
    }

    void ExpectHandledFault(int code) {
        ASSERT_TRUE(Kernel().WaitTaskEnded(kTask, kAnswerLimit));
        const auto faults = Kernel().Faults();
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_EQ(faults[0].task, kTask);
        EXPECT_EQ(faults[0].signal, code);
        EXPECT_EQ(faults[0].taskName, "kelmor");
        // The handler reads the code back from the record the filter copied
        // into the task's own storage.
        const auto handled = Kernel().HandledFaults();
        ASSERT_EQ(handled.size(), 1u);
        EXPECT_EQ(handled[0].signal, code);
        EXPECT_EQ(handled[0].taskName, "kelmor");
        EXPECT_EQ(Kernel().DeleteCount(kTask), 1);
    }
};

TEST_F(FaultGuardTest, RealAccessViolationIsHandledAndTheTaskDeletesItselfOnce) {
    // The port map reads the task number through a null global block.
    InjectFault(Op::GlobalBlock, 1, InjectAction::Fail);
    StartPortTask(kTask);
    ExpectHandledFault(kAccessViolation);
}

TEST_F(FaultGuardTest, RaisedExceptionDeepInTheLoopIsHandled) {
    InjectFault(Op::ReceivePacket, 3);
    StartPortTask(kTask);
    ExpectHandledFault(kAccessViolation);
}

TEST_F(FaultGuardTest, StackOverflowIsHandled) {
    InjectFault(Op::ReceivePacket, 2, InjectAction::StackOverflow);
    StartPortTask(kTask);
    ExpectHandledFault(static_cast<int>(EXCEPTION_STACK_OVERFLOW));
}

TEST_F(FaultGuardTest, NegativeVerdictResumesAndTheTaskGoesOnServing) {
    Kernel().SetFaultVerdict(-1);
    InjectFault(Op::ReceivePacket, 2, InjectAction::RaiseSignal, SIGFPE);
    StartPortTask(kTask);
    ASSERT_TRUE(WaitUntil([] { return Kernel().Faults().size() == 1; }));

    Packet* write = Send(kTask, F_WRITE, "still here");
    ASSERT_EQ(Answer(), write);
    Release(write);
    Dismount(kTask);
    EXPECT_EQ(Kernel().Faults()[0].signal, kDivideByZero);
    EXPECT_TRUE(Kernel().HandledFaults().empty());
    EXPECT_EQ(Kernel().DeleteCount(kTask), 1);
}

// What a host's own frame around the task entry saw, after the guard.
std::atomic<uint32_t> hostSawCode{0};
std::atomic<uint64_t> filterCallsBeforeHost{0};

ExceptionFrame::Answer HostFrame(uint32_t code, bool unwinding) {
    if (!unwinding) {
        hostSawCode = code;
        filterCallsBeforeHost = Kernel().Calls(Op::FaultFilter);
    }
    // The raised exception is continuable: resuming returns from the raise.
    return ExceptionFrame::Answer::ContinueExecution;
}

void EntryInsideAHostFrame() {
    ExceptionFrame host(&HostFrame);
    PortTaskEntry();
}

TEST_F(FaultGuardTest, VerdictZeroPassesTheFaultToTheHostsFrame) {
    hostSawCode = 0;
    Kernel().SetFaultVerdict(0);
    InjectFault(Op::ReceivePacket, 2, InjectAction::RaiseSignal, SIGFPE);
    Kernel().StartTask(kTask, &EntryInsideAHostFrame);
    ASSERT_TRUE(WaitUntil([] { return hostSawCode.load() != 0; }));
    EXPECT_EQ(hostSawCode.load(), EXCEPTION_INT_DIVIDE_BY_ZERO);
    EXPECT_EQ(filterCallsBeforeHost.load(), 1u) << "the guard asks the filter before the host sees the fault";

    // The host resumed it; the entry itself did nothing more.
    Packet* write = Send(kTask, F_WRITE, "after the host");
    ASSERT_EQ(Answer(), write);
    Release(write);
    Dismount(kTask);
    EXPECT_TRUE(Kernel().HandledFaults().empty());
    EXPECT_EQ(Kernel().DeleteCount(kTask), 1);
}

// A frame further in than the guard, as a library called from the loop might
// have: it sees the fault first, and the unwind pass when the guard handles it.
std::atomic<int> innerSearches{0};
std::atomic<int> innerUnwinds{0};
std::atomic<uint64_t> filterCallsAtInnerSearch{0};

ExceptionFrame::Answer InnerFrame(uint32_t, bool unwinding) {
    if (unwinding) {
        ++innerUnwinds;
    } else {
        ++innerSearches;
        filterCallsAtInnerSearch = Kernel().Calls(Op::FaultFilter);
    }
    return ExceptionFrame::Answer::ContinueSearch;
}

void FaultInsideAnInnerFrame() {
    ExceptionFrame inner(&InnerFrame);
    RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
    ADD_FAILURE() << "a handled fault does not come back";
}

TEST_F(FaultGuardTest, InnerFramesComeFirstAndAreUnwoundWhenTheGuardHandlesTheFault) {
    innerSearches = 0;
    innerUnwinds = 0;
    unsigned char record[platform::kFaultRecordSize];
    unsigned char context[platform::kFaultContextSize];
    FaultInfo faultInfo{record, context};
    EXPECT_EQ(platform::RunUnderFaultGuard("kelmor", &faultInfo, &FaultInsideAnInnerFrame),
              platform::GuardOutcome::FaultHandled);
    EXPECT_EQ(innerSearches.load(), 1);
    EXPECT_EQ(filterCallsAtInnerSearch.load(), 0u);
    EXPECT_EQ(innerUnwinds.load(), 1);
    EXPECT_EQ(reinterpret_cast<EXCEPTION_RECORD*>(record)->ExceptionCode, EXCEPTION_ACCESS_VIOLATION);

    // The chain is whole again: a later guard on this thread works as well.
    EXPECT_EQ(platform::RunUnderFaultGuard("kelmor", &faultInfo, &FaultInsideAnInnerFrame),
              platform::GuardOutcome::FaultHandled);
    EXPECT_EQ(innerUnwinds.load(), 2);
}

std::atomic<int> innerGuardOutcome{-1};

void Fault() { RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr); }

void InnerGuard() {
    unsigned char record[platform::kFaultRecordSize];
    unsigned char context[platform::kFaultContextSize];
    FaultInfo faultInfo{record, context};
    innerGuardOutcome = static_cast<int>(platform::RunUnderFaultGuard("inner", &faultInfo, &Fault));
}

TEST_F(FaultGuardTest, AnInnerGuardHandlesTheFaultBeforeAnOuterOne) {
    unsigned char record[platform::kFaultRecordSize];
    unsigned char context[platform::kFaultContextSize];
    FaultInfo faultInfo{record, context};
    EXPECT_EQ(platform::RunUnderFaultGuard("outer", &faultInfo, &InnerGuard), platform::GuardOutcome::Completed);
    EXPECT_EQ(innerGuardOutcome.load(), static_cast<int>(platform::GuardOutcome::FaultHandled));
    const auto faults = Kernel().Faults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].taskName, "inner");
}

TEST_F(FaultGuardTest, NormalEndLeavesTheChainAsItWas) {
    Kernel().SetTracing(true);
    StartPortTask(kTask);
    Dismount(kTask);
    EXPECT_EQ(Kernel().Calls(Op::FaultFilter), 0u);
    EXPECT_EQ(Kernel().Calls(Op::FaultHandler), 0u);
    EXPECT_EQ(Kernel().DeleteCount(kTask), 1);
}

// With no frame of the host's, a fault the filter passes on ends the
// process the way the system ends it: through the unhandled-exception filter.
LONG WINAPI HostLastChance(EXCEPTION_POINTERS* pointers) {
    std::fprintf(stderr, "host last chance 0x%08lX, filter calls %llu\n",
                 static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode),
                 static_cast<unsigned long long>(Kernel().Calls(Op::FaultFilter)));
    std::fflush(stderr);
    ExitProcess(42);
}

using FaultGuardDeathTest = FaultGuardTest;

TEST_F(FaultGuardDeathTest, VerdictZeroWithoutAHostFrameReachesTheLastChanceFilter) {
    EXPECT_EXIT(
        {
            SetUnhandledExceptionFilter(&HostLastChance);
            Kernel().SetFaultVerdict(0);
            InjectFault(Op::GlobalBlock, 1, InjectAction::Fail);
            Kernel().StartTask(kTask, &PortTaskEntry);
            Kernel().WaitTaskEnded(kTask, 5s);
        },
        ::testing::ExitedWithCode(42), "host last chance 0xC0000005, filter calls 1");
}

}  // namespace
}  // namespace kelmor::test
