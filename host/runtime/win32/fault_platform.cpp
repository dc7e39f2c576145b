// Faults on Windows: exceptions, described by EXCEPTION_RECORD and CONTEXT.
// Injections name a fault by its signal number; each is raised here as the
// exception a processor fault of that kind gives.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "fault_platform.h"

namespace kelmor::runtime {
namespace {

DWORD ExceptionFor(int code) {
    switch (code) {
        case SIGSEGV: return EXCEPTION_ACCESS_VIOLATION;
        case SIGFPE: return EXCEPTION_INT_DIVIDE_BY_ZERO;
        case SIGILL: return EXCEPTION_ILLEGAL_INSTRUCTION;
        default: return static_cast<DWORD>(code);
    }
}

}  // namespace

// Raised as a continuable exception, so that a verdict to resume goes on
// right after the call; a real fault would only fault again.
void RaiseFault(int code) {
    const DWORD exception = ExceptionFor(code);
    if (exception == EXCEPTION_ACCESS_VIOLATION) {
        const ULONG_PTR details[2] = {1, 0};  // a write to address 0
        RaiseException(exception, 0, 2, details);
        return;
    }
    RaiseException(exception, 0, 0, nullptr);
}

int FaultCode(const FaultInfo& platformFault) {
    return static_cast<int>(static_cast<const EXCEPTION_RECORD*>(platformFault.record)->ExceptionCode);
}

void CopyFault(FaultInfo& into, const FaultInfo& platformFault) {
    std::memcpy(into.record, platformFault.record, sizeof(EXCEPTION_RECORD));
    std::memcpy(into.context, platformFault.context, sizeof(CONTEXT));
}

std::string DescribeFault(int code) {
    const char* name = "exception";
    switch (static_cast<DWORD>(code)) {
        case EXCEPTION_ACCESS_VIOLATION: name = "access violation"; break;
        case EXCEPTION_INT_DIVIDE_BY_ZERO: name = "integer division by zero"; break;
        case EXCEPTION_ILLEGAL_INSTRUCTION: name = "illegal instruction"; break;
        case EXCEPTION_STACK_OVERFLOW: name = "stack overflow"; break;
        default: break;
    }
    char text[64];
    std::snprintf(text, sizeof text, "exception 0x%08lX %s", static_cast<unsigned long>(code), name);
    return text;
}

}  // namespace kelmor::runtime
