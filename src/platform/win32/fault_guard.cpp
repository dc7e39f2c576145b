// Fault guard as frame-based structured exception handling. GCC has no
// __try, so the guard puts its own record on the thread's chain of exception
// frames (FS:[0] on x86) for as long as the body runs. The system offers each
// exception to the frames from the innermost out, so a guard further in, or a
// handler inside a system call, sees it first; there is no vectored handler.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstddef>

#include "platform/platform.h"

namespace kelmor::platform {

static_assert(sizeof(void*) == 4, "the exception frame chain at FS:[0] is the x86 one");
static_assert(sizeof(EXCEPTION_RECORD) == kFaultRecordSize);
static_assert(sizeof(CONTEXT) == kFaultContextSize);
// The filter is handed the system's EXCEPTION_POINTERS as the runtime's pair.
static_assert(sizeof(EXCEPTION_POINTERS) == sizeof(FaultInfo));
static_assert(offsetof(EXCEPTION_POINTERS, ExceptionRecord) == offsetof(FaultInfo, record));
static_assert(offsetof(EXCEPTION_POINTERS, ContextRecord) == offsetof(FaultInfo, context));

namespace {

// The system's part comes first: the establisher frame the dispatcher hands
// the handler is the address of the whole guard.
struct GuardFrame {
    EXCEPTION_REGISTRATION_RECORD registration;
    const char* taskName;
    FaultInfo* faultInfo;
    void* resume[5];  // __builtin_setjmp's buffer: where a handled fault continues
};

EXCEPTION_REGISTRATION_RECORD* ChainHead() {
    EXCEPTION_REGISTRATION_RECORD* head;
    asm volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

void SetChainHead(EXCEPTION_REGISTRATION_RECORD* head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }

// RtlUnwind(frame, continuation, record, 0): runs the unwind pass of every
// frame inside ours and takes them off the chain, leaving ours at its head.
// It may come back with EBX, ESI and EDI changed, so they are kept here
// rather than trusted to the compiler; EBP survives it.
__attribute__((naked, noinline)) void UnwindFramesInside(EXCEPTION_REGISTRATION_RECORD* /*frame*/,
                                                         EXCEPTION_RECORD* /*record*/) {
    asm("pushl %ebp\n\t"
        "movl %esp, %ebp\n\t"
        "pushl %ebx\n\t"
        "pushl %esi\n\t"
        "pushl %edi\n\t"
        "pushl $0\n\t"           // return value
        "pushl 12(%ebp)\n\t"     // exception record
        "pushl $1f\n\t"          // where to continue: right here
        "pushl 8(%ebp)\n\t"      // target frame
        "call _RtlUnwind@16\n"
        "1:\n\t"
        "leal -12(%ebp), %esp\n\t"
        "popl %edi\n\t"
        "popl %esi\n\t"
        "popl %ebx\n\t"
        "popl %ebp\n\t"
        "ret");
}

EXCEPTION_DISPOSITION NTAPI OnException(EXCEPTION_RECORD* record, void* establisherFrame, CONTEXT* context,
                                        void* /*dispatcherContext*/) {
    // Unwind passes, ours included, have nothing to clean up here.
    if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
        return ExceptionContinueSearch;
    }
    auto* guard = static_cast<GuardFrame*>(establisherFrame);
    // Asked while the faulting frames still exist.
    FaultInfo platformFault{record, context};
    const int32_t verdict = rt_fault_filter(guard->taskName, guard->faultInfo, &platformFault);
    if (verdict > 0) {
        UnwindFramesInside(&guard->registration, record);
        __builtin_longjmp(guard->resume, 1);
    }
    return verdict < 0 ? ExceptionContinueExecution : ExceptionContinueSearch;
}

}  // namespace

GuardOutcome RunUnderFaultGuard(const char* taskName, FaultInfo* faultInfo, void (*body)()) {
    GuardFrame guard{};
    guard.registration.Handler = &OnException;
    guard.taskName = taskName;
    guard.faultInfo = faultInfo;
    GuardOutcome outcome = GuardOutcome::Completed;
    if (__builtin_setjmp(guard.resume) == 0) {
        guard.registration.Next = ChainHead();
        SetChainHead(&guard.registration);
        body();
    } else {
        // Back in this frame with its stack as it was; the unwind left our
        // record at the head of the chain.
        outcome = GuardOutcome::FaultHandled;
    }
    SetChainHead(guard.registration.Next);
    return outcome;
}

}  // namespace kelmor::platform
