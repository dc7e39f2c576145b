// What the library needs from the operating system besides its devices. Each
// platform folder implements these in files of the same name.
#pragma once

#include <cstdint>

#include "platform_traits.h"  // from the platform folder CMake picked
#include "runtime/runtime.h"

namespace kelmor::platform {

// Writes one whole log text to the debugger output.
void DebugOutput(const char* text);

void SleepMilliseconds(uint32_t milliseconds);

enum class GuardOutcome { Completed, FaultHandled };

// Runs body under the task's fault guard. A processor fault raised on this
// thread inside body is offered to rt_fault_filter(taskName, faultInfo, the
// platform's pair) before anything is unwound; a positive verdict abandons
// body and returns FaultHandled, 0 passes the fault on to outer handlers, a
// negative verdict resumes at the fault.
GuardOutcome RunUnderFaultGuard(const char* taskName, FaultInfo* faultInfo, void (*body)());

}  // namespace kelmor::platform
