// How the stand-in runtime raises and reads processor faults on this platform.
#pragma once

#include <string>

#include "runtime/runtime.h"

namespace kelmor::runtime {

// Raises the fault numbered code (a signal number here) on the calling thread.
void RaiseFault(int code);

// The fault's number, read from the platform's pair of fault pointers.
int FaultCode(const FaultInfo& platformFault);

// Copies the platform's fault record and context into the task's storage.
void CopyFault(FaultInfo& into, const FaultInfo& platformFault);

std::string DescribeFault(int code);

}  // namespace kelmor::runtime
