#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include "harness.h"
#include "task/port_task.h"

namespace kelmor::test {
namespace {

using runtime::InjectAction;
using runtime::Injection;
using runtime::Op;

constexpr uint8_t kTask = 188;

class PortTaskTest : public KernelTest {
protected:
    void InjectFault(Op op, uint32_t nth, InjectAction action = InjectAction::RaiseSignal, int signo = SIGSEGV) {
        Injection injection{op, nth};
        injection.task = kTask;
        injection.action = action;
        injection.signal = signo;
        Kernel().Inject(injection);
    }

    void ExpectHandledFault(int signo) {
        ASSERT_TRUE(Kernel().WaitTaskEnded(kTask, kAnswerLimit));
        const auto faults = Kernel().Faults();
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_EQ(faults[0].task, kTask);
        EXPECT_EQ(faults[0].signal, signo);
        EXPECT_EQ(faults[0].taskName, "kelmor");
        // The handler reads the signal back from the record the filter filled.
        const auto handled = Kernel().HandledFaults();
        ASSERT_EQ(handled.size(), 1u);
        EXPECT_EQ(handled[0].signal, signo);
        EXPECT_EQ(handled[0].taskName, "kelmor");
        EXPECT_EQ(Kernel().DeleteCount(kTask), 1);
    }
};

TEST_F(PortTaskTest, AttachesFirstAndDeletesItselfOnceAfterANormalEnd) {
    Kernel().SetTracing(true);
    StartPortTask(kTask);
    Dismount(kTask);

    std::vector<Op> taskCalls;
    for (const auto& [task, op] : Kernel().Trace()) {
        if (task == kTask) {
            taskCalls.push_back(op);
        }
    }
    ASSERT_FALSE(taskCalls.empty());
    EXPECT_EQ(taskCalls.front(), Op::TaskAttach);
    EXPECT_EQ(taskCalls.back(), Op::TaskDelete);
    EXPECT_EQ(Kernel().TaskName(kTask), "kelmor");
    EXPECT_EQ(Kernel().DeleteCount(kTask), 1);
    EXPECT_EQ(Kernel().Calls(Op::FaultHandler), 0u);
    EXPECT_EQ(Kernel().Calls(Op::FaultFilter), 0u);
}

TEST_F(PortTaskTest, HandledFaultEndsTheTaskThroughTheHandlerAndOneDelete) {
    InjectFault(Op::ReceivePacket, 3);
    StartPortTask(kTask);
    ExpectHandledFault(SIGSEGV);
}

TEST_F(PortTaskTest, NullTaskBlockFaultsInsideTheGuardAndIsHandled) {
#ifdef KELMOR_WITH_UBSAN
    GTEST_SKIP() << "UBSan stops the null load before it can fault";
#endif
    InjectFault(Op::GlobalBlock, 1, InjectAction::Fail);
    StartPortTask(kTask);
    ExpectHandledFault(SIGSEGV);
}

TEST_F(PortTaskTest, StackOverflowIsCaughtOnTheAlternateStack) {
    InjectFault(Op::ReceivePacket, 2, InjectAction::StackOverflow);
    StartPortTask(kTask);
    ExpectHandledFault(SIGSEGV);
}

TEST_F(PortTaskTest, NegativeVerdictResumesAndTheTaskGoesOnServing) {
    Kernel().SetFaultVerdict(-1);
    InjectFault(Op::ReceivePacket, 2, InjectAction::RaiseSignal, SIGFPE);
    StartPortTask(kTask);
    ASSERT_TRUE(WaitUntil([] { return Kernel().Faults().size() == 1; }));

    Packet* write = Send(kTask, F_WRITE, "still here");
    ASSERT_EQ(Answer(), write);
    Release(write);
    Dismount(kTask);
    EXPECT_EQ(Kernel().Faults()[0].signal, SIGFPE);
    EXPECT_TRUE(Kernel().HandledFaults().empty());
    EXPECT_EQ(Kernel().DeleteCount(kTask), 1);
}

TEST_F(PortTaskTest, OtherTasksKeepServingWhileOneFaults) {
    constexpr uint8_t kNeighbour = 189;
    StartPortTask(kNeighbour);
    InjectFault(Op::ReceivePacket, 3);
    StartPortTask(kTask);
    ExpectHandledFault(SIGSEGV);

    Packet* write = Send(kNeighbour, F_WRITE, "after the fault");
    Packet* answer = Answer();
    ASSERT_EQ(answer, write);
    EXPECT_EQ(answer->actual, 15);
    Release(answer);
    Dismount(kNeighbour);
}

// A handler the host had before the library came along.
void HostFaultHandler(int, siginfo_t*, void*) {
    char line[64];
    const int length = std::snprintf(line, sizeof line, "host handler, filter calls %llu\n",
                                     static_cast<unsigned long long>(Kernel().Calls(Op::FaultFilter)));
    (void)!write(STDERR_FILENO, line, static_cast<size_t>(length));
    _exit(42);
}

void InstallHostHandler() {
    struct sigaction action{};
    action.sa_sigaction = HostFaultHandler;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &action, nullptr);
}

// Runs a task that faults with verdict 0 and gives it time to die.
void FaultWithVerdictZero() {
    Kernel().SetFaultVerdict(0);
    Injection injection{Op::ReceivePacket, 2};
    injection.task = kTask;
    injection.action = InjectAction::RaiseSignal;
    Kernel().Inject(injection);
    Kernel().StartTask(kTask, &PortTaskEntry);
    Kernel().WaitTaskEnded(kTask, 5s);
}

bool DiedOfTheFault(int status) {
    // Killed by the signal, or stopped by a sanitizer's report of it.
    return WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0);
}

using PortTaskDeathTest = PortTaskTest;

TEST_F(PortTaskDeathTest, VerdictZeroPassesTheFaultToTheHostsHandler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            InstallHostHandler();
            FaultWithVerdictZero();
        },
        ::testing::ExitedWithCode(42), "host handler, filter calls 1");
}

TEST_F(PortTaskDeathTest, VerdictZeroWithoutAHostHandlerTakesTheDefaultAction) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(FaultWithVerdictZero(), DiedOfTheFault, "");
}

TEST_F(PortTaskDeathTest, FaultOnAnUnguardedThreadNeverReachesTheFilter) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            InstallHostHandler();
            Kernel().StartTask(kTask, &PortTaskEntry);  // puts the library's handlers in place
            std::this_thread::sleep_for(50ms);
            std::thread([] { pthread_kill(pthread_self(), SIGSEGV); }).join();
        },
        ::testing::ExitedWithCode(42), "host handler, filter calls 0");
}

}  // namespace
}  // namespace kelmor::test
