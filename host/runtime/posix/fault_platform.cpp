#include "fault_platform.h"

#include <pthread.h>

#include <csignal>
#include <cstring>
#include <ucontext.h>

namespace kelmor::runtime {

void RaiseFault(int code) { pthread_kill(pthread_self(), code); }

int FaultCode(const FaultInfo& platformFault) { return static_cast<const siginfo_t*>(platformFault.record)->si_signo; }

void CopyFault(FaultInfo& into, const FaultInfo& platformFault) {
    std::memcpy(into.record, platformFault.record, sizeof(siginfo_t));
    std::memcpy(into.context, platformFault.context, sizeof(ucontext_t));
}

std::string DescribeFault(int code) { return "signal " + std::to_string(code) + " " + strsignal(code); }

}  // namespace kelmor::runtime
