// Fault guard over POSIX signals. A processor fault on a guarded task thread
// arrives as SIGSEGV, SIGBUS, SIGFPE or SIGILL; the handler asks the runtime's
// fault filter while the faulting frames still exist and acts on its verdict.
#include <array>
#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <mutex>
#include <pthread.h>

#include "platform/platform.h"

namespace kelmor::platform {
namespace {

constexpr std::array kFaultSignals{SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// Big enough for the filter and the sanitizers' handlers; kept in the guard's
// frame so a task that overflows its own stack is still caught.
constexpr std::size_t kAltStackSize = 64 * 1024;

struct GuardFrame {
    const char* taskName;
    FaultInfo* faultInfo;
    sigjmp_buf resume;
    GuardFrame* outer;
};

thread_local GuardFrame* innermostGuard = nullptr;

struct sigaction previousActions[NSIG];
std::once_flag handlersInstalled;

// Hands the fault to whoever handled the signal before us, or lets the
// default action (a core dump) happen.
void PassOn(int signo, siginfo_t* info, void* context) {
    const struct sigaction& previous = previousActions[signo];
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signo, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signo);
        return;
    }
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, nullptr);
    // Blocked while we run, so it is delivered as soon as we return; a
    // hardware fault would also recur at the faulting instruction.
    pthread_kill(pthread_self(), signo);
}

void OnFault(int signo, siginfo_t* info, void* context) {
    GuardFrame* guard = innermostGuard;
    if (guard == nullptr) {
        PassOn(signo, info, context);
        return;
    }
    FaultInfo platformFault{info, context};
    const int32_t verdict = rt_fault_filter(guard->taskName, guard->faultInfo, &platformFault);
    if (verdict > 0) {
        siglongjmp(guard->resume, 1);
    }
    if (verdict == 0) {
        PassOn(signo, info, context);
    }
}

void InstallHandlers() {
    struct sigaction action{};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signo : kFaultSignals) {
        sigaction(signo, &action, &previousActions[signo]);
    }
}

}  // namespace

GuardOutcome RunUnderFaultGuard(const char* taskName, FaultInfo* faultInfo, void (*body)()) {
    std::call_once(handlersInstalled, InstallHandlers);

    alignas(16) std::byte altStack[kAltStackSize];
    stack_t ownStack{};
    ownStack.ss_sp = altStack;
    ownStack.ss_size = sizeof altStack;
    stack_t previousStack{};
    sigaltstack(&ownStack, &previousStack);

    GuardFrame guard{taskName, faultInfo, {}, innermostGuard};
    GuardOutcome outcome = GuardOutcome::Completed;
    if (sigsetjmp(guard.resume, 1) == 0) {
        innermostGuard = &guard;
        body();
    } else {
        outcome = GuardOutcome::FaultHandled;
    }
    innermostGuard = guard.outer;
    sigaltstack(&previousStack, nullptr);
    return outcome;
}

}  // namespace kelmor::platform
