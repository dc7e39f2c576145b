#include "task/identify.h"

#include "runtime/runtime.h"
#include "task/port_task.h"

extern "C" int32_t IdentifyMyself(IdentifyRecord* pIdentify) {
    if (pIdentify == nullptr) {
        rt_assert(__FILE__, __LINE__, 0, 0, "assert(pIdentify)");
        return 0;
    }
    pIdentify->identified = 1;
    TaskDescriptor* descriptor = pIdentify->descriptor;
    descriptor->entry = &PortTaskEntry;
    descriptor->tag = kDescriptorTag;
    descriptor->setting = kDescriptorSetting;
    return 1;
}
