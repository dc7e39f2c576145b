#include "task/port_task.h"

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "task/port_service.h"

namespace {

void AttachAndServe() {
    rt_task_attach(kTaskName);
    RunPortService();
}

}  // namespace

void PortTaskEntry() {
    // Room for the fault as the runtime's filter copies it; lives as long as
    // the task, beyond the unwinding of a handled fault.
    alignas(16) unsigned char faultRecord[kelmor::platform::kFaultRecordSize];
    alignas(16) unsigned char faultContext[kelmor::platform::kFaultContextSize];
    FaultInfo faultInfo{faultRecord, faultContext};

    using kelmor::platform::GuardOutcome;
    if (kelmor::platform::RunUnderFaultGuard(kTaskName, &faultInfo, &AttachAndServe) ==
        GuardOutcome::FaultHandled) {
        rt_fault_handler(kTaskName, &faultInfo);
    }
    rt_task_delete(0);
}
